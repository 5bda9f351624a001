// A pseudo-terminal pair for tests of the POSIX backend: the test plays the
// device on the master side while the code under test opens the slave.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace qelcomm::testing {

class PtyPair {
 public:
  PtyPair() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) name_ = name;
    // Leave the slave cooked (echo, canonical, CR/LF translation, XON/XOFF)
    // as a freshly plugged adapter may be: opening must make it raw.
    termios t{};
    tcgetattr(slave_, &t);
    t.c_lflag |= ICANON | ECHO;
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag |= OPOST | ONLCR;
    tcsetattr(slave_, TCSANOW, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  // Drops the test's own slave handle, so that closing the master later is
  // seen as a hang-up by the code under test.
  void CloseSlave() {
    close(slave_);
    slave_ = -1;
  }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  const std::string& name() const { return name_; }
  void Send(const std::vector<uint8_t>& bytes) const {
    (void)!write(master_, bytes.data(), bytes.size());
  }
  // Reads what the code under test wrote, waiting up to `ms` for `n` bytes.
  std::vector<uint8_t> Receive(size_t n, int ms = 1000) const {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      poll(&p, 1, 10);
      uint8_t buf[512];
      const ssize_t r = read(master_, buf, sizeof buf);
      if (r > 0) out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  int master() const { return master_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

}  // namespace qelcomm::testing
