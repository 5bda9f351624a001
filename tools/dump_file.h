// A parameter set as restore reads it: the file written by dump, or one
// edited by hand, read one way whoever wrote it. Pure: no I/O, so that every
// refusal can be tested and fuzzed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "values.h"

namespace qelctl {

struct DumpEntry {
  RegisterRef reg;
  int32_t raw = 0;  // what restore writes
};

struct DumpFile {
  std::optional<int> address;  // of the motor dumped
  std::optional<bool> big;     // its table, when the file names one
  std::vector<DumpEntry> entries;
};

// Reads `text` (from `file`, for messages) for a motor of size `big`. An
// entry's "raw" is what is written; one with only "value" is converted in
// units with the file's factor sets (else `factors`). Refused, as a
// UsageError naming the file and entry: JSON that does not parse (by line
// and column, or as cut off), an entry whose name is not its number's, and
// one whose raw and value disagree. Entries dump could not read are left out.
// A dump whose table is not that of the motor's size comes back without
// entries, for the caller to refuse.
DumpFile ParseDump(const std::string& text, const std::string& file, bool big,
                   const qelcomm::registers::ExactFactors& factors);

}  // namespace qelctl
