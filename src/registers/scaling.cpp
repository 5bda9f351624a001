#include "registers/scaling.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace qelcomm::registers {
namespace {

constexpr float kTorqueRead = 0.097751714f;  // nearest 100/1023
constexpr float kTorqueWrite = 10.23f;
constexpr float kAngleReadStandard = 0.17578125f;
constexpr float kAngleReadBig = 0.31496063f;  // nearest 40/127
constexpr float kAngleWriteStandard = 5.688889f;  // nearest 256/45
constexpr float kAngleWriteBig = 3.175f;

// The fixed-point denominator of a type code; 1 for the integer types.
double TypeScale(int16_t type) {
  switch (type) {
    case 3: return 4096.0;
    case 5: return 65536.0;
    case 4:
    case 6: return 256.0;
    default: return 1.0;
  }
}

template <class Set>
auto HostFactor(ScaleClass s, const Set& f) -> decltype(f.position) {
  switch (s) {
    case ScaleClass::Acceleration: return f.acceleration;
    case ScaleClass::Position: return f.position;
    case ScaleClass::Velocity: return f.velocity;
    default: return 1;
  }
}

bool IsHostScaled(ScaleClass s) {
  return s == ScaleClass::Acceleration || s == ScaleClass::Position || s == ScaleClass::Velocity;
}

void Keep(float& slot, float v) {
  if (v != 0.0f && !std::isnan(v)) slot = v;
}

}  // namespace

void UpdateFactors(FactorSet& set, float position, float acceleration, float velocity) {
  Keep(set.position, position);
  Keep(set.acceleration, acceleration);
  Keep(set.velocity, velocity);
}

float RawToUser(int32_t raw, const ParamLookup& info, const FactorSet& factors, bool big) {
  const double scale = TypeScale(info.Type);
  // 1/4096, 1/65536 and 1/256 are exact in single precision.
  float value = static_cast<float>(double(raw) * static_cast<double>(float(1.0 / scale)));
  if (IsHostScaled(info.Scaling)) {
    value = static_cast<float>(double(value) * double(HostFactor(info.Scaling, factors)));
  } else if (info.Scaling == ScaleClass::Torque) {
    value = static_cast<float>(double(value) * double(kTorqueRead));
  } else if (info.Scaling == ScaleClass::ElectricalAngle) {
    value = static_cast<float>(double(value) * double(big ? kAngleReadBig : kAngleReadStandard));
  }
  if (info.Factor != 1.0f) value = static_cast<float>(double(value) * double(info.Factor));
  return value;
}

namespace {

// User to raw as a real number. `k` gives a catalogue or host constant in
// double precision: widened as it is, or at its shortest decimal.
template <class Set, class Constant>
double ToRaw(double value, const ParamLookup& info, const Set& factors, bool big, Constant k) {
  double e = value;
  if (info.Factor != 1.0f) e /= k(info.Factor);
  if (IsHostScaled(info.Scaling)) {
    e /= k(HostFactor(info.Scaling, factors));
  } else if (info.Scaling == ScaleClass::Torque) {
    e *= k(kTorqueWrite);
  } else if (info.Scaling == ScaleClass::ElectricalAngle) {
    e *= k(big ? kAngleWriteBig : kAngleWriteStandard);
  }
  return e * TypeScale(info.Type);
}

double Widened(float f) { return f; }
size_t SignificantDigits(const char* begin, const char* end) {
  size_t n = 0;
  bool leading = true;
  for (const char* p = begin; p != end && *p != 'e'; ++p) {
    if (*p < '0' || *p > '9') continue;
    leading = leading && *p == '0';
    if (!leading) ++n;
  }
  return n;
}

double DecimalOrExact(float f) { return DecimalValue(f); }
double DecimalOrExact(double d) { return d; }

}  // namespace

double DecimalValue(float f) {
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, double(f));
  if (ec != std::errc() || SignificantDigits(buf, end) <= 15) return f;
  const auto [fend, fec] = std::to_chars(buf, buf + sizeof buf, f);
  double d = f;
  if (fec == std::errc()) std::from_chars(buf, fend, d);
  return d;
}

double UserToRawExact(double value, const ParamLookup& info, const ExactFactors& factors,
                      bool big) {
  return ToRaw(value, info, factors, big, [](auto c) { return DecimalOrExact(c); });
}

double RawToUserExact(double raw, const ParamLookup& info, const ExactFactors& factors, bool big) {
  double value = raw / TypeScale(info.Type);
  if (IsHostScaled(info.Scaling)) {
    value *= HostFactor(info.Scaling, factors);
  } else if (info.Scaling == ScaleClass::Torque) {
    value *= DecimalValue(kTorqueRead);
  } else if (info.Scaling == ScaleClass::ElectricalAngle) {
    value *= DecimalValue(big ? kAngleReadBig : kAngleReadStandard);
  }
  return value * DecimalValue(info.Factor);
}

std::optional<int32_t> UserToRaw(float value, const ParamLookup& info, const FactorSet& factors,
                                 bool big) {
  const double e = ToRaw(value, info, factors, big, [](float c) { return Widened(c); });
  const double rounded = std::trunc(e < 0 ? e - 0.5 : e + 0.5);
  // NaN fails both comparisons; infinities and overflows fail one.
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return std::nullopt;
  return static_cast<int32_t>(rounded);
}

}  // namespace qelcomm::registers
