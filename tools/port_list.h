// The serial ports of this machine and what the system knows of each. One
// implementation per system: Linux reads the files the kernel publishes,
// Windows asks the device manager.
#pragma once

#include <string>
#include <vector>

#include "qelctl.h"

namespace qelctl {

struct Port {
  std::string device;         // what --port takes: "/dev/ttyUSB0", "COM3"
  std::string friendly_name;  // "USB Serial Port (COM3)" (Windows)
  std::string driver;
  std::string usb_id;         // "0403:6001"
  std::string usb_name;
  std::vector<std::string> by_id;  // stable names (Linux)
};

std::vector<Port> FindPorts(const RunEnv& env);

}  // namespace qelctl
