// The simulated bus: the motors and modules on one serial line, the line's
// timing and the fault injection. Transport-neutral: bytes from the host go
// in through Receive with their arrival time, and timed bytes for the host
// come out of TakeOutputs. SimPeer (virtual_bus.h) runs it on a VirtualLine,
// qelsim on a pseudo-terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "faults.h"
#include "module.h"
#include "motor.h"
#include "wire.h"

namespace qelcomm::sim {

struct MotorSetup {
  uint8_t address = 1;
  bool big = false;
};

// A start value for one register of one motor.
struct RegisterPreset {
  uint8_t address = 1;
  int number = 0;
  uint32_t value = 0;
};

// Every reply to `address` gets `kind`; with `count` > 0 only the next
// `count` replies.
struct FaultRule {
  uint8_t address = 1;
  FaultKind kind = FaultKind::kNone;
  uint32_t count = 0;
};

struct LineTiming {
  uint32_t baud = 19200;
  bool pace = false;              // deliver byte by byte at 10 bits per byte
  uint64_t turnaround_us = 1000;  // end of request to start of reply
  bool echo = false;              // hand every byte from the host straight back
  uint64_t ByteUs() const { return baud ? 10'000'000ull / baud : 0; }
};

struct BusConfig {
  std::vector<MotorSetup> motors;
  std::vector<ModuleSetup> modules;
  std::vector<RegisterPreset> presets;
  std::vector<FaultRule> faults;
  uint64_t seed = 1;
  double fault_rate = 0;                // probability per reply, random mode
  std::vector<FaultKind> random_kinds;  // empty: DefaultRandomKinds()
  LineTiming line;
  FaultTiming fault_timing;
  MotorTiming motor_timing;
  ModuleTiming module_timing;
  uint32_t vanish_after = 0;  // vanish after this many telegrams; 0 = never

  // A standard motor at 1, a big motor at 2, a module (type 3, firmware 17)
  // fitted to motor 1.
  static BusConfig Defaults();
};

// Bytes for the host, due at `at_us`.
struct Output {
  uint64_t at_us = 0;
  std::vector<uint8_t> bytes;
};

class Bus {
 public:
  explicit Bus(const BusConfig& config);

  // Bytes from the host; the last of them arrived at `now_us`.
  void Receive(std::span<const uint8_t> bytes, uint64_t now_us);
  // The scheduled bytes, in time order; clears the queue.
  std::vector<Output> TakeOutputs();
  bool HasOutputs() const { return !outputs_.empty(); }

  // When Wake wants to run (chatter, a pending vanish); UINT64_MAX = never.
  uint64_t NextWakeUs() const;
  void Wake(uint64_t now_us);

  // The device has gone away: the transport closes the line.
  bool vanished() const { return vanished_; }

  Motor* motor(uint8_t address);
  Module* module(uint8_t address);

  void SetFault(uint8_t address, FaultKind kind, uint32_t count = 0);
  // Removes every per-address fault, random faults and a running chatter.
  void ClearFaults();
  void StartChatter(uint64_t now_us);
  void StopChatter() { chatter_next_us_.reset(); }
  bool chattering() const { return chatter_next_us_.has_value(); }

  // One line per telegram, when set.
  void set_trace(std::function<void(const std::string&)> sink) { trace_ = std::move(sink); }
  // One line per reply, faulted or not, when set, so that a soak can judge
  // every outcome the host saw:
  //   SEQ REQUEST ADDR REG FAULT VALUE...
  // SEQ numbers the telegram on the bus; REQUEST is read, write, status,
  // identify, stop, debug, page-read, page-write, module-write, qup or
  // accept (safe mode, restart and flash outside safe mode); REG is the
  // register or page number (0 for none); FAULT the fault kind or none. The
  // values: the register's raw value (read: the one sent; write: the one
  // stored), status word, position and error count, module type and
  // firmware, a page's byte sum, the Qup NOOP word.
  void set_record(std::function<void(const std::string&)> sink) { record_ = std::move(sink); }

  uint64_t telegrams() const { return telegrams_; }
  const FrameParser& parser() const { return parser_; }
  const BusConfig& config() const { return config_; }

 private:
  // One telegram being handled, and the device it is for.
  struct Request {
    const Telegram& t;
    const protocol::TelegramKind& kind;
    uint64_t now_us;
    Motor* motor = nullptr;
    Module* module = nullptr;
    uint8_t address() const { return t.fields[0]; }
    const std::vector<uint8_t>& fields() const { return t.fields; }
    // The register number in field `i`, as the kind's register range has it.
    int Register(size_t i) const { return t.fields[i] + (kind.extended ? protocol::kExtendedBase : 0); }
  };
  // What a handler adds to the telegram's trace line; nullopt when the
  // device does not take the telegram's layout.
  using Outcome = std::optional<std::string>;
  using Handler = Outcome (Bus::*)(const Request&);
  enum class Target {
    kMotor,    // the motor at the address, which must be there and listening
    kModule,   // the same for a module
    kModules,  // every module answering the address, probe address included
    kGroup,    // every motor on the line
  };
  struct Route {
    uint8_t sync;
    Target target;
    Handler handle;
  };
  // The handler of each start sync the protocol knows.
  static const Route& RouteOf(uint8_t sync);

  void Handle(const Telegram& t, uint64_t now_us);
  // Finds the telegram's device and handler; describes it and its outcome
  // for the trace.
  std::string Dispatch(const Telegram& t, uint64_t now_us);

  // Motor telegrams (motor_handlers.cpp).
  Outcome OnRead(const Request& r);
  Outcome OnWrite(const Request& r);
  Outcome OnSafeMode(const Request& r);
  Outcome OnRestart(const Request& r);
  Outcome OnFlash(const Request& r);
  Outcome OnStatus(const Request& r);
  Outcome OnGroup(const Request& r);
  // Restart and flash: only in safe mode, else answered with an accept.
  Outcome RestartOrFlash(const Request& r, void (Motor::*action)(uint64_t));

  // Module telegrams (module_handlers.cpp).
  Outcome OnIdentify(const Request& r);
  Outcome OnModuleWrite(const Request& r);
  Outcome OnModuleReset(const Request& r);
  Outcome OnModuleStop(const Request& r);
  Outcome OnDebug(const Request& r);
  Outcome OnPageRead(const Request& r);
  Outcome OnPageWrite(const Request& r);
  Outcome OnQup(const Request& r);
  Outcome OnQupReset(const Request& r);
  // Runs `answer` for every module listening at the address; what they said.
  Outcome EveryModule(const Request& r, std::string (Bus::*answer)(const Request&, Module&));
  std::string IdentifyOne(const Request& r, Module& m);
  std::string CommitOne(const Request& r, Module& m);

  // Applies the address's fault and schedules the reply.
  std::string Send(uint8_t address, Reply reply, uint64_t now_us);
  // Gives the time the last byte is there.
  uint64_t Schedule(uint64_t at_us, const std::vector<uint8_t>& bytes, bool occupies_line);
  FaultKind PickFault(uint8_t address);

  BusConfig config_;
  std::map<uint8_t, std::unique_ptr<Motor>> motors_;
  std::vector<std::unique_ptr<Module>> modules_;
  std::map<uint8_t, FaultRule> faults_;
  Rng rng_;
  FrameParser parser_;
  uint64_t malformed_seen_ = 0;
  std::vector<Output> outputs_;
  uint64_t line_free_us_ = 0;
  uint64_t last_output_us_ = 0;
  std::optional<uint64_t> chatter_next_us_;
  std::optional<uint64_t> vanish_at_us_;
  bool vanished_ = false;
  uint64_t telegrams_ = 0;
  std::function<void(const std::string&)> trace_;
  std::function<void(const std::string&)> record_;
  // What the telegram being handled asked for, for its reply's record.
  struct RecordNote {
    const char* request = "";
    int number = 0;
    std::string values;
  } note_;
  void Note(const char* request, int number, std::string values);
};

}  // namespace qelcomm::sim
