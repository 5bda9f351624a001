#include "bus_queue.h"

namespace qelgate {

bool BusQueue::Push(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (closed_ || count_ >= capacity_) return false;
    waiting_[job.connection].push_back(std::move(job));
    ++count_;
  }
  ready_.notify_one();
  return true;
}

// The first connection after the one served last, wrapping around.
std::optional<Job> BusQueue::TakeNext() {
  if (waiting_.empty()) return std::nullopt;
  auto it = waiting_.upper_bound(last_served_);
  if (it == waiting_.end()) it = waiting_.begin();
  Job job = std::move(it->second.front());
  it->second.pop_front();
  last_served_ = it->first;
  if (it->second.empty()) waiting_.erase(it);
  --count_;
  return job;
}

std::optional<Job> BusQueue::Pop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return closed_ || count_ > 0; });
  if (closed_) return std::nullopt;
  return TakeNext();
}

void BusQueue::Forget(uint64_t connection) {
  std::deque<Job> dropped;
  std::lock_guard lock(mutex_);
  auto it = waiting_.find(connection);
  if (it == waiting_.end()) return;
  count_ -= it->second.size();
  dropped.swap(it->second);
  waiting_.erase(it);
}

void BusQueue::Close() {
  decltype(waiting_) dropped;  // destroyed unlocked: tasks' waiters wake
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(waiting_);
    count_ = 0;
  }
  ready_.notify_all();
}

bool BusQueue::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

size_t BusQueue::size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace qelgate
