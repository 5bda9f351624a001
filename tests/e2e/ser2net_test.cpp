// The control through a real ser2net that each test starts, kills and
// restarts itself. Run inside with-qelsim.sh (qelsim --motor 1), which sets
// QELCOMM_TEST_PORT to qelsim's pty and QELCOMM_TEST_SIM_LOG to its stderr;
// QELCOMM_SER2NET names the ser2net program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "qelcomm/QelCommCtrl.h"

extern char** environ;

namespace qelcomm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// One ser2net in RFC 2217 mode in front of the pty, ended by its pid.
class Server {
 public:
  Server(const std::string& device, uint16_t port) {
    const std::string config = "connection: &qel#  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                               std::to_string(port) + "#  connector: serialdev," + device +
                               ",19200n81,local#";
    const std::string pidfile = "/tmp/qelcomm-ser2net-" + std::to_string(getpid()) + ".pid";
    const char* program = std::getenv("QELCOMM_SER2NET");
    const char* argv[] = {program, "-n", "-u", "-P", pidfile.c_str(), "-Y", config.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, program, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Listening within 2 s, or the test fails on the open.
    for (int i = 0; i < 100 && pid_ > 0 && !Accepts(port); ++i)
      std::this_thread::sleep_for(milliseconds(20));
  }
  ~Server() { Kill(); }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* device = std::getenv("QELCOMM_TEST_PORT");
    if (device == nullptr || std::getenv("QELCOMM_SER2NET") == nullptr)
      GTEST_SKIP() << "run through with-qelsim.sh with QELCOMM_SER2NET set";
    device_ = device;
    port_ = FreePort();
    url_ = "rfc2217://127.0.0.1:" + std::to_string(port_);
  }

  std::string device_, url_;
  uint16_t port_ = 0;
};

std::string SimLog() {
  const char* path = std::getenv("QELCOMM_TEST_SIM_LOG");
  std::ifstream in(path != nullptr ? path : "");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(Ser2net, TheBitRateReachesTheDevice) {
  Server server(device_, port_);
  CQelCommCtrl ctrl;
  ctrl.SetPortName(url_);
  ctrl.SetBaud(57600);
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  int32_t mode = 0;
  EXPECT_TRUE(ctrl.ReadParameter(1, ctrl.GetParamNumFromName(1, "MODE_REG"), mode));
  EXPECT_NE(SimLog().find("line speed 57600 bit/s"), std::string::npos) << SimLog();
}

TEST_F(Ser2net, ADroppedServerIsALostDeviceAndANewOpenWorksOnceItIsBack) {
  auto server = std::make_unique<Server>(device_, port_);
  CQelCommCtrl ctrl;
  ctrl.SetPortName(url_);
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  int32_t v = 0;
  ASSERT_TRUE(ctrl.ReadParameter(1, 2, v));

  // Motor 9 is silent: five 100 ms windows, unless the server goes first.
  std::thread killer([&] {
    std::this_thread::sleep_for(milliseconds(150));
    server->Kill();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(ctrl.ReadParameter(9, 2, v));
  const auto took = Clock::now() - start;
  killer.join();
  EXPECT_LT(took, milliseconds(150 + 100 + 50)) << "the drop ends the wait within one window";
  const uint32_t code = uint32_t(ctrl.GetLastError());
  EXPECT_TRUE(code != 0 && code < 0x20000000u) << std::hex << code << " is not an OS error";

  EXPECT_FALSE(ctrl.OpenPort());  // nobody listening
  EXPECT_NE(ctrl.GetLastErrorStr(0).find("refused"), std::string::npos) << ctrl.GetLastErrorStr(0);
  server = std::make_unique<Server>(device_, port_);
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  EXPECT_TRUE(ctrl.ReadParameter(1, 2, v));
}

TEST_F(Ser2net, AnUnknownHostFailsTheOpenWithTheResolversMessage) {
  CQelCommCtrl ctrl;
  ctrl.SetPortName("tcp://no-such-host.invalid:4001");
  EXPECT_FALSE(ctrl.OpenPort());
  EXPECT_FALSE(ctrl.GetLastErrorStr(0).empty());
  ctrl.SetPortName("tcp://127.0.0.1");  // no port
  EXPECT_FALSE(ctrl.OpenPort());
}

}  // namespace
}  // namespace qelcomm
