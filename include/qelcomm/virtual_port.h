// An in-memory serial line on a virtual clock. The control runs on it exactly
// as on a real port, but every wait advances the virtual clock instead of
// sleeping, so a 5-second wait costs no real time. The far end of each line
// is a VirtualPeer: a scripted test double or a simulated bus.
//
// Not thread-safe: the platform, its lines and their peers belong to the one
// thread that drives the control.
#pragma once

#include <cstdint>
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

// What a peer sees of its line. The host end is the SerialDevice the
// control opens through VirtualPlatform.
class VirtualLine {
 public:
  // Bytes that reach the host's receive queue at `at_us`.
  virtual void Deliver(uint64_t at_us, std::vector<uint8_t> bytes) = 0;
  // Simulates the device going away: waits end, writes fail with `error`.
  virtual void Vanish(OsError error) = 0;
  // The device comes back, as a replugged adapter does: a new open works,
  // while a handle opened before stays lost.
  virtual void Reappear() = 0;
  // The error the line fails with since it vanished; 0 while it is there.
  virtual OsError lost() const = 0;
  // Bytes that reached the host and that it has not read yet.
  virtual size_t Queued() const = 0;
  virtual VirtualClock& clock() = 0;

 protected:
  ~VirtualLine() = default;
};

class VirtualPlatform : public Platform {
 public:
  VirtualPlatform();
  ~VirtualPlatform() override;

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
  void SleepUnlessWoken(uint32_t ms, Wakeup& wakeup) override;
  std::string ErrorText(OsError error) const override;

  // The OS numbers this platform reports for a missing and a busy device.
  static OsError NotFoundError();
  static OsError BusyError();

 private:
  class LineState;
  class Device;

  VirtualClock clock_;
  std::map<std::string, std::unique_ptr<LineState>> lines_;
  std::map<int16_t, std::string> ports_;
};

}  // namespace qelcomm
