// A helper program run by a test or benchmark (qelsim, ser2net), stopped by
// its pid when the owner is done with it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
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

}  // namespace qelcomm::testing
