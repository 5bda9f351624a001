// Serial lines reached through a serial device server, named by URL:
//
//   rfc2217://HOST:PORT   Telnet with the COM-PORT option: the line settings
//                         travel to the server, which applies them
//   tcp://HOST:PORT       a raw byte stream; the server's line settings are
//                         the server's business
//
// HOST is a name, an IPv4 address or a bracketed IPv6 address ([::1]). The
// device behaves as a local one does: the same waits, the same codes, and a
// dropped connection is a lost device.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/net/stream_socket.h"
#include "qelcomm/platform.h"

namespace qelcomm::net {

enum class Scheme { kRfc2217, kTcp };

struct PortUrl {
  Scheme scheme = Scheme::kTcp;
  std::string host;
  uint16_t port = 0;
};

// True when `name` starts with one of the two schemes (in any case); such a
// name is never taken for a device path.
bool IsNetworkPortName(const std::string& name);
// The parts of a well-formed network port name.
std::optional<PortUrl> ParsePortUrl(const std::string& name);

// Connect bound; beyond it the server counts as unreachable.
inline constexpr uint32_t kConnectTimeoutMs = 2000;

// Connects and, for rfc2217, negotiates the COM-PORT option. On failure
// gives nullptr and the OS error: the invalid-parameter error for a
// malformed name, the resolver's or connect's own error, "timed out" for a
// server that does not answer the negotiation, "protocol not supported" for
// one that refuses the option.
std::unique_ptr<SerialDevice> OpenNetworkPort(const std::string& name, OsError& error);

// The device over an already connected stream; what OpenNetworkPort builds
// on, and what tests drive with an in-memory stream.
std::unique_ptr<SerialDevice> OpenOverStream(std::unique_ptr<StreamSocket> socket, Scheme scheme,
                                             OsError& error);

}  // namespace qelcomm::net
