// qelsim as a child process of a benchmark, stopped with SIGTERM at the end.
#pragma once

#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace qelcomm::bench {

class Qelsim : public testing::ChildProcess {
 public:
  // Starts `path` with `options`. A `record_fd` other than -1 becomes the
  // child's descriptor 3 (for --record /dev/fd/3).
  Qelsim(const std::string& path, const std::vector<std::string>& options, int record_fd = -1)
      : ChildProcess(Args(path, options), true, record_fd) {}
  // The device path qelsim printed first; empty if it printed none in 5 s.
  const std::string& device() const { return first_line(); }

 private:
  static std::vector<std::string> Args(const std::string& path,
                                       const std::vector<std::string>& options) {
    std::vector<std::string> args{path};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }
};

}  // namespace qelcomm::bench
