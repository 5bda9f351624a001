// Register reads per second over a real pty with an immediate responder, and
// the CPU time one silent 100 ms reply window costs. A busy-polling wait
// would burn about 100 ms of CPU per window; an event-driven one well under
// one.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

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
