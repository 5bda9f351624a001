// ports: the serial devices of this machine and what the system knows of
// each, from the files the kernel publishes: /sys/class/tty (driver, USB
// vendor and product) and /dev/serial/by-id (stable names).
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <map>

#include "command.h"
#include "session.h"

namespace qelctl {
namespace {
namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

struct Port {
  std::string device;  // "/dev/ttyUSB0"
  std::string driver;
  std::string usb_id;  // "0403:6001"
  std::string usb_name;
  std::vector<std::string> by_id;
};

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

int Ports(Session& s) {
  const std::vector<Port> ports = FindPorts(s.env());
  if (s.json()) {
    json list = json::array();
    for (const Port& p : ports) {
      list.push_back({{"device", p.device},
                      {"driver", p.driver.empty() ? json() : json(p.driver)},
                      {"usb_id", p.usb_id.empty() ? json() : json(p.usb_id)},
                      {"usb_name", p.usb_name.empty() ? json() : json(p.usb_name)},
                      {"by_id", p.by_id}});
    }
    s.PrintJson({{"ports", list}});
    return kExitOk;
  }
  if (ports.empty()) s.out() << "no serial devices found\n";
  for (const Port& p : ports) {
    s.out() << p.device;
    if (!p.driver.empty()) s.out() << "  driver " << p.driver;
    if (!p.usb_id.empty()) s.out() << "  usb " << p.usb_id;
    if (!p.usb_name.empty()) s.out() << " " << p.usb_name;
    s.out() << '\n';
    for (const std::string& id : p.by_id) s.out() << "    " << id << '\n';
  }
  return kExitOk;
}

}  // namespace

void AddPortsCommand(CLI::App& root, CommandList& out) {
  auto* app = root.add_subcommand(
      "ports",
      "List this machine's serial devices: driver, USB vendor:product and name, and the "
      "stable /dev/serial/by-id names (Linux; elsewhere the list is empty)");
  out.push_back({app, [](Session& s) { return Ports(s); }});
}

}  // namespace qelctl
