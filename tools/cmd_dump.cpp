// dump and restore: every catalogued register of a motor to a JSON file, and
// back, verified by reading each register again.
#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"
#include "dump_file.h"
#include "reading.h"
#include "session.h"

namespace qelctl {
namespace {
namespace reg = qelcomm::registers;
using json = nlohmann::ordered_json;

struct DumpArgs {
  int address = 0;
  std::string file;  // empty: stdout
};

// The motor's table, then the extended registers.
std::vector<RegisterRef> Catalogue(bool big) {
  std::vector<RegisterRef> refs;
  for (const reg::ParamInfo& e : big ? reg::BigTable() : reg::StandardTable()) {
    refs.push_back(ResolveRegister(big, std::to_string(e.Number)));
  }
  for (const reg::ParamInfo& e : reg::ExtendedTable()) {
    const int number = e.Number + qelcomm::protocol::kExtendedBase;
    refs.push_back(ResolveRegister(big, std::to_string(number)));
  }
  return refs;
}

// A register the motor does not answer for is listed with its error, and
// the dump goes on.
int Dump(Session& s, const DumpArgs& a) {
  const bool big = s.IsBig(a.address);
  s.Open();
  json regs = json::array();
  int missing = 0;
  for (const RegisterRef& r : Catalogue(big)) {
    int32_t raw = 0;
    s.NewCall();
    if (ReadRaw(s, a.address, r, raw)) {
      s.ctrl().GetLastError();
      CheckNotBig(s, a.address, r);  // a dump of the wrong table is worse than none
      json entry = MakeReading(s, a.address, r, raw, false).Json();
      entry["role"] = reg::RoleName(r.role);
      regs.push_back(entry);
      continue;
    }
    ++missing;
    const Session::Judged j = s.Judge(s.ctrl().GetLastError(), ReadingWhat(a.address, r));
    regs.push_back({{"number", r.number},
                    {"name", r.name},
                    {"role", reg::RoleName(r.role)},
                    {"error", j.json["message"]}});
  }
  const json doc = {{"address", a.address},
                    {"table", big ? "big" : "standard"},
                    {"factors", FactorSetJson(s.Factors(big))},
                    {"registers", regs}};
  const size_t read = regs.size() - size_t(missing);
  if (a.file.empty()) {
    s.PrintJson(doc);
  } else if (WriteWholeFile(a.file, doc.dump(2) + "\n"); s.json()) {
    s.PrintJson(
        {{"address", a.address}, {"file", a.file}, {"registers", read}, {"missing", missing}});
  } else {
    s.out() << "motor " << a.address << ": " << read << " registers to " << a.file
            << (missing ? ", " + std::to_string(missing) + " did not answer" : "") << '\n';
  }
  return kExitOk;
}

struct RestoreArgs {
  int address = 0;
  std::string file;
  bool dry_run = false;
  bool flash = false;
  bool include_live = false;
  bool include_identity = false;
};

// What a parameter set carries, and what it leaves alone by default: live
// values would move the motor or fail the check, identities copied from
// another motor make two answer as one, and read-only registers belong to
// the firmware.
struct Selection {
  std::vector<std::pair<RegisterRef, int32_t>> write;
  size_t in_file = 0;
  int live = 0, read_only = 0, identity = 0;

  json SkippedJson() const {
    return {{"live", live}, {"read_only", read_only}, {"identity", identity}};
  }
  // "left alone: 40 live (--include-live writes them), 2 identity (...)".
  std::string SkippedText() const {
    std::string text;
    auto add = [&text](int n, const std::string& what) {
      if (n > 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    };
    add(live, "live (--include-live writes them)");
    add(read_only, "read-only");
    add(identity, "identity (--include-identity writes them)");
    return text.empty() ? "" : "left alone: " + text + " registers";
  }
};

Selection LoadDump(Session& s, const RestoreArgs& a) {
  std::string text;
  if (const qelcomm::OsError e = s.platform().ReadWholeFile(a.file, text); e != 0) {
    throw UsageError("cannot read " + a.file + ": " + s.platform().ErrorText(e));
  }
  const bool big = s.IsBig(a.address);
  const DumpFile dump = ParseDump(text, a.file, big, s.Factors(big));
  if (dump.big && *dump.big != big) {
    const auto size = [](bool b) { return b ? std::string("big") : std::string("standard"); };
    throw UsageError(a.file + " holds the registers of a " + size(*dump.big) + " motor; motor " +
                     std::to_string(a.address) + " is taken as " + size(big) +
                     (big ? " (--big)" : " (--big selects a big one)") + "; nothing was written");
  }
  Selection out;
  out.in_file = dump.entries.size();
  for (const DumpEntry& e : dump.entries) {
    switch (e.reg.role) {
      case reg::Role::kSetting: break;
      case reg::Role::kLive:
        if (!a.include_live) { ++out.live; continue; }
        break;
      case reg::Role::kReadOnly: ++out.read_only; continue;
      case reg::Role::kIdentity:
        if (!a.include_identity) { ++out.identity; continue; }
        break;
    }
    out.write.emplace_back(e.reg, e.raw);
  }
  return out;
}

// Reads every register first: only those that differ are written, each is
// read back, and every difference left is reported.
int Restore(Session& s, const RestoreArgs& a) {
  const Selection selected = LoadDump(s, a);
  const auto& wanted = selected.write;
  s.Open();
  const std::string motor = "motor " + std::to_string(a.address);
  if (!s.json() && !selected.SkippedText().empty()) {
    s.out() << motor << ": " << selected.SkippedText() << '\n';
  }
  json changes = json::array();
  int written = 0, failed = 0;
  for (const auto& [r, want] : wanted) {
    const Reading now = ReadChecked(s, a.address, r, false);
    if (now.raw == want) continue;
    const Reading target = MakeReading(s, a.address, r, want, false);
    json change = {{"number", r.number}, {"name", r.name}, {"from", now.raw}, {"to", want}};
    std::string line = r.Label() + ": " + now.ValueText() + " -> " + target.ValueText();
    if (!a.dry_run) {
      s.NewCall();
      const bool ok = s.ctrl().WriteParameter(int16_t(a.address), r.number, want);
      s.ctrl().GetLastError();
      const Reading back = ReadChecked(s, a.address, r, false);
      change["read_back"] = back.raw;
      if (!ok || back.raw != want) {
        ++failed;
        line += ok ? ", but reads back " + std::to_string(back.raw) : ", but the write failed";
      } else {
        ++written;
      }
    }
    changes.push_back(change);
    if (!s.json()) s.out() << motor << ": " << line << '\n';
  }
  const bool flash = a.flash && !a.dry_run && failed == 0 && written > 0;
  if (flash) s.Check(s.ctrl().WriteToFlashWait(int16_t(a.address)), "flash of " + motor);
  if (s.json()) {
    s.PrintJson({{"address", a.address},
                 {"dry_run", a.dry_run},
                 {"changes", changes},
                 {"skipped", selected.SkippedJson()},
                 {"differences", failed},
                 {"flashed", flash}});
  } else {
    s.out() << motor << ": " << wanted.size() << " registers from " << a.file << ", "
            << changes.size() << (a.dry_run ? " would change" : " differed, ")
            << (a.dry_run ? "" : std::to_string(failed) + " still differ")
            << (flash ? ", saved to flash" : "") << '\n';
  }
  return failed == 0 ? kExitOk : kExitFailure;
}

}  // namespace

void AddDumpCommands(CLI::App& root, CommandList& out) {
  {
    auto a = std::make_shared<DumpArgs>();
    auto* app = root.add_subcommand(
        "dump",
        "Read every catalogued register of a motor into JSON: names, raw and user values, the "
        "table and factor sets used");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    app->add_option("-o,--output", a->file, "Write to FILE instead of stdout")->type_name("FILE");
    out.push_back({app, [a](Session& s) { return Dump(s, *a); }});
  }
  {
    auto a = std::make_shared<RestoreArgs>();
    auto* app = root.add_subcommand(
        "restore",
        "Write back the settings of a dump where the motor differs, read each back and report "
        "every difference (exit status 1 if any is left)");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    app->add_option("FILE", a->file, "A file written by dump")->required();
    app->add_flag("--dry-run", a->dry_run, "Only show what would change");
    app->add_flag("--flash", a->flash, "Save the registers to flash afterwards");
    app->add_flag("--include-live", a->include_live,
                  "Also write live registers: targets such as P_SOLL move the motor");
    app->add_flag("--include-identity", a->include_identity,
                  "Also write identity registers (ADDRESS, SERIALNUMBER), e.g. to give a "
                  "replacement motor the old one's");
    app->footer(
        "Only settings are written by default. Live registers (actual values, status, and\n"
        "targets that act at once), read-only and identity registers are left alone, and one\n"
        "line says how many. A dump of a big motor is refused for a standard one, and the\n"
        "reverse. Each entry's \"raw\" is written; an entry with only \"value\" is converted in\n"
        "units; one whose raw and value disagree, or whose name is not its number's, is refused.");
    out.push_back({app, [a](Session& s) { return Restore(s, *a); }});
  }
}

}  // namespace qelctl
