#include "command.h"

namespace qelctl {

std::span<const CommandGroup> CommandGroups() {
  static constexpr CommandGroup kGroups[] = {
      AddRegisterCommands, AddBusCommands, AddMotorCommands, AddFactorCommands,
      AddDumpCommands,     AddPortsCommand, AddModuleCommands, AddQupCommands, AddDemoCommand,
  };
  return kGroups;
}

}  // namespace qelctl
