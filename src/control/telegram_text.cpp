#include "qelcomm/telegram_text.h"

#include <cstdio>
#include <iterator>
#include <vector>

#include "qelcomm/protocol.h"
#include "registers/catalogue.h"

namespace qelcomm {
namespace {

namespace sync = protocol::sync;
namespace qup = protocol::qup;
using Fields = std::vector<uint8_t>;

// A well-formed telegram with the complements stripped.
struct Frame {
  uint8_t sync = 0;
  Fields f;
};

template <typename... Args>
std::string Fmt(const char* format, Args... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) s += Fmt(s.empty() ? "%02X" : " %02X", unsigned{b});
  return s;
}

// Offsets 5 and 6 of the identification reply hold two bytes that are not
// a field and its complement.
bool IsFreePair(bool from_host, uint8_t sync_byte, size_t pair) {
  const protocol::TelegramKind* answered = protocol::FindRequestAnsweredBy(sync_byte);
  return !from_host && answered && answered->reply == protocol::Reply::kIdentify && pair == 1;
}

// Sync ×3, field/complement pairs, end sync ×2, and nothing after it.
bool SplitFrame(bool from_host, std::span<const uint8_t> b, Frame& out) {
  if (b.size() < 5 || b[0] != b[1] || b[1] != b[2]) return false;
  out.sync = b[0];
  for (size_t i = 3; i + 1 < b.size(); i += 2) {
    if (b[i] == protocol::kEndSync && b[i + 1] == protocol::kEndSync) return i + 2 == b.size();
    if (b[i + 1] != uint8_t(~b[i]) && !IsFreePair(from_host, out.sync, out.f.size())) return false;
    out.f.push_back(b[i]);
  }
  return false;
}

}  // namespace

std::string FindTelegramFault(bool from_host, std::span<const uint8_t> b) {
  auto at = [&b](size_t i) { return Fmt("byte %zu (0x%02X)", i + 1, unsigned{b[i]}); };
  for (size_t i = 1; i < b.size() && i < 3; ++i) {
    if (b[i] != b[0]) return at(i) + Fmt(" does not repeat the sync 0x%02X", unsigned{b[0]});
  }
  size_t pairs = 0;
  for (size_t i = 3; i + 1 < b.size(); i += 2, ++pairs) {
    if (b[i] == protocol::kEndSync && b[i + 1] == protocol::kEndSync) {
      return i + 2 == b.size() ? "" : at(i + 2) + " follows the end sync";
    }
    if (b[i + 1] != uint8_t(~b[i]) && !IsFreePair(from_host, b[0], pairs)) {
      return at(i + 1) + " is not the complement of " + at(i);
    }
  }
  return {};
}

namespace {

// A little-endian value of 2 or 4 fields from `from`, sign-extended.
int32_t Value(std::span<const uint8_t> f, size_t from, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{f[from + i]} << (8 * i);
  return n == 2 ? int16_t(v) : int32_t(v);
}

unsigned Word(std::span<const uint8_t> f, size_t from) {
  return unsigned(f[from] | f[from + 1] << 8);
}

std::string RegisterText(int number, bool big) {
  const bool extended = protocol::IsExtended(number);
  const auto table = extended ? registers::ExtendedTable()
                              : big ? registers::BigTable() : registers::StandardTable();
  const int stored = protocol::RegisterOnWire(number);
  for (const auto& e : table) {
    if (e.Number == stored) return std::string(e.Name) + " (" + std::to_string(number) + ")";
  }
  return std::to_string(number);
}

bool IsValueLength(uint8_t n) { return n == 2 || n == 4; }

// What a describer is handed: the telegram, its row of the protocol table
// and the big-motor flag that names registers.
struct Seen {
  bool from_host;
  const Frame& t;
  const protocol::TelegramKind& kind;
  bool big;

  size_t n() const { return t.f.size(); }
  std::string Register(size_t i) const {
    return RegisterText(t.f[i] + (kind.extended ? protocol::kExtendedBase : 0), big);
  }
  std::string Motor() const { return "motor " + std::to_string(t.f[0]); }
  std::string Module() const { return "module " + std::to_string(t.f[0]); }
};

std::string RegisterRead(const Seen& s) {
  if (s.from_host && s.n() == 2) return "read " + s.Motor() + " register " + s.Register(1);
  return {};
}

// A write request, and also the reply to a read.
std::string RegisterValue(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.n() < 3 || !IsValueLength(f[2]) || s.n() != 3u + f[2]) return {};
  const std::string value = std::to_string(Value(f, 3, f[2]));
  if (!s.from_host) return "reply: register " + s.Register(1) + " = " + value;
  return "write " + s.Motor() + " register " + s.Register(1) + " = " + value;
}

// Safe mode, restart and flash carry the address alone.
std::string MotorCommand(const Seen& s) {
  if (s.n() == 1) return std::string(s.kind.name) + ", " + s.Motor();
  return {};
}

std::string Status(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.from_host && s.n() == 1) return "read status, " + s.Motor();
  if (!s.from_host && s.n() == 10) {
    return Fmt("status reply: word 0x%04X, position %d, errors %u", Word(f, 2), Value(f, 4, 4),
               unsigned{f[8]});
  }
  return {};
}

std::string Group(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.n() < 4 || !IsValueLength(f[3]) || s.n() != 4u + f[3]) return {};
  return "group " + std::to_string(f[0]) + " write #" + std::to_string(f[1]) + ", register " +
         s.Register(2) + " = " + std::to_string(Value(f, 4, f[3]));
}

const char* PlainQupName(uint8_t code) {
  switch (code) {
    case qup::kNoop: return "noop";
    case qup::kStart: return "start";
    case qup::kStop: return "stop";
    case qup::kPause: return "pause";
    default: return nullptr;
  }
}

// Fields: address, payload length, payload (command code first).
std::string QupRequest(const Fields& f) {
  const std::string module = ", module " + std::to_string(f[0]);
  const std::span<const uint8_t> p(f.data() + 2, f.size() - 2);
  if (const char* name = PlainQupName(p[0]); name && p.size() == 1) {
    return std::string("qup ") + name + module;
  }
  if (p[0] == qup::kStep && p.size() == 5) return Fmt("qup step %u..%u", Word(p, 1), Word(p, 3)) + module;
  if (p[0] == qup::kOutputs && p.size() == 2) {
    // The low nibble switches outputs on, the high nibble off.
    return Fmt("qup outputs on 0x%X off 0x%X", p[1] & 0x0Fu, unsigned{p[1]} >> 4) + module;
  }
  return Fmt("qup command %u (%zu payload bytes)", unsigned{p[0]}, p.size()) + module;
}

// Fields: reply address, data length, the data bytes; a NOOP reads its
// value from data bytes 6 and 7.
std::string QupReply(const Fields& f) {
  const std::span<const uint8_t> data(f.data() + 2, protocol::kQupDataSize);
  return "qup reply: " + Hex(data) + Fmt(" (noop value %d)", Value(data, 6, 2));
}

std::string DebugReply(const Fields& f) {
  return Fmt("debug reply: state %u, inputs 0x%02X, outputs 0x%02X, time %u, count %u, mode %u",
             unsigned{f[1]}, unsigned{f[2]}, unsigned{f[3]}, Word(f, 4), Word(f, 6), unsigned{f[8]});
}

std::string Identify(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.from_host && s.n() == 1) return "identify " + s.Module();
  if (!s.from_host && s.n() == 4) {
    return Fmt("module reply: type %u, firmware %u", unsigned{f[2]}, unsigned{f[3]});
  }
  return {};
}

// Module commands that carry the address alone, in their own words.
template <const char* kVerb>
std::string ModuleCommand(const Seen& s) {
  if (s.n() == 1) return std::string(kVerb) + s.Module();
  return {};
}
constexpr char kReset[] = "reset ";
constexpr char kStop[] = "stop ";
constexpr char kWriteFlash[] = "write flash, ";
constexpr char kQupReset[] = "qup reset, ";

std::string Debug(const Seen& s) {
  if (s.from_host && s.n() == 1) return "debug " + s.Module();
  if (!s.from_host && s.n() == 9) return DebugReply(s.t.f);
  return {};
}

std::string PageRead(const Seen& s) {
  if (s.from_host && s.n() == 2) return Fmt("read page %u of ", unsigned{s.t.f[1]}) + s.Module();
  return {};
}

// The page telegram, in both directions.
std::string Page(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.n() < 2) return {};
  if (s.from_host) {
    return Fmt("page %u to %s (%zu bytes)", unsigned{f[1]}, s.Module().c_str(), s.n() - 2);
  }
  return Fmt("page %u reply (%zu bytes)", unsigned{f[1]}, s.n() - 2);
}

std::string Qup(const Seen& s) {
  const Fields& f = s.t.f;
  if (s.from_host && s.n() >= 3 && s.n() == 2u + f[1]) return QupRequest(f);
  if (!s.from_host && s.n() == 2 + protocol::kQupDataSize && f[1] == protocol::kQupDataSize) {
    return QupReply(f);
  }
  return {};
}

// One describer for each start sync of the protocol table. A device's reply
// starts with the sync of a request too, so the same row describes it.
struct Describer {
  uint8_t sync;
  std::string (*describe)(const Seen&);
};
constexpr Describer kDescribers[] = {
    {sync::kRead, RegisterRead},
    {sync::kReadExtended, RegisterRead},
    {sync::kWrite, RegisterValue},
    {sync::kWriteExtended, RegisterValue},
    {sync::kSafeMode, MotorCommand},
    {sync::kRestart, MotorCommand},
    {sync::kFlash, MotorCommand},
    {sync::kStatus, Status},
    {sync::kGroup, Group},
    {sync::kGroupExtended, Group},
    {sync::kIdentify, Identify},
    {sync::kModuleReset, ModuleCommand<kReset>},
    {sync::kModuleStop, ModuleCommand<kStop>},
    {sync::kDebug, Debug},
    {sync::kPageRead, PageRead},
    {sync::kPage, Page},
    {sync::kModuleWrite, ModuleCommand<kWriteFlash>},
    {sync::kQup, Qup},
    {sync::kQupReset, ModuleCommand<kQupReset>},
};

constexpr const Describer* FindDescriber(uint8_t s) {
  for (const Describer& d : kDescribers) {
    if (d.sync == s) return &d;
  }
  return nullptr;
}

// In the table's order, so that a row added there without a describer
// fails the build.
constexpr bool EveryTelegramIsDescribed() {
  if (std::size(kDescribers) != std::size(protocol::kTelegrams)) return false;
  for (size_t i = 0; i < std::size(kDescribers); ++i) {
    if (kDescribers[i].sync != protocol::kTelegrams[i].sync) return false;
  }
  return true;
}
static_assert(EveryTelegramIsDescribed(), "one describer for each row of the protocol table");

}  // namespace

std::string DescribeTelegram(bool from_host, std::span<const uint8_t> bytes, bool big) {
  Frame t;
  if (!SplitFrame(from_host, bytes, t)) return {};
  std::string text;
  const protocol::TelegramKind* kind = protocol::FindTelegram(t.sync);
  if (kind) text = FindDescriber(t.sync)->describe({from_host, t, *kind, big});
  if (text.empty()) text = Fmt("telegram 0x%02X with %zu fields", unsigned{t.sync}, t.f.size());
  return text;
}

ReplySoFar DescribeReplySoFar(std::span<const uint8_t> reply, bool big) {
  using protocol::kAcceptSize;
  const bool accept = reply.size() == kAcceptSize && reply[0] == reply[1] &&
                      reply[1] == reply[2] &&
                      (reply[0] == protocol::kMotorAccept || reply[0] == protocol::kModuleAccept);
  if (accept) return {reply[0] == protocol::kMotorAccept ? "accept" : "module accept", true};
  if (std::string text = DescribeTelegram(false, reply, big); !text.empty()) return {text, true};
  if (std::string fault = FindTelegramFault(false, reply); !fault.empty()) {
    return {"corrupt reply: " + fault, false};
  }
  return {"(reply incomplete, " + std::to_string(reply.size()) + " bytes so far)", false};
}

}  // namespace qelcomm
