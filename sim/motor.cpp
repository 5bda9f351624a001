#include "motor.h"

#include <cmath>
#include <cstdlib>

#include "qelcomm/catalogue.h"

namespace qelcomm::sim {
namespace {

int32_t Signed(uint32_t raw, bool wide) {
  return wide ? static_cast<int32_t>(raw) : static_cast<int16_t>(static_cast<uint16_t>(raw));
}

}  // namespace

Motor::Motor(uint8_t address, bool big, MotorTiming timing)
    : address_(address), big_(big), timing_(timing) {
  for (const auto& e : big ? registers::BigTable() : registers::StandardTable()) {
    regs_[e.Number] = 0;
    wide_[e.Number] = e.Is32Bit != 0;
  }
  for (const auto& e : registers::ExtendedTable()) {
    regs_[e.Number + protocol::kExtendedBase] = 0;
    wide_[e.Number + protocol::kExtendedBase] = e.Is32Bit != 0;
  }
  // Plausible start values: firmware version, position mode, motion
  // parameters, address and group.
  Preset(reg::kProgVersion, big ? 0x0312 : 0x0207);
  Preset(reg::kModeReg, 2);
  Preset(reg::kVSoll, 100);
  Preset(reg::kASoll, 10);
  Preset(reg::kVersion, 0x0105);
  Preset(reg::kBaudrate, 19200);
  Preset(reg::kAddress, address);
  Preset(reg::kGroupId, 1);
  Preset(reg::kTransmitDelay, 1);
}

int Motor::Width(int number) const {
  auto it = wide_.find(number);
  return it != wide_.end() && it->second ? 4 : 2;
}

uint32_t Motor::Mask(int number, uint32_t value) const {
  return Width(number) == 4 ? value : (value & 0xFFFFu);
}

bool Motor::Preset(int number, uint32_t value) {
  auto it = regs_.find(number);
  if (it == regs_.end()) return false;
  it->second = Mask(number, value);
  flash_[number] = it->second;
  return true;
}

std::optional<uint32_t> Motor::Read(int number, uint64_t now_us) {
  Update(now_us);
  auto it = regs_.find(number);
  if (it == regs_.end()) return std::nullopt;
  return it->second;
}

bool Motor::Write(int number, uint32_t value, uint64_t now_us) {
  Update(now_us);
  auto it = regs_.find(number);
  if (it == regs_.end()) return false;
  it->second = Mask(number, value);
  if (number == reg::kPSoll) StartMove(Signed(it->second, true), now_us);
  return true;
}

void Motor::EnterSafeMode(uint64_t now_us) {
  Update(now_us);
  if (!safe_at_us_) {
    mode_before_safe_ = regs_[reg::kModeReg];
    safe_at_us_ = now_us + timing_.safe_delay_us;
  }
  move_.reset();  // safe mode stops the drive
}

bool Motor::InSafeMode(uint64_t now_us) {
  Update(now_us);
  return safe_at_us_ && now_us >= *safe_at_us_;
}

void Motor::Restart(uint64_t now_us) {
  regs_ = flash_;
  move_.reset();
  safe_at_us_.reset();
  regs_[reg::kPIst] = regs_[reg::kPSoll];
  last_group_seq_.clear();
  silent_until_us_ = now_us + timing_.restart_silent_us;
}

void Motor::Flash(uint64_t now_us) {
  Update(now_us);
  flash_ = regs_;
  flash_[reg::kModeReg] = mode_before_safe_;  // safe mode is not persisted
  silent_until_us_ = now_us + timing_.flash_silent_us;
}

MotorStatus Motor::Status(uint64_t now_us) {
  Update(now_us);
  MotorStatus s;
  s.position = static_cast<int32_t>(regs_[reg::kPIst]);
  if (move_) {
    s.word |= status_bit::kMoving;
  } else if (regs_[reg::kPIst] == regs_[reg::kPSoll]) {
    s.word |= status_bit::kInPosition;
  }
  if (safe_at_us_ && now_us >= *safe_at_us_) s.word |= status_bit::kSafeMode;
  if (regs_[reg::kErrStat] != 0) s.word |= status_bit::kError;
  s.error_count = error_count_;
  return s;
}

bool Motor::ApplyGroup(uint8_t group, uint8_t seq, int number, uint32_t value,
                       uint64_t now_us) {
  Update(now_us);
  if (regs_[reg::kGroupId] != group || !Has(number)) return false;
  auto it = last_group_seq_.find(group);
  if (it != last_group_seq_.end() && it->second == seq) return false;  // a copy
  last_group_seq_[group] = seq;
  return Write(number, value, now_us);
}

bool Motor::Moving(uint64_t now_us) {
  Update(now_us);
  return move_.has_value();
}

// Trapezoidal profile from standstill to standstill: V_SOLL is the top speed
// in counts per millisecond, A_SOLL the acceleration in counts per ms².
void Motor::StartMove(int64_t target, uint64_t now_us) {
  Move m;
  m.from = Signed(regs_[reg::kPIst], true);
  m.to = target;
  m.start_us = now_us;
  const double vmax = std::max(1.0, std::abs(static_cast<double>(Signed(regs_[reg::kVSoll], wide_[reg::kVSoll]))));
  const double amax = std::abs(static_cast<double>(Signed(regs_[reg::kASoll], wide_[reg::kASoll])));
  m.v = vmax / 1e3;
  m.a = amax / 1e6;
  const double d = std::abs(static_cast<double>(m.to - m.from));
  if (d == 0) {
    regs_[reg::kVIst] = 0;
    move_.reset();
    return;
  }
  if (m.a <= 0) {
    m.t_acc = 0;
    m.t_cruise = d / m.v;
  } else {
    m.t_acc = m.v / m.a;
    const double d_acc = 0.5 * m.a * m.t_acc * m.t_acc;
    if (2 * d_acc >= d) {
      m.t_acc = std::sqrt(d / m.a);
      m.v = m.a * m.t_acc;
      m.t_cruise = 0;
    } else {
      m.t_cruise = (d - 2 * d_acc) / m.v;
    }
  }
  m.total = 2 * m.t_acc + m.t_cruise;
  move_ = m;
}

void Motor::Update(uint64_t now_us) {
  if (safe_at_us_ && now_us >= *safe_at_us_) regs_[reg::kModeReg] = kSafeModeValue;
  if (!move_) return;
  const Move& m = *move_;
  const double t = static_cast<double>(now_us - std::min(now_us, m.start_us));
  if (t >= m.total) {
    regs_[reg::kPIst] = static_cast<uint32_t>(static_cast<int32_t>(m.to));
    regs_[reg::kVIst] = 0;
    move_.reset();
    return;
  }
  double dist = 0;
  double v = m.v;
  if (t < m.t_acc) {
    dist = 0.5 * m.a * t * t;
    v = m.a * t;
  } else if (t < m.t_acc + m.t_cruise) {
    dist = 0.5 * m.a * m.t_acc * m.t_acc + m.v * (t - m.t_acc);
  } else {
    const double td = m.total - t;  // time left while braking
    dist = std::abs(static_cast<double>(m.to - m.from)) - 0.5 * m.a * td * td;
    v = m.a * td;
  }
  const double dir = m.to >= m.from ? 1.0 : -1.0;
  const auto pos = m.from + static_cast<int64_t>(std::llround(dir * dist));
  regs_[reg::kPIst] = static_cast<uint32_t>(static_cast<int32_t>(pos));
  // V_IST in counts per ms.
  const auto vist = static_cast<int32_t>(std::lround(dir * v * 1e3));
  regs_[reg::kVIst] = Mask(reg::kVIst, static_cast<uint32_t>(vist));
}

}  // namespace qelcomm::sim
