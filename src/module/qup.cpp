#include "module/qup.h"

#include "link/exchange.h"
#include "link/telegram.h"
#include "module/module.h"
#include "qelcomm/errors.h"

namespace qelcomm::module {
namespace {

// A short write ends the exchange; the unanswered reset goes out once.
constexpr link::Rules kCommandRules{link::Prologue::kTestOpen, link::FailedSend::kFinal};
constexpr link::Rules kResetRules{link::Prologue::kTestOpen, link::FailedSend::kFinal};

}  // namespace

bool QupCommand(link::Link& link, int16_t address, std::span<const uint8_t> payload,
                QupData& data) {
  if (!link::Begin(link, kCommandRules)) return false;
  link::Telegram t(protocol::sync::kQup);
  t.Field(link::LowByte(address)).Field(static_cast<uint8_t>(payload.size()));
  for (uint8_t b : payload) t.Field(b);
  const auto request = t.End().bytes();
  return link::Exchange(link, kCommandRules, request, [&] {
    std::array<uint8_t, protocol::kQupReplySize> reply{};
    if (!link::ReceiveReply(link, reply, link::DeadlineIn(link), ERR_ANSWER_LENGTH)) {
      return link::Attempt::kFailed;
    }
    return CheckQupReply(reply, link.last_error, data) ? link::Attempt::kSucceeded
                                                       : link::Attempt::kFailed;
  });
}

bool QupReset(link::Link& link, int16_t address) {
  if (!link::Begin(link, kResetRules)) return false;
  const auto request = link::AddressTelegram(protocol::sync::kQupReset, address);
  return link::Exchange(link, kResetRules, request, [] { return link::Attempt::kSucceeded; });
}

bool QupResetWait(link::Link& link, int16_t address) {
  return QupReset(link, address) && ProbeUntilAnswering(link);
}

uint8_t OutputByte(int16_t outputs, int16_t mask) {
  uint8_t b = 0;
  for (int i = 0; i < 4; ++i) {
    if ((mask & (1 << i)) == 0) continue;
    b |= static_cast<uint8_t>((outputs & (1 << i)) ? 1 << i : 1 << (i + 4));
  }
  return b;
}

}  // namespace qelcomm::module
