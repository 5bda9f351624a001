// regs, read, write: the register catalogue and single-register transfers.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "args.h"
#include "command.h"
#include "format.h"
#include "session.h"

namespace qelctl {
namespace {
namespace reg = qelcomm::registers;
using json = nlohmann::ordered_json;

const char* ScalingName(reg::ScaleClass s) {
  switch (s) {
    case reg::ScaleClass::None:
      return "none";
    case reg::ScaleClass::Acceleration:
      return "acceleration";
    case reg::ScaleClass::Position:
      return "position";
    case reg::ScaleClass::Velocity:
      return "velocity";
    case reg::ScaleClass::Torque:
      return "torque";
    case reg::ScaleClass::ElectricalAngle:
      return "electrical-angle";
  }
  return "?";
}

int Regs(Session& s, bool big) {
  json list = json::array();
  if (!s.json()) s.out() << " NUM  NAME               WIDTH  TYPE  SCALING           FACTOR\n";
  auto show = [&](std::span<const reg::ParamInfo> table, int offset) {
    for (const reg::ParamInfo& e : table) {
      const int number = e.Number + offset;
      const int width = e.Is32Bit ? 32 : 16;
      if (s.json()) {
        list.push_back({{"number", number},
                        {"name", e.Name},
                        {"width", width},
                        {"type", e.Type},
                        {"scaling", ScalingName(e.Scaling)},
                        {"factor", FloatAsDouble(e.Factor)},
                        {"extended", offset != 0}});
        continue;
      }
      char line[128];
      std::snprintf(line, sizeof line, "%4d  %-17s  %5d  %4d  %-16s  %s\n", number, e.Name, width,
                    e.Type, ScalingName(e.Scaling), FormatFloat(e.Factor).c_str());
      s.out() << line;
    }
  };
  show(big ? reg::BigTable() : reg::StandardTable(), 0);
  show(reg::ExtendedTable(), 256);
  if (s.json()) s.PrintJson({{"table", big ? "big" : "standard"}, {"registers", list}});
  return kExitOk;
}

struct ReadArgs {
  int address = 0;
  std::vector<std::string> regs;
  bool raw = false;
};

int Read(Session& s, const ReadArgs& a) {
  const auto addr = int16_t(a.address);
  std::vector<RegisterRef> refs;
  for (const auto& text : a.regs)
    refs.push_back(ResolveRegister(s.ctrl(), s.IsBig(addr), addr, text));
  s.Open();
  json list = json::array();
  for (const RegisterRef& r : refs) {
    const std::string what = "reading " + r.Label() + " from motor " + std::to_string(addr);
    json item = {{"number", r.number}, {"name", r.name.empty() ? json() : json(r.name)}};
    std::string text;
    if (!a.raw && r.Scaled()) {
      float v = 0;
      s.Check(s.ctrl().ReadParameterAlternate(addr, r.number, v), what);
      item["value"] = FloatAsDouble(v);
      text = FormatFloat(v);
    } else {
      int32_t v = 0;
      s.Check(s.ctrl().ReadParameter(addr, r.number, v), what);
      item["value"] = v;
      text = std::to_string(v);
      if (a.raw) {
        item["hex"] = Hex(uint32_t(v), r.is32 ? 4 : 2);
        text += " (" + Hex(uint32_t(v), r.is32 ? 4 : 2) + ")";
      }
    }
    item["scaled"] = !a.raw && r.Scaled();
    list.push_back(item);
    if (!s.json()) s.out() << r.Label() << " = " << text << '\n';
  }
  if (s.json()) s.PrintJson({{"address", addr}, {"registers", list}});
  return kExitOk;
}

struct WriteArgs {
  int address = 0;
  std::string reg;
  std::string value;
  bool raw = false;
};

int Write(Session& s, const WriteArgs& a) {
  const auto addr = int16_t(a.address);
  const bool big = s.IsBig(addr);
  const RegisterRef r = ResolveRegister(s.ctrl(), big, addr, a.reg);
  const bool scaled = !a.raw && r.Scaled();
  // Both are checked before anything is opened or sent.
  float user = 0;
  int32_t raw = 0;
  if (scaled) {
    user = ParseUserValue(a.value, r, s.Factors(big), big);
  } else {
    raw = ParseRawValue(a.value, r);
  }
  s.Open();
  const std::string what = "writing " + r.Label() + " to motor " + std::to_string(addr);
  if (scaled) {
    s.Check(s.ctrl().WriteParameterAlternate(addr, r.number, user), what);
  } else {
    s.Check(s.ctrl().WriteParameter(addr, r.number, raw), what);
  }
  std::string text = scaled ? FormatFloat(user) : std::to_string(raw);
  if (a.raw) text += " (" + Hex(uint32_t(raw), r.is32 ? 4 : 2) + ")";
  if (s.json()) {
    s.PrintJson({{"address", addr},
                 {"number", r.number},
                 {"name", r.name.empty() ? json() : json(r.name)},
                 {"value", scaled ? json(FloatAsDouble(user)) : json(raw)},
                 {"scaled", scaled}});
  } else {
    s.out() << "motor " << addr << ": " << r.Label() << " = " << text << '\n';
  }
  return kExitOk;
}

}  // namespace

void AddRegisterCommands(CLI::App& root, CommandList& out) {
  {
    auto big = std::make_shared<bool>(false);
    auto* app = root.add_subcommand(
        "regs",
        "List the register catalogue: the standard (or big) table, then the extended "
        "registers every motor has");
    app->add_flag("--big", *big, "Show the big-motor table");
    out.push_back({app, [big](Session& s) { return Regs(s, *big); }});
  }
  {
    auto a = std::make_shared<ReadArgs>();
    auto* app = root.add_subcommand(
        "read", "Read registers; values in user units where the catalogue scales a register");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    app->add_option("REG", a->regs, "Registers, by name or number")->required();
    app->add_flag("--raw", a->raw, "Raw register values instead of user units");
    out.push_back({app, [a](Session& s) { return Read(s, *a); }});
  }
  {
    auto a = std::make_shared<WriteArgs>();
    auto* app = root.add_subcommand(
        "write", "Write a register; VALUE in user units where the catalogue scales it");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    app->add_option("REG", a->reg, "Register, by name or number")->required();
    app->add_option("VALUE", a->value, "New value")->required();
    app->add_flag("--raw", a->raw,
                  "VALUE is the raw register value (integer; 0x hex is a bit "
                  "pattern)");
    out.push_back({app, [a](Session& s) { return Write(s, *a); }});
  }
}

}  // namespace qelctl
