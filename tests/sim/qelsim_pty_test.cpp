// Drives the qelsim program over its pseudo-terminal with plain POSIX calls,
// as any serial client would, and checks the exact bytes it answers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class Qelsim {
 public:
  explicit Qelsim(std::vector<std::string> args) {
    stderr_path_ = ::testing::TempDir() + "qelsim_stderr_" + std::to_string(getpid()) + "_" +
                   std::to_string(counter_++) + ".txt";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      close(out[0]);
      std::vector<char*> argv{const_cast<char*>(QELSIM_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(QELSIM_PATH, argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    // The first line is the slave device.
    char c;
    while (read(stdout_, &c, 1) == 1 && c != '\n') path_ += c;
  }
  ~Qelsim() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
    std::remove(stderr_path_.c_str());
  }
  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }
  // Signals the program and returns its exit status (-1 on timeout).
  int Stop(int sig = SIGTERM) {
    kill(pid_, sig);
    return Wait();
  }
  int Wait(int timeout_ms = 3000) {
    for (int i = 0; i < timeout_ms / 10; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  std::string Stderr() const {
    std::ifstream f(stderr_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // User plus system CPU time so far, in clock ticks.
  long CpuTicks() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), {});
    auto close_paren = s.rfind(')');
    std::istringstream in(s.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

 private:
  static inline int counter_ = 0;
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string path_;
  std::string stderr_path_;
};

class Port {
 public:
  explicit Port(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Discards old input, writes the request, and collects what comes back
  // until `want` bytes are there or `ms` pass.
  Bytes Exchange(const Bytes& req, size_t want, int ms = 500) {
    tcflush(fd_, TCIOFLUSH);
    EXPECT_EQ(write(fd_, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    return Collect(want, ms);
  }
  Bytes Collect(size_t want, int ms) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      if (!(p.revents & POLLIN)) break;
      uint8_t buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

const Bytes kReadMode1{0x50, 0x50, 0x50, 0x01, 0xFE, 0x02, 0xFD, 0xAA, 0xAA};
const Bytes kMode2Reply{0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x02,
                        0xFD, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA};

TEST(QelsimPty, DefaultBusAnswersWithExactBytes) {
  Qelsim sim({});
  ASSERT_EQ(sim.path().rfind("/dev/", 0), 0u) << "first stdout line: " << sim.path();
  Port port(sim.path());
  ASSERT_TRUE(port.ok());

  EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply);
  // V_SOLL := 1000 on motor 1, 16-bit.
  EXPECT_EQ(port.Exchange({0x52, 0x52, 0x52, 0x01, 0xFE, 0x05, 0xFA, 0x02, 0xFD, 0xE8, 0x17, 0x03,
                           0xFC, 0xAA, 0xAA}, 3),
            (Bytes{0x11, 0x11, 0x11}));
  // Big motor 2: PROG_VERSION 0x0312 as 32-bit.
  EXPECT_EQ(port.Exchange({0x50, 0x50, 0x50, 0x02, 0xFD, 0x01, 0xFE, 0xAA, 0xAA}, 19),
            (Bytes{0x52, 0x52, 0x52, 0x00, 0xFF, 0x01, 0xFE, 0x04, 0xFB, 0x12, 0xED, 0x03, 0xFC,
                   0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA}));
  // Status of motor 1 at rest: in position at 0, no errors.
  EXPECT_EQ(port.Exchange({0x58, 0x58, 0x58, 0x01, 0xFE, 0xAA, 0xAA}, 25),
            (Bytes{0x58, 0x58, 0x58, 0x00, 0xFF, 0x08, 0xF7, 0x01, 0xFE, 0x00, 0xFF, 0x00, 0xFF,
                   0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA}));
  // The module fitted to motor 1, probed at 255.
  EXPECT_EQ(port.Exchange({0x5F, 0x5F, 0x5F, 0xFF, 0x00, 0xAA, 0xAA}, 13),
            (Bytes{0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0x01, 0xFE, 0x03, 0xFC, 0x11, 0xEE, 0xAA, 0xAA}));
  // QupStart at 1.
  auto q = port.Exchange({0x61, 0x61, 0x61, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0xAA, 0xAA}, 25);
  ASSERT_EQ(q.size(), 25u);
  EXPECT_EQ(Bytes(q.begin(), q.begin() + 9), (Bytes{0x61, 0x61, 0x61, 0x00, 0xFF, 0x08, 0xF7, 0x01, 0xFE}));
  // No motor at 9: silence.
  EXPECT_TRUE(port.Exchange({0x50, 0x50, 0x50, 0x09, 0xF6, 0x02, 0xFD, 0xAA, 0xAA}, 1, 200).empty());
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(QelsimPty, SurvivesTheClientClosingAndReopeningWithoutSpinning) {
  Qelsim sim({});
  {
    Port port(sim.path());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply);
  }
  const long before = sim.CpuTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(sim.CpuTicks() - before, 10) << "busy while no client is open";
  for (int i = 0; i < 3; ++i) {
    Port port(sim.path());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply) << "reopen " << i;
  }
  EXPECT_EQ(sim.Stop(SIGINT), 0);
}

TEST(QelsimPty, LinkIsCreatedAndRemovedOnStop) {
  const std::string link = ::testing::TempDir() + "qelsim_link_" + std::to_string(getpid());
  unlink(link.c_str());
  ASSERT_EQ(symlink("/dev/pts/999", link.c_str()), 0) << "as a killed qelsim leaves it";
  Qelsim sim({"--link", link, "--motor", "3"});
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim.path(), target);
  struct stat slave {};
  ASSERT_EQ(stat(sim.path().c_str(), &slave), 0);
  EXPECT_EQ(slave.st_mode & 077, 0u) << "the terminal is for its user only";
  Port port(link);
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.Exchange({0x50, 0x50, 0x50, 0x03, 0xFC, 0x03, 0xFC, 0xAA, 0xAA}, 19).size(), 19u);
  EXPECT_TRUE(port.Exchange(kReadMode1, 1, 200).empty()) << "--motor replaced motor 1";
  EXPECT_EQ(sim.Stop(), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(QelsimPty, LinkNeverReplacesAnythingButAStaleLink) {
  const std::string path = ::testing::TempDir() + "qelsim_not_a_link_" + std::to_string(getpid());
  const std::string other = path + "_other";
  { std::ofstream(path) << "keep"; }
  ASSERT_EQ(symlink(path.c_str(), other.c_str()), 0);
  for (const std::string& taken : {path, other}) {
    Qelsim sim({"--link", taken});
    EXPECT_EQ(sim.Wait(), 1) << taken;
    EXPECT_NE(sim.Stderr().find("not replaced"), std::string::npos) << sim.Stderr();
  }
  std::ifstream kept(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
  char target[256] = {};
  EXPECT_EQ(std::string(target, readlink(other.c_str(), target, sizeof target)), path);
  std::remove(other.c_str());
  std::remove(path.c_str());
}

TEST(QelsimPty, PerAddressFaultsAndTrace) {
  Qelsim sim({"--fault", "1:bad-accept", "--fault", "2:noise-after", "--trace"});
  Port port(sim.path());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.Exchange({0x52, 0x52, 0x52, 0x01, 0xFE, 0x05, 0xFA, 0x02, 0xFD, 0xE8, 0x17, 0x03,
                           0xFC, 0xAA, 0xAA}, 3),
            (Bytes{0x11, 0x11, 0x12}));
  auto r = port.Exchange({0x50, 0x50, 0x50, 0x02, 0xFD, 0x02, 0xFD, 0xAA, 0xAA}, 22);
  EXPECT_EQ(r.size(), 22u);
  EXPECT_EQ(sim.Stop(), 0);
  const std::string trace = sim.Stderr();
  EXPECT_NE(trace.find("write motor 1 register V_SOLL (5) = 1000 -> 3 bytes [fault bad-accept]"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find("read motor 2 register MODE_REG (2)"), std::string::npos) << trace;
}

TEST(QelsimPty, VanishAfterClosesTheTerminal) {
  Qelsim sim({"--vanish-after", "2"});
  Port port(sim.path());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply);
  EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply) << "the last telegram is still answered";
  EXPECT_EQ(sim.Wait(), 0);
  pollfd p{port.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
}

TEST(QelsimPty, ChatterRunsUntilSigusr1ClearsIt) {
  Qelsim sim({"--fault", "1:chatter:1", "--chatter-ms", "5"});
  Port port(sim.path());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply);
  const size_t n = port.Collect(1000, 200).size();
  EXPECT_GT(n, 20u);
  EXPECT_LT(n, 60u);
  kill(sim.pid(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  tcflush(port.fd(), TCIFLUSH);
  EXPECT_TRUE(port.Collect(1, 200).empty());
  EXPECT_EQ(port.Exchange(kReadMode1, 19), kMode2Reply);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(QelsimPty, ConfigFileAndPacing) {
  const std::string conf = ::testing::TempDir() + "qelsim_pty_test.conf";
  {
    std::ofstream f(conf);
    f << "motor 7:big\nno-module\nset 7:MODE_REG=15\npace\nbaud 9600\n";
  }
  Qelsim sim({"--config", conf});
  Port port(sim.path());
  ASSERT_TRUE(port.ok());
  const auto t0 = std::chrono::steady_clock::now();
  auto r = port.Exchange({0x50, 0x50, 0x50, 0x07, 0xF8, 0x02, 0xFD, 0xAA, 0xAA}, 19);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(r.size(), 19u);
  EXPECT_EQ(r[9], 15);
  EXPECT_GE(ms, 19) << "19 bytes at 9600 bit/s take about 20 ms";
  EXPECT_TRUE(port.Exchange({0x5F, 0x5F, 0x5F, 0xFF, 0x00, 0xAA, 0xAA}, 1, 200).empty());
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(conf.c_str());
}

TEST(QelsimPty, BadOptionsExitWithUsageError) {
  const std::string cmd = std::string(QELSIM_PATH) + " --motor 0 2>/dev/null";
  const int status = std::system(cmd.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  FILE* help = popen((std::string(QELSIM_PATH) + " --help").c_str(), "r");
  ASSERT_NE(help, nullptr);
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, help)) text += buf;
  EXPECT_EQ(pclose(help), 0);
  EXPECT_NE(text.find("a standard motor at address 1, a big motor at address 2"), std::string::npos);
}

}  // namespace
