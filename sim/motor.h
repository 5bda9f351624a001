// One simulated Qel motor: a register file laid out by the catalogue table
// of its size plus the extended registers, safe mode with restart and flash,
// a status word, group membership and a simple point-to-point motion model.
//
// Time is passed in by the caller (microseconds on any monotonic clock);
// everything that changes with time is evaluated lazily at that time, so the
// motor needs no timer of its own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "qelcomm/catalogue.h"
#include "qelcomm/protocol.h"

namespace qelcomm::sim {

// Register numbers that mean something to the model; the same in the
// standard and the big-motor table.
namespace reg = registers::known;

using protocol::kSafeModeValue;

struct MotorTiming {
  uint64_t safe_delay_us = 20'000;        // enter-safe-mode until MODE_REG reads safe mode
  uint64_t restart_silent_us = 1'500'000;  // silent after a restart
  uint64_t flash_silent_us = 2'000'000;    // silent while writing flash
};

// Bits of the status word.
namespace status_bit {
inline constexpr uint16_t kInPosition = 0x0001;  // no move under way, P_IST = P_SOLL
inline constexpr uint16_t kMoving = 0x0002;
inline constexpr uint16_t kSafeMode = 0x0010;
inline constexpr uint16_t kError = 0x0080;  // ERR_STAT not 0
}  // namespace status_bit

struct MotorStatus {
  uint16_t word = 0;
  int32_t position = 0;
  uint8_t error_count = 0;
};

class Motor {
 public:
  Motor(uint8_t address, bool big, MotorTiming timing = {});

  uint8_t address() const { return address_; }
  bool big() const { return big_; }

  // Whether the motor has register `number` (table of its size, or
  // extended), and its width in bytes (2 or 4).
  bool Has(int number) const { return regs_.count(number) != 0; }
  int Width(int number) const;

  // The register's wire value (16-bit registers 0..65535); nullopt when the
  // motor has no such register.
  std::optional<uint32_t> Read(int number, uint64_t now_us);
  // Stores `value` cut to the register's width; false for an unknown
  // register. A new P_SOLL starts a move.
  bool Write(int number, uint32_t value, uint64_t now_us);
  // Sets a start value; also becomes the flash copy.
  bool Preset(int number, uint32_t value);

  // True while the motor restarts or writes its flash and ignores the line.
  bool Silent(uint64_t now_us) const { return now_us < silent_until_us_; }
  void EnterSafeMode(uint64_t now_us);
  bool InSafeMode(uint64_t now_us);
  // Only in safe mode: reload the registers from the flash copy / save them
  // to it. Both make the motor silent for a while.
  void Restart(uint64_t now_us);
  void Flash(uint64_t now_us);

  MotorStatus Status(uint64_t now_us);
  // Counts a telegram the motor could not make sense of.
  void CountError() { ++error_count_; }

  // A group write: applied when GROUPID equals `group` and `seq` is not the
  // sequence number last applied for that group. True when applied.
  bool ApplyGroup(uint8_t group, uint8_t seq, int number, uint32_t value, uint64_t now_us);

  bool Moving(uint64_t now_us);

 private:
  struct Move {
    int64_t from = 0;
    int64_t to = 0;
    uint64_t start_us = 0;
    double v = 0;  // counts per microsecond
    double a = 0;  // counts per microsecond², 0 = jump to speed
    double t_acc = 0, t_cruise = 0, total = 0;
  };
  void Update(uint64_t now_us);
  void StartMove(int64_t target, uint64_t now_us);
  uint32_t Mask(int number, uint32_t value) const;

  uint8_t address_;
  bool big_;
  MotorTiming timing_;
  std::map<int, uint32_t> regs_;
  std::map<int, uint32_t> flash_;
  std::map<int, bool> wide_;
  std::optional<Move> move_;
  std::optional<uint64_t> safe_at_us_;  // safe mode reported from then on
  uint32_t mode_before_safe_ = 0;
  uint64_t silent_until_us_ = 0;
  uint8_t error_count_ = 0;
  std::map<uint8_t, uint8_t> last_group_seq_;
};

}  // namespace qelcomm::sim
