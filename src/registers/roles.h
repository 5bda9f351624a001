// The role of a catalogue entry (null: not listed), for Register.
#pragma once

#include "registers/catalogue.h"

namespace qelcomm::registers {

Role RoleOf(const ParamInfo* entry);

}  // namespace qelcomm::registers
