// qelsim: the simulated bus on a pseudo-terminal. See HelpText() for usage.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
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

// True for a symlink to a pseudo-terminal slave: one that an earlier qelsim
// left behind when it was killed, and safe to replace.
bool IsStaleLink(const std::string& path) {
  char target[256];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n > 0 && std::string_view(target, static_cast<size_t>(n)).starts_with("/dev/pts/");
}

// Makes `path` a symlink to `target`. An existing file is replaced only when
// it is a stale link; anything else (a file, a directory, a link elsewhere)
// is refused. The new link is made beside it and renamed over it, so
// nothing is ever written through the old name.
bool MakeLink(const std::string& target, const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && !IsStaleLink(path)) {
    std::fprintf(stderr, "qelsim: %s exists and is not a link to a pseudo-terminal; not replaced\n",
                 path.c_str());
    return false;
  }
  const std::string temp = path + ".qelsim-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "qelsim: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// Removes the link at exit, unless something else has taken its place.
void RemoveLink(const std::string& target, const std::string& path) {
  char now[256];
  const ssize_t n = readlink(path.c_str(), now, sizeof now);
  if (n > 0 && std::string_view(now, static_cast<size_t>(n)) == target) unlink(path.c_str());
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
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> record(nullptr, std::fclose);
  if (!opts.record.empty()) {
    record.reset(std::fopen(opts.record.c_str(), "w"));
    if (!record) {
      std::fprintf(stderr, "qelsim: cannot write %s: %s\n", opts.record.c_str(), std::strerror(errno));
      return 1;
    }
    // Line by line, so that a reader sees each reply's record before the
    // host can have seen the reply.
    bus.set_record([f = record.get()](const std::string& line) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fflush(f);
    });
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
  if (!opts.link.empty()) RemoveLink(pty.slave_path(), opts.link);
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
