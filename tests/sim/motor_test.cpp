// Motors on the bus: register transfer, safe mode, status, group writes and
// motion, driven through raw telegrams.
#include <gtest/gtest.h>

#include "bus.h"
#include "sim_test_util.h"

namespace qelcomm::sim {
namespace {

using namespace qelcomm::sim::testing;
using Bytes_ = std::vector<uint8_t>;

const Bytes_ kAccept{0x11, 0x11, 0x11};

TEST(MotorRegisters, ReadReplyHasTheDocumentedLayout) {
  BusConfig c = Config({{5, false}});
  c.presets = {{5, 2, 15}};
  Bus bus(c);
  EXPECT_EQ(Ask(bus, {0x50, 0x50, 0x50, 0x05, 0xFA, 0x02, 0xFD, 0xAA, 0xAA}),
            (Bytes_{0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x0F, 0xF0, 0x00, 0xFF,
                    0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA}));
}

TEST(MotorRegisters, WriteIsAcknowledgedAndReadBack) {
  Bus bus(Config({{1, false}}));
  // P_SOLL := -2, the documented 19-byte telegram.
  EXPECT_EQ(Ask(bus, {0x52, 0x52, 0x52, 0x01, 0xFE, 0x03, 0xFC, 0x04, 0xFB, 0xFE, 0x01, 0xFF,
                      0x00, 0xFF, 0x00, 0xFF, 0x00, 0xAA, 0xAA}),
            kAccept);
  auto r = Ask(bus, ReadReq(1, 3));
  ASSERT_EQ(r.size(), 19u);
  EXPECT_EQ(static_cast<int32_t>(ReplyValue(r)), -2);
}

TEST(MotorRegisters, SixteenBitRegistersKeepOnlyTheLowHalf) {
  Bus bus(Config({{1, false}}));
  // V_SOLL is 16-bit on a standard motor; a 4-byte write is cut to 16 bits
  // and the reply's upper value bytes are 0.
  EXPECT_EQ(Ask(bus, WriteReq(1, 5, 0x12345678, true)), kAccept);
  auto r = Ask(bus, ReadReq(1, 5));
  EXPECT_EQ(ReplyValue(r), 0x5678u);
  EXPECT_EQ(Ask(bus, WriteReq(1, 5, -1, false)), kAccept);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 5))), 0xFFFFu);
}

TEST(MotorRegisters, BigMotorsHaveThirtyTwoBitRegistersOfTheirOwnTable) {
  Bus bus(Config({{1, false}, {2, true}}));
  // MODE_REG is 32-bit on a big motor, 16-bit on a standard one.
  EXPECT_EQ(Ask(bus, WriteReq(2, 2, 0x00010002, true)), kAccept);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(2, 2))), 0x00010002u);
  EXPECT_EQ(Ask(bus, WriteReq(1, 2, 0x00010002, true)), kAccept);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 2))), 0x0002u);
  // Register 159 exists only on big motors (standard table ends at 158).
  EXPECT_EQ(Ask(bus, ReadReq(2, 159)).size(), 19u);
  EXPECT_TRUE(Ask(bus, ReadReq(1, 159)).empty());
}

TEST(MotorRegisters, ExtendedRegistersUseTheirOwnSyncs) {
  Bus bus(Config({{7, false}}));
  // GROUPID (260) travels as field 4 with syncs 0x5A / 0x5B.
  EXPECT_EQ(Ask(bus, WriteReq(7, 260, 9, false)), kAccept);
  auto r = Ask(bus, {0x5A, 0x5A, 0x5A, 0x07, 0xF8, 0x04, 0xFB, 0xAA, 0xAA});
  ASSERT_EQ(r.size(), 19u);
  EXPECT_EQ(r[0], 0x5B);
  EXPECT_EQ(r[5], 0x04);
  EXPECT_EQ(ReplyValue(r), 9u);
  // ADDRESS (259) starts as the motor's own address.
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(7, 259))), 7u);
  // HOMINGVELOCITY (356) is 32-bit.
  EXPECT_EQ(Ask(bus, WriteReq(7, 356, -100000, true)), kAccept);
  EXPECT_EQ(static_cast<int32_t>(ReplyValue(Ask(bus, ReadReq(7, 356)))), -100000);
}

TEST(MotorRegisters, UnansweredCases) {
  Bus bus(Config({{1, false}}));
  EXPECT_TRUE(Ask(bus, ReadReq(1, 4)).empty()) << "second half of P_SOLL is not a register";
  EXPECT_TRUE(Ask(bus, ReadReq(1, 0)).empty());
  EXPECT_TRUE(Ask(bus, ReadReq(1, 300)).empty()) << "not in the extended table";
  EXPECT_TRUE(Ask(bus, WriteReq(1, 4, 1, false)).empty());
  EXPECT_TRUE(Ask(bus, ReadReq(9, 2)).empty()) << "no motor at 9";
  EXPECT_TRUE(Ask(bus, BuildFrame(0x52, {0x01, 0x02, 0x03, 1, 2, 3})).empty()) << "length 3";
  EXPECT_TRUE(Ask(bus, BuildFrame(0x52, {0x01, 0x02, 0x02, 1})).empty()) << "data missing";
}

TEST(MotorRegisters, StartValuesArePlausibleAndPresetsApply) {
  BusConfig c = Config({{1, false}, {2, true}});
  c.presets = {{2, 260, 4}};
  Bus bus(c);
  EXPECT_NE(ReplyValue(Ask(bus, ReadReq(1, 1))), 0u) << "PROG_VERSION";
  EXPECT_NE(ReplyValue(Ask(bus, ReadReq(1, 1))), ReplyValue(Ask(bus, ReadReq(2, 1))));
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 10))), 0u) << "P_IST";
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(2, 260))), 4u);
}

TEST(MotorRegisters, ReplyStartsAfterTheTurnaround) {
  BusConfig c = Config({{1, false}});
  c.line.turnaround_us = 2500;
  Bus bus(c);
  bus.Receive(ReadReq(1, 2), kT0);
  auto outs = bus.TakeOutputs();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].at_us, kT0 + 2500);
}

TEST(MotorRegisters, PacingSpreadsBytesAtTheBitRate) {
  BusConfig c = Config({{1, false}});
  c.line = {9600, true, 1000};
  Bus bus(c);
  bus.Receive(ReadReq(1, 2), kT0);
  auto outs = bus.TakeOutputs();
  ASSERT_EQ(outs.size(), 19u);
  EXPECT_EQ(outs.front().at_us, kT0 + 1000 + 1041);
  EXPECT_EQ(outs.back().at_us, kT0 + 1000 + 19 * 1041);
  // A second request while the first reply is on the wire waits for it.
  bus.Receive(ReadReq(1, 1), kT0 + 2000);
  auto next = bus.TakeOutputs();
  EXPECT_GT(next.front().at_us, outs.back().at_us);
}

TEST(MotorSafeMode, RestartAndFlashOnlyInSafeMode) {
  BusConfig c = Config({{3, false}});
  c.motor_timing = {20'000, 1'500'000, 2'000'000};
  Bus bus(c);
  const Bytes_ safe{0x54, 0x54, 0x54, 0x03, 0xFC, 0xAA, 0xAA};
  const Bytes_ restart{0x57, 0x57, 0x57, 0x03, 0xFC, 0xAA, 0xAA};
  const Bytes_ flash{0x56, 0x56, 0x56, 0x03, 0xFC, 0xAA, 0xAA};
  uint64_t t = kT0;

  // Outside safe mode both are acknowledged and change nothing.
  EXPECT_EQ(Ask(bus, WriteReq(3, 5, 777, false), t), kAccept);
  EXPECT_EQ(Ask(bus, restart, t += 1000), kAccept);
  EXPECT_EQ(Ask(bus, flash, t += 1000), kAccept);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 5), t += 1000)), 777u);

  // Enter safe mode: accepted, MODE_REG reads 15 only after the delay.
  EXPECT_EQ(Ask(bus, safe, t += 1000), kAccept);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 2), t += 1000)), 2u);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 2), t += 20'000)), 15u);

  // Flash: unanswered, then silent, then still in safe mode with V_SOLL kept.
  EXPECT_TRUE(Ask(bus, flash, t += 1000).empty());
  EXPECT_TRUE(Ask(bus, ReadReq(3, 2), t += 1'999'000).empty());
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 2), t += 2000)), 15u);

  // A change after the flash is lost by the restart.
  EXPECT_EQ(Ask(bus, WriteReq(3, 5, 5, false), t += 1000), kAccept);
  EXPECT_TRUE(Ask(bus, restart, t += 1000).empty());
  EXPECT_TRUE(Ask(bus, ReadReq(3, 1), t += 1'400'000).empty());
  t += 200'000;
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 2), t)), 2u) << "normal mode after restart";
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 5), t)), 777u) << "flashed value";
}

TEST(MotorSafeMode, RestartWithoutFlashDiscardsWrites) {
  BusConfig c = Config({{1, true}});
  c.motor_timing = {0, 1000, 1000};
  Bus bus(c);
  EXPECT_EQ(Ask(bus, WriteReq(1, 5, 4242, true)), kAccept);
  EXPECT_EQ(Ask(bus, BuildFrame(0x54, {0x01}), kT0 + 1), kAccept);
  EXPECT_TRUE(Ask(bus, BuildFrame(0x57, {0x01}), kT0 + 2).empty());
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 5), kT0 + 2000)), 100u);
}

std::vector<uint8_t> Status(Bus& bus, uint8_t addr, uint64_t t) {
  return Ask(bus, {0x58, 0x58, 0x58, addr, static_cast<uint8_t>(~addr), 0xAA, 0xAA}, t);
}

int32_t StatusPosition(const std::vector<uint8_t>& r) {
  return static_cast<int32_t>(r[11] | (r[13] << 8) | (r[15] << 16) | (static_cast<uint32_t>(r[17]) << 24));
}

TEST(MotorStatus, ReplyCarriesWordPositionAndErrorCount) {
  Bus bus(Config({{4, false}}));
  EXPECT_EQ(Ask(bus, WriteReq(4, 10, -1, true)), kAccept);  // P_IST
  EXPECT_EQ(Ask(bus, WriteReq(4, 3, -1, true)), kAccept);   // P_SOLL, no move needed
  auto r = Status(bus, 4, kT0 + 10);
  ASSERT_EQ(r.size(), 25u);
  EXPECT_EQ((Bytes_(r.begin(), r.begin() + 7)), (Bytes_{0x58, 0x58, 0x58, 0x00, 0xFF, 0x08, 0xF7}));
  for (size_t i = 7; i < 23; i += 2) EXPECT_EQ(r[i + 1], static_cast<uint8_t>(~r[i])) << i;
  EXPECT_EQ(r[23], 0xAA);
  EXPECT_EQ(r[24], 0xAA);
  EXPECT_EQ(r[7] & status_bit::kInPosition, status_bit::kInPosition);
  EXPECT_EQ(StatusPosition(r), -1);
  EXPECT_EQ(r[19], 0) << "no errors yet";

  // A broken telegram on the line is counted.
  bus.Receive(Bytes_{0x50, 0x50, 0x50, 0x04, 0xFA, 0x02, 0xFD, 0xAA, 0xAA}, kT0 + 20);
  EXPECT_EQ(Status(bus, 4, kT0 + 30)[19], 1);
}

TEST(MotorMotion, PositionFollowsTheTargetInTime) {
  Bus bus(Config({{1, false}}));
  // V_SOLL 100 counts/ms, A_SOLL 10 counts/ms²: 10 ms to full speed, a move
  // of 10000 counts takes 110 ms.
  uint64_t t = kT0;
  EXPECT_EQ(Ask(bus, WriteReq(1, 3, 10000, true), t), kAccept);
  auto s = Status(bus, 1, t + 5'000);
  EXPECT_EQ(s[7] & status_bit::kMoving, status_bit::kMoving);
  EXPECT_EQ(StatusPosition(s), 125);  // ½·a·t² after 5 ms
  const auto mid = static_cast<int32_t>(ReplyValue(Ask(bus, ReadReq(1, 10), t + 55'000)));
  EXPECT_EQ(mid, 5000);
  EXPECT_EQ(static_cast<int16_t>(ReplyValue(Ask(bus, ReadReq(1, 12), t + 55'000))), 100) << "V_IST";
  s = Status(bus, 1, t + 110'000);
  EXPECT_EQ(StatusPosition(s), 10000);
  EXPECT_EQ(s[7] & (status_bit::kInPosition | status_bit::kMoving), status_bit::kInPosition);

  // Backwards, with a short move that never reaches full speed.
  t += 200'000;
  EXPECT_EQ(Ask(bus, WriteReq(1, 3, 9000, true), t), kAccept);
  const auto p = static_cast<int32_t>(ReplyValue(Ask(bus, ReadReq(1, 10), t + 10'000)));
  EXPECT_EQ(p, 9500);  // half way at the peak of a triangular profile
  EXPECT_EQ(static_cast<int32_t>(ReplyValue(Ask(bus, ReadReq(1, 10), t + 20'000))), 9000);
}

TEST(MotorGroup, AppliedByMatchingGroupOncePerSequenceNumber) {
  BusConfig c = Config({{1, false}, {2, false}, {3, true}});
  c.presets = {{2, 260, 5}, {3, 260, 5}};
  Bus bus(c);
  auto group = [](uint8_t g, uint8_t seq, int32_t value) {
    return BuildFrame(0x59, {g, seq, 0x05, 0x02, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
  };
  EXPECT_TRUE(Ask(bus, group(5, 1, 1000)).empty()) << "group writes are unanswered";
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(2, 5))), 1000u);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(3, 5))), 1000u);
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 5))), 100u) << "motor 1 is in group 1";

  // A motor changed in between is not touched by the copies of sequence 1.
  EXPECT_EQ(Ask(bus, WriteReq(2, 5, 7, false)), kAccept);
  Ask(bus, group(5, 1, 1000));
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(2, 5))), 7u);
  Ask(bus, group(5, 2, 1000));
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(2, 5))), 1000u);

  // An extended group write to group 1 moves motor 1 (GROUPID 1) to group 5.
  EXPECT_TRUE(Ask(bus, {0x5C, 0x5C, 0x5C, 0x01, 0xFE, 0x01, 0xFE, 0x04, 0xFB, 0x02, 0xFD, 0x05, 0xFA,
                        0x00, 0xFF, 0xAA, 0xAA})
                  .empty());
  EXPECT_EQ(ReplyValue(Ask(bus, ReadReq(1, 260))), 5u);
}

}  // namespace
}  // namespace qelcomm::sim
