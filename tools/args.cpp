#include "args.h"

#include <CLI/CLI.hpp>

namespace qelctl {

CLI::Validator StrictInt(int64_t min, int64_t max) {
  const std::string desc = "INT in [" + std::to_string(min) + " - " + std::to_string(max) + "]";
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        int64_t v = 0;
        if (!ParseInteger(text, v)) return NotAnInteger(text);
        if (v < min || v > max) {
          return Quoted(text) + " is out of range " + std::to_string(min) + ".." +
                 std::to_string(max);
        }
        text = std::to_string(v);  // hand CLI11 a plain decimal
        return {};
      },
      desc);
}

}  // namespace qelctl
