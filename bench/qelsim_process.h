// qelsim as a child process of a benchmark, stopped with SIGTERM at the end.
#pragma once

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

extern char** environ;

namespace qelcomm::bench {

class Qelsim {
 public:
  // Starts `path` with `options`. A `record_fd` other than -1 becomes the
  // child's descriptor 3 (for --record /dev/fd/3).
  Qelsim(const std::string& path, const std::vector<std::string>& options, int record_fd = -1) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> args{path};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (record_fd >= 0) posix_spawn_file_actions_adddup2(&actions, record_fd, 3);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (pid_ > 0) device_ = FirstLine(out[0]);
    close(out[0]);  // qelsim prints nothing more, and ignores SIGPIPE
  }
  ~Qelsim() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Qelsim(const Qelsim&) = delete;
  Qelsim& operator=(const Qelsim&) = delete;
  const std::string& device() const { return device_; }

 private:
  // The device path qelsim prints first; 5 s at most.
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
  std::string device_;
};

}  // namespace qelcomm::bench
