// qelctl run in-process against the embedded virtual bus. Each test owns one
// bus that persists across its runs, so a write in one run can be checked on
// the simulated motors and in the next run.
#include "qelctl.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "trace.h"
#include "virtual_bus.h"

namespace {

using nlohmann::json;
using qelcomm::sim::FaultKind;

struct Result {
  int rc;
  std::string out;
  std::string err;
};

class Qelctl : public ::testing::Test {
 protected:
  Qelctl() : platform_(std::make_shared<qelcomm::VirtualPlatform>()) {
    peer_ = std::make_shared<qelcomm::sim::SimPeer>();
    line_ = &platform_->AddLine("sim", peer_);
    env_.virtual_platform = platform_;
  }

  Result Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = qelctl::RunQelctl(std::move(args), out, err, env_);
    return {rc, out.str(), err.str()};
  }

  qelcomm::sim::Bus& bus() { return peer_->bus(); }
  // A register's wire value on a simulated motor.
  uint32_t OnBus(int address, int reg) {
    return *bus().motor(uint8_t(address))->Read(reg, platform_->clock().NowUs());
  }

  std::shared_ptr<qelcomm::VirtualPlatform> platform_;
  std::shared_ptr<qelcomm::sim::SimPeer> peer_;
  qelcomm::VirtualLine* line_;
  qelctl::RunEnv env_;
};

TEST_F(Qelctl, ResolvesRegistersByNameOrNumber) {
  // Names fold case; numbers may be hex; extended names map to 257 and up.
  EXPECT_EQ(Run({"read", "1", "p_soll", "3", "0x3", "groupid", "260"}).out,
            "P_SOLL (3) = 0\nP_SOLL (3) = 0\nP_SOLL (3) = 0\nGROUPID (260) = 1\n"
            "GROUPID (260) = 1\n");
  // Each address uses its own table: V_IST_16 exists only on big motors, and
  // address 2 is big on the virtual bus unless --standard says otherwise.
  EXPECT_EQ(Run({"read", "2", "V_IST_16"}).rc, 0);
  const Result standard = Run({"read", "1", "V_IST_16"});
  EXPECT_EQ(standard.rc, 2);
  EXPECT_NE(standard.err.find("unknown register 'V_IST_16' for a standard motor"),
            std::string::npos);
  EXPECT_EQ(Run({"--standard", "2", "read", "2", "V_IST_16"}).rc, 2);
  // --big makes the name resolve; the simulated standard motor then stays
  // silent, which is a device failure rather than a usage error.
  const Result forced = Run({"--big", "1", "read", "1", "V_IST_16"});
  EXPECT_EQ(forced.rc, 1);
  EXPECT_NE(forced.err.find("reading V_IST_16 (11) from motor 1"), std::string::npos);
}

TEST_F(Qelctl, RefusesMalformedRegistersAndAddresses) {
  for (const char* reg : {"0", "256", "512", "010", "-1", "3x", "NOPE"}) {
    const Result r = Run({"read", "1", reg});
    EXPECT_EQ(r.rc, 2) << reg;
    EXPECT_NE(r.err.find(reg), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  for (const char* addr : {"0", "256", "1.5", "07", " 1"}) {
    EXPECT_EQ(Run({"read", addr, "1"}).rc, 2) << addr;
  }
  EXPECT_EQ(bus().telegrams(), 0u) << "nothing may be sent for a usage error";
}

TEST_F(Qelctl, ReadsInUserUnitsUnlessRaw) {
  // V_SOLL starts at raw 100; the velocity factors differ by motor size.
  EXPECT_EQ(Run({"read", "1", "V_SOLL"}).out, "V_SOLL (5) = 47.680664\n");
  EXPECT_EQ(Run({"read", "2", "V_SOLL"}).out, "V_SOLL (5) = 36.09375\n");
  EXPECT_EQ(Run({"read", "1", "V_SOLL", "--raw"}).out, "V_SOLL (5) = 100 (0x0064)\n");
  EXPECT_EQ(Run({"read", "2", "V_SOLL", "--raw"}).out, "V_SOLL (5) = 100 (0x00000064)\n");
  EXPECT_EQ(Run({"--factors", "0,0,2", "read", "1", "V_SOLL"}).out, "V_SOLL (5) = 200\n");
  EXPECT_EQ(Run({"--factors-big", "0,0,0.5", "read", "2", "V_SOLL"}).out, "V_SOLL (5) = 50\n");
}

TEST_F(Qelctl, WritesUserUnitsThroughTheFactorSet) {
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "100"}).out, "motor 1: V_SOLL (5) = 100\n");
  EXPECT_EQ(OnBus(1, 5), 210u);  // 100 / 0.4768 rounded
  ASSERT_EQ(Run({"--factors", "0,0,2", "write", "1", "V_SOLL", "10"}).rc, 0);
  EXPECT_EQ(OnBus(1, 5), 5u);
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "100", "--raw"}).out,
            "motor 1: V_SOLL (5) = 100 (0x0064)\n");
  EXPECT_EQ(OnBus(1, 5), 100u);
  // Negative values reach 32-bit registers whole.
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "-100000"}).rc, 0);
  EXPECT_EQ(Run({"read", "1", "P_SOLL", "--raw"}).out, "P_SOLL (3) = -100000 (0xFFFE7960)\n");
}

TEST_F(Qelctl, UnscaledRegistersStayExact) {
  // 2^24 + 1 has no float form; an unscaled register must not pass through one.
  ASSERT_EQ(Run({"write", "1", "SERIALNUMBER", "16777217"}).rc, 0);
  EXPECT_EQ(OnBus(1, 154), 16777217u);
  EXPECT_EQ(Run({"read", "1", "SERIALNUMBER"}).out, "SERIALNUMBER (154) = 16777217\n");
}

TEST_F(Qelctl, RejectsBadValuesBeforeSendingAnything) {
  const std::vector<std::vector<std::string>> bad = {
      {"write", "1", "V_SOLL", "1e9"},  // raw beyond 16 bits
      {"write", "1", "V_SOLL", "abc"},
      {"write", "1", "V_SOLL", "nan"},
      {"write", "1", "V_SOLL", "inf"},
      {"write", "1", "V_SOLL", "+5"},
      {"write", "1", "V_SOLL", "5 "},
      {"write", "1", "MODE_REG", "2.5"},             // unscaled: integers only
      {"write", "1", "MODE_REG", "32768", "--raw"},  // signed 16-bit
      {"write", "1", "MODE_REG", "0x10000", "--raw"},
      {"write", "1", "PROG_VERSION", "-1", "--raw"},  // unsigned 16-bit
      {"write", "1", "P_SOLL", "2147483648", "--raw"},
      {"write", "1", "P_SOLL", "1e10"},
      {"group", "1", "P_SOLL", "1.5"},
  };
  for (const auto& args : bad) {
    const Result r = Run(args);
    EXPECT_EQ(r.rc, 2) << args[3];
    EXPECT_NE(r.err.find("value '" + args[3] + "'"), std::string::npos) << r.err;
  }
  EXPECT_EQ(bus().telegrams(), 0u);
  // Hex is a bit pattern: 0xFFFF in a signed 16-bit register is -1.
  EXPECT_EQ(Run({"write", "1", "MODE_REG", "0xFFFF", "--raw"}).out,
            "motor 1: MODE_REG (2) = -1 (0xFFFF)\n");
  EXPECT_EQ(OnBus(1, 2), 0xFFFFu);
  EXPECT_EQ(Run({"write", "1", "P_SOLL", "0xFFFFFFFF", "--raw"}).rc, 0);
}

TEST_F(Qelctl, JsonOutputShapes) {
  json read = json::parse(Run({"--json", "read", "1", "P_SOLL", "MODE_REG"}).out);
  EXPECT_EQ(read["address"], 1);
  ASSERT_EQ(read["registers"].size(), 2u);
  EXPECT_EQ(read["registers"][0],
            json({{"number", 3}, {"name", "P_SOLL"}, {"value", 0.0}, {"scaled", true}}));
  EXPECT_EQ(read["registers"][1]["scaled"], false);
  EXPECT_TRUE(read["registers"][1]["value"].is_number_integer());

  json raw = json::parse(Run({"read", "1", "V_SOLL", "--raw", "--json"}).out);
  EXPECT_EQ(raw["registers"][0]["value"], 100);
  EXPECT_EQ(raw["registers"][0]["hex"], "0x0064");

  // Floats come out as their shortest decimal, not as widened doubles.
  json user = json::parse(Run({"--json", "read", "1", "V_SOLL"}).out);
  EXPECT_EQ(user["registers"][0]["value"].dump(), "47.680664");

  json regs = json::parse(Run({"--json", "regs", "--big"}).out);
  EXPECT_EQ(regs["table"], "big");
  EXPECT_EQ(regs["registers"].size(), 154u + 14u);
  EXPECT_EQ(regs["registers"][0], json({{"number", 1},
                                        {"name", "PROG_VERSION"},
                                        {"width", 32},
                                        {"type", 2},
                                        {"scaling", "none"},
                                        {"factor", 1.0},
                                        {"extended", false}}));
  EXPECT_EQ(regs["registers"].back()["number"], 256 + 102);
  EXPECT_EQ(regs["registers"].back()["extended"], true);

  json status = json::parse(Run({"--json", "status", "1"}).out);
  EXPECT_EQ(status, json({{"address", 1},
                          {"status", 1},
                          {"status_hex", "0x0001"},
                          {"position", 0},
                          {"errors", 0}}));

  json write = json::parse(Run({"write", "2", "V_SOLL", "36.09375", "--json"}).out);
  EXPECT_EQ(write, json({{"address", 2},
                         {"number", 5},
                         {"name", "V_SOLL"},
                         {"value", 36.09375},
                         {"scaled", true}}));

  json factors = json::parse(Run({"--json", "factors", "2", "0", "0"}).out);
  EXPECT_EQ(factors["standard"]["position"], 2.0);
  EXPECT_EQ(factors["big"]["velocity"], 0.3609375);

  json reset = json::parse(Run({"--json", "reset", "1"}).out);
  EXPECT_EQ(reset["command"], "reset");
  EXPECT_EQ(reset["waited"], false);

  // A failure leaves stdout empty rather than half a document. (The
  // simulated standard motor has no register 200 and stays silent.)
  const Result failed = Run({"--json", "read", "1", "P_SOLL", "200"});
  EXPECT_EQ(failed.rc, 1);
  EXPECT_EQ(failed.out, "");
}

TEST_F(Qelctl, ReportsDeviceErrorsByNameAndMessage) {
  const Result r = Run({"read", "9", "PROG_VERSION"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "qelctl: reading PROG_VERSION (1) from motor 9: ERR_ANSWER_LENGTH (0x20000003): "
            "Answer is not of expected length\n");
  // As text, results before the failure are kept; the run still fails.
  const Result partial = Run({"read", "1", "P_SOLL", "200", "MODE_REG"});
  EXPECT_EQ(partial.rc, 1);
  EXPECT_EQ(partial.out, "P_SOLL (3) = 0\n");
  EXPECT_NE(partial.err.find("reading 200 from motor 1: ERR_ANSWER_LENGTH"), std::string::npos);

  // A device that goes away mid-run reports the OS error that showed it.
  bus().SetFault(1, FaultKind::kVanish);
  const Result lost = Run({"status", "1"});
  EXPECT_EQ(lost.rc, 1);
  EXPECT_NE(lost.err.find("qelctl: reading the status of motor 1: OS error "), std::string::npos)
      << lost.err;
}

TEST_F(Qelctl, ReportsOsErrorsFromOpening) {
  line_->open_error = qelcomm::VirtualPlatform::BusyError();
  const Result busy = Run({"read", "1", "1"});
  EXPECT_EQ(busy.rc, 1);
  EXPECT_EQ(busy.err.rfind("qelctl: opening the virtual bus 'sim': OS error " +
                               std::to_string(qelcomm::VirtualPlatform::BusyError()) + ": ",
                           0),
            0u)
      << busy.err;
#ifndef _WIN32
  const Result missing = Run({"--port", "/nonexistent/tty", "read", "1", "1"});
  EXPECT_EQ(missing.rc, 1);
  EXPECT_EQ(missing.err,
            "qelctl: opening /nonexistent/tty: OS error 2: No such file or directory\n");
#endif
}

TEST_F(Qelctl, UsageErrorsExitTwoAndSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, "a command is required"},
      {{"frobnicate"}, "frobnicate"},
      {{"--json"}, "a command is required"},
      {{"read", "1"}, "REG is required"},
      {{"--port", "/dev/x", "--com", "1", "read", "1", "1"}, "--port excludes --com"},
      {{"--retries", "0", "read", "1", "1"}, "out of range"},
      {{"--factors", "1,2", "read", "1", "1"}, "--factors wants POS,ACC,VEL"},
      {{"factors", "1", "2"}, "all three or none"},
      {{"status", "1", "--count", "3"}, "--count requires --watch"},
      {{"scan", "--from", "9", "--to", "3"}, "--from 9 is above --to 3"},
      {{"--port", "/dev/null", "demo"}, "demo runs on the embedded virtual bus only"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.rc, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Qelctl, ScanFindsTheDefaultMotors) {
  const Result r = Run({"scan"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "address 1: PROG_VERSION 0x0207\naddress 2: PROG_VERSION 0x00000312\n");
  EXPECT_EQ(r.err, "") << "no progress bar when stderr is not a terminal";

  json j = json::parse(Run({"--json", "scan", "--from", "2", "--to", "9"}).out);
  EXPECT_EQ(j["from"], 2);
  ASSERT_EQ(j["found"].size(), 1u);
  EXPECT_EQ(j["found"][0]["address"], 2);

  // The scan uses one attempt per address and leaves --retries alone after.
  bus().SetFault(1, FaultKind::kDrop, 1);
  EXPECT_EQ(Run({"scan", "--to", "2"}).out, "address 2: PROG_VERSION 0x00000312\n");
}

TEST_F(Qelctl, ScanWarnsAboutGarbledRepliesAndGoesOn) {
  bus().SetFault(1, FaultKind::kComplement);
  const Result r = Run({"scan", "--to", "3"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "address 2: PROG_VERSION 0x00000312\n");
  EXPECT_NE(r.err.find("qelctl: address 1: ERR_"), std::string::npos) << r.err;
}

TEST_F(Qelctl, ProgressGoesToATerminalOnly) {
  env_.err_is_tty = true;
  const Result scan = Run({"scan", "--to", "3"});
  EXPECT_NE(scan.err.find("scanning ["), std::string::npos);
  EXPECT_EQ(scan.out, "address 1: PROG_VERSION 0x0207\naddress 2: PROG_VERSION 0x00000312\n");
  const Result reset = Run({"reset", "1", "--wait"});
  EXPECT_NE(reset.err.find("waiting for motor 1 to restart..."), std::string::npos);
  // Tracing owns stderr: no progress drawn over it.
  EXPECT_EQ(Run({"--trace", "scan", "--to", "1"}).err.find("scanning ["), std::string::npos);
}

TEST_F(Qelctl, StatusWatchFollowsAMove) {
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "30000"}).rc, 0);
  const Result r = Run({"--json", "status", "1", "--watch", "--interval", "20", "--count", "20"});
  ASSERT_EQ(r.rc, 0);
  std::istringstream lines(r.out);
  std::string line;
  int count = 0;
  int64_t last_position = -1, last_time = -1;
  while (std::getline(lines, line)) {
    const json j = json::parse(line);
    EXPECT_GE(j["position"].get<int64_t>(), last_position);
    EXPECT_GT(j["time_ms"].get<int64_t>(), last_time);
    last_position = j["position"];
    last_time = j["time_ms"];
    ++count;
  }
  EXPECT_EQ(count, 20);
  EXPECT_EQ(last_position, 30000);
}

TEST_F(Qelctl, FlashAndResetWithWait) {
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "200", "--raw"}).rc, 0);
  const Result flash = Run({"flash", "1", "--wait"});
  ASSERT_EQ(flash.rc, 0) << flash.err;
  EXPECT_EQ(flash.out.rfind("motor 1: registers saved to flash, answering again after ", 0), 0u);
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "300", "--raw"}).rc, 0);
  const json reset = json::parse(Run({"--json", "reset", "1", "--wait"}).out);
  // The motor is silent for a while after a restart: a real wait takes that long.
  EXPECT_GE(reset["elapsed_ms"].get<int>(), 1000);
  EXPECT_EQ(reset["waited"], true);
  EXPECT_EQ(OnBus(1, 5), 200u) << "the restart reloads what was flashed";
}

TEST_F(Qelctl, GroupWriteReachesEveryMember) {
  const Result r = Run({"--grp-sends", "2", "--trace", "group", "1", "P_SOLL", "500"});
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "group 1: P_SOLL (3) = 500 (sent 2 times)\n");
  size_t copies = 0;
  for (size_t at = 0; (at = r.err.find("group 1 write #1", at)) != std::string::npos; ++at) {
    ++copies;
  }
  EXPECT_EQ(copies, 2u);
  EXPECT_EQ(OnBus(1, 3), 500u);
  EXPECT_EQ(OnBus(2, 3), 500u);
}

TEST_F(Qelctl, TraceDecodesTelegramsOnStderr) {
  const Result r = Run({"--trace", "read", "1", "P_SOLL"});
  EXPECT_EQ(r.out, "P_SOLL (3) = 0\n");
  EXPECT_NE(r.err.find("] -> 50 50 50 01 FE 03 FC AA AA  read motor 1 register P_SOLL (3)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("] <- 52 52 52 00 FF 03 FC 04 FB 00 FF 00 FF 00 FF 00 FF AA AA  "
                       "reply: register P_SOLL (3) = 0\n"),
            std::string::npos);
  EXPECT_EQ(r.err.rfind("[+", 0), 0u) << "every line starts with a timestamp";

  // Register names follow the table of the address the request went to.
  const std::vector<uint8_t> read11 = {0x50, 0x50, 0x50, 0x02, 0xFD, 0x0B, 0xF4, 0xAA, 0xAA};
  EXPECT_EQ(qelctl::DescribeTelegram(true, read11, true), "read motor 2 register V_IST_16 (11)");
  EXPECT_EQ(qelctl::DescribeTelegram(true, read11, false), "read motor 2 register 11");
  const std::vector<uint8_t> broken = {0x50, 0x50, 0x50, 0x02, 0xFE, 0x0B, 0xF4, 0xAA, 0xAA};
  EXPECT_EQ(qelctl::DescribeTelegram(true, broken, false), "");
}

TEST_F(Qelctl, TraceNotesARetriedExchange) {
  bus().SetFault(1, FaultKind::kCorrupt, 1);
  const Result r = Run({"--trace", "read", "1", "MODE_REG"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "MODE_REG (2) = 2\n");
  EXPECT_NE(
      r.err.find(
          "qelctl: note: reading MODE_REG (2) from motor 1 succeeded after a failed attempt (ERR_"),
      std::string::npos)
      << r.err;
}

TEST_F(Qelctl, DemoRunsTheTour) {
  const Result r = Run({"demo"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* expected :
       {"[1] Open the embedded virtual bus", "PROG_VERSION (1) = 0x0207", "P_IST = 30000",
        "motor 2: GROUPID 1, P_SOLL now 0", "reloaded the registers from flash",
        "failed as expected: ERR_ANSWER_LENGTH (0x20000003): Answer is not of expected length",
        "\nDone: "}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected;
  }
}

TEST_F(Qelctl, HelpAndVersion) {
  const Result version = Run({"--version"});
  EXPECT_EQ(version.rc, 0);
  EXPECT_EQ(version.out.rfind("qelctl ", 0), 0u);
  for (const char* cmd :
       {"regs", "read", "write", "scan", "factors", "status", "reset", "flash", "group", "demo"}) {
    const Result help = Run({cmd, "--help"});
    EXPECT_EQ(help.rc, 0) << cmd;
    EXPECT_NE(help.out.find(std::string("Usage: qelctl ") + cmd), std::string::npos) << cmd;
  }
  EXPECT_NE(Run({"--help"}).out.find("Address 2 is then marked big"), std::string::npos);
}

}  // namespace
