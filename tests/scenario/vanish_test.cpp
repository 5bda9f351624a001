// A device that goes away in every phase of a call, for every method
// family: before the write, during the reply, between two attempts. The call
// ends within one window of the loss with the OS error, and once the device
// is back a new OpenPort works.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"
#include "virtual_bus.h"

namespace qelcomm {
namespace {

enum class Phase { kBeforeWrite, kDuringReply, kBetweenAttempts };

// The bus, with a device that goes away at the first telegram of a chosen
// kind: a byte into its reply, or, when that telegram goes unanswered, as
// soon as the next one arrives.
class VanishingPeer : public VirtualPeer {
 public:
  VanishingPeer(Phase phase, uint8_t trigger) : phase_(phase), trigger_(trigger) {
    sim::BusConfig config = sim::BusConfig::Defaults();
    config.line.pace = true;
    bus_ = std::make_shared<sim::SimPeer>(config);
  }

  void OnReceive(VirtualLine& line, const std::vector<uint8_t>& data, uint64_t now) override {
    if (dropped_) return Vanish(line, now);
    if (armed_ && data[0] == trigger_) {
      armed_ = false;
      if (phase_ == Phase::kBetweenAttempts) {
        dropped_ = true;
        return;
      }
      if (phase_ == Phase::kDuringReply) vanish_at_ = now + 1800;  // turnaround and one byte
    }
    bus_->OnReceive(line, data, now);
  }
  uint64_t NextWakeUs() const override { return std::min(bus_->NextWakeUs(), vanish_at_); }
  void OnWake(VirtualLine& line, uint64_t now) override {
    if (now >= vanish_at_) return Vanish(line, now);
    bus_->OnWake(line, now);
  }

  uint64_t vanished_at_us = 0;

 private:
  void Vanish(VirtualLine& line, uint64_t now) {
    line.Vanish(sim::SimPeer::DefaultVanishError());
    vanished_at_us = now;
    vanish_at_ = UINT64_MAX;
    dropped_ = false;
  }

  Phase phase_;
  uint8_t trigger_;
  bool armed_ = true;
  bool dropped_ = false;
  uint64_t vanish_at_ = UINT64_MAX;
  std::shared_ptr<sim::SimPeer> bus_;
};

struct Family {
  const char* name;
  std::function<bool(CQelCommCtrl&)> call;
  uint8_t during_reply;  // the telegram whose reply is cut; 0: none is answered
  uint8_t unanswered;    // the telegram left unanswered before the loss
};

int16_t s16 = 0;
int32_t s32 = 0;
std::vector<uint8_t> page;
const char* const kHexFile = "vanish_test.hex";

const Family kFamilies[] = {
    {"ReadParameter", [](auto& c) { return c.ReadParameter(1, 2, s32); }, 0x50, 0x50},
    {"WriteParameter", [](auto& c) { return c.WriteParameter(1, 14, 3); }, 0x52, 0x52},
    {"ReadStatus", [](auto& c) { return c.ReadStatus(1, s16, s32, s16); }, 0x58, 0x58},
    {"WriteGroup", [](auto& c) { return c.WriteGroup(3, 14, 5); }, 0, 0x59},
    {"Reset", [](auto& c) { return c.Reset(1); }, 0x57, 0x54},
    {"WriteToFlashWait", [](auto& c) { return c.WriteToFlashWait(1); }, 0x56, 0x50},
    {"GetModuleType", [](auto& c) { return c.GetModuleType(1, s16, s16); }, 0x5F, 0x5F},
    {"VemoGet", [](auto& c) { return c.VemoGet(1, 0, page); }, 0x34, 0x34},
    {"VemoPut", [](auto& c) { return c.VemoPut(1, 0, std::vector<uint8_t>(128)); }, 0x31, 0x31},
    {"VemoResetWait", [](auto& c) { return c.VemoResetWait(1); }, 0x5F, 0x5F},
    {"QupStart", [](auto& c) { return c.QupStart(1); }, 0x61, 0x61},
    {"QupResetWait", [](auto& c) { return c.QupResetWait(1); }, 0x5F, 0x5F},
    {"VemoProgram", [](auto& c) { return c.VemoProgram(1, kHexFile); }, 0x35, 0x31},
};

void Check(const Family& family, Phase phase, uint8_t trigger) {
  SCOPED_TRACE(std::string(family.name) + " phase " + std::to_string(int(phase)));
  auto platform = std::make_shared<VirtualPlatform>();
  auto peer = std::make_shared<VanishingPeer>(phase, trigger);
  VirtualLine& line = platform->AddLine("sim", peer, 1);
  CQelCommCtrl ctrl(platform);
  ctrl.SetComPort(1);
  ASSERT_TRUE(ctrl.OpenPort());
  if (phase == Phase::kBeforeWrite) {
    line.Vanish(sim::SimPeer::DefaultVanishError());
    peer->vanished_at_us = platform->clock().NowUs();
  }
  EXPECT_FALSE(family.call(ctrl));
  EXPECT_EQ(uint32_t(ctrl.GetLastError()), sim::SimPeer::DefaultVanishError());
  ASSERT_NE(peer->vanished_at_us, 0u) << "the device never went away";
  EXPECT_LE(platform->clock().NowUs() - peer->vanished_at_us, 100'000u);

  line.Reappear();
  platform->SleepMs(3000);  // a motor reset by the call is answering again
  ASSERT_TRUE(ctrl.OpenPort());
  EXPECT_TRUE(ctrl.ReadParameter(1, 1, s32));
}

TEST(VanishingDevice, EveryFamilyInEveryPhase) {
  std::ofstream(kHexFile) << ":0400000012345678E8\n:00000001FF\n";
  for (const Family& f : kFamilies) {
    Check(f, Phase::kBeforeWrite, 0);
    if (f.during_reply) Check(f, Phase::kDuringReply, f.during_reply);
    Check(f, Phase::kBetweenAttempts, f.unanswered);
  }
}

}  // namespace
}  // namespace qelcomm
