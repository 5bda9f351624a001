#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "qelcomm/catalogue.h"

namespace qelcomm::sim {
namespace {

constexpr size_t kMaxConfigBytes = size_t{1} << 20;

struct Parser {
  SimOptions& out;
  std::string& error;
  bool motors_given = false;
  bool modules_given = false;
  int depth = 0;

  bool Fail(const std::string& msg) {
    error = msg;
    return false;
  }

  static std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
      const size_t p = s.find(sep, start);
      parts.emplace_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
      if (p == std::string_view::npos) return parts;
      start = p + 1;
    }
  }

  // Decimal, or hexadecimal with 0x.
  static bool Int(const std::string& s, long long lo, long long hi, long long& v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
  }

  static bool Num(const std::string& s, double lo, double hi, double& v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
  }

  bool Address(const std::string& s, const std::string& opt, uint8_t& a) {
    long long v = 0;
    if (!Int(s, 1, 254, v)) return Fail(opt + ": address must be 1..254, got '" + s + "'");
    a = static_cast<uint8_t>(v);
    return true;
  }

  bool Byte(const std::string& s, const std::string& opt, uint8_t& b) {
    long long v = 0;
    if (!Int(s, 0, 255, v)) return Fail(opt + ": expected a byte value, got '" + s + "'");
    b = static_cast<uint8_t>(v);
    return true;
  }

  bool Ms(const std::string& s, const std::string& opt, uint64_t& us) {
    double v = 0;
    if (!Num(s, 0, 3.6e6, v)) return Fail(opt + ": expected milliseconds, got '" + s + "'");
    us = static_cast<uint64_t>(v * 1000.0 + 0.5);
    return true;
  }

  bool Option(const std::string& name, const std::string& value, bool has_value) {
    static const char* kFlags[] = {"trace", "pace", "echo", "no-module", "help"};
    bool is_flag = false;
    for (const char* f : kFlags) is_flag |= name == f;
    if (!is_flag && !has_value) return Fail("--" + name + " needs a value");
    if (is_flag && has_value) return Fail("--" + name + " takes no value");
    const std::string opt = "--" + name;
    BusConfig& bus = out.bus;

    if (name == "help") {
      out.help = true;
    } else if (name == "trace") {
      out.trace = true;
    } else if (name == "pace") {
      bus.line.pace = true;
    } else if (name == "echo") {
      bus.line.echo = true;
    } else if (name == "no-module") {
      bus.modules.clear();
      modules_given = true;
    } else if (name == "link") {
      out.link = value;
    } else if (name == "record") {
      out.record = value;
    } else if (name == "config") {
      if (depth > 4) return Fail("--config nested too deeply");
      std::ifstream in(value, std::ios::binary);
      if (!in) return Fail("--config: cannot read '" + value + "'");
      // Bounded, so that a device or a runaway file cannot eat memory.
      std::string text(kMaxConfigBytes + 1, '\0');
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<size_t>(in.gcount()));
      if (text.size() > kMaxConfigBytes) return Fail("--config: '" + value + "' is larger than 1 MiB");
      ++depth;
      const bool ok = Text(text, value);
      --depth;
      return ok;
    } else if (name == "motor") {
      auto parts = Split(value, ':');
      MotorSetup m;
      if (!Address(parts[0], opt, m.address)) return false;
      if (parts.size() == 2 && (parts[1] == "big" || parts[1] == "std")) {
        m.big = parts[1] == "big";
      } else if (parts.size() != 1) {
        return Fail(opt + ": expected ADDR or ADDR:big, got '" + value + "'");
      }
      if (!motors_given) bus.motors.clear();
      motors_given = true;
      std::erase_if(bus.motors, [&](const MotorSetup& x) { return x.address == m.address; });
      bus.motors.push_back(m);
    } else if (name == "module") {
      auto parts = Split(value, ':');
      ModuleSetup m;
      if (parts.size() > 5) return Fail(opt + ": expected ADDR[:TYPE[:FW[:INPUTS[:NOOP]]]]");
      if (!Address(parts[0], opt, m.address)) return false;
      if (parts.size() > 1 && !Byte(parts[1], opt, m.type)) return false;
      if (parts.size() > 2 && !Byte(parts[2], opt, m.firmware)) return false;
      if (parts.size() > 3 && !Byte(parts[3], opt, m.inputs)) return false;
      if (parts.size() > 4) {
        long long v = 0;
        if (!Int(parts[4], -32768, 65535, v)) return Fail(opt + ": bad NOOP value '" + parts[4] + "'");
        m.noop_value = static_cast<uint16_t>(v);
      }
      if (!modules_given) bus.modules.clear();
      modules_given = true;
      std::erase_if(bus.modules, [&](const ModuleSetup& x) { return x.address == m.address; });
      bus.modules.push_back(m);
    } else if (name == "set") {
      const size_t colon = value.find(':');
      const size_t eq = value.find('=');
      if (colon == std::string::npos || eq == std::string::npos || eq < colon) {
        return Fail(opt + ": expected ADDR:REG=VALUE, got '" + value + "'");
      }
      RegisterPreset p;
      if (!Address(value.substr(0, colon), opt, p.address)) return false;
      const std::string reg = value.substr(colon + 1, eq - colon - 1);
      long long n = 0;
      if (!Int(reg, 1, 511, n)) {
        bool big = false;
        for (const auto& m : bus.motors) big |= m.address == p.address && m.big;
        // By name for the motor's size, extended names too.
        const auto found = registers::RegisterByName(big, reg);
        if (!found) return Fail(opt + ": unknown register '" + reg + "'");
        n = found->number;
      }
      p.number = static_cast<int>(n);
      long long v = 0;
      if (!Int(value.substr(eq + 1), INT32_MIN, UINT32_MAX, v)) return Fail(opt + ": bad value in '" + value + "'");
      p.value = static_cast<uint32_t>(v);
      bus.presets.push_back(p);
    } else if (name == "fault") {
      auto parts = Split(value, ':');
      FaultRule r;
      if (parts.size() < 2 || parts.size() > 3) return Fail(opt + ": expected ADDR:KIND[:COUNT], got '" + value + "'");
      long long a = 0;
      if (!Int(parts[0], 0, 255, a)) return Fail(opt + ": bad address '" + parts[0] + "'");
      r.address = static_cast<uint8_t>(a);
      auto kind = ParseFaultKind(parts[1]);
      if (!kind) return Fail(opt + ": unknown fault kind '" + parts[1] + "'");
      r.kind = *kind;
      if (parts.size() == 3) {
        long long c = 0;
        if (!Int(parts[2], 1, UINT32_MAX, c)) return Fail(opt + ": bad count '" + parts[2] + "'");
        r.count = static_cast<uint32_t>(c);
      }
      bus.faults.push_back(r);
    } else if (name == "faults") {
      bus.random_kinds.clear();
      for (const auto& k : Split(value, ',')) {
        auto kind = ParseFaultKind(k);
        if (!kind || *kind == FaultKind::kNone) return Fail(opt + ": unknown fault kind '" + k + "'");
        bus.random_kinds.push_back(*kind);
      }
    } else if (name == "seed") {
      long long v = 0;
      if (!Int(value, 0, INT64_MAX, v)) return Fail(opt + ": bad seed '" + value + "'");
      bus.seed = static_cast<uint64_t>(v);
    } else if (name == "fault-rate") {
      if (!Num(value, 0, 1, bus.fault_rate)) return Fail(opt + ": expected a probability 0..1");
    } else if (name == "baud") {
      long long v = 0;
      if (!Int(value, 50, 10'000'000, v)) return Fail(opt + ": bad bit rate '" + value + "'");
      bus.line.baud = static_cast<uint32_t>(v);
    } else if (name == "vanish-after") {
      long long v = 0;
      if (!Int(value, 1, UINT32_MAX, v)) return Fail(opt + ": expected a telegram count");
      bus.vanish_after = static_cast<uint32_t>(v);
    } else if (name == "turnaround-ms") {
      return Ms(value, opt, bus.line.turnaround_us);
    } else if (name == "late-ms") {
      return Ms(value, opt, bus.fault_timing.late_us);
    } else if (name == "split-pause-ms") {
      return Ms(value, opt, bus.fault_timing.split_pause_us);
    } else if (name == "chatter-ms") {
      if (!Ms(value, opt, bus.fault_timing.chatter_period_us)) return false;
      if (bus.fault_timing.chatter_period_us == 0) return Fail(opt + ": must be above 0");
    } else if (name == "safe-delay-ms") {
      return Ms(value, opt, bus.motor_timing.safe_delay_us);
    } else if (name == "restart-ms") {
      return Ms(value, opt, bus.motor_timing.restart_silent_us);
    } else if (name == "flash-ms") {
      return Ms(value, opt, bus.motor_timing.flash_silent_us);
    } else if (name == "module-reset-ms") {
      return Ms(value, opt, bus.module_timing.reset_silent_us);
    } else if (name == "module-write-ms") {
      return Ms(value, opt, bus.module_timing.write_silent_us);
    } else if (name == "qup-reset-ms") {
      return Ms(value, opt, bus.module_timing.qup_reset_silent_us);
    } else {
      return Fail("unknown option --" + name);
    }
    return true;
  }

  bool Text(std::string_view text, const std::string& origin) {
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
};

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, SimOptions& out, std::string& error) {
  Parser p{out, error};
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
    } else if (name != "trace" && name != "pace" && name != "echo" && name != "no-module" &&
               name != "help") {
      if (i + 1 >= args.size()) return p.Fail(a + " needs a value");
      value = args[++i];
      has_value = true;
    }
    if (!p.Option(name, value, has_value)) return false;
  }
  return true;
}

bool ParseConfigText(std::string_view text, SimOptions& out, std::string& error) {
  Parser p{out, error};
  return p.Text(text, "config");
}

std::string HelpText() {
  return R"(qelsim: simulated Qel motors and Vemo modules on a pseudo-terminal

Prints the slave device path as the first line of stdout, then serves the
telegrams written to it until SIGINT or SIGTERM.

Without --motor/--module options the bus holds:
  a standard motor at address 1, a big motor at address 2,
  and a Vemo module (type 3, firmware 17) fitted to motor 1.

Bus:
  --motor ADDR[:big]        a motor (repeatable; the first replaces the default motors)
  --module ADDR[:TYPE[:FW[:INPUTS[:NOOP]]]]
                            a module at ADDR (repeatable; the first replaces the
                            default module); NOOP is what QupNOOP reads (0x1234)
  --no-module               no module at all
  --set ADDR:REG=VALUE      start value of a register (number or name), e.g. 1:GROUPID=3
  --config FILE             options from FILE, one per line without "--", '#' comments

Faults (replies to ADDR; acceptances included):
  --fault ADDR:KIND[:COUNT] every reply to ADDR, or only the next COUNT, gets KIND:
                            drop corrupt complement wrong-sync late split
                            noise-before noise-after bad-accept chatter vanish
  --seed N                  seed of every random choice (default 1)
  --fault-rate P            random faults: each reply faulty with probability P
  --faults KIND,KIND        kinds for random faults (default: all but chatter, vanish)
  --vanish-after N          close the terminal after the N-th telegram (and its reply)
  --late-ms X               delay of a late reply (150)
  --split-pause-ms X        pause between the pieces of a split reply (60)
  --chatter-ms X            period of the chatter bytes (5); SIGUSR1 clears all faults

Timing:
  --baud N                  bit rate for --pace (19200)
  --pace                    send replies byte by byte at 10 bits per byte
  --echo                    hand every byte from the host straight back before
                            any reply, as an RS-485 adapter without echo suppression
  --turnaround-ms X         from the end of a request to the reply (1)
  --safe-delay-ms X         until MODE_REG reads 15 after enter-safe-mode (20)
  --restart-ms X            motor silent after restart (1500)
  --flash-ms X              motor silent after flash (2000)
  --module-reset-ms X       module silent after its reset (500)
  --module-write-ms X       module silent after the write command (2000)
  --qup-reset-ms X          module silent after a Qup reset (300)

Other:
  --link PATH               also make PATH a symlink to the slave device
  --trace                   every telegram decoded, one line each, on stderr
  --record FILE             one line per reply, faulted or not, to FILE:
                            SEQ REQUEST ADDR REG FAULT VALUE...
  --help                    this text
)";
}

}  // namespace qelcomm::sim
