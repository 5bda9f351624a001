// A line that floods the host with noise at full pty speed for 10 s: every
// call still ends within its bound, and the process's memory stays flat.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "e2e/pty_pair.h"
#include "qelcomm/QelCommCtrl.h"

namespace qelcomm::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A field of /proc/self/status in KiB: VmRSS now, VmHWM the peak so far.
size_t StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string word; status >> word;) {
    if (word == field + ":") {
      size_t kib = 0;
      status >> kib;
      return kib;
    }
  }
  return 0;
}

// Writes noise without a single end-sync byte as fast as the pty takes it,
// and reads away what the host sends, until destroyed.
class Flooder {
 public:
  explicit Flooder(int fd) : thread_([this, fd] { Run(fd); }) {}
  ~Flooder() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run(int fd) {
    std::vector<uint8_t> noise(4096);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i % 0xAA);
    uint8_t sink[512];
    while (!stop_) {
      pollfd p{fd, POLLIN | POLLOUT, 0};
      poll(&p, 1, 10);
      if (p.revents & POLLIN) (void)!read(fd, sink, sizeof sink);
      if (p.revents & POLLOUT) (void)!write(fd, noise.data(), noise.size());
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Flood, TenSecondsOfNoiseKeepCallsBoundedAndMemoryFlat) {
  PtyPair pty;
  CQelCommCtrl ctrl;
  ctrl.SetPortName(pty.name());
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  int16_t s16 = 0;
  int32_t s32 = 0;
  std::vector<uint8_t> page;
  const std::vector<uint8_t> data(128);
  struct Call {
    const char* name;
    // Retries (5) reply windows: a page's is 378 ms, a page write's 200 ms
    // after its own 138 ms on the wire.
    int64_t bound_ms;
    std::function<bool()> run;
  };
  const Call calls[] = {
      {"ReadParameter", 500, [&] { return ctrl.ReadParameter(1, 2, s32); }},
      {"ReadStatus", 4500, [&] { return ctrl.ReadStatus(1, s16, s32, s16); }},
      {"GetModuleType", 500, [&] { return ctrl.GetModuleType(1, s16, s16); }},
      {"VemoDebug", 500, [&] { return ctrl.VemoDebug(1, s16, s16, s16, s32, s32, s16); }},
      {"VemoGet", 1890, [&] { return ctrl.VemoGet(1, 0, page); }},
      {"VemoPut", 1690, [&] { return ctrl.VemoPut(1, 0, data); }},
      {"QupStart", 500, [&] { return ctrl.QupStart(1); }},
  };
  constexpr int64_t kSchedulingSlackMs = 500;
  [[maybe_unused]] const size_t before = StatusKiB("VmRSS");
  Flooder flood(pty.master());
  for (const auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
    for (const Call& c : calls) {
      const auto start = Clock::now();
      EXPECT_FALSE(c.run()) << c.name << ": noise taken for a reply";
      const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
      EXPECT_LE(ms, c.bound_ms + kSchedulingSlackMs) << c.name;
    }
  }
  // AddressSanitizer keeps freed memory in quarantine, so there the peak
  // says nothing about what the buffers hold.
#ifndef __SANITIZE_ADDRESS__
  const size_t peak = StatusKiB("VmHWM");
  EXPECT_LE(peak, before + 4 * 1024) << "peak resident KiB, from " << before;
#endif
}

}  // namespace
}  // namespace qelcomm::testing
