// qelsim's option parser and its table of options (option_table.cpp): one
// row per option holds its name, how its value is written, its help and what
// it does, so that parsing, config files and --help all read one place.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace qelcomm::sim {

struct OptionParser;

struct OptionSpec {
  const char* name;
  const char* value;    // how the value is written in the help; null for a flag
  const char* section;  // the help's heading
  const char* help;     // '\n' starts another line
  bool (*apply)(OptionParser& p, const std::string& value, const std::string& opt);
};

std::span<const OptionSpec> OptionTable();
const OptionSpec* FindOption(std::string_view name);

struct OptionParser {
  SimOptions& out;
  std::string& error;
  bool motors_given = false;
  bool modules_given = false;
  int depth = 0;  // of nested config files

  bool Fail(const std::string& msg) {
    error = msg;
    return false;
  }

  static std::vector<std::string> Split(std::string_view s, char sep);
  // Decimal, or hexadecimal with 0x.
  static bool Int(const std::string& s, long long lo, long long hi, long long& v);
  static bool Num(const std::string& s, double lo, double hi, double& v);

  bool Address(const std::string& s, const std::string& opt, uint8_t& a);
  bool Byte(const std::string& s, const std::string& opt, uint8_t& b);
  bool Ms(const std::string& s, const std::string& opt, uint64_t& us);

  // One option by name, with its value when it has one.
  bool Option(const std::string& name, const std::string& value, bool has_value);
  // The lines of a config file; `origin` names it in errors.
  bool Text(std::string_view text, const std::string& origin);
  bool ConfigFile(const std::string& path);
};

}  // namespace qelcomm::sim
