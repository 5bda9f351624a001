// Carries out one Modbus request as exchanges on a control: the map's rows
// turned into the control's calls, and their failures into exception codes.
// Portable: runs on the embedded virtual bus as on a real line.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/catalogue.h"
#include "qelcomm/diagnosis.h"
#include "request.h"

namespace qelgate {

// What one bus serves, and how.
struct BusSetup {
  std::array<bool, 256> big{};  // motor addresses marked big
  qelcomm::registers::ExactFactors standard =
      qelcomm::registers::ExactFactorsOf(qelcomm::registers::kStandardFactors);
  qelcomm::registers::ExactFactors big_factors =
      qelcomm::registers::ExactFactorsOf(qelcomm::registers::kBigFactors);
  bool writable = true;
  bool write_protected = false;  // allow writes to read-only and identity registers
};

// A control with the trace of its current call, which tells silence from
// other failures.
class BusLink {
 public:
  // Takes over the control's trace callback until destroyed.
  BusLink(qelcomm::CQelCommCtrl& ctrl, const BusSetup& setup);
  ~BusLink();
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;
  Reply Serve(const Request& request);

  qelcomm::CQelCommCtrl& ctrl() { return ctrl_; }
  const BusSetup& setup() const { return setup_; }
  // Called before each exchange; the log then holds that exchange's bytes.
  void BeginCall();
  // The exception for a call that returned false.
  uint8_t Failure(Reply& reply);
  // What the line showed since BeginCall, for a diagnosis.
  const qelcomm::LineLog& log() const { return log_; }
  // Also shown every telegram, e.g. for a trace others watch.
  void SetObserver(qelcomm::TraceCallback observer) { observer_ = std::move(observer); }
  // A task that found the line gone says so; the bus thread reopens it.
  void NoteLineLost() { line_lost_ = true; }
  bool TakeLineLost() { return std::exchange(line_lost_, false); }

 private:
  qelcomm::CQelCommCtrl& ctrl_;
  BusSetup setup_;
  qelcomm::LineLog log_;
  qelcomm::TraceCallback observer_;
  bool line_lost_ = false;
};

// Whether a failure with `code` means the line itself is gone (the port
// closed or an operating-system error), not a motor's failure.
bool IsLineFailure(uint32_t code);

}  // namespace qelgate
