#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "qelcomm/catalogue.h"
#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

// Reads `raw` from register `reg` of address `addr` in user units.
float ReadUser(VirtualBench& b, int16_t addr, int16_t reg, uint32_t raw) {
  b.peer->Reply(ReadReply(uint8_t(reg), raw));
  float v = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(b.ctrl.ReadParameterAlternate(addr, reg, v));
  return v;
}

// Writes `user` and gives the raw value that went on the wire.
int32_t WriteUser(VirtualBench& b, int16_t addr, int16_t reg, float user) {
  b.peer->Reply(kAccept);
  EXPECT_TRUE(b.ctrl.WriteParameterAlternate(addr, reg, user));
  const Bytes& t = b.LastSent();
  uint32_t raw = 0;
  const size_t n = t[7];
  for (size_t i = 0; i < n; ++i) raw |= uint32_t(t[9 + 2 * i]) << (8 * i);
  return n == 2 ? int16_t(raw) : int32_t(raw);
}

TEST(Scaling, ReadsRoundOncePerProductInSinglePrecision) {
  VirtualBench b;
  EXPECT_EQ(ReadUser(b, 1, 6, 100), 100.0f * 248.32089f);  // A_SOLL
  EXPECT_EQ(ReadUser(b, 1, 7, 1023), 100.0f);              // T_SOLL, torque
  EXPECT_EQ(ReadUser(b, 1, 8, 160), 10.0f);                // P_SIM, factor 0.0625
  EXPECT_EQ(ReadUser(b, 1, 12, 160), 4.7680664f);          // V_IST: velocity then 0.0625
  EXPECT_EQ(ReadUser(b, 1, 124, 256), 45.0f);              // electrical angle, standard
  EXPECT_EQ(ReadUser(b, 1, 93, 4096), 1.0f);               // type 3
  EXPECT_EQ(ReadUser(b, 1, 13, 0xFF80), -0.5f);            // type 4, sign-extended
  // Rounding the product once, not after each factor: 0.0537 * raw.
  EXPECT_EQ(ReadUser(b, 1, 151, 1000), float(1000.0 * double(0.0537f)));
  b.ctrl.SetQELType(1, true);
  EXPECT_EQ(ReadUser(b, 1, 190, 127), 40.0f);              // electrical angle, big
  EXPECT_EQ(ReadUser(b, 1, 13, 65536), 1.0f);              // KVOUT, type 5
  EXPECT_EQ(ReadUser(b, 1, 121, 0xFFFFFF00), -1.0f);       // KFF5, type 6
}

TEST(Scaling, WritesCarryDoublePrecisionAndRoundHalvesAway) {
  VirtualBench b;
  EXPECT_EQ(WriteUser(b, 1, 6, 24832.09f), 100);
  EXPECT_EQ(WriteUser(b, 1, 7, 100.0f), 1023);  // 1022.99995 before rounding
  EXPECT_EQ(WriteUser(b, 1, 8, 10.0f), 160);
  EXPECT_EQ(WriteUser(b, 1, 124, 45.0f), 256);
  EXPECT_EQ(WriteUser(b, 1, 93, 0.5f), 2048);
  EXPECT_EQ(WriteUser(b, 1, 24, 2.5f), 3);     // FNCERR, unscaled 32-bit
  EXPECT_EQ(WriteUser(b, 1, 24, -2.5f), -3);
  EXPECT_EQ(WriteUser(b, 1, 24, 2.49f), 2);
  EXPECT_EQ(WriteUser(b, 1, 300, 1.7f), 2);    // unlisted: plain 32-bit
  EXPECT_EQ(b.LastSent().size(), 19u);
  b.ctrl.SetQELType(1, true);
  EXPECT_EQ(WriteUser(b, 1, 190, 40.0f), 127);
}

TEST(Scaling, FactorSetsFollowTheBigFlag) {
  VirtualBench b;
  b.ctrl.SetFactors(0.0f, 2.0f, -0.0f);  // only acceleration changes
  EXPECT_EQ(ReadUser(b, 1, 6, 100), 200.0f);
  EXPECT_EQ(ReadUser(b, 1, 5, 1000), float(1000.0 * double(0.476806640625f)));
  b.ctrl.SetFactors(std::nanf(""), std::nanf(""), std::nanf(""));  // NaN keeps
  EXPECT_EQ(ReadUser(b, 1, 6, 100), 200.0f);

  b.ctrl.SetQELType(7, true);
  EXPECT_EQ(ReadUser(b, 7, 12, 160), float(double(float(160.0 * double(0.3609375f))) * 0.0625));
  EXPECT_EQ(ReadUser(b, 7, 6, 100), float(100.0 * double(277.921875f)));
  b.ctrl.SetFactorsBig(1.0f, 1.0f, 1.0f);
  EXPECT_EQ(ReadUser(b, 7, 6, 100), 100.0f);
  b.ctrl.SetQELType(7, false);
  EXPECT_EQ(ReadUser(b, 7, 6, 100), 200.0f);
}

TEST(Scaling, UnrepresentableWritesAreRefusedBeforeSending) {
  VirtualBench b;
  for (float v : {std::nanf(""), std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), 3.0e9f, -2.2e9f}) {
    EXPECT_FALSE(b.ctrl.WriteParameterAlternate(1, 24, v)) << v;
    EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_OS_INVALID_PARAMETER);
  }
  // Scaling can push a modest value out of range too: 1e7 / 1/4096 on type 3.
  EXPECT_FALSE(b.ctrl.WriteParameterAlternate(1, 93, 1.0e6f));
  EXPECT_TRUE(b.line.written.empty());
  // The edges that do fit are sent.
  EXPECT_EQ(WriteUser(b, 1, 24, -2147483648.0f), INT32_MIN);
  // A closed port is reported before the value is judged.
  b.ctrl.ClosePort();
  EXPECT_FALSE(b.ctrl.WriteParameterAlternate(1, 24, std::nanf("")));
  EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
}

TEST(Scaling, FailedReadLeavesValueAlone) {
  VirtualBench b(false);
  float v = 1.5f;
  EXPECT_FALSE(b.ctrl.ReadParameterAlternate(1, 6, v));
  EXPECT_EQ(v, 1.5f);
  EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
  EXPECT_FALSE(b.ctrl.WriteParameterAlternate(1, 6, 1.0f));
  EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
}

// The exact, checked conversion that tools use: double precision, one factor
// for both directions, and refusal of what the register cannot hold.
registers::Register Reg(bool big, const char* name) { return *registers::RegisterByName(big, name); }
const registers::ExactFactors kStd = registers::ExactFactorsOf(registers::kStandardFactors);
const registers::ExactFactors kBig = registers::ExactFactorsOf(registers::kBigFactors);

TEST(CheckedConversion, ValuesConvertExactlyAndBack) {
  const auto asoll = registers::UnitsToRaw(24832.089, Reg(false, "A_SOLL"), kStd);
  ASSERT_TRUE(asoll.ok());
  EXPECT_EQ(asoll.raw, 100);
  EXPECT_DOUBLE_EQ(asoll.units, 24832.089);  // the factor's decimal, not its float
  const auto vsoll = registers::UnitsToRaw(-100.0, Reg(false, "V_SOLL"), kStd);
  EXPECT_EQ(vsoll.raw, -210);  // -209.7 rounded away from zero
  EXPECT_DOUBLE_EQ(vsoll.units, -210 * 0.476806640625);
  EXPECT_EQ(registers::UnitsToRaw(45.0, Reg(false, "ELDEGN_OFFSET"), kStd).raw, 256);
  EXPECT_EQ(registers::UnitsToRaw(40.0, Reg(true, "ELDEG_IST"), kBig).raw, 127);
  EXPECT_EQ(registers::UnitsToRaw(2.5, Reg(false, "FNCERR"), kStd).raw, 3);
  EXPECT_EQ(registers::UnitsToRaw(-2.5, Reg(false, "FNCERR"), kStd).raw, -3);
  EXPECT_DOUBLE_EQ(registers::RawToUnits(100, Reg(true, "A_SOLL"), kBig), 27792.1875);
}

TEST(CheckedConversion, RefusesWhatTheRegisterCannotHold) {
  // 20000 units of V_SOLL are raw 41946, beyond signed 16 bits: refused, never
  // sent as the -23590 its low bits would make.
  const auto far = registers::UnitsToRaw(20000.0, Reg(false, "V_SOLL"), kStd);
  EXPECT_EQ(far.problem, registers::ValueProblem::kOutOfRange);
  EXPECT_EQ(far.Why(), "raw 41946 is outside -32768..32767");
  // The same value fits a big motor's 32-bit V_SOLL.
  EXPECT_TRUE(registers::UnitsToRaw(20000.0, Reg(true, "V_SOLL"), kBig).ok());
  EXPECT_EQ(registers::UnitsToRaw(1e300, Reg(false, "FNCERR"), kStd).Why(),
            "raw beyond 64 bits is outside -2147483648..2147483647");
  EXPECT_EQ(registers::UnitsToRaw(std::nan(""), Reg(false, "FNCERR"), kStd).problem,
            registers::ValueProblem::kNotFinite);
  EXPECT_FALSE(registers::UnitsToRaw(-1.0, Reg(false, "PROG_VERSION"), kStd).ok());
}

TEST(CheckedConversion, RawValuesByNumberOrBitPattern) {
  const auto vsoll = Reg(false, "V_SOLL");
  EXPECT_FALSE(registers::CheckRaw(99999, vsoll, kStd).ok());
  EXPECT_EQ(registers::CheckRaw(-32768, vsoll, kStd).raw, -32768);
  EXPECT_EQ(registers::CheckRawBits(0xFFFF, vsoll, kStd).raw, -1);  // held sign-extended
  EXPECT_FALSE(registers::CheckRawBits(0x10000, vsoll, kStd).ok());
  const auto version = Reg(false, "PROG_VERSION");  // unsigned 16-bit
  EXPECT_EQ(registers::RangeText(registers::RangeOf(version)), "0..65535");
  EXPECT_EQ(registers::CheckRaw(65535, version, kStd).raw, 65535);
  EXPECT_EQ(registers::CheckRawBits(0xFFFFFFFF, Reg(false, "P_SOLL"), kStd).raw, -1);
  EXPECT_DOUBLE_EQ(registers::CheckRaw(160, Reg(false, "P_SIM"), kStd).units, 10.0);
}

}  // namespace
}  // namespace qelcomm::testing
