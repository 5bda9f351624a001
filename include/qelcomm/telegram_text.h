// One-line descriptions of telegrams, for traces of the line. The tools and
// the virtual bus describe telegrams with the same words, so their traces
// can be read side by side.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qelcomm {

// Decodes one complete telegram, e.g. "read motor 1 register P_SOLL (3)" or
// "page 2 reply (128 bytes)"; empty when the bytes are not one well-formed
// telegram. `from_host` tells a request from a reply where both share a
// sync; `big` picks the register table that names registers. A telegram of
// a known sync but an unknown layout is described by its sync and field
// count.
std::string DescribeTelegram(bool from_host, std::span<const uint8_t> bytes, bool big);

// Where `bytes` stop being the start of a well-formed telegram, in words:
// "byte 5 (0x12) is not the complement of byte 4 (0x34)"; empty while they
// may still become one (a telegram cut short is incomplete, not corrupt).
std::string FindTelegramFault(bool from_host, std::span<const uint8_t> bytes);

// A reply as far as it has come in, read by read: "accept", "module
// accept", the decoded telegram, "corrupt reply: <fault>" or "(reply
// incomplete, N bytes so far)". `complete` when no more bytes belong to it.
struct ReplySoFar {
  std::string text;
  bool complete = false;
};
ReplySoFar DescribeReplySoFar(std::span<const uint8_t> reply, bool big);

}  // namespace qelcomm
