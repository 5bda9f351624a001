#include <csignal>
#include <iostream>

#include "qelctl.h"

#ifdef _WIN32
#include <io.h>
static bool IsTty(FILE* f) { return _isatty(_fileno(f)) != 0; }
#else
#include <unistd.h>
static bool IsTty(FILE* f) { return isatty(fileno(f)) != 0; }
#endif

namespace {
qelctl::RunEnv::Interrupt g_interrupt;
void OnInterrupt(int sig) {
  if (!g_interrupt.catching) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  g_interrupt.requested = 1;
  if (qelcomm::CQelCommCtrl* ctrl = g_interrupt.control.load()) ctrl->Cancel();
}
}  // namespace

int main(int argc, char** argv) {
  qelctl::RunEnv env;
  env.interrupt = &g_interrupt;
  std::signal(SIGINT, OnInterrupt);
  env.err_is_tty = IsTty(stderr);
  env.out_is_tty = IsTty(stdout);
  return qelctl::RunQelctl({argv + 1, argv + argc}, std::cout, std::cerr, env);
}
