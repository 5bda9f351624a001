#include "bus.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "qelcomm/telegram_text.h"
#include "replies.h"

namespace qelcomm::sim {
namespace {

constexpr uint64_t kVanishGraceUs = 50'000;

// What the telegram is, in the words of the host's trace.
std::string Describe(const Telegram& t, bool big = false) { return DescribeTelegram(true, t.raw, big); }

std::string BadLayout(const Telegram& t) { return ": bad layout, ignored: " + Hex(t.raw); }

// True when every row of the protocol table has exactly one route.
template <class Routes>
constexpr bool EveryKindRouted(const Routes& routes) {
  for (const auto& kind : protocol::kTelegrams) {
    int n = 0;
    for (const auto& r : routes) n += r.sync == kind.sync;
    if (n != 1) return false;
  }
  return std::size(routes) == std::size(protocol::kTelegrams);
}

}  // namespace

BusConfig BusConfig::Defaults() {
  BusConfig c;
  c.motors = {{1, false}, {2, true}};
  c.modules = {ModuleSetup{}};
  return c;
}

Bus::Bus(const BusConfig& config) : config_(config), rng_(config.seed) {
  if (config_.random_kinds.empty()) config_.random_kinds = DefaultRandomKinds();
  for (const auto& m : config_.motors) {
    motors_[m.address] = std::make_unique<Motor>(m.address, m.big, config_.motor_timing);
  }
  for (const auto& m : config_.modules) {
    modules_.push_back(std::make_unique<Module>(m, config_.module_timing));
  }
  for (const auto& p : config_.presets) {
    if (Motor* m = motor(p.address)) m->Preset(p.number, p.value);
  }
  for (const auto& f : config_.faults) SetFault(f.address, f.kind, f.count);
}

Motor* Bus::motor(uint8_t address) {
  auto it = motors_.find(address);
  return it == motors_.end() ? nullptr : it->second.get();
}

Module* Bus::module(uint8_t address) {
  for (auto& m : modules_) {
    if (m->address() == address) return m.get();
  }
  return nullptr;
}

void Bus::SetFault(uint8_t address, FaultKind kind, uint32_t count) {
  if (kind == FaultKind::kNone) {
    faults_.erase(address);
  } else {
    faults_[address] = {address, kind, count};
  }
}

void Bus::ClearFaults() {
  faults_.clear();
  config_.fault_rate = 0;
  StopChatter();
}

void Bus::StartChatter(uint64_t now_us) {
  if (!chatter_next_us_) chatter_next_us_ = now_us + config_.fault_timing.chatter_period_us;
}

uint64_t Bus::NextWakeUs() const {
  if (vanished_) return UINT64_MAX;
  uint64_t next = UINT64_MAX;
  if (chatter_next_us_) next = std::min(next, *chatter_next_us_);
  if (vanish_at_us_) next = std::min(next, *vanish_at_us_);
  return next;
}

void Bus::Wake(uint64_t now_us) {
  if (vanished_) return;
  if (vanish_at_us_ && *vanish_at_us_ <= now_us) {
    vanished_ = true;
    if (trace_) trace_(Fmt("%12.6f vanish: the device goes away", static_cast<double>(now_us) / 1e6));
    return;
  }
  while (chatter_next_us_ && *chatter_next_us_ <= now_us) {
    Schedule(*chatter_next_us_, NoiseBytes(rng_, 1), false);
    *chatter_next_us_ += std::max<uint64_t>(1, config_.fault_timing.chatter_period_us);
  }
}

std::vector<Output> Bus::TakeOutputs() {
  std::vector<Output> out;
  out.swap(outputs_);
  std::stable_sort(out.begin(), out.end(),
                   [](const Output& a, const Output& b) { return a.at_us < b.at_us; });
  return out;
}

uint64_t Bus::Schedule(uint64_t at_us, const std::vector<uint8_t>& bytes, bool occupies_line) {
  if (bytes.empty()) return at_us;
  const uint64_t byte_us = config_.line.pace ? config_.line.ByteUs() : 0;
  uint64_t end = at_us;
  if (byte_us == 0) {
    outputs_.push_back({at_us, bytes});
  } else {
    for (size_t i = 0; i < bytes.size(); ++i) {
      end = at_us + (i + 1) * byte_us;  // a byte is there once its stop bit is
      outputs_.push_back({end, {bytes[i]}});
    }
  }
  if (occupies_line) line_free_us_ = std::max(line_free_us_, end);
  last_output_us_ = std::max(last_output_us_, end);
  return end;
}

FaultKind Bus::PickFault(uint8_t address) {
  auto it = faults_.find(address);
  if (it != faults_.end()) {
    const FaultKind kind = it->second.kind;
    if (it->second.count > 0 && --it->second.count == 0) faults_.erase(it);
    return kind;
  }
  if (config_.fault_rate > 0 && rng_.Unit() < config_.fault_rate) {
    return config_.random_kinds[static_cast<size_t>(rng_.Below(config_.random_kinds.size()))];
  }
  return FaultKind::kNone;
}

void Bus::Note(const char* request, int number, std::string values) {
  note_ = {request, number, std::move(values)};
}

std::string Bus::Send(uint8_t address, Reply reply, uint64_t now_us) {
  const FaultKind kind = PickFault(address);
  if (record_) {
    record_(Fmt("%" PRIu64 " %s %u %d %s", telegrams_, note_.request, address, note_.number,
                FaultName(kind)) +
            note_.values);
  }
  const uint64_t start = std::max(now_us + config_.line.turnaround_us, line_free_us_);
  std::string note = Fmt(" -> %zu bytes", reply.bytes.size());
  if (kind != FaultKind::kNone) note += Fmt(" [fault %s]", FaultName(kind));
  if (kind == FaultKind::kVanish) {
    vanish_at_us_ = now_us;
    vanished_ = true;
    return note;
  }
  // A piece never starts before the one ahead of it has left: at wire
  // speed a long piece outlasts the pause after its start.
  uint64_t piece_end = start;
  for (const Piece& p : ApplyFault(kind, reply, rng_, config_.fault_timing)) {
    piece_end = Schedule(std::max(start + p.offset_us, piece_end), p.bytes, p.offset_us == 0);
  }
  if (kind == FaultKind::kChatter) StartChatter(start);
  return note;
}

void Bus::Receive(std::span<const uint8_t> bytes, uint64_t now_us) {
  if (vanished_) return;
  // A half-duplex adapter hears its own transmission before any reply.
  if (config_.line.echo) Schedule(now_us, {bytes.begin(), bytes.end()}, true);
  std::vector<Telegram> telegrams;
  parser_.Feed(bytes, telegrams);
  if (parser_.malformed() != malformed_seen_) {
    // Every motor on the line hears a broken telegram and counts it.
    const auto n = parser_.malformed() - malformed_seen_;
    malformed_seen_ = parser_.malformed();
    for (auto& [a, m] : motors_) {
      for (uint64_t i = 0; i < n; ++i) m->CountError();
    }
    if (trace_) {
      trace_(Fmt("%12.6f malformed telegram ignored: %s", static_cast<double>(now_us) / 1e6,
                 Hex(parser_.last_malformed()).c_str()));
    }
  }
  for (const Telegram& t : telegrams) {
    // A device that is going away answers nothing more.
    if (vanished_ || vanish_at_us_) break;
    Handle(t, now_us);
  }
}

void Bus::Handle(const Telegram& t, uint64_t now_us) {
  ++telegrams_;
  Note("accept", 0, "");
  std::string what = Dispatch(t, now_us);
  if (config_.vanish_after > 0 && telegrams_ == config_.vanish_after && !vanished_) {
    // Go away a little after the last reply has left: closing the terminal
    // earlier would drop that reply before a busy host has read it.
    vanish_at_us_ = std::max(now_us, last_output_us_) + kVanishGraceUs;
    what += Fmt(" (telegram %" PRIu64 ": the device vanishes after this)", telegrams_);
  }
  if (trace_) {
    trace_(Fmt("%12.6f ", static_cast<double>(now_us) / 1e6) + what);
  }
}

const Bus::Route& Bus::RouteOf(uint8_t s) {
  static constexpr Route kRoutes[] = {
      {sync::kRead, Target::kMotor, &Bus::OnRead},
      {sync::kReadExtended, Target::kMotor, &Bus::OnRead},
      {sync::kWrite, Target::kMotor, &Bus::OnWrite},
      {sync::kWriteExtended, Target::kMotor, &Bus::OnWrite},
      {sync::kSafeMode, Target::kMotor, &Bus::OnSafeMode},
      {sync::kRestart, Target::kMotor, &Bus::OnRestart},
      {sync::kFlash, Target::kMotor, &Bus::OnFlash},
      {sync::kStatus, Target::kMotor, &Bus::OnStatus},
      {sync::kGroup, Target::kGroup, &Bus::OnGroup},
      {sync::kGroupExtended, Target::kGroup, &Bus::OnGroup},
      {sync::kIdentify, Target::kModules, &Bus::OnIdentify},
      {sync::kModuleWrite, Target::kModules, &Bus::OnModuleWrite},
      {sync::kModuleReset, Target::kModule, &Bus::OnModuleReset},
      {sync::kModuleStop, Target::kModule, &Bus::OnModuleStop},
      {sync::kDebug, Target::kModule, &Bus::OnDebug},
      {sync::kPageRead, Target::kModule, &Bus::OnPageRead},
      {sync::kPage, Target::kModule, &Bus::OnPageWrite},
      {sync::kQup, Target::kModule, &Bus::OnQup},
      {sync::kQupReset, Target::kModule, &Bus::OnQupReset},
  };
  static_assert(EveryKindRouted(kRoutes), "every start sync has one handler");
  for (const Route& r : kRoutes) {
    if (r.sync == s) return r;
  }
  return kRoutes[0];  // not reached: the parser passes only the table's syncs
}

std::string Bus::Dispatch(const Telegram& t, uint64_t now_us) {
  const Route& route = RouteOf(t.sync);
  Request r{t, *protocol::FindTelegram(t.sync), now_us};
  std::string what;
  switch (route.target) {
    case Target::kMotor:
      r.motor = motor(r.address());
      what = Describe(t, r.motor != nullptr && r.motor->big());
      if (r.motor == nullptr) return what + ": no motor";
      if (r.motor->Silent(now_us)) return what + ": motor busy, silent";
      break;
    case Target::kModule:
      r.module = module(r.address());
      what = Describe(t);
      if (r.module == nullptr) return what + ": no module";
      if (r.module->Silent(now_us)) return what + ": module busy, silent";
      break;
    case Target::kModules:
    case Target::kGroup:
      what = Describe(t);
      break;
  }
  if (Outcome outcome = (this->*route.handle)(r)) return what + *outcome;
  // A motor counts a telegram it cannot make sense of.
  if (r.motor != nullptr) r.motor->CountError();
  return what + BadLayout(t);
}

}  // namespace qelcomm::sim
