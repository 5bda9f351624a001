// status, reset, flash: commands addressed to one motor as a whole.
#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"
#include "format.h"
#include "progress.h"
#include "qelcomm/protocol.h"
#include "session.h"
#include "watch.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;

struct StatusArgs {
  int address = 0;
  WatchOption watch;
  int interval_ms = 0;  // --interval: the older spelling of --watch MS
  int count = 0;  // 0 = until interrupted
};

int Status(Session& s, const StatusArgs& a) {
  const auto addr = int16_t(a.address);
  if (const std::string stray = a.watch.Stray(); !stray.empty()) {
    throw UsageError("--watch: interval " + Quoted(stray) + " is not a number of ms");
  }
  const bool watch = a.watch.on();
  const int interval_ms = a.interval_ms > 0 ? a.interval_ms : a.watch.IntervalMs();
  s.Open();
  const uint64_t start = s.platform().NowMs();
  if (watch) s.CatchInterrupt();
  bool gap = false;  // a lost line fails the run, as a failed reading does
  for (int n = 1;; ++n) {
    int16_t word = 0;
    int32_t position = 0;
    int16_t errors = 0;
    s.NewCall();
    const bool ok = s.ctrl().ReadStatus(addr, word, position, errors);
    if (!ok && watch && s.Interrupted()) break;  // Ctrl-C cancelled the reading
    const std::string what = "reading the status of motor " + std::to_string(addr);
    const uint64_t t = s.platform().NowMs() - start;
    if (!ok) {
      const int32_t code = s.ctrl().GetLastError();
      if (!watch || !LineFailed(code)) s.Fail(code, what);
      gap = true;
      if (!Reopen(s, addr, s.Judge(code, what), t)) break;
      --n;  // the gap is no reading
      continue;
    }
    s.Check(ok, what);
    const std::string hex = Hex(uint16_t(word), 2);
    if (s.json()) {
      json j = {{"address", addr},
                {"status", uint16_t(word)},
                {"status_hex", hex},
                {"position", position},
                {"errors", errors}};
      if (watch) j["time_ms"] = t;
      s.PrintJson(j, watch);  // one object per line while watching
    } else {
      if (watch) s.out() << "+" << Seconds(t) << "s  ";
      s.out() << "motor " << addr << ": status " << hex << "  position " << position << "  errors "
              << errors << '\n'
              << std::flush;
    }
    if (!watch || n == a.count || !s.Pause(uint32_t(interval_ms))) break;
  }
  return gap ? kExitFailure : kExitOk;
}

// Reset and flash share their shape: a plain command, or one that waits
// until the motor answers again.
struct SafeModeCommand {
  const char* name;
  const char* done;     // "reset"
  const char* waiting;  // "to restart"
  uint8_t sync;         // of the command telegram itself
  bool (qelcomm::CQelCommCtrl::*plain)(int16_t);
  bool (qelcomm::CQelCommCtrl::*wait)(int16_t);
  bool stays_safe;  // the motor may stay in safe mode afterwards
};

constexpr SafeModeCommand kReset{"reset", "reset", "to restart", qelcomm::protocol::sync::kRestart,
                                 &qelcomm::CQelCommCtrl::Reset, &qelcomm::CQelCommCtrl::ResetWait,
                                 false};
constexpr SafeModeCommand kFlash{"flash",
                                 "registers saved to flash",
                                 "to finish writing flash",
                                 qelcomm::protocol::sync::kFlash,
                                 &qelcomm::CQelCommCtrl::WriteToFlash,
                                 &qelcomm::CQelCommCtrl::WriteToFlashWait,
                                 true};

struct SafeModeArgs {
  int address = 0;
  bool wait = false;
  int wait_ms = 0;  // probing beyond the 5 s wait
};

bool CommandSent(const LineLog& log, uint8_t sync) {
  for (const auto& a : log.attempts()) {
    if (!a.sent.empty() && a.sent[0] == sync) return true;
  }
  return false;
}

// Reads PROG_VERSION until the motor answers or `ms` have passed. Each
// silent read costs its reply windows; a failing port ends it at once.
bool ProbeFor(Session& s, int16_t addr, uint32_t ms) {
  const uint64_t end = s.platform().NowMs() + ms;
  while (s.platform().NowMs() < end) {
    int32_t version = 0;
    if (s.ctrl().ReadParameter(addr, 1, version)) return true;
    const auto code = uint32_t(s.ctrl().GetLastError());
    if (!qelcomm::IsReplyError(code)) return false;
  }
  return false;
}

// Whether MODE_REG reads safe mode; a failed read says nothing.
bool InSafeMode(Session& s, int16_t addr) {
  int32_t mode = 0;
  const bool ok = s.ctrl().ReadParameter(addr, qelcomm::protocol::reg::kModeReg, mode);
  s.NewCall();
  return ok && mode == qelcomm::protocol::kSafeModeValue;
}

int RunSafeMode(Session& s, const SafeModeCommand& c, const SafeModeArgs& a) {
  const auto addr = int16_t(a.address);
  const std::string motor = "motor " + std::to_string(addr);
  s.Open();
  const uint64_t start = s.platform().NowMs();
  {
    // The wait polls the motor; every telegram turns the spinner.
    Spinner spinner(s.err(), s.err_is_tty() && (a.wait || a.wait_ms > 0),
                    "waiting for " + motor + " " + c.waiting + "...");
    s.SetActivity([&spinner] { spinner.Tick(); });
    const bool wait = a.wait || a.wait_ms > 0;
    bool ok = (s.ctrl().*(wait ? c.wait : c.plain))(addr);
    const int32_t code = s.ctrl().GetLastError();
    const bool sent = CommandSent(s.line(), c.sync);
    if (!ok && sent && a.wait_ms > 0) ok = ProbeFor(s, addr, uint32_t(a.wait_ms));
    s.SetActivity(nullptr);
    spinner.Clear();
    if (!ok) {
      s.Fail(code, std::string(c.name) + " of " + motor,
             sent ? std::string("the ") + c.name + " command was sent, but " + motor +
                        " did not answer again in time" +
                        (a.wait_ms > 0 ? "" : " (--wait-ms N waits longer)")
                  : std::string("the ") + c.name + " command was not sent");
    }
    s.NewCall();
  }
  const uint64_t elapsed = s.platform().NowMs() - start;
  const bool waited = a.wait || a.wait_ms > 0;
  const bool safe = waited && c.stays_safe && InSafeMode(s, addr);
  if (s.json()) {
    json j = {{"address", addr}, {"command", c.name}, {"waited", waited}, {"elapsed_ms", elapsed}};
    if (safe) j["safe_mode"] = true;
    s.PrintJson(j);
  } else {
    s.out() << motor << ": " << c.done;
    if (waited) s.out() << ", answering again after " << Seconds(elapsed) << " s";
    s.out() << '\n';
    if (safe) {
      s.out() << motor << " stays in safe mode (MODE_REG " << qelcomm::protocol::kSafeModeValue
              << "); 'qelctl reset " << addr << " --wait' restarts it into normal operation\n";
    }
  }
  return kExitOk;
}

void AddSafeModeCommand(CLI::App& root, CommandList& out, const SafeModeCommand& c,
                        const char* description) {
  auto a = std::make_shared<SafeModeArgs>();
  auto* app = root.add_subcommand(c.name, description);
  app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
  app->add_flag("--wait", a->wait, "Return once the motor answers again (at most 5 s)");
  app->add_option("--wait-ms", a->wait_ms,
                  "Like --wait, then go on probing up to N ms more for motors that take longer")
      ->type_name("N")
      ->check(StrictInt(1, 600000));
  out.push_back({app, [a, &c](Session& s) { return RunSafeMode(s, c, *a); }});
}

}  // namespace

void AddMotorCommands(CLI::App& root, CommandList& out) {
  {
    auto a = std::make_shared<StatusArgs>();
    auto* app = root.add_subcommand(
        "status", "Read a motor's status: status word, position and error counter");
    app->add_option("ADDR", a->address, "Motor address")->required()->check(StrictInt(1, 255));
    AddWatchOption(app, a->watch,
                   "Read again every MS ms (500) until Ctrl-C or --count, as read does");
    app->add_option("--interval", a->interval_ms, "Pause between readings, in ms (as --watch MS)")
        ->type_name("MS")
        ->check(StrictInt(1, 3600000))
        ->needs(a->watch.option);
    app->add_option("--count", a->count, "Stop after N readings")
        ->type_name("N")
        ->check(StrictInt(1, 1000000000))
        ->needs(a->watch.option);
    out.push_back({app, [a](Session& s) { return Status(s, *a); }});
  }
  AddSafeModeCommand(root, out, kReset, "Restart a motor through its safe mode");
  AddSafeModeCommand(root, out, kFlash, "Save a motor's registers to its flash");
}

}  // namespace qelctl
