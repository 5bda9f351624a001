// The routes that watch the bus: its telegrams, and registers sampled
// in the gateway for a live plot.
#include <algorithm>
#include <cmath>
#include <charconv>
#include <thread>

#include "event_queue.h"
#include "qelcomm/telegram_text.h"
#include "web_registers.h"
#include "web_routes.h"

namespace qelgate {
namespace reg = qelcomm::registers;

namespace {

using Clock = std::chrono::steady_clock;
// How often an idle stream looks whether its client or the server has gone,
// sending a keep-alive comment.
constexpr auto kKeepAlive = std::chrono::milliseconds(200);
constexpr size_t kMaxSignals = 8;
constexpr int kMaxPeriodMs = 10000;
// Samples held for a client that reads slowly: minutes at the fastest pace.
constexpr size_t kMaxBuffered = 100000;
// Jobs a sampler keeps queued, so that the bus never waits for the next.
constexpr int kAhead = 2;
// A full queue is tried again after this, not at once.
constexpr auto kFullQueueRetry = std::chrono::milliseconds(10);

Json TelegramJson(const TraceEntry& e) {
  using Direction = qelcomm::TraceEvent::Direction;
  const bool tx = e.direction == Direction::Sent;
  Json j = {{"t", e.t_ms},
            {"dir", tx ? "tx" : "rx"},
            {"bytes", HexBytes(e.bytes)},
            {"text", e.text},
            {"address", e.address < 0 ? Json() : Json(e.address)}};
  if (e.direction == Direction::Discarded) j["kind"] = "discarded";
  if (e.direction == Direction::Echoed) j["kind"] = "echo";
  return j;
}

struct Signal {
  int address = 0;
  reg::Register reg;
};

// "1:P_IST,2:12": motor address and register, by name or number.
bool ParseSignals(const WebBus& bus, const std::string& text, std::vector<Signal>& out,
                  ApiResult& error) {
  size_t at = 0;
  while (at <= text.size()) {
    const size_t end = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, end - at);
    const size_t colon = item.find(':');
    int address = 0;
    const char* last = item.data() + (colon == std::string::npos ? 0 : colon);
    const auto [ptr, ec] = std::from_chars(item.data(), last, address);
    if (colon == std::string::npos || ec != std::errc() || ptr != last || address < 1 ||
        address > 255) {
      error = BadRequest("signal '" + item + "' is not ADDRESS:REGISTER");
      return false;
    }
    const auto r = FindRegister(bus.Big(address), item.substr(colon + 1));
    if (!r) {
      error = WebError(400, "UNKNOWN_REGISTER", "signal '" + item + "' names no register");
      return false;
    }
    out.push_back({address, *r});
    if (out.size() > kMaxSignals) {
      error = BadRequest("a plot takes at most 8 signals");
      return false;
    }
    at = end + 1;
  }
  return true;
}

// Queues one job per period that reads every signal; the jobs put their
// samples in `samples`, which the stream sends.
class Sampler : public std::enable_shared_from_this<Sampler> {
 public:
  Sampler(WebBus& bus, std::vector<Signal> signals, int period_ms)
      : bus_(bus), signals_(std::move(signals)), period_(period_ms), samples_(kMaxBuffered) {}

  void Start() {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  }
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    bus_.Forget(connection_);
  }
  EventQueue& samples() { return samples_; }

 private:
  void Run() {
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stop_) {
      changed_.wait_until(lock, next, [&] { return stop_; });
      if (stop_) break;
      changed_.wait(lock, [&] { return stop_ || in_flight_ < kAhead; });
      if (stop_) break;
      next = std::max(next + period_, Clock::now());
      ++in_flight_;
      lock.unlock();
      const bool queued = bus_.Post(connection_, [self = shared_from_this()](BusLink& link) {
        self->Sample(link);
      });
      lock.lock();
      if (!queued) {  // the queue is full: this period has no sample
        --in_flight_;
        next = std::max(next, Clock::now() + kFullQueueRetry);
      }
    }
  }

  // On the bus thread.
  void Sample(BusLink& link) {
    const double t = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    Json values = Json::array();
    for (const Signal& s : signals_) {
      int32_t raw = 0;
      link.BeginCall();
      if (link.ctrl().ReadParameter(int16_t(s.address), s.reg.number, raw)) {
        values.push_back(raw);
      } else {
        values.push_back(nullptr);
        if (IsLineFailure(uint32_t(link.ctrl().GetLastError()))) link.NoteLineLost();
      }
    }
    samples_.Push("sample", {{"t", std::round(t * 100) / 100}, {"values", std::move(values)}});
    {
      std::lock_guard lock(mutex_);
      --in_flight_;
    }
    changed_.notify_all();
  }

  WebBus& bus_;
  const std::vector<Signal> signals_;
  const std::chrono::milliseconds period_;
  const uint64_t connection_ = StreamConnection();
  const Clock::time_point start_ = Clock::now();
  EventQueue samples_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int in_flight_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

HttpResponse Trace(Route& r) {
  return StreamAnswer(r.stream_slot, [&bus = r.bus](EventSink& sink) {
    uint64_t seen = 0;
    for (;;) {
      const std::vector<TraceEntry> got = bus.trace().After(seen, kKeepAlive);
      if (got.empty() && !sink.KeepAlive()) return;
      for (const TraceEntry& e : got) {
        if (!sink.Send("telegram", TelegramJson(e))) return;
        seen = e.seq;
      }
    }
  });
}

HttpResponse Plot(Route& r) {
  const std::string period_text = r.rq.Param("period_ms");
  int period = 100;
  if (!period_text.empty()) {
    const char* end = period_text.data() + period_text.size();
    const auto [ptr, ec] = std::from_chars(period_text.data(), end, period);
    if (ec != std::errc() || ptr != end || period < 0 || period > kMaxPeriodMs) {
      return Answer(BadRequest("period_ms is a whole number 0..10000 (0: as fast as the bus goes)"));
    }
  }
  std::vector<Signal> signals;
  ApiResult error;
  if (r.rq.Param("signals").empty()) return Answer(BadRequest("signals=ADDRESS:REGISTER,... is missing"));
  if (!ParseSignals(r.bus, r.rq.Param("signals"), signals, error)) return Answer(error);
  Json start = {{"period_ms", period}, {"signals", Json::array()}};
  for (const Signal& s : signals) {
    start["signals"].push_back({{"address", s.address},
                                {"register", s.reg.name.empty() ? std::to_string(s.reg.number) : s.reg.name},
                                {"number", s.reg.number},
                                {"name", s.reg.name.empty() ? Json() : Json(s.reg.name)},
                                {"unit_kind", reg::ScaleClassName(s.reg.info.Scaling)}});
  }
  auto sampler = std::make_shared<Sampler>(r.bus, std::move(signals), period);
  return StreamAnswer(r.stream_slot, [sampler, start](EventSink& sink) {
    if (!sink.Send("start", start)) return;
    sampler->Start();
    for (bool open = true; open;) {
      bool closed = false;
      const auto got = sampler->samples().Take(kKeepAlive, closed);
      if (got.empty()) open = sink.KeepAlive();
      for (const auto& e : got) {
        if (!(open = sink.Send(e.name, e.data))) break;
      }
    }
    sampler->Stop();
  });
}

}  // namespace qelgate
