// What VemoProgram reports while it programs a module, for tools that show
// progress.
#pragma once

#include <functional>

#include "qelcomm/protocol.h"

namespace qelcomm {

struct ProgramProgress {
  enum class Step {
    kStop,     // stopping the module
    kPage,     // sending page `page` of `pages` (1-based)
    kWrite,    // sending the write command
    kWaiting,  // the module accepted it; waiting for it to answer again
  };
  Step step;
  int page;
  int pages;  // always protocol::kProgramPages, the pages a program fills
};
using ProgramProgressCallback = std::function<void(const ProgramProgress&)>;

}  // namespace qelcomm
