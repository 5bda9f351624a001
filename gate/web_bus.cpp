#include "web_bus.h"

#include <atomic>
#include <future>
#include <memory>

#include "qelcomm/diagnosis.h"
#include "qelcomm/errors.h"
#include "qelcomm/protocol.h"

namespace qelgate {
namespace {

// Modbus connections count up from 1; web clients use the upper half.
constexpr uint64_t kClientBase = uint64_t{1} << 62;
constexpr uint64_t kStreamBase = uint64_t{3} << 62;
constexpr uint64_t kClientSlots = uint64_t{1} << 40;

// A register read on the wire, request and reply at 10 bits a byte: the
// bus's pace, which no plot period can beat.
double ReadWireMs(int32_t baud) {
  constexpr size_t kReadRequestSize = 9;
  const size_t bytes = kReadRequestSize + qelcomm::protocol::kReadReplySize;
  return baud > 0 ? double(bytes) * 10 * 1000 / baud : 0;
}

}  // namespace

uint64_t ClientConnection(std::string_view client) {
  return kClientBase + std::hash<std::string_view>{}(client) % kClientSlots;
}

uint64_t StreamConnection() {
  static std::atomic<uint64_t> next{0};
  return kStreamBase + next++;
}

WebBus::WebBus(WebBusInfo info, BusQueue& queue, const BusSetup& setup, TraceRing& trace,
               std::function<bool()> up)
    : info_(std::move(info)), queue_(queue), setup_(setup), trace_(trace), up_(std::move(up)) {}

Json WebBus::Describe() const {
  const LineConfig& l = info_.line;
  return {{"name", info_.name},
          {"port", l.port.empty() ? "virtual" : l.port},
          {"baud", l.baud},
          {"retries", l.retries},
          {"echo", l.echo},
          {"extra_window_ms", l.extra_window_ms},
          {"read_ms", ReadWireMs(l.baud)},
          {"up", up_ ? up_() : false},
          {"modbus", info_.modbus},
          {"queue", queue_.size()},
          {"writable", setup_.writable}};
}

bool WebBus::Post(uint64_t connection, std::function<void(BusLink&)> task) const {
  Job job;
  job.connection = connection;
  job.task = std::move(task);
  return queue_.Push(std::move(job));
}

ApiResult WebBus::Call(uint64_t connection, Task task) const {
  auto promise = std::make_shared<std::promise<ApiResult>>();
  std::future<ApiResult> answer = promise->get_future();
  const bool queued = Post(connection, [promise, task = std::move(task)](BusLink& bus) {
    try {
      promise->set_value(task(bus));
    } catch (const std::exception& e) {
      promise->set_value(WebError(500, "INTERNAL", e.what()));
    }
  });
  if (!queued) return WebError(503, "BUSY", "the bus has too many requests waiting; try again");
  if (answer.wait_for(kBusCallLimit) != std::future_status::ready) {
    return WebError(504, "BUS_TIMEOUT", "the bus did not carry out the request in time");
  }
  try {
    return answer.get();
  } catch (const std::future_error&) {  // dropped unrun: the gateway is stopping
    return WebError(503, "STOPPING", "the gateway is stopping");
  }
}

ApiResult WebBus::Failed(BusLink& bus, const std::string& what) const {
  return FromCode(bus, uint32_t(bus.ctrl().GetLastError()), what, "NO_CODE",
                  "the call failed without an error code");
}

ApiResult WebBus::ModuleFailed(BusLink& bus, const std::string& what) const {
  return FromCode(bus, uint32_t(bus.ctrl().GetLastError()), what, "NO_ANSWER",
                  "the module did not answer");
}

ApiResult WebBus::FromCode(BusLink& bus, uint32_t code, const std::string& what,
                           const char* silent_name, const char* silent_message) const {
  const char* name = code == 0 ? silent_name : qelcomm::ErrorName(code);
  Json e = {{"code", code == 0 ? Json() : Json(code)},
            {"name", name ? Json(name) : Json()},
            {"message", code == 0 ? std::string(silent_message)
                                  : bus.ctrl().GetLastErrorStr(int32_t(code))},
            {"what", what}};
  if (const std::string d = qelcomm::Diagnose(bus.log(), code, CallSettingFor(info_.line, code));
      !d.empty()) {
    e["diagnosis"] = d;
  }
  const bool lost = IsLineFailure(code);
  if (lost) bus.NoteLineLost();
  return {lost ? 503 : 502, {{"error", std::move(e)}}};
}

Json WebBus::LastScan() const {
  std::lock_guard lock(scan_mutex_);
  return last_scan_;
}

void WebBus::SetLastScan(Json scan) {
  std::lock_guard lock(scan_mutex_);
  last_scan_ = std::move(scan);
}

}  // namespace qelgate
