// regs, read, write: the register catalogue and single-register transfers.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <optional>

#include "args.h"
#include "command.h"
#include "format.h"
#include "reading.h"
#include "session.h"
#include "watch.h"

namespace qelctl {
namespace {
namespace reg = qelcomm::registers;
using json = nlohmann::ordered_json;

int Regs(Session& s, bool big) {
  json list = json::array();
  if (!s.json()) {
    s.out() << " NUM  NAME               WIDTH  TYPE  SCALING           FACTOR       "
               "RANGE                    ROLE\n";
  }
  auto show = [&](std::span<const reg::ParamInfo> table, int offset) {
    for (const reg::ParamInfo& e : table) {
      const int number = e.Number + offset;
      const int width = e.Is32Bit ? 32 : 16;
      const reg::Register r = *reg::RegisterByNumber(big, number);
      const reg::RawRange range = reg::RangeOf(r);
      if (s.json()) {
        list.push_back({{"number", number},
                        {"name", e.Name},
                        {"width", width},
                        {"type", e.Type},
                        {"scaling", reg::ScaleClassName(e.Scaling)},
                        {"factor", FloatAsDouble(e.Factor)},
                        {"extended", offset != 0},
                        {"min", range.min},
                        {"max", range.max},
                        {"role", reg::RoleName(r.role)}});
        continue;
      }
      char line[160];
      std::snprintf(line, sizeof line, "%4d  %-17s  %5d  %4d  %-16s  %-11s  %-23s  %s\n", number,
                    e.Name, width, e.Type, reg::ScaleClassName(e.Scaling), FormatFloat(e.Factor).c_str(),
                    reg::RangeText(range).c_str(), reg::RoleName(r.role));
      s.out() << line;
    }
  };
  show(big ? reg::BigTable() : reg::StandardTable(), 0);
  show(reg::ExtendedTable(), qelcomm::protocol::kExtendedBase);
  if (s.json()) s.PrintJson({{"table", big ? "big" : "standard"}, {"registers", list}});
  return kExitOk;
}

struct ReadArgs {
  int address = 0;
  std::vector<std::string> regs;
  bool raw = false;
  WatchOption watch;
  int count = 0;    // 0 = until interrupted
  std::string csv;  // --csv FILE: every reading as a row too
};

// --csv: a header of register names, then one row per reading with its
// time in ms; a failed reading leaves its cell empty.
class CsvLog {
 public:
  CsvLog(const std::string& file, const std::vector<RegisterRef>& refs) {
    if (file.empty()) return;
    out_.open(file, std::ios::binary | std::ios::trunc);
    if (!out_) throw UsageError("cannot write " + file);
    out_ << "time_ms";
    for (const RegisterRef& r : refs) out_ << ',' << (r.name.empty() ? r.Label() : r.name);
    out_ << '\n';
  }
  void Row(uint64_t time_ms, const std::vector<std::string>& cells) {
    if (!out_.is_open()) return;
    out_ << time_ms;
    for (const std::string& c : cells) out_ << ',' << c;
    out_ << '\n' << std::flush;  // a watch ends with Ctrl-C: keep what was read
  }

 private:
  std::ofstream out_;
};

// One line (or NDJSON object) per interval; a failed reading is marked and
// the watch goes on. A lost line is marked once and reopened. Ends after
// --count readings or on Ctrl-C.
int Watch(Session& s, const ReadArgs& a, const std::vector<RegisterRef>& refs, int interval_ms) {
  const uint64_t start = s.platform().NowMs();
  s.CatchInterrupt();
  CsvLog csv(a.csv, refs);
  bool failed = false;
  for (int n = 1;; ++n) {
    json items = json::array();
    std::string text;
    std::vector<std::string> cells;
    std::optional<Session::Judged> lost;
    for (const RegisterRef& r : refs) {
      int32_t raw = 0;
      s.NewCall();
      const bool ok = ReadRaw(s, a.address, r, raw);
      const int32_t code = s.ctrl().GetLastError();
      if (!ok && uint32_t(code) == qelcomm::ERR_CANCELLED) return failed ? kExitFailure : kExitOk;
      text += text.empty() ? "" : ", ";
      if (ok) {
        const Reading v = MakeReading(s, a.address, r, raw, a.raw);
        items.push_back(v.Json());
        text += v.Text();
        cells.push_back(v.scaled ? FormatUser(v.user) : std::to_string(v.raw));
        continue;
      }
      failed = true;
      cells.emplace_back();
      const Session::Judged j = s.Judge(code, ReadingWhat(a.address, r));
      if (LineFailed(code)) {
        lost = j;
        break;
      }
      items.push_back({{"number", r.number},
                       {"name", r.name.empty() ? json() : json(r.name)},
                       {"error", j.json}});
      text += r.Label() + " = FAILED (" + j.text + ")";
    }
    const uint64_t t = s.platform().NowMs() - start;
    if (lost) {
      if (!Reopen(s, a.address, *lost, t)) break;
      --n;  // the gap is no reading
      continue;
    }
    csv.Row(t, cells);
    if (s.json()) {
      s.PrintJson({{"time_ms", t}, {"address", a.address}, {"registers", items}}, true);
    } else {
      s.out() << "+" << Seconds(t) << "s  motor " << a.address << ": " << text << '\n'
              << std::flush;
    }
    if (n == a.count || !s.Pause(uint32_t(interval_ms))) break;
  }
  return failed ? kExitFailure : kExitOk;
}

int Read(Session& s, const ReadArgs& a) {
  const int addr = a.address;
  const bool watching = a.watch.on();
  // `read 1 --watch P_IST`: the word after --watch is the first register.
  std::vector<std::string> names = a.regs;
  if (const std::string stray = a.watch.Stray(); !stray.empty()) names.insert(names.begin(), stray);
  if (names.empty()) throw UsageError("REG is required");
  std::vector<RegisterRef> refs;
  for (const auto& text : names) refs.push_back(ResolveRegister(s.IsBig(addr), text));
  const int interval = watching ? a.watch.IntervalMs() : 0;
  s.Open();
  if (watching) return Watch(s, a, refs, interval);
  s.partial() = {{"address", addr}, {"registers", json::array()}};
  for (const RegisterRef& r : refs) {
    const Reading v = ReadChecked(s, addr, r, a.raw);
    s.partial()["registers"].push_back(v.Json());
    if (!s.json()) s.out() << "motor " << addr << ": " << v.Text() << '\n';
  }
  if (s.json()) s.PrintJson(s.partial());
  return kExitOk;
}

struct WriteArgs {
  int address = 0;
  std::string reg;
  std::string value;
  bool raw = false;
  bool force = false;
};

// Firmware facts and what tells one motor from another are not settings: a
// slip of the address there makes two motors answer as one.
void RefuseUnlessForced(const RegisterRef& r, bool force) {
  namespace reg = qelcomm::registers;
  if (force || (r.role != reg::Role::kReadOnly && r.role != reg::Role::kIdentity)) return;
  const bool identity = r.role == reg::Role::kIdentity;
  throw UsageError(r.Label() + (identity ? " is an " : " is a ") + reg::RoleName(r.role) +
                   " register; writing it needs --force");
}

int Write(Session& s, const WriteArgs& a) {
  const int addr = a.address;
  const bool big = s.IsBig(addr);
  const RegisterRef r = ResolveRegister(big, a.reg);
  // Checked and converted before anything is opened or sent.
  const int32_t raw = !a.raw && r.Scaled() ? ParseUserValue(a.value, r, s.Factors(big), big).raw
                                           : ParseRawValue(a.value, r);
  RefuseUnlessForced(r, a.force);
  const Reading v = MakeReading(s, addr, r, raw, a.raw);
  s.Open();
  s.Check(s.ctrl().WriteParameter(int16_t(addr), r.number, raw),
          "writing " + r.Label() + " to motor " + std::to_string(addr));
  if (s.json()) {
    json j = {{"address", addr}};
    j.update(v.Json());
    s.PrintJson(j);
  } else {
    s.out() << "motor " << addr << ": " << v.Text() << '\n';
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
        "registers every motor has, with each one's raw range and role");
    app->add_flag("--big", *big, "Show the big-motor table");
    out.push_back({app, [big](Session& s) { return Regs(s, *big); }});
  }
  {
    auto a = std::make_shared<ReadArgs>();
    auto* app = root.add_subcommand(
        "read", "Read registers; values in user units where the catalogue scales a register");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    // Checked by the command: a word taken by --watch may be the first.
    app->add_option("REG", a->regs, "Registers, by name or number (one at least)");
    app->add_flag("--raw", a->raw, "Raw register values instead of user units");
    AddWatchOption(app, a->watch,
                   "Read again every MS ms (500) until Ctrl-C or --count, one line (or JSON "
                   "object) each; a failed reading is marked, the watch goes on and the exit "
                   "status is then 1. A lost line is marked once and reopened until it is back");
    app->add_option("--count", a->count, "Stop after N readings")
        ->type_name("N")
        ->check(StrictInt(1, 1000000000))
        ->needs(a->watch.option);
    app->add_option("--csv", a->csv,
                    "Also log every reading to FILE: time in ms, then one column per register "
                    "(empty where a reading failed)")
        ->type_name("FILE")
        ->needs(a->watch.option);
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
    app->add_flag("--force", a->force,
                  "Also write a read-only or identity register (versions, ADDRESS, "
                  "SERIALNUMBER)");
    out.push_back({app, [a](Session& s) { return Write(s, *a); }});
  }
}

}  // namespace qelctl
