// Reading and writing one numbered motor register.
#pragma once

#include <cstdint>

#include "link/link.h"
#include "qelcomm/catalogue.h"

namespace qelcomm::link {

// How a register travels, as its caller's catalogue decides it.
using RegisterShape = registers::RegisterShape;

bool WriteParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t value);
bool ReadParameter(Link& link, RegisterShape shape, int16_t address, int16_t reg, int32_t& value);

}  // namespace qelcomm::link
