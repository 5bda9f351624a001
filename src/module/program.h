// Programming a module from an Intel HEX file: load, stop, four pages, write.
#pragma once

#include <cstdint>
#include <string>

#include "link/link.h"
#include "qelcomm/QelCommCtrl.h"

namespace qelcomm::module {

// Pages 0 to 3 of the image are programmed.
inline constexpr int kProgramPages = 4;

bool Program(link::Link& link, int16_t address, const std::string& file_name,
             const ProgramProgressCallback& progress);

}  // namespace qelcomm::module
