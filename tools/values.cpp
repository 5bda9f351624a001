#include "values.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>


namespace qelctl {
namespace reg = qelcomm::registers;

namespace {

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool HasBlankEnds(std::string_view t) {
  return !t.empty() && (IsBlank(t.front()) || IsBlank(t.back()));
}
bool IsHex(std::string_view t) {
  return t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}

}  // namespace

// Appended piece by piece: GCC 12 at -O3 warns about the temporaries of
// "'" + std::string(text) + "'".
std::string Quoted(std::string_view text) {
  std::string quoted(1, '\'');
  quoted.append(text);
  quoted.push_back('\'');
  return quoted;
}

bool ParseInteger(std::string_view text, int64_t& value) {
  if (IsHex(text)) {
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
  if (text.empty() || text[0] == '+' || IsBlank(text[0])) return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && p == end && std::isfinite(value);
}

std::string NotAnInteger(std::string_view text) {
  if (HasBlankEnds(text)) return Quoted(text) + " has blanks around it";
  return Quoted(text) + " is not an integer";
}

bool IsNonFiniteWord(std::string_view text) {
  if (!text.starts_with('-')) return false;
  const std::string_view rest = text.substr(1);
  auto starts = [&](std::string_view word) {
    return rest.size() >= word.size() && reg::EqualIgnoringCase(rest.substr(0, word.size()), word);
  };
  return starts("inf") || starts("nan");
}

RegisterRef ResolveRegister(bool big, std::string_view text) {
  int64_t n = 0;
  if (ParseInteger(text, n)) {
    if (!reg::IsRegisterNumber(n)) {
      throw UsageError("register " + Quoted(text) + " is out of range 1..255, 257..511");
    }
    return *reg::RegisterByNumber(big, int(n));
  }
  if (text.empty() || IsDecimalDigit(text[0]) || text[0] == '-' || HasBlankEnds(text)) {
    throw UsageError("register " + Quoted(text) + " is neither a number nor a name");
  }
  if (auto r = reg::RegisterByName(big, text)) return *r;
  throw UsageError("unknown register " + Quoted(text) + " for a " + (big ? "big" : "standard") +
                   " motor (see 'qelctl regs" + (big ? " --big" : "") + "')");
}

int32_t ParseRawValue(std::string_view text, const RegisterRef& r) {
  int64_t v = 0;
  if (!ParseInteger(text, v)) throw UsageError("value " + NotAnInteger(text));
  const bool hex = IsHex(text);
  // Raw values carry no units, so any factors do.
  constexpr reg::ExactFactors kNone{1, 1, 1};
  const reg::CheckedRaw c =
      hex ? reg::CheckRawBits(uint64_t(v), r, kNone) : reg::CheckRaw(v, r, kNone);
  if (!c.ok()) {
    throw UsageError(
        "value " + Quoted(text) + " is out of range for " + r.Label() + ": " +
        reg::RangeText(c.range) +
        (hex ? " (hex up to 0x" + std::string(r.shape.is32 ? "FFFFFFFF" : "FFFF") + ")" : ""));
  }
  return c.raw;
}

UserValue ParseUserValue(std::string_view text, const RegisterRef& r,
                         const reg::ExactFactors& factors, bool) {
  double d = 0;
  if (!ParseNumber(text, d)) {
    if (IsHex(text)) {
      throw UsageError("value " + Quoted(text) + " is in user units, which are decimal; " +
                       "a hex bit pattern needs --raw");
    }
    if (HasBlankEnds(text)) throw UsageError("value " + Quoted(text) + " has blanks around it");
    throw UsageError("value " + Quoted(text) + " is not a finite number");
  }
  const reg::CheckedRaw c = reg::UnitsToRaw(d, r, factors);
  if (!c.ok()) {
    throw UsageError("value " + Quoted(text) + " is out of range for " + r.Label() + " (" +
                     c.Why() + ")");
  }
  return {c.raw, c.units};
}

double ToUser(int32_t raw, const RegisterRef& r, const reg::ExactFactors& factors, bool) {
  return reg::RawToUnits(raw, r, factors);
}

std::string FormatUser(double value) { return qelcomm::registers::FormatUnits(value); }

double ShownUser(double value) { return qelcomm::registers::ShownUnits(value); }

double ParseFactor(std::string_view text, const std::string& what) {
  double d = 0;
  if (!ParseNumber(text, d)) {
    throw UsageError(what + ": " + Quoted(text) + " is not a finite number");
  }
  if (d != 0 && !(std::fabs(d) >= double(FLT_MIN) && std::fabs(d) <= double(FLT_MAX))) {
    throw UsageError(what + ": " + Quoted(text) +
                     " is out of range: a factor's magnitude must lie within 1.2e-38..3.4e38");
  }
  return d;
}

std::array<double, 3> ParseFactorList(std::string_view text, const std::string& option) {
  std::array<double, 3> f{};
  size_t start = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t comma = text.find(',', start);
    const bool last = i == 2;
    if (last != (comma == std::string_view::npos)) {
      throw UsageError(option + " wants POS,ACC,VEL, got " + Quoted(text));
    }
    f[i] = ParseFactor(text.substr(start, last ? std::string_view::npos : comma - start), option);
    start = comma + 1;
  }
  return f;
}

}  // namespace qelctl
