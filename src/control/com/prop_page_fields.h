// The four fields of the property page: which property and dialog control
// each one exchanges, and how its text is shown and checked.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qelcomm::com {

enum class FieldKind {
  kPortList,  // combo box; the selection index is the port number
  kUnsigned,  // edit box; unsigned decimal text
  kSigned,    // edit box; signed decimal text
};

struct PageField {
  const wchar_t* property;  // name on the control's dispatch interface
  const wchar_t* label;     // as the page shows it, for warnings
  int control_id;
  FieldKind kind;
  VARTYPE type;  // the property's own type, in which it is written
  int64_t min;   // accepted on apply; the type's range at the widest
  int64_t max;
};

// In load and apply order.
inline constexpr int kFieldCount = 4;
extern const PageField kPageFields[kFieldCount];

// Entries of the port list, in index order.
inline constexpr const wchar_t* kPortNames[] = {L"", L"COM1", L"COM2", L"COM3", L"COM4"};

// The text an edit field shows for a property value. A value an unsigned
// field cannot take (a negative short) is shown as it is, so the user sees
// what the control holds; empty when the value is not a number at all.
std::wstring FieldText(const PageField& field, const VARIANT& value);

// The port-list index for a ComPort value; -1 selects nothing.
int PortListIndex(const VARIANT& value);

// Parses edit text as the field's kind of decimal number, allowing blanks
// around it. Values beyond 64 bits come back as out of every range.
std::optional<int64_t> ParseFieldText(const PageField& field, const std::wstring& text);

// The warnings of a refused apply.
std::wstring NotANumberWarning(const PageField& field);
std::wstring OutOfRangeWarning(const PageField& field);

// The value in the property's own type.
VARIANT FieldVariant(const PageField& field, int64_t value);

}  // namespace qelcomm::com
