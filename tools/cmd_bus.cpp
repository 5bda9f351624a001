// scan and group: commands about the bus as a whole rather than one motor.
#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"
#include "format.h"
#include "progress.h"
#include "qelcomm/catalogue.h"
#include "qelcomm/protocol.h"
#include "session.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;

using qelcomm::IsReplyError;

// Appends the module fitted at an address that answered as a motor: one
// identification request, which a silent address costs one reply window.
void ProbeModule(Session& s, int addr, json& entry, std::string& text) {
  auto& ctrl = s.ctrl();
  int16_t type = -1, firmware = -1;  // stay negative where a short reply ends
  const bool ok = ctrl.GetModuleType(int16_t(addr), type, firmware);
  const int32_t code = ctrl.GetLastError();
  if (ok) {
    entry["module"] = {{"type", type < 0 ? json() : json(type)},
                       {"firmware", firmware < 0 ? json() : json(firmware)}};
    text += ", module " + ModuleIdText(type, firmware);
    return;
  }
  entry["module"] = nullptr;
  if (code == 0) return;  // no module: silence leaves no code
  const std::string what = "address " + std::to_string(addr) + ", module";
  if (!IsReplyError(uint32_t(code))) s.Fail(code, "scanning " + what);
  s.err() << "qelctl: " << what << ": " << s.DescribeError(code) << '\n';
}

struct ScanArgs {
  int from = 1;
  int to = 255;
};

int Scan(Session& s, const ScanArgs& a) {
  if (a.from > a.to) {
    throw UsageError("--from " + std::to_string(a.from) + " is above --to " + std::to_string(a.to));
  }
  s.Open();
  auto& ctrl = s.ctrl();
  // One attempt per address: a silent address then costs one reply window.
  const int16_t retries = ctrl.Retries();
  ctrl.SetRetries(1);
  ProgressBar bar(s.err(), s.err_is_tty(), "scanning", a.to - a.from + 1);
  json found = json::array();
  for (int addr = a.from; addr <= a.to; ++addr) {
    bar.Update(addr - a.from, "address " + std::to_string(addr));
    int32_t version = 0;
    s.NewCall();
    const bool ok =
        ctrl.ReadParameter(int16_t(addr), qelcomm::registers::known::kProgVersion, version);
    const int32_t code = ctrl.GetLastError();
    if (ok) {
      // The table the tool takes it for, unless the reply says it is wider.
      const bool wide = !s.IsBig(addr) && !qelcomm::CheckWidth(s.line(), addr).empty();
      const bool big = s.IsBig(addr) || wide;
      json entry = {{"address", addr}, {"table", big ? "big" : "standard"}, {"prog_version", version}};
      std::string text = std::string(big ? "big" : "standard") +
                         (wide ? " (its reply is 32 bits wide: --big " + std::to_string(addr) + ")"
                               : "") +
                         ", PROG_VERSION " + Hex(uint32_t(version), big ? 4 : 2);
      bar.Clear();
      ProbeModule(s, addr, entry, text);
      found.push_back(std::move(entry));
      if (!s.json()) s.out() << "address " << addr << ": " << text << '\n' << std::flush;
    } else if (code != int32_t(qelcomm::ERR_ANSWER_LENGTH)) {
      // A garbled reply is worth a warning; a failing port ends the scan.
      bar.Clear();
      const std::string what = "address " + std::to_string(addr);
      if (!IsReplyError(uint32_t(code))) s.Fail(code, "scanning " + what);
      s.err() << "qelctl: " << what << ": " << s.DescribeError(code) << '\n';
    }
  }
  bar.Clear();
  ctrl.SetRetries(retries);
  if (s.json()) s.PrintJson({{"from", a.from}, {"to", a.to}, {"found", found}});
  if (found.empty()) {
    s.err() << "qelctl: no motor answered at addresses " << a.from << ".." << a.to << '\n';
    return kExitFailure;
  }
  return kExitOk;
}

struct GroupArgs {
  int group = 0;
  std::string reg;
  std::string value;
};

// Group writes go to every motor of the group at once; the register table is
// the one of address 255, as the control uses.
int Group(Session& s, const GroupArgs& a) {
  const bool big = s.IsBig(qelcomm::protocol::kGroupTableAddress);
  const RegisterRef r = ResolveRegister(big, a.reg);
  const int32_t value = ParseRawValue(a.value, r);
  s.Open();
  s.Check(s.ctrl().WriteGroup(int16_t(a.group), r.number, value),
          "writing " + r.Label() + " to group " + std::to_string(a.group));
  const int sends = s.ctrl().GrpSends();
  if (s.json()) {
    s.PrintJson({{"group", a.group},
                 {"number", r.number},
                 {"name", r.name.empty() ? json() : json(r.name)},
                 {"value", value},
                 {"sends", sends}});
  } else {
    s.out() << "group " << a.group << ": " << r.Label() << " = " << value << " (sent " << sends
            << (sends == 1 ? " time)\n" : " times)\n");
  }
  return kExitOk;
}

}  // namespace

void AddBusCommands(CLI::App& root, CommandList& out) {
  {
    auto a = std::make_shared<ScanArgs>();
    auto* app = root.add_subcommand(
        "scan",
        "List the motor addresses that answer, big or standard, and the module fitted to each "
        "(one read of "
        "PROG_VERSION and one module identification each, no retry); progress on stderr when "
        "it is a terminal; exit status 1 when no motor answered");
    app->add_option("--from", a->from, "First address")
        ->check(StrictInt(1, 255))
        ->capture_default_str();
    app->add_option("--to", a->to, "Last address")->check(StrictInt(1, 255))->capture_default_str();
    out.push_back({app, [a](Session& s) { return Scan(s, *a); }});
  }
  {
    auto a = std::make_shared<GroupArgs>();
    auto* app = root.add_subcommand(
        "group",
        "Write a raw register value to every motor of a group (unanswered, sent "
        "--grp-sends times)");
    app->add_option("GROUP", a->group, "Group number")->required()->check(StrictInt(0, 255));
    app->add_option("REG", a->reg, "Register, by name or number")->required();
    app->add_option("VALUE", a->value, "Raw value (integer; 0x hex is a bit pattern)")->required();
    out.push_back({app, [a](Session& s) { return Group(s, *a); }});
  }
}

}  // namespace qelctl
