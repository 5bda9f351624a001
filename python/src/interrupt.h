// Ctrl-C during a call: the call is cancelled at once, and KeyboardInterrupt
// is raised as it returns, instead of after the call's last retry.
#pragma once

#include "qelcomm/QelCommCtrl.h"

namespace qelcomm::python {

// For one call on the main thread: a SIGINT that arrives while it runs
// cancels `ctrl` and is then handed on to the handler Python installed.
// Elsewhere, and where SIGINT is ignored, it does nothing.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(CQelCommCtrl& ctrl);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

 private:
  bool armed_ = false;
};

// Notes the thread that imports the module as the main thread.
void NoteMainThread();

}  // namespace qelcomm::python
