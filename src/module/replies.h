// The checks of the module replies, as pure functions over the bytes read:
// each failing check stores its code in `code`, as the exchange's last
// error. Kept apart from the exchanges so that tests and fuzzers can drive
// them directly.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "qelcomm/protocol.h"

namespace qelcomm::module {

// The identification reply up to, not including, its end sync: offsets 0 to
// 10 are judged as far as the reply reaches, every check runs, and the last
// failing one's code stays. The type and firmware are written when their
// offsets are reached, before their complements are tested.
bool CheckIdentifyReply(std::span<const uint8_t> before_end_sync, uint32_t& code,
                        int16_t& module_type, int16_t& firmware);

struct DebugValues {
  int16_t& state;
  int16_t& inputs;
  int16_t& outputs;
  int32_t& time;
  int32_t& count;
  int16_t& mode_cmd;
};
// The debug reply, end sync included; the first failing check decides, and
// fields before it are written.
bool CheckDebugReply(std::span<const uint8_t> reply, uint32_t& code, const DebugValues& out);

enum class PageVerdict {
  kAccepted,
  kRejected,   // a framing check failed: the page may be asked for again
  kInversion,  // a data byte's complement was wrong: the exchange ends
};
// The 265-byte page reply to a read of `page`; data bytes go to `data` as
// they are met.
PageVerdict CheckPageReply(std::span<const uint8_t, protocol::kPageTelegramSize> reply,
                           int16_t page, uint32_t& code,
                           std::span<uint8_t, protocol::kPageSize> data);

using QupData = std::array<uint8_t, protocol::kQupDataSize>;
// The 25-byte Qup reply: every position is examined and the last failing
// one's code stays.
bool CheckQupReply(std::span<const uint8_t, protocol::kQupReplySize> reply, uint32_t& code,
                   QupData& data);

}  // namespace qelcomm::module
