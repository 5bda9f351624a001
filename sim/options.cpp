#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "option_parser.h"

namespace qelcomm::sim {
namespace {

constexpr size_t kMaxConfigBytes = size_t{1} << 20;
constexpr int kMaxConfigDepth = 4;
// Help lines start an option's text in this column.
constexpr size_t kHelpColumn = 28;

constexpr const char* kHelpIntro = R"(qelsim: simulated Qel motors and Vemo modules on a pseudo-terminal

Prints the slave device path as the first line of stdout, then serves the
telegrams written to it until SIGINT or SIGTERM.

Without --motor/--module options the bus holds:
  a standard motor at address 1, a big motor at address 2,
  and a Vemo module (type 3, firmware 17) fitted to motor 1.
)";

// "  --name VALUE", then the help in its column, each of its lines indented.
std::string HelpEntry(const OptionSpec& o) {
  std::string head = std::string("  --") + o.name;
  if (o.value != nullptr) head += std::string(" ") + o.value;
  std::string out = head;
  if (head.size() >= kHelpColumn) {
    out += "\n" + std::string(kHelpColumn, ' ');
  } else {
    out += std::string(kHelpColumn - head.size(), ' ');
  }
  for (const char* c = o.help; *c != '\0'; ++c) {
    out += *c;
    if (*c == '\n') out += std::string(kHelpColumn, ' ');
  }
  return out + "\n";
}

}  // namespace

std::vector<std::string> OptionParser::Split(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t p = s.find(sep, start);
    parts.emplace_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
    if (p == std::string_view::npos) return parts;
    start = p + 1;
  }
}

bool OptionParser::Int(const std::string& s, long long lo, long long hi, long long& v) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  v = std::strtoll(s.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

bool OptionParser::Num(const std::string& s, double lo, double hi, double& v) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

bool OptionParser::Address(const std::string& s, const std::string& opt, uint8_t& a) {
  long long v = 0;
  if (!Int(s, 1, 254, v)) return Fail(opt + ": address must be 1..254, got '" + s + "'");
  a = static_cast<uint8_t>(v);
  return true;
}

bool OptionParser::Byte(const std::string& s, const std::string& opt, uint8_t& b) {
  long long v = 0;
  if (!Int(s, 0, 255, v)) return Fail(opt + ": expected a byte value, got '" + s + "'");
  b = static_cast<uint8_t>(v);
  return true;
}

bool OptionParser::Ms(const std::string& s, const std::string& opt, uint64_t& us) {
  double v = 0;
  if (!Num(s, 0, 3.6e6, v)) return Fail(opt + ": expected milliseconds, got '" + s + "'");
  us = static_cast<uint64_t>(v * 1000.0 + 0.5);
  return true;
}

bool OptionParser::Option(const std::string& name, const std::string& value, bool has_value) {
  const OptionSpec* spec = FindOption(name);
  if (spec == nullptr) return Fail("unknown option --" + name);
  const bool is_flag = spec->value == nullptr;
  if (!is_flag && !has_value) return Fail("--" + name + " needs a value");
  if (is_flag && has_value) return Fail("--" + name + " takes no value");
  return spec->apply(*this, value, "--" + name);
}

bool OptionParser::ConfigFile(const std::string& path) {
  if (depth > kMaxConfigDepth) return Fail("--config nested too deeply");
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail("--config: cannot read '" + path + "'");
  // Bounded, so that a device or a runaway file cannot eat memory.
  std::string text(kMaxConfigBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxConfigBytes) return Fail("--config: '" + path + "' is larger than 1 MiB");
  ++depth;
  const bool ok = Text(text, path);
  --depth;
  return ok;
}

bool OptionParser::Text(std::string_view text, const std::string& origin) {
  size_t line_no = 0;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    ++line_no;
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    line = line.substr(first, last - first + 1);
    const auto sep = line.find_first_of(" \t=");
    std::string name = line.substr(0, sep);
    std::string value;
    if (sep != std::string::npos) {
      const auto v = line.find_first_not_of(" \t=", sep);
      if (v != std::string::npos) value = line.substr(v);
    }
    if (!Option(name, value, !value.empty())) {
      error = origin + ":" + std::to_string(line_no) + ": " + error;
      return false;
    }
  }
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, SimOptions& out, std::string& error) {
  OptionParser p{out, error};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0 || a.size() < 3) return p.Fail("unexpected argument '" + a + "'");
    std::string name = a.substr(2);
    std::string value;
    bool has_value = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
      has_value = true;
    } else if (const OptionSpec* spec = FindOption(name); spec != nullptr && spec->value != nullptr) {
      if (i + 1 >= args.size()) return p.Fail(a + " needs a value");
      value = args[++i];
      has_value = true;
    }
    if (!p.Option(name, value, has_value)) return false;
  }
  return true;
}

bool ParseConfigText(std::string_view text, SimOptions& out, std::string& error) {
  OptionParser p{out, error};
  return p.Text(text, "config");
}

std::string HelpText() {
  std::string text = kHelpIntro;
  const char* section = nullptr;
  for (const OptionSpec& o : OptionTable()) {
    if (section == nullptr || std::string_view(section) != o.section) {
      section = o.section;
      text += std::string("\n") + section + ":\n";
    }
    text += HelpEntry(o);
  }
  return text;
}

}  // namespace qelcomm::sim
