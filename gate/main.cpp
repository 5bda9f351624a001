// qelgate: one owner per bus, each served to Modbus TCP clients. Runs in
// the foreground; SIGTERM or SIGINT ends it with exit status 0.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <list>
#include <mutex>
#include <thread>

#include "config.h"
#include "options.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_stop_pipe[1], &byte, 1);
}

std::mutex g_log_mutex;
void Log(const std::string& line) {
  std::lock_guard lock(g_log_mutex);
  std::cerr << "qelgate: " << line << std::endl;
}

// The bus threads finish the exchange in progress; the longest waits take
// seconds, so the process ends without them after this.
constexpr auto kStopGrace = std::chrono::milliseconds(800);

// One bus: its queue, its network face and the thread that owns its line.
struct Served {
  Served(const qelgate::GateOptions& o, const std::string& name)
      : prefix(name.empty() ? "" : name + ": "),
        queue(o.queue_limit),
        front(o.front, queue, [this](const std::string& l) { Log(prefix + l); }),
        worker(o.line, o.setup, queue, [this](qelgate::Job job) { front.Finished(std::move(job)); },
               [this](const std::string& l) { Log(prefix + l); }),
        listen(o.front.host + ":" + std::to_string(o.front.port)) {}

  std::string prefix;
  qelgate::BusQueue queue;
  qelgate::TcpFront front;
  qelgate::BusWorker worker;
  std::string listen;
};

}  // namespace

int main(int argc, char** argv) {
  qelgate::CommandLine line;
  int code = 0;
  if (!qelgate::ParseOptions(argc, argv, line, code)) return code;
  std::vector<qelgate::BusEntry> buses;
  if (line.config.empty()) {
    buses.push_back({"", line.bus});
  } else {
    try {
      buses = qelgate::LoadConfig(line.config);
    } catch (const qelgate::ConfigError& e) {
      Log(e.what());
      return 2;
    }
    for (auto& b : buses) b.options.front.verbose = line.bus.front.verbose;
  }
  if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  std::list<Served> served;  // stable addresses: the callbacks hold them
  for (const auto& b : buses) {
    Served& s = served.emplace_back(b.options, b.name);
    std::string error;
    if (!s.front.Listen(error)) {
      Log(s.prefix + error);
      return 1;
    }
    Log(s.prefix + "listening on " + s.listen);
  }
  std::vector<std::thread> fronts;
  for (Served& s : served) {
    s.worker.Start();
    fronts.emplace_back([&s] { s.front.Run(g_stop_pipe[0]); });
  }
  for (auto& t : fronts) t.join();
  for (Served& s : served) s.queue.Close();
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  for (Served& s : served) {
    while (!s.worker.Ended() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!s.worker.Ended()) {
      Log(s.prefix + "stopping while an exchange is in progress");
      _exit(0);
    }
  }
  served.clear();
  Log("stopped");
  return 0;
}
