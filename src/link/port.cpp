// Opening and closing the serial port.
#include "link/exchange.h"
#include "qelcomm/errors.h"

namespace qelcomm::link {
namespace {

constexpr size_t kQueueSize = 1024;
constexpr int kSettlePasses = 50;
constexpr uint32_t kSettlePassMs = 20;

}  // namespace

void ClosePort(Link& link) {
  link.port.reset();
  link.open = false;
}

bool OpenPort(Link& link) {
  // Also releases a device still held after an earlier failed open, so a
  // retry never leaks it (or finds it busy because we hold it ourselves).
  ClosePort(link);
  link.last_error = 0;

  const std::string name = link.port_name.empty()
                               ? link.platform->DeviceNameForPort(link.com_port)
                               : link.port_name;
  OsError error = 0;
  link.port = link.platform->Open(name, error);
  if (link.port) link.port->Watch(link.wakeup);
  if (!link.port) {
    link.last_error = error != 0 ? error : ERR_PORT_INIT;
    return false;
  }
  if ((error = link.port->SetQueueSizes(kQueueSize, kQueueSize)) != 0 ||
      (error = link.port->Configure(LineSettings{link.baud})) != 0) {
    link.last_error = error;
    return false;
  }
  // Settle: bytes left over from before the open are thrown away until the
  // line has been quiet for one pass.
  for (int pass = 1;; ++pass) {
    Pause(link, kSettlePassMs);
    if (Cancelled(link)) {
      link.last_error = ERR_CANCELLED;
      return false;
    }
    const size_t queued = link.port->Counts().rx;
    if (queued == 0) break;
    DiscardBytes(link, queued);  // traced: a line that never goes quiet is seen
    if (pass == kSettlePasses) {
      link.last_error = ERR_PORT_INIT;
      return false;
    }
    link.port->Discard();
  }
  link.open = true;
  link.open_baud = link.baud;
  return true;
}

bool EndCall(Link& link, bool ok) {
  if (!Cancelled(link)) return ok;
  if (!ok && !Lost(link)) link.last_error = ERR_CANCELLED;
  link.wakeup->Clear();
  return ok;
}

}  // namespace qelcomm::link
