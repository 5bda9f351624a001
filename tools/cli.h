// qelctl's command line as one table: the root parser with the global
// options and every command group. The tool parses with it, and the bash
// completion is generated from it.
#pragma once

#include <string>

#include "command.h"

namespace qelctl {

struct GlobalOptions;

void BuildCommandLine(CLI::App& app, GlobalOptions& options, CommandList& commands);

// A bash completion script for the commands, subcommands and options of
// `app`, as BuildCommandLine made it.
std::string BashCompletion(const CLI::App& app);

}  // namespace qelctl
