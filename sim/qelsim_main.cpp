// qelsim: the simulated bus on a pseudo-terminal. See HelpText() for usage.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"
#include "pty_transport.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_clear_faults = 0;

void OnStop(int) { g_stop = 1; }
void OnClear(int) { g_clear_faults = 1; }

void Install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: poll returns with EINTR
  sigaction(sig, &sa, nullptr);
}

// Replaces an existing symlink at `path`, never another kind of file.
bool MakeLink(const std::string& target, const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "qelsim: %s exists and is not a symlink\n", path.c_str());
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(target.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "qelsim: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qelcomm::sim;
  SimOptions opts;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), opts, error)) {
    std::fprintf(stderr, "qelsim: %s\n(try --help)\n", error.c_str());
    return 2;
  }
  if (opts.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }

  Bus bus(opts.bus);
  if (opts.trace) {
    bus.set_trace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  }
  PtyTransport pty;
  pty.set_line_speed_report(
      [](uint32_t bps) { std::fprintf(stderr, "qelsim: line speed %u bit/s\n", bps); });
  if (!pty.Open(error)) {
    std::fprintf(stderr, "qelsim: %s\n", error.c_str());
    return 1;
  }
  if (!opts.link.empty() && !MakeLink(pty.slave_path(), opts.link)) return 1;

  Install(SIGINT, OnStop);
  Install(SIGTERM, OnStop);
  Install(SIGHUP, OnStop);
  Install(SIGUSR1, OnClear);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", pty.slave_path().c_str());
  std::fflush(stdout);

  const auto end = pty.Run(bus, g_stop, g_clear_faults);
  if (!opts.link.empty()) unlink(opts.link.c_str());
  switch (end) {
    case PtyTransport::End::kVanished:
      std::fprintf(stderr, "qelsim: device vanished, terminal closed\n");
      return 0;
    case PtyTransport::End::kError:
      std::fprintf(stderr, "qelsim: %s\n", std::strerror(errno));
      return 1;
    case PtyTransport::End::kStopped:
      break;
  }
  return 0;
}
