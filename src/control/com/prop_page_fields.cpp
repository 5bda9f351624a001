#include "control/com/prop_page_fields.h"

#include <oleauto.h>

#include <climits>
#include <iterator>

#include "control/com/resource.h"

namespace qelcomm::com {

// The short properties are written as shorts, so the ranges stop at what a
// short holds: a wider value would otherwise wrap (70000 would land as 4464).
const PageField kPageFields[kFieldCount] = {
    {L"ComPort", L"Com Port", IDC_COMPORT, FieldKind::kPortList, VT_I2, 0, 4},
    {L"Retries", L"Retries", IDC_RETRIES, FieldKind::kUnsigned, VT_I2, 0, 100},
    {L"GrpSends", L"Group Sends", IDC_GRPSENDS, FieldKind::kUnsigned, VT_I2, 0, SHRT_MAX},
    {L"Baud", L"Baud rate", IDC_BAUD, FieldKind::kSigned, VT_I4, INT32_MIN, INT32_MAX},
};

namespace {

// The value converted to `type`, or nothing when it does not fit.
std::optional<VARIANT> Converted(const VARIANT& value, VARTYPE type) {
  VARIANT out;
  VariantInit(&out);
  if (FAILED(VariantChangeType(&out, const_cast<VARIANT*>(&value), 0, type))) return std::nullopt;
  return out;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::wstring FieldText(const PageField& field, const VARIANT& value) {
  if (field.kind == FieldKind::kUnsigned) {
    if (auto u = Converted(value, VT_UI4)) return std::to_wstring(u->ulVal);
  }
  if (auto i = Converted(value, VT_I4)) return std::to_wstring(i->lVal);
  return {};
}

int PortListIndex(const VARIANT& value) {
  const auto i = Converted(value, VT_I4);
  constexpr LONG kEntries = static_cast<LONG>(std::size(kPortNames));
  return i && i->lVal >= 0 && i->lVal < kEntries ? static_cast<int>(i->lVal) : -1;
}

std::optional<int64_t> ParseFieldText(const PageField& field, const std::wstring& text) {
  size_t pos = 0;
  size_t end = text.size();
  while (pos < end && IsBlank(text[pos])) ++pos;
  while (end > pos && IsBlank(text[end - 1])) --end;
  bool negative = false;
  if (field.kind == FieldKind::kSigned && pos < end && (text[pos] == L'-' || text[pos] == L'+')) {
    negative = text[pos] == L'-';
    ++pos;
  }
  if (pos == end) return std::nullopt;
  constexpr int64_t kBeyondAnyRange = INT64_C(1) << 40;
  int64_t value = 0;
  for (; pos < end; ++pos) {
    if (text[pos] < L'0' || text[pos] > L'9') return std::nullopt;
    if (value < kBeyondAnyRange) value = value * 10 + (text[pos] - L'0');
  }
  return negative ? -value : value;
}

std::wstring NotANumberWarning(const PageField& field) {
  const wchar_t* kind = field.kind == FieldKind::kSigned ? L"a whole number" : L"a whole number without sign";
  return std::wstring(L"Please enter ") + kind + L" for " + field.label + L".";
}

std::wstring OutOfRangeWarning(const PageField& field) {
  return std::wstring(field.label) + L" must be from " + std::to_wstring(field.min) + L" to " +
         std::to_wstring(field.max) + L".";
}

VARIANT FieldVariant(const PageField& field, int64_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = field.type;
  if (field.type == VT_I2) {
    v.iVal = static_cast<SHORT>(value);
  } else {
    v.lVal = static_cast<LONG>(value);
  }
  return v;
}

}  // namespace qelcomm::com
