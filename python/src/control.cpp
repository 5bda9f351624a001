#include "control.h"

namespace qelcomm::python {
namespace {

const char* DirectionName(TraceEvent::Direction d) {
  switch (d) {
    case TraceEvent::Direction::Sent:
      return "sent";
    case TraceEvent::Direction::Received:
      return "received";
    case TraceEvent::Direction::Discarded:
      return "discarded";
    case TraceEvent::Direction::Echoed:
      return "echoed";
  }
  return "?";
}

}  // namespace

TraceRelay::~TraceRelay() {
  py::gil_scoped_acquire gil;
  callback = py::object();
}

void TraceRelay::operator()(const TraceEvent& event) {
  py::gil_scoped_acquire gil;
  if (error.Pending()) return;
  try {
    py::bytes data(reinterpret_cast<const char*>(event.data), event.size);
    callback(DirectionName(event.direction), event.time_ms, data);
  } catch (...) {
    error.Capture();
  }
}

ProgramProgressCallback ProgressRelay::Callback() {
  if (callback_.is_none()) return {};
  return [this](const ProgramProgress& progress) {
    py::gil_scoped_acquire gil;
    if (error_.Pending()) return;
    try {
      callback_(progress);
    } catch (...) {
      error_.Capture();
    }
  };
}

Control::Control()
    : platform_(NativePlatform()),
      mutex_(std::make_shared<std::recursive_mutex>()),
      ctrl_(std::make_unique<CQelCommCtrl>(platform_)) {
  InstallTrace(*ctrl_, nullptr);
}

Control::Control(const VirtualBus& bus)
    : platform_(bus.platform), mutex_(bus.mutex), ctrl_(std::make_unique<CQelCommCtrl>(platform_)) {
  ctrl_->SetComPort(VirtualBus::kComPort);
  ctrl_->SetQELType(VirtualBus::kBigMotor, true);
  InstallTrace(*ctrl_, nullptr);
}

void Control::SetTrace(py::object callback) {
  std::shared_ptr<TraceRelay> relay;
  if (!callback.is_none()) relay = std::make_shared<TraceRelay>(std::move(callback));
  Run([&](CQelCommCtrl& ctrl) {
    trace_ = relay;
    InstallTrace(ctrl, relay);
  });
}

void Control::InstallTrace(CQelCommCtrl& ctrl, std::shared_ptr<TraceRelay> relay) {
  ctrl.SetTrace([log = log_, relay = std::move(relay)](const TraceEvent& e) {
    if (std::exchange(log->fresh, false)) log->line.Clear();
    log->line.Add(e);
    if (relay) (*relay)(e);
  });
}

std::string Control::Diagnosis(uint32_t code) {
  return Run([&](CQelCommCtrl& ctrl) {
    // The hints name the settings of qelcomm.open().
    const WindowSetting window{ctrl.Baud(), ctrl.ExtraWindowMs(), "open(..., extra_window_ms=)"};
    CallSetting setting;
    setting.echo = ctrl.Echo();
    setting.terms = {"open(..., echo=True)", "open(..., baud=...)", "big="};
    setting.window = window;
    setting.port = ctrl.PortName().empty() ? platform_->DeviceNameForPort(ctrl.ComPort())
                                           : ctrl.PortName();
    setting.os_error = platform_->KindOf(code);
    return Diagnose(log_->line, code, setting);
  });
}

std::string Control::WidthNote(int address) {
  return Run([&](CQelCommCtrl&) {
    return CheckWidth(log_->line, address, {"open(..., echo=True)", "open(..., baud=...)", "big="});
  });
}

std::exception_ptr Control::TakeTraceError() { return trace_ ? trace_->error.Take() : nullptr; }

}  // namespace qelcomm::python
