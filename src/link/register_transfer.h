// Reading and writing one numbered motor register.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace qelcomm::link {

// How a register travels, as its caller's catalogue decides it.
struct RegisterShape {
  bool is32 = false;        // four value bytes on the wire, else two
  bool sign_extend = true;  // the low 16 bits read as a signed number
};

bool WriteParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t value);
bool ReadParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t& value);

}  // namespace qelcomm::link
