// The bus behind a VirtualLine, seen from the host's SerialDevice, on the
// virtual clock.
#include <gtest/gtest.h>

#include "qelcomm/virtual_port.h"
#include "sim_test_util.h"
#include "virtual_bus.h"

namespace qelcomm::sim {
namespace {

using namespace qelcomm::sim::testing;
using Bytes_ = std::vector<uint8_t>;

class VirtualBusTest : public ::testing::Test {
 protected:
  void Start(const BusConfig& config) {
    peer_ = std::make_shared<SimPeer>(config);
    line_ = &platform_.AddLine("sim", peer_, 1);
    OsError error = 0;
    dev_ = platform_.Open(platform_.DeviceNameForPort(1), error);
    ASSERT_EQ(error, 0u);
    ASSERT_TRUE(dev_);
  }
  void Send(const Bytes_& b) {
    dev_->Discard();
    ASSERT_EQ(dev_->Write(b.data(), b.size()), b.size());
  }
  Bytes_ Take() {
    Bytes_ b(dev_->Counts().rx);
    dev_->Read(b.data(), b.size());
    return b;
  }
  uint64_t Now() { return platform_.clock().NowUs(); }

  VirtualPlatform platform_;
  std::shared_ptr<SimPeer> peer_;
  VirtualLine* line_ = nullptr;
  std::unique_ptr<SerialDevice> dev_;
};

TEST_F(VirtualBusTest, ReplyArrivesAfterTheTurnaroundInVirtualTime) {
  Start(BusConfig::Defaults());
  const uint64_t t0 = Now();
  Send(ReadReq(1, 2));
  EXPECT_EQ(dev_->WaitForBytes(19, 100), 19u);
  EXPECT_EQ(Now() - t0, 1000u);
  auto r = Take();
  ASSERT_EQ(r.size(), 19u);
  EXPECT_EQ(ReplyValue(r), 2u);

  // The default bus: big motor at 2 (32-bit MODE_REG), module fitted to 1.
  Send(WriteReq(2, 2, 0x10000, true));
  EXPECT_EQ(dev_->WaitForBytes(3, 100), 3u);
  EXPECT_EQ(Take(), (Bytes_{0x11, 0x11, 0x11}));
  Send(ReadReq(2, 2));
  dev_->WaitForBytes(19, 100);
  EXPECT_EQ(ReplyValue(Take()), 0x10000u);
  Send(BuildFrame(0x5F, {0xFF}));
  EXPECT_EQ(dev_->WaitForBytes(13, 100), 13u);
}

TEST_F(VirtualBusTest, PacedReplyTakesItsWireTime) {
  BusConfig c = BusConfig::Defaults();
  c.line = {19200, true, 1000};
  Start(c);
  const uint64_t t0 = Now();
  Send(BuildFrame(0x34, {0x01, 0x00}));
  EXPECT_LT(dev_->WaitForBytes(265, 100), 265u) << "265 bytes at 19200 bit/s take 138 ms";
  EXPECT_EQ(dev_->WaitForBytes(265, 100), 265u);
  EXPECT_EQ(Now() - t0, 1000u + 265u * 520u);
}

TEST_F(VirtualBusTest, LateReplyMissesTheWindowAndLandsInTheNext) {
  BusConfig c = BusConfig::Defaults();
  c.faults = {{1, FaultKind::kLate, 1}};
  Start(c);
  Send(ReadReq(1, 2));
  EXPECT_EQ(dev_->WaitForBytes(19, 100), 0u);
  EXPECT_EQ(dev_->WaitForBytes(19, 100), 19u);
}

TEST_F(VirtualBusTest, ChatterKeepsComingWhileTheHostWaits) {
  BusConfig c = BusConfig::Defaults();
  c.faults = {{1, FaultKind::kChatter, 1}};
  Start(c);
  Send(ReadReq(1, 2));
  dev_->WaitForBytes(19, 100);
  Take();
  platform_.SleepMs(100);
  const size_t n = Take().size();
  EXPECT_GE(n, 19u);
  EXPECT_LE(n, 21u);
  peer_->bus().ClearFaults();
  platform_.SleepMs(100);
  Take();
  platform_.SleepMs(100);
  EXPECT_TRUE(Take().empty());
}

TEST_F(VirtualBusTest, VanishingDeviceFailsTheLine) {
  BusConfig c = BusConfig::Defaults();
  c.vanish_after = 1;
  Start(c);
  Send(ReadReq(1, 2));
  EXPECT_EQ(dev_->WaitForBytes(19, 100), 19u);
  EXPECT_EQ(Take().size(), 19u);
  Send(ReadReq(1, 2));  // not answered: the device is on its way out
  EXPECT_EQ(dev_->WaitForBytes(19, 10), 0u);
  platform_.SleepMs(100);
  EXPECT_EQ(dev_->LostError(), SimPeer::DefaultVanishError());
  const Bytes_ req = ReadReq(1, 2);
  EXPECT_EQ(dev_->Write(req.data(), req.size()), 0u);
}

TEST_F(VirtualBusTest, MotionAdvancesWithTheVirtualClock) {
  Start(BusConfig::Defaults());
  Send(WriteReq(1, 3, 100000, true));
  dev_->WaitForBytes(3, 100);
  platform_.SleepMs(500);
  Send(ReadReq(1, 10));
  dev_->WaitForBytes(19, 100);
  const auto mid = static_cast<int32_t>(ReplyValue(Take()));
  EXPECT_GT(mid, 40000);
  EXPECT_LT(mid, 60000);
  platform_.SleepMs(2000);
  Send(ReadReq(1, 10));
  dev_->WaitForBytes(19, 100);
  EXPECT_EQ(static_cast<int32_t>(ReplyValue(Take())), 100000);
}

}  // namespace
}  // namespace qelcomm::sim
