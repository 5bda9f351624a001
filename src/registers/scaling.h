// Conversion between raw register values and user units: the fixed-point
// scale of the type, the scaling class (host factors or fixed torque and
// electrical-angle constants), then the register's own factor.
#pragma once

#include <cstdint>
#include <optional>

#include "registers/catalogue.h"

namespace qelcomm::registers {

// User units per raw unit.
struct FactorSet {
  float position;
  float acceleration;
  float velocity;
};

inline constexpr FactorSet kStandardFactors{1.0f, 248.32089f, 0.476806640625f};
inline constexpr FactorSet kBigFactors{1.0f, 277.921875f, 0.3609375f};

// Replaces each factor whose argument is a number other than zero; zero
// (either sign) and NaN keep the old factor.
void UpdateFactors(FactorSet& set, float position, float acceleration, float velocity);

// Raw to user: each product is formed in double precision and rounded to
// single precision once, when stored.
float RawToUser(int32_t raw, const ParamLookup& info, const FactorSet& factors, bool big);

// User to raw, carried in double precision throughout and rounded half away
// from zero. Empty when the value is not a number, infinite, or its raw form
// does not fit a signed 32-bit register.
std::optional<int32_t> UserToRaw(float value, const ParamLookup& info, const FactorSet& factors,
                                 bool big);

// The same conversions wholly in double precision, for tools that write the
// exact raw value and show exactly what a raw value means. Both directions
// use one factor, so a value shown converts back to the same raw value.
struct ExactFactors {
  double position;
  double acceleration;
  double velocity;
};
// The number a single-precision constant stands for: its exact value when
// that is a short decimal (0.0625, 0.476806640625), else the shortest
// decimal that reads back as it (0.1f stands for 0.1).
double DecimalValue(float f);
double RawToUserExact(double raw, const ParamLookup& info, const ExactFactors& factors, bool big);
// The raw value as a real number, not rounded.
double UserToRawExact(double value, const ParamLookup& info, const ExactFactors& factors, bool big);

}  // namespace qelcomm::registers
