// Strict parsing of what the user types: integers, values, register names.
// Every refusal is a UsageError whose text says what was wrong.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "registers/scaling.h"

namespace CLI {
class Validator;
}
namespace qelcomm {
class CQelCommCtrl;
}

namespace qelctl {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Decimal with an optional '-', or 0x hex. Leading zeros, '+', spaces and
// trailing junk are refused so that "010" never silently means 8.
bool ParseInteger(std::string_view text, int64_t& value);
// A finite decimal number ("12", "-0.5", "1e3").
bool ParseNumber(std::string_view text, double& value);

// A CLI11 check for integer options in [min, max] written as above.
CLI::Validator StrictInt(int64_t min, int64_t max);

// A register as the user named it, with its catalogue entry.
struct RegisterRef {
  int16_t number = 0;
  std::string name;  // the catalogue's spelling; empty when not listed
  qelcomm::registers::ParamLookup info;
  bool is32 = false;          // its width on the wire
  bool Scaled() const;        // reads and writes in user units differ from raw
  std::string Label() const;  // "P_SOLL (3)", or "200" when unlisted
};

// A catalogue entry by number (above 256: the extended table).
const qelcomm::registers::ParamInfo* FindEntry(bool big, int number);

// REG by number or by name (case-insensitive): the motor's table through
// the control, then the extended table.
RegisterRef ResolveRegister(qelcomm::CQelCommCtrl& ctrl, bool big, int16_t address,
                            std::string_view text);

// A raw value for the register: decimal within the range of its type, or
// hex within its width (a bit pattern). Gives the 32-bit wire value.
int32_t ParseRawValue(std::string_view text, const RegisterRef& reg);
// A value in user units whose raw form fits the register.
float ParseUserValue(std::string_view text, const RegisterRef& reg,
                     const qelcomm::registers::FactorSet& factors, bool big);

}  // namespace qelctl
