// ser2net on 127.0.0.1, in front of one serial device, for tests and
// benchmarks: on a free port, in RFC 2217 or raw mode.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include "e2e/child_process.h"

namespace qelcomm::testing {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// A port the kernel hands out and takes back at once.
inline uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

inline bool AcceptsOnLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(port);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

class Ser2netServer {
 public:
  // `rfc2217` picks Telnet with the COM-PORT option, otherwise a raw stream.
  // Returns once the server listens, or after 2 s.
  Ser2netServer(const std::string& program, const std::string& device, uint16_t port,
                bool rfc2217)
      : pidfile_("/tmp/qelcomm-ser2net-" + std::to_string(port) + ".pid"),
        child_({program, "-n", "-u", "-P", pidfile_, "-Y",
                std::string("connection: &qel#  accepter: ") +
                    (rfc2217 ? "telnet(rfc2217),tcp" : "tcp") + ",127.0.0.1," +
                    std::to_string(port) + "#  connector: serialdev," + device +
                    ",19200n81,local#"}) {
    for (int i = 0; i < 100 && child_.running() && !AcceptsOnLoopback(port); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~Ser2netServer() { unlink(pidfile_.c_str()); }
  void Kill() { child_.Stop(SIGKILL); }

 private:
  std::string pidfile_;
  ChildProcess child_;
};

}  // namespace qelcomm::testing
