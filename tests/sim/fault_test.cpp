// Fault injection: what each kind does to a reply, per-address rules with
// and without a count, seeded random faults, chatter and vanishing.
#include <gtest/gtest.h>

#include <set>

#include "bus.h"
#include "sim_test_util.h"

namespace qelcomm::sim {
namespace {

using namespace qelcomm::sim::testing;
using Bytes_ = std::vector<uint8_t>;

BusConfig WithFault(FaultKind kind, uint32_t count = 0) {
  BusConfig c = Config({{1, false}, {2, false}}, {ModuleSetup{1}});
  c.faults = {{1, kind, count}};
  return c;
}

// How a reply differs from the clean one, position by position.
std::vector<size_t> Diff(const Bytes_& a, const Bytes_& b) {
  std::vector<size_t> d;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) d.push_back(i);
  }
  return d;
}

Bytes_ Clean(const Bytes_& req) {
  Bus bus(Config({{1, false}, {2, false}}, {ModuleSetup{1}}));
  return Ask(bus, req);
}

const Bytes_ kRead = ReadReq(1, 2);
const Bytes_ kWrite = WriteReq(1, 5, 3, false);
const Bytes_ kIdent{0x5F, 0x5F, 0x5F, 0x01, 0xFE, 0xAA, 0xAA};

TEST(Faults, OnlyTheFaultyAddressIsAffected) {
  Bus bus(WithFault(FaultKind::kDrop));
  EXPECT_TRUE(Ask(bus, kRead).empty());
  EXPECT_TRUE(Ask(bus, kWrite).empty());
  EXPECT_EQ(Ask(bus, ReadReq(2, 2)).size(), 19u);
}

TEST(Faults, CountLimitsTheRuleToTheNextReplies) {
  Bus bus(WithFault(FaultKind::kDrop, 2));
  EXPECT_TRUE(Ask(bus, kRead).empty());
  EXPECT_TRUE(Ask(bus, kRead).empty());
  EXPECT_EQ(Ask(bus, kRead).size(), 19u);
}

TEST(Faults, CorruptAndComplementBreakExactlyOneCheckedByte) {
  const Bytes_ clean = Clean(kRead);
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    BusConfig c = WithFault(FaultKind::kCorrupt);
    c.seed = seed;
    Bus bus(c);
    auto r = Ask(bus, kRead);
    ASSERT_EQ(r.size(), clean.size());
    auto d = Diff(r, clean);
    ASSERT_EQ(d.size(), 1u) << "seed " << seed;

    c.faults = {{1, FaultKind::kComplement, 0}};
    Bus bus2(c);
    r = Ask(bus2, kRead);
    d = Diff(r, clean);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_TRUE(d[0] >= 4 && d[0] <= 16 && d[0] % 2 == 0) << "a complement position, got " << d[0];
    EXPECT_NE(r[d[0]], static_cast<uint8_t>(~r[d[0] - 1]));
  }
}

TEST(Faults, CorruptNeverHidesInUncheckedIdentificationBytes) {
  const Bytes_ clean = Clean(kIdent);
  ASSERT_EQ(clean.size(), 13u);
  std::set<size_t> hit;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    BusConfig c = WithFault(FaultKind::kCorrupt);
    c.seed = seed;
    Bus bus(c);
    auto d = Diff(Ask(bus, kIdent), clean);
    ASSERT_EQ(d.size(), 1u);
    hit.insert(d[0]);
  }
  EXPECT_FALSE(hit.count(5) || hit.count(6));
  EXPECT_GT(hit.size(), 8u);
}

TEST(Faults, WrongSyncAndBadAccept) {
  {
    Bus bus(WithFault(FaultKind::kWrongSync));
    auto r = Ask(bus, kRead);
    EXPECT_EQ(Diff(r, Clean(kRead)), (std::vector<size_t>{0, 1, 2}));
    EXPECT_NE(Ask(bus, kWrite), (Bytes_{0x11, 0x11, 0x11}));
  }
  {
    Bus bus(WithFault(FaultKind::kBadAccept));
    EXPECT_EQ(Ask(bus, kWrite), (Bytes_{0x11, 0x11, 0x12}));
    EXPECT_EQ(Ask(bus, kRead), Clean(kRead)) << "framed replies are left alone";
  }
}

TEST(Faults, LateAndSplitTiming) {
  {
    Bus bus(WithFault(FaultKind::kLate));
    bus.Receive(kRead, kT0);
    auto outs = bus.TakeOutputs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].at_us, kT0 + 1000 + 150'000);
  }
  {
    Bus bus(WithFault(FaultKind::kSplit));
    bus.Receive(kRead, kT0);
    auto outs = bus.TakeOutputs();
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(Bytes(outs), Clean(kRead));
    for (size_t i = 1; i < outs.size(); ++i) {
      EXPECT_EQ(outs[i].at_us - outs[i - 1].at_us, 60'000u);
    }
    EXPECT_GT(outs.back().at_us - outs.front().at_us, 100'000u) << "the whole read misses its window";
    EXPECT_EQ(outs[0].bytes.size() % 2, 1u) << "cut after the sync and address pair";
  }
}

TEST(Faults, NoiseSurroundsAnIntactReply) {
  const Bytes_ clean = Clean(kRead);
  {
    Bus bus(WithFault(FaultKind::kNoiseBefore));
    auto r = Ask(bus, kRead);
    ASSERT_EQ(r.size(), clean.size() + 3);
    EXPECT_EQ(Bytes_(r.begin() + 3, r.end()), clean);
  }
  {
    Bus bus(WithFault(FaultKind::kNoiseAfter));
    auto r = Ask(bus, kRead);
    ASSERT_EQ(r.size(), clean.size() + 3);
    EXPECT_EQ(Bytes_(r.begin(), r.begin() + 19), clean);
    for (size_t i = 19; i < r.size(); ++i) EXPECT_NE(r[i], 0xAA);
  }
}

TEST(Faults, ChatterRunsUntilCleared) {
  Bus bus(WithFault(FaultKind::kChatter));
  EXPECT_EQ(Ask(bus, kRead), Clean(kRead)) << "the reply itself goes out";
  ASSERT_TRUE(bus.chattering());
  uint64_t t = bus.NextWakeUs();
  size_t bytes = 0;
  for (int i = 0; i < 100; ++i) {
    bus.Wake(t);
    bytes += Bytes(bus.TakeOutputs()).size();
    const uint64_t next = bus.NextWakeUs();
    EXPECT_EQ(next - t, 5000u);
    t = next;
  }
  EXPECT_EQ(bytes, 100u);
  bus.ClearFaults();
  EXPECT_EQ(bus.NextWakeUs(), UINT64_MAX);
  EXPECT_EQ(Ask(bus, kRead), Clean(kRead));
}

TEST(Faults, VanishEndsTheBus) {
  Bus bus(WithFault(FaultKind::kVanish));
  EXPECT_EQ(Ask(bus, ReadReq(2, 2)).size(), 19u);
  EXPECT_TRUE(Ask(bus, kRead).empty());
  EXPECT_TRUE(bus.vanished());
  EXPECT_TRUE(Ask(bus, ReadReq(2, 2)).empty());
}

TEST(Faults, VanishAfterLetsTheLastReplyOut) {
  BusConfig c = Config({{1, false}});
  c.vanish_after = 2;
  Bus bus(c);
  EXPECT_EQ(Ask(bus, kRead).size(), 19u);
  bus.Receive(kRead, kT0 + 10'000);
  auto outs = bus.TakeOutputs();
  ASSERT_EQ(Bytes(outs).size(), 19u);
  EXPECT_FALSE(bus.vanished());
  ASSERT_GT(bus.NextWakeUs(), outs.back().at_us);
  bus.Wake(bus.NextWakeUs());
  EXPECT_TRUE(bus.vanished());
}

// Replies to a fixed request sequence, with their times.
std::vector<Output> RunSequence(uint64_t seed, double rate, std::vector<FaultKind> kinds = {}) {
  BusConfig c = Config({{1, false}});
  c.seed = seed;
  c.fault_rate = rate;
  c.random_kinds = std::move(kinds);
  Bus bus(c);
  std::vector<Output> all;
  for (int i = 0; i < 200; ++i) {
    bus.Receive(i % 2 ? kRead : kWrite, kT0 + static_cast<uint64_t>(i) * 1'000'000);
    for (auto& o : bus.TakeOutputs()) all.push_back(std::move(o));
  }
  return all;
}

bool Same(const std::vector<Output>& a, const std::vector<Output>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].at_us != b[i].at_us || a[i].bytes != b[i].bytes) return false;
  }
  return true;
}

TEST(RandomFaults, ReproducibleFromTheSeedAndNearTheRate) {
  EXPECT_TRUE(Same(RunSequence(42, 0.3), RunSequence(42, 0.3)));
  EXPECT_FALSE(Same(RunSequence(42, 0.3), RunSequence(43, 0.3)));
  const auto clean = RunSequence(42, 0.0);
  ASSERT_EQ(clean.size(), 200u);

  // With drop only, the count of missing replies follows the rate.
  const auto dropped = 200 - RunSequence(7, 0.25, {FaultKind::kDrop}).size();
  EXPECT_GT(dropped, 30u);
  EXPECT_LT(dropped, 75u);
}

}  // namespace
}  // namespace qelcomm::sim
