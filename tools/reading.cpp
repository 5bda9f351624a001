#include "reading.h"

#include "format.h"
#include "session.h"

namespace qelctl {
using json = nlohmann::ordered_json;

std::string Reading::Text() const { return reg.Label() + " = " + ValueText(); }

std::string Reading::ValueText() const {
  std::string text;
  if (scaled) {
    const std::string units = FormatUser(user);
    text += units;
    if (units != std::to_string(raw)) text += " (raw " + std::to_string(raw) + ")";
  } else {
    text += std::to_string(raw);
    if (hex) text += " (" + Hex(uint32_t(raw), reg.shape.is32 ? 4 : 2) + ")";
  }
  return text;
}

json Reading::Json() const {
  json j = {{"number", reg.number}, {"name", reg.name.empty() ? json() : json(reg.name)}};
  if (scaled) {
    j["value"] = ShownUser(user);
    j["raw"] = raw;
  } else {
    j["value"] = raw;
    if (hex) j["hex"] = Hex(uint32_t(raw), reg.shape.is32 ? 4 : 2);
  }
  j["scaled"] = scaled;
  return j;
}

json FactorSetJson(const qelcomm::registers::ExactFactors& f) {
  return {{"position", ShownUser(f.position)},
          {"acceleration", ShownUser(f.acceleration)},
          {"velocity", ShownUser(f.velocity)}};
}

Reading MakeReading(Session& s, int address, const RegisterRef& reg, int32_t raw, bool raw_mode) {
  Reading r{reg, raw, !raw_mode && reg.Scaled(), raw_mode, 0};
  const bool big = s.IsBig(address);
  if (r.scaled) r.user = ToUser(raw, reg, s.Factors(big), big);
  return r;
}

bool ReadRaw(Session& s, int address, const RegisterRef& reg, int32_t& raw) {
  return s.ctrl().ReadParameter(int16_t(address), reg.number, raw);
}

std::string ReadingWhat(int address, const RegisterRef& reg) {
  return "reading " + reg.Label() + " from motor " + std::to_string(address);
}

void CheckNotBig(Session& s, int address, const RegisterRef& reg) {
  if (reg.shape.is32 || s.IsBig(address)) return;
  // Its low bytes alone would be a wrong value, and what is written back
  // from them wronger still.
  const std::string note = qelcomm::CheckWidth(s.line(), address);
  if (!note.empty()) s.FailNamed(ReadingWhat(address, reg), note, kBigMotorName);
}

Reading ReadChecked(Session& s, int address, const RegisterRef& reg, bool raw_mode) {
  int32_t raw = 0;
  const bool ok = ReadRaw(s, address, reg, raw);
  if (ok) CheckNotBig(s, address, reg);
  s.Check(ok, ReadingWhat(address, reg));
  return MakeReading(s, address, reg, raw, raw_mode);
}

}  // namespace qelctl
