#include "event_queue.h"

namespace qelgate {

bool EventQueue::Push(std::string name, Json data) {
  {
    std::lock_guard lock(mutex_);
    if (events_.size() >= capacity_) {
      ++lost_;
      return false;
    }
    events_.push_back({std::move(name), std::move(data)});
  }
  ready_.notify_all();
  return true;
}

void EventQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::vector<EventQueue::Event> EventQueue::Take(std::chrono::milliseconds wait, bool& closed) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, wait, [this] { return closed_ || !events_.empty(); });
  std::vector<Event> out(std::make_move_iterator(events_.begin()),
                         std::make_move_iterator(events_.end()));
  events_.clear();
  closed = closed_;
  return out;
}

size_t EventQueue::TakeLost() {
  std::lock_guard lock(mutex_);
  return std::exchange(lost_, 0);
}

HttpResponse StreamAnswer(std::shared_ptr<void> slot, EventStream run) {
  HttpResponse out;
  out.content_type = "text/event-stream";
  out.headers.emplace_back("Cache-Control", "no-store");
  out.stream = [slot = std::move(slot), run = std::move(run)](EventSink& sink) { run(sink); };
  return out;
}

}  // namespace qelgate
