// The telegrams a bus carried lately, for clients that watch the line: a
// bounded ring that the bus thread fills and any number of readers follow.
// A reply read in pieces is held until whole (or until the call ends) and
// then kept as one telegram, decoded once.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qelcomm/trace.h"

namespace qelgate {

struct TraceEntry {
  uint64_t seq = 0;  // 1, 2, ... in the order seen
  uint64_t t_ms = 0;  // since the ring was made
  qelcomm::TraceEvent::Direction direction{};
  std::vector<uint8_t> bytes;
  std::string text;  // the decoding, as the command-line trace shows it
  int address = -1;  // the motor addressed: a reply's is its request's
};

class TraceRing {
 public:
  // `big` marks the motor addresses whose registers are 32 bits wide.
  TraceRing(size_t capacity, const std::array<bool, 256>& big = {});

  // Called on the bus thread for every trace event, and at the end of each
  // call, when a reply still incomplete is kept as it stands.
  void Add(const qelcomm::TraceEvent& event);
  void EndCall();
  // The entries after `seq` still held, oldest first; waits up to `wait`
  // for one when there is none yet.
  std::vector<TraceEntry> After(uint64_t seq, std::chrono::milliseconds wait);

 private:
  void Push(TraceEntry entry);  // under the lock
  void FlushReply();            // under the lock
  uint64_t SinceStartMs() const;

  const size_t capacity_;
  const std::array<bool, 256> big_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable added_;
  std::deque<TraceEntry> entries_;
  std::optional<TraceEntry> reply_;  // coming in
  uint64_t last_seq_ = 0;
  int last_address_ = -1;
};

}  // namespace qelgate
