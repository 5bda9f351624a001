// The COM ports from the device manager (name, driver, USB ids), and those
// only the registry's SERIALCOMM map knows of.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <devguid.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <map>

#include "port_list.h"

namespace qelctl {
namespace {

std::string RegistryString(HKEY key, const char* value) {
  char text[256];
  DWORD size = sizeof text - 1, type = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  text[size] = 0;
  return text;
}

std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD property) {
  char text[512];
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, property, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 2,
                                         nullptr)) {
    return {};
  }
  text[sizeof text - 2] = 0;
  return text;  // of a REG_MULTI_SZ, the first string
}

// "USB\VID_0403&PID_6001&REV_0600" -> "0403:6001".
std::string UsbId(std::string hardware_id) {
  std::transform(hardware_id.begin(), hardware_id.end(), hardware_id.begin(),
                 [](unsigned char c) { return char(std::toupper(c)); });
  const size_t vid = hardware_id.find("VID_"), pid = hardware_id.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos) return {};
  std::string id = hardware_id.substr(vid + 4, 4) + ":" + hardware_id.substr(pid + 4, 4);
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return id;
}

bool IsComName(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
         name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// COM3 before COM10.
int ComNumber(const std::string& name) { return std::atoi(name.c_str() + 3); }

void AddDeviceManagerPorts(std::map<int, Port>& ports) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const std::string name = RegistryString(key, "PortName");
    RegCloseKey(key);
    if (!IsComName(name)) continue;  // printer ports share the class
    Port& p = ports[ComNumber(name)];
    p.device = name;
    p.friendly_name = DeviceProperty(set, dev, SPDRP_FRIENDLYNAME);
    p.driver = DeviceProperty(set, dev, SPDRP_SERVICE);
    p.usb_id = UsbId(DeviceProperty(set, dev, SPDRP_HARDWAREID));
    if (!p.usb_id.empty()) p.usb_name = DeviceProperty(set, dev, SPDRP_MFG);
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Every COM port a serial driver has announced, also those of drivers that
// make no device manager entry (virtual and network ports).
void AddSerialCommPorts(std::map<int, Port>& ports) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    char value[256], data[256];
    DWORD value_size = sizeof value, data_size = sizeof data - 1, type = 0;
    const LONG r = RegEnumValueA(key, i, value, &value_size, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &data_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size] = 0;
    if (IsComName(data)) ports[ComNumber(data)].device = data;
  }
  RegCloseKey(key);
}

}  // namespace

std::vector<Port> FindPorts(const RunEnv&) {
  std::map<int, Port> ports;
  AddDeviceManagerPorts(ports);
  AddSerialCommPorts(ports);
  std::vector<Port> out;
  for (auto& [number, p] : ports) out.push_back(std::move(p));
  return out;
}

}  // namespace qelctl
