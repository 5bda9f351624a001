// Every qelsim option: what it means in --help and what it does.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "option_parser.h"
#include "qelcomm/catalogue.h"

namespace qelcomm::sim {
namespace {

using P = OptionParser;
using S = const std::string&;

constexpr const char* kBus = "Bus";
constexpr const char* kFaults = "Faults (replies to ADDR; acceptances included)";
constexpr const char* kTiming = "Timing";
constexpr const char* kOther = "Other";

// The first --motor or --module replaces the default bus's list; a later
// one for the same address replaces the earlier one.
template <class Setup>
void Place(std::vector<Setup>& list, bool& given, const Setup& item) {
  if (!given) list.clear();
  given = true;
  std::erase_if(list, [&](const Setup& x) { return x.address == item.address; });
  list.push_back(item);
}

bool Motor(P& p, S value, S opt) {
  auto parts = P::Split(value, ':');
  MotorSetup m;
  if (!p.Address(parts[0], opt, m.address)) return false;
  if (parts.size() == 2 && (parts[1] == "big" || parts[1] == "std")) {
    m.big = parts[1] == "big";
  } else if (parts.size() != 1) {
    return p.Fail(opt + ": expected ADDR or ADDR:big, got '" + value + "'");
  }
  Place(p.out.bus.motors, p.motors_given, m);
  return true;
}

bool Module(P& p, S value, S opt) {
  auto parts = P::Split(value, ':');
  ModuleSetup m;
  if (parts.size() > 5) return p.Fail(opt + ": expected ADDR[:TYPE[:FW[:INPUTS[:NOOP]]]]");
  if (!p.Address(parts[0], opt, m.address)) return false;
  if (parts.size() > 1 && !p.Byte(parts[1], opt, m.type)) return false;
  if (parts.size() > 2 && !p.Byte(parts[2], opt, m.firmware)) return false;
  if (parts.size() > 3 && !p.Byte(parts[3], opt, m.inputs)) return false;
  if (parts.size() > 4) {
    long long v = 0;
    if (!P::Int(parts[4], -32768, 65535, v)) return p.Fail(opt + ": bad NOOP value '" + parts[4] + "'");
    m.noop_value = static_cast<uint16_t>(v);
  }
  Place(p.out.bus.modules, p.modules_given, m);
  return true;
}

bool Set(P& p, S value, S opt) {
  const size_t colon = value.find(':');
  const size_t eq = value.find('=');
  if (colon == std::string::npos || eq == std::string::npos || eq < colon) {
    return p.Fail(opt + ": expected ADDR:REG=VALUE, got '" + value + "'");
  }
  RegisterPreset preset;
  if (!p.Address(value.substr(0, colon), opt, preset.address)) return false;
  const std::string reg = value.substr(colon + 1, eq - colon - 1);
  long long n = 0;
  if (!P::Int(reg, 1, registers::kLastExtendedRegister, n)) {
    // By name for the motor's size, extended names too.
    bool big = false;
    for (const auto& m : p.out.bus.motors) big |= m.address == preset.address && m.big;
    const auto found = registers::RegisterByName(big, reg);
    if (!found) return p.Fail(opt + ": unknown register '" + reg + "'");
    n = found->number;
  }
  preset.number = static_cast<int>(n);
  long long v = 0;
  if (!P::Int(value.substr(eq + 1), INT32_MIN, UINT32_MAX, v)) return p.Fail(opt + ": bad value in '" + value + "'");
  preset.value = static_cast<uint32_t>(v);
  p.out.bus.presets.push_back(preset);
  return true;
}

bool Fault(P& p, S value, S opt) {
  auto parts = P::Split(value, ':');
  FaultRule r;
  if (parts.size() < 2 || parts.size() > 3) return p.Fail(opt + ": expected ADDR:KIND[:COUNT], got '" + value + "'");
  long long a = 0;
  if (!P::Int(parts[0], 0, 255, a)) return p.Fail(opt + ": bad address '" + parts[0] + "'");
  r.address = static_cast<uint8_t>(a);
  auto kind = ParseFaultKind(parts[1]);
  if (!kind) return p.Fail(opt + ": unknown fault kind '" + parts[1] + "'");
  r.kind = *kind;
  if (parts.size() == 3) {
    long long c = 0;
    if (!P::Int(parts[2], 1, UINT32_MAX, c)) return p.Fail(opt + ": bad count '" + parts[2] + "'");
    r.count = static_cast<uint32_t>(c);
  }
  p.out.bus.faults.push_back(r);
  return true;
}

bool RandomKinds(P& p, S value, S opt) {
  auto& kinds = p.out.bus.random_kinds;
  kinds.clear();
  for (const auto& k : P::Split(value, ',')) {
    auto kind = ParseFaultKind(k);
    if (!kind || *kind == FaultKind::kNone) return p.Fail(opt + ": unknown fault kind '" + k + "'");
    kinds.push_back(*kind);
  }
  return true;
}

bool Seed(P& p, S value, S opt) {
  long long v = 0;
  if (!P::Int(value, 0, INT64_MAX, v)) return p.Fail(opt + ": bad seed '" + value + "'");
  p.out.bus.seed = static_cast<uint64_t>(v);
  return true;
}

bool Baud(P& p, S value, S opt) {
  long long v = 0;
  if (!P::Int(value, 50, 10'000'000, v)) return p.Fail(opt + ": bad bit rate '" + value + "'");
  p.out.bus.line.baud = static_cast<uint32_t>(v);
  return true;
}

bool VanishAfter(P& p, S value, S opt) {
  long long v = 0;
  if (!P::Int(value, 1, UINT32_MAX, v)) return p.Fail(opt + ": expected a telegram count");
  p.out.bus.vanish_after = static_cast<uint32_t>(v);
  return true;
}

bool ChatterMs(P& p, S value, S opt) {
  uint64_t& period = p.out.bus.fault_timing.chatter_period_us;
  if (!p.Ms(value, opt, period)) return false;
  return period != 0 || p.Fail(opt + ": must be above 0");
}

constexpr OptionSpec kOptions[] = {
    {"motor", "ADDR[:big]", kBus, "a motor (repeatable; the first replaces the default motors)", Motor},
    {"module", "ADDR[:TYPE[:FW[:INPUTS[:NOOP]]]]", kBus,
     "a module at ADDR (repeatable; the first replaces the\n"
     "default module); NOOP is what QupNOOP reads (0x1234)",
     Module},
    {"no-module", nullptr, kBus, "no module at all",
     [](P& p, S, S) {
       p.out.bus.modules.clear();
       p.modules_given = true;
       return true;
     }},
    {"set", "ADDR:REG=VALUE", kBus, "start value of a register (number or name), e.g. 1:GROUPID=3", Set},
    {"config", "FILE", kBus, "options from FILE, one per line without \"--\", '#' comments",
     [](P& p, S value, S) { return p.ConfigFile(value); }},

    {"fault", "ADDR:KIND[:COUNT]", kFaults,
     "every reply to ADDR, or only the next COUNT, gets KIND:\n"
     "drop corrupt complement wrong-sync late split\n"
     "noise-before noise-after bad-accept chatter vanish",
     Fault},
    {"seed", "N", kFaults, "seed of every random choice (default 1)", Seed},
    {"fault-rate", "P", kFaults, "random faults: each reply faulty with probability P",
     [](P& p, S value, S opt) {
       return P::Num(value, 0, 1, p.out.bus.fault_rate) || p.Fail(opt + ": expected a probability 0..1");
     }},
    {"faults", "KIND,KIND", kFaults, "kinds for random faults (default: all but chatter, vanish)", RandomKinds},
    {"vanish-after", "N", kFaults, "close the terminal after the N-th telegram (and its reply)", VanishAfter},
    {"late-ms", "X", kFaults, "delay of a late reply (150)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.fault_timing.late_us); }},
    {"split-pause-ms", "X", kFaults, "pause between the pieces of a split reply (60)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.fault_timing.split_pause_us); }},
    {"chatter-ms", "X", kFaults, "period of the chatter bytes (5); SIGUSR1 clears all faults", ChatterMs},

    {"baud", "N", kTiming, "bit rate for --pace (19200)", Baud},
    {"pace", nullptr, kTiming, "send replies byte by byte at 10 bits per byte",
     [](P& p, S, S) { return p.out.bus.line.pace = true; }},
    {"echo", nullptr, kTiming,
     "hand every byte from the host straight back before\n"
     "any reply, as an RS-485 adapter without echo suppression",
     [](P& p, S, S) { return p.out.bus.line.echo = true; }},
    {"turnaround-ms", "X", kTiming, "from the end of a request to the reply (1)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.line.turnaround_us); }},
    {"safe-delay-ms", "X", kTiming, "until MODE_REG reads 15 after enter-safe-mode (20)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.motor_timing.safe_delay_us); }},
    {"restart-ms", "X", kTiming, "motor silent after restart (1500)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.motor_timing.restart_silent_us); }},
    {"flash-ms", "X", kTiming, "motor silent after flash (2000)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.motor_timing.flash_silent_us); }},
    {"module-reset-ms", "X", kTiming, "module silent after its reset (500)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.module_timing.reset_silent_us); }},
    {"module-write-ms", "X", kTiming, "module silent after the write command (2000)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.module_timing.write_silent_us); }},
    {"qup-reset-ms", "X", kTiming, "module silent after a Qup reset (300)",
     [](P& p, S value, S opt) { return p.Ms(value, opt, p.out.bus.module_timing.qup_reset_silent_us); }},

    {"link", "PATH", kOther, "also make PATH a symlink to the slave device",
     [](P& p, S value, S) {
       p.out.link = value;
       return true;
     }},
    {"trace", nullptr, kOther, "every telegram decoded, one line each, on stderr",
     [](P& p, S, S) { return p.out.trace = true; }},
    {"record", "FILE", kOther,
     "one line per reply, faulted or not, to FILE:\n"
     "SEQ REQUEST ADDR REG FAULT VALUE...",
     [](P& p, S value, S) {
       p.out.record = value;
       return true;
     }},
    {"help", nullptr, kOther, "this text", [](P& p, S, S) { return p.out.help = true; }},
};

}  // namespace

std::span<const OptionSpec> OptionTable() { return kOptions; }

const OptionSpec* FindOption(std::string_view name) {
  for (const auto& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

}  // namespace qelcomm::sim
