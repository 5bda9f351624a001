// The control's conversion between raw register values and user units, in
// single precision as its alternate methods specify: the fixed-point scale
// of the type, the scaling class (host factors or fixed torque and
// electrical-angle constants), then the register's own factor. The exact,
// checked conversion is public (qelcomm/catalogue.h).
#pragma once

#include <cstdint>
#include <optional>

#include "registers/catalogue.h"

namespace qelcomm::registers {

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

}  // namespace qelcomm::registers
