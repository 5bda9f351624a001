// qelctl in-process: bus, motor, dump, module and Qup commands, tracing.
#include "qelcomm/diagnosis.h"
#include "qelctl_fixture.h"
#include "trace.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pty.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace qelctl_test {
namespace {

TEST_F(Qelctl, ScanFindsTheDefaultMotors) {
  const Result r = Run({"scan"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out,
            "address 1: standard, PROG_VERSION 0x0207, module type 3, firmware 17\n"
            "address 2: big, PROG_VERSION 0x00000312\n");
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
  EXPECT_EQ(j["found"][0]["table"], "standard");
  // A motor taken as standard whose reply carries a big motor's high bytes.
  bus().motor(2)->Preset(1, 0x10312);
  j = json::parse(Run({"--json", "--standard", "2", "scan", "--from", "2", "--to", "2"}).out);
  EXPECT_EQ(j["found"][0]["table"], "big");
  EXPECT_EQ(Run({"--standard", "2", "scan", "--from", "2", "--to", "2"}).out,
            "address 2: big (its reply is 32 bits wide: --big 2), PROG_VERSION 0x00000312\n");
  bus().motor(2)->Preset(1, 0x0312);

  // The scan uses one attempt per address and leaves --retries alone after.
  bus().SetFault(1, FaultKind::kDrop, 1);
  EXPECT_EQ(Run({"scan", "--to", "2"}).out, "address 2: big, PROG_VERSION 0x00000312\n");

  const Result none = Run({"scan", "--from", "3", "--to", "4"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "qelctl: no motor answered at addresses 3..4\n");
}

TEST_F(Qelctl, ScanWarnsAboutGarbledRepliesAndGoesOn) {
  bus().SetFault(1, FaultKind::kComplement);
  const Result r = Run({"scan", "--to", "3"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "address 2: big, PROG_VERSION 0x00000312\n");
  EXPECT_NE(r.err.find("qelctl: address 1: ERR_"), std::string::npos) << r.err;
}

TEST_F(Qelctl, ProgressGoesToATerminalOnly) {
  env_.err_is_tty = true;
  const Result scan = Run({"scan", "--to", "3"});
  EXPECT_NE(scan.err.find("scanning ["), std::string::npos);
  EXPECT_EQ(scan.out,
            "address 1: standard, PROG_VERSION 0x0207, module type 3, firmware 17\n"
            "address 2: big, PROG_VERSION 0x00000312\n");
  const Result reset = Run({"reset", "1", "--wait"});
  EXPECT_NE(reset.err.find("waiting for motor 1 to restart..."), std::string::npos);
  const Result program =
      Run({"module", "program", "1", File("one.hex", Record(0, 0, {0x12}) + Record(0, 1, {}))});
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
  // --csv logs the same readings, a failed one as an empty cell.
  bus().SetFault(1, FaultKind::kDrop, 5);
  ASSERT_EQ(Run({"read", "1", "MODE_REG", "V_SOLL", "--watch", "100", "--count", "3", "--csv",
                 Path("log.csv")})
                .rc,
            1);
  EXPECT_EQ(Slurp(Path("log.csv")),
            "time_ms,MODE_REG,V_SOLL\n501,,47.6806640625\n603,2,47.6806640625\n"
            "705,2,47.6806640625\n");
  const json first =
      json::parse(Run({"--json", "read", "1", "P_SOLL", "--watch", "--count", "1"}).out);
  EXPECT_EQ(first["registers"][0]["value"], 0.0);
}

TEST_F(Qelctl, WatchTakesAnIntervalOrLeavesTheNextWordToTheCommand) {
  const Result before = Run({"read", "1", "--watch", "100", "P_IST", "--count", "2"});
  ASSERT_EQ(before.rc, 0) << before.err;
  EXPECT_NE(before.out.find("\n+0.10"), std::string::npos) << before.out;
  EXPECT_NE(before.out.find("motor 1: P_IST (10) = 0"), std::string::npos);
  const Result reg = Run({"read", "1", "--watch", "P_IST", "V_IST", "--count", "1"});
  EXPECT_NE(reg.out.find("motor 1: P_IST (10) = 0, V_IST (12) = 0\n"), std::string::npos)
      << reg.out << reg.err;
  // status takes --watch MS as read does: the gap between readings grows by it.
  auto gap = [this](const char* ms) {
    std::istringstream lines(Run({"--json", "status", "1", "--watch", ms, "--count", "2"}).out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    return json::parse(second)["time_ms"].get<int64_t>() -
           json::parse(first)["time_ms"].get<int64_t>();
  };
  EXPECT_EQ(gap("2020") - gap("20"), 2000);
  EXPECT_EQ(Run({"status", "1", "--watch", "x"}).rc, 2);
}

TEST_F(Qelctl, ADamagedReplyIsCalledSoNotIncompleteNorTheBitRate) {
  bus().SetFault(1, FaultKind::kComplement);
  const Result complement = Run({"--trace", "--retries", "1", "read", "1", "MODE_REG"});
  EXPECT_EQ(complement.rc, 1);
  EXPECT_NE(complement.err.find("  corrupt reply: byte "), std::string::npos) << complement.err;
  EXPECT_NE(complement.err.find(" is not the complement of byte "), std::string::npos);
  EXPECT_EQ(complement.err.find("reply incomplete, 19 bytes"), std::string::npos);
  EXPECT_NE(complement.err.find("qelctl: a reply came back damaged (byte "), std::string::npos)
      << complement.err;
  EXPECT_EQ(complement.err.find("bit rate"), std::string::npos) << complement.err;

  bus().SetFault(1, FaultKind::kBadAccept);
  const Result accept = Run({"--trace", "--retries", "1", "write", "1", "MODE_REG", "2"});
  EXPECT_EQ(accept.rc, 1);
  EXPECT_NE(accept.err.find("corrupt reply: byte 3 (0x12) does not repeat the sync 0x11"),
            std::string::npos)
      << accept.err;
  EXPECT_EQ(accept.err.find("bit rate"), std::string::npos) << accept.err;
}

TEST_F(Qelctl, AReplyToThePreviousRequestIsCalledLate) {
  using Dir = qelcomm::TraceEvent::Direction;
  const std::vector<uint8_t> mode = {0x50, 0x50, 0x50, 0x01, 0xFE, 0x02, 0xFD, 0xAA, 0xAA};
  const std::vector<uint8_t> p_ist = {0x50, 0x50, 0x50, 0x01, 0xFE, 0x0A, 0xF5, 0xAA, 0xAA};
  const std::vector<uint8_t> mode_reply = {0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x02, 0xFD, 0x00,
                                           0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA};
  qelcomm::LineLog log;
  log.Add({Dir::Sent, 0, mode.data(), mode.size()});  // unanswered in its window
  log.Clear();
  log.Add({Dir::Sent, 0, p_ist.data(), p_ist.size()});
  log.Add({Dir::Received, 0, mode_reply.data(), mode_reply.size()});
  EXPECT_EQ(qelcomm::Diagnose(log, qelcomm::ERR_PARAM_MISMATCH),
            "a late reply: it answers the previous request (read motor 1 register MODE_REG (2)), "
            "which the device answered after its window");
  // With the trace's times, how late it came says how much to widen the
  // window, as for a remote line whose replies cross the network twice.
  log.Clear();
  log.Add({Dir::Sent, 1000, mode.data(), mode.size()});
  log.Clear();
  log.Add({Dir::Sent, 1105, p_ist.data(), p_ist.size()});
  log.Add({Dir::Received, 1180, mode_reply.data(), mode_reply.size()});
  qelcomm::CallSetting setting;
  setting.window = qelcomm::WindowSetting{};
  EXPECT_EQ(qelcomm::Diagnose(log, qelcomm::ERR_PARAM_MISMATCH, setting),
            "a late reply: it answers the previous request (read motor 1 register MODE_REG (2)), "
            "which the device answered 180 ms after it was sent, beyond the 100 ms window: try "
            "--extra-window-ms 100");
  // A reply to a register neither request named is no late reply.
  log.Clear();
  log.Add({Dir::Sent, 0, mode.data(), mode.size()});
  log.Add({Dir::Received, 0, mode_reply.data(), mode_reply.size()});
  EXPECT_EQ(qelcomm::Diagnose(log, 0), "");
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

#ifdef _WIN32
// Wine maps a COM port onto a Unix device without announcing it as a serial
// driver does; the test announces its own under a name of its own.
struct AnnouncedPort {
  explicit AnnouncedPort(const std::string& com) {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                    REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(com.c_str()),
                   DWORD(com.size() + 1));
  }
  ~AnnouncedPort() {
    RegDeleteValueA(key, kValue);
    RegCloseKey(key);
  }
  static constexpr const char* kValue = "\\Device\\QelctlTest";
  HKEY key = nullptr;
};

// Run by the Wine test that maps a COM port above COM9 onto qelsim: the port
// list shows it, and the name it shows is one --port opens.
TEST_F(Qelctl, PortsListsComPortsThatOpen) {
  const char* port = std::getenv("QELCOMM_TEST_PORT");
  if (port == nullptr) GTEST_SKIP() << "needs QELCOMM_TEST_PORT, a COM port onto qelsim";
  const AnnouncedPort announced(port);
  const json list = json::parse(Run({"--json", "ports"}).out)["ports"];
  EXPECT_TRUE(std::any_of(list.begin(), list.end(),
                          [&](const json& p) { return p["device"] == port; }))
      << list.dump();
  const Result read = Run({"--port", port, "read", "1", "PROG_VERSION"});
  EXPECT_EQ(read.rc, 0) << read.err;
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
  EXPECT_NE(flash.out.find("\nmotor 1 stays in safe mode (MODE_REG 15); 'qelctl reset 1 --wait' "
                           "restarts it into normal operation\n"),
            std::string::npos)
      << flash.out;
  ASSERT_EQ(Run({"write", "1", "V_SOLL", "300", "--raw"}).rc, 0);
  const json reset = json::parse(Run({"--json", "reset", "1", "--wait"}).out);
  // The motor is silent for a while after a restart: a real wait takes that long.
  EXPECT_GE(reset["elapsed_ms"].get<int>(), 1000);
  EXPECT_EQ(reset["waited"], true);
  EXPECT_EQ(OnBus(1, 5), 200u) << "the restart reloads what was flashed";
  EXPECT_FALSE(reset.contains("safe_mode")) << "a restart leaves safe mode";
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

TEST_F(Qelctl, ProgramRefusesFilesThatWouldEraseOrLoseTheProgram) {
  const std::string refused = "; nothing was sent\n";
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"empty.hex", ""},
           {"notes.hex", "just some text\n"},
           {"eof.hex", Record(0, 1, {})},
           {"high.hex", Record(0x200, 0, {1, 2})}}) {
    const Result r = Run({"module", "program", "1", File(name, text)});
    EXPECT_EQ(r.rc, 2) << name;
    EXPECT_EQ(r.err, "qelctl: " + Path(name) +
                         " sets no byte of image 0x0000..0x01FF (pages 0..3): programming it "
                         "would erase the module's program" + refused)
        << name;
  }
  // A 1000-byte image: bytes 512..999 would be lost without a word.
  std::string big;
  for (int at = 0; at < 1000; at += 100) big += Record(at, 0, std::vector<uint8_t>(100, 0x5A));
  const std::string file = File("big.hex", big + Record(0, 1, {}));
  const Result outside = Run({"module", "program", "1", file});
  EXPECT_EQ(outside.rc, 2);
  EXPECT_EQ(outside.err, "qelctl: " + file +
                             " has data outside pages 0..3 at 0x0200..0x03E7, which programming "
                             "does not send; nothing was sent (--allow-outside sends bytes 0..511 "
                             "anyway)\n");
  EXPECT_EQ(bus().telegrams(), 0u);

  const Result allowed = Run({"module", "program", "1", file, "--allow-outside"});
  EXPECT_EQ(allowed.rc, 0) << allowed.err;
  EXPECT_NE(allowed.err.find(file + ": data outside pages 0..3 at 0x0200..0x03E7 is not sent\n"),
            std::string::npos)
      << allowed.err;
  // Overlapping records that disagree are reported; the last one counts.
  const Result clash = Run({"module", "program", "1",
                            File("clash.hex", Record(0x10, 0, {1, 2, 3}) + Record(0x11, 0, {2, 9}))});
  EXPECT_EQ(clash.rc, 0) << clash.err;
  EXPECT_NE(clash.err.find("records set 0x0012..0x0012 more than once with different values"),
            std::string::npos)
      << clash.err;
}

TEST_F(Qelctl, ProgramReportsHexAndFileErrors) {
  // The checksum error is in the third line's record.
  const std::string bad =
      File("bad.hex", Record(0, 0, {1}) + "\n:03000000010203F8\n");  // checksum F7
  const Result r = Run({"module", "program", "1", bad});
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(r.err, "qelctl: " + bad + " line 3: Checksum error in hexfile; nothing was sent\n");
  const Result character = Run({"module", "program", "1", File("x.hex", ":0100000G\n")});
  EXPECT_NE(character.err.find("x.hex line 1: Invalid character in hexfile"), std::string::npos)
      << character.err;
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
  EXPECT_EQ(Run({"module", "debug", "1"}).out.rfind("module 1: state 1 (running), inputs ", 0), 0u);

  // Motor 2 has no module: its silence is said in words, not as "no code".
  const Result none = Run({"module", "info", "2"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "qelctl: identifying module 2: the module did not answer\n");
  const json silent = json::parse(Run({"--json", "module", "info", "2"}).out);
  EXPECT_EQ(silent["error"]["name"], "NO_ANSWER") << "a named error, not a null name";
  EXPECT_TRUE(silent["error"]["code"].is_null()) << "no code of the control's, as for usage errors";
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
  EXPECT_EQ(Run({"read", "--help"}).out.find("Address 2 is then marked big"), std::string::npos)
      << "the long footer is for qelctl --help only";
}

TEST_F(Qelctl, QupStepRefusesAnEmptyRange) {
  const Result r = Run({"qup", "step", "1", "0x20", "0x10"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(r.err, "qelctl: MIN 0x0020 is above MAX 0x0010\n");
  EXPECT_EQ(bus().telegrams(), 0u);
}

#ifndef _WIN32
// Ctrl-C during a watch cancels the reading in progress: a silent motor
// with five attempts would otherwise hold it for half a second, then fail.
TEST_F(Qelctl, CtrlCEndsAWatchAtOnce) {
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  qelctl::RunEnv::Interrupt interrupt;
  env_.interrupt = &interrupt;
  std::thread ctrl_c([&] {  // what main's SIGINT handler does
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    interrupt.requested = 1;
    if (qelcomm::CQelCommCtrl* ctrl = interrupt.control.load()) ctrl->Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  const Result r = Run({"--port", name, "status", "1", "--watch"});
  const auto took = std::chrono::steady_clock::now() - start;
  ctrl_c.join();
  close(slave);
  close(master);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_LT(took, std::chrono::milliseconds(400));
  EXPECT_EQ(interrupt.control.load(), nullptr) << "the session left no dangling control";
  EXPECT_EQ(Run({"--extra-window-ms", "-1", "read", "1", "P_IST"}).rc, 2);
}
#endif

}  // namespace
}  // namespace qelctl_test
