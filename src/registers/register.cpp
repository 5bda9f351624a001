// Registers resolved for a motor size, and the one checked conversion
// between units and raw values.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "registers/catalogue.h"
#include "registers/roles.h"

namespace qelcomm::registers {

namespace {

Register Resolve(bool big, int number) {
  Register r;
  r.number = static_cast<int16_t>(number);
  r.big = big;
  const ParamInfo* e = FindParamEntry(big, r.number);
  if (e != nullptr) r.name = e->Name;
  r.info = FindParamInfo(big, r.number);
  r.shape = WireShape(big, r.number);
  r.role = RoleOf(e);
  return r;
}

// Rounds half away from zero; a value beyond int64 comes back empty.
std::optional<int64_t> RoundHalfAway(double e) {
  const double rounded = std::trunc(e < 0 ? e - 0.5 : e + 0.5);
  if (!(std::fabs(rounded) < 9.0e18)) return std::nullopt;
  return static_cast<int64_t>(rounded);
}

// The register's value for an in-range number or bit pattern.
int32_t AsHeld(uint64_t bits, const Register& reg) {
  const auto low = static_cast<uint32_t>(bits);
  if (!reg.shape.is32 && RangeOf(reg).min < 0) return static_cast<int16_t>(low & 0xFFFF);
  return static_cast<int32_t>(low);
}

CheckedRaw Accepted(int32_t raw, const Register& reg, const ExactFactors& factors) {
  CheckedRaw c;
  c.range = RangeOf(reg);
  c.raw = raw;
  c.rounded = raw;
  c.units = RawToUnits(raw, reg, factors);
  return c;
}

CheckedRaw Refused(ValueProblem problem, const Register& reg, std::optional<int64_t> rounded) {
  CheckedRaw c;
  c.problem = problem;
  c.range = RangeOf(reg);
  c.rounded = rounded;
  return c;
}

}  // namespace

bool Register::Scaled() const {
  if (!info.listed) return false;
  return info.Type >= 3 || info.Scaling != ScaleClass::None || info.Factor != 1.0f;
}

std::string Register::Label() const {
  if (name.empty()) return std::to_string(number);
  return name + " (" + std::to_string(number) + ")";
}

std::optional<Register> RegisterByNumber(bool big, int number) {
  if (!IsRegisterNumber(number)) return std::nullopt;
  return Resolve(big, number);
}

std::optional<Register> RegisterByName(bool big, std::string_view name) {
  if (const int16_t n = ParamNumFromName(big, name)) return Resolve(big, n);
  for (const ParamInfo& e : ExtendedTable()) {
    if (EqualIgnoringCase(name, e.Name)) return Resolve(big, e.Number + protocol::kExtendedBase);
  }
  return std::nullopt;
}

RawRange RangeOf(const Register& reg) {
  if (reg.shape.is32) return {INT32_MIN, INT32_MAX, UINT32_MAX};
  if (!reg.shape.sign_extend) return {0, UINT16_MAX, UINT16_MAX};
  return {INT16_MIN, INT16_MAX, UINT16_MAX};
}

std::string RangeText(const RawRange& range) {
  return std::to_string(range.min) + ".." + std::to_string(range.max);
}

std::string CheckedRaw::Why() const {
  switch (problem) {
    case ValueProblem::kNone: return {};
    case ValueProblem::kNotFinite: return "not a finite number";
    case ValueProblem::kOutOfRange: break;
  }
  return "raw " + (rounded ? std::to_string(*rounded) : std::string("beyond 64 bits")) +
         " is outside " + RangeText(range);
}

CheckedRaw UnitsToRaw(double units, const Register& reg, const ExactFactors& factors) {
  if (!std::isfinite(units)) return Refused(ValueProblem::kNotFinite, reg, std::nullopt);
  const auto raw = RoundHalfAway(UserToRawExact(units, reg.info, factors, reg.big));
  const RawRange range = RangeOf(reg);
  if (!raw || *raw < range.min || *raw > range.max) {
    return Refused(ValueProblem::kOutOfRange, reg, raw);
  }
  return Accepted(AsHeld(uint64_t(*raw), reg), reg, factors);
}

CheckedRaw CheckRaw(int64_t raw, const Register& reg, const ExactFactors& factors) {
  const RawRange range = RangeOf(reg);
  if (raw < range.min || raw > range.max) return Refused(ValueProblem::kOutOfRange, reg, raw);
  return Accepted(AsHeld(uint64_t(raw), reg), reg, factors);
}

CheckedRaw CheckRawBits(uint64_t bits, const Register& reg, const ExactFactors& factors) {
  if (bits > RangeOf(reg).bits_max) {
    std::optional<int64_t> shown;
    if (bits <= uint64_t(INT64_MAX)) shown = int64_t(bits);
    return Refused(ValueProblem::kOutOfRange, reg, shown);
  }
  return Accepted(AsHeld(bits, reg), reg, factors);
}

double RawToUnits(int32_t raw, const Register& reg, const ExactFactors& factors) {
  return RawToUserExact(double(raw), reg.info, factors, reg.big);
}

std::string FormatUnits(double value) {
  char buf[64];
  if (value == std::trunc(value) && std::fabs(value) < 1e18) {
    std::snprintf(buf, sizeof buf, "%.0f", value == 0 ? 0.0 : value);  // no "-0"
  } else {
    std::snprintf(buf, sizeof buf, "%.15g", value);
  }
  return buf;
}

double ShownUnits(double value) {
  double d = value;
  const std::string text = FormatUnits(value);
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

}  // namespace qelcomm::registers
