#include "registers/catalogue.h"

namespace qelcomm::registers {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Register names are plain ASCII, so a byte-wise case fold compares them the
// way a locale-aware comparison would; other bytes must match exactly.
bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

ParamLookup FindParamInfo(bool big, int16_t reg) {
  std::span<const ParamInfo> table = BigTable();
  int32_t number = reg;
  if (reg > 255) {
    table = ExtendedTable();
    number = reg - 256;
  } else if (!big) {
    table = StandardTable();
  }
  for (const ParamInfo& e : table) {
    if (e.Number == number) return {true, e.Is32Bit, e.Type, e.Scaling, e.Factor};
  }
  return {};
}

int16_t ParamNumFromName(bool big, std::string_view name) {
  for (const ParamInfo& e : big ? BigTable() : StandardTable()) {
    if (EqualIgnoringCase(name, e.Name)) return static_cast<int16_t>(e.Number);
  }
  return 0;
}

int32_t LastRegister(std::span<const ParamInfo> table) {
  const ParamInfo& last = table.back();
  return table.data() == ExtendedTable().data() ? last.Number + 256 : last.Number;
}

}  // namespace qelcomm::registers
