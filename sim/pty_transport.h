// The simulated bus on a POSIX pseudo-terminal: the host opens the slave
// device like a serial port; qelsim serves the master side.
//
// qelsim keeps its own descriptor of the slave open, so the terminal stays
// alive while the host closes and reopens the port. Both sides are put in
// raw mode so that no byte is translated, echoed or taken as a signal.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

#include "bus.h"

namespace qelcomm::sim {

class PtyTransport {
 public:
  PtyTransport() = default;
  PtyTransport(const PtyTransport&) = delete;
  PtyTransport& operator=(const PtyTransport&) = delete;
  ~PtyTransport() { Close(); }

  // Creates the pseudo-terminal; false with `error` set on failure.
  bool Open(std::string& error);
  const std::string& slave_path() const { return slave_path_; }
  void Close();

  // Serves `bus` until `stop` becomes non-zero or the device vanishes (then
  // the terminal is closed). A non-zero `clear_faults` makes it call
  // bus.ClearFaults() and reset the flag. Returns the reason it stopped.
  enum class End { kStopped, kVanished, kError };
  End Run(Bus& bus, volatile std::sig_atomic_t& stop, volatile std::sig_atomic_t& clear_faults);

  // Microseconds since the transport was created, the bus's clock.
  uint64_t NowUs() const;

  // Called with the bit rate the host set on the terminal, whenever it
  // differs from the one last reported (looked at as requests arrive).
  void set_line_speed_report(std::function<void(uint32_t)> report) {
    report_speed_ = std::move(report);
  }

 private:
  void WriteDue(Bus& bus, uint64_t now_us);
  void CheckLineSpeed();

  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  uint64_t epoch_ns_ = 0;
  uint64_t dropped_ = 0;  // bytes lost because nobody drained the terminal
  std::function<void(uint32_t)> report_speed_;
  uint32_t reported_speed_ = 0;
};

}  // namespace qelcomm::sim
