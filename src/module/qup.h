// The Qup commands that run and step the program in a module: one answered
// command exchange (sync 0x61, a short payload led by the command code) and
// the unanswered reset (sync 0x60).
#pragma once

#include <cstdint>
#include <span>

#include "link/link.h"
#include "module/replies.h"

namespace qelcomm::module {

// Sends the payload and waits for the 25-byte reply; its eight data bytes
// go to `data` on success.
bool QupCommand(link::Link& link, int16_t address, std::span<const uint8_t> payload,
                QupData& data);
bool QupReset(link::Link& link, int16_t address);
bool QupResetWait(link::Link& link, int16_t address);

// The output byte of a set-outputs command: the low nibble lists the outputs
// to switch on, the high nibble those to switch off, for the outputs 0 to 3
// that `mask` selects.
uint8_t OutputByte(int16_t outputs, int16_t mask);

}  // namespace qelcomm::module
