// Register reads per second through ser2net on loopback, in its RFC 2217
// and raw modes, against the same qelsim reached directly on its pty, in one
// run. The target: the network path costs at most 1.5 x the direct one per
// exchange.
//
// Two lines: qelsim paced at 19200 bit/s, where each reply costs its wire
// time as on a real motor (the judged figure), and unpaced, where an
// exchange is pure host and server overhead (ser2net by default holds what
// the device sends for two character times, at least 1 ms, before passing
// it on). Figures and ratios are
// printed; nothing is judged.
//
//   qelcomm_network_read_bench [QELSIM] [SER2NET] [SECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e/child_process.h"
#include "qelcomm/QelCommCtrl.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace qelcomm::testing;

constexpr double kTargetRatio = 1.5;

// Reads MODE_REG of motor 1 for `seconds`; successful reads per second, or
// 0 when the port does not open. Failed reads are counted and the last
// failure printed.
double ReadsPerSecond(const std::string& port, double seconds) {
  qelcomm::CQelCommCtrl ctrl;
  ctrl.SetPortName(port);
  if (!ctrl.OpenPort()) {
    std::fprintf(stderr, "  %s: %s\n", port.c_str(), ctrl.GetLastErrorStr(0).c_str());
    return 0;
  }
  int32_t v = 0;
  int reads = 0, failed = 0;
  std::string failure;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (ctrl.ReadParameter(1, 2, v)) {
      ++reads;
    } else {
      ++failed;
      failure = ctrl.GetLastErrorStr(0);
    }
  }
  if (failed > 0) std::printf("  %s: %d reads failed, the last with: %s\n", port.c_str(), failed,
                              failure.c_str());
  return reads / std::chrono::duration<double>(Clock::now() - start).count();
}

// `judged`: the line with wire time, which the target is for.
void Report(const char* line, const char* path, double rate, double direct, bool judged) {
  std::printf("  %-8s %-8s %8.0f reads/s  %6.3f ms/read", line, path, rate, 1e3 / rate);
  if (rate > 0 && direct > 0) {
    const double ratio = direct / rate;
    std::printf("  x%.2f of direct per exchange", ratio);
    if (judged) std::printf(" (target <= %.1f)%s", kTargetRatio, ratio <= kTargetRatio ? "" : "  OVER");
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string qelsim = argc > 1 ? argv[1] : QELCOMM_QELSIM_PATH;
  const std::string ser2net = argc > 2 ? argv[2] : "/usr/sbin/ser2net";
  const double seconds = argc > 3 ? std::atof(argv[3]) : 2.0;
  std::printf("network read bench: MODE_REG of one motor, %.1f s per path\n", seconds);
  for (const bool paced : {true, false}) {
    std::vector<std::string> args{qelsim, "--motor", "1"};
    if (paced) args.insert(args.end(), {"--pace", "--baud", "19200"});
    const ChildProcess sim(args, true);
    if (sim.first_line().empty()) {
      std::fprintf(stderr, "qelsim (%s) printed no device\n", qelsim.c_str());
      return 1;
    }
    const char* line = paced ? "19200" : "unpaced";
    const double direct = ReadsPerSecond(sim.first_line(), seconds);
    Report(line, "pty", direct, 0, paced);
    for (const bool rfc2217 : {true, false}) {
      const uint16_t port = FreeLoopbackPort();
      const Ser2netServer server(ser2net, sim.first_line(), port, rfc2217);
      const std::string url = (rfc2217 ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") +
                              std::to_string(port);
      Report(line, rfc2217 ? "rfc2217" : "tcp", ReadsPerSecond(url, seconds), direct, paced);
    }
  }
  return 0;
}
