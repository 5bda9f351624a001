// One simulated Vemo expansion module: identification, a paged memory with a
// flash copy, a debug state, and the state of the Qup program it runs.
//
// Program states as the debug reply reports them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qelcomm/protocol.h"

namespace qelcomm::sim {

using protocol::kPageSize;
inline constexpr size_t kPageCount = 256;

struct ModuleTiming {
  uint64_t reset_silent_us = 500'000;      // after a module reset
  uint64_t write_silent_us = 2'000'000;    // committing memory to flash
  uint64_t qup_reset_silent_us = 300'000;  // after a Qup reset
};

enum class ProgramState : uint8_t { kStopped = 0, kRunning = 1, kPaused = 2, kStepping = 3 };

namespace qup = protocol::qup;

struct ModuleSetup {
  uint8_t address = 1;
  uint8_t type = 3;
  uint8_t firmware = 17;
  uint8_t inputs = 0;
  uint16_t noop_value = 0x1234;  // what QupNOOP reads (data bytes 6 and 7)
};

struct DebugState {
  uint8_t state = 0;
  uint8_t inputs = 0;
  uint8_t outputs = 0;
  uint16_t time = 0;   // milliseconds the program has run, modulo 65536
  uint16_t count = 0;  // program cycles (one per 10 ms of running, plus steps)
  uint8_t mode_cmd = 0;  // the last Qup command code
};

class Module {
 public:
  explicit Module(const ModuleSetup& setup, ModuleTiming timing = {});

  const ModuleSetup& setup() const { return setup_; }
  uint8_t address() const { return setup_.address; }
  bool AnswersTo(uint8_t addr) const {
    return addr == setup_.address || addr == protocol::kModuleProbeAddress;
  }
  bool Silent(uint64_t now_us) const { return now_us < silent_until_us_; }

  // Module control.
  void Reset(uint64_t now_us);  // memory back to the flash copy, program stopped
  void Stop(uint64_t now_us);
  void CommitWrite(uint64_t now_us);  // memory to the flash copy; silent meanwhile

  std::array<uint8_t, kPageSize> ReadPage(uint8_t page) const;
  void WritePage(uint8_t page, const uint8_t* data);
  const std::vector<uint8_t>& flash() const { return flash_; }

  DebugState Debug(uint64_t now_us) const;

  // Qup program commands. Each returns the eight reply data bytes:
  // command, state, outputs, inputs, program counter (2), value (2).
  std::array<uint8_t, protocol::kQupDataSize> Qup(const std::vector<uint8_t>& payload, uint64_t now_us);
  void QupReset(uint64_t now_us);

  ProgramState state() const { return state_; }
  uint8_t outputs() const { return outputs_; }
  uint16_t program_counter() const { return pc_; }
  void set_inputs(uint8_t v) { setup_.inputs = v; }

 private:
  uint64_t RunUs(uint64_t now_us) const;
  void StopProgram(uint64_t now_us);
  // Program stopped, outputs off, counters back to zero.
  void ClearProgram();

  ModuleSetup setup_;
  ModuleTiming timing_;
  std::vector<uint8_t> memory_;
  std::vector<uint8_t> flash_;
  uint64_t silent_until_us_ = 0;
  ProgramState state_ = ProgramState::kStopped;
  uint8_t outputs_ = 0;
  uint8_t mode_cmd_ = 0;
  uint16_t pc_ = 0;
  uint64_t run_accum_us_ = 0;       // running time before the current run
  uint64_t run_started_us_ = 0;     // valid while running
  uint32_t steps_ = 0;
};

}  // namespace qelcomm::sim
