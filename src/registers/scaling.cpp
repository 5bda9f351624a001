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

float HostFactor(ScaleClass s, const FactorSet& f) {
  switch (s) {
    case ScaleClass::Acceleration: return f.acceleration;
    case ScaleClass::Position: return f.position;
    case ScaleClass::Velocity: return f.velocity;
    default: return 1.0f;
  }
}

bool IsHostScaled(ScaleClass s) {
  return s == ScaleClass::Acceleration || s == ScaleClass::Position || s == ScaleClass::Velocity;
}

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

// User units per raw unit in double precision. The fixed constants are the
// ratios the single-precision ones round: 100/1023 for torque, 45/256 and
// 40/127 for the electrical angle, so that both directions agree.
double ExactUnitsPerRaw(const ParamLookup& info, const ExactFactors& factors, bool big) {
  double k = 1.0 / TypeScale(info.Type);
  switch (info.Scaling) {
    case ScaleClass::Acceleration: k *= factors.acceleration; break;
    case ScaleClass::Position: k *= factors.position; break;
    case ScaleClass::Velocity: k *= factors.velocity; break;
    case ScaleClass::Torque: k *= 100.0 / 1023.0; break;
    case ScaleClass::ElectricalAngle: k *= big ? 40.0 / 127.0 : 45.0 / 256.0; break;
    case ScaleClass::None: break;
  }
  return k * DecimalValue(info.Factor);
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

std::optional<int32_t> UserToRaw(float value, const ParamLookup& info, const FactorSet& factors,
                                 bool big) {
  double e = value;
  if (info.Factor != 1.0f) e /= double(info.Factor);
  if (IsHostScaled(info.Scaling)) {
    e /= double(HostFactor(info.Scaling, factors));
  } else if (info.Scaling == ScaleClass::Torque) {
    e *= double(kTorqueWrite);
  } else if (info.Scaling == ScaleClass::ElectricalAngle) {
    e *= double(big ? kAngleWriteBig : kAngleWriteStandard);
  }
  e *= TypeScale(info.Type);
  const double rounded = std::trunc(e < 0 ? e - 0.5 : e + 0.5);
  // NaN fails both comparisons; infinities and overflows fail one.
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return std::nullopt;
  return static_cast<int32_t>(rounded);
}

double DecimalValue(float f) {
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, double(f));
  if (ec != std::errc() || SignificantDigits(buf, end) <= 15) return f;
  const auto [fend, fec] = std::to_chars(buf, buf + sizeof buf, f);
  double d = f;
  if (fec == std::errc()) std::from_chars(buf, fend, d);
  return d;
}

ExactFactors ExactFactorsOf(const FactorSet& set) {
  return {DecimalValue(set.position), DecimalValue(set.acceleration), DecimalValue(set.velocity)};
}

double RawToUserExact(double raw, const ParamLookup& info, const ExactFactors& factors, bool big) {
  return raw * ExactUnitsPerRaw(info, factors, big);
}

double UserToRawExact(double value, const ParamLookup& info, const ExactFactors& factors,
                      bool big) {
  return value / ExactUnitsPerRaw(info, factors, big);
}

const char* ScaleClassName(ScaleClass s) {
  switch (s) {
    case ScaleClass::None: return "none";
    case ScaleClass::Acceleration: return "acceleration";
    case ScaleClass::Position: return "position";
    case ScaleClass::Velocity: return "velocity";
    case ScaleClass::Torque: return "torque";
    case ScaleClass::ElectricalAngle: return "electrical-angle";
  }
  return "?";
}

}  // namespace qelcomm::registers
