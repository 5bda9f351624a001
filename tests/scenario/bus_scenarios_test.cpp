// The control against the simulated bus in-process, in virtual time: what
// each kind of line fault looks like to a host.
#include <gtest/gtest.h>

#include <set>

#include "qelcomm/QelCommCtrl.h"
#include "support/test_platform.h"
#include "virtual_bus.h"

namespace qelcomm {
namespace {

using sim::FaultKind;
using testing::TestLine;
using testing::TestPlatform;

struct BusBench {
  std::shared_ptr<TestPlatform> platform = std::make_shared<TestPlatform>();
  std::shared_ptr<sim::SimPeer> peer = std::make_shared<sim::SimPeer>();
  TestLine& line = platform->AddLine("sim", peer, 1);
  CQelCommCtrl ctrl{platform};

  BusBench() {
    ctrl.SetComPort(1);
    ctrl.SetQELType(2, true);
    EXPECT_TRUE(ctrl.OpenPort());
  }
  sim::Bus& bus() { return peer->bus(); }
  uint32_t LastError() { return uint32_t(ctrl.GetLastError()); }
};

const std::set<uint32_t> kReplyCheckCodes{ERR_START_SYNC,    ERR_ADDRESS_MISMATCH,
                                          ERR_PARAM_MISMATCH, ERR_LENGTH_MISMATCH,
                                          ERR_INVERSION,     ERR_END_SYNC};

TEST(BusScenario, OneFaultyReplyIsRetriedAndItsCodeKept) {
  struct Case {
    FaultKind kind;
    std::set<uint32_t> codes;
  };
  const Case cases[] = {
      {FaultKind::kDrop, {ERR_ANSWER_LENGTH}},
      {FaultKind::kLate, {ERR_ANSWER_LENGTH}},
      {FaultKind::kWrongSync, {ERR_START_SYNC}},
      {FaultKind::kComplement,
       {ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_LENGTH_MISMATCH, ERR_INVERSION}},
      {FaultKind::kCorrupt, kReplyCheckCodes},
      {FaultKind::kNoiseBefore, {ERR_ANSWER_LENGTH, ERR_START_SYNC}},
      {FaultKind::kNoiseAfter, {ERR_ANSWER_LENGTH}},
      // Three pieces 60 ms apart: complete only after the read's window.
      {FaultKind::kSplit, {ERR_ANSWER_LENGTH}},
  };
  for (const Case& c : cases) {
    for (uint64_t seed : {1, 2, 3}) {
      sim::BusConfig config = sim::BusConfig::Defaults();
      config.seed = seed;
      BusBench b;
      b.peer = std::make_shared<sim::SimPeer>(config);
      TestLine& line = b.platform->AddLine("sim2", b.peer);
      b.ctrl.SetPortName("sim2");
      ASSERT_TRUE(b.ctrl.OpenPort());
      b.bus().SetFault(1, c.kind, 1);
      int32_t v = 0;
      EXPECT_TRUE(b.ctrl.ReadParameter(1, 1, v)) << sim::FaultName(c.kind);
      EXPECT_TRUE(c.codes.count(b.LastError())) << sim::FaultName(c.kind) << " seed " << seed;
      EXPECT_EQ(line.written.size(), 2u) << sim::FaultName(c.kind);
    }
  }
}

TEST(BusScenario, StatusReadTakesASplitReplyThatARegisterReadMisses) {
  BusBench b;
  b.bus().SetFault(1, FaultKind::kSplit);
  int16_t status = 0, errs = 0;
  int32_t pos = 0;
  EXPECT_TRUE(b.ctrl.ReadStatus(1, status, pos, errs));
  EXPECT_EQ(b.LastError(), 0u);
  b.ctrl.SetRetries(1);
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 1, v));
  EXPECT_EQ(b.LastError(), ERR_ANSWER_LENGTH);
}

TEST(BusScenario, AcceptanceFaults) {
  BusBench b;
  b.bus().SetFault(1, FaultKind::kBadAccept, 1);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 14, 3));
  EXPECT_EQ(b.LastError(), ERR_BAD_ACCEPT);
  b.bus().SetFault(1, FaultKind::kDrop, 1);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 14, 3));
  EXPECT_EQ(b.LastError(), ERR_ANSWER_LENGTH);
}

TEST(BusScenario, ChatteringLine) {
  BusBench b;
  b.bus().SetFault(1, FaultKind::kChatter, 1);
  int32_t v = 0;
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 1, v));  // the reply itself comes through
  EXPECT_FALSE(b.ctrl.OpenPort());  // then the line never settles
  EXPECT_EQ(b.LastError(), ERR_PORT_INIT);
  b.bus().ClearFaults();
  EXPECT_TRUE(b.ctrl.OpenPort());
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 1, v));
}

TEST(BusScenario, VanishingDevice) {
  BusBench b;
  b.bus().SetFault(1, FaultKind::kVanish);
  int32_t v = 0;
  const uint64_t start = b.platform->NowMs();
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 1, v));
  EXPECT_EQ(b.LastError(), b.peer->vanish_error);
  EXPECT_LE(b.platform->NowMs() - start, 100u);  // one window at most, no retries
  EXPECT_FALSE(b.ctrl.ResetWait(1));
  EXPECT_EQ(b.LastError(), b.peer->vanish_error);
}

TEST(BusScenario, MotorCommandsOnTheBus) {
  BusBench b;
  int32_t v = 0;
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 15, 77));
  EXPECT_TRUE(b.ctrl.WriteToFlashWait(1));
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 15, 78));
  EXPECT_TRUE(b.ctrl.ResetWait(1));
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 15, v));
  EXPECT_EQ(v, 77);

  // Motion: a new target is reached in simulated time, seen in P_IST and in
  // the status position.
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 3, 5000));
  int16_t status = 0, errs = 0;
  int32_t pos = 0;
  for (int i = 0; i < 200 && pos != 5000; ++i) {
    b.platform->SleepMs(50);
    ASSERT_TRUE(b.ctrl.ReadStatus(1, status, pos, errs));
  }
  EXPECT_EQ(pos, 5000);
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 10, v));
  EXPECT_EQ(v, 5000);

  // Group write reaches the motors of the group once per sequence number.
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 260, 6));
  EXPECT_TRUE(b.ctrl.WriteParameter(2, 260, 6));
  EXPECT_TRUE(b.ctrl.WriteGroup(6, 14, 99));
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 14, v));
  EXPECT_EQ(v, 99);
  EXPECT_TRUE(b.ctrl.ReadParameter(2, 14, v));
  EXPECT_EQ(v, 99);
}

}  // namespace
}  // namespace qelcomm
