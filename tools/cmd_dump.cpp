// dump and restore: every catalogued register of a motor to a JSON file, and
// back, verified by reading each register again.
#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"
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
      regs.push_back(MakeReading(s, a.address, r, raw, false).Json());
      continue;
    }
    ++missing;
    const Session::Judged j = s.Judge(s.ctrl().GetLastError(), ReadingWhat(a.address, r));
    regs.push_back({{"number", r.number}, {"name", r.name}, {"error", j.json["message"]}});
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
};

// The registers of a dump: number and raw value of each that was read.
std::vector<std::pair<RegisterRef, int32_t>> LoadDump(Session& s, const RestoreArgs& a) {
  std::string text;
  if (const qelcomm::OsError e = s.platform().ReadWholeFile(a.file, text); e != 0) {
    throw UsageError("cannot read " + a.file + ": " + s.platform().ErrorText(e));
  }
  const json doc = json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("registers") || !doc["registers"].is_array()) {
    throw UsageError(a.file + " is not a dump (no \"registers\" list)");
  }
  const bool big = s.IsBig(a.address);
  std::vector<std::pair<RegisterRef, int32_t>> out;
  for (const json& item : doc["registers"]) {
    if (!item.is_object() || !item.contains("number") || item.contains("error")) continue;
    const json raw = item.contains("raw") ? item["raw"] : item["value"];
    if (!item["number"].is_number_integer() || !raw.is_number_integer()) {
      throw UsageError(a.file + ": register " + item["number"].dump() +
                       " has no integer raw value");
    }
    const RegisterRef r = ResolveRegister(big, std::to_string(item["number"].get<int64_t>()));
    out.emplace_back(r, ParseRawValue(std::to_string(raw.get<int64_t>()), r));
  }
  return out;
}

// Reads every register first: only those that differ are written, each is
// read back, and every difference left is reported.
int Restore(Session& s, const RestoreArgs& a) {
  const auto wanted = LoadDump(s, a);
  s.Open();
  const std::string motor = "motor " + std::to_string(a.address);
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
                 {"differences", failed},
                 {"flashed", flash}});
  } else {
    s.out() << motor << ": " << wanted.size() << " registers in " << a.file << ", "
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
        "Write back the raw values of a dump where the motor differs, read each back and report "
        "every difference (exit status 1 if any is left)");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    app->add_option("FILE", a->file, "A file written by dump")->required();
    app->add_flag("--dry-run", a->dry_run, "Only show what would change");
    app->add_flag("--flash", a->flash, "Save the registers to flash afterwards");
    out.push_back({app, [a](Session& s) { return Restore(s, *a); }});
  }
}

}  // namespace qelctl
