// One run of qelctl: the global options, the control and its platform (a
// real port or the embedded virtual bus), and the output conventions every
// command shares.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"
#include "qelctl.h"
#include "registers/scaling.h"
#include "trace.h"

namespace qelctl {

struct GlobalOptions {
  std::string port;
  int com = 0;
  int baud = 19200;
  int retries = 5;
  int grp_sends = 3;
  std::vector<int> big;
  std::vector<int> standard;
  bool trace = false;
  bool json = false;
  std::string factors;
  std::string factors_big;

  bool RealPort() const { return !port.empty() || com != 0; }
};

// A device or protocol failure, already reported on stderr.
struct DeviceFailure {};

class Session {
 public:
  // Creates the control and applies the motor sizes and factor sets;
  // nothing is sent yet. Throws UsageError for a malformed --factors.
  Session(const GlobalOptions& options, std::ostream& out, std::ostream& err, const RunEnv& env);
  ~Session();

  // Opens the port or the virtual bus; reports and throws on failure.
  void Open();

  qelcomm::CQelCommCtrl& ctrl() { return *ctrl_; }
  qelcomm::Platform& platform() { return *platform_; }
  const GlobalOptions& options() const { return options_; }
  bool IsVirtual() const { return !options_.RealPort(); }
  std::string PortLabel() const;

  bool IsBig(int address) const { return big_[uint8_t(address)]; }
  const qelcomm::registers::FactorSet& Factors(bool big) const {
    return big ? big_factors_ : standard_factors_;
  }
  // Applies a factor set to the control; zero keeps a factor.
  void SetFactors(bool big, float position, float acceleration, float velocity);

  // Takes the control's last error. On failure prints "qelctl: WHAT: CODE"
  // and throws DeviceFailure; on a success after a failed attempt, notes it
  // when tracing.
  void Check(bool ok, const std::string& what);
  // The same for the module exchanges whose missing or incomplete reply
  // leaves no code (GetModuleType, VemoDebug, VemoGet and the waits built on
  // GetModuleType): such a failure says "the module did not answer".
  void CheckModule(bool ok, const std::string& what);
  // Reports an error code already taken from the control, and throws.
  [[noreturn]] void Fail(int32_t code, const std::string& what);
  // "ERR_TIMEOUT (0x2000000D): Timeout" or "OS error 2: No such file...".
  std::string DescribeError(int32_t code);

  // Waits between polls: platform time, plus real time on the virtual bus
  // when a person is watching the output.
  void Pause(uint32_t ms);
  // Called for every telegram sent while set; drives spinners.
  void SetActivity(std::function<void()> on_send) { on_send_ = std::move(on_send); }

  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  bool json() const { return options_.json; }
  bool err_is_tty() const { return env_.err_is_tty && !options_.trace; }
  void PrintJson(const nlohmann::ordered_json& j, bool compact = false);

 private:
  void OnTrace(const qelcomm::TraceEvent& event);

  GlobalOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  RunEnv env_;
  std::shared_ptr<qelcomm::Platform> platform_;
  std::unique_ptr<qelcomm::CQelCommCtrl> ctrl_;
  std::array<bool, 256> big_{};
  qelcomm::registers::FactorSet standard_factors_ = qelcomm::registers::kStandardFactors;
  qelcomm::registers::FactorSet big_factors_ = qelcomm::registers::kBigFactors;
  std::optional<Tracer> tracer_;
  std::function<void()> on_send_;
};

}  // namespace qelctl
