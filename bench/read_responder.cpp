// The device of the Python read benchmark: `qelcomm_read_responder serve`
// makes a pty with an immediate responder, prints the slave path and serves
// until stdin closes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "e2e/pty_pair.h"

namespace {

// Answers every 9-byte read request at once with a register value of 15,
// until stdin reaches end of file.
int Serve() {
  qelcomm::testing::PtyPair pty;
  std::printf("%s\n", pty.name().c_str());
  std::fflush(stdout);
  const std::vector<uint8_t> reply{0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x0F,
                                   0xF0, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA};
  size_t pending = 0;
  for (;;) {
    pollfd p[2] = {{pty.master(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(p, 2, -1) <= 0) continue;
    if (p[1].revents != 0) {
      char c;
      if (read(STDIN_FILENO, &c, 1) <= 0) return 0;
    }
    if ((p[0].revents & POLLIN) == 0) continue;
    uint8_t buf[256];
    const ssize_t r = read(pty.master(), buf, sizeof buf);
    if (r <= 0) continue;
    pending += size_t(r);
    for (; pending >= 9; pending -= 9) pty.Send(reply);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "serve") == 0) return Serve();
  std::fprintf(stderr, "usage: %s serve\n", argv[0]);
  return 2;
}
