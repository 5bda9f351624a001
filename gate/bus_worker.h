// The one thread that owns a bus's control: it opens the line, takes jobs
// from the queue in turn, carries each out, and hands it back. A lost line
// is reopened with backoff; until then requests get exception 0A.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bus_queue.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/diagnosis.h"
#include "serve.h"
#include "trace_ring.h"

namespace qelgate {

struct LineConfig {
  std::string port;  // empty: the embedded virtual bus
  int32_t baud = 19200;
  int16_t retries = 5;
  bool echo = false;
  uint32_t extra_window_ms = 0;  // widens every reply window
};

// How a call on this line was made, for the diagnosis of its failure: the
// timing, the echo, and for a real line its name and what the OS error
// means (a busy device, an unknown host, a server that is no RFC 2217 one).
qelcomm::CallSetting CallSettingFor(const LineConfig& line, uint32_t code);

class BusWorker {
 public:
  using Done = std::function<void(Job)>;
  using Log = std::function<void(const std::string&)>;
  BusWorker(const LineConfig& line, const BusSetup& setup, BusQueue& queue, Done done, Log log);
  ~BusWorker();  // closes the queue and joins the thread

  // Every telegram of the line also goes to `trace`; before Start.
  void SetTrace(TraceRing* trace) { trace_ = trace; }
  void Start();
  void Stop();
  // Whether the thread has ended (after Stop, once its exchange is over).
  bool Ended() const { return ended_; }
  // Whether the line is open, as far as the last exchange knows.
  bool Up() const { return up_; }

 private:
  void Run();
  bool LineUp(BusLink& bus);
  void Carry(BusLink& bus, Job& job);

  LineConfig line_;
  BusSetup setup_;
  BusQueue& queue_;
  Done done_;
  Log log_;
  std::unique_ptr<qelcomm::CQelCommCtrl> ctrl_;
  std::thread thread_;
  TraceRing* trace_ = nullptr;
  std::atomic<bool> ended_{false};
  std::atomic<bool> up_{false};
  std::chrono::steady_clock::time_point next_try_{};
  std::chrono::milliseconds backoff_{100};
};

}  // namespace qelgate
