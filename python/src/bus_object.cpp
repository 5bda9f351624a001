#include "bus_object.h"

#include "virtual_bus.h"

namespace qelcomm::python {

VirtualBus::VirtualBus() : platform(std::make_shared<VirtualPlatform>()) {
  platform->AddLine(kLineName, std::make_shared<sim::SimPeer>(), kComPort);
}

}  // namespace qelcomm::python
