#include "link/register_transfer.h"

#include <array>

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"

namespace qelcomm::link {
namespace {

using protocol::Family;
using protocol::kReadReplySize;

// A short write fails a register write's attempt before any accept wait;
// a read still takes its reply in.
constexpr Rules kWriteRules{Prologue::kTestOpen, FailedSend::kRetried};
constexpr Rules kReadRules{Prologue::kTestOpen, FailedSend::kSpoils};

// Register 256 lies between the standard and the extended range: its
// telegram would carry register byte 0 and address register 0 instead.
constexpr int16_t kUnreachableRegister = protocol::kExtendedBase;

int16_t RegisterNumberOnWire(int16_t reg) {
  return static_cast<int16_t>(protocol::RegisterOnWire(reg));
}
uint8_t RegisterField(int16_t reg) { return LowByte(RegisterNumberOnWire(reg)); }

const protocol::TelegramKind& KindOf(Family family, int16_t reg) {
  return *protocol::FindTelegram(protocol::RegisterSync(family, reg));
}

// The start of every register exchange: the usual prologue, then refuse the
// register that no telegram can reach.
bool BeginTransfer(Link& link, const Rules& rules, int16_t reg) {
  if (!Begin(link, rules)) return false;
  if (reg == kUnreachableRegister) {
    link.last_error = ERR_OS_INVALID_PARAMETER;
    return false;
  }
  return true;
}

// Checks every position of a read reply in order; the last failing
// position's code stays. Assembles the value as it goes.
bool CheckReadReply(Link& link, const std::array<uint8_t, kReadReplySize>& r, uint8_t sync,
                    int16_t reg, bool is32, int32_t& value) {
  bool ok = true;
  auto fail = [&](uint32_t code) {
    link.last_error = code;
    ok = false;
  };
  for (int i = 0; i < 3; ++i) {
    if (r[i] != sync) fail(ERR_START_SYNC);
  }
  if (r[3] != protocol::kReplyAddress) fail(ERR_ADDRESS_MISMATCH);
  if (r[4] != Complement(protocol::kReplyAddress)) fail(ERR_ADDRESS_MISMATCH);
  if (int16_t{r[5]} != RegisterNumberOnWire(reg)) fail(ERR_PARAM_MISMATCH);
  if (r[6] != Complement(RegisterField(reg))) fail(ERR_PARAM_MISMATCH);
  if (r[7] != 0x04) fail(ERR_LENGTH_MISMATCH);
  if (r[8] != 0xFB) fail(ERR_LENGTH_MISMATCH);
  uint32_t v = r[9];
  if (r[10] != Complement(r[9])) fail(ERR_INVERSION);
  v += uint32_t{r[11]} << 8;
  if (r[12] != Complement(r[11])) fail(ERR_INVERSION);
  if (is32) v += uint32_t{r[13]} << 16;
  if (r[14] != Complement(r[13])) fail(ERR_INVERSION);
  if (is32) v += uint32_t{r[15]} << 24;
  if (r[16] != Complement(r[15])) fail(ERR_INVERSION);
  if (r[17] != protocol::kEndSync) fail(ERR_END_SYNC);
  if (r[18] != protocol::kEndSync) fail(ERR_END_SYNC);
  value = static_cast<int32_t>(v);
  return ok;
}

}  // namespace

bool WriteParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t value) {
  if (!BeginTransfer(link, kWriteRules, reg)) return false;
  const protocol::TelegramKind& kind = KindOf(Family::kRegisterWrite, reg);
  const int length = shape.is32 ? 4 : 2;
  Telegram t(kind.sync);
  t.Field(LowByte(address)).Field(RegisterField(reg)).Field(uint8_t(length));
  t.Value(static_cast<uint32_t>(value), length).End();

  return Exchange(link, kWriteRules, t.bytes(), [&] {
    return AcceptWait(link, protocol::AcceptByte(kind)) ? Attempt::kSucceeded : Attempt::kFailed;
  });
}

bool ReadParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t& value) {
  if (!BeginTransfer(link, kReadRules, reg)) return false;
  const protocol::TelegramKind& kind = KindOf(Family::kRegisterRead, reg);
  Telegram t(kind.sync);
  t.Field(LowByte(address)).Field(RegisterField(reg)).End();

  int32_t assembled = 0;
  const bool ok = Exchange(link, kReadRules, t.bytes(), [&] {
    std::array<uint8_t, kReadReplySize> reply{};
    if (!ReceiveReply(link, reply, DeadlineIn(link), ERR_ANSWER_LENGTH)) return Attempt::kFailed;
    return CheckReadReply(link, reply, kind.reply_sync, reg, shape.is32, assembled)
               ? Attempt::kSucceeded
               : Attempt::kFailed;
  });
  if (ok) value = shape.sign_extend ? int32_t{int16_t(assembled & 0xFFFF)} : assembled;
  return ok;
}

}  // namespace qelcomm::link
