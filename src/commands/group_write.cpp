#include "commands/group_write.h"

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::commands {
namespace {

bool Accepted(bool big255, int16_t reg, const registers::ParamLookup& info) {
  if (!info.listed) return false;
  if (protocol::IsExtended(reg)) return reg <= registers::LastRegister(registers::ExtendedTable());
  const auto table = big255 ? registers::BigTable() : registers::StandardTable();
  return reg > 0 && reg <= registers::LastRegister(table);
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
  link::Telegram t(protocol::RegisterSync(protocol::Family::kGroup, reg));
  t.Field(g).Field(counter).Field(link::LowByte(protocol::RegisterOnWire(reg)));
  t.Field(uint8_t(length)).Value(static_cast<uint32_t>(value), length).End();

  link::Purge(link);
  bool success = true;
  for (int32_t copy = 1; copy <= link.grp_sends; ++copy) {
    // Every copy waits for its drain, a short one too, so the next copy
    // never follows on its heels.
    const bool sent = link::WriteTelegram(link, t.bytes());
    const bool drained = link::DrainWait(link, t.bytes().size());
    if (!drained) link.last_error = ERR_WRITE_SHORT;
    success = success && sent && drained;
  }
  return link::Finish(link, success);
}

}  // namespace qelcomm::commands
