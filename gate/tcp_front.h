// The network face of one bus: a Modbus TCP listener (libmodbus) that reads
// every connection's requests, queues them for the bus thread, and sends
// each reply once the bus has carried it out. One thread; the bus thread
// hands finished jobs back through Finished().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bus_queue.h"

struct _modbus;

namespace qelgate {

struct FrontConfig {
  std::string host = "127.0.0.1";
  int port = 1502;
  size_t max_connections = 16;
  std::chrono::seconds idle_timeout{60};
  bool verbose = false;
};

class TcpFront {
 public:
  using Log = std::function<void(const std::string&)>;
  TcpFront(const FrontConfig& config, BusQueue& queue, Log log);
  ~TcpFront();
  TcpFront(const TcpFront&) = delete;
  TcpFront& operator=(const TcpFront&) = delete;

  // Binds the listening socket; false with a message on failure.
  bool Listen(std::string& error);
  // Serves until `stop_fd` becomes readable.
  void Run(int stop_fd);
  // Called by the bus thread for every job it carried out.
  void Finished(Job job);

 private:
  struct Connection {
    int fd = -1;
    std::string peer;
    std::chrono::steady_clock::time_point last_active;
    size_t pending = 0;
    std::vector<uint8_t> frame;  // the request read so far
  };

  void Accept();
  void Receive(uint64_t id);
  void Serve(uint64_t id, Connection& c);
  void Drop(uint64_t id, const std::string& why);
  void SendDone();
  void Answer(Connection& c, const Job& job);
  void CloseIdle();

  FrontConfig config_;
  BusQueue& queue_;
  Log log_;
  _modbus* ctx_ = nullptr;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::map<uint64_t, Connection> connections_;
  uint64_t next_id_ = 1;
  std::mutex done_mutex_;
  std::vector<Job> done_;
};

}  // namespace qelgate
