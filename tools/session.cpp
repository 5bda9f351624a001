#include "session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "args.h"
#include "format.h"
#include "virtual_bus.h"

namespace qelctl {
namespace {

// The big motor of the embedded virtual bus's default layout.
constexpr int kVirtualBigMotor = 2;

void Keep(double& slot, double v) {
  if (v != 0) slot = v;
}

}  // namespace

Session::Session(const GlobalOptions& options, std::ostream& out, std::ostream& err,
                 const RunEnv& env)
    : options_(options),
      out_(out),
      err_(err),
      env_(env),
      standard_factors_(qelcomm::registers::ExactFactorsOf(qelcomm::registers::kStandardFactors)),
      big_factors_(qelcomm::registers::ExactFactorsOf(qelcomm::registers::kBigFactors)) {
  if (options_.port_given && options_.port.empty()) {
    throw UsageError("--port is empty; name a device, or leave --port out for the embedded "
                     "virtual bus");
  }
  if (options_.port_given) CheckPortUrl(options_.port);
  if (IsVirtual()) {
    auto vp = env_.virtual_platform;
    if (!vp) {
      qelcomm::sim::BusConfig config = qelcomm::sim::BusConfig::Defaults();
      config.line.echo = options_.echo;  // --echo: the embedded bus echoes too
      vp = std::make_shared<qelcomm::VirtualPlatform>();
      vp->AddLine(env_.virtual_line, std::make_shared<qelcomm::sim::SimPeer>(config));
    }
    platform_ = vp;
    big_[kVirtualBigMotor] = true;
  } else {
    platform_ = qelcomm::NativePlatform();
  }
  ctrl_ = std::make_unique<qelcomm::CQelCommCtrl>(platform_);
  if (IsVirtual()) {
    ctrl_->SetPortName(env_.virtual_line);
  } else if (options_.port_given) {
    ctrl_->SetPortName(options_.port);
  } else {
    ctrl_->SetComPort(int16_t(options_.com));
  }
  ctrl_->SetBaud(options_.baud);
  ctrl_->SetRetries(int16_t(options_.retries));
  ctrl_->SetGrpSends(int16_t(options_.grp_sends));
  ctrl_->SetEcho(options_.echo);
  ctrl_->SetExtraWindowMs(uint32_t(options_.extra_window_ms));
  if (env_.interrupt) env_.interrupt->control.store(ctrl_.get());

  for (int a : options_.big) big_[uint8_t(a)] = true;
  for (int a : options_.standard) big_[uint8_t(a)] = false;
  for (int a = 0; a < 256; ++a) ctrl_->SetQELType(int16_t(a), big_[size_t(a)]);

  if (!options_.factors.empty()) SetFactors(false, ParseFactorList(options_.factors, "--factors"));
  if (!options_.factors_big.empty()) {
    SetFactors(true, ParseFactorList(options_.factors_big, "--factors-big"));
  }

  if (options_.trace) tracer_.emplace(err_, platform_->NowMs(), [this](int a) { return IsBig(a); });
  ctrl_->SetTrace([this](const qelcomm::TraceEvent& e) { OnTrace(e); });
}

Session::~Session() {
  if (env_.interrupt) env_.interrupt->control.store(nullptr);
}

void WriteWholeFile(const std::string& name, std::string_view data) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  bool ok = f != nullptr;
  int error = errno;
  if (ok && std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
    ok = false;
    error = errno;
  }
  if (f != nullptr && std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    throw UsageError("cannot write " + name + ": " + std::generic_category().message(error));
  }
}

void Session::OnTrace(const qelcomm::TraceEvent& e) {
  line_.Add(e);
  if (tracer_) (*tracer_)(e);
  if (on_send_ && e.direction == qelcomm::TraceEvent::Direction::Sent) on_send_();
}

std::string Session::PortLabel() const {
  if (IsVirtual()) return "the virtual bus '" + env_.virtual_line + "'";
  if (options_.port_given) return options_.port;
  const std::string device = platform_->DeviceNameForPort(int16_t(options_.com));
  return "port " + std::to_string(options_.com) + (device.empty() ? "" : " (" + device + ")");
}

void CheckPortUrl(const std::string& port) {
  const size_t sep = port.find("://");
  if (sep == std::string::npos) return;  // a device path
  const std::string scheme = port.substr(0, sep);
  const std::string url = "--port " + Quoted(port);
  if (scheme != "rfc2217" && scheme != "tcp") {
    throw UsageError(url + ": unknown scheme " + Quoted(scheme) +
                     "; the schemes are rfc2217:// and tcp://");
  }
  const std::string rest = port.substr(sep + 3);
  const size_t bracket = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  int64_t number = 0;
  if (colon == std::string::npos || colon == 0 ||
      (bracket != std::string::npos && colon < bracket)) {
    throw UsageError(url + " names no port: write " + scheme + "://HOST:PORT");
  }
  if (!ParseInteger(rest.substr(colon + 1), number) || number < 1 || number > 65535) {
    throw UsageError(url + ": " + Quoted(rest.substr(colon + 1)) +
                     " is not a port number in 1..65535");
  }
}

void Session::Open() {
  const std::string what = "opening " + PortLabel();
  const bool ok = ctrl_->OpenPort();
  const int32_t code = ctrl_->GetLastError();
  // The line settings are what a device refuses with "invalid parameter".
  if (!ok && uint32_t(code) == qelcomm::ERR_OS_INVALID_PARAMETER && !IsVirtual()) {
    Fail(code, what,
         "bit rate " + std::to_string(options_.baud) + " is not supported by " + PortLabel());
  }
  if (!ok) Fail(code, what);
  NewCall();
}

void Session::SetFactors(bool big, const std::array<double, 3>& f) {
  const auto single = [](double d) { return static_cast<float>(d); };
  if (big) {
    ctrl_->SetFactorsBig(single(f[0]), single(f[1]), single(f[2]));
  } else {
    ctrl_->SetFactors(single(f[0]), single(f[1]), single(f[2]));
  }
  // The control's rule, zero keeps a factor, on the tool's exact copies.
  auto& set = big ? big_factors_ : standard_factors_;
  Keep(set.position, f[0]);
  Keep(set.acceleration, f[1]);
  Keep(set.velocity, f[2]);
}

std::string Session::DescribeError(int32_t code) {
  return Described(code, Message(code));
}

std::string Session::Message(int32_t code) {
  return code == 0 ? "failed without an error code" : ctrl_->GetLastErrorStr(code);
}

std::string Session::Described(int32_t code, const std::string& message) const {
  const auto u = static_cast<uint32_t>(code);
  if (u == 0) return message;
  if (const char* name = qelcomm::ErrorName(u)) {
    return std::string(name) + " (" + Hex(u, 4) + "): " + message;
  }
  if (platform_->KindOf(u) == qelcomm::OsErrorKind::kHostNotFound) {
    return "host name lookup failed: " + message;
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
    NewCall();
    return;
  }
  Fail(code, what);
}

void Session::CheckModule(bool ok, const std::string& what) {
  if (ok) return Check(ok, what);
  const int32_t code = ctrl_->GetLastError();
  if (code != 0) Fail(code, what);
  Report(0, what, "the module did not answer", {}, kNoAnswerName);
}

std::string Session::Diagnosis(int32_t code) const {
  const qelcomm::WindowSetting window{options_.baud, uint32_t(options_.extra_window_ms)};
  qelcomm::CallSetting setting;
  setting.echo = options_.echo;
  setting.window = window;
  if (!IsVirtual()) {
    setting.port = options_.port_given ? options_.port
                                       : platform_->DeviceNameForPort(int16_t(options_.com));
    setting.os_error = platform_->KindOf(uint32_t(code));
  }
  return qelcomm::Diagnose(line_, uint32_t(code), setting);
}

void Session::Fail(int32_t code, const std::string& what, const std::string& note) {
  Report(code, what, Message(code), note.empty() ? Diagnosis(code) : note);
}

nlohmann::ordered_json Session::ErrorJson(int32_t code, const std::string& what,
                                          const std::string& message,
                                          const std::string& diagnosis,
                                          const char* name_without_code) {
  const auto u = static_cast<uint32_t>(code);
  // A failure without a code of the control's still has a name to test for.
  const char* name = u == 0 ? name_without_code : qelcomm::ErrorName(u);
  nlohmann::ordered_json e = {{"code", u == 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(u)},
                              {"name", name ? nlohmann::ordered_json(name) : nullptr},
                              {"message", message},
                              {"what", what}};
  if (!diagnosis.empty()) e["diagnosis"] = diagnosis;
  return e;
}

void PrintUsageErrorJson(std::ostream& out, const std::string& message) {
  const nlohmann::ordered_json doc = {
      {"error", {{"code", nullptr}, {"name", "USAGE"}, {"message", message}}}};
  out << doc.dump(2) << '\n' << std::flush;
}

void Session::Report(int32_t code, const std::string& what, const std::string& message,
                     const std::string& diagnosis, const char* name_without_code) {
  if (env_.err_is_tty) err_ << "\r\x1b[K";  // wipe a progress line
  err_ << "qelctl: " << what << ": " << Described(code, message) << '\n';
  if (!diagnosis.empty()) err_ << "qelctl: " << diagnosis << '\n';
  if (json()) {
    nlohmann::ordered_json doc = partial_.is_object() ? partial_ : nlohmann::ordered_json::object();
    doc["error"] = ErrorJson(code, what, message, diagnosis, name_without_code);
    PrintJson(doc, streamed_);
  }
  NewCall();
  throw DeviceFailure{};
}

bool Session::Pause(uint32_t ms) {
  constexpr uint32_t kSliceMs = 100;
  for (uint32_t left = ms; left > 0 && !Interrupted();) {
    const uint32_t step = std::min(left, kSliceMs);
    platform_->SleepMs(step);
    if (IsVirtual() && env_.out_is_tty) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
    left -= step;
  }
  return !Interrupted();
}

Session::Judged Session::Judge(int32_t code, const std::string& what) {
  const std::string message = Message(code);
  const std::string diagnosis = Diagnosis(code);
  Judged j{Described(code, message), ErrorJson(code, what, message, diagnosis)};
  if (!diagnosis.empty()) j.text += "; " + diagnosis;
  NewCall();
  return j;
}

void Session::PrintJson(const nlohmann::ordered_json& j, bool compact) {
  streamed_ = streamed_ || compact;
  out_ << (compact ? j.dump() : j.dump(2)) << '\n' << std::flush;
}

}  // namespace qelctl
