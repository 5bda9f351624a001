#include "modbus_map.h"

#include <array>
#include <sstream>

namespace qelgate {
namespace {

constexpr uint16_t kPairs = 2 * (kLastMappedRegister + 1);

const std::array kMap{
    MapRow{Space::kHolding, 0, kPairs, Action::kRawRegister, "holding, read 3 / write 16",
           "motor register R (0-358) at 2R, 2R+1: the raw value as a signed 32-bit number, "
           "high word first (what ReadParameter gives and WriteParameter takes)",
           true},
    MapRow{Space::kHolding, kUnitsBase, kPairs, Action::kUnitsRegister,
           "holding, read 3 / write 16",
           "register R at 10000+2R, +1 in user units: IEEE-754 float32, high word first, "
           "with the bus's factor sets and big-motor marks, converted as qelctl converts",
           true},
    MapRow{Space::kInput, 0, 4, Action::kStatus, "input, read 4",
           "0: status word; 1-2: position (signed 32-bit); 3: error count. One ReadStatus "
           "serves any read within 0-3",
           false, 1u << 1},
    MapRow{Space::kInput, 10, 2, Action::kModuleType, "input, read 4",
           "10: module type, 11: firmware version (GetModuleType)"},
    MapRow{Space::kInput, 20, 8, Action::kVemoDebug, "input, read 4",
           "VemoDebug: 20 state, 21 inputs, 22 outputs, 23-24 time, 25-26 count, 27 mode "
           "command",
           false, (1u << 3) | (1u << 5)},
    MapRow{Space::kCoil, 0, 1, Action::kResetWait, "coil, write 5 (ON)", "ResetWait"},
    MapRow{Space::kCoil, 1, 1, Action::kWriteToFlashWait, "coil, write 5 (ON)",
           "WriteToFlashWait"},
    MapRow{Space::kCoil, 10, 1, Action::kQupStart, "coil, write 5 (ON)", "QupStart"},
    MapRow{Space::kCoil, 11, 1, Action::kQupStop, "coil, write 5 (ON)", "QupStop"},
    MapRow{Space::kCoil, 12, 1, Action::kQupPause, "coil, write 5 (ON)", "QupPause"},
    MapRow{Space::kCoil, 13, 1, Action::kQupResetWait, "coil, write 5 (ON)", "QupResetWait"},
};

bool IsPairStart(const MapRow& row, uint16_t offset) {
  if (row.all_pairs) return offset % 2 == 0;
  return offset < 32 && (row.pair_starts >> offset) & 1u;
}

bool IsPairSecond(const MapRow& row, uint16_t offset) {
  return offset > 0 && IsPairStart(row, uint16_t(offset - 1));
}

std::string AddressText(const MapRow& row) {
  if (row.count == 1) return std::to_string(row.first);
  return std::to_string(row.first) + "-" + std::to_string(row.first + row.count - 1);
}

}  // namespace

std::span<const MapRow> ModbusMap() { return kMap; }

const MapRow* FindRow(Space space, uint16_t address) {
  for (const MapRow& row : kMap) {
    if (row.space == space && address >= row.first && address - row.first < row.count) return &row;
  }
  return nullptr;
}

bool WholePairs(const MapRow& row, uint16_t offset, uint16_t count) {
  if (count == 0) return false;
  const uint16_t last = uint16_t(offset + count - 1);
  return !IsPairSecond(row, offset) && !IsPairStart(row, last);
}

std::string RenderMap() {
  std::ostringstream out;
  out << "# qelgate's Modbus map\n\n"
      << "Generated from gate/modbus_map.cpp by tests/gate/modbus_map_test.cpp; edit the table "
         "there, then regenerate with `QELCOMM_UPDATE_DOCS=1 ctest --preset debug -R "
         "ModbusMap`.\n\n"
      << "The unit ID is the motor address, 1-" << int(kLastUnitId)
      << ". 32-bit values take two registers, high word first; a request must cover whole "
         "pairs. A request of N pairs makes N motor exchanges, in order, and a write is "
         "answered once the motor accepted it. Writing a coil OFF does nothing and "
         "succeeds; reading a coil gives 0.\n\n"
      << "| Function | Address | Meaning |\n|---|---|---|\n";
  for (const MapRow& row : kMap) {
    out << "| " << row.functions << " | " << AddressText(row) << " | " << row.meaning << " |\n";
  }
  out << "\n## Exceptions\n\n"
      << "| Code | When |\n|---|---|\n"
      << "| 01 | a function not in the table; any write to a bus marked not writable |\n"
      << "| 02 | an address not in the table, half a pair, function 6, a register no telegram "
         "reaches (0, 256), a write to a read-only or identity register unless the bus allows "
         "it |\n"
      << "| 03 | a value that does not fit the register, a float that is not finite |\n"
      << "| 04 | a link failure other than silence |\n"
      << "| 06 | the bus queue is full |\n"
      << "| 0A | the line is down |\n"
      << "| 0B | the motor did not answer within its retries; a unit ID above "
      << int(kLastUnitId) << " |\n\n"
      << "Unit ID 0 (broadcast) gets no reply and is not carried out.\n";
  return out.str();
}

}  // namespace qelgate
