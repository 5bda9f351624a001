// qelgate: one owner per bus, each served to Modbus TCP clients. Runs in
// the foreground; SIGTERM or SIGINT ends it with exit status 0.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iostream>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "config.h"
#include "http_front.h"
#include "options.h"
#include "web_api.h"
#include "web_files.h"

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

// Telegrams the web page's trace shows from before it was opened.
constexpr size_t kTraceRing = 4096;

// One bus: its queue, its network faces and the thread that owns its line.
struct Served {
  Served(const qelgate::GateOptions& o, const std::string& name)
      : prefix(name.empty() ? "" : name + ": "),
        queue(o.queue_limit),
        front(o.front, queue, [this](const std::string& l) { Log(prefix + l); }),
        worker(o.line, o.setup, queue, [this](qelgate::Job job) { front.Finished(std::move(job)); },
               [this](const std::string& l) { Log(prefix + l); }),
        listen(o.front.host + ":" + std::to_string(o.front.port)),
        trace(kTraceRing),
        web({name.empty() ? "bus0" : name, o.line, listen}, queue, o.setup, trace,
            [this] { return worker.Up(); }),
        http(o.http) {
    worker.SetTrace(&trace);
  }

  std::string prefix;
  qelgate::BusQueue queue;
  qelgate::TcpFront front;
  qelgate::BusWorker worker;
  std::string listen;
  qelgate::TraceRing trace;
  qelgate::WebBus web;
  qelgate::HttpAddress http;
};

// The web page and API at one address, for the buses that name it.
struct WebServed {
  WebServed(const qelgate::HttpAddress& at, const std::string& token,
            std::vector<qelgate::WebBus*> buses)
      : api({at.host, at.port, token, qelgate::kMaxStreams}, std::move(buses),
            qelgate::FindWebFile),
        front({at.host, at.port, qelgate::kMaxStreams}, api) {}
  ~WebServed() {
    front.Stop();
    if (thread.joinable()) thread.join();
  }
  qelgate::WebApi api;
  qelgate::HttpFront front;
  std::thread thread;
  std::atomic<bool> ended{false};
};

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The token from --token-file (its first line), or a fresh random one. A
// file's token must be hard to guess and fit a URL and a cookie unchanged.
bool LoadToken(const std::string& file, std::string& token) {
  if (file.empty()) {
    token = qelgate::RandomToken();
    return true;
  }
  std::ifstream in(file);
  std::getline(in, token);
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
  constexpr size_t kShortest = 16;
  const bool plain = std::all_of(token.begin(), token.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
  if (token.size() < kShortest || !plain) {
    Log(file + ": the token on its first line must be at least 16 letters, digits, '-', '_' "
               "or '.'");
    return false;
  }
  return true;
}

// Starts one web server per address named; false when one cannot listen.
bool StartWeb(std::list<Served>& served, const std::string& token_file,
              std::list<WebServed>& web) {
  std::map<qelgate::HttpAddress, std::vector<qelgate::WebBus*>> by_address;
  for (Served& s : served) {
    if (s.http.port != 0) by_address[s.http].push_back(&s.web);
  }
  if (by_address.empty()) return true;
  std::string token;
  if (!LoadToken(token_file, token)) return false;
  for (auto& [at, buses] : by_address) {
    WebServed& w = web.emplace_back(at, token, buses);
    std::string error;
    if (!w.front.Listen(error)) {
      Log(error);
      return false;
    }
    if (!IsLoopback(at.host)) {
      Log("warning: the web page listens on " + at.host +
          ", not loopback: anyone who reaches it and has the token can move the motors");
    }
    Log("web page at http://" + at.Text() + "/?token=" + token);
    w.thread = std::thread([&w] {
      w.front.Run();
      w.ended = true;
    });
  }
  return true;
}

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
  std::list<WebServed> web;
  if (!StartWeb(served, line.token_file, web)) return 1;
  std::vector<std::thread> fronts;
  for (Served& s : served) {
    s.worker.Start();
    fronts.emplace_back([&s] { s.front.Run(g_stop_pipe[0]); });
  }
  for (auto& t : fronts) t.join();
  for (WebServed& w : web) w.front.Stop();
  for (Served& s : served) s.queue.Close();
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  for (WebServed& w : web) {
    while (!w.ended && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!w.ended) {
      Log("stopping while a web request is in progress");
      _exit(0);
    }
    w.thread.join();
  }
  for (Served& s : served) {
    while (!s.worker.Ended() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!s.worker.Ended()) {
      Log(s.prefix + "stopping while an exchange is in progress");
      _exit(0);
    }
  }
  web.clear();
  served.clear();
  Log("stopped");
  return 0;
}
