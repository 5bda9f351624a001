// Text forms shared by the commands.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace qelctl
