// Programming a module from an Intel HEX file: load, stop, the program's
// pages, write.
#pragma once

#include <cstdint>
#include <string>

#include "link/link.h"
#include "qelcomm/program_progress.h"

namespace qelcomm::module {

bool Program(link::Link& link, int16_t address, const std::string& file_name,
             const ProgramProgressCallback& progress);

}  // namespace qelcomm::module
