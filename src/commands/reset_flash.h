// Restarting a motor and saving its registers to flash. Both need the motor
// in safe mode first; the waiting variants then wait until it answers again.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace qelcomm::commands {

// `big` is the big-motor flag of the address (for the register reads).
bool Reset(link::Link& link, bool big, int16_t address);
bool ResetWait(link::Link& link, bool big, int16_t address);
bool WriteToFlash(link::Link& link, bool big, int16_t address);
bool WriteToFlashWait(link::Link& link, bool big, int16_t address);

}  // namespace qelcomm::commands
