// dump and restore: every catalogued register of a motor to a JSON file, and
// back, verified by reading each register again.
#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"
#include "reading.h"
#include "qelcomm/parameter_set.h"
#include "session.h"

namespace qelctl {
namespace {
namespace reg = qelcomm::registers;
namespace params = qelcomm::params;
using json = nlohmann::ordered_json;

struct DumpArgs {
  int address = 0;
  std::string file;  // empty: stdout
};

// A register the motor does not answer for is listed with its error, and
// the dump goes on.
int Dump(Session& s, const DumpArgs& a) {
  const bool big = s.IsBig(a.address);
  s.Open();
  auto read = [&](const RegisterRef& r, int32_t& raw, std::string& why) {
    s.NewCall();
    if (ReadRaw(s, a.address, r, raw)) {
      s.ctrl().GetLastError();
      CheckNotBig(s, a.address, r);  // a dump of the wrong table is worse than none
      return true;
    }
    why = s.Judge(s.ctrl().GetLastError(), ReadingWhat(a.address, r)).json["message"];
    return false;
  };
  const params::DumpResult dump = params::Dump(a.address, big, s.Factors(big), read);
  if (dump.read == 0) {  // a file of errors is no parameter set
    s.FailNamed("dumping motor " + std::to_string(a.address),
                "none of its " + std::to_string(dump.missing) +
                    " registers answered: is there a motor at this address?",
                kNoAnswerName);
  }
  if (a.file.empty()) {
    s.out() << dump.text << std::flush;
  } else if (WriteWholeFile(a.file, dump.text); s.json()) {
    s.PrintJson({{"address", a.address},
                 {"file", a.file},
                 {"registers", dump.read},
                 {"missing", dump.missing}});
  } else {
    s.out() << "motor " << a.address << ": " << dump.read << " registers to " << a.file
            << (dump.missing ? ", " + std::to_string(dump.missing) + " did not answer" : "")
            << '\n';
  }
  return kExitOk;
}

struct RestoreArgs {
  int address = 0;
  std::string file;
  bool dry_run = false;
  bool flash = false;
  params::RestoreOptions options;
};

params::RestorePlan LoadPlan(Session& s, const RestoreArgs& a) {
  std::string text;
  if (const qelcomm::OsError e = s.platform().ReadWholeFile(a.file, text); e != 0) {
    throw UsageError("cannot read " + a.file + ": " + s.platform().ErrorText(e));
  }
  const bool big = s.IsBig(a.address);
  try {
    const params::ParameterSet set = params::ParseParameterSet(text, a.file, big, s.Factors(big));
    return params::PlanRestore(set, a.file, a.address, big, a.options);
  } catch (const params::ParameterSetError& e) {
    throw UsageError(e.what());
  }
}

// "P_SOLL (3): 10 -> 20, but reads back 15".
std::string ChangeText(Session& s, int address, const params::Change& c) {
  std::string line = c.reg.Label() + ": " + MakeReading(s, address, c.reg, c.from, false).ValueText() +
                     " -> " + MakeReading(s, address, c.reg, c.to, false).ValueText();
  if (!c.StillDiffers()) return line;
  return line + (c.write_ok ? ", but reads back " + std::to_string(*c.read_back)
                            : ", but the write failed");
}

int Restore(Session& s, const RestoreArgs& a) {
  const params::RestorePlan plan = LoadPlan(s, a);
  s.Open();
  const std::string motor = "motor " + std::to_string(a.address);
  if (!s.json() && !plan.SkippedText().empty()) s.out() << motor << ": " << plan.SkippedText() << '\n';
  params::MotorAccess access{
      [&](const RegisterRef& r) { return ReadChecked(s, a.address, r, false).raw; },
      [&](const RegisterRef& r, int32_t raw) {
        s.NewCall();
        const bool ok = s.ctrl().WriteParameter(int16_t(a.address), r.number, raw);
        s.ctrl().GetLastError();
        return ok;
      }};
  params::RestoreResult result = params::Restore(plan, a.dry_run, access, [&](const params::Change& c) {
    if (!s.json()) s.out() << motor << ": " << ChangeText(s, a.address, c) << '\n';
  });
  if (result.ShouldFlash(a.flash, a.dry_run)) {
    s.Check(s.ctrl().WriteToFlashWait(int16_t(a.address)), "flash of " + motor);
    result.flashed = true;
  }
  if (s.json()) {
    s.out() << result.Json(plan, a.dry_run) << std::flush;
  } else {
    s.out() << motor << ": " << plan.write.size() << " registers from " << a.file << ", "
            << result.changes.size() << (a.dry_run ? " would change" : " differed, ")
            << (a.dry_run ? "" : std::to_string(result.differences) + " still differ")
            << (result.flashed ? ", saved to flash" : "") << '\n';
  }
  return result.differences == 0 ? kExitOk : kExitFailure;
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
    app->add_flag("--include-live", a->options.include_live,
                  "Also write live registers: targets such as P_SOLL move the motor");
    app->add_flag("--include-identity", a->options.include_identity,
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
