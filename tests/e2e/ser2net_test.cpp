// The control through a real ser2net that each test starts, kills and
// restarts itself. Run inside with-qelsim.sh (qelsim --motor 1), which sets
// QELCOMM_TEST_PORT to qelsim's pty and QELCOMM_TEST_SIM_LOG to its stderr;
// QELCOMM_SER2NET names the ser2net program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/child_process.h"
#include "qelcomm/QelCommCtrl.h"

namespace qelcomm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::FreeLoopbackPort;

class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* device = std::getenv("QELCOMM_TEST_PORT");
    if (device == nullptr || std::getenv("QELCOMM_SER2NET") == nullptr)
      GTEST_SKIP() << "run through with-qelsim.sh with QELCOMM_SER2NET set";
    device_ = device;
    port_ = FreeLoopbackPort();
    url_ = "rfc2217://127.0.0.1:" + std::to_string(port_);
  }

  std::unique_ptr<testing::Ser2netServer> Serve() {
    return std::make_unique<testing::Ser2netServer>(std::getenv("QELCOMM_SER2NET"), device_,
                                                    port_, true);
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
  const auto server = Serve();
  CQelCommCtrl ctrl;
  ctrl.SetPortName(url_);
  ctrl.SetBaud(57600);
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  int32_t mode = 0;
  EXPECT_TRUE(ctrl.ReadParameter(1, ctrl.GetParamNumFromName(1, "MODE_REG"), mode));
  EXPECT_NE(SimLog().find("line speed 57600 bit/s"), std::string::npos) << SimLog();
}

TEST_F(Ser2net, ADroppedServerIsALostDeviceAndANewOpenWorksOnceItIsBack) {
  auto server = Serve();
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
  server = Serve();
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
