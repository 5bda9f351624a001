#include "format.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

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

}  // namespace qelctl
