// TCP streams on POSIX: non-blocking sockets, a bounded connect, and poll
// for every wait.
#include "platform/posix/posix_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/net/stream_socket.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/posix/posix_wakeup.h"

namespace qelcomm {
namespace {

using posix::MonotonicMs;

// Waits for `events` on `fd` until `end`; false on timeout. EINTR restarts
// the wait with what is left of the bound.
bool PollUntil(int fd, short events, uint64_t end) {
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= end) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, int(end - now));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // let the next call report the error
  }
}

class PosixSocket : public net::StreamSocket {
 public:
  explicit PosixSocket(int fd) : fd_(fd) {}
  ~PosixSocket() override { ::close(fd_); }

  OsError Send(const uint8_t* buf, size_t n, uint32_t timeout_ms) override {
    const uint64_t end = MonotonicMs() + timeout_ms;
    size_t done = 0;
    while (done < n) {
      // MSG_NOSIGNAL: a closed peer is an error to report, not SIGPIPE.
      const ssize_t w = ::send(fd_, buf + done, n - done, MSG_NOSIGNAL);
      if (w > 0) {
        done += size_t(w);
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return OsError(errno);
      } else if (!PollUntil(fd_, POLLOUT, end)) {
        return ETIMEDOUT;
      }
    }
    return 0;
  }

  size_t Receive(uint8_t* buf, size_t n, OsError& error) override {
    for (;;) {
      const ssize_t r = ::recv(fd_, buf, n, 0);
      if (r > 0) {
        AckAtOnce();
        return size_t(r);
      }
      if (r == 0) {
        error = ECONNRESET;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        error = OsError(errno);
      }
      return 0;
    }
  }

  void WaitReadable(uint32_t timeout_ms) override {
    if (!wakeup_) {
      PollUntil(fd_, POLLIN, MonotonicMs() + timeout_ms);
      return;
    }
    pollfd p{fd_, POLLIN, 0};
    bool woken = false;
    posix::PollUnlessWoken(p, uint64_t{timeout_ms} * 1'000'000u, wakeup_.get(), woken);
  }
  void Watch(std::shared_ptr<Wakeup> wakeup) override { wakeup_ = std::move(wakeup); }

  uint64_t NowMs() override { return MonotonicMs(); }
  OsError TimedOutError() const override { return ETIMEDOUT; }
  OsError UnsupportedError() const override { return EPROTONOSUPPORT; }

 private:
  // A server that sends a reply in several small segments without
  // TCP_NODELAY holds each back until the last is acknowledged; Linux's
  // delayed ACK would then add up to 40 ms per segment. The kernel drops
  // quick-ack mode by itself, so it is asked for again after each read.
  void AckAtOnce() {
#ifdef TCP_QUICKACK
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
  }

  int fd_;
  std::shared_ptr<Wakeup> wakeup_;
};

// One non-blocking connect attempt, bounded by `end`.
int ConnectOne(const addrinfo& ai, uint64_t end, OsError& error) {
  const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          ai.ai_protocol);
  if (fd < 0) {
    error = OsError(errno);
    return -1;
  }
  if (::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      error = OsError(errno);
      ::close(fd);
      return -1;
    }
    if (!PollUntil(fd, POLLOUT, end)) {
      error = ETIMEDOUT;
      ::close(fd);
      return -1;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      error = OsError(so_error);
      ::close(fd);
      return -1;
    }
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

namespace posix {

std::optional<std::string> ResolverErrorText(OsError error) {
  if (error <= kResolverErrorBase || error > kResolverErrorBase + 0xFFFF) return std::nullopt;
  const int code = int(error - kResolverErrorBase);
  return std::string(gai_strerror(EAI_NONAME < 0 ? -code : code));
}

}  // namespace posix

std::unique_ptr<net::StreamSocket> net::ConnectTcp(const std::string& host, uint16_t port,
                                                   uint32_t timeout_ms, OsError& error) {
  const uint64_t end = MonotonicMs() + timeout_ms;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (r != 0) {
    error = r == EAI_SYSTEM ? OsError(errno) : posix::kResolverErrorBase + OsError(r < 0 ? -r : r);
    return nullptr;
  }
  error = ECONNREFUSED;
  int fd = -1;
  for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next)
    fd = ConnectOne(*ai, end, error);
  freeaddrinfo(found);
  if (fd < 0) return nullptr;
  error = 0;
  return std::make_unique<PosixSocket>(fd);
}

}  // namespace qelcomm
