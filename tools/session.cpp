#include "session.h"

#include <chrono>
#include <thread>

#include "args.h"
#include "format.h"
#include "virtual_bus.h"

namespace qelctl {
namespace {

// The big motor of the embedded virtual bus's default layout.
constexpr int kVirtualBigMotor = 2;

// "POS,ACC,VEL", each a finite number.
std::array<float, 3> ParseFactorList(const std::string& text, const char* option) {
  std::array<float, 3> f{};
  size_t start = 0;
  for (size_t i = 0; i < 3; ++i) {
    const size_t comma = text.find(',', start);
    const bool last = i == 2;
    if (last != (comma == std::string::npos)) {
      throw UsageError(std::string(option) + " wants POS,ACC,VEL, got '" + text + "'");
    }
    const std::string part = text.substr(start, last ? std::string::npos : comma - start);
    double d = 0;
    if (!ParseNumber(part, d)) {
      throw UsageError(std::string(option) + ": '" + part + "' is not a number");
    }
    f[i] = static_cast<float>(d);
    start = comma + 1;
  }
  return f;
}

}  // namespace

Session::Session(const GlobalOptions& options, std::ostream& out, std::ostream& err,
                 const RunEnv& env)
    : options_(options), out_(out), err_(err), env_(env) {
  if (IsVirtual()) {
    auto vp = env_.virtual_platform;
    if (!vp) {
      vp = std::make_shared<qelcomm::VirtualPlatform>();
      vp->AddLine(env_.virtual_line, std::make_shared<qelcomm::sim::SimPeer>());
    }
    platform_ = vp;
    big_[kVirtualBigMotor] = true;
  } else {
    platform_ = qelcomm::NativePlatform();
  }
  ctrl_ = std::make_unique<qelcomm::CQelCommCtrl>(platform_);
  if (IsVirtual()) {
    ctrl_->SetPortName(env_.virtual_line);
  } else if (!options_.port.empty()) {
    ctrl_->SetPortName(options_.port);
  } else {
    ctrl_->SetComPort(int16_t(options_.com));
  }
  ctrl_->SetBaud(options_.baud);
  ctrl_->SetRetries(int16_t(options_.retries));
  ctrl_->SetGrpSends(int16_t(options_.grp_sends));

  for (int a : options_.big) big_[uint8_t(a)] = true;
  for (int a : options_.standard) big_[uint8_t(a)] = false;
  for (int a = 0; a < 256; ++a) ctrl_->SetQELType(int16_t(a), big_[size_t(a)]);

  if (!options_.factors.empty()) {
    auto f = ParseFactorList(options_.factors, "--factors");
    SetFactors(false, f[0], f[1], f[2]);
  }
  if (!options_.factors_big.empty()) {
    auto f = ParseFactorList(options_.factors_big, "--factors-big");
    SetFactors(true, f[0], f[1], f[2]);
  }

  if (options_.trace) tracer_.emplace(err_, platform_->NowMs(), [this](int a) { return IsBig(a); });
  if (options_.trace || env_.err_is_tty) {
    ctrl_->SetTrace([this](const qelcomm::TraceEvent& e) { OnTrace(e); });
  }
}

Session::~Session() = default;

void Session::OnTrace(const qelcomm::TraceEvent& e) {
  if (tracer_) (*tracer_)(e);
  if (on_send_ && e.direction == qelcomm::TraceEvent::Direction::Sent) on_send_();
}

std::string Session::PortLabel() const {
  if (IsVirtual()) return "the virtual bus '" + env_.virtual_line + "'";
  if (!options_.port.empty()) return options_.port;
  const std::string device = platform_->DeviceNameForPort(int16_t(options_.com));
  return "port " + std::to_string(options_.com) + (device.empty() ? "" : " (" + device + ")");
}

void Session::Open() { Check(ctrl_->OpenPort(), "opening " + PortLabel()); }

void Session::SetFactors(bool big, float position, float acceleration, float velocity) {
  if (big) {
    ctrl_->SetFactorsBig(position, acceleration, velocity);
  } else {
    ctrl_->SetFactors(position, acceleration, velocity);
  }
  // Mirrors the control's rule so that values can be range-checked and the
  // effective sets shown.
  qelcomm::registers::UpdateFactors(big ? big_factors_ : standard_factors_, position, acceleration,
                                    velocity);
}

std::string Session::DescribeError(int32_t code) {
  const auto u = static_cast<uint32_t>(code);
  if (u == 0) return "failed without an error code";
  const std::string message = ctrl_->GetLastErrorStr(code);
  if (const char* name = qelcomm::ErrorName(u)) {
    return std::string(name) + " (" + Hex(u, 4) + "): " + message;
  }
  return "OS error " + std::to_string(u) + ": " + message;
}

void Session::Check(bool ok, const std::string& what) {
  const int32_t code = ctrl_->GetLastError();
  if (ok) {
    if (code != 0 && options_.trace) {
      err_ << "qelctl: note: " << what << " succeeded after a failed attempt ("
           << DescribeError(code) << ")\n";
    }
    return;
  }
  Fail(code, what);
}

void Session::CheckModule(bool ok, const std::string& what) {
  if (ok) return Check(ok, what);
  const int32_t code = ctrl_->GetLastError();
  if (code != 0) Fail(code, what);
  if (env_.err_is_tty) err_ << "\r\x1b[K";
  err_ << "qelctl: " << what << ": the module did not answer\n";
  throw DeviceFailure{};
}

void Session::Fail(int32_t code, const std::string& what) {
  if (env_.err_is_tty) err_ << "\r\x1b[K";  // wipe a progress line
  err_ << "qelctl: " << what << ": " << DescribeError(code) << '\n';
  throw DeviceFailure{};
}

void Session::Pause(uint32_t ms) {
  platform_->SleepMs(ms);
  if (IsVirtual() && env_.out_is_tty) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Session::PrintJson(const nlohmann::ordered_json& j, bool compact) {
  out_ << (compact ? j.dump() : j.dump(2)) << '\n' << std::flush;
}

}  // namespace qelctl
