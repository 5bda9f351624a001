// Command-line checks built on the value parsers of values.h.
#pragma once

#include <cstdint>

#include "values.h"

namespace CLI {
class Validator;
}

namespace qelctl {

// A CLI11 check for integer options in [min, max] written as ParseInteger
// takes them.
CLI::Validator StrictInt(int64_t min, int64_t max);

}  // namespace qelctl
