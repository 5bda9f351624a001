// The command table: each command group adds its subcommands to the root
// parser and says what runs when one of them was chosen. A new group adds
// one function here and one line in commands.cpp.
#pragma once

#include <functional>
#include <span>
#include <vector>

namespace CLI {
class App;
}

namespace qelctl {

class Session;

struct Command {
  CLI::App* app;
  std::function<int(Session&)> run;  // gives the exit status
};
using CommandList = std::vector<Command>;
using CommandGroup = void (*)(CLI::App& root, CommandList& out);

void AddRegisterCommands(CLI::App& root, CommandList& out);  // regs, read, write
void AddBusCommands(CLI::App& root, CommandList& out);       // scan, group
void AddMotorCommands(CLI::App& root, CommandList& out);     // status, reset, flash
void AddFactorCommands(CLI::App& root, CommandList& out);    // factors
void AddModuleCommands(CLI::App& root, CommandList& out);    // module info, get, program...
// module program, added to the module group.
void AddModuleProgramCommand(CLI::App* group, CommandList& out);
void AddQupCommands(CLI::App& root, CommandList& out);       // qup start, stop, outputs...
void AddDemoCommand(CLI::App& root, CommandList& out);       // demo
void AddDumpCommands(CLI::App& root, CommandList& out);      // dump, restore
void AddPortsCommand(CLI::App& root, CommandList& out);      // ports

std::span<const CommandGroup> CommandGroups();

}  // namespace qelctl
