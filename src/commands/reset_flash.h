// Restarting a motor and saving its registers to flash. Both need the motor
// in safe mode first; the waiting variants then wait until it answers again.
#pragma once

#include <cstdint>

#include "link/link.h"
#include "link/register_transfer.h"

namespace qelcomm::commands {

// The motor a command polls: its address, and the shape its catalogue
// gives the registers read on the way.
struct Target {
  int16_t address;
  bool big;
  link::RegisterShape Shape(int16_t reg) const;
};

bool Reset(link::Link& link, const Target& motor);
bool ResetWait(link::Link& link, const Target& motor);
bool WriteToFlash(link::Link& link, const Target& motor);
bool WriteToFlashWait(link::Link& link, const Target& motor);

}  // namespace qelcomm::commands
