// An in-memory serial line on a virtual clock. The control runs on it exactly
// as on a real port, but every wait advances the virtual clock instead of
// sleeping, so a 5-second wait costs no real time. The far end of each line
// is a VirtualPeer: a scripted test double or a simulated bus.
//
// Not thread-safe: the platform, its lines and their peers belong to the one
// thread that drives the control.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qelcomm/platform.h"

namespace qelcomm {

class VirtualLine;

// The device side of a virtual line.
class VirtualPeer {
 public:
  virtual ~VirtualPeer() = default;
  // The host wrote `data`; its last byte reaches the peer at `now_us`. The
  // peer answers with line.Deliver.
  virtual void OnReceive(VirtualLine& line, const std::vector<uint8_t>& data,
                         uint64_t now_us) = 0;
  // The virtual time at which the peer wants OnWake (chatter, motion);
  // UINT64_MAX for never.
  virtual uint64_t NextWakeUs() const { return UINT64_MAX; }
  virtual void OnWake(VirtualLine& /*line*/, uint64_t /*now_us*/) {}
};

class VirtualClock {
 public:
  uint64_t NowUs() const { return now_us_; }
  void AdvanceTo(uint64_t us) {
    if (us > now_us_) now_us_ = us;
  }

 private:
  uint64_t now_us_ = 1'000'000;  // start away from 0 like a real uptime clock
};

// One virtual serial line with a host end (the SerialDevice the control
// opens) and a peer end.
class VirtualLine {
 public:
  VirtualLine(VirtualClock& clock, std::shared_ptr<VirtualPeer> peer);

  // Peer side: bytes that reach the host's receive queue at `at_us`.
  void Deliver(uint64_t at_us, std::vector<uint8_t> bytes);
  // Simulates the device going away: waits end, writes fail with `error`.
  void Vanish(OsError error);
  // The device comes back, as a replugged adapter does: a new open works,
  // while a handle opened before stays lost.
  void Reappear();

  // Fault knobs for the host side.
  OsError open_error = 0;        // Open fails with this
  OsError queue_size_error = 0;  // SetQueueSizes fails with this
  OsError configure_error = 0;   // Configure fails with this
  size_t short_writes = 0;       // the next N writes transfer one byte less
  // How long the bytes of each write are reported still queued for
  // transmit (0 = they leave at once, kNeverSent = they never leave).
  uint32_t stuck_tx_ms = 0;
  static constexpr uint32_t kNeverSent = UINT32_MAX;

  // What the host did, for assertions.
  struct Written {
    uint64_t at_us;
    std::vector<uint8_t> bytes;
  };
  std::vector<Written> written;
  LineSettings settings;
  bool configured = false;
  bool is_open = false;
  int discards = 0;
  int opens = 0;
  int closes = 0;

  // Host-side operations, used by the device object.
  void AdvanceTo(uint64_t us);  // moves the clock, delivering due bytes
  uint64_t NextEventUs() const;
  size_t Queued() const { return rx_.size(); }
  size_t Take(uint8_t* buf, size_t n);
  void ClearRx() { rx_.clear(); }
  void HostWrote(std::vector<uint8_t> bytes);
  OsError lost() const { return lost_; }
  // Counts Reappear calls; a handle from an earlier one reports `vanished_with`.
  uint32_t generation() const { return generation_; }
  OsError vanished_with() const { return vanished_with_; }
  VirtualClock& clock() { return clock_; }
  VirtualPeer& peer() { return *peer_; }
  // Bytes of the last write still queued for transmit.
  size_t TxQueued() const { return clock_.NowUs() < tx_leaves_at_us ? tx_pending : 0; }
  size_t tx_pending = 0;
  uint64_t tx_leaves_at_us = 0;

 private:
  void DeliverDue();

  VirtualClock& clock_;
  std::shared_ptr<VirtualPeer> peer_;
  std::multimap<uint64_t, std::vector<uint8_t>> pending_;  // by arrival time
  std::deque<uint8_t> rx_;
  OsError lost_ = 0;
  OsError vanished_with_ = 0;
  uint32_t generation_ = 0;
};

class VirtualPlatform : public Platform {
 public:
  VirtualPlatform() = default;

  // Adds a line reachable under `name`, and as port `com_port` when
  // `com_port` is not 0.
  VirtualLine& AddLine(const std::string& name,
                       std::shared_ptr<VirtualPeer> peer,
                       int16_t com_port = 0);
  VirtualLine* Line(const std::string& name);
  VirtualClock& clock() { return clock_; }
  // Advances virtual time through every due event, in time order, until
  // `done` is true after an event or the time `us` is reached.
  void RunUntil(uint64_t us, const std::function<bool()>& done);

  std::string DeviceNameForPort(int16_t com_port) const override;
  std::unique_ptr<SerialDevice> Open(const std::string& name,
                                     OsError& error) override;
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  std::string ErrorText(OsError error) const override;

  // The OS numbers this platform reports for a missing and a busy device.
  static OsError NotFoundError();
  static OsError BusyError();

 private:
  VirtualClock clock_;
  std::map<std::string, std::unique_ptr<VirtualLine>> lines_;
  std::map<int16_t, std::string> ports_;
};

}  // namespace qelcomm
