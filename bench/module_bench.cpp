// Module programming against qelsim on a pseudo-terminal, measured against
// what the line and the module impose, and the cost of a silent module.
//
// qelsim paces its replies at 10 bits per byte (--pace), but a pty hands it
// the host's requests at once. So VemoProgram runs twice per bit rate:
//   - "pty": straight on qelsim's terminal; requests cost no wire time;
//   - "line": through a relay that passes the host's bytes on one byte time
//     apart, as a serial line would; both directions then cost wire time.
// Each run's median is compared with the reference of its own line (see
// ProgramReferenceMs); failed runs are counted and their error printed.
// Figures and ratios are printed; nothing is judged.
//
// On the paced line the host's reply windows start when its write returns,
// which on POSIX is before the telegram has left: a 265-byte page at 19200
// bit/s needs 138 ms, longer than the 100 ms accept window. For the same
// reason a silent probe costs 100 ms there instead of 100 ms plus its own
// wire time, so a line run may come in slightly under its reference.
//
//   qelcomm_module_bench [QELSIM] [RUNS]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/pty_pair.h"
#include "qelcomm/QelCommCtrl.h"

namespace {

using Clock = std::chrono::steady_clock;
using qelcomm::testing::ChildProcess;

constexpr double kTurnaroundMs = 1;
constexpr double kCommitMs = 300;
constexpr double kWindowMs = 100;
constexpr int kPages = 4;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ThreadCpuMs() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return 1e3 * double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-3 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The time VemoProgram needs at the least, in ms. Every telegram and reply
// costs its wire time at 10 bits per byte (requests only when
// `requests_on_wire`), and every reply follows its request after the
// turnaround. The module starts committing when the write command has
// reached it and ignores requests until the commit time has passed; the
// probes at 255 that reach it before then each cost their request and a
// silent 100 ms window. The first probe that reaches it after the commit is
// answered, so the figure is quantised to probe windows.
double ProgramReferenceMs(double baud, bool requests_on_wire) {
  const double byte_ms = 10'000.0 / baud;
  const double request_byte_ms = requests_on_wire ? byte_ms : 0;
  auto exchange = [&](int request, int reply) {
    return request * request_byte_ms + kTurnaroundMs + reply * byte_ms;
  };
  double t = exchange(7, 3);        // stop, accept
  t += kPages * exchange(265, 3);   // pages, accepts
  t += 7 * request_byte_ms;         // the write command has arrived: commit starts
  const double answerable = t + kCommitMs;
  t += kTurnaroundMs + 3 * byte_ms;  // its accept
  for (;;) {
    const double arrives = t + 7 * request_byte_ms;
    if (arrives >= answerable) return arrives + kTurnaroundMs + 13 * byte_ms;
    t = arrives + kWindowMs;
  }
}

// A serial line between the host and qelsim: the host's bytes reach qelsim
// one byte time apart, each when its stop bit would be done; qelsim's
// replies, paced already, pass straight through.
class PacedLine {
 public:
  PacedLine(const std::string& sim_device, double baud)
      : byte_(std::chrono::nanoseconds(static_cast<long long>(1e10 / baud))) {
    sim_ = open(sim_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (sim_ >= 0 && tcgetattr(sim_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(sim_, TCSANOW, &t);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~PacedLine() {
    stop_ = true;
    thread_.join();
    if (sim_ >= 0) close(sim_);
  }
  const std::string& device() const { return host_.name(); }

 private:
  void Run() {
    std::deque<uint8_t> to_sim;
    Clock::time_point next_arrival{};
    uint8_t buf[512];
    while (!stop_) {
      const auto now = Clock::now();
      if (!to_sim.empty() && now >= next_arrival) {
        (void)!write(sim_, &to_sim.front(), 1);
        to_sim.pop_front();
        if (!to_sim.empty()) next_arrival += byte_;
        continue;
      }
      // Until the next byte is due, or 50 ms to look at the stop flag.
      const auto wait = to_sim.empty() ? std::chrono::nanoseconds(50'000'000)
                                       : std::chrono::nanoseconds(next_arrival - now);
      const timespec ts{time_t(wait.count() / 1'000'000'000), long(wait.count() % 1'000'000'000)};
      pollfd p[2] = {{host_.master(), POLLIN, 0}, {sim_, POLLIN, 0}};
      if (ppoll(p, 2, &ts, nullptr) <= 0) continue;
      if (p[0].revents & POLLIN) {
        const ssize_t n = read(host_.master(), buf, sizeof buf);
        if (n > 0 && to_sim.empty()) next_arrival = std::max(next_arrival, Clock::now()) + byte_;
        if (n > 0) to_sim.insert(to_sim.end(), buf, buf + n);
      }
      if (p[1].revents & POLLIN) {
        const ssize_t n = read(sim_, buf, sizeof buf);
        if (n > 0) (void)!write(host_.master(), buf, size_t(n));
      }
    }
  }

  qelcomm::testing::PtyPair host_;
  int sim_ = -1;
  Clock::duration byte_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A HEX file of 512 data bytes (pages 0 to 3), removed at the end.
class HexFile {
 public:
  HexFile() {
    char name[] = "/tmp/qelcomm-module-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    path_ = name;
    std::string text;
    for (int address = 0; address < kPages * 128; address += 16) {
      unsigned sum = 16 + (address >> 8) + (address & 0xFF);
      char record[64];
      int n = std::snprintf(record, sizeof record, ":10%04X00", address);
      for (int i = 0; i < 16; ++i) {
        const unsigned b = unsigned(address + i) * 7 & 0xFF;
        sum += b;
        n += std::snprintf(record + n, sizeof record - size_t(n), "%02X", b);
      }
      std::snprintf(record + n, sizeof record - size_t(n), "%02X\n", -sum & 0xFF);
      text += record;
    }
    text += ":00000001FF\n";
    (void)!write(fd, text.data(), text.size());
    close(fd);
  }
  ~HexFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool Open(qelcomm::CQelCommCtrl& ctrl, const std::string& device, int32_t baud) {
  ctrl.SetPortName(device);
  ctrl.SetBaud(baud);
  if (ctrl.OpenPort()) return true;
  std::fprintf(stderr, "open %s failed: %s\n", device.c_str(), ctrl.GetLastErrorStr(0).c_str());
  return false;
}

// Programming runs: the times of those that succeeded, and why the others
// failed.
struct Runs {
  std::vector<double> ms;
  int failed = 0;
  std::string error;
};

Runs Program(const std::string& device, int32_t baud, const std::string& hex, int runs) {
  Runs r;
  qelcomm::CQelCommCtrl ctrl;
  if (!Open(ctrl, device, baud)) {
    r.failed = runs;
    r.error = "open failed";
    return r;
  }
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (ctrl.VemoProgram(1, hex)) {
      r.ms.push_back(Ms(Clock::now() - start));
    } else {
      ++r.failed;
      r.error = ctrl.GetLastErrorStr(0);
    }
  }
  std::sort(r.ms.begin(), r.ms.end());
  return r;
}

void ReportProgram(const char* line, int32_t baud, const Runs& r, double reference) {
  std::printf("VemoProgram %6d bit/s, %-4s: ", baud, line);
  if (!r.ms.empty()) {
    const double median = r.ms[r.ms.size() / 2];
    std::printf("%7.1f ms, reference %7.1f ms, ratio %.3f (target <= 1.05)", median, reference,
                median / reference);
  } else {
    std::printf("no run succeeded, reference %7.1f ms", reference);
  }
  if (r.failed > 0) {
    std::printf("; %d of %zu runs FAILED: %s", r.failed, r.ms.size() + size_t(r.failed),
                r.error.c_str());
  }
  std::printf("\n");
}

// GetModuleType at an address without a module: `windows` silent windows.
void ReportSilent(const std::string& device, int windows) {
  qelcomm::CQelCommCtrl ctrl;
  if (!Open(ctrl, device, 115200)) return;
  ctrl.SetRetries(static_cast<int16_t>(windows));
  int16_t type = 0, firmware = 0;
  const double cpu0 = ThreadCpuMs();
  const auto start = Clock::now();
  const bool answered = ctrl.GetModuleType(7, type, firmware);
  const double wall = Ms(Clock::now() - start);
  const double cpu = ThreadCpuMs() - cpu0;
  const double reference = windows * kWindowMs;
  std::printf("silent module, Retries %d: %.1f ms, reference %.0f ms, ratio %.3f%s\n", windows, wall,
              reference, wall / reference, answered ? " (but it answered!)" : "");
  // The budget is 1 ms of CPU per window, so the figure is its own ratio.
  std::printf("silent module CPU: %.3f ms per 100 ms window, ratio %.3f to the 1 ms budget\n",
              cpu / windows, cpu / windows);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string qelsim = argc > 1 ? argv[1] : QELCOMM_QELSIM_PATH;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const HexFile hex;
  if (hex.path().empty()) {
    std::fprintf(stderr, "cannot write the HEX file\n");
    return 1;
  }
  for (const int32_t baud : {19200, 115200}) {
    const ChildProcess sim({qelsim, "--pace", "--baud", std::to_string(baud), "--turnaround-ms",
                            "1", "--module-write-ms", "300"},
                           true);
    const std::string& device = sim.first_line();
    if (device.empty()) {
      std::fprintf(stderr, "qelsim (%s) printed no device\n", qelsim.c_str());
      return 1;
    }
    ReportProgram("pty", baud, Program(device, baud, hex.path(), runs),
                  ProgramReferenceMs(baud, false));
    const PacedLine line(device, baud);
    ReportProgram("line", baud, Program(line.device(), baud, hex.path(), runs),
                  ProgramReferenceMs(baud, true));
    if (baud == 115200) ReportSilent(device, 5);
  }
  return 0;
}
