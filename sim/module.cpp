#include "module.h"

#include <algorithm>

namespace qelcomm::sim {

Module::Module(const ModuleSetup& setup, ModuleTiming timing)
    : setup_(setup), timing_(timing),
      memory_(kPageSize * kPageCount, 0xFF),  // erased flash reads 0xFF
      flash_(memory_) {}

void Module::StopProgram(uint64_t now_us) {
  run_accum_us_ = RunUs(now_us);
  state_ = ProgramState::kStopped;
}

void Module::ClearProgram() {
  state_ = ProgramState::kStopped;
  outputs_ = 0;
  mode_cmd_ = 0;
  pc_ = 0;
  run_accum_us_ = 0;
  steps_ = 0;
}

void Module::Reset(uint64_t now_us) {
  memory_ = flash_;
  ClearProgram();
  silent_until_us_ = now_us + timing_.reset_silent_us;
}

void Module::Stop(uint64_t now_us) { StopProgram(now_us); }

void Module::CommitWrite(uint64_t now_us) {
  flash_ = memory_;
  silent_until_us_ = now_us + timing_.write_silent_us;
}

std::array<uint8_t, kPageSize> Module::ReadPage(uint8_t page) const {
  std::array<uint8_t, kPageSize> out{};
  std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(page * kPageSize), kPageSize, out.begin());
  return out;
}

void Module::WritePage(uint8_t page, const uint8_t* data) {
  std::copy_n(data, kPageSize, memory_.begin() + static_cast<std::ptrdiff_t>(page * kPageSize));
}

uint64_t Module::RunUs(uint64_t now_us) const {
  if (state_ != ProgramState::kRunning) return run_accum_us_;
  return run_accum_us_ + (now_us - std::min(now_us, run_started_us_));
}

DebugState Module::Debug(uint64_t now_us) const {
  DebugState d;
  d.state = static_cast<uint8_t>(state_);
  d.inputs = setup_.inputs;
  d.outputs = outputs_;
  const uint64_t run = RunUs(now_us);
  d.time = static_cast<uint16_t>(run / 1000);
  d.count = static_cast<uint16_t>(run / 10'000 + steps_);
  d.mode_cmd = mode_cmd_;
  return d;
}

std::array<uint8_t, protocol::kQupDataSize> Module::Qup(const std::vector<uint8_t>& payload, uint64_t now_us) {
  const uint8_t cmd = payload.empty() ? qup::kNoop : payload[0];
  auto word = [&](size_t i) {
    return static_cast<uint16_t>(payload.size() > i + 1 ? payload[i] | (payload[i + 1] << 8) : 0);
  };
  switch (cmd) {
    case qup::kStart:
      if (state_ == ProgramState::kStopped) {
        run_accum_us_ = 0;
        steps_ = 0;
        pc_ = 0;
      }
      if (state_ != ProgramState::kRunning) run_started_us_ = now_us;
      state_ = ProgramState::kRunning;
      break;
    case qup::kStop:
      StopProgram(now_us);
      break;
    case qup::kPause:
      if (state_ == ProgramState::kRunning) {
        run_accum_us_ = RunUs(now_us);
        state_ = ProgramState::kPaused;
      }
      break;
    case qup::kStep: {
      // Executes one instruction of the range [min, max]: the program
      // counter lands on min + 1 unless that is beyond max.
      run_accum_us_ = RunUs(now_us);
      const uint16_t lo = word(1);
      const uint16_t hi = word(3);
      pc_ = static_cast<uint16_t>(lo < hi ? lo + 1 : lo);
      ++steps_;
      state_ = ProgramState::kStepping;
      break;
    }
    case qup::kOutputs:
      if (payload.size() > 1) {
        const uint8_t b = payload[1];
        outputs_ = static_cast<uint8_t>((outputs_ | (b & 0x0F)) & ~(b >> 4));
      }
      break;
    default:
      break;
  }
  mode_cmd_ = cmd;
  const uint16_t v = setup_.noop_value;
  return {cmd,
          static_cast<uint8_t>(state_),
          outputs_,
          setup_.inputs,
          static_cast<uint8_t>(pc_ & 0xFF),
          static_cast<uint8_t>(pc_ >> 8),
          static_cast<uint8_t>(v & 0xFF),
          static_cast<uint8_t>(v >> 8)};
}

void Module::QupReset(uint64_t now_us) {
  ClearProgram();
  silent_until_us_ = now_us + timing_.qup_reset_silent_us;
}

}  // namespace qelcomm::sim
