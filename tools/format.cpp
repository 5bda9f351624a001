#include "format.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace qelctl {

std::string FormatFloat(float value) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

double FloatAsDouble(float value) { return std::strtod(FormatFloat(value).c_str(), nullptr); }

std::string Hex(uint32_t value, int bytes) {
  char buf[16];
  if (bytes < 4) value &= (1u << (8 * bytes)) - 1;
  std::snprintf(buf, sizeof buf, "0x%0*X", 2 * bytes, value);
  return buf;
}

std::string Seconds(uint64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return buf;
}

std::string HexDump(std::span<const uint8_t> data, size_t offset) {
  std::string out;
  char buf[8];
  for (size_t line = 0; line < data.size(); line += 16) {
    std::snprintf(buf, sizeof buf, "%02X:", unsigned(offset + line));
    out += buf;
    std::string ascii;
    for (size_t i = line; i < line + 16; ++i) {
      if (i == line + 8) out += ' ';
      if (i < data.size()) {
        std::snprintf(buf, sizeof buf, " %02X", unsigned(data[i]));
        out += buf;
        ascii += (data[i] >= 0x20 && data[i] < 0x7F) ? char(data[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + ascii + "|\n";
  }
  return out;
}

std::string ModuleIdText(int type, int firmware) {
  const auto part = [](const char* name, int v) {
    std::string text(name);
    text.append(v < 0 ? " not reported" : " ");
    if (v >= 0) text.append(std::to_string(v));
    return text;
  };
  return part("type", type) + ", " + part("firmware", firmware);
}

std::string ProgramStateText(int state) {
  // The states a module's program reports in its debug state.
  static constexpr const char* kNames[] = {"stopped", "running", "paused", "stepping"};
  const std::string number = std::to_string(state);
  if (state < 0 || state >= int(std::size(kNames))) return number;
  return number + " (" + kNames[state] + ")";
}

}  // namespace qelctl
