// The one way tests and benchmarks start a helper program (qelsim, ser2net):
// a child stopped by its pid when the owner is done with it; qelsim's device
// path is its first line. And ser2net on 127.0.0.1 in front of one serial
// device, on a free port, in RFC 2217 or raw mode.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qelcomm::testing {

class ChildProcess {
 public:
  // Starts `args` (args[0] is the program). With `first_line`, waits at
  // most 5 s for the first line the child prints (qelsim's device path);
  // otherwise its output goes to /dev/null. A `fd3` other than -1 becomes
  // the child's descriptor 3 (for qelsim --record /dev/fd/3).
  explicit ChildProcess(std::vector<std::string> args, bool first_line = false, int fd3 = -1) {
    int out[2] = {-1, -1};
    if (first_line && pipe(out) != 0) return;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    if (first_line) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      posix_spawn_file_actions_addclose(&actions, out[0]);
      posix_spawn_file_actions_addclose(&actions, out[1]);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (!first_line) return;
    close(out[1]);
    if (pid_ > 0) first_line_ = FirstLine(out[0]);
    close(out[0]);  // qelsim prints nothing more to stdout, and ignores SIGPIPE
  }
  ~ChildProcess() { Stop(SIGTERM); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& first_line() const { return first_line_; }
  // Sends `sig` and reaps the child.
  void Stop(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  static std::string FirstLine(int fd) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c = 0;
      if (read(fd, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  pid_t pid_ = -1;
  std::string first_line_;
};

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
