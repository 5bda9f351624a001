// ports: the serial devices of this machine and what the system knows of
// each.
#include <CLI/CLI.hpp>

#include "command.h"
#include "port_list.h"
#include "session.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;

int Ports(Session& s) {
  const std::vector<Port> ports = FindPorts(s.env());
  if (s.json()) {
    json list = json::array();
    for (const Port& p : ports) {
      list.push_back({{"device", p.device},
                      {"name", p.friendly_name.empty() ? json() : json(p.friendly_name)},
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
    if (!p.friendly_name.empty()) s.out() << "  " << p.friendly_name;
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
      "List this machine's serial ports: the device name --port takes, the name Windows "
      "shows, driver, USB vendor:product and name, and the stable /dev/serial/by-id names "
      "on Linux");
  out.push_back({app, [](Session& s) { return Ports(s); }});
}

}  // namespace qelctl
