// The telegrams a bus carried lately, for clients that watch the line: a
// bounded ring that the bus thread fills and any number of readers follow.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "qelcomm/trace.h"

namespace qelgate {

struct TraceEntry {
  uint64_t seq = 0;  // 1, 2, ... in the order seen
  uint64_t t_ms = 0;  // since the ring was made
  qelcomm::TraceEvent::Direction direction{};
  std::vector<uint8_t> bytes;
  int address = -1;  // the motor addressed: a reply's is its request's
};

class TraceRing {
 public:
  explicit TraceRing(size_t capacity);

  // Called on the bus thread for every trace event.
  void Add(const qelcomm::TraceEvent& event);
  // The entries after `seq` still held, oldest first; waits up to `wait`
  // for one when there is none yet.
  std::vector<TraceEntry> After(uint64_t seq, std::chrono::milliseconds wait);

 private:
  const size_t capacity_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable added_;
  std::deque<TraceEntry> entries_;
  uint64_t last_seq_ = 0;
  int last_address_ = -1;
};

}  // namespace qelgate
