#include "interrupt.h"

#include <atomic>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#endif

namespace qelcomm::python {
namespace {

std::thread::id g_main_thread;
std::atomic<CQelCommCtrl*> g_running{nullptr};

#ifndef _WIN32
struct sigaction g_python_handler {};

// Installed once, in front of Python's own handler, which it calls after
// cancelling the call in progress: Python then raises KeyboardInterrupt as
// usual once the call has returned.
void OnInterrupt(int sig, siginfo_t* info, void* context) {
  if (CQelCommCtrl* ctrl = g_running.load()) ctrl->Cancel();
  if (g_python_handler.sa_flags & SA_SIGINFO) {
    g_python_handler.sa_sigaction(sig, info, context);
  } else if (g_python_handler.sa_handler != SIG_IGN && g_python_handler.sa_handler != SIG_DFL) {
    g_python_handler.sa_handler(sig);
  }
}

// Puts our handler in front of Python's, once. A handler set since with
// signal.signal replaces ours, and Ctrl-C is then left to it; where SIGINT
// is ignored or left to the system, nothing is installed.
bool InFront() {
  static bool installed = false;
  if (installed) return true;
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  if (!(now.sa_flags & SA_SIGINFO) && (now.sa_handler == SIG_IGN || now.sa_handler == SIG_DFL)) {
    return false;
  }
  g_python_handler = now;
  struct sigaction ours {};
  ours.sa_sigaction = OnInterrupt;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  installed = sigaction(SIGINT, &ours, nullptr) == 0;
  return installed;
}
#else
bool InFront() { return false; }
#endif

}  // namespace

void NoteMainThread() { g_main_thread = std::this_thread::get_id(); }

CancelOnInterrupt::CancelOnInterrupt(CQelCommCtrl& ctrl) {
  if (std::this_thread::get_id() != g_main_thread || !InFront()) return;
  g_running.store(&ctrl);
  armed_ = true;
}

CancelOnInterrupt::~CancelOnInterrupt() {
  if (armed_) g_running.store(nullptr);
}

}  // namespace qelcomm::python
