#include "tcp_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

namespace qelgate {
namespace {

std::string PeerName(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// A mapping that covers exactly what a request touches, for libmodbus to
// build the reply from.
modbus_mapping_t* ReplyMapping(const Job& job) {
  const Request& r = job.request;
  switch (r.function) {
    case function::kReadCoils:
    case function::kWriteCoil:
      return modbus_mapping_new_start_address(r.address, r.count, 0, 0, 0, 0, 0, 0);
    case function::kReadInput: {
      auto* m = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, r.address, r.count);
      if (m) std::copy(job.reply.words.begin(), job.reply.words.end(), m->tab_input_registers);
      return m;
    }
    default: {
      auto* m = modbus_mapping_new_start_address(0, 0, 0, 0, r.address, r.count, 0, 0);
      if (m && r.function == function::kReadHolding) {
        std::copy(job.reply.words.begin(), job.reply.words.end(), m->tab_registers);
      }
      return m;
    }
  }
}

}  // namespace

TcpFront::TcpFront(const FrontConfig& config, BusQueue& queue, Log log)
    : config_(config), queue_(queue), log_(std::move(log)) {}

TcpFront::~TcpFront() {
  for (auto& [id, c] : connections_) close(c.fd);
  if (listener_ >= 0) close(listener_);
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
  if (ctx_) modbus_free(ctx_);
}

bool TcpFront::Listen(std::string& error) {
  ctx_ = modbus_new_tcp(config_.host.c_str(), config_.port);
  if (ctx_ == nullptr) {
    error = modbus_strerror(errno);
    return false;
  }
  listener_ = modbus_tcp_listen(ctx_, int(config_.max_connections));
  if (listener_ < 0) {
    error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port) + ": " +
            modbus_strerror(errno);
    return false;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

void TcpFront::Finished(Job job) {
  {
    std::lock_guard lock(done_mutex_);
    done_.push_back(std::move(job));
  }
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(wake_[1], &byte, 1);
}

void TcpFront::Run(int stop_fd) {
  for (;;) {
    std::vector<pollfd> fds{{stop_fd, POLLIN, 0}, {wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    std::vector<uint64_t> ids;
    for (auto& [id, c] : connections_) {
      fds.push_back({c.fd, POLLIN, 0});
      ids.push_back(id);
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) {
      log_(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (fds[0].revents) return;
    if (fds[1].revents) SendDone();
    if (fds[2].revents) Accept();
    for (size_t i = 0; i < ids.size(); ++i) {
      if (fds[3 + i].revents) Receive(ids[i]);
    }
    CloseIdle();
  }
}

void TcpFront::Accept() {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  const std::string peer = PeerName(addr);
  if (connections_.size() >= config_.max_connections) {
    log_("refused " + peer + ": " + std::to_string(config_.max_connections) +
         " connections already");
    close(fd);
    return;
  }
  connections_[next_id_++] = {fd, peer, std::chrono::steady_clock::now(), 0, {}};
  log_("connection from " + peer);
}

void TcpFront::Drop(uint64_t id, const std::string& why) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  log_("closed " + it->second.peer + ": " + why);
  close(it->second.fd);
  queue_.Forget(id);
  connections_.erase(it);
}

// Reads what the socket holds, without waiting: a slow or stalled client
// holds up no one else. A frame is the 7-byte header, whose length field
// counts the unit ID and the PDU, then the PDU.
void TcpFront::Receive(uint64_t id) {
  Connection& c = connections_.at(id);
  constexpr size_t kHeader = 7;
  const size_t want = c.frame.size() < kHeader
                          ? kHeader - c.frame.size()
                          : 6 + size_t((c.frame[4] << 8) | c.frame[5]) - c.frame.size();
  uint8_t buf[MODBUS_TCP_MAX_ADU_LENGTH];
  const ssize_t n = recv(c.fd, buf, want, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Drop(id, n == 0 ? "disconnected" : std::strerror(errno));
    return;
  }
  if (n < 0) return;
  c.frame.insert(c.frame.end(), buf, buf + n);
  c.last_active = std::chrono::steady_clock::now();
  if (c.frame.size() == kHeader) {
    const size_t length = size_t((c.frame[4] << 8) | c.frame[5]);
    // Protocol 0, and a length that fits the largest frame.
    if (c.frame[2] != 0 || c.frame[3] != 0 || length < 2 || 6 + length > sizeof buf) {
      Drop(id, "not a Modbus TCP frame");
      return;
    }
  }
  if (c.frame.size() >= kHeader && c.frame.size() == 6 + size_t((c.frame[4] << 8) | c.frame[5])) {
    Serve(id, c);
  }
}

void TcpFront::Serve(uint64_t id, Connection& c) {
  std::vector<uint8_t> query;
  query.swap(c.frame);
  modbus_set_socket(ctx_, c.fd);
  const size_t header = size_t(modbus_get_header_length(ctx_));
  const uint8_t unit = query[header - 1];
  const Parsed parsed =
      ParsePdu(unit, std::span<const uint8_t>(query.data() + header, query.size() - header));
  if (config_.verbose) {
    log_(c.peer + ": unit " + std::to_string(unit) + " function " + std::to_string(query[header]) +
         " address " + std::to_string(parsed.request.address) + " count " +
         std::to_string(parsed.request.count));
  }
  if (parsed.exception != 0) {
    if (unit != 0) modbus_reply_exception(ctx_, query.data(), parsed.exception);
    return;
  }
  Job job;
  job.connection = id;
  job.query = query;
  job.request = parsed.request;
  if (!queue_.Push(std::move(job))) {
    if (unit != 0) modbus_reply_exception(ctx_, query.data(), exception::kBusy);
    return;
  }
  ++c.pending;
}

void TcpFront::SendDone() {
  char sink[256];
  while (read(wake_[0], sink, sizeof sink) > 0) {
  }
  std::vector<Job> done;
  {
    std::lock_guard lock(done_mutex_);
    done.swap(done_);
  }
  for (const Job& job : done) {
    auto it = connections_.find(job.connection);
    if (it == connections_.end()) continue;  // the client left meanwhile
    --it->second.pending;
    Answer(it->second, job);
  }
}

void TcpFront::Answer(Connection& c, const Job& job) {
  if (job.reply.no_reply) return;
  modbus_set_socket(ctx_, c.fd);
  const uint8_t e = job.reply.exception;
  const bool bus_failure =
      e == exception::kDeviceFailure || e == exception::kLineDown || e == exception::kNoAnswer;
  if (e != 0 && (bus_failure || config_.verbose)) {
    log_(c.peer + ": unit " + std::to_string(job.request.unit) + " function " +
         std::to_string(job.request.function) + " address " +
         std::to_string(job.request.address) + ": exception " + std::to_string(e));
  }
  if (job.reply.exception != 0) {
    modbus_reply_exception(ctx_, job.query.data(), job.reply.exception);
    return;
  }
  modbus_mapping_t* m = ReplyMapping(job);
  if (m == nullptr) {
    modbus_reply_exception(ctx_, job.query.data(), exception::kDeviceFailure);
    return;
  }
  modbus_reply(ctx_, job.query.data(), int(job.query.size()), m);
  modbus_mapping_free(m);
}

void TcpFront::CloseIdle() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<uint64_t> idle;
  for (auto& [id, c] : connections_) {
    if (c.pending == 0 && now - c.last_active > config_.idle_timeout) idle.push_back(id);
  }
  for (uint64_t id : idle) Drop(id, "idle");
}

}  // namespace qelgate
