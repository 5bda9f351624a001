// qelctl's entry point as a function, so tests run the whole tool in-process.
#pragma once

#include <atomic>
#include <csignal>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"

namespace qelctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the device or the protocol failed
inline constexpr int kExitUsage = 2;    // the command line was wrong

// What the tool learns from its surroundings rather than its arguments.
struct RunEnv {
  bool err_is_tty = false;  // progress bars and spinners on stderr
  bool out_is_tty = false;  // pace --watch on the virtual bus in real time
  // The virtual bus used when no port is given; empty = a fresh default
  // bus. Tests pass their own to keep its state across runs and inspect it.
  std::shared_ptr<qelcomm::VirtualPlatform> virtual_platform;
  std::string virtual_line = "sim";
  // Shared with the program's SIGINT handler: while `catching`, Ctrl-C
  // sets `requested`, cancels the reading in progress, and a watch stops;
  // otherwise Ctrl-C ends the program as usual.
  struct Interrupt {
    volatile std::sig_atomic_t catching = 0;
    volatile std::sig_atomic_t requested = 0;
    std::atomic<qelcomm::CQelCommCtrl*> control{nullptr};
  };
  Interrupt* interrupt = nullptr;
  // Where `ports` looks for devices and what the system knows of them.
  std::string sys_root = "/sys";
  std::string dev_root = "/dev";
};

// `args` excludes the program name. Results go to `out`, diagnostics to
// `err`; gives the exit status.
int RunQelctl(std::vector<std::string> args, std::ostream& out, std::ostream& err);
int RunQelctl(std::vector<std::string> args, std::ostream& out, std::ostream& err,
              const RunEnv& env);

}  // namespace qelctl
