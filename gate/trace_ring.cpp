#include "trace_ring.h"

namespace qelgate {
namespace {

// A request names its motor in its first field, after the three sync bytes.
constexpr size_t kAddressByte = 3;

}  // namespace

TraceRing::TraceRing(size_t capacity) : capacity_(capacity) {}

void TraceRing::Add(const qelcomm::TraceEvent& event) {
  using Direction = qelcomm::TraceEvent::Direction;
  TraceEntry e;
  e.t_ms = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count());
  e.direction = event.direction;
  e.bytes.assign(event.data, event.data + event.size);
  {
    std::lock_guard lock(mutex_);
    if (event.direction == Direction::Sent) {
      last_address_ = event.size > kAddressByte ? event.data[kAddressByte] : -1;
    }
    e.address = last_address_;
    e.seq = ++last_seq_;
    entries_.push_back(std::move(e));
    if (entries_.size() > capacity_) entries_.pop_front();
  }
  added_.notify_all();
}

std::vector<TraceEntry> TraceRing::After(uint64_t seq, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  added_.wait_for(lock, wait, [&] { return last_seq_ > seq; });
  std::vector<TraceEntry> out;
  for (const TraceEntry& e : entries_) {
    if (e.seq > seq) out.push_back(e);
  }
  return out;
}

}  // namespace qelgate
