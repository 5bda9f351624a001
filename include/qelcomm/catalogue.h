// The built-in register catalogue and the exact unit conversion, for every
// program that names registers or shows their values: the control itself,
// the tools, the virtual bus and the Python layer.
//
// Three constant tables hold number, name, width, type, scaling class and
// fixed factor of every register the control knows: standard motors, big
// motors, and the extended registers 257 and up that every motor has.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "qelcomm/protocol.h"

namespace qelcomm::registers {

enum class ScaleClass : int16_t {
  None = 0,
  Acceleration = 1,
  Position = 2,
  Velocity = 3,
  Torque = 4,
  ElectricalAngle = 5,
};

// "none", "acceleration", "position", "velocity", "torque",
// "electrical-angle".
const char* ScaleClassName(ScaleClass s);

// Type codes: 0 unsigned 16-bit, 1 signed 16-bit, 2 signed 32-bit,
// 3 signed 16-bit /4096, 4 signed 16-bit /256, 5 signed 32-bit /65536,
// 6 signed 32-bit /256; -1 = not listed.
inline constexpr int16_t kTypeNotListed = -1;

struct ParamInfo {
  int32_t Number;  // in the extended table: register number - 256
  const char* Name;
  int32_t Is32Bit;  // 1 = four data bytes on the wire
  int16_t Type;
  ScaleClass Scaling;
  float Factor;  // 1.0 = none
};

// What a lookup yields; an unlisted register gives Type -1, 16 bits, no
// scaling and factor 1.
struct ParamLookup {
  bool listed = false;
  int32_t Is32Bit = 0;
  int16_t Type = kTypeNotListed;
  ScaleClass Scaling = ScaleClass::None;
  float Factor = 1.0f;
};

// How a register travels on the wire.
struct RegisterShape {
  bool is32 = false;        // four value bytes on the wire, else two
  bool sign_extend = true;  // the low 16 bits read as a signed number
};

std::span<const ParamInfo> StandardTable();
std::span<const ParamInfo> BigTable();
std::span<const ParamInfo> ExtendedTable();

// Numbers above 255 are looked up in the extended table (as number - 256),
// whatever the motor; the rest in the big or the standard table.
ParamLookup FindParamInfo(bool big, int16_t reg);
// The catalogue entry behind that lookup, name included; null when unlisted.
const ParamInfo* FindParamEntry(bool big, int16_t reg);
// How the register travels for a motor of that size. Unlisted registers are
// 32-bit on big motors and in the extended range, signed 16-bit otherwise.
RegisterShape WireShape(bool big, int16_t reg);
// Whether two register names (or words) are equal, ignoring ASCII letter case.
bool EqualIgnoringCase(std::string_view a, std::string_view b);
// The control's own name lookup: the first entry of the big or standard
// table whose name equals `name`, ignoring letter case; 0 when none does.
// Extended names are not searched (RegisterByName searches them).
int16_t ParamNumFromName(bool big, std::string_view name);
// The highest register of a table (its last entry), as group writes use it.
int32_t LastRegister(std::span<const ParamInfo> table);

// Registers at the same number, with the same name, in both motor tables.
namespace known {
inline constexpr int16_t kProgVersion = protocol::reg::kProgVersion;  // PROG_VERSION
inline constexpr int16_t kModeReg = protocol::reg::kModeReg;          // MODE_REG
inline constexpr int16_t kPSoll = 3;                                  // P_SOLL
inline constexpr int16_t kVSoll = 5;                                  // V_SOLL
inline constexpr int16_t kASoll = 6;                                  // A_SOLL
inline constexpr int16_t kTSoll = 7;                                  // T_SOLL
inline constexpr int16_t kPIst = 10;                                  // P_IST
inline constexpr int16_t kVIst = 12;                                  // V_IST
inline constexpr int16_t kErrStat = 35;                               // ERR_STAT
inline constexpr int16_t kVersion = 257;                              // VERSION
inline constexpr int16_t kBaudrate = 258;                             // BAUDRATE
inline constexpr int16_t kAddress = 259;                              // ADDRESS
inline constexpr int16_t kGroupId = 260;                              // GROUPID
inline constexpr int16_t kTransmitDelay = 261;                        // TRANSMITDELAY
}  // namespace known

// The numbers a telegram can carry: 1..255 in the motor's table, 257..511
// as extended registers. 256 falls between and no telegram reaches it.
inline constexpr int kFirstRegister = 1;
inline constexpr int kLastExtendedRegister = protocol::kExtendedBase + 255;
constexpr bool IsRegisterNumber(int64_t n) {
  return n >= kFirstRegister && n <= kLastExtendedRegister && n != protocol::kExtendedBase;
}

// What writing a register means to the motor, for parameter sets, writable
// maps and safe defaults:
//   setting   - configuration a parameter set carries (gains, limits, modes);
//   live      - actual values, status, error counters, measurements, and
//               targets that act at once (P_SOLL moves the motor);
//   read_only - facts of the firmware and hardware (versions, checksums);
//   identity  - what tells one motor from another (address, serial number).
// Unlisted registers count as live: nothing says what they mean.
enum class Role : uint8_t { kSetting, kLive, kReadOnly, kIdentity };
const char* RoleName(Role role);  // "setting", "live", "read-only", "identity"

// A register of a motor of one size, resolved once: everything a tool needs
// to read, write, show or refuse it.
struct Register {
  int16_t number = 0;   // as addressed: 1..255, or 257..511
  std::string name;     // the catalogue's spelling; empty when not listed
  bool big = false;     // looked up for a big motor
  ParamLookup info;     // type, scaling class, factor
  RegisterShape shape;  // width and sign rule on the wire
  Role role = Role::kLive;

  bool listed() const { return info.listed; }
  // Values in units differ from raw values.
  bool Scaled() const;
  // "P_SOLL (3)", or "200" when not listed.
  std::string Label() const;
};

// Empty when no telegram can carry `number` (IsRegisterNumber).
std::optional<Register> RegisterByNumber(bool big, int number);
// By name, ignoring letter case: the motor's table first, then the extended
// table. Empty when no register has that name.
std::optional<Register> RegisterByName(bool big, std::string_view name);

// The raw values a register holds: signed or unsigned by type, 16 or 32 bits.
struct RawRange {
  int64_t min, max;  // as a decimal number
  uint64_t bits_max;  // as a bit pattern (hex)
};
RawRange RangeOf(const Register& reg);
std::string RangeText(const RawRange& range);  // "-32768..32767"

// User units per raw unit, in double precision.
struct ExactFactors {
  double position;
  double acceleration;
  double velocity;
};
// The control's factor sets, in single precision as it holds them.
struct FactorSet {
  float position;
  float acceleration;
  float velocity;
};
inline constexpr FactorSet kStandardFactors{1.0f, 248.32089f, 0.476806640625f};
inline constexpr FactorSet kBigFactors{1.0f, 277.921875f, 0.3609375f};

// The number a single-precision constant stands for: its exact value when
// that is a short decimal (0.0625, 0.476806640625), else the shortest
// decimal that reads back as it (0.1f stands for 0.1).
double DecimalValue(float f);
// A factor set as the numbers it stands for; the defaults a tool starts with.
ExactFactors ExactFactorsOf(const FactorSet& set);

// The one checked conversion between a value in units and the raw value a
// register holds, wholly in double precision: one factor serves both
// directions, so a value shown converts back to the same raw value. Raw
// values are rounded half away from zero and must fit RangeOf(reg).
// (The control's own alternate methods keep their single-precision rules.)
enum class ValueProblem : uint8_t {
  kNone,
  kNotFinite,   // NaN or infinite
  kOutOfRange,  // its raw form does not fit the register
};
struct CheckedRaw {
  ValueProblem problem = ValueProblem::kNone;
  int32_t raw = 0;     // the wire value as the register holds it
  double units = 0;    // what `raw` means in units: what a write really sets
  RawRange range{};    // the register's range
  // The rounded raw value, also when out of range; empty beyond 64 bits.
  std::optional<int64_t> rounded;

  bool ok() const { return problem == ValueProblem::kNone; }
  // Why it was refused, for a message: "raw 41946 is outside -32768..32767".
  std::string Why() const;
};

CheckedRaw UnitsToRaw(double units, const Register& reg, const ExactFactors& factors);
// A raw value given as a number: it must lie within the register's range.
CheckedRaw CheckRaw(int64_t raw, const Register& reg, const ExactFactors& factors);
// A raw value given as a bit pattern: it must fit the register's width. A
// signed 16-bit pattern comes back negative, as the register holds it.
CheckedRaw CheckRawBits(uint64_t bits, const Register& reg, const ExactFactors& factors);
double RawToUnits(int32_t raw, const Register& reg, const ExactFactors& factors);
// A value in units as text: integral values as integers, never in exponent
// form; others with 15 significant digits ("10.3125", "100.12939453125").
std::string FormatUnits(double value);
// The number FormatUnits shows, for JSON.
double ShownUnits(double value);

// The same conversions on catalogue lookups, not rounded or checked.
double RawToUserExact(double raw, const ParamLookup& info, const ExactFactors& factors, bool big);
double UserToRawExact(double value, const ParamLookup& info, const ExactFactors& factors, bool big);

}  // namespace qelcomm::registers
