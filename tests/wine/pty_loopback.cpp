// Native helper for the Wine serial tests: a pseudo-terminal that echoes back
// every byte written to it. Prints the slave device path as its first output
// line; the Windows side reaches that path through a COM-port symlink.
//
//   pty_loopback [--exit-after N]
//
// Runs until SIGTERM or until its stdin reaches end-of-file (so it dies with
// the script that started it). With --exit-after it closes the pty after
// echoing N bytes, which the Windows side sees as a vanished device.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool WriteAll(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long exit_after = -1;
  if (argc == 3 && std::strcmp(argv[1], "--exit-after") == 0) {
    exit_after = std::strtol(argv[2], nullptr, 10);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--exit-after N]\n", argv[0]);
    return 2;
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pty");
    return 1;
  }
  const char* slave_name = ptsname(master);
  // Holding the slave open keeps the master readable while the Windows side
  // closes and reopens the port between tests (otherwise reads fail with EIO).
  int slave = slave_name ? open(slave_name, O_RDWR | O_NOCTTY) : -1;
  if (slave < 0) {
    std::perror("slave");
    return 1;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);

  std::printf("%s\n", slave_name);
  std::fflush(stdout);

  long echoed = 0;
  unsigned char buf[4096];
  for (;;) {
    pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) {
      ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
      if (r <= 0) return 0;  // whoever started us is gone
    }
    if (fds[0].revents != 0) {
      size_t want = sizeof buf;
      if (exit_after >= 0) want = static_cast<size_t>(exit_after - echoed);
      if (want == 0) break;
      ssize_t r = read(master, buf, want);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return 1;
      if (!WriteAll(master, buf, static_cast<size_t>(r))) return 1;
      echoed += r;
      if (exit_after >= 0 && echoed >= exit_after) break;
    }
  }
  // Give the other side time to read the last echo before the pty vanishes.
  usleep(200 * 1000);
  close(slave);
  close(master);
  return 0;
}
