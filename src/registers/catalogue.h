// The built-in register catalogue: number, name, width, type, scaling class
// and fixed factor of every register the control knows, in three constant
// tables (standard motors, big motors, and the extended registers 257 and up
// that every motor has).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "link/register_transfer.h"

namespace qelcomm::registers {

enum class ScaleClass : int16_t {
  None = 0,
  Acceleration = 1,
  Position = 2,
  Velocity = 3,
  Torque = 4,
  ElectricalAngle = 5,
};

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

std::span<const ParamInfo> StandardTable();
std::span<const ParamInfo> BigTable();
std::span<const ParamInfo> ExtendedTable();

// Numbers above 255 are looked up in the extended table (as number - 256),
// whatever the motor; the rest in the big or the standard table.
ParamLookup FindParamInfo(bool big, int16_t reg);
// The catalogue entry behind that lookup, name included; null when unlisted.
const ParamInfo* FindParamEntry(bool big, int16_t reg);
// How the register travels on the wire for a motor of that size: its width,
// and whether it reads as signed 16-bit.
link::RegisterShape WireShape(bool big, int16_t reg);
// Whether two register names (or words) are equal, ignoring ASCII letter case.
bool EqualIgnoringCase(std::string_view a, std::string_view b);
// The first entry of the big or standard table whose name equals `name`,
// ignoring letter case; 0 when none does. Extended names are not searched.
int16_t ParamNumFromName(bool big, std::string_view name);
// The highest register of a table (its last entry), as group writes use it.
int32_t LastRegister(std::span<const ParamInfo> table);

}  // namespace qelcomm::registers
