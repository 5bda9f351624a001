// Reading and writing one numbered motor register.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace qelcomm::link {

// `big` is the big-motor flag of the address: it picks the catalogue table
// that decides the register's width and type.
bool WriteParameter(Link& link, bool big, int16_t address, int16_t reg, int32_t value);
bool ReadParameter(Link& link, bool big, int16_t address, int16_t reg, int32_t& value);

}  // namespace qelcomm::link
