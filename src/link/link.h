// The link state of one control: its settings, the port it holds and the
// last error. The building blocks of an exchange are in exchange.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qelcomm/platform.h"
#include "qelcomm/trace.h"

namespace qelcomm::link {

struct Link {
  explicit Link(std::shared_ptr<Platform> p)
      : platform(std::move(p)), wakeup(platform->NewWakeup()) {}

  std::shared_ptr<Platform> platform;
  // Cancel wakes it: every wait ends at once, and the call fails with
  // ERR_CANCELLED. The control clears it when the call returns.
  std::shared_ptr<Wakeup> wakeup;
  // Widens every reply and accept window (SetExtraWindowMs).
  uint32_t extra_window_ms = 0;
  // Persisted settings.
  int16_t com_port = 0;
  int16_t retries = 5;
  int16_t grp_sends = 3;
  int32_t baud = 19200;
  std::string port_name;  // overrides com_port when not empty
  // The line hands back every telegram sent before the reply (RS-485
  // adapters without echo suppression): each send takes it off again.
  bool echo = false;
  // The last send's echo was missing or wrong: that, not what the reply
  // checks made of the bytes after it, is why its exchange failed.
  bool echo_failed = false;

  std::unique_ptr<SerialDevice> port;  // may be held after a failed open
  bool open = false;
  int32_t open_baud = 0;  // the speed the port was opened at
  uint32_t last_error = 0;
  std::string stored_error_text;
  TraceCallback trace;
};

bool OpenPort(Link& link);
void ClosePort(Link& link);

// True once the device behind an open or held port has gone away.
inline bool Lost(const Link& link) { return link.port && link.port->LostError() != 0; }
// True once Cancel has been called and the call has not yet returned.
inline bool Cancelled(const Link& link) { return link.wakeup->Woken(); }
// A pause that Cancel ends early.
inline void Pause(Link& link, uint32_t ms) { link.platform->SleepUnlessWoken(ms, *link.wakeup); }
// Ends a control method: a failure that Cancel brought about reads
// ERR_CANCELLED, and the next call starts afresh.
bool EndCall(Link& link, bool ok);

}  // namespace qelcomm::link
