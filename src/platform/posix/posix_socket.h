// The POSIX sockets behind network ports, and the resolver's errors.
#pragma once

#include <optional>
#include <string>

#include "qelcomm/platform.h"

namespace qelcomm::posix {

// getaddrinfo's failures are not errno values. They are stored as this base
// plus the resolver's code made positive, so that they stay apart from errno
// and from the control's own codes, and still read as the resolver's message.
inline constexpr OsError kResolverErrorBase = 0x30000000;

// The resolver's message for a number made as above, or nothing.
std::optional<std::string> ResolverErrorText(OsError error);

}  // namespace qelcomm::posix
