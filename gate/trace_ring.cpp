#include "trace_ring.h"

#include "qelcomm/telegram_text.h"

namespace qelgate {
namespace {

using Direction = qelcomm::TraceEvent::Direction;

// A request names its motor in its first field, after the three sync bytes.
constexpr size_t kAddressByte = 3;

std::string Words(Direction d, const std::vector<uint8_t>& bytes, bool big) {
  switch (d) {
    case Direction::Sent: {
      std::string text = qelcomm::DescribeTelegram(true, bytes, big);
      return text.empty() ? "malformed telegram" : text;
    }
    case Direction::Received:
      return qelcomm::DescribeReplySoFar(bytes, big).text;
    case Direction::Discarded:
      return "discarded " + std::to_string(bytes.size()) + " bytes";
    case Direction::Echoed:
      return "echo of the request, " + std::to_string(bytes.size()) + " bytes";
  }
  return {};
}

}  // namespace

TraceRing::TraceRing(size_t capacity, const std::array<bool, 256>& big)
    : capacity_(capacity), big_(big) {}

uint64_t TraceRing::SinceStartMs() const {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count());
}

void TraceRing::Add(const qelcomm::TraceEvent& event) {
  const bool big = last_address_ >= 0 && big_[size_t(last_address_)];
  {
    std::lock_guard lock(mutex_);
    if (event.direction == Direction::Received) {
      if (!reply_) reply_ = TraceEntry{0, SinceStartMs(), Direction::Received, {}, {}, last_address_};
      reply_->bytes.insert(reply_->bytes.end(), event.data, event.data + event.size);
      if (!qelcomm::DescribeReplySoFar(reply_->bytes, big).complete) return;
      FlushReply();
    } else {
      FlushReply();
      if (event.direction == Direction::Sent) {
        last_address_ = event.size > kAddressByte ? event.data[kAddressByte] : -1;
      }
      TraceEntry e{0, SinceStartMs(), event.direction, {event.data, event.data + event.size}, {},
                   last_address_};
      e.text = Words(e.direction, e.bytes, last_address_ >= 0 && big_[size_t(last_address_)]);
      Push(std::move(e));
    }
  }
  added_.notify_all();
}

void TraceRing::EndCall() {
  {
    std::lock_guard lock(mutex_);
    if (!reply_) return;
    FlushReply();
  }
  added_.notify_all();
}

void TraceRing::FlushReply() {
  if (!reply_) return;
  TraceEntry e = std::move(*reply_);
  reply_.reset();
  e.text = Words(e.direction, e.bytes, e.address >= 0 && big_[size_t(e.address)]);
  Push(std::move(e));
}

void TraceRing::Push(TraceEntry entry) {
  entry.seq = ++last_seq_;
  entries_.push_back(std::move(entry));
  if (entries_.size() > capacity_) entries_.pop_front();
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
