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
#include "qelcomm/catalogue.h"
#include "qelcomm/diagnosis.h"
#include "qelcomm/virtual_port.h"
#include "qelctl.h"
#include "trace.h"

namespace qelctl {

using qelcomm::LineLog;

struct GlobalOptions {
  std::string port;
  bool port_given = false;  // an empty --port is refused, not the virtual bus
  int com = 0;
  int baud = 19200;
  int retries = 5;
  int grp_sends = 3;
  int extra_window_ms = 0;
  std::vector<int> big;
  std::vector<int> standard;
  bool trace = false;
  bool json = false;
  bool echo = false;
  std::string factors;
  std::string factors_big;

  bool RealPort() const { return port_given || com != 0; }
};

// A device or protocol failure, already reported on stderr.
struct DeviceFailure {};

// Names of --json error objects of failures that leave no error code.
inline constexpr const char* kNoCodeName = "NO_CODE";
inline constexpr const char* kNoAnswerName = "NO_ANSWER";  // a module's missing reply
inline constexpr const char* kBigMotorName = "BIG_MOTOR";  // a reply wider than the table says
// With --json, a usage error is a document too: {"error": {"name": "USAGE"...}}.
void PrintUsageErrorJson(std::ostream& out, const std::string& message);

// A network --port (SCHEME://HOST:PORT) with a scheme qelctl knows and a
// port number; refused as a usage error naming the URL. Device paths pass.
void CheckPortUrl(const std::string& port);

// Writes a file named on the command line; failing is a usage error.
void WriteWholeFile(const std::string& name, std::string_view data);

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
  const RunEnv& env() const { return env_; }
  bool IsVirtual() const { return !options_.RealPort(); }
  std::string PortLabel() const;

  bool IsBig(int address) const { return big_[uint8_t(address)]; }
  // The factor sets in effect, as given (the control holds them in single
  // precision; the tool converts with these).
  const qelcomm::registers::ExactFactors& Factors(bool big) const {
    return big ? big_factors_ : standard_factors_;
  }
  // Applies a factor set (POS, ACC, VEL) to the control; zero keeps a factor.
  void SetFactors(bool big, const std::array<double, 3>& factors);

  // Takes the control's last error. On failure prints "qelctl: WHAT: CODE"
  // and a line of diagnosis from what the line showed, and throws
  // DeviceFailure; on a success after a failed attempt, notes it when
  // tracing.
  void Check(bool ok, const std::string& what);
  // The line's record of the calls since the last Check, for commands that
  // judge a call themselves; NewCall forgets it.
  const LineLog& line() const { return line_; }
  void NewCall() { line_.Clear(); }
  // The diagnosis of a failed call with `code`, from the line's record.
  std::string Diagnosis(int32_t code) const;
  // A failure that does not end the run (a reading in a watch): its text
  // ("ERR_... (0x...): message; diagnosis") and its JSON error object.
  struct Judged {
    std::string text;
    nlohmann::ordered_json json;
  };
  Judged Judge(int32_t code, const std::string& what);
  // The same for the module exchanges whose missing or incomplete reply
  // leaves no code (GetModuleType, VemoDebug, VemoGet and the waits built on
  // GetModuleType): such a failure says "the module did not answer".
  void CheckModule(bool ok, const std::string& what);
  // Reports an error code already taken from the control, and throws.
  // `note` replaces the diagnosis from the line. With --json the partial
  // document, with the error added, goes to stdout.
  [[noreturn]] void Fail(int32_t code, const std::string& what, const std::string& note = {});
  // A failure the tool finds itself, without a code of the control's:
  // `message` in words, `name` for --json.
  [[noreturn]] void FailNamed(const std::string& what, const std::string& message,
                              const char* name) {
    Report(0, what, message, {}, name);
  }
  // "ERR_TIMEOUT (0x2000000D): Timeout" or "OS error 2: No such file...".
  std::string DescribeError(int32_t code);
  // The control's message for `code`; GetLastErrorStr gives a stored
  // loader text once, so each failure asks for it once.
  std::string Message(int32_t code);
  // A resolver's failure reads as its own text, without a number.
  std::string Described(int32_t code, const std::string& message) const;

  // Waits between polls: platform time, plus real time on the virtual bus
  // when a person is watching the output. False once Ctrl-C was pressed,
  // which ends the wait within a tenth of a second.
  bool Pause(uint32_t ms);
  bool Interrupted() const { return env_.interrupt && env_.interrupt->requested != 0; }
  // From now on Ctrl-C ends the command's loop instead of the program.
  void CatchInterrupt() {
    if (env_.interrupt) env_.interrupt->catching = 1;
  }
  // Called for every telegram sent while set; drives spinners.
  void SetActivity(std::function<void()> on_send) { on_send_ = std::move(on_send); }

  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }
  bool json() const { return options_.json; }
  bool err_is_tty() const { return env_.err_is_tty && !options_.trace; }
  // compact: one object per line, as --watch and progress events print.
  void PrintJson(const nlohmann::ordered_json& j, bool compact = false);
  // What a command has gathered so far: printed, with the error, when it
  // fails part way.
  nlohmann::ordered_json& partial() { return partial_; }
  // The error object of --json: code, name, message, what, diagnosis.
  nlohmann::ordered_json ErrorJson(int32_t code, const std::string& what,
                                   const std::string& message, const std::string& diagnosis,
                                   const char* name_without_code = kNoCodeName);

 private:
  void OnTrace(const qelcomm::TraceEvent& event);
  [[noreturn]] void Report(int32_t code, const std::string& what, const std::string& message,
                           const std::string& diagnosis,
                           const char* name_without_code = kNoCodeName);

  GlobalOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  RunEnv env_;
  std::shared_ptr<qelcomm::Platform> platform_;
  std::unique_ptr<qelcomm::CQelCommCtrl> ctrl_;
  std::array<bool, 256> big_{};
  qelcomm::registers::ExactFactors standard_factors_;
  qelcomm::registers::ExactFactors big_factors_;
  std::optional<Tracer> tracer_;
  std::function<void()> on_send_;
  LineLog line_;
  nlohmann::ordered_json partial_;
  bool streamed_ = false;  // JSON went out one object per line
};

}  // namespace qelctl
