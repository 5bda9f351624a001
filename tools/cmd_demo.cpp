// demo: a guided tour of the control on the embedded virtual bus. Waits run
// in virtual time, so the whole tour takes well under a second of real time.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "args.h"
#include "command.h"
#include "embedded.h"
#include "format.h"
#include "qelcomm/program_image.h"
#include "qelcomm/protocol.h"
#include "session.h"
#include "virtual_bus.h"

namespace qelctl {
namespace {

constexpr int16_t kMotor = 1;
constexpr int16_t kBigMotor = 2;
constexpr int16_t kNoMotor = 9;
constexpr int32_t kTarget = 30000;
constexpr uint32_t kPollMs = 20;
constexpr int kMaxPolls = 50;
constexpr uint32_t kRunMs = 500;  // how long the module's program runs
using qelcomm::protocol::kPageSize;

// VemoProgram reads a file: the demo's built-in HEX text goes into a
// temporary one for as long as the tour needs it.
class TempFile {
 public:
  explicit TempFile(std::string_view contents) {
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec);
    path_ = (ec ? std::filesystem::path(".") : dir) /
            ("qelctl-demo-module-" + std::to_string(std::random_device{}()) + ".hex");
    std::ofstream f(path_, std::ios::binary);
    f.write(contents.data(), std::streamsize(contents.size()));
    ok_ = bool(f.flush());
  }
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  bool ok() const { return ok_; }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
  bool ok_ = false;
};

class Tour {
 public:
  explicit Tour(Session& s) : s_(s), c_(s.ctrl()), out_(s.out()) {}

  int Run() {
    const uint64_t start = s_.platform().NowMs();
    Open();
    Catalogue();
    ReadByName();
    WriteUserUnits();
    Status();
    Move();
    GroupWrite();
    ResetWait();
    FlashWait();
    ModuleIdentify();
    ModuleProgram();
    ModuleReadBack();
    ModuleRun();
    ErrorCase();
    out_ << "\nDone: " << Seconds(s_.platform().NowMs() - start)
         << " s of bus time, no hardware needed.\n";
    return kExitOk;
  }

 private:
  void Step(const std::string& heading) { out_ << "\n[" << ++step_ << "] " << heading << '\n'; }
  void Line(const std::string& text) { out_ << "    " << text << '\n'; }
  std::string M(int16_t addr) { return "motor " + std::to_string(addr); }

  RegisterRef Reg(int16_t addr, const char* name) {
    return ResolveRegister(s_.IsBig(addr), name);
  }
  int32_t ReadRaw(int16_t addr, const RegisterRef& r) {
    int32_t v = 0;
    s_.Check(c_.ReadParameter(addr, r.number, v), "reading " + r.Label() + " from " + M(addr));
    return v;
  }
  float ReadUser(int16_t addr, const RegisterRef& r) {
    float v = 0;
    s_.Check(c_.ReadParameterAlternate(addr, r.number, v),
             "reading " + r.Label() + " from " + M(addr));
    return v;
  }

  void Open() {
    Step("Open the embedded virtual bus");
    s_.Open();
    Line("opened " + s_.PortLabel() + ": a standard motor at 1, a " +
         (s_.IsBig(kBigMotor) ? "big" : "standard") + " motor at 2, a module on motor 1");
  }

  void Catalogue() {
    Step("A few registers of the standard table (all of them: qelctl regs)");
    for (const char* name : {"PROG_VERSION", "MODE_REG", "P_SOLL", "V_SOLL", "P_IST"}) {
      const RegisterRef r = Reg(kMotor, name);
      Line(r.Label() + ": " + (r.shape.is32 ? "32" : "16") + "-bit, type " +
           std::to_string(r.info.Type) +
           (r.Scaled() ? ", scaled to user units" : ""));
    }
  }

  void ReadByName() {
    Step("Read PROG_VERSION and MODE_REG by name");
    for (int16_t addr : {kMotor, kBigMotor}) {
      const RegisterRef version = Reg(addr, "prog_version");
      const RegisterRef mode = Reg(addr, "mode_reg");
      Line(M(addr) + ": " + version.Label() + " = " +
           Hex(uint32_t(ReadRaw(addr, version)), version.shape.is32 ? 4 : 2) + ", " + mode.Label() +
           " = " + std::to_string(ReadRaw(addr, mode)));
    }
  }

  void WriteUserUnits() {
    const RegisterRef v = Reg(kMotor, "V_SOLL");
    const double factor = s_.Factors(s_.IsBig(kMotor)).velocity;
    Step("Write " + v.name + " = 100 in user units and read it back (velocity factor " +
         FormatUser(factor) + ")");
    s_.Check(c_.WriteParameterAlternate(kMotor, v.number, 100.0f), "writing " + v.Label());
    Line("reads back " + FormatFloat(ReadUser(kMotor, v)) + " user units, raw " +
         std::to_string(ReadRaw(kMotor, v)) + " (the raw value is an integer)");
  }

  void Status() {
    Step("Read the status of motor 1");
    Line(StatusText(kMotor));
  }

  std::string StatusText(int16_t addr) {
    int16_t word = 0, errors = 0;
    int32_t position = 0;
    s_.Check(c_.ReadStatus(addr, word, position, errors), "reading the status of " + M(addr));
    return "status " + Hex(uint16_t(word), 2) + ", position " + std::to_string(position) +
           ", errors " + std::to_string(errors);
  }

  void Move() {
    const RegisterRef target = Reg(kMotor, "P_SOLL");
    const RegisterRef actual = Reg(kMotor, "P_IST");
    Step("Move motor 1: set " + target.name + " = " + std::to_string(kTarget) +
         " and watch P_IST approach it");
    s_.Check(c_.WriteParameterAlternate(kMotor, target.number, float(kTarget)),
             "writing " + target.Label());
    const uint64_t start = s_.platform().NowMs();
    for (int i = 0; i < kMaxPolls; ++i) {
      s_.platform().SleepMs(kPollMs);
      const float p = ReadUser(kMotor, actual);
      Line("+" + Seconds(s_.platform().NowMs() - start) + "s  P_IST = " + FormatFloat(p) + "  (" +
           StatusText(kMotor) + ")");
      if (p == float(kTarget)) break;
    }
  }

  void GroupWrite() {
    const RegisterRef group_id = Reg(kMotor, "GROUPID");
    const int32_t group = ReadRaw(kMotor, group_id);
    const RegisterRef target = Reg(255, "P_SOLL");
    Step("Group write: P_SOLL = 0 to group " + std::to_string(group) + " (both motors' " +
         group_id.name + ")");
    s_.Check(c_.WriteGroup(int16_t(group), target.number, 0), "writing to the group");
    for (int16_t addr : {kMotor, kBigMotor}) {
      Line(M(addr) + ": GROUPID " + std::to_string(ReadRaw(addr, Reg(addr, "GROUPID"))) +
           ", P_SOLL now " + std::to_string(ReadRaw(addr, Reg(addr, "P_SOLL"))));
    }
  }

  void ResetWait() {
    Step("Reset motor 1 and wait until it answers again");
    const uint64_t start = s_.platform().NowMs();
    s_.Check(c_.ResetWait(kMotor), "resetting " + M(kMotor));
    Line("answering again after " + Seconds(s_.platform().NowMs() - start) + " s of bus time");
    const RegisterRef v = Reg(kMotor, "V_SOLL");
    Line(v.Label() + " = " + FormatFloat(ReadUser(kMotor, v)) +
         " again: the restart reloaded the registers from flash");
  }

  void FlashWait() {
    Step("Save the registers of motor 2 to flash and wait");
    const uint64_t start = s_.platform().NowMs();
    s_.Check(c_.WriteToFlashWait(kBigMotor), "flashing " + M(kBigMotor));
    Line("answering again after " + Seconds(s_.platform().NowMs() - start) + " s of bus time");
  }

  void ModuleIdentify() {
    Step("Identify the Vemo module fitted to motor 1");
    int16_t type = -1, firmware = -1;
    s_.CheckModule(c_.GetModuleType(kMotor, type, firmware), "identifying the module");
    Line("module 1: " + ModuleIdText(type, firmware));
  }

  void ModuleProgram() {
    const std::string_view hex = DemoModuleHex();
    Step("Program the module from demo-module.hex (" + std::to_string(hex.size()) +
         " bytes of Intel HEX built into qelctl)");
    const TempFile file(hex);
    if (!file.ok()) {
      s_.err() << "qelctl: cannot write the demo's HEX file " << file.path() << '\n';
      throw DeviceFailure{};
    }
    const uint64_t start = s_.platform().NowMs();
    auto progress = [&](const qelcomm::ProgramProgress& p) {
      using S = qelcomm::ProgramProgress::Step;
      std::string text;
      switch (p.step) {
        case S::kStop:
          text = "stop the module";
          break;
        case S::kPage:
          text = "send page " + std::to_string(p.page - 1);
          break;
        case S::kWrite:
          text = "send the write command";
          break;
        case S::kWaiting:
          text = "write accepted; wait until the module answers again";
          break;
      }
      Line("+" + Seconds(s_.platform().NowMs() - start) + "s  " + text);
    };
    s_.CheckModule(c_.VemoProgram(kMotor, file.path(), progress), "programming the module");
    Line("programmed pages 0.." + std::to_string(qelcomm::protocol::kProgramPages - 1) + " in " +
         Seconds(s_.platform().NowMs() - start) + " s of bus time");
  }

  void ModuleReadBack() {
    Step("Read pages 0 to 3 back and compare them with the HEX image");
    const std::vector<uint8_t> image = qelcomm::LoadProgramImage(DemoModuleHex()).value();
    for (int page = 0; page < qelcomm::protocol::kProgramPages; ++page) {
      std::vector<uint8_t> data;
      const std::string what = "page " + std::to_string(page);
      s_.CheckModule(c_.VemoGet(kMotor, int16_t(page), data), "reading " + what);
      const auto expected = image.begin() + page * std::ptrdiff_t{kPageSize};
      const auto diff = std::mismatch(data.begin(), data.end(), expected);
      if (diff.first != data.end()) {
        s_.err() << "qelctl: " << what << " differs from the HEX image at byte "
                 << (diff.first - data.begin()) << '\n';
        throw DeviceFailure{};
      }
      // Its first line that a record set (erased bytes read 0xFF).
      size_t line = 0;
      while (line + 16 < data.size() &&
             std::all_of(data.begin() + line, data.begin() + line + 16,
                         [](uint8_t b) { return b == qelcomm::kErasedProgramByte; })) {
        line += 16;
      }
      std::string dump = HexDump(std::span(data).subspan(line, 16), line);
      dump.pop_back();  // the newline
      Line(what + " matches the image, " + dump);
    }
  }

  std::string DebugText() {
    int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
    int32_t time = 0, count = 0;
    s_.CheckModule(c_.VemoDebug(kMotor, state, inputs, outputs, time, count, mode),
                   "reading the module's debug state");
    return "state " + ProgramStateText(state) + ", time " + std::to_string(time) + ", count " +
           std::to_string(count) + ", outputs " + Hex(uint16_t(outputs), 1);
  }

  void ModuleRun() {
    Step("Run the module's program: start it, watch its debug state, stop it");
    s_.Check(c_.QupStart(kMotor), "starting the module's program");
    Line("QupStart: " + DebugText());
    s_.platform().SleepMs(kRunMs);
    s_.Check(c_.QupSetOutputs(kMotor, 0x5, 0xF), "setting the module's outputs");
    Line("+" + Seconds(kRunMs) + "s, outputs 0 and 2 on: " + DebugText());
    s_.Check(c_.QupStop(kMotor), "stopping the module's program");
    Line("QupStop: " + DebugText());
  }

  void ErrorCase() {
    Step("Read from address " + std::to_string(kNoMotor) + ", where no motor answers");
    int32_t v = 0;
    const bool ok = c_.ReadParameter(kNoMotor, 1, v);
    const int32_t code = c_.GetLastError();
    if (ok) s_.Fail(code, "address " + std::to_string(kNoMotor) + " answered unexpectedly");
    Line("failed as expected: " + s_.DescribeError(code));
  }

  Session& s_;
  qelcomm::CQelCommCtrl& c_;
  std::ostream& out_;
  int step_ = 0;
};

}  // namespace

void AddDemoCommand(CLI::App& root, CommandList& out) {
  auto* app = root.add_subcommand(
      "demo", "A short guided tour on the embedded virtual bus (text output only)");
  out.push_back({app, [](Session& s) {
                   if (!s.IsVirtual()) {
                     throw UsageError(
                         "demo runs on the embedded virtual bus only; "
                         "leave out --port and --com");
                   }
                   if (s.json()) throw UsageError("demo has no JSON form; run it without --json");
                   return Tour(s).Run();
                 }});
}

}  // namespace qelctl
