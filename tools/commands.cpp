#include "command.h"

namespace qelctl {

std::span<const CommandGroup> CommandGroups() {
  static constexpr CommandGroup kGroups[] = {
      AddRegisterCommands, AddBusCommands, AddMotorCommands, AddFactorCommands, AddDemoCommand,
  };
  return kGroups;
}

}  // namespace qelctl
