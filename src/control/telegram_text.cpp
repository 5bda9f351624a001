#include "qelcomm/telegram_text.h"

#include <cstdio>
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
  return !from_host && sync_byte == sync::kIdentify && pair == 1;
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
  const int stored = extended ? number - protocol::kExtendedBase : number;
  for (const auto& e : table) {
    if (e.Number == stored) return std::string(e.Name) + " (" + std::to_string(number) + ")";
  }
  return std::to_string(number);
}

bool IsValueLength(uint8_t n) { return n == 2 || n == 4; }

std::string DescribeMotor(bool from_host, const Frame& t, bool big) {
  const Fields& f = t.f;
  const size_t n = f.size();
  const bool extended = t.sync == sync::kReadExtended || t.sync == sync::kWriteExtended ||
                        t.sync == sync::kGroupExtended;
  auto reg = [&](size_t i) { return RegisterText(f[i] + (extended ? protocol::kExtendedBase : 0), big); };
  auto motor = [&] { return "motor " + std::to_string(f[0]); };
  switch (t.sync) {
    case sync::kRead:
    case sync::kReadExtended:
      if (from_host && n == 2) return "read " + motor() + " register " + reg(1);
      break;
    case sync::kWrite:
    case sync::kWriteExtended:
      if (n >= 3 && IsValueLength(f[2]) && n == 3u + f[2]) {
        const std::string value = std::to_string(Value(f, 3, f[2]));
        if (!from_host) return "reply: register " + reg(1) + " = " + value;
        return "write " + motor() + " register " + reg(1) + " = " + value;
      }
      break;
    case sync::kSafeMode:
      if (n == 1) return "enter safe mode, " + motor();
      break;
    case sync::kFlash:
      if (n == 1) return "write flash, " + motor();
      break;
    case sync::kRestart:
      if (n == 1) return "restart, " + motor();
      break;
    case sync::kStatus:
      if (from_host && n == 1) return "read status, " + motor();
      if (!from_host && n == 10) {
        return Fmt("status reply: word 0x%04X, position %d, errors %u", Word(f, 2), Value(f, 4, 4),
                   unsigned{f[8]});
      }
      break;
    case sync::kGroup:
    case sync::kGroupExtended:
      if (n >= 4 && IsValueLength(f[3]) && n == 4u + f[3]) {
        return "group " + std::to_string(f[0]) + " write #" + std::to_string(f[1]) + ", register " +
               reg(2) + " = " + std::to_string(Value(f, 4, f[3]));
      }
      break;
    default:
      break;
  }
  return {};
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

std::string DescribeModule(bool from_host, const Frame& t) {
  const Fields& f = t.f;
  const size_t n = f.size();
  if (n == 0) return {};
  const std::string module = "module " + std::to_string(f[0]);
  switch (t.sync) {
    case sync::kIdentify:
      if (from_host && n == 1) return "identify " + module;
      if (!from_host && n == 4) return Fmt("module reply: type %u, firmware %u", unsigned{f[2]}, unsigned{f[3]});
      break;
    case sync::kModuleReset:
      if (n == 1) return "reset " + module;
      break;
    case sync::kModuleStop:
      if (n == 1) return "stop " + module;
      break;
    case sync::kModuleWrite:
      if (n == 1) return "write flash, " + module;
      break;
    case sync::kDebug:
      if (from_host && n == 1) return "debug " + module;
      if (!from_host && n == 9) return DebugReply(f);
      break;
    case sync::kPageRead:
      if (from_host && n == 2) return Fmt("read page %u of ", unsigned{f[1]}) + module;
      break;
    case sync::kPage:
      if (n < 2) break;
      if (from_host) return Fmt("page %u to %s (%zu bytes)", unsigned{f[1]}, module.c_str(), n - 2);
      return Fmt("page %u reply (%zu bytes)", unsigned{f[1]}, n - 2);
    case sync::kQup:
      if (from_host && n >= 3 && n == 2u + f[1]) return QupRequest(f);
      if (!from_host && n == 2 + protocol::kQupDataSize && f[1] == protocol::kQupDataSize) {
        return QupReply(f);
      }
      break;
    case sync::kQupReset:
      if (n == 1) return "qup reset, " + module;
      break;
    default:
      break;
  }
  return {};
}

}  // namespace

std::string DescribeTelegram(bool from_host, std::span<const uint8_t> bytes, bool big) {
  Frame t;
  if (!SplitFrame(from_host, bytes, t)) return {};
  std::string text = DescribeMotor(from_host, t, big);
  if (text.empty()) text = DescribeModule(from_host, t);
  if (text.empty()) text = Fmt("telegram 0x%02X with %zu fields", unsigned{t.sync}, t.f.size());
  return text;
}

}  // namespace qelcomm
