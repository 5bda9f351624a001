// Status read: status word, position and error counter in one exchange.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace qelcomm::commands {

bool ReadStatus(link::Link& link, int16_t address, int16_t& status, int32_t& position,
                int16_t& err_count);

}  // namespace qelcomm::commands
