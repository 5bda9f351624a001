#include "bus.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "qelcomm/telegram_text.h"

namespace qelcomm::sim {
namespace {

constexpr uint64_t kVanishGraceUs = 50'000;

std::string Fmt(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

uint32_t LittleEndian(const std::vector<uint8_t>& f, size_t from, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{f[from + i]} << (8 * i);
  return v;
}

Reply Framed(uint8_t sync_byte, std::vector<uint8_t> fields, std::vector<size_t> unchecked = {}) {
  return {BuildFrame(sync_byte, fields), true, std::move(unchecked)};
}

Reply Accept(uint8_t value) { return {Acceptance(value), false, {}}; }

// What the telegram is, in the words of the host's trace.
std::string Describe(const Telegram& t, bool big = false) { return DescribeTelegram(true, t.raw, big); }

std::string BadLayout(const Telegram& t) { return ": bad layout, ignored: " + Hex(t.raw); }

// Names the module that answers a telegram sent to the probe address;
// `own` when the telegram went to its own address.
std::string Answerer(const Module& m, uint8_t addr, const char* own) {
  return addr == m.address() ? std::string(own) : Fmt(": module %u", m.address());
}

template <class Bytes>
unsigned ByteSum(const Bytes& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
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
  std::string what;
  switch (t.sync) {
    case sync::kIdentify: case sync::kModuleReset: case sync::kModuleStop:
    case sync::kDebug: case sync::kPageRead: case sync::kPage:
    case sync::kModuleWrite: case sync::kQup: case sync::kQupReset:
      what = HandleModule(t, now_us);
      break;
    default:
      what = HandleMotor(t, now_us);
      break;
  }
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

std::string Bus::HandleMotor(const Telegram& t, uint64_t now_us) {
  const auto& f = t.fields;
  const uint8_t addr = f[0];
  const bool ext = t.sync == sync::kReadExtended || t.sync == sync::kWriteExtended || t.sync == sync::kGroupExtended;

  if (t.sync == sync::kGroup || t.sync == sync::kGroupExtended) {
    // Members may be of either size; the standard table names the register.
    const std::string what = Describe(t);
    if (f.size() < 5 || (f[3] != 2 && f[3] != 4) || f.size() != 4u + f[3]) return what + BadLayout(t);
    const int number = f[2] + (ext ? 256 : 0);
    const uint32_t value = LittleEndian(f, 4, f[3]);
    std::string applied;
    for (auto& [a, m] : motors_) {
      if (!m->Silent(now_us) && m->ApplyGroup(addr, f[1], number, value, now_us)) {
        applied += Fmt(" %u", a);
      }
    }
    return what + ", applied by:" + (applied.empty() ? " none" : applied);
  }

  Motor* m = motor(addr);
  std::string what = Describe(t, m != nullptr && m->big());
  if (m == nullptr) return what + ": no motor";
  if (m->Silent(now_us)) return what + ": motor busy, silent";

  switch (t.sync) {
    case sync::kRead:
    case sync::kReadExtended: {
      if (f.size() != 2) break;
      const int number = f[1] + (ext ? 256 : 0);
      auto v = m->Read(number, now_us);
      if (!v) return what + ": unknown register, no reply";
      what += Fmt(" = %d", m->Width(number) == 4 ? static_cast<int32_t>(*v)
                                                : static_cast<int32_t>(static_cast<int16_t>(*v)));
      Note("read", number, Fmt(" %u", *v));
      return what + Send(addr,
                         Framed(ext ? sync::kWriteExtended : sync::kWrite,
                                {0x00, f[1], 0x04, static_cast<uint8_t>(*v), static_cast<uint8_t>(*v >> 8),
                                 static_cast<uint8_t>(*v >> 16), static_cast<uint8_t>(*v >> 24)}),
                         now_us);
    }
    case sync::kWrite:
    case sync::kWriteExtended: {
      if (f.size() < 3 || (f[2] != 2 && f[2] != 4) || f.size() != 3u + f[2]) break;
      const int number = f[1] + (ext ? 256 : 0);
      if (!m->Write(number, LittleEndian(f, 3, f[2]), now_us)) return what + ": unknown register, no reply";
      Note("write", number, Fmt(" %u", *m->Read(number, now_us)));
      return what + Send(addr, Accept(kMotorAccept), now_us);
    }
    case sync::kSafeMode:
      if (f.size() != 1) break;
      m->EnterSafeMode(now_us);
      return what + Send(addr, Accept(kMotorAccept), now_us);
    case sync::kRestart:
    case sync::kFlash:
      if (f.size() != 1) break;
      if (!m->InSafeMode(now_us)) return what + ": outside safe mode, ignored" + Send(addr, Accept(kMotorAccept), now_us);
      if (t.sync == sync::kRestart) {
        m->Restart(now_us);
      } else {
        m->Flash(now_us);
      }
      return what + ": unanswered, motor silent for a while";
    case sync::kStatus: {
      if (f.size() != 1) break;
      const MotorStatus s = m->Status(now_us);
      const auto p = static_cast<uint32_t>(s.position);
      what += Fmt(": word 0x%04X pos %d errors %u", s.word, s.position, s.error_count);
      Note("status", 0, Fmt(" %u %d %u", s.word, s.position, s.error_count));
      return what + Send(addr,
                         Framed(sync::kStatus,
                                {0x00, 0x08, static_cast<uint8_t>(s.word), static_cast<uint8_t>(s.word >> 8),
                                 static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                                 static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24),
                                 s.error_count, 0x00}),
                         now_us);
    }
    default:
      break;
  }
  m->CountError();
  return what + BadLayout(t);
}

std::string Bus::HandleModule(const Telegram& t, uint64_t now_us) {
  const auto& f = t.fields;
  const uint8_t addr = f[0];
  std::string what = Describe(t);

  if (t.sync == sync::kIdentify || t.sync == sync::kModuleWrite) {
    if (f.size() != 1) return what + BadLayout(t);
    // Modules take these at their own address and at the probe address:
    // the control sends the write command of module programming there.
    bool any = false;
    for (auto& m : modules_) {
      if (!m->AnswersTo(addr) || m->Silent(now_us)) continue;
      any = true;
      if (t.sync == sync::kIdentify) {
        what += Answerer(*m, addr, ":") + Fmt(" type %u firmware %u", m->setup().type, m->setup().firmware);
        Note("identify", 0, Fmt(" %u %u", m->setup().type, m->setup().firmware));
        // Offsets 5 and 6 carry a hardware revision the host does not check.
        what += Send(addr, Framed(sync::kIdentify, {0x00, 0x01, m->setup().type, m->setup().firmware}, {5, 6}),
                     now_us);
      } else {
        Note("module-write", 0, "");
        what += Answerer(*m, addr, "") + Send(addr, Accept(kModuleAccept), now_us);
        m->CommitWrite(now_us);
        what += ", committing, silent for a while";
      }
    }
    return any ? what : what + ": no module answers";
  }

  Module* m = module(addr);
  if (m == nullptr) return what + ": no module";
  if (m->Silent(now_us)) return what + ": module busy, silent";

  switch (t.sync) {
    case sync::kModuleReset:
      if (f.size() != 1) break;
      m->Reset(now_us);
      return what + ": unanswered, module restarts";
    case sync::kModuleStop:
      if (f.size() != 1) break;
      m->Stop(now_us);
      Note("stop", 0, "");
      return what + Send(addr, Accept(kModuleAccept), now_us);
    case sync::kDebug: {
      if (f.size() != 1) break;
      const DebugState d = m->Debug(now_us);
      what += Fmt(": state %u inputs 0x%02X outputs 0x%02X time %u count %u mode %u", d.state, d.inputs,
                  d.outputs, d.time, d.count, d.mode_cmd);
      Note("debug", 0, "");
      return what + Send(addr,
                         Framed(sync::kDebug,
                                {0x00, d.state, d.inputs, d.outputs, static_cast<uint8_t>(d.time),
                                 static_cast<uint8_t>(d.time >> 8), static_cast<uint8_t>(d.count),
                                 static_cast<uint8_t>(d.count >> 8), d.mode_cmd}),
                         now_us);
    }
    case sync::kPageRead: {
      if (f.size() != 2) break;
      std::vector<uint8_t> fields{0x00, f[1]};
      const auto page = m->ReadPage(f[1]);
      Note("page-read", f[1], Fmt(" %u", ByteSum(page)));
      fields.insert(fields.end(), page.begin(), page.end());
      return what + Send(addr, Framed(sync::kPage, std::move(fields)), now_us);
    }
    case sync::kPage:
      if (f.size() != 2 + kPageSize) break;
      m->WritePage(f[1], f.data() + 2);
      Note("page-write", f[1], Fmt(" %u", ByteSum(m->ReadPage(f[1]))));
      return what + Send(addr, Accept(kModuleAccept), now_us);
    case sync::kQup: {
      if (f.size() < 3 || f.size() != 2u + f[1]) break;
      std::vector<uint8_t> payload(f.begin() + 2, f.end());
      const auto d = m->Qup(payload, now_us);
      what += Fmt(": state %u outputs 0x%02X", d[1], d[2]);
      Note("qup", 0, Fmt(" %u", d[6] | d[7] << 8));
      std::vector<uint8_t> fields{0x00, 0x08};
      fields.insert(fields.end(), d.begin(), d.end());
      return what + Send(addr, Framed(sync::kQup, std::move(fields)), now_us);
    }
    case sync::kQupReset:
      if (f.size() != 1) break;
      m->QupReset(now_us);
      return what + ": unanswered, program reset";
    default:
      break;
  }
  return what + BadLayout(t);
}

}  // namespace qelcomm::sim
