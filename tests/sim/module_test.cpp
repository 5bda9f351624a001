// Vemo modules on the bus: identification, control, pages, debug and Qup.
#include <gtest/gtest.h>

#include "bus.h"
#include "sim_test_util.h"

namespace qelcomm::sim {
namespace {

using namespace qelcomm::sim::testing;
using Bytes_ = std::vector<uint8_t>;

const Bytes_ kAccept22{0x22, 0x22, 0x22};

Bytes_ Cmd(uint8_t s, uint8_t addr) { return BuildFrame(s, {addr}); }

Bytes_ Qup(uint8_t addr, Bytes_ payload) {
  Bytes_ f{addr, static_cast<uint8_t>(payload.size())};
  f.insert(f.end(), payload.begin(), payload.end());
  return BuildFrame(0x61, f);
}

// The eight data bytes of a 25-byte Qup reply, after checking its frame.
Bytes_ QupData(const Bytes_& r) {
  EXPECT_EQ(r.size(), 25u);
  if (r.size() != 25) return {};
  EXPECT_EQ(Bytes_(r.begin(), r.begin() + 7), (Bytes_{0x61, 0x61, 0x61, 0x00, 0xFF, 0x08, 0xF7}));
  Bytes_ d;
  for (size_t i = 7; i < 23; i += 2) {
    EXPECT_EQ(r[i + 1], static_cast<uint8_t>(~r[i]));
    d.push_back(r[i]);
  }
  EXPECT_EQ(r[23], 0xAA);
  EXPECT_EQ(r[24], 0xAA);
  return d;
}

struct Debug {
  uint8_t state, inputs, outputs;
  uint16_t time, count;
  uint8_t mode;
};

Debug ReadDebug(Bus& bus, uint8_t addr, uint64_t t) {
  auto r = Ask(bus, Cmd(0x30, addr), t);
  EXPECT_EQ(r.size(), 23u);
  if (r.size() != 23) return {};
  EXPECT_EQ(Bytes_(r.begin(), r.begin() + 5), (Bytes_{0x30, 0x30, 0x30, 0x00, 0xFF}));
  for (size_t i = 5; i < 21; i += 2) EXPECT_EQ(r[i + 1], static_cast<uint8_t>(~r[i]));
  return {r[5], r[7], r[9], static_cast<uint16_t>(r[11] | r[13] << 8),
          static_cast<uint16_t>(r[15] | r[17] << 8), r[19]};
}

TEST(ModuleIdentification, AnswersItsAddressAndTheProbeAddress) {
  ModuleSetup m{4, 3, 17};
  Bus bus(Config({{4, false}}, {m}));
  const Bytes_ expected{0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0x01, 0xFE, 0x03, 0xFC, 0x11, 0xEE, 0xAA, 0xAA};
  EXPECT_EQ(Ask(bus, {0x5F, 0x5F, 0x5F, 0x04, 0xFB, 0xAA, 0xAA}), expected);
  EXPECT_EQ(Ask(bus, {0x5F, 0x5F, 0x5F, 0xFF, 0x00, 0xAA, 0xAA}), expected);
  EXPECT_TRUE(Ask(bus, Cmd(0x5F, 5)).empty());
  EXPECT_TRUE(Ask(bus, Cmd(0x30, 0xFF)).empty()) << "only identification answers 255";
}

TEST(ModuleControl, StopResetAndSilence) {
  BusConfig c = Config({}, {ModuleSetup{1}});
  c.module_timing.reset_silent_us = 500'000;
  Bus bus(c);
  EXPECT_EQ(Ask(bus, Cmd(0x32, 1)), kAccept22);
  EXPECT_TRUE(Ask(bus, Cmd(0x33, 1), kT0).empty());
  EXPECT_TRUE(Ask(bus, Cmd(0x5F, 0xFF), kT0 + 499'000).empty());
  EXPECT_EQ(Ask(bus, Cmd(0x5F, 0xFF), kT0 + 501'000).size(), 13u);
}

TEST(ModulePages, PutGetAndCommitSurviveAReset) {
  BusConfig c = Config({}, {ModuleSetup{2}});
  c.module_timing = {1000, 2'000'000, 1000};
  Bus bus(c);
  uint64_t t = kT0;

  // Erased memory reads 0xFF; the documented 9-byte request.
  auto r = Ask(bus, {0x34, 0x34, 0x34, 0x02, 0xFD, 0x03, 0xFC, 0xAA, 0xAA}, t);
  ASSERT_EQ(r.size(), 265u);
  EXPECT_EQ(Bytes_(r.begin(), r.begin() + 7), (Bytes_{0x31, 0x31, 0x31, 0x00, 0xFF, 0x03, 0xFC}));
  EXPECT_EQ(r[7], 0xFF);
  EXPECT_EQ(r[8], 0x00);
  EXPECT_EQ(r[263], 0xAA);
  EXPECT_EQ(r[264], 0xAA);

  auto put = [&](uint8_t page, uint8_t base) {
    Bytes_ f{0x02, page};
    for (int i = 0; i < 128; ++i) f.push_back(static_cast<uint8_t>(base + i));
    return BuildFrame(0x31, f);
  };
  auto page_byte = [&](uint8_t page, size_t i, uint64_t when) {
    auto reply = Ask(bus, BuildFrame(0x34, {0x02, page}), when);
    return reply.size() == 265 ? reply[7 + 2 * i] : -1;
  };
  EXPECT_EQ(Ask(bus, put(0, 0x10), t += 1000), kAccept22);
  EXPECT_EQ(Ask(bus, put(1, 0x80), t += 1000), kAccept22);
  EXPECT_EQ(page_byte(0, 5, t += 1000), 0x15);
  EXPECT_EQ(page_byte(1, 127, t += 1000), 0xFF);

  // Commit page 0 and 1; silent while writing.
  EXPECT_EQ(Ask(bus, Cmd(0x35, 2), t += 1000), kAccept22);
  EXPECT_TRUE(Ask(bus, Cmd(0x5F, 0xFF), t += 1'000'000).empty());
  t += 1'100'000;
  EXPECT_EQ(Ask(bus, Cmd(0x5F, 0xFF), t).size(), 13u);

  // An uncommitted page is lost by a reset; committed ones stay.
  EXPECT_EQ(Ask(bus, put(0, 0x40), t += 1000), kAccept22);
  EXPECT_TRUE(Ask(bus, Cmd(0x33, 2), t += 1000).empty());
  t += 10'000;
  EXPECT_EQ(page_byte(0, 5, t), 0x15);
  EXPECT_EQ(page_byte(1, 0, t), 0x80);

  // A page write with a missing data byte is ignored.
  Bytes_ short_f{0x02, 0x00};
  short_f.resize(129, 0x00);
  EXPECT_TRUE(Ask(bus, BuildFrame(0x31, short_f), t += 1000).empty());
}

TEST(ModuleQup, CommandsDriveTheProgramStateSeenInDebug) {
  ModuleSetup setup{1, 3, 17, 0x0F, 0x1234};
  Bus bus(Config({{1, false}}, {setup}));
  uint64_t t = kT0;

  auto d = QupData(Ask(bus, {0x61, 0x61, 0x61, 0x01, 0xFE, 0x01, 0xFE, 0x00, 0xFF, 0xAA, 0xAA}, t));
  ASSERT_EQ(d.size(), 8u);
  EXPECT_EQ(d[6] | d[7] << 8, 0x1234) << "NOOP value";

  // The documented start telegram.
  d = QupData(Ask(bus, {0x61, 0x61, 0x61, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0xAA, 0xAA}, t));
  EXPECT_EQ(d[1], static_cast<uint8_t>(ProgramState::kRunning));
  Debug dbg = ReadDebug(bus, 1, t += 250'000);
  EXPECT_EQ(dbg.state, 1);
  EXPECT_EQ(dbg.time, 250);
  EXPECT_EQ(dbg.count, 25);
  EXPECT_EQ(dbg.mode, 1);
  EXPECT_EQ(dbg.inputs, 0x0F);

  QupData(Ask(bus, Qup(1, {3}), t));  // pause
  dbg = ReadDebug(bus, 1, t += 100'000);
  EXPECT_EQ(dbg.state, 2);
  EXPECT_EQ(dbg.time, 250) << "time stands still while paused";

  // Outputs: the documented byte 0x25 switches 0 and 2 on and 1 off.
  d = QupData(Ask(bus, {0x61, 0x61, 0x61, 0x01, 0xFE, 0x02, 0xFD, 0x05, 0xFA, 0x25, 0xDA, 0xAA, 0xAA}, t));
  EXPECT_EQ(d[2], 0x05);
  QupData(Ask(bus, Qup(1, {5, 0x28}), t));  // 3 on, 1 off
  QupData(Ask(bus, Qup(1, {5, 0x10}), t));  // 0 off
  EXPECT_EQ(ReadDebug(bus, 1, t).outputs, 0x0C);

  // Step with MinAddress 0x0010, MaxAddress 0x0200.
  d = QupData(Ask(bus, Qup(1, {4, 0x10, 0x00, 0x00, 0x02}), t));
  EXPECT_EQ(d[1], static_cast<uint8_t>(ProgramState::kStepping));
  EXPECT_EQ(d[4] | d[5] << 8, 0x11);
  EXPECT_EQ(ReadDebug(bus, 1, t).mode, 4);

  QupData(Ask(bus, Qup(1, {2}), t));  // stop
  EXPECT_EQ(ReadDebug(bus, 1, t).state, 0);

  // Qup reset: unanswered, outputs off, silent for a while.
  EXPECT_TRUE(Ask(bus, {0x60, 0x60, 0x60, 0x01, 0xFE, 0xAA, 0xAA}, t).empty());
  EXPECT_TRUE(Ask(bus, Cmd(0x5F, 0xFF), t + 1000).empty());
  EXPECT_EQ(ReadDebug(bus, 1, t + 400'000).outputs, 0);
}

TEST(ModuleQup, BadPayloadLengthIsIgnored) {
  Bus bus(Config({}, {ModuleSetup{1}}));
  EXPECT_TRUE(Ask(bus, BuildFrame(0x61, {0x01, 0x02, 0x01})).empty());
  EXPECT_TRUE(Ask(bus, BuildFrame(0x61, {0x01, 0x00})).empty());
}

}  // namespace
}  // namespace qelcomm::sim
