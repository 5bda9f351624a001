// Events handed from the bus thread to the thread that streams them to a
// client: bounded, so that a client that stops reading costs a known amount
// of memory; what does not fit is counted, not kept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "web_types.h"

namespace qelgate {

class EventQueue {
 public:
  struct Event {
    std::string name;
    Json data;
  };
  explicit EventQueue(size_t capacity) : capacity_(capacity) {}

  // False when full: the event is lost and counted.
  bool Push(std::string name, Json data);
  // No more events will come.
  void Close();
  // What is waiting, after waiting up to `wait` for something; `closed`
  // tells whether the producer has finished.
  std::vector<Event> Take(std::chrono::milliseconds wait, bool& closed);
  // Events lost since the last call.
  size_t TakeLost();

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Event> events_;
  size_t lost_ = 0;
  bool closed_ = false;
};

// The answer that streams to the client what `run` sends, holding `slot`
// (one of the gateway's open streams) until it ends.
HttpResponse StreamAnswer(std::shared_ptr<void> slot, EventStream run);

}  // namespace qelgate
