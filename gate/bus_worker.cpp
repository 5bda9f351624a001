#include "bus_worker.h"

#include "qelcomm/virtual_port.h"
#include "virtual_bus.h"

namespace qelgate {
namespace {

constexpr auto kMaxBackoff = std::chrono::milliseconds(5000);
constexpr auto kIdlePoll = std::chrono::milliseconds(200);
const char* const kVirtualLine = "virtual";

}  // namespace

qelcomm::CallSetting CallSettingFor(const LineConfig& line, uint32_t code) {
  static const std::shared_ptr<qelcomm::Platform> native = qelcomm::NativePlatform();
  qelcomm::CallSetting setting;
  setting.echo = line.echo;
  setting.window =
      qelcomm::WindowSetting{line.baud, line.extra_window_ms, "--extra-window-ms"};
  if (!line.port.empty()) {
    setting.port = line.port;
    setting.os_error = native->KindOf(code);
  }
  return setting;
}

BusWorker::BusWorker(const LineConfig& line, const BusSetup& setup, BusQueue& queue, Done done,
                     Log log)
    : line_(line), setup_(setup), queue_(queue), done_(std::move(done)), log_(std::move(log)) {
  if (line_.port.empty()) {
    auto platform = std::make_shared<qelcomm::VirtualPlatform>();
    auto config = qelcomm::sim::BusConfig::Defaults();
    config.line.echo = line_.echo;
    platform->AddLine(kVirtualLine, std::make_shared<qelcomm::sim::SimPeer>(config));
    ctrl_ = std::make_unique<qelcomm::CQelCommCtrl>(platform);
    ctrl_->SetPortName(kVirtualLine);
  } else {
    ctrl_ = std::make_unique<qelcomm::CQelCommCtrl>();
    ctrl_->SetPortName(line_.port);
  }
  ctrl_->SetBaud(line_.baud);
  ctrl_->SetRetries(line_.retries);
  ctrl_->SetEcho(line_.echo);
  ctrl_->SetExtraWindowMs(line_.extra_window_ms);
}

BusWorker::~BusWorker() { Stop(); }

void BusWorker::Start() { thread_ = std::thread([this] { Run(); }); }

void BusWorker::Stop() {
  queue_.Close();
  ctrl_->Cancel();  // ends the exchange in progress at once
  if (thread_.joinable()) thread_.join();
}

// Opens the line when it is down and its next attempt is due.
bool BusWorker::LineUp(BusLink& bus) {
  if (up_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_try_) return false;
  ctrl_->ClosePort();
  bus.BeginCall();
  up_ = ctrl_->OpenPort();
  const int32_t code = ctrl_->GetLastError();
  if (up_) {
    backoff_ = std::chrono::milliseconds(100);
    log_("line " + (line_.port.empty() ? std::string("(virtual bus)") : line_.port) + " open");
  } else {
    const std::string why =
        qelcomm::Diagnose(bus.log(), uint32_t(code), CallSettingFor(line_, uint32_t(code)));
    log_("cannot open " + line_.port + ": " + ctrl_->GetLastErrorStr(code) +
         (why.empty() ? "" : " (" + why + ")") + "; retrying in " +
         std::to_string(backoff_.count()) + " ms");
    next_try_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(kMaxBackoff));
  }
  return up_;
}

// A task runs even while the line is down: its calls then fail at once
// with the port closed, which it reports in its own terms.
void BusWorker::Carry(BusLink& bus, Job& job) {
  if (job.task) {
    LineUp(bus);
    job.task(bus);
    if (bus.TakeLineLost() && up_) {
      up_ = false;
      log_("line lost: " + line_.port);
    }
    return;
  }
  if (!LineUp(bus)) {
    job.reply = Reply{};
    job.reply.exception = exception::kLineDown;
  } else {
    job.reply = bus.Serve(job.request);
    if (job.reply.line_down) {
      up_ = false;
      log_("line lost: " + line_.port);
    }
  }
  done_(std::move(job));
}

void BusWorker::Run() {
  BusLink bus(*ctrl_, setup_);
  if (trace_) bus.SetObserver([t = trace_](const qelcomm::TraceEvent& e) { t->Add(e); });
  LineUp(bus);
  for (;;) {
    std::optional<Job> job = queue_.Pop(kIdlePoll);
    if (!job) {
      if (queue_.closed()) break;
      LineUp(bus);  // idle: a lost line is retried meanwhile
      continue;
    }
    Carry(bus, *job);
    if (trace_) trace_->EndCall();
  }
  ctrl_->ClosePort();
  ended_ = true;
}

}  // namespace qelgate
