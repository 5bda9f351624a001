// qelctl's parsing of what the user types: integers, numbers, register
// names, raw values, values in user units and factor lists, over arbitrary
// text. Input: a register selector byte (high bit: big motor), a factor-set
// selector byte, then the text. A refusal must be a UsageError; what is
// accepted must fit its register and read back the same.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "qelcomm/catalogue.h"
#include "values.h"

namespace {

namespace reg = qelcomm::registers;
using qelctl::UsageError;

constexpr std::array<reg::ExactFactors, 4> kFactors = {{
    {1.0, 248.32089, 0.476806640625},
    {0.001, -2.0, 1e-30},
    {3e38, 1.2e-38, -0.1},
    {-1.0, 1.0, 1.0},
}};

void CheckInteger(std::string_view text) {
  int64_t v = 0;
  if (!qelctl::ParseInteger(text, v)) return;
  int64_t again = 0;
  FUZZ_CHECK(qelctl::ParseInteger(std::to_string(v), again) && again == v);
}

void CheckValues(std::string_view text, const qelctl::RegisterRef& r, const reg::ExactFactors& f,
                 bool big) {
  const qelctl::RawRange range = qelctl::RangeOf(r);
  try {
    const int32_t raw = qelctl::ParseRawValue(text, r);
    FUZZ_CHECK(raw >= range.min || (range.min == 0 && raw >= 0));
    FUZZ_CHECK(raw <= range.max);
  } catch (const UsageError&) {
  }
  try {
    const qelctl::UserValue v = qelctl::ParseUserValue(text, r, f, big);
    FUZZ_CHECK(v.raw >= range.min && v.raw <= range.max);
    FUZZ_CHECK(std::isfinite(v.user));
    // What the tool prints for it converts back to the same raw value.
    FUZZ_CHECK(qelctl::ParseUserValue(qelctl::FormatUser(v.user), r, f, big).raw == v.raw);
  } catch (const UsageError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool big = (data[0] & 0x80) != 0;
  const auto table = big ? reg::BigTable() : reg::StandardTable();
  const reg::ExactFactors& factors = kFactors[data[1] % kFactors.size()];
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  CheckInteger(text);
  double d = 0;
  if (qelctl::ParseNumber(text, d)) FUZZ_CHECK(std::isfinite(d));
  try {
    const qelctl::RegisterRef named = qelctl::ResolveRegister(big, text);
    FUZZ_CHECK(named.number >= 1 && named.number <= 511 && named.number != 256);
  } catch (const UsageError&) {
  }
  try {
    for (double f : qelctl::ParseFactorList(text, "--factors")) FUZZ_CHECK(std::isfinite(f));
  } catch (const UsageError&) {
  }
  const size_t index = (data[0] & 0x7F) % (table.size() + 1);
  const int number = index < table.size() ? table[index].Number : 200;  // 200: not listed
  CheckValues(text, qelctl::ResolveRegister(big, std::to_string(number)), factors, big);
  return 0;
}
