// The embedded virtual bus as a Python object: the simulated motors and
// module in virtual time, shared by the controls built on it.
#pragma once

#include <memory>
#include <mutex>

#include "qelcomm/virtual_port.h"

namespace qelcomm::python {

struct VirtualBus {
  VirtualBus();

  // The line's name; it is port 1 too.
  static constexpr const char* kLineName = "sim";
  static constexpr int16_t kComPort = 1;
  // The big motor of the default layout.
  static constexpr int16_t kBigMotor = 2;

  std::shared_ptr<VirtualPlatform> platform;
  // The virtual platform belongs to one thread at a time: every control on
  // this bus takes this lock for each call.
  std::shared_ptr<std::recursive_mutex> mutex = std::make_shared<std::recursive_mutex>();
};

}  // namespace qelcomm::python
