// Modbus requests carried out on the virtual bus: every row of the map
// against what the control reads itself, and each exception code.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/catalogue.h"
#include "qelcomm/virtual_port.h"
#include "request.h"
#include "serve.h"
#include "virtual_bus.h"

namespace qelgate {
namespace {

namespace reg = qelcomm::registers;
using qelcomm::registers::known::kVSoll;

constexpr uint8_t kCorruptMotor = 3;

class ServeTest : public ::testing::Test {
 protected:
  ServeTest() {
    auto config = qelcomm::sim::BusConfig::Defaults();
    config.motors.push_back({kCorruptMotor, false});
    config.faults.push_back({kCorruptMotor, qelcomm::sim::FaultKind::kCorrupt, 0});
    line_ = &platform_->AddLine("sim", std::make_shared<qelcomm::sim::SimPeer>(config));
    ctrl_.SetPortName("sim");
    EXPECT_TRUE(ctrl_.OpenPort());
    setup_.big[2] = true;
  }

  Reply Pdu(uint8_t unit, std::vector<uint8_t> pdu) {
    const Parsed p = ParsePdu(unit, pdu);
    if (p.exception != 0) {
      Reply refused;
      refused.exception = p.exception;
      return refused;
    }
    BusLink bus(ctrl_, setup_);
    return bus.Serve(p.request);
  }
  Reply Read(uint8_t unit, uint8_t function, uint16_t address, uint16_t count) {
    return Pdu(unit, {function, uint8_t(address >> 8), uint8_t(address), uint8_t(count >> 8),
                      uint8_t(count)});
  }
  Reply Write(uint8_t unit, uint16_t address, std::vector<uint16_t> words) {
    std::vector<uint8_t> pdu{function::kWriteRegisters, uint8_t(address >> 8), uint8_t(address),
                             0, uint8_t(words.size()), uint8_t(2 * words.size())};
    for (uint16_t w : words) {
      pdu.push_back(uint8_t(w >> 8));
      pdu.push_back(uint8_t(w));
    }
    return Pdu(unit, pdu);
  }
  Reply Coil(uint8_t unit, uint16_t address, bool on) {
    return Pdu(unit, {function::kWriteCoil, uint8_t(address >> 8), uint8_t(address),
                      uint8_t(on ? 0xFF : 0), 0});
  }

  std::shared_ptr<qelcomm::VirtualPlatform> platform_ =
      std::make_shared<qelcomm::VirtualPlatform>();
  qelcomm::VirtualLine* line_ = nullptr;
  qelcomm::CQelCommCtrl ctrl_{platform_};
  BusSetup setup_;
};

std::vector<uint16_t> Pair(uint32_t v) { return {uint16_t(v >> 16), uint16_t(v)}; }

TEST_F(ServeTest, RawRegistersReadAndWriteAsTheControlDoes) {
  ASSERT_EQ(Write(1, 2 * kVSoll, Pair(uint32_t(-1234))).exception, 0);
  int32_t v = 0;
  ASSERT_TRUE(ctrl_.ReadParameter(1, kVSoll, v));
  EXPECT_EQ(v, -1234);
  // Two pairs in one request: two exchanges, in order.
  ASSERT_TRUE(ctrl_.WriteParameter(1, kVSoll + 1, 77));
  const Reply r = Read(1, function::kReadHolding, 2 * kVSoll, 4);
  ASSERT_EQ(r.exception, 0);
  EXPECT_EQ(r.words, (std::vector<uint16_t>{0xFFFF, uint16_t(-1234), 0, 77}));
}

TEST_F(ServeTest, UnitsAreFloatsConvertedWithTheBusFactors) {
  for (uint8_t motor : {1, 2}) {
    const auto r = *reg::RegisterByNumber(motor == 2, kVSoll);
    const auto& f = motor == 2 ? setup_.big_factors : setup_.standard;
    ASSERT_EQ(Write(motor, 10000 + 2 * kVSoll, Pair(std::bit_cast<uint32_t>(100.0f))).exception, 0);
    int32_t raw = 0;
    ASSERT_TRUE(ctrl_.ReadParameter(motor, kVSoll, raw));
    EXPECT_EQ(raw, reg::UnitsToRaw(100.0, r, f).raw);
    const Reply back = Read(motor, function::kReadHolding, 10000 + 2 * kVSoll, 2);
    ASSERT_EQ(back.exception, 0);
    const float units = std::bit_cast<float>((uint32_t(back.words[0]) << 16) | back.words[1]);
    EXPECT_EQ(units, float(reg::RawToUnits(raw, r, f)));
  }
}

TEST_F(ServeTest, InputBlocksSliceOneExchange) {
  int16_t status = 0, errors = 0, type = 0, firmware = 0;
  int32_t position = 0;
  ASSERT_TRUE(ctrl_.ReadStatus(1, status, position, errors));
  const Reply all = Read(1, function::kReadInput, 0, 4);
  ASSERT_EQ(all.exception, 0);
  EXPECT_EQ(all.words, (std::vector<uint16_t>{uint16_t(status), uint16_t(uint32_t(position) >> 16),
                                              uint16_t(position), uint16_t(errors)}));
  EXPECT_EQ(Read(1, function::kReadInput, 3, 1).words, std::vector<uint16_t>{uint16_t(errors)});
  ASSERT_TRUE(ctrl_.GetModuleType(1, type, firmware));
  EXPECT_EQ(Read(1, function::kReadInput, 10, 2).words,
            (std::vector<uint16_t>{uint16_t(type), uint16_t(firmware)}));
  EXPECT_EQ(Read(1, function::kReadInput, 20, 8).words.size(), 8u);
}

TEST_F(ServeTest, CoilsRunCommandsOnOnlyAndReadAsZero) {
  EXPECT_EQ(Coil(1, 10, true).exception, 0);   // QupStart
  EXPECT_EQ(Coil(9, 10, false).exception, 0);  // OFF: nothing sent, even to no one
  EXPECT_EQ(Read(1, function::kReadCoils, 10, 4).words, std::vector<uint16_t>(4, 0));
  EXPECT_EQ(Coil(1, 2, true).exception, exception::kIllegalAddress);
}

TEST_F(ServeTest, RefusalsBeforeAnythingIsSent) {
  EXPECT_EQ(Pdu(1, {function::kWriteRegister, 0, 6, 0, 1}).exception, exception::kIllegalAddress);
  EXPECT_EQ(Pdu(1, {2, 0, 0, 0, 1}).exception, exception::kIllegalFunction);
  EXPECT_EQ(Pdu(1, {function::kWriteCoil, 0, 10, 0x12, 0x34}).exception, exception::kIllegalValue);
  EXPECT_EQ(Read(1, function::kReadHolding, 11, 2).exception, exception::kIllegalAddress);  // half
  EXPECT_EQ(Read(1, function::kReadHolding, 716, 4).exception, exception::kIllegalAddress);
  EXPECT_EQ(Read(1, function::kReadHolding, 0, 2).exception, exception::kIllegalAddress);  // R 0
  EXPECT_EQ(Read(1, function::kReadInput, 1, 1).exception, exception::kIllegalAddress);
  EXPECT_EQ(Read(1, function::kReadInput, 4, 1).exception, exception::kIllegalAddress);
  // A 16-bit register takes no value beyond 16 bits; a float must be finite.
  EXPECT_EQ(Write(1, 2 * kVSoll, Pair(0x12345)).exception, exception::kIllegalValue);
  EXPECT_EQ(Write(1, 10000 + 2 * kVSoll, Pair(std::bit_cast<uint32_t>(NAN))).exception,
            exception::kIllegalValue);
  EXPECT_EQ(Read(248, function::kReadHolding, 2 * kVSoll, 2).exception, exception::kNoAnswer);
  EXPECT_TRUE(Read(0, function::kReadHolding, 2 * kVSoll, 2).no_reply);
}

TEST_F(ServeTest, GuardedWrites) {
  const int16_t version = reg::known::kProgVersion;
  ASSERT_EQ(reg::RegisterByNumber(false, version)->role, reg::Role::kReadOnly);
  EXPECT_EQ(Write(1, 2 * version, Pair(1)).exception, exception::kIllegalAddress);
  setup_.write_protected = true;
  EXPECT_NE(Write(1, 2 * version, Pair(1)).exception, exception::kIllegalAddress);
  setup_.writable = false;
  EXPECT_EQ(Write(1, 2 * kVSoll, Pair(1)).exception, exception::kIllegalFunction);
  EXPECT_EQ(Coil(1, 10, true).exception, exception::kIllegalFunction);
  EXPECT_EQ(Read(1, function::kReadHolding, 2 * kVSoll, 2).exception, 0);
}

TEST_F(ServeTest, FailuresOnTheLine) {
  EXPECT_EQ(Read(9, function::kReadHolding, 2 * kVSoll, 2).exception, exception::kNoAnswer);
  EXPECT_EQ(Read(9, function::kReadInput, 10, 2).exception, exception::kNoAnswer);  // no module
  EXPECT_EQ(Read(kCorruptMotor, function::kReadHolding, 2 * kVSoll, 2).exception,
            exception::kDeviceFailure);
  line_->Vanish(qelcomm::sim::SimPeer::DefaultVanishError());
  const Reply lost = Read(1, function::kReadHolding, 2 * kVSoll, 2);
  EXPECT_EQ(lost.exception, exception::kLineDown);
  EXPECT_TRUE(lost.line_down);
}

}  // namespace
}  // namespace qelgate
