#include "platform/posix/posix_wakeup.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace qelcomm::posix {
namespace {

class PipeWakeup : public Wakeup {
 public:
  PipeWakeup() {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~PipeWakeup() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void Wake() override {
    woken_.store(true);
    const char one = 1;
    if (fds_[1] >= 0) (void)!::write(fds_[1], &one, 1);  // a full pipe is woken already
  }
  void Clear() override {
    woken_.store(false);
    Drain();
  }
  bool Settle() override {
    if (Woken()) return true;
    Drain();
    return Woken();
  }
  intptr_t Handle() const override { return fds_[0]; }

 private:
  void Drain() {
    const int saved = errno;
    char junk[64];
    while (fds_[0] >= 0 && ::read(fds_[0], junk, sizeof junk) > 0) {
    }
    errno = saved;
  }
  int fds_[2] = {-1, -1};
};

}  // namespace

std::shared_ptr<Wakeup> NewPipeWakeup() { return std::make_shared<PipeWakeup>(); }

int PollUnlessWoken(pollfd& p, uint64_t ns, Wakeup* wakeup, bool& woken) {
  woken = wakeup && wakeup->Woken();
  if (woken) return 0;
  pollfd fds[2] = {p, {-1, POLLIN, 0}};
  if (wakeup && wakeup->Handle() >= 0) fds[1].fd = int(wakeup->Handle());
  const timespec ts{time_t(ns / 1'000'000'000u), long(ns % 1'000'000'000u)};
  const int r = ppoll(fds, 2, &ts, nullptr);
  const int saved = errno;
  p.revents = fds[0].revents;
  if (wakeup) woken = (fds[1].revents & POLLIN) ? wakeup->Settle() : wakeup->Woken();
  errno = saved;
  if (r < 0) return r;
  return p.fd >= 0 && p.revents != 0 ? 1 : 0;
}

}  // namespace qelcomm::posix
