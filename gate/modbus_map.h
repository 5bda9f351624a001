// The Modbus map qelgate serves: one table, which both the request handler
// and docs/modbus-map.md are made from. PLC programs depend on it; change it
// only on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qelgate {

enum class Space : uint8_t { kHolding, kInput, kCoil };

// What a block of addresses does on the bus.
enum class Action : uint8_t {
  kRawRegister,    // 2R, 2R+1: ReadParameter / WriteParameter
  kUnitsRegister,  // 10000+2R, +1: float32 in user units
  kStatus,         // ReadStatus
  kModuleType,     // GetModuleType
  kVemoDebug,      // VemoDebug
  kResetWait,
  kWriteToFlashWait,
  kQupStart,
  kQupStop,
  kQupPause,
  kQupResetWait,
};

struct MapRow {
  Space space;
  uint16_t first;    // first address
  uint16_t count;    // addresses in the block
  Action action;
  const char* functions;  // "read 3 / write 16"
  const char* meaning;
  // 32-bit values: every even offset starts a pair (all_pairs), or the
  // offsets whose bit is set in pair_starts do.
  bool all_pairs = false;
  uint32_t pair_starts = 0;
};

// The highest motor register the holding blocks reach.
inline constexpr int kLastMappedRegister = 358;
inline constexpr uint16_t kUnitsBase = 10000;
inline constexpr uint8_t kLastUnitId = 247;

std::span<const MapRow> ModbusMap();
// The row holding `address` in `space`; empty when none does.
const MapRow* FindRow(Space space, uint16_t address);
// Whether words [offset, offset+count) of a row split no 32-bit pair.
bool WholePairs(const MapRow& row, uint16_t offset, uint16_t count);

// docs/modbus-map.md, as the table says.
std::string RenderMap();

}  // namespace qelgate
