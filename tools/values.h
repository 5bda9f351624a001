// Strict parsing of what the user types: integers, values, register names,
// factors. Pure functions without I/O, so that they can be fuzzed. Every
// refusal is a UsageError whose text says what was wrong.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "qelcomm/catalogue.h"

namespace qelctl {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Decimal with an optional '-', or 0x hex. Leading zeros, '+', blanks and
// trailing junk are refused so that "010" never silently means 8.
bool ParseInteger(std::string_view text, int64_t& value);
// A finite decimal number ("12", "-0.5", "1e3").
bool ParseNumber(std::string_view text, double& value);
// Why `text` is no integer: blanks around it, or not one at all.
std::string NotAnInteger(std::string_view text);
// "-inf", "-nan" and the like: words that a command line would otherwise
// take for options.
bool IsNonFiniteWord(std::string_view text);
// 'text', quoted for a message.
std::string Quoted(std::string_view text);

// A register as the user named it, resolved by the catalogue.
using RegisterRef = qelcomm::registers::Register;

// REG by number or by name (case-insensitive): the table of a big or a
// standard motor, then the extended table.
RegisterRef ResolveRegister(bool big, std::string_view text);

// The raw range of a register: signed or unsigned by type, 16 or 32 bits.
using qelcomm::registers::RangeOf;
using qelcomm::registers::RawRange;

// A raw value for the register: decimal within the range of its type, or
// hex within its width (a bit pattern). Gives the 32-bit wire value as the
// register holds it (a signed 16-bit pattern comes back negative).
int32_t ParseRawValue(std::string_view text, const RegisterRef& reg);

// A value in user units converted exactly: rounded half away from zero to
// the raw value, which must fit the register; `user` is what that raw value
// means, i.e. what is actually written.
struct UserValue {
  int32_t raw = 0;
  double user = 0;
};
UserValue ParseUserValue(std::string_view text, const RegisterRef& reg,
                         const qelcomm::registers::ExactFactors& factors, bool big);
// What a raw value means in user units.
double ToUser(int32_t raw, const RegisterRef& reg, const qelcomm::registers::ExactFactors& factors,
              bool big);

// A user-unit value as text: integral values as integers, never in exponent
// form; others with 15 significant digits ("10.3125", "100.12939453125").
std::string FormatUser(double value);
// The number that FormatUser shows, for JSON.
double ShownUser(double value);

// One factor (user units per raw unit). 0 keeps the factor in effect; a
// negative factor inverts the direction. Refused: anything not finite, and
// magnitudes outside what the control's single-precision factors hold.
double ParseFactor(std::string_view text, const std::string& what);
// "POS,ACC,VEL", each as ParseFactor takes it.
std::array<double, 3> ParseFactorList(std::string_view text, const std::string& option);

}  // namespace qelctl
