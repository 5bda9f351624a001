#include "trace.h"

#include <cstdio>

#include "args.h"
#include "format.h"
#include "qelcomm/protocol.h"

namespace qelctl {
namespace {

using qelcomm::protocol::kEndSync;

// The fields of a well-formed telegram (sync ×3, field/complement pairs,
// end sync ×2), with the complements stripped.
bool SplitFrame(const std::vector<uint8_t>& b, uint8_t& sync, std::vector<uint8_t>& fields) {
  if (b.size() < 5 || b[0] != b[1] || b[1] != b[2]) return false;
  sync = b[0];
  fields.clear();
  size_t i = 3;
  while (i + 1 < b.size()) {
    if (b[i] == kEndSync && b[i + 1] == kEndSync) return i + 2 == b.size();
    if (b[i + 1] != uint8_t(~b[i])) return false;
    fields.push_back(b[i]);
    i += 2;
  }
  return false;
}

// A little-endian value of 2 or 4 field bytes from `from`, sign-extended.
int32_t Value(const std::vector<uint8_t>& f, size_t from, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n && from + i < f.size(); ++i) v |= uint32_t{f[from + i]} << (8 * i);
  return n == 2 ? int16_t(v) : int32_t(v);
}

std::string RegName(int number, bool big) {
  const auto* e = FindEntry(big, number);
  return e ? std::string(e->Name) + " (" + std::to_string(number) + ")" : std::to_string(number);
}

std::string Describe(bool from_host, uint8_t sync, const std::vector<uint8_t>& f, bool big) {
  const auto n = f.size();
  const bool ext = sync == 0x5A || sync == 0x5B || sync == 0x5C;
  auto reg = [&](size_t i) { return RegName(f[i] + (ext ? 256 : 0), big); };
  auto motor = [&] { return "motor " + std::to_string(f[0]); };
  switch (sync) {
    case 0x50:
    case 0x5A:
      if (from_host && n == 2) return "read " + motor() + " register " + reg(1);
      break;
    case 0x52:
    case 0x5B:
      if (n >= 3 && n == size_t(3 + f[2])) {
        const std::string value = std::to_string(Value(f, 3, f[2]));
        if (!from_host) return "reply: register " + reg(1) + " = " + value;
        return "write " + motor() + " register " + reg(1) + " = " + value;
      }
      break;
    case 0x54:
      if (n == 1) return "enter safe mode, " + motor();
      break;
    case 0x56:
      if (n == 1) return "write flash, " + motor();
      break;
    case 0x57:
      if (n == 1) return "restart, " + motor();
      break;
    case 0x58:
      if (from_host && n == 1) return "read status, " + motor();
      if (!from_host && n >= 10) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "status reply: word 0x%04X, position %d, errors %u",
                      unsigned(f[2] | (f[3] << 8)), Value(f, 4, 4), unsigned(f[8]));
        return buf;
      }
      break;
    case 0x59:
    case 0x5C:
      if (n >= 4 && n == size_t(4 + f[3])) {
        return "group " + std::to_string(f[0]) + " write #" + std::to_string(f[1]) + ", register " +
               reg(2) + " = " + std::to_string(Value(f, 4, f[3]));
      }
      break;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "telegram 0x%02X with %zu fields", sync, n);
  return buf;
}

std::string HexBytes(const uint8_t* data, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    s += buf;
  }
  return s;
}

}  // namespace

std::string DescribeTelegram(bool from_host, const std::vector<uint8_t>& bytes, bool big) {
  uint8_t sync = 0;
  std::vector<uint8_t> fields;
  if (!SplitFrame(bytes, sync, fields)) return {};
  return Describe(from_host, sync, fields, big);
}

Tracer::Tracer(std::ostream& err, uint64_t start_ms, std::function<bool(int)> is_big)
    : err_(err), start_ms_(start_ms), is_big_(std::move(is_big)) {}

void Tracer::operator()(const qelcomm::TraceEvent& e) {
  using Dir = qelcomm::TraceEvent::Direction;
  std::vector<uint8_t> bytes(e.data, e.data + e.size);
  std::string what;
  const char* arrow = "<-";
  switch (e.direction) {
    case Dir::Sent:
      arrow = "->";
      reply_.clear();
      if (bytes.size() > 3) last_address_ = bytes[3];
      what = DescribeTelegram(true, bytes, is_big_(last_address_));
      if (what.empty()) what = "malformed telegram";
      break;
    case Dir::Received:
      reply_.insert(reply_.end(), bytes.begin(), bytes.end());
      if (reply_.size() == 3 && reply_[0] == reply_[1] && reply_[1] == reply_[2] &&
          (reply_[0] == 0x11 || reply_[0] == 0x22)) {
        what = reply_[0] == 0x11 ? "accept" : "module accept";
        reply_.clear();
      } else if (what = DescribeTelegram(false, reply_, is_big_(last_address_)); !what.empty()) {
        reply_.clear();
      } else {
        what = "(reply incomplete, " + std::to_string(reply_.size()) + " bytes so far)";
      }
      break;
    case Dir::Discarded:
      arrow = "xx";
      what = "discarded " + std::to_string(bytes.size()) + " bytes";
      reply_.clear();
      break;
  }
  const uint64_t t = e.time_ms >= start_ms_ ? e.time_ms - start_ms_ : 0;
  err_ << "[+" << Seconds(t) << "s] " << arrow << ' ' << HexBytes(e.data, e.size) << "  " << what
       << '\n';
}

}  // namespace qelctl
