// Text forms shared by the commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qelctl {

// The shortest decimal that reads back as the same float ("47.68066").
std::string FormatFloat(float value);
// The same decimal as a double, so JSON shows 0.1 rather than 0.100000001.
double FloatAsDouble(float value);
// "0x04D2" / "0x000004D2": the bit pattern at the given width in bytes.
std::string Hex(uint32_t value, int bytes);
// Seconds with millisecond resolution: "1.625".
std::string Seconds(uint64_t ms);
// 16 bytes a line, each line "30: 00 11 ... 77  88 99 ... FF  |ascii...|\n"
// with its offset in hex, counted from `offset` at the start of `data`.
std::string HexDump(std::span<const uint8_t> data, size_t offset = 0);
// What GetModuleType delivered: "type 3, firmware 17". A negative value is
// one the reply did not reach ("firmware not reported").
std::string ModuleIdText(int type, int firmware);
// A module program's debug state: "1 (running)"; unknown states bare ("7").
std::string ProgramStateText(int state);

}  // namespace qelctl
