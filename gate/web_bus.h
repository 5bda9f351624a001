// One bus as the web API serves it: its settings, its queue (shared with
// the Modbus clients, in turn with them), its trace and its last scan.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "bus_queue.h"
#include "bus_worker.h"
#include "serve.h"
#include "trace_ring.h"
#include "web_types.h"

namespace qelgate {

struct WebBusInfo {
  std::string name;    // "bus0" for the bus of the flags
  LineConfig line;     // port empty: the embedded virtual bus
  std::string modbus;  // its Modbus TCP address, "HOST:PORT"
};

// Queue turns of web clients: one per HTTP connection, one per stream,
// apart from the Modbus connections' numbers.
uint64_t ClientConnection(std::string_view client);
uint64_t StreamConnection();

class WebBus {
 public:
  using Task = std::function<ApiResult(BusLink&)>;
  WebBus(WebBusInfo info, BusQueue& queue, const BusSetup& setup, TraceRing& trace,
         std::function<bool()> up);

  const std::string& name() const { return info_.name; }
  const WebBusInfo& info() const { return info_; }
  const BusSetup& setup() const { return setup_; }
  TraceRing& trace() { return trace_; }
  bool Big(int address) const { return setup_.big[size_t(address & 0xFF)]; }
  // The entry of GET /api/buses.
  Json Describe() const;

  // Runs `task` on the bus thread in `connection`'s turn and waits for its
  // answer: 503 when the queue is full or the task was dropped unrun, 504
  // when the bus has not come to it in time.
  ApiResult Call(uint64_t connection, Task task) const;
  // Queues `task` without waiting; false when the queue is full.
  bool Post(uint64_t connection, std::function<void(BusLink&)> task) const;

  // The error of the call that just failed on `bus`: the control's code,
  // its message and the line's diagnosis. 503 for a lost line, else 502.
  ApiResult Failed(BusLink& bus, const std::string& what) const;
  // A module exchange that failed: silence leaves no code.
  ApiResult ModuleFailed(BusLink& bus, const std::string& what) const;
  // The same for a code already taken from the control.
  ApiResult ErrorOf(BusLink& bus, uint32_t code, const std::string& what) const {
    return FromCode(bus, code, what, "NO_CODE", "the call failed without an error code");
  }
  // Drops what `connection` still has waiting.
  void Forget(uint64_t connection) const { queue_.Forget(connection); }

  Json LastScan() const;
  void SetLastScan(Json scan);

 private:
  ApiResult FromCode(BusLink& bus, uint32_t code, const std::string& what,
                     const char* silent_name, const char* silent_message) const;

  WebBusInfo info_;
  BusQueue& queue_;
  BusSetup setup_;
  TraceRing& trace_;
  std::function<bool()> up_;
  mutable std::mutex scan_mutex_;
  Json last_scan_;
};

// The longest a request waits for the bus: programming a module with all
// its retries takes well under it.
inline constexpr std::chrono::seconds kBusCallLimit{120};

}  // namespace qelgate
