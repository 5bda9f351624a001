// Register reads per second over a real pty with an immediate responder, and
// the CPU time one silent 100 ms reply window costs. A busy-polling wait
// would burn about 100 ms of CPU per window; an event-driven one well under
// one. Also the CPU one read costs the control, next to a minimal client
// that only writes the request, polls and reads the reply, on the same pty
// and responder, in interleaved rounds.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "e2e/pty_pair.h"
#include "qelcomm/QelCommCtrl.h"

namespace {

using qelcomm::testing::PtyPair;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Answers every 9-byte read request at once with a register value of 15.
void Respond(const PtyPair& pty, const std::atomic<bool>& answer, const std::atomic<bool>& stop) {
  const std::vector<uint8_t> reply{0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x0F,
                                   0xF0, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA};
  std::vector<uint8_t> pending;
  while (!stop) {
    pollfd p{pty.master(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t buf[256];
    const ssize_t r = read(pty.master(), buf, sizeof buf);
    if (r <= 0) continue;
    pending.insert(pending.end(), buf, buf + r);
    while (pending.size() >= 9) {
      pending.erase(pending.begin(), pending.begin() + 9);
      if (answer) pty.Send(reply);
    }
  }
}

// ReadParameter(1, 2) as it goes on the wire.
const uint8_t kReadRequest[] = {0x50, 0x50, 0x50, 0x01, 0xFE, 0x02, 0xFD, 0xAA, 0xAA};
constexpr size_t kReadReplySize = 19;

// The least a client can do per read: write, then poll and read until the
// reply is in. Gives the reads that got their whole reply.
int MinimalReads(const std::string& device, int reads) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return 0;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  int ok = 0;
  uint8_t reply[64];
  for (int i = 0; i < reads; ++i) {
    if (write(fd, kReadRequest, sizeof kReadRequest) != ssize_t(sizeof kReadRequest)) break;
    size_t got = 0;
    while (got < kReadReplySize) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) break;
      const ssize_t r = read(fd, reply + got, sizeof reply - got);
      if (r > 0) got += size_t(r);
    }
    ok += got == kReadReplySize ? 1 : 0;
  }
  close(fd);
  return ok;
}

// One block of reads: this thread's CPU seconds and the wall seconds.
struct Cost {
  double cpu = 0;
  double wall = 0;
  int reads = 0;
  double UsPerRead() const { return reads > 0 ? 1e6 * cpu / reads : 0.0; }
  double Rate() const { return wall > 0 ? reads / wall : 0.0; }
};

template <typename Loop>
Cost Measure(Loop loop) {
  Cost cost;
  const double cpu0 = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  cost.reads = loop();
  cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.cpu = CpuSeconds() - cpu0;
  return cost;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Rounds alternate between the two, each block after a warm-up of its own,
// so that both see the same machine load; the medians over the rounds are
// the figures, which one disturbed round cannot move. The control gives
// the device up between its blocks (it holds it exclusively).
void CompareWithMinimalClient(qelcomm::CQelCommCtrl& ctrl, const std::string& device, int reads) {
  constexpr int kRounds = 9;
  const int warm_up = std::max(1, reads / 10);
  std::vector<double> control_us, minimal_us, ratios, control_rate, minimal_rate;
  int32_t value = 0;
  auto control_reads = [&](int n) {
    int ok = 0;
    for (int i = 0; i < n; ++i) ok += ctrl.ReadParameter(1, 2, value) ? 1 : 0;
    return ok;
  };
  for (int round = 0; round < kRounds; ++round) {
    if (!ctrl.OpenPort()) return;
    control_reads(warm_up);
    const Cost control = Measure([&] { return control_reads(reads); });
    ctrl.ClosePort();
    MinimalReads(device, warm_up);
    const Cost minimal = Measure([&] { return MinimalReads(device, reads); });
    control_us.push_back(control.UsPerRead());
    minimal_us.push_back(minimal.UsPerRead());
    control_rate.push_back(control.Rate());
    minimal_rate.push_back(minimal.Rate());
    if (minimal.UsPerRead() > 0) ratios.push_back(control.UsPerRead() / minimal.UsPerRead());
  }
  std::printf("CPU per read: control %.2f us (%.0f reads/s), minimal client %.2f us (%.0f reads/s), "
              "ratio %.2f (medians of %d rounds)\n",
              Median(control_us), Median(control_rate), Median(minimal_us), Median(minimal_rate),
              Median(ratios), kRounds);
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int windows = argc > 2 ? std::atoi(argv[2]) : 20;
  PtyPair pty;
  std::atomic<bool> answer{true}, stop{false};
  std::thread device(Respond, std::cref(pty), std::cref(answer), std::cref(stop));

  qelcomm::CQelCommCtrl ctrl;
  ctrl.SetPortName(pty.name());
  ctrl.SetBaud(115200);
  if (!ctrl.OpenPort()) {
    std::fprintf(stderr, "open failed: %s\n", ctrl.GetLastErrorStr(0).c_str());
    return 1;
  }

  int32_t value = 0;
  int ok = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < reads; ++i) ok += ctrl.ReadParameter(1, 2, value) ? 1 : 0;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  CompareWithMinimalClient(ctrl, pty.name(), reads);
  if (!ctrl.OpenPort()) return 1;

  answer = false;
  ctrl.SetRetries(1);
  const double cpu0 = CpuSeconds();
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < windows; ++i) ctrl.ReadParameter(1, 2, value);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu0;

  stop = true;
  device.join();
  std::printf("register reads over a pty: %d of %d ok, %.0f reads/s (%.3f ms each)\n", ok, reads,
              reads / secs, 1000.0 * secs / reads);
  std::printf("silent 100 ms window: %.1f ms wall, %.3f ms CPU\n", 1000.0 * wall / windows,
              1000.0 * cpu / windows);
  return ok == reads ? 0 : 1;
}
