// qelgate: one bus, one owner, served to Modbus TCP clients. Runs in the
// foreground; SIGTERM or SIGINT ends it with exit status 0.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "options.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_stop_pipe[1], &byte, 1);
}

void Log(const std::string& line) { std::cerr << "qelgate: " << line << std::endl; }

// The bus thread finishes the exchange in progress; the longest waits take
// seconds, so the process ends without it after this.
constexpr auto kStopGrace = std::chrono::milliseconds(800);

}  // namespace

int main(int argc, char** argv) {
  qelgate::GateOptions options;
  int code = 0;
  if (!qelgate::ParseOptions(argc, argv, options, code)) return code;
  if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  qelgate::BusQueue queue(options.queue_limit);
  qelgate::TcpFront front(options.front, queue, Log);
  std::string error;
  if (!front.Listen(error)) {
    Log(error);
    return 1;
  }
  Log("listening on " + options.front.host + ":" + std::to_string(options.front.port));
  qelgate::BusWorker worker(options.line, options.setup, queue,
                            [&front](qelgate::Job job) { front.Finished(std::move(job)); }, Log);
  worker.Start();
  front.Run(g_stop_pipe[0]);
  queue.Close();
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (!worker.Ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!worker.Ended()) {
    Log("stopping while an exchange is in progress");
    _exit(0);
  }
  worker.Stop();
  Log("stopped");
  return 0;
}
