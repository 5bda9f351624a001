// The control's own error codes. A method that fails returns false and leaves
// one of these, or an operating-system error number stored unchanged, in the
// last-error field; GetLastError reads and clears it, GetLastErrorStr turns
// any code into text. ErrorCodes() lists them; bindings take the list from
// there.
#pragma once

#include <cstdint>
#include <span>

namespace qelcomm {

inline constexpr uint32_t ERR_PORT_INIT = 0x20000000;
inline constexpr uint32_t ERR_PORT_NOT_OPEN = 0x20000001;
inline constexpr uint32_t ERR_WRITE_SHORT = 0x20000002;
inline constexpr uint32_t ERR_ANSWER_LENGTH = 0x20000003;
inline constexpr uint32_t ERR_BAD_ACCEPT = 0x20000004;
inline constexpr uint32_t ERR_START_SYNC = 0x20000005;
inline constexpr uint32_t ERR_ADDRESS_MISMATCH = 0x20000006;
inline constexpr uint32_t ERR_PARAM_MISMATCH = 0x20000007;
inline constexpr uint32_t ERR_LENGTH_MISMATCH = 0x20000008;
inline constexpr uint32_t ERR_INVERSION = 0x20000009;
inline constexpr uint32_t ERR_END_SYNC = 0x2000000A;
inline constexpr uint32_t ERR_UNSPECIFIED = 0x2000000B;
inline constexpr uint32_t ERR_SAFE_MODE = 0x2000000C;
inline constexpr uint32_t ERR_TIMEOUT = 0x2000000D;
// Reserved: ReadStatus never leaves these. They keep their numbers and
// messages so that a host which tests for them still compiles and reads
// the same text.
inline constexpr uint32_t ERR_STATUS_ALLOC = 0x20001000;
inline constexpr uint32_t ERR_STATUS_NULL = 0x20001001;
inline constexpr uint32_t ERR_STATUS_PURGE = 0x20001002;
inline constexpr uint32_t ERR_STATUS_WRITE = 0x20001003;
inline constexpr uint32_t ERR_STATUS_FREE = 0x20001004;
// With echo on (SetEcho), the bytes that came back before the reply were
// not the telegram just sent. A run of its own, apart from the two above.
inline constexpr uint32_t ERR_ECHO_MISMATCH = 0x20002000;
// Cancel ended the call: outside the automation interface, like the echo
// code.
inline constexpr uint32_t ERR_CANCELLED = 0x20002001;

// The operating system's own number for "invalid parameter", stored when an
// argument is refused before anything is sent. Windows calls it
// ERROR_INVALID_PARAMETER (87); on POSIX it is EINVAL, so that the system's
// message for it reads as an invalid-argument message there too.
#ifdef _WIN32
inline constexpr uint32_t ERR_OS_INVALID_PARAMETER = 87;
#else
inline constexpr uint32_t ERR_OS_INVALID_PARAMETER = 22;
#endif

// A code that means "something answered, but not properly" (a short,
// garbled or mismatched reply), as against a line or port that failed.
constexpr bool IsReplyError(uint32_t code) {
  return code >= ERR_ANSWER_LENGTH && code <= ERR_END_SYNC;
}

struct ErrorCode {
  uint32_t code;
  const char* name;     // "ERR_TIMEOUT"
  const char* message;  // GetLastErrorStr's text
};
// Every code above but ERR_OS_INVALID_PARAMETER, which is the system's.
std::span<const ErrorCode> ErrorCodes();

// The code's name ("ERR_TIMEOUT"), or nullptr for a number that is not one
// of the control's own codes.
const char* ErrorName(uint32_t code);
// The message of one of the control's own codes, or nullptr.
const char* ErrorMessage(uint32_t code);

}  // namespace qelcomm
