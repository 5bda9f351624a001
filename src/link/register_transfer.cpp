#include "link/register_transfer.h"

#include <array>

#include "link/telegram.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::link {
namespace {

constexpr uint8_t kReadSync = 0x50;
constexpr uint8_t kReadSyncExtended = 0x5A;
constexpr uint8_t kWriteSync = 0x52;  // also the reply to a read
constexpr uint8_t kWriteSyncExtended = 0x5B;
constexpr size_t kReadReplySize = 19;
// Register 256 lies between the standard and the extended range: its
// telegram would carry register byte 0 and address register 0 instead.
constexpr int16_t kUnreachableRegister = 256;

struct Width {
  bool is32;
  int16_t type;
};

// Registers the catalogue does not list are 32-bit on big motors and in the
// extended range, 16-bit signed otherwise.
Width DecideWidth(bool big, int16_t reg) {
  const registers::ParamLookup info = registers::FindParamInfo(big, reg);
  if (info.listed) return {info.Is32Bit != 0, info.Type};
  if (big || reg > 256) return {true, 2};
  return {false, 1};
}

bool IsExtended(int16_t reg) { return reg > 256; }
uint8_t RegisterField(int16_t reg) { return LowByte(IsExtended(reg) ? reg - 256 : reg); }

// The start of every register exchange: refuse on a closed port, clear the
// last error, refuse the register that no telegram can reach.
bool Begin(Link& link, int16_t reg) {
  if (!link.open) {
    link.last_error = ERR_PORT_NOT_OPEN;
    return false;
  }
  link.last_error = 0;
  if (reg == kUnreachableRegister) {
    link.last_error = ERR_OS_INVALID_PARAMETER;
    return false;
  }
  return true;
}

// Checks every position of a read reply in order; the last failing
// position's code stays. Assembles the value as it goes.
bool CheckReadReply(Link& link, const std::array<uint8_t, kReadReplySize>& r, uint8_t sync,
                    int16_t reg, uint8_t sent_field, bool is32, int32_t& value) {
  bool ok = true;
  auto fail = [&](uint32_t code) {
    link.last_error = code;
    ok = false;
  };
  for (int i = 0; i < 3; ++i) {
    if (r[i] != sync) fail(ERR_START_SYNC);
  }
  if (r[3] != 0x00) fail(ERR_ADDRESS_MISMATCH);
  if (r[4] != 0xFF) fail(ERR_ADDRESS_MISMATCH);
  const int16_t expected = static_cast<int16_t>(IsExtended(reg) ? reg - 256 : reg);
  if (int16_t{r[5]} != expected) fail(ERR_PARAM_MISMATCH);
  if (r[6] != Complement(sent_field)) fail(ERR_PARAM_MISMATCH);
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
  if (r[17] != kEndSync) fail(ERR_END_SYNC);
  if (r[18] != kEndSync) fail(ERR_END_SYNC);
  value = static_cast<int32_t>(v);
  return ok;
}

}  // namespace

bool WriteParameter(Link& link, bool big, int16_t address, int16_t reg, int32_t value) {
  if (!Begin(link, reg)) return false;
  const Width width = DecideWidth(big, reg);
  const int length = width.is32 ? 4 : 2;
  Telegram t(IsExtended(reg) ? kWriteSyncExtended : kWriteSync);
  t.Field(LowByte(address)).Field(RegisterField(reg)).Field(uint8_t(length));
  t.Value(static_cast<uint32_t>(value), length).End();

  bool ok = false;
  int16_t attempts = 0;
  do {
    ++attempts;
    ok = SendStep(link, t.bytes()) && AcceptWait(link, kMotorAccept);
  } while (!ok && MayRetry(link, attempts));
  return Finish(link, ok);
}

bool ReadParameter(Link& link, bool big, int16_t address, int16_t reg, int32_t& value) {
  if (!Begin(link, reg)) return false;
  const Width width = DecideWidth(big, reg);
  const uint8_t field = RegisterField(reg);
  Telegram t(IsExtended(reg) ? kReadSyncExtended : kReadSync);
  t.Field(LowByte(address)).Field(field).End();
  const uint8_t reply_sync = IsExtended(reg) ? kWriteSyncExtended : kWriteSync;

  bool ok = false;
  int32_t assembled = 0;
  int16_t attempts = 0;
  do {
    ++attempts;
    // A short write spoils the attempt, but its reply is still taken in.
    const bool sent = SendStep(link, t.bytes());
    const size_t count = ReceiveWait(link, kReadReplySize);
    if (count != kReadReplySize) {
      DiscardBytes(link, count);
      link.last_error = ERR_ANSWER_LENGTH;
      ok = false;
      continue;
    }
    std::array<uint8_t, kReadReplySize> reply{};
    ReadBytes(link, reply.data(), reply.size());
    ok = CheckReadReply(link, reply, reply_sync, reg, field, width.is32, assembled) && sent;
  } while (!ok && MayRetry(link, attempts));

  if (ok) {
    // Signed 16-bit kinds are sign-extended; the others read as assembled.
    if (width.type == 1 || width.type == 3 || width.type == 4) {
      assembled = static_cast<int16_t>(assembled & 0xFFFF);
    }
    value = assembled;
  }
  return Finish(link, ok);
}

}  // namespace qelcomm::link
