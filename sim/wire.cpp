#include "wire.h"

#include <algorithm>
#include <cstdio>

namespace qelcomm::sim {

bool IsRequestSync(uint8_t s) { return protocol::FindTelegram(s) != nullptr; }

std::vector<uint8_t> BuildFrame(uint8_t sync_byte, std::span<const uint8_t> fields) {
  std::vector<uint8_t> out;
  out.reserve(kFrameOverhead + 2 * fields.size());
  out.insert(out.end(), kSyncCount, sync_byte);
  for (uint8_t f : fields) {
    out.push_back(f);
    out.push_back(static_cast<uint8_t>(~f));
  }
  out.push_back(kEndSync);
  out.push_back(kEndSync);
  return out;
}

std::vector<uint8_t> BuildFrame(uint8_t sync_byte, std::initializer_list<uint8_t> fields) {
  return BuildFrame(sync_byte, std::span<const uint8_t>(fields.begin(), fields.size()));
}

std::vector<uint8_t> Acceptance(uint8_t value) { return std::vector<uint8_t>(protocol::kAcceptSize, value); }

std::string Hex(std::span<const uint8_t> bytes) {
  std::string s;
  s.reserve(bytes.size() * 3);
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  return s;
}

FrameParser::Result FrameParser::TryParse(size_t start, Telegram& t, size_t& end) {
  t.sync = buf_[start];
  t.fields.clear();
  size_t pos = start + kSyncCount;
  for (;;) {
    if (pos + 2 > buf_.size()) return Result::kIncomplete;
    const uint8_t a = buf_[pos];
    const uint8_t b = buf_[pos + 1];
    if (a == kEndSync && b == kEndSync) {
      end = pos + 2;
      // Every telegram has an address.
      return t.fields.empty() ? Result::kMalformed : Result::kComplete;
    }
    if (b != static_cast<uint8_t>(~a) || t.fields.size() >= kMaxFields) {
      end = pos + 2;
      return Result::kMalformed;
    }
    t.fields.push_back(a);
    pos += 2;
  }
}

void FrameParser::Feed(std::span<const uint8_t> bytes, std::vector<Telegram>& out) {
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  size_t i = 0;
  for (;;) {
    // Hunt for a start sync.
    while (i + kSyncCount <= buf_.size() &&
           !(IsRequestSync(buf_[i]) && buf_[i + 1] == buf_[i] && buf_[i + 2] == buf_[i])) {
      ++i;
      ++skipped_;
    }
    if (i + kSyncCount > buf_.size()) {
      // Keep a tail that may still become a sync.
      size_t keep = buf_.size() - i;
      while (keep > 0 && !IsRequestSync(buf_[buf_.size() - keep])) {
        --keep;
        ++skipped_;
      }
      buf_.erase(buf_.begin(), buf_.end() - static_cast<std::ptrdiff_t>(keep));
      return;
    }
    Telegram t;
    size_t end = 0;
    switch (TryParse(i, t, end)) {
      case Result::kIncomplete:
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      case Result::kComplete:
        t.raw.assign(buf_.begin() + static_cast<std::ptrdiff_t>(i),
                     buf_.begin() + static_cast<std::ptrdiff_t>(end));
        out.push_back(std::move(t));
        i = end;
        break;
      case Result::kMalformed:
        ++malformed_;
        last_malformed_.assign(buf_.begin() + static_cast<std::ptrdiff_t>(i),
                               buf_.begin() + static_cast<std::ptrdiff_t>(std::min(end, buf_.size())));
        i += 1;  // a sync may start inside the broken attempt
        break;
    }
  }
}

}  // namespace qelcomm::sim
