// The serial devices from /sys/class/tty (driver, USB vendor and product)
// and /dev/serial/by-id (stable names).
#include <filesystem>
#include <fstream>
#include <map>

#include "port_list.h"

namespace qelctl {
namespace {
namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The USB device a tty hangs off: the nearest parent that has an idVendor.
void AddUsbInfo(const fs::path& device_dir, Port& p) {
  std::error_code ec;
  for (fs::path dir = fs::canonical(device_dir, ec); !ec && dir.has_relative_path();
       dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    p.usb_id = FirstLine(dir / "idVendor") + ":" + FirstLine(dir / "idProduct");
    const std::string maker = FirstLine(dir / "manufacturer"), product = FirstLine(dir / "product");
    p.usb_name = maker + (maker.empty() || product.empty() ? "" : " ") + product;
    return;
  }
}

}  // namespace

std::vector<Port> FindPorts(const RunEnv& env) {
  std::map<std::string, Port> ports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(env.sys_root) / "class/tty", ec)) {
    const fs::path dev = entry.path() / "device";
    if (!fs::exists(dev, ec)) continue;  // virtual terminals and ptys have none
    // Serial-core placeholders for UARTs that are not fitted report type 0.
    if (fs::exists(entry.path() / "type", ec) && FirstLine(entry.path() / "type") == "0") continue;
    const std::string name = entry.path().filename().string();
    Port p;
    p.device = (fs::path(env.dev_root) / name).string();
    p.driver = fs::read_symlink(dev / "driver", ec).filename().string();
    AddUsbInfo(dev, p);
    ports[name] = p;
  }
  for (const auto& link : fs::directory_iterator(fs::path(env.dev_root) / "serial/by-id", ec)) {
    const std::string target = fs::read_symlink(link.path(), ec).filename().string();
    if (auto it = ports.find(target); it != ports.end()) {
      it->second.by_id.push_back(link.path().string());
    }
  }
  std::vector<Port> out;
  for (auto& [name, p] : ports) out.push_back(std::move(p));
  return out;
}

}  // namespace qelctl
