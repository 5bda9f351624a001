// Writing one register value to a whole group of motors, in unanswered
// telegrams numbered by per-group sequence counters.
#pragma once

#include <array>
#include <cstdint>

#include "link/link.h"

namespace qelcomm::commands {

// Counter of each group: 0 at the start, then 1..255, wrapping to 1.
using SequenceCounters = std::array<uint8_t, 256>;

// `big255` is the big-motor flag of address 255, whose catalogue table
// decides the register's width for every group.
bool WriteGroup(link::Link& link, SequenceCounters& counters, bool big255, int16_t group,
                int16_t reg, int32_t value);

}  // namespace qelcomm::commands
