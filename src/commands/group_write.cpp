#include "commands/group_write.h"

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::commands {
namespace {

// Beyond a copy's own wire time, how long its bytes may sit in the
// transmit queue before the copy counts as not sent.
constexpr uint64_t kDrainMarginMs = 1000;

bool Accepted(bool big255, int16_t reg, const registers::ParamLookup& info) {
  if (!info.listed) return false;
  if (protocol::IsExtended(reg)) return reg <= registers::LastRegister(registers::ExtendedTable());
  const auto table = big255 ? registers::BigTable() : registers::StandardTable();
  return reg > 0 && reg <= registers::LastRegister(table);
}

// Waits until the copy has left the transmit queue, or its time is up. The
// bound follows the speed the port was opened at.
bool Drained(link::Link& link, size_t bytes) {
  Platform& platform = *link.platform;
  const uint64_t bound = link::WireTimeMs(link, bytes) + kDrainMarginMs;
  const uint64_t start = platform.NowMs();
  while (link.port->Counts().tx != 0) {
    if (platform.NowMs() - start >= bound || link::Lost(link)) return false;
    platform.SleepMs(1);
  }
  return true;
}

}  // namespace

bool WriteGroup(link::Link& link, SequenceCounters& counters, bool big255, int16_t group,
                int16_t reg, int32_t value) {
  if (!link::Begin(link, link::Prologue::kTestOpen)) return false;
  const registers::ParamLookup info = registers::FindParamInfo(big255, reg);
  if (!Accepted(big255, reg, info)) {
    link.last_error = ERR_OS_INVALID_PARAMETER;
    return false;
  }
  // Only the group's low byte goes on the wire, so it also picks the counter.
  const uint8_t g = link::LowByte(group);
  uint8_t& counter = counters[g];
  counter = counter == 255 ? 1 : uint8_t(counter + 1);

  const int length = info.Is32Bit ? 4 : 2;
  const bool extended = protocol::IsExtended(reg);
  link::Telegram t(extended ? protocol::sync::kGroupExtended : protocol::sync::kGroup);
  t.Field(g).Field(counter).Field(link::LowByte(extended ? reg - protocol::kExtendedBase : reg));
  t.Field(uint8_t(length)).Value(static_cast<uint32_t>(value), length).End();

  link::Purge(link);
  bool success = true;
  for (int32_t copy = 1; copy <= link.grp_sends; ++copy) {
    // Every copy waits for its drain, a short one too, so the next copy
    // never follows on its heels.
    const bool sent = link::WriteTelegram(link, t.bytes());
    const bool drained = Drained(link, t.bytes().size());
    if (!drained) link.last_error = ERR_WRITE_SHORT;
    success = success && sent && drained;
  }
  return link::Finish(link, success);
}

}  // namespace qelcomm::commands
