// The simulated bus as the far end of a VirtualLine, so the control runs
// against motors and modules in virtual time:
//
//   VirtualPlatform platform;
//   auto bus = std::make_shared<qelcomm::sim::SimPeer>(BusConfig::Defaults());
//   platform.AddLine("sim", bus, 1);  // reachable as port 1
//
// Replies reach the host at their virtual times; a vanishing device makes
// the line fail with EIO.
#pragma once

#include <memory>

#include "bus.h"
#include "qelcomm/virtual_port.h"

namespace qelcomm::sim {

class SimPeer : public VirtualPeer {
 public:
  explicit SimPeer(const BusConfig& config = BusConfig::Defaults()) : bus_(config) {}

  void OnReceive(VirtualLine& line, const std::vector<uint8_t>& data, uint64_t now_us) override;
  uint64_t NextWakeUs() const override { return bus_.NextWakeUs(); }
  void OnWake(VirtualLine& line, uint64_t now_us) override;

  Bus& bus() { return bus_; }
  // The OS error the line reports once the device has vanished.
  OsError vanish_error = DefaultVanishError();
  static OsError DefaultVanishError();

 private:
  void Flush(VirtualLine& line);

  Bus bus_;
};

}  // namespace qelcomm::sim
