// What the bus's telegram handlers share: the reply a telegram kind is
// answered with, little-endian fields, and the words of the trace.
#pragma once

#include <cassert>
#include <cstdio>
#include <string>
#include <vector>

#include "faults.h"
#include "qelcomm/protocol.h"
#include "wire.h"

namespace qelcomm::sim {

template <class... Args>
std::string Fmt(const char* fmt, Args... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

inline uint32_t LittleEndian(const std::vector<uint8_t>& f, size_t from, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{f[from + i]} << (8 * i);
  return v;
}

// Appends the low `n` bytes of `v`, lowest first.
inline void PutLittleEndian(std::vector<uint8_t>& out, uint32_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The reply `kind` is answered with: its accept bytes, or a frame of its
// reply sync from the reply address carrying `data`. `unchecked` names frame
// offsets the host does not look at.
inline Reply Answer(const protocol::TelegramKind& kind, std::vector<uint8_t> data = {},
                    std::vector<size_t> unchecked = {}) {
  switch (kind.reply) {
    case protocol::Reply::kMotorAccepted:
      return {Acceptance(protocol::kMotorAccept), false, {}};
    case protocol::Reply::kModuleAccepted:
      return {Acceptance(protocol::kModuleAccept), false, {}};
    default:
      break;
  }
  data.insert(data.begin(), protocol::kReplyAddress);
  Reply r{BuildFrame(kind.reply_sync, data), true, std::move(unchecked)};
  assert(kind.reply_size == 0 || r.bytes.size() == kind.reply_size);
  return r;
}

}  // namespace qelcomm::sim
