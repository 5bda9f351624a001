// qelctl in-process: registers, values, output, errors and diagnosis.
#include "qelcomm/diagnosis.h"
#include "qelctl_fixture.h"
#include "trace.h"

namespace qelctl_test {
namespace {

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
  ASSERT_EQ(Run({"write", "1", "SERIALNUMBER", "16777217", "--force"}).rc, 0);
  EXPECT_EQ(OnBus(1, 154), 16777217u);
  EXPECT_EQ(Run({"read", "1", "SERIALNUMBER"}).out, "motor 1: SERIALNUMBER (154) = 16777217\n");
}

TEST_F(Qelctl, WritingAnIdentityOrReadOnlyRegisterNeedsForce) {
  for (const char* name : {"ADDRESS", "SERIALNUMBER", "PROG_VERSION"}) {
    const Result r = Run({"write", "1", name, "7"});
    EXPECT_EQ(r.rc, 2) << name;
    EXPECT_NE(r.err.find("register; writing it needs --force"), std::string::npos) << r.err;
  }
  EXPECT_EQ(bus().telegrams(), 0u) << "refused before anything is sent";
  EXPECT_EQ(Run({"write", "1", "GROUPID", "4"}).rc, 0) << "a setting needs no --force";
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
                                        {"extended", false},
                                        {"min", -2147483648LL},
                                        {"max", 2147483647},
                                        {"role", "read-only"}}));
  EXPECT_EQ(regs["registers"].back()["number"], 256 + 102);
  EXPECT_EQ(regs["registers"].back()["extended"], true);
  const std::string table = Run({"regs"}).out;
  EXPECT_NE(table.find("\n 259  ADDRESS               16     1  none              1            "
                       "-32768..32767            identity\n"),
            std::string::npos)
      << table;

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
    qelcomm::LineLog log;
    using Dir = qelcomm::TraceEvent::Direction;
    log.Add({Dir::Sent, 0, read.data(), read.size()});
    log.Add({Dir::Discarded, 0, got.data(), got.size()});
    return qelcomm::Diagnose(log, qelcomm::ERR_ANSWER_LENGTH);
  };
  EXPECT_EQ(diagnose({0x13, 0x77, 0xE1, 0x02, 0x99}),
            "replies look like noise: check the bit rate (--baud)");
  EXPECT_EQ(diagnose({0x52, 0x52, 0x52, 0x00, 0xFF, 0x01}),
            "6 bytes arrived where 19 were expected");
  // The reply length comes from the protocol table: a status reply has none.
  qelcomm::LineLog status;
  const std::vector<uint8_t> ask = {0x58, 0x58, 0x58, 0x01, 0xFE, 0xAA, 0xAA};
  const std::vector<uint8_t> part = {0x58, 0x58, 0x58, 0x00, 0xFF};
  status.Add({qelcomm::TraceEvent::Direction::Sent, 0, ask.data(), ask.size()});
  status.Add({qelcomm::TraceEvent::Direction::Discarded, 0, part.data(), part.size()});
  EXPECT_EQ(qelcomm::Diagnose(status, qelcomm::ERR_ANSWER_LENGTH), "");
  // Other front ends name their own settings in the hints.
  qelcomm::CallSetting python;
  python.terms = {"echo=True", "baud=", "big="};
  qelcomm::LineLog echoed;
  echoed.Add({qelcomm::TraceEvent::Direction::Sent, 0, read.data(), read.size()});
  echoed.Add({qelcomm::TraceEvent::Direction::Discarded, 0, read.data(), read.size()});
  EXPECT_EQ(qelcomm::Diagnose(echoed, qelcomm::ERR_ANSWER_LENGTH, python),
            "the first 9 bytes were our own request: the adapter echoes what it sends, try "
            "echo=True");

  // A line that never goes quiet fails the open, and says why.
  bus().StartChatter(platform_->clock().NowUs());
  const Result chatter = Run({"read", "1", "P_IST"});
  EXPECT_EQ(chatter.rc, 1);
  EXPECT_NE(chatter.err.find("ERR_PORT_INIT (0x20000000): Serial port could not be initialized\n"
                             "qelctl: the line never went quiet ("),
            std::string::npos)
      << chatter.err;
  EXPECT_NE(chatter.err.find("another device is talking, or the bit rate is wrong (--baud)"),
            std::string::npos);
  bus().StopChatter();

  // A big motor read with the standard table: the reply has 32 bits.
  ASSERT_EQ(Run({"write", "2", "V_SOLL", "0x12345", "--raw"}).rc, 0);
  // Its low bytes alone are a wrong value: the read fails, as a dump does.
  const Result narrow = Run({"--standard", "2", "read", "2", "V_SOLL", "--raw"});
  EXPECT_EQ(narrow.rc, 1);
  EXPECT_EQ(narrow.out, "");
  EXPECT_EQ(narrow.err,
            "qelctl: reading V_SOLL (5) from motor 2: a 16-bit register came back with high bytes "
            "set: is motor 2 a big motor? (--big 2)\n");
  const Result dump = Run({"--standard", "2", "dump", "2", "-o", Path("d.json")});
  EXPECT_EQ(dump.rc, 1);
  EXPECT_NE(dump.err.find("is motor 2 a big motor? (--big 2)"), std::string::npos) << dump.err;
  EXPECT_FALSE(std::filesystem::exists(Path("d.json"))) << "no dump of the wrong table";
  EXPECT_EQ(json::parse(Run({"--json", "--standard", "2", "read", "2", "V_SOLL"}).out)["error"]
                ["name"],
            "BIG_MOTOR");

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
      {{"--json", "read", "x", "P_SOLL"}, "ADDR: 'x' is not an integer"},
      {{"--json", "write", "1", "V_SOLL", "nan"}, "'nan' is not a finite number"},
      {{"--port", "", "write", "1", "P_SOLL", "5"}, "--port is empty"},
      {{"--port", "telnet://host:23", "scan"},
       "--port 'telnet://host:23': unknown scheme 'telnet'; the schemes are rfc2217:// and tcp://"},
      {{"--port", "tcp://host", "scan"}, "--port 'tcp://host' names no port: write tcp://HOST:PORT"},
      {{"--port", "rfc2217://host:99999", "scan"}, "'99999' is not a port number in 1..65535"},
      {{"--port", "tcp://[::1]", "scan"}, "names no port"},
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
    const bool with_json = std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
    if (!with_json) {
      EXPECT_EQ(r.out, "");
      continue;
    }
    // With --json, stdout holds one document for a usage error too.
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["error"]["name"], "USAGE");
    EXPECT_NE(doc["error"]["message"].get<std::string>().find(c.says), std::string::npos);
  }
  EXPECT_EQ(bus().telegrams(), 0u) << "an empty --port must not reach the virtual bus";
}

}  // namespace
}  // namespace qelctl_test
