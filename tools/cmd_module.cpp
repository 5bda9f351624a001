// module and qup: the Vemo expansion module fitted to a motor, and the Qup
// program it runs. A module answers at the address of its motor.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>

#include "args.h"
#include "command.h"
#include "format.h"
#include "progress.h"
#include "qelcomm/protocol.h"
#include "session.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;
using qelcomm::CQelCommCtrl;
using qelcomm::protocol::kPageSize;

std::string Mod(int addr) { return "module " + std::to_string(addr); }
json OrNull(int v) { return v < 0 ? json() : json(v); }

void AddAddress(CLI::App* app, int& address) {
  app->add_option("ADDR", address, "Address of the motor the module is fitted to")
      ->required()
      ->check(StrictInt(1, 255));
}

int Info(Session& s, int address) {
  const auto addr = int16_t(address);
  s.Open();
  int16_t type = -1, firmware = -1;  // stay negative where a short reply ends
  s.CheckModule(s.ctrl().GetModuleType(addr, type, firmware), "identifying " + Mod(addr));
  if (s.json()) {
    s.PrintJson({{"address", addr}, {"type", OrNull(type)}, {"firmware", OrNull(firmware)}});
  } else {
    s.out() << Mod(addr) << ": " << ModuleIdText(type, firmware) << '\n';
  }
  return kExitOk;
}

// Commands without a result of their own.
struct SimpleCommand {
  const char* name;
  const char* done;  // "stopped"
  bool (CQelCommCtrl::*run)(int16_t);
  const char* what;  // "stopping": for the error message
};

int RunSimple(Session& s, const SimpleCommand& c, int address) {
  const auto addr = int16_t(address);
  s.Open();
  s.Check((s.ctrl().*c.run)(addr), std::string(c.what) + " " + Mod(addr));
  if (s.json()) {
    s.PrintJson({{"address", addr}, {"command", c.name}});
  } else {
    s.out() << Mod(addr) << ": " << c.done << '\n';
  }
  return kExitOk;
}

// The resets and the write command: a plain telegram, or one followed by a
// wait until the module identifies itself again.
struct WaitingCommand {
  const char* name;
  const char* done;     // "reset"
  const char* waiting;  // "to restart"
  const char* what;     // "resetting": for the error message
  bool (CQelCommCtrl::*plain)(int16_t);
  bool (CQelCommCtrl::*wait)(int16_t);  // null: `plain` waits itself
};

int RunWaiting(Session& s, const WaitingCommand& c, int address, bool wait) {
  const auto addr = int16_t(address);
  wait = wait || c.wait == nullptr;
  s.Open();
  const uint64_t start = s.platform().NowMs();
  {
    Spinner spinner(s.err(), s.err_is_tty() && wait,
                    "waiting for " + Mod(addr) + " " + c.waiting + "...");
    s.SetActivity([&spinner] { spinner.Tick(); });
    const bool ok = (s.ctrl().*(c.wait != nullptr && wait ? c.wait : c.plain))(addr);
    s.SetActivity(nullptr);
    spinner.Clear();
    s.CheckModule(ok, std::string(c.what) + " " + Mod(addr));
  }
  const uint64_t elapsed = s.platform().NowMs() - start;
  if (s.json()) {
    s.PrintJson(
        {{"address", addr}, {"command", c.name}, {"waited", wait}, {"elapsed_ms", elapsed}});
  } else {
    s.out() << Mod(addr) << ": " << c.done;
    if (wait) s.out() << ", answering again after " << Seconds(elapsed) << " s";
    s.out() << '\n';
  }
  return kExitOk;
}

constexpr WaitingCommand kModuleReset{"reset",
                                      "reset",
                                      "to restart",
                                      "resetting",
                                      &CQelCommCtrl::VemoReset,
                                      &CQelCommCtrl::VemoResetWait};
constexpr WaitingCommand kModuleWrite{
    "write", "pages written", "to finish writing", "writing the pages of", &CQelCommCtrl::VemoWrite,
    nullptr};
constexpr WaitingCommand kQupReset{"reset",
                                   "program reset",
                                   "to restart its program",
                                   "resetting the program of",
                                   &CQelCommCtrl::QupReset,
                                   &CQelCommCtrl::QupResetWait};

int Debug(Session& s, int address) {
  const auto addr = int16_t(address);
  s.Open();
  int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
  int32_t time = 0, count = 0;
  s.CheckModule(s.ctrl().VemoDebug(addr, state, inputs, outputs, time, count, mode),
                "reading the debug state of " + Mod(addr));
  if (s.json()) {
    s.PrintJson({{"address", addr},
                 {"state", state},
                 {"inputs", inputs},
                 {"outputs", outputs},
                 {"time", time},
                 {"count", count},
                 {"mode_cmd", mode}});
  } else {
    s.out() << Mod(addr) << ": state " << ProgramStateText(state) << ", inputs " << Hex(uint16_t(inputs), 1)
            << ", outputs " << Hex(uint16_t(outputs), 1) << ", time " << time << ", count " << count
            << ", mode command " << mode << '\n';
  }
  return kExitOk;
}

struct PageArgs {
  int address = 0;
  int page = 0;
  std::string file;
};

std::string PageOf(const PageArgs& a) {
  return "page " + std::to_string(a.page) + " of " + Mod(a.address);
}

int Get(Session& s, const PageArgs& a) {
  s.Open();
  std::vector<uint8_t> data;
  s.CheckModule(s.ctrl().VemoGet(int16_t(a.address), int16_t(a.page), data),
                "reading " + PageOf(a));
  if (!a.file.empty()) {
    WriteWholeFile(a.file, {reinterpret_cast<const char*>(data.data()), data.size()});
    if (s.json()) {
      s.PrintJson(
          {{"address", a.address}, {"page", a.page}, {"file", a.file}, {"bytes", data.size()}});
    } else {
      s.out() << Mod(a.address) << ": page " << a.page << " (" << data.size()
              << " bytes) written to " << a.file << '\n';
    }
  } else if (s.json()) {
    s.PrintJson({{"address", a.address}, {"page", a.page}, {"data", data}});
  } else {
    s.out() << HexDump(data);
  }
  return kExitOk;
}

int Put(Session& s, const PageArgs& a) {
  // The file is checked before the port is opened: a usage error sends nothing.
  std::string contents;
  if (const qelcomm::OsError e = s.platform().ReadWholeFile(a.file, contents); e != 0) {
    throw UsageError("cannot read " + a.file + ": " + s.platform().ErrorText(e));
  }
  if (contents.size() < kPageSize) {
    throw UsageError(a.file + " holds " + std::to_string(contents.size()) +
                     " bytes; a page needs " + std::to_string(kPageSize));
  }
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(contents.data()), kPageSize);
  s.Open();
  s.Check(s.ctrl().VemoPut(int16_t(a.address), int16_t(a.page), data), "sending " + PageOf(a));
  if (s.json()) {
    s.PrintJson({{"address", a.address}, {"page", a.page}, {"file", a.file}, {"bytes", kPageSize}});
  } else {
    s.out() << Mod(a.address) << ": page " << a.page << " sent ("
            << (contents.size() == kPageSize ? "" : "the first ") << kPageSize << " bytes of "
            << a.file << ")\n";
  }
  return kExitOk;
}

// Qup commands that carry no result.
constexpr SimpleCommand kQupStart{"start", "program started", &CQelCommCtrl::QupStart,
                                  "starting the program of"};
constexpr SimpleCommand kQupStop{"stop", "program stopped", &CQelCommCtrl::QupStop,
                                 "stopping the program of"};
constexpr SimpleCommand kQupPause{"pause", "program paused", &CQelCommCtrl::QupPause,
                                  "pausing the program of"};
constexpr SimpleCommand kModuleStop{"stop", "stopped", &CQelCommCtrl::VemoStop, "stopping"};

int Noop(Session& s, int address) {
  const auto addr = int16_t(address);
  s.Open();
  int16_t value = 0;
  s.Check(s.ctrl().QupNOOP(addr, value), "sending NOOP to " + Mod(addr));
  if (s.json()) {
    s.PrintJson({{"address", addr}, {"command", "noop"}, {"value", value}});
  } else {
    s.out() << Mod(addr) << ": NOOP value " << value << " (" << Hex(uint16_t(value), 2) << ")\n";
  }
  return kExitOk;
}

struct StepArgs {
  int address = 0;
  int min = 0;
  int max = 0;
};

int Step(Session& s, const StepArgs& a) {
  const auto addr = int16_t(a.address);
  if (a.min > a.max) {
    throw UsageError("MIN " + Hex(uint32_t(a.min), 2) + " is above MAX " + Hex(uint32_t(a.max), 2));
  }
  s.Open();
  s.Check(s.ctrl().QupStep(addr, int16_t(a.min), int16_t(a.max)),
          "stepping the program of " + Mod(addr));
  if (s.json()) {
    s.PrintJson({{"address", addr}, {"command", "step"}, {"min", a.min}, {"max", a.max}});
  } else {
    s.out() << Mod(addr) << ": program stepped within " << Hex(uint32_t(a.min), 2) << ".."
            << Hex(uint32_t(a.max), 2) << '\n';
  }
  return kExitOk;
}

struct OutputsArgs {
  int address = 0;
  int outputs = 0;
  int mask = 0;
};

int Outputs(Session& s, const OutputsArgs& a) {
  const auto addr = int16_t(a.address);
  s.Open();
  s.Check(s.ctrl().QupSetOutputs(addr, int16_t(a.outputs), int16_t(a.mask)),
          "setting the outputs of " + Mod(addr));
  json on = json::array(), off = json::array();
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if ((a.mask >> i & 1) == 0) continue;
    const bool set = (a.outputs >> i & 1) != 0;
    (set ? on : off).push_back(i);
    text += (text.empty() ? "" : ", ") + std::to_string(i) + (set ? " on" : " off");
  }
  if (s.json()) {
    s.PrintJson({{"address", addr},
                 {"command", "outputs"},
                 {"outputs", a.outputs},
                 {"mask", a.mask},
                 {"on", on},
                 {"off", off}});
  } else {
    s.out() << Mod(addr) << ": outputs " << (text.empty() ? "unchanged (mask 0)" : text) << '\n';
  }
  return kExitOk;
}

// `name ADDR` subcommands whose whole argument is the address.
template <typename Run>
void AddByAddress(CLI::App* group, CommandList& out, const char* name, const char* description,
                  Run run) {
  auto address = std::make_shared<int>(0);
  auto* app = group->add_subcommand(name, description);
  AddAddress(app, *address);
  out.push_back({app, [address, run](Session& s) { return run(s, *address); }});
}

void AddWaiting(CLI::App* group, CommandList& out, const WaitingCommand& c,
                const std::string& description, const char* wait_help) {
  auto address = std::make_shared<int>(0);
  auto wait = std::make_shared<bool>(false);
  auto* app = group->add_subcommand(c.name, description);
  AddAddress(app, *address);
  if (wait_help != nullptr) app->add_flag("--wait", *wait, wait_help);
  out.push_back(
      {app, [address, wait, &c](Session& s) { return RunWaiting(s, c, *address, *wait); }});
}

void AddSimple(CLI::App* group, CommandList& out, const SimpleCommand& c, const char* description) {
  AddByAddress(group, out, c.name, description,
               [&c](Session& s, int address) { return RunSimple(s, c, address); });
}

CLI::App* AddGroup(CLI::App& root, const char* name, const char* description, const char* footer) {
  auto* group = root.add_subcommand(name, description);
  group->require_subcommand(1);
  group->footer(footer);
  return group;
}

}  // namespace

void AddModuleCommands(CLI::App& root, CommandList& out) {
  auto* group = AddGroup(
      root, "module",
      "Vemo expansion modules: identify, reset, stop, debug, read and write pages, program",
      "A module answers at the address of the motor it is fitted to. 'program' is the usual\n"
      "way to load one; 'put' only sends a page, which 'write' then commits.");
  AddByAddress(group, out, "info", "Identify the module: its type and firmware version", Info);
  AddWaiting(group, out, kModuleReset, "Restart the module (unanswered)",
             "Return once the module identifies itself again");
  AddSimple(group, out, kModuleStop, "Stop the module (programming does this first)");
  AddByAddress(group, out, "debug",
               "Read the module's debug state: state, inputs, outputs, time, count, mode", Debug);
  {
    auto a = std::make_shared<PageArgs>();
    auto* app = group->add_subcommand(
        "get", "Read a 128-byte memory page: a hex dump, or the raw bytes with -o");
    AddAddress(app, a->address);
    app->add_option("PAGE", a->page, "Page number")->required()->check(StrictInt(0, 255));
    app->add_option("-o,--output", a->file, "Write the 128 raw bytes to FILE instead")
        ->type_name("FILE");
    out.push_back({app, [a](Session& s) { return Get(s, *a); }});
  }
  {
    auto a = std::make_shared<PageArgs>();
    auto* app =
        group->add_subcommand("put", "Send a 128-byte memory page: the first 128 bytes of FILE");
    AddAddress(app, a->address);
    app->add_option("PAGE", a->page, "Page number")->required()->check(StrictInt(0, 255));
    app->add_option("FILE", a->file, "File of at least 128 bytes")->required();
    app->footer(
        "Only the first 128 bytes of FILE are sent; a shorter file is refused before anything\n"
        "is sent. 'qelctl module write ADDR' then sends the write command that finishes the\n"
        "transfer.");
    out.push_back({app, [a](Session& s) { return Put(s, *a); }});
  }
  AddWaiting(group, out, kModuleWrite,
             "Commit the pages sent and wait until the module answers again (7 s max per try)",
             nullptr);
  AddModuleProgramCommand(group, out);
}

void AddQupCommands(CLI::App& root, CommandList& out) {
  auto* group =
      AddGroup(root, "qup", "The Qup program in a module: start, stop, pause, step, outputs, reset",
               "ADDR is the address of the motor the module is fitted to.");
  AddSimple(group, out, kQupStart, "Start the program");
  AddSimple(group, out, kQupStop, "Stop the program");
  AddSimple(group, out, kQupPause, "Pause the program");
  {
    auto a = std::make_shared<StepArgs>();
    auto* app = group->add_subcommand("step", "Step the program within program addresses MIN..MAX");
    AddAddress(app, a->address);
    app->add_option("MIN", a->min, "Lowest program address")
        ->required()
        ->check(StrictInt(0, 0xFFFF));
    app->add_option("MAX", a->max, "Highest program address")
        ->required()
        ->check(StrictInt(0, 0xFFFF));
    out.push_back({app, [a](Session& s) { return Step(s, *a); }});
  }
  {
    auto a = std::make_shared<OutputsArgs>();
    auto* app = group->add_subcommand(
        "outputs",
        "Switch outputs 0..3: those selected by MASK go on where OUTPUTS has their bit, off "
        "where not; the others stay");
    AddAddress(app, a->address);
    app->add_option("OUTPUTS", a->outputs, "Bit i set: output i on (0..15, or 0x hex)")
        ->required()
        ->check(StrictInt(0, 15));
    app->add_option("MASK", a->mask, "Bit i set: output i changes (0..15)")
        ->required()
        ->check(StrictInt(0, 15));
    app->footer("Example: 'qelctl qup outputs 1 0x5 0x7' switches outputs 0 and 2 on and 1 off.");
    out.push_back({app, [a](Session& s) { return Outputs(s, *a); }});
  }
  AddWaiting(group, out, kQupReset, "Reset the program (unanswered)",
             "Return once the module identifies itself again");
  AddByAddress(group, out, "noop", "Send a NOOP and print the value the module returns", Noop);
}

}  // namespace qelctl
