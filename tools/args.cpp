#include "args.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <limits>

#include "qelcomm/QelCommCtrl.h"
#include "registers/scaling.h"

namespace qelctl {
namespace reg = qelcomm::registers;

namespace {

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// The raw range of a register: signed or unsigned by type, 16 or 32 bits.
struct RawRange {
  int64_t min, max;  // for decimal input
  uint64_t hex_max;  // for hex input, a bit pattern
};
RawRange RangeOf(const RegisterRef& r) {
  if (r.is32) return {INT32_MIN, INT32_MAX, UINT32_MAX};
  if (r.info.listed && r.info.Type == 0) return {0, UINT16_MAX, UINT16_MAX};
  return {INT16_MIN, INT16_MAX, UINT16_MAX};
}

}  // namespace

bool ParseInteger(std::string_view text, int64_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t u = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data() + 2, end, u, 16);
    if (ec != std::errc() || p != end || u > uint64_t(INT64_MAX)) return false;
    value = int64_t(u);
    return true;
  }
  const size_t digits = text.starts_with('-') ? 1 : 0;
  if (text.size() == digits || !IsDecimalDigit(text[digits])) return false;
  if (text[digits] == '0' && text.size() > digits + 1) return false;  // no octal look-alikes
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value, 10);
  return ec == std::errc() && p == end;
}

bool ParseNumber(std::string_view text, double& value) {
  if (text.empty() || text[0] == '+' || text[0] == ' ') return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end && std::isfinite(value);
}

CLI::Validator StrictInt(int64_t min, int64_t max) {
  const std::string desc = "INT in [" + std::to_string(min) + " - " + std::to_string(max) + "]";
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        int64_t v = 0;
        if (!ParseInteger(text, v)) return Quoted(text) + " is not an integer";
        if (v < min || v > max) {
          return Quoted(text) + " is out of range " + std::to_string(min) + ".." +
                 std::to_string(max);
        }
        text = std::to_string(v);  // hand CLI11 a plain decimal
        return {};
      },
      desc);
}

bool RegisterRef::Scaled() const {
  if (!info.listed) return false;
  return info.Type >= 3 || info.Scaling != reg::ScaleClass::None || info.Factor != 1.0f;
}

std::string RegisterRef::Label() const {
  if (name.empty()) return std::to_string(number);
  return name + " (" + std::to_string(number) + ")";
}

const reg::ParamInfo* FindEntry(bool big, int number) {
  auto table = number > 256 ? reg::ExtendedTable() : big ? reg::BigTable() : reg::StandardTable();
  const int stored = number > 256 ? number - 256 : number;
  for (const auto& e : table) {
    if (e.Number == stored) return &e;
  }
  return nullptr;
}

RegisterRef ResolveRegister(qelcomm::CQelCommCtrl& ctrl, bool big, int16_t address,
                            std::string_view text) {
  RegisterRef r;
  int64_t n = 0;
  if (ParseInteger(text, n)) {
    // 256 falls between the motor's table and the extended range: no
    // telegram can carry it.
    if (n < 1 || n > 511 || n == 256) {
      throw UsageError("register " + Quoted(text) + " is out of range 1..255, 257..511");
    }
    r.number = int16_t(n);
  } else if (IsDecimalDigit(text.empty() ? 'x' : text[0]) || text.starts_with('-')) {
    throw UsageError("register " + Quoted(text) + " is neither a number nor a name");
  } else {
    r.number = ctrl.GetParamNumFromName(address, std::string(text));
    if (r.number == 0) {
      for (const auto& e : reg::ExtendedTable()) {
        if (EqualIgnoringCase(text, e.Name)) r.number = int16_t(e.Number + 256);
      }
    }
    if (r.number == 0) {
      throw UsageError("unknown register " + Quoted(text) + " for a " + (big ? "big" : "standard") +
                       " motor (see 'qelctl regs" + (big ? " --big" : "") + "')");
    }
  }
  if (const reg::ParamInfo* e = FindEntry(big, r.number)) r.name = e->Name;
  r.info = reg::FindParamInfo(big, r.number);
  // Unlisted registers are 32-bit on big motors and in the extended range.
  r.is32 = r.info.listed ? r.info.Is32Bit != 0 : (big || r.number > 256);
  return r;
}

int32_t ParseRawValue(std::string_view text, const RegisterRef& r) {
  int64_t v = 0;
  if (!ParseInteger(text, v)) throw UsageError("value " + Quoted(text) + " is not an integer");
  const RawRange range = RangeOf(r);
  const bool hex = text.size() > 1 && (text[1] == 'x' || text[1] == 'X');
  const bool fits = hex ? uint64_t(v) <= range.hex_max : (v >= range.min && v <= range.max);
  if (!fits) {
    throw UsageError(
        "value " + Quoted(text) + " is out of range for " + r.Label() + ": " +
        std::to_string(range.min) + ".." + std::to_string(range.max) +
        (hex ? " (hex up to 0x" + std::string(r.is32 ? "FFFFFFFF" : "FFFF") + ")" : ""));
  }
  // The value as the register holds it: a hex pattern for a signed 16-bit
  // register reads back negative, so it is shown that way too.
  const auto bits = static_cast<uint32_t>(v);
  if (!r.is32 && range.min < 0) return static_cast<int16_t>(bits & 0xFFFF);
  return static_cast<int32_t>(bits);
}

float ParseUserValue(std::string_view text, const RegisterRef& r, const reg::FactorSet& factors,
                     bool big) {
  double d = 0;
  if (!ParseNumber(text, d)) throw UsageError("value " + Quoted(text) + " is not a number");
  const float f = static_cast<float>(d);
  const auto raw = std::isfinite(f) ? reg::UserToRaw(f, r.info, factors, big) : std::nullopt;
  const RawRange range = RangeOf(r);
  if (!raw || *raw < range.min || *raw > range.max) {
    throw UsageError("value " + Quoted(text) + " is out of range for " + r.Label() +
                     (raw ? " (raw " + std::to_string(*raw) + " does not fit " +
                                (r.is32 ? "32" : "16") + " bits)"
                          : ""));
  }
  return f;
}

}  // namespace qelctl
