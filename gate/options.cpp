#include "options.h"

#include <CLI/CLI.hpp>
#include <sstream>
#include <stdexcept>

namespace qelgate {
namespace {

// "P,A,V": user units per raw unit; 0 keeps a factor.
void ApplyFactors(const std::string& text, qelcomm::registers::ExactFactors& f) {
  std::stringstream in(text);
  double v[3];
  char comma = 0;
  if (!(in >> v[0] >> comma >> v[1] >> comma >> v[2]) || !in.eof()) {
    throw CLI::ValidationError("factors", "'" + text + "' is not P,A,V");
  }
  if (v[0] != 0) f.position = v[0];
  if (v[1] != 0) f.acceleration = v[1];
  if (v[2] != 0) f.velocity = v[2];
}

void ApplyListen(const std::string& text, FrontConfig& front) {
  std::string why;
  if (!ParseListen(text, front, why)) throw CLI::ValidationError("--listen", why);
}

}  // namespace

bool ParseHttp(const std::string& text, HttpAddress& http, std::string& why) {
  FrontConfig front;
  if (!ParseListen(text, front, why)) return false;
  http = {front.host, front.port};
  return true;
}

bool ParseListen(const std::string& text, FrontConfig& front, std::string& why) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    why = "'" + text + "' is not HOST:PORT";
    return false;
  }
  int port = -1;
  try {
    size_t used = 0;
    port = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1) port = -1;
  } catch (const std::exception&) {
  }
  if (port < 1 || port > 65535) {
    why = "'" + text + "' has no port 1..65535";
    return false;
  }
  front.host = text.substr(0, colon);
  front.port = port;
  return true;
}

bool ParseOptions(int argc, char** argv, CommandLine& line, int& exit_code) {
  GateOptions& o = line.bus;
  CLI::App app{"qelgate: serves the motors of one bus to Modbus TCP clients"};
  app.add_option("--config", line.config,
                 "YAML file of buses to serve, each with its own listen address; the bus "
                 "options are then taken from it")
      ->check(CLI::ExistingFile);
  std::string listen = "127.0.0.1:1502", factors, factors_big;
  std::vector<int> big;
  int idle_s = 60;
  bool read_only = false;
  app.add_option("--port", o.line.port,
                 "device or rfc2217://HOST:PORT / tcp://HOST:PORT; none = the embedded virtual bus");
  app.add_option("--baud", o.line.baud, "line speed")->capture_default_str();
  app.add_option("--retries", o.line.retries, "attempts per exchange")->capture_default_str();
  app.add_option("--listen", listen, "Modbus TCP address (loopback by default)")
      ->capture_default_str();
  app.add_option("--big", big, "motor addresses that are big motors")->delimiter(',');
  app.add_option("--factors", factors, "standard motors' factors P,A,V");
  app.add_option("--factors-big", factors_big, "big motors' factors P,A,V");
  app.add_flag("--echo", o.line.echo, "the adapter echoes what the host sends");
  app.add_flag("--read-only", read_only, "refuse every write (exception 01)");
  app.add_flag("--allow-protected-writes", o.setup.write_protected,
               "allow writes to read-only and identity registers");
  app.add_option("--max-connections", o.front.max_connections)->capture_default_str()
      ->check(CLI::Range(1, 1024));
  app.add_option("--idle-timeout", idle_s, "seconds")->capture_default_str()
      ->check(CLI::Range(1, 86400));
  app.add_option("--queue", o.queue_limit, "requests waiting at most")->capture_default_str()
      ->check(CLI::Range(1, 4096));
  app.add_option("--extra-window-ms", o.line.extra_window_ms,
                 "widen every reply window by this many ms, for slow or remote lines")
      ->check(CLI::Range(0, 10000));
  std::string http;
  app.add_option("--http", http,
                 "serve the web page and its JSON API at HOST:PORT (loopback unless told)");
  app.add_option("--token-file", line.token_file,
                 "file holding the web API's token; without it a random one is made")
      ->check(CLI::ExistingFile);
  app.add_flag("--verbose", o.front.verbose, "log every request");
  try {
    app.parse(argc, argv);
    if (!line.config.empty()) {
      for (const char* bus_option : {"--port", "--baud", "--retries", "--listen", "--big",
                                     "--factors", "--factors-big", "--echo", "--read-only",
                                     "--allow-protected-writes", "--max-connections",
                                     "--idle-timeout", "--queue", "--http",
                                     "--extra-window-ms"}) {
        if (app.count(bus_option)) {
          throw CLI::ValidationError(bus_option, "goes into the --config file");
        }
      }
    }
    if (app.count("--port") && o.line.port.empty()) {
      throw CLI::ValidationError("--port", "is empty; leave it out for the virtual bus");
    }
    ApplyListen(listen, o.front);
    if (std::string why; !http.empty() && !ParseHttp(http, o.http, why)) {
      throw CLI::ValidationError("--http", why);
    }
    for (int a : big) {
      if (a < 1 || a > 255) throw CLI::ValidationError("--big", std::to_string(a) + " is no address");
      o.setup.big[size_t(a)] = true;
    }
    if (o.line.port.empty() && !app.count("--big")) o.setup.big[2] = true;  // the virtual bus's
    if (!factors.empty()) ApplyFactors(factors, o.setup.standard);
    if (!factors_big.empty()) ApplyFactors(factors_big, o.setup.big_factors);
  } catch (const CLI::ParseError& e) {
    exit_code = app.exit(e);
    return false;
  }
  o.setup.writable = !read_only;
  o.front.idle_timeout = std::chrono::seconds(idle_s);
  return true;
}

}  // namespace qelgate
