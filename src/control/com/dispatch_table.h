// The members of _DQelComm as the dispatcher sees them: for each DISPID its
// argument types in declaration order, its result type and the call into
// the portable control. Argument conversion is dispatch_args.h's.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qelcomm::com {
class ControlObject;
}

namespace qelcomm::com::dispatch {

inline constexpr size_t kMaxArgs = 7;  // VemoDebug's

enum class ArgType : uint8_t {
  kNone,  // no argument in this slot: the list has ended
  kShort,
  kLong,
  kFloat,
  kLongAsBool,  // declared long, converted as a bool (0.4 and "True" are true)
  kText,        // BSTR*, only read
  kShortOut,
  kLongOut,
  kFloatOut,
  kPageOut,  // VARIANT*: receives a 128-byte page
  kPageIn,   // VARIANT: a byte array of at least 128 bytes
};

enum class ResultType : uint8_t {
  kNone,
  kBool,  // VT_BOOL, -1 or 0; QupNOOP's too, though declared short
  kShort,
  kLong,
  kText,
};

// One call's arguments by declaration position, converted. Outputs are
// written into the same slots by the call, and `target` remembers the
// host's variant each output goes back to. An output the call did not reach
// is marked `unreached`, and its host variable keeps its value and type.
struct Args {
  std::array<int32_t, kMaxArgs> number{};  // short, long and bool slots
  std::array<float, kMaxArgs> real{};
  std::string text;
  std::vector<uint8_t> page;
  std::array<VARIANT*, kMaxArgs> target{};
  std::array<bool, kMaxArgs> unreached{};

  int16_t Short(size_t i) const { return static_cast<int16_t>(number[i]); }
};

// What a call returns: a number (bools as 1/0), or text.
struct Value {
  int32_t number = 0;
  std::string text;
};

using Call = Value (*)(ControlObject&, Args&);

struct Member {
  DISPID id;
  const char* name;   // as the type library spells it
  bool property;      // the four persisted properties; `call` is unset
  ResultType result;  // a property's type: kShort or kLong
  std::array<ArgType, kMaxArgs> args;
  Call call;
};

// Every member, for the check against the type library.
std::span<const Member> Members();
// nullptr for a DISPID that _DQelComm does not have.
const Member* FindMember(DISPID id);
size_t ArgCount(const Member& member);

int32_t GetProperty(const ControlObject& object, DISPID id);
void PutProperty(ControlObject& object, DISPID id, int32_t value);  // marks modified

}  // namespace qelcomm::com::dispatch
