// The link state of one control and the building blocks of every exchange:
// the send step, the receive wait and the accept wait.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/platform.h"

namespace qelcomm::link {

// One reply window.
inline constexpr uint32_t kReplyWindowMs = 100;

struct Link {
  explicit Link(std::shared_ptr<Platform> p) : platform(std::move(p)) {}

  std::shared_ptr<Platform> platform;
  // Persisted settings.
  int16_t com_port = 0;
  int16_t retries = 5;
  int16_t grp_sends = 3;
  int32_t baud = 19200;
  std::string port_name;  // overrides com_port when not empty

  std::unique_ptr<SerialDevice> port;  // may be held after a failed open
  bool open = false;
  uint32_t last_error = 0;
  std::string stored_error_text;
  TraceCallback trace;
};

bool OpenPort(Link& link);
void ClosePort(Link& link);

// Discards both queues and writes the telegram in one write. A short write
// stores ERR_WRITE_SHORT and gives false. A link that is not open transfers
// nothing, which counts as short.
bool SendStep(Link& link, const std::vector<uint8_t>& telegram);
// Discards both queues of an open port.
void Purge(Link& link);
// Writes without discarding first; gives the count written.
size_t WriteTelegram(Link& link, const std::vector<uint8_t>& telegram);
// Waits until at least `n` bytes are queued or the window has passed,
// counted from the start of this wait; gives the count queued. Reads
// nothing.
size_t ReceiveWait(Link& link, size_t n, uint32_t window_ms = kReplyWindowMs);
// Receive wait for three bytes, then reads them and compares each with
// `accept` (ERR_BAD_ACCEPT per differing byte), or discards what came
// when it was not exactly three (ERR_ANSWER_LENGTH).
bool AcceptWait(Link& link, uint8_t accept);
// Reads `n` queued bytes into `buf`; gives the count read.
size_t ReadBytes(Link& link, uint8_t* buf, size_t n);
// Reads `n` queued bytes and throws them away.
void DiscardBytes(Link& link, size_t n);

// True once the device behind an open or held port has gone away.
inline bool Lost(const Link& link) { return link.port && link.port->LostError() != 0; }

// True while another attempt may follow attempt number `attempts`: fewer
// than Retries so far (at least one attempt in all), and the device is
// still there.
bool MayRetry(const Link& link, int16_t attempts);
// Ends a sequence of attempts: when it failed because the device went away,
// the OS error that showed it replaces the protocol code.
bool Finish(Link& link, bool ok);

}  // namespace qelcomm::link
