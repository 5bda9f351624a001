// qelctl run in-process against the embedded virtual bus. Each test owns one
// bus that persists across its runs, so a write in one run can be checked on
// the simulated motors and in the next run.
#include "qelctl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "diagnosis.h"
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

// One Intel HEX record, checksum included.
std::string Record(int address, int type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address),
                            uint8_t(type)};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t x : b) sum += x;
  b.push_back(uint8_t(-sum));
  std::string text = ":";
  for (uint8_t x : b) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", x);
    text += hex;
  }
  return text + "\n";
}

class Qelctl : public ::testing::Test {
 protected:
  Qelctl() : platform_(std::make_shared<qelcomm::VirtualPlatform>()) {
    peer_ = std::make_shared<qelcomm::sim::SimPeer>();
    platform_->AddLine("sim", peer_);
    env_.virtual_platform = platform_;
  }
  ~Qelctl() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // A path in this test's own temporary directory.
  std::string Path(const std::string& name) {
    if (dir_.empty()) {
      dir_ = std::filesystem::temp_directory_path() /
             ("qelctl_test_" +
              std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
      std::filesystem::create_directories(dir_);
    }
    return (dir_ / name).string();
  }
  std::string File(const std::string& name, const std::string& contents) {
    std::ofstream(Path(name), std::ios::binary) << contents;
    return Path(name);
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }

  Result Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = qelctl::RunQelctl(std::move(args), out, err, env_);
    return {rc, out.str(), err.str()};
  }

  // Runs from now on go to a new line holding a bus built from `config`.
  void UseBus(const std::string& name, const qelcomm::sim::BusConfig& config) {
    peer_ = std::make_shared<qelcomm::sim::SimPeer>(config);
    platform_->AddLine(name, peer_);
    env_.virtual_line = name;
  }

  qelcomm::sim::Bus& bus() { return peer_->bus(); }
  // A register's wire value on a simulated motor.
  uint32_t OnBus(int address, int reg) {
    return *bus().motor(uint8_t(address))->Read(reg, platform_->clock().NowUs());
  }

  std::shared_ptr<qelcomm::VirtualPlatform> platform_;
  std::shared_ptr<qelcomm::sim::SimPeer> peer_;
  qelctl::RunEnv env_;
  std::filesystem::path dir_;
};

TEST_F(Qelctl, ResolvesRegistersByNameOrNumber) {
  // Names fold case; numbers may be hex; extended names map to 257 and up.
  EXPECT_EQ(Run({"read", "1", "p_soll", "3", "0x3", "groupid", "260"}).out,
            "motor 1: P_SOLL (3) = 0\nmotor 1: P_SOLL (3) = 0\nmotor 1: P_SOLL (3) = 0\n"
            "motor 1: GROUPID (260) = 1\nmotor 1: GROUPID (260) = 1\n");
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
  // Read and write lines look alike: the value in units, the raw one beside it.
  EXPECT_EQ(Run({"read", "1", "V_SOLL"}).out, "motor 1: V_SOLL (5) = 47.6806640625 (raw 100)\n");
  EXPECT_EQ(Run({"read", "2", "V_SOLL"}).out, "motor 2: V_SOLL (5) = 36.09375 (raw 100)\n");
  EXPECT_EQ(Run({"read", "1", "V_SOLL", "--raw"}).out, "motor 1: V_SOLL (5) = 100 (0x0064)\n");
  EXPECT_EQ(Run({"read", "2", "V_SOLL", "--raw"}).out, "motor 2: V_SOLL (5) = 100 (0x00000064)\n");
  EXPECT_EQ(Run({"--factors", "0,0,2", "read", "1", "V_SOLL"}).out,
            "motor 1: V_SOLL (5) = 200 (raw 100)\n");
  EXPECT_EQ(Run({"--factors-big", "0,0,0.5", "read", "2", "V_SOLL"}).out,
            "motor 2: V_SOLL (5) = 50 (raw 100)\n");
}

TEST_F(Qelctl, WritesUserUnitsThroughTheFactorSet) {
  // What was written, not what was typed: 100 / 0.4768 rounds to raw 210.
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "100"}).out,
            "motor 1: V_SOLL (5) = 100.12939453125 (raw 210)\n");
  EXPECT_EQ(OnBus(1, 5), 210u);  // 100 / 0.4768 rounded
  ASSERT_EQ(Run({"--factors", "0,0,2", "write", "1", "V_SOLL", "10"}).rc, 0);
  EXPECT_EQ(OnBus(1, 5), 5u);
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "100", "--raw"}).out,
            "motor 1: V_SOLL (5) = 100 (0x0064)\n");
  EXPECT_EQ(OnBus(1, 5), 100u);
  // Negative values reach 32-bit registers whole.
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "-100000"}).rc, 0);
  EXPECT_EQ(Run({"read", "1", "P_SOLL", "--raw"}).out,
            "motor 1: P_SOLL (3) = -100000 (0xFFFE7960)\n");
}

TEST_F(Qelctl, UnscaledRegistersStayExact) {
  // 2^24 + 1 has no float form; an unscaled register must not pass through one.
  ASSERT_EQ(Run({"write", "1", "SERIALNUMBER", "16777217"}).rc, 0);
  EXPECT_EQ(OnBus(1, 154), 16777217u);
  EXPECT_EQ(Run({"read", "1", "SERIALNUMBER"}).out, "motor 1: SERIALNUMBER (154) = 16777217\n");
}

TEST_F(Qelctl, UserUnitsConvertExactlyAndShowWhatWasWritten) {
  // Beyond float precision, and printed without an exponent.
  EXPECT_EQ(Run({"write", "1", "P_SOLL", "16777217"}).out, "motor 1: P_SOLL (3) = 16777217\n");
  EXPECT_EQ(OnBus(1, 3), 16777217u);
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "100000001"}).rc, 0);
  EXPECT_EQ(Run({"read", "1", "P_SOLL"}).out, "motor 1: P_SOLL (3) = 100000001\n");
  // The raw value is rounded; the line says what that means in units.
  EXPECT_EQ(Run({"write", "1", "P_SIM", "10.3"}).out, "motor 1: P_SIM (8) = 10.3125 (raw 165)\n");
  EXPECT_EQ(Run({"write", "1", "V_IST", "0.01"}).out, "motor 1: V_IST (12) = 0\n");
  // Halves go away from zero: 10.28125 is raw 164.5.
  ASSERT_EQ(Run({"write", "1", "P_SIM", "-10.28125"}).rc, 0);
  EXPECT_EQ(int32_t(OnBus(1, 8)), -165);
  // The range check is on the exact integer, not on a float near it.
  EXPECT_EQ(Run({"write", "1", "P_SOLL", "2147483647"}).rc, 0);
  EXPECT_EQ(OnBus(1, 3), 0x7FFFFFFFu);
  const Result below = Run({"write", "1", "P_SOLL", "-2147483649"});
  EXPECT_EQ(below.rc, 2);
  EXPECT_NE(below.err.find("raw -2147483649 is outside -2147483648..2147483647"),
            std::string::npos);
  // A negative factor inverts the direction.
  EXPECT_EQ(Run({"--factors", "-2,0,0", "read", "1", "P_SOLL"}).out,
            "motor 1: P_SOLL (3) = -4294967294 (raw 2147483647)\n");
}

TEST_F(Qelctl, RejectsBadValuesBeforeSendingAnything) {
  const std::vector<std::vector<std::string>> bad = {
      {"write", "1", "V_SOLL", "1e9"},  // raw beyond 16 bits
      {"write", "1", "V_SOLL", "abc"},
      {"write", "1", "V_SOLL", "nan"},
      {"write", "1", "V_SOLL", "inf"},
      {"write", "1", "V_SOLL", "+5"},
      {"write", "1", "V_SOLL", "5 "},
      {"write", "1", "V_SOLL", "-inf"},  // not an option
      {"write", "1", "V_SOLL", "0x10"},  // hex is for --raw
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
  EXPECT_EQ(
      read["registers"][0],
      json({{"number", 3}, {"name", "P_SOLL"}, {"value", 0.0}, {"raw", 0}, {"scaled", true}}));
  EXPECT_EQ(read["registers"][1]["scaled"], false);
  EXPECT_TRUE(read["registers"][1]["value"].is_number_integer());

  json raw = json::parse(Run({"read", "1", "V_SOLL", "--raw", "--json"}).out);
  EXPECT_EQ(raw["registers"][0]["value"], 100);
  EXPECT_EQ(raw["registers"][0]["hex"], "0x0064");

  json user = json::parse(Run({"--json", "read", "1", "V_SOLL"}).out);
  EXPECT_EQ(user["registers"][0]["value"].dump(), "47.6806640625");

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
                         {"raw", 100},
                         {"scaled", true}}));

  json factors = json::parse(Run({"--json", "factors", "2", "0", "0"}).out);
  EXPECT_EQ(factors["standard"]["position"], 2.0);
  EXPECT_EQ(factors["big"]["velocity"], 0.3609375);

  // A failure prints the document so far and the error. (The simulated
  // standard motor has no register 200 and stays silent.)
  const Result failed = Run({"--json", "read", "1", "P_SOLL", "200"});
  EXPECT_EQ(failed.rc, 1);
  const json partial = json::parse(failed.out);
  EXPECT_EQ(partial["registers"].size(), 1u);
  EXPECT_EQ(partial["error"]["code"], qelcomm::ERR_ANSWER_LENGTH);
  EXPECT_EQ(partial["error"]["name"], "ERR_ANSWER_LENGTH");
  EXPECT_EQ(partial["error"]["message"], "Answer is not of expected length");

  json reset = json::parse(Run({"--json", "reset", "1"}).out);
  EXPECT_EQ(reset["command"], "reset");
  EXPECT_EQ(reset["waited"], false);
}

TEST_F(Qelctl, ReportsDeviceErrorsByNameAndMessage) {
  const Result r = Run({"read", "9", "PROG_VERSION"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "qelctl: reading PROG_VERSION (1) from motor 9: ERR_ANSWER_LENGTH (0x20000003): "
            "Answer is not of expected length\nqelctl: no reply within 100 ms (5 attempts)\n");
  // As text, results before the failure are kept; the run still fails.
  const Result partial = Run({"read", "1", "P_SOLL", "200", "MODE_REG"});
  EXPECT_EQ(partial.rc, 1);
  EXPECT_EQ(partial.out, "motor 1: P_SOLL (3) = 0\n");
  EXPECT_NE(partial.err.find("reading 200 from motor 1: ERR_ANSWER_LENGTH"), std::string::npos);

  // A device that goes away mid-run reports the OS error that showed it.
  bus().SetFault(1, FaultKind::kVanish);
  const Result lost = Run({"status", "1"});
  EXPECT_EQ(lost.rc, 1);
  EXPECT_NE(lost.err.find("qelctl: reading the status of motor 1: OS error "), std::string::npos)
      << lost.err;
}

TEST_F(Qelctl, DiagnosesWhatTheLineShowed) {
  // The codes stay; a line of diagnosis follows the error.
  const std::vector<uint8_t> read = {0x50, 0x50, 0x50, 0x01, 0xFE, 0x01, 0xFE, 0xAA, 0xAA};
  auto diagnose = [&](std::vector<uint8_t> got) {
    qelctl::LineLog log;
    using Dir = qelcomm::TraceEvent::Direction;
    log.Add({Dir::Sent, 0, read.data(), read.size()});
    log.Add({Dir::Discarded, 0, got.data(), got.size()});
    return qelctl::Diagnose(log, qelcomm::ERR_ANSWER_LENGTH, false);
  };
  EXPECT_EQ(diagnose({0x13, 0x77, 0xE1, 0x02, 0x99}),
            "replies look like noise: check the bit rate (--baud)");
  EXPECT_EQ(diagnose({0x52, 0x52, 0x52, 0x00, 0xFF, 0x01}),
            "6 bytes arrived where 19 were expected");

  // A big motor read with the standard table: the reply has 32 bits.
  ASSERT_EQ(Run({"write", "2", "V_SOLL", "0x12345", "--raw"}).rc, 0);
  const Result narrow = Run({"--standard", "2", "read", "2", "V_SOLL", "--raw"});
  EXPECT_EQ(narrow.rc, 0);
  EXPECT_EQ(narrow.err,
            "qelctl: note: a 16-bit register came back with high bytes set: is motor 2 a big "
            "motor? (--big 2)\n");

  // --echo on a line that does not echo.
  const Result no_echo = Run({"--echo", "read", "1", "MODE_REG"});
  EXPECT_EQ(no_echo.rc, 1);
  EXPECT_NE(no_echo.err.find("ERR_ECHO_MISMATCH (0x20002000): Echo of the sent telegram missing or "
                             "wrong\nqelctl: what came back first was not our request: if the "
                             "adapter does not echo, leave out --echo\n"),
            std::string::npos)
      << no_echo.err;
}

TEST_F(Qelctl, EchoOptionWorksWhereTheLineEchoes) {
  qelcomm::sim::BusConfig config = qelcomm::sim::BusConfig::Defaults();
  config.line.echo = true;  // an RS-485 adapter without echo suppression
  UseBus("echo", config);
  const Result plain = Run({"read", "1", "MODE_REG"});
  EXPECT_EQ(plain.rc, 1);
  EXPECT_NE(plain.err.find("\nqelctl: the first 9 bytes were our own request: the adapter echoes "
                           "what it sends, try --echo\n"),
            std::string::npos)
      << plain.err;
  EXPECT_EQ(Run({"--echo", "write", "1", "V_SOLL", "7", "--raw"}).rc, 0);
  EXPECT_EQ(Run({"--echo", "read", "1", "V_SOLL", "--raw"}).out,
            "motor 1: V_SOLL (5) = 7 (0x0007)\n");
  EXPECT_EQ(Run({"--echo", "group", "1", "P_SOLL", "9"}).rc, 0);
  EXPECT_EQ(OnBus(2, 3), 9u);
  EXPECT_EQ(Run({"--echo", "status", "1"}).rc, 0);
  EXPECT_EQ(Run({"--echo", "module", "info", "1"}).rc, 0);
}

TEST_F(Qelctl, ReportsOsErrorsFromOpening) {
  // Another handle holds the line.
  qelcomm::OsError held_error = 0;
  const auto held = platform_->Open("sim", held_error);
  ASSERT_NE(held, nullptr);
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
      {{"--json", "demo"}, "demo has no JSON form"},
      {{"bogus"}, "unknown command 'bogus'; the commands are regs, read, write, scan"},
      {{"--port", "", "write", "1", "P_SOLL", "5"}, "--port is empty"},
      {{"read", " 2", "1"}, "ADDR: ' 2' has blanks around it"},
      {{"read", "2 ", "1"}, "ADDR: '2 ' has blanks around it"},
      {{"--factors", "1e308,1,1", "read", "1", "P_SOLL"}, "'1e308' is out of range"},
      {{"factors", "1e39", "0", "0"}, "'1e39' is out of range"},
      {{"factors", "nan", "0", "0"}, "'nan' is not a finite number"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.rc, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("qelctl: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(bus().telegrams(), 0u) << "an empty --port must not reach the virtual bus";
}

TEST_F(Qelctl, ScanFindsTheDefaultMotors) {
  const Result r = Run({"scan"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out,
            "address 1: PROG_VERSION 0x0207, module type 3, firmware 17\n"
            "address 2: PROG_VERSION 0x00000312\n");
  EXPECT_EQ(r.err, "") << "no progress bar when stderr is not a terminal";

  const uint64_t sent = bus().telegrams();
  json j = json::parse(Run({"--json", "scan", "--from", "2", "--to", "9"}).out);
  EXPECT_EQ(j["from"], 2);
  ASSERT_EQ(j["found"].size(), 1u);
  EXPECT_EQ(j["found"][0]["address"], 2);
  EXPECT_TRUE(j["found"][0]["module"].is_null());
  // One read per address and one identification per answering one, no retry.
  EXPECT_EQ(bus().telegrams() - sent, 8u + 1u);
  j = json::parse(Run({"--json", "scan", "--to", "1"}).out);
  EXPECT_EQ(j["found"][0]["module"], json({{"type", 3}, {"firmware", 17}}));

  // The scan uses one attempt per address and leaves --retries alone after.
  bus().SetFault(1, FaultKind::kDrop, 1);
  EXPECT_EQ(Run({"scan", "--to", "2"}).out, "address 2: PROG_VERSION 0x00000312\n");

  const Result none = Run({"scan", "--from", "3", "--to", "4"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "qelctl: no motor answered at addresses 3..4\n");
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
  EXPECT_EQ(scan.out,
            "address 1: PROG_VERSION 0x0207, module type 3, firmware 17\n"
            "address 2: PROG_VERSION 0x00000312\n");
  const Result reset = Run({"reset", "1", "--wait"});
  EXPECT_NE(reset.err.find("waiting for motor 1 to restart..."), std::string::npos);
  const Result program = Run({"module", "program", "1", File("empty.hex", Record(0, 1, {}))});
  EXPECT_NE(program.err.find("programming module 1 ["), std::string::npos) << program.err;
  EXPECT_EQ(program.err.find("sending page 0 (1 of 4)\n"), std::string::npos);
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

TEST_F(Qelctl, ReadWatchMarksAFailedReadingAndGoesOn) {
  bus().SetFault(1, FaultKind::kDrop, 5);  // the second reading gets no reply
  const Result r = Run({"read", "1", "MODE_REG", "--watch", "100", "--count", "3"});
  EXPECT_EQ(r.rc, 1) << "a failed reading fails the run";
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line.substr(line.find("  ") + 2));
  EXPECT_EQ(got, (std::vector<std::string>{
                     "motor 1: MODE_REG (2) = FAILED (ERR_ANSWER_LENGTH (0x20000003): Answer is "
                     "not of expected length; no reply within 100 ms (5 attempts))",
                     "motor 1: MODE_REG (2) = 2", "motor 1: MODE_REG (2) = 2"}));
  const json first =
      json::parse(Run({"--json", "read", "1", "P_SOLL", "--watch", "--count", "1"}).out);
  EXPECT_EQ(first["registers"][0]["value"], 0.0);
}

TEST_F(Qelctl, DumpAndRestoreRoundTrip) {
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "123", "--raw"}).rc, 0);
  ASSERT_EQ(Run({"dump", "1", "-o", Path("motor1.json")}).rc, 0);
  const json dump = json::parse(Slurp(Path("motor1.json")));
  EXPECT_EQ(dump["table"], "standard");
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "77", "--raw"}).rc, 0);
  ASSERT_EQ(Run({"write", "1", "GROUPID", "4", "--raw"}).rc, 0);

  const Result dry = Run({"restore", "1", Path("motor1.json"), "--dry-run"});
  EXPECT_NE(
      dry.out.find("motor 1: V_SOLL (5): 36.714111328125 (raw 77) -> 58.647216796875 (raw 123)\n"
                   "motor 1: GROUPID (260): 4 -> 1\n"),
      std::string::npos)
      << dry.out;
  EXPECT_EQ(OnBus(1, 5), 77u) << "a dry run writes nothing";
  const Result r = Run({"restore", "1", Path("motor1.json")});
  EXPECT_EQ(r.rc, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(", 2 differed, 0 still differ"), std::string::npos) << r.out;
  EXPECT_EQ(OnBus(1, 5), 123u);
  EXPECT_EQ(OnBus(1, 260), 1u);
  EXPECT_EQ(Run({"restore", "1", File("bad.json", "{}")}).rc, 2);
}

#ifndef _WIN32  // the files of Linux's /sys and /dev
TEST_F(Qelctl, PortsShowWhatTheSystemKnows) {
  namespace fs = std::filesystem;
  const fs::path root = Path("root");
  const fs::path usb = root / "sys/devices/usb1/1-1";
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  fs::create_directories(root / "sys/class/tty/ttyUSB0");
  fs::create_directories(root / "sys/class/tty/tty1");  // a console: no device
  fs::create_directories(root / "dev/serial/by-id");
  fs::create_directory_symlink(usb / "1-1:1.0", root / "sys/class/tty/ttyUSB0/device");
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "idProduct") << "6001\n";
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_X-if00-port0");
  env_.sys_root = (root / "sys").string();
  env_.dev_root = (root / "dev").string();
  const std::string dev = (root / "dev").string();
  EXPECT_EQ(Run({"ports"}).out, dev + "/ttyUSB0  usb 0403:6001 FT232R USB UART\n    " + dev +
                                    "/serial/by-id/usb-FTDI_X-if00-port0\n");
}
#endif

TEST_F(Qelctl, ResetWaitMsWaitsForSlowMotors) {
  qelcomm::sim::BusConfig config = qelcomm::sim::BusConfig::Defaults();
  config.motor_timing.restart_silent_us = 7'000'000;  // beyond the 5 s wait
  UseBus("slow", config);
  const Result longer = Run({"reset", "1", "--wait-ms", "4000"});
  EXPECT_EQ(longer.rc, 0) << longer.err;
  const Result plain = Run({"reset", "1", "--wait"});
  EXPECT_EQ(plain.rc, 1);
  EXPECT_NE(plain.err.find("qelctl: the reset command was sent, but motor 1 did not answer again "
                           "in time (--wait-ms N waits longer)\n"),
            std::string::npos)
      << plain.err;
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
  EXPECT_EQ(r.out, "motor 1: P_SOLL (3) = 0\n");
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
  EXPECT_EQ(r.out, "motor 1: MODE_REG (2) = 2\n");
  EXPECT_NE(
      r.err.find(
          "qelctl: note: reading MODE_REG (2) from motor 1 succeeded after a failed attempt (ERR_"),
      std::string::npos)
      << r.err;
}

TEST_F(Qelctl, ProgramThenGetReturnsTheHexImage) {
  // Records in all four pages, one across the page 0/1 boundary, after an
  // extended linear address record; what no record sets reads 0xFF.
  std::string image(4 * 128, '\xFF');
  std::string hex = Record(0, 4, {0, 0});
  for (int at : {0x000, 0x078, 0x150, 0x1F0}) {
    std::vector<uint8_t> data(16);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(at * 3 + 7 * i);
    hex += Record(at, 0, data);
    std::copy(data.begin(), data.end(), image.begin() + at);
  }
  const std::string file = File("image.hex", hex + Record(0, 1, {}));
  const Result r = Run({"module", "program", "1", file});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out.rfind("module 1: programmed pages 0..3 from " + file + " in ", 0), 0u);
  EXPECT_NE(r.err.find("module 1: sending page 3 (4 of 4)\n"), std::string::npos) << r.err;
  for (int page = 0; page < 4; ++page) {
    ASSERT_EQ(Run({"module", "get", "1", std::to_string(page), "-o", Path("page.bin")}).rc, 0);
    EXPECT_EQ(Slurp(Path("page.bin")), image.substr(size_t(page) * 128, 128)) << page;
  }
  // The dump: 16 bytes a line with offsets in the page, erased bytes 0xFF.
  const std::string dump = Run({"module", "get", "1", "3"}).out;
  EXPECT_EQ(dump.rfind("00: FF FF FF FF FF FF FF FF  FF FF", 0), 0u) << dump;
  EXPECT_NE(dump.find("\n70: D0 D7 DE E5 EC F3 FA 01  08 0F"), std::string::npos) << dump;
  const json page3 = json::parse(Run({"--json", "module", "get", "1", "3"}).out);
  EXPECT_EQ(page3["data"][0x70], uint8_t(image[0x1F0]));

  // With --json, one object per step on stdout.
  std::istringstream lines(Run({"--json", "module", "program", "1", file}).out);
  std::string line, events;
  while (std::getline(lines, line)) events += json::parse(line)["event"].get<std::string>() + " ";
  EXPECT_EQ(events, "stop page page page page write waiting done ");
}

TEST_F(Qelctl, ProgramReportsHexAndFileErrors) {
  const std::string bad = File("bad.hex", ":03000000010203F8\n");  // checksum F7
  const Result r = Run({"module", "program", "1", bad});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, "qelctl: programming module 1 from " + bad +
                       ": ERR_UNSPECIFIED (0x2000000B): Checksum error in hexfile\n");
  EXPECT_EQ(bus().telegrams(), 0u);
#ifndef _WIN32
  const Result missing = Run({"module", "program", "1", "/nonexistent/x.hex"});
  EXPECT_EQ(missing.rc, 2);
  EXPECT_EQ(missing.err,
            "qelctl: cannot read HEX file /nonexistent/x.hex: No such file or directory\n");
#endif
  EXPECT_EQ(bus().telegrams(), 0u);
}

TEST_F(Qelctl, PutNeedsAWholePage) {
  const Result short_file =
      Run({"module", "put", "1", "0", File("short.bin", std::string(127, 'x'))});
  EXPECT_EQ(short_file.rc, 2);
  EXPECT_NE(short_file.err.find("127 bytes; a page needs 128"), std::string::npos)
      << short_file.err;
  EXPECT_EQ(bus().telegrams(), 0u) << "nothing may be sent for a usage error";

  std::string data(130, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i);
  const std::string file = File("long.bin", data);
  EXPECT_EQ(Run({"module", "put", "1", "2", file}).out,
            "module 1: page 2 sent (the first 128 bytes of " + file + ")\n");
  const auto page = bus().module(1)->ReadPage(2);
  EXPECT_EQ(std::string(page.begin(), page.end()), data.substr(0, 128));
}

TEST_F(Qelctl, QupOutputsNoopAndDebug) {
  EXPECT_EQ(Run({"qup", "outputs", "1", "0x5", "0x7"}).out,
            "module 1: outputs 0 on, 1 off, 2 on\n");
  EXPECT_EQ(bus().module(1)->outputs(), 0x05);
  ASSERT_EQ(Run({"qup", "outputs", "1", "0", "1"}).rc, 0);
  EXPECT_EQ(bus().module(1)->outputs(), 0x04);
  EXPECT_EQ(Run({"qup", "outputs", "1", "16", "1"}).rc, 2) << "only outputs 0..3 exist";

  EXPECT_EQ(Run({"qup", "noop", "1"}).out, "module 1: NOOP value 4660 (0x1234)\n");
  EXPECT_EQ(json::parse(Run({"qup", "noop", "1", "--json"}).out)["value"], 0x1234);
  ASSERT_EQ(Run({"qup", "start", "1"}).out, "module 1: program started\n");
  const json debug = json::parse(Run({"module", "debug", "1", "--json"}).out);
  EXPECT_EQ(debug["state"], 1);
  EXPECT_EQ(debug["outputs"], 0x04);

  // Motor 2 has no module: its silence is said in words, not as "no code".
  const Result none = Run({"module", "info", "2"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "qelctl: identifying module 2: the module did not answer\n");
}

TEST_F(Qelctl, ModuleWriteAndResetWait) {
  ASSERT_EQ(Run({"module", "put", "1", "1", File("page.bin", std::string(128, 'Q'))}).rc, 0);
  const Result write = Run({"module", "write", "1"});
  ASSERT_EQ(write.rc, 0) << write.err;
  EXPECT_EQ(write.out.rfind("module 1: pages written, answering again after ", 0), 0u);
  const json reset = json::parse(Run({"--json", "module", "reset", "1", "--wait"}).out);
  EXPECT_EQ(reset["waited"], true);
  EXPECT_GE(reset["elapsed_ms"].get<int>(), 500) << "the module is silent after a reset";
  EXPECT_EQ(bus().module(1)->ReadPage(1)[0], 'Q') << "the written page survives the reset";
  EXPECT_EQ(Run({"qup", "reset", "1", "--wait"}).out.rfind("module 1: program reset, answering", 0),
            0u);
  EXPECT_EQ(Run({"qup", "reset", "1"}).out, "module 1: program reset\n");
}

TEST_F(Qelctl, DemoRunsTheTour) {
  const Result r = Run({"demo"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* expected :
       {"[1] Open the embedded virtual bus", "PROG_VERSION (1) = 0x0207", "P_IST = 30000",
        "motor 2: GROUPID 1, P_SOLL now 0", "reloaded the registers from flash",
        "failed as expected: ERR_ANSWER_LENGTH (0x20000003): Answer is not of expected length",
        "\nDone: ", "module 1: type 3, firmware 17", "programmed pages 0..3 in ",
        "page 0 matches the image, 00: 51 45 4C 44 45 4D 4F 01", "page 3 matches the image, 70: ",
        "outputs 0 and 2 on: state 1 (running)", "QupStop: state 0 (stopped)"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected;
  }
}

TEST_F(Qelctl, HelpAndVersion) {
  const Result version = Run({"--version"});
  EXPECT_EQ(version.rc, 0);
  EXPECT_EQ(version.out.rfind("qelctl ", 0), 0u);
  for (const char* cmd : {"regs", "read", "write", "scan", "factors", "status", "reset", "flash",
                          "group", "module", "qup", "demo"}) {
    const Result help = Run({cmd, "--help"});
    EXPECT_EQ(help.rc, 0) << cmd;
    EXPECT_NE(help.out.find(std::string("Usage: qelctl ") + cmd), std::string::npos) << cmd;
  }
  EXPECT_NE(Run({"--help"}).out.find("Address 2 is then marked big"), std::string::npos);
}

}  // namespace
