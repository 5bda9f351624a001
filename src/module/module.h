// The Vemo module exchanges: identification, control, pages, debug and the
// write command. Module telegrams are the short family: start sync,
// address and complement, optional payload pairs, end sync; replies are
// addressed 0x00 / 0xFF.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "link/link.h"
#include "module/replies.h"

namespace qelcomm::module {

bool GetModuleType(link::Link& link, int16_t address, int16_t& module_type, int16_t& firmware);
bool Reset(link::Link& link, int16_t address);
bool Stop(link::Link& link, int16_t address);
bool ResetWait(link::Link& link, int16_t address);
// Probes the module at the probe address once, then up to Retries more
// times, until it identifies itself.
bool ProbeUntilAnswering(link::Link& link);

bool Debug(link::Link& link, int16_t address, const DebugValues& out);
bool GetPage(link::Link& link, int16_t address, int16_t page, std::vector<uint8_t>& data);
// Sends the first 128 bytes of `data`, which must hold at least that many.
bool PutPage(link::Link& link, int16_t address, int16_t page, std::span<const uint8_t> data);
// `on_waiting` runs each time the module has accepted the write command and
// the wait for it to answer again begins.
bool Write(link::Link& link, int16_t address, const std::function<void()>& on_waiting = {});

// The 7000 ms a module may take to answer again after a write command.
inline constexpr uint32_t kWriteWindowMs = 7000;

}  // namespace qelcomm::module
