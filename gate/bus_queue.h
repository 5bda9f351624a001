// The requests waiting for one bus: bounded in all, served round-robin
// across connections so that a busy client cannot starve the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "request.h"

namespace qelgate {

class BusLink;

// A Modbus request, or a task of another front end (the web API), in the
// connection's turn. A task is run on the bus thread and reports through
// its own captures; dropped unrun (its connection forgotten, the queue
// closed), it is destroyed, which its waiter can tell.
struct Job {
  uint64_t connection = 0;
  std::vector<uint8_t> query;  // the client's frame, header included
  Request request;
  Reply reply;
  std::function<void(BusLink&)> task;
};

class BusQueue {
 public:
  explicit BusQueue(size_t capacity) : capacity_(capacity) {}

  // False when the queue is full or closed; the job is not taken.
  bool Push(Job job);
  // The next job in round-robin order; empty on timeout or once closed.
  std::optional<Job> Pop(std::chrono::milliseconds timeout);
  // Drops what a connection still had waiting.
  void Forget(uint64_t connection);
  void Close();
  size_t size() const;
  bool closed() const;

 private:
  std::optional<Job> TakeNext();

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::map<uint64_t, std::deque<Job>> waiting_;
  size_t count_ = 0;
  uint64_t last_served_ = 0;  // the connection served last
  bool closed_ = false;
};

}  // namespace qelgate
