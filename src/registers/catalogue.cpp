#include "registers/catalogue.h"

#include "qelcomm/protocol.h"

namespace qelcomm::registers {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

// Register names are plain ASCII, so a byte-wise case fold compares them the
// way a locale-aware comparison would; other bytes must match exactly.
bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

const ParamInfo* FindParamEntry(bool big, int16_t reg) {
  std::span<const ParamInfo> table = BigTable();
  int32_t number = reg;
  // 256 itself goes to the extended table too, where nothing matches it.
  if (reg >= protocol::kExtendedBase) {
    table = ExtendedTable();
    number = reg - protocol::kExtendedBase;
  } else if (!big) {
    table = StandardTable();
  }
  for (const ParamInfo& e : table) {
    if (e.Number == number) return &e;
  }
  return nullptr;
}

ParamLookup FindParamInfo(bool big, int16_t reg) {
  const ParamInfo* e = FindParamEntry(big, reg);
  if (e == nullptr) return {};
  return {true, e->Is32Bit, e->Type, e->Scaling, e->Factor};
}

int16_t ParamNumFromName(bool big, std::string_view name) {
  for (const ParamInfo& e : big ? BigTable() : StandardTable()) {
    if (EqualIgnoringCase(name, e.Name)) return static_cast<int16_t>(e.Number);
  }
  return 0;
}

RegisterShape WireShape(bool big, int16_t reg) {
  const ParamLookup info = FindParamInfo(big, reg);
  if (!info.listed) {
    // Unlisted registers are 32-bit on big motors and in the extended
    // range, signed 16-bit otherwise.
    const bool is32 = big || protocol::IsExtended(reg);
    return {is32, !is32};
  }
  // The signed 16-bit kinds: plain, /4096 and /256.
  const bool signed16 = info.Type == 1 || info.Type == 3 || info.Type == 4;
  return {info.Is32Bit != 0, signed16};
}

int32_t LastRegister(std::span<const ParamInfo> table) {
  const ParamInfo& last = table.back();
  return table.data() == ExtendedTable().data() ? last.Number + protocol::kExtendedBase
                                                : last.Number;
}

}  // namespace qelcomm::registers
