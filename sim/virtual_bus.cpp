#include "virtual_bus.h"

#include <cerrno>

namespace qelcomm::sim {

void SimPeer::Flush(VirtualLine& line) {
  for (Output& o : bus_.TakeOutputs()) line.Deliver(o.at_us, std::move(o.bytes));
  if (bus_.vanished() && line.lost() == 0) line.Vanish(vanish_error);
}

OsError SimPeer::DefaultVanishError() {
#ifdef _WIN32
  return 22;  // ERROR_BAD_COMMAND, what a removed USB adapter gives
#else
  return EIO;
#endif
}

void SimPeer::OnReceive(VirtualLine& line, const std::vector<uint8_t>& data, uint64_t now_us) {
  bus_.Receive(data, now_us);
  Flush(line);
}

void SimPeer::OnWake(VirtualLine& line, uint64_t now_us) {
  bus_.Wake(now_us);
  Flush(line);
}

}  // namespace qelcomm::sim
