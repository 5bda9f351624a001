// The control as Python sees it: a CQelCommCtrl plus the lock and the
// callback plumbing that make it safe to call with the GIL released.
//
// Every call releases the GIL, then takes the control's lock (the bus's lock
// on the virtual bus), so a second Python thread keeps running during a
// wait, and two threads calling one control are serialised instead of
// racing. The callbacks re-acquire the GIL. An exception raised by a Python
// callback cannot unwind through the control: it is kept, later events of
// that call are not delivered, and it is raised once the call has returned.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "bus_object.h"
#include "interrupt.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/diagnosis.h"

namespace qelcomm::python {

namespace py = pybind11;

// The first exception thrown by a Python callback during one call.
class DeferredError {
 public:
  void Capture() {
    if (!error_) error_ = std::current_exception();
  }
  bool Pending() const { return static_cast<bool>(error_); }
  std::exception_ptr Take() { return std::exchange(error_, nullptr); }
  // With the GIL held.
  void RaiseIfPending() {
    if (auto e = Take()) std::rethrow_exception(e);
  }

 private:
  std::exception_ptr error_;
};

// The trace callback, owned by the C++ control's trace function.
struct TraceRelay {
  explicit TraceRelay(py::object cb) : callback(std::move(cb)) {}
  ~TraceRelay();  // drops the Python callable under the GIL
  void operator()(const TraceEvent& event);

  py::object callback;
  DeferredError error;  // guarded by the control's lock
};

// Delivers VemoProgram's progress events to a Python callable for one call.
class ProgressRelay {
 public:
  explicit ProgressRelay(py::handle callback) : callback_(callback) {}
  ProgramProgressCallback Callback();  // empty when no callable was given
  void RaiseIfPending() { error_.RaiseIfPending(); }

 private:
  py::handle callback_;  // kept alive by the caller's argument
  DeferredError error_;
};

// What the line did during the last call that used it, for the one-line
// diagnosis of its failure. Calls that send nothing (GetLastError) keep it.
struct CallLog {
  LineLog line;
  bool fresh = true;  // the next trace event starts a new call's record
};

class Control {
 public:
  Control();  // the host's serial ports
  explicit Control(const VirtualBus& bus);

  // Runs f(ctrl) without the GIL and under the lock, then raises what a
  // trace callback threw during it.
  template <class F>
  auto Run(F&& f) {
    using Result = std::invoke_result_t<F&, CQelCommCtrl&>;
    std::exception_ptr trace_error;
    CancelOnInterrupt interruptible(*ctrl_);
    RaiseInterrupt();  // a Ctrl-C from just before the call
    auto call = [&]() -> Result {
      py::gil_scoped_release nogil;
      std::lock_guard lock(*mutex_);
      log_->fresh = true;
      struct TakeTraceError {
        Control& self;
        std::exception_ptr& out;
        ~TakeTraceError() { out = self.TakeTraceError(); }
      } take{*this, trace_error};
      return f(*ctrl_);
    };
    if constexpr (std::is_void_v<Result>) {
      call();
      RaiseInterrupt();
      if (trace_error) std::rethrow_exception(trace_error);
    } else {
      Result result = call();
      RaiseInterrupt();
      if (trace_error) std::rethrow_exception(trace_error);
      return result;
    }
  }
  // Raises KeyboardInterrupt (or what Python's SIGINT handler raises) when
  // Ctrl-C was pressed; with the GIL held.
  static void RaiseInterrupt() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }

  // Without the lock, which the call being cancelled holds.
  void Cancel() { ctrl_->Cancel(); }
  // None switches the trace off.
  void SetTrace(py::object callback);
  // Why the last call that used the line failed with `code`, in one line
  // (qelcomm's diagnosis), or empty.
  std::string Diagnosis(uint32_t code);
  // After a read of a 16-bit register at `address`: a note when the reply
  // carried the high bytes a big motor sends, or empty.
  std::string WidthNote(int address);

 private:
  std::exception_ptr TakeTraceError();  // under the lock
  // The control's trace: the call log, then the Python callback if any.
  void InstallTrace(CQelCommCtrl& ctrl, std::shared_ptr<TraceRelay> relay);

  std::shared_ptr<Platform> platform_;
  std::shared_ptr<std::recursive_mutex> mutex_;
  std::unique_ptr<CQelCommCtrl> ctrl_;
  std::shared_ptr<TraceRelay> trace_;  // guarded by the lock
  std::shared_ptr<CallLog> log_ = std::make_shared<CallLog>();  // guarded by the lock
};

}  // namespace qelcomm::python
