#include "config.h"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

namespace qelgate {
namespace {

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const YAML::Node& at, const std::string& key, const std::string& why) const {
    const YAML::Mark m = at.Mark();
    const std::string line = m.line >= 0 ? ":" + std::to_string(m.line + 1) : "";
    throw ConfigError(source_ + line + ": " + (key.empty() ? "" : "key '" + key + "': ") + why);
  }

  template <typename T>
  T Scalar(const YAML::Node& n, const std::string& key, const char* what) const {
    if (!n.IsScalar()) Fail(n, key, std::string("not ") + what);
    try {
      return n.as<T>();
    } catch (const YAML::Exception&) {
      Fail(n, key, std::string("not ") + what);
    }
  }

  int Int(const YAML::Node& n, const std::string& key, int min, int max) const {
    const int v = Scalar<int>(n, key, "a whole number");
    if (v < min || v > max) {
      Fail(n, key, std::to_string(v) + " is outside " + std::to_string(min) + ".." +
                       std::to_string(max));
    }
    return v;
  }

  void Factors(const YAML::Node& n, const std::string& key,
               qelcomm::registers::ExactFactors& f) const {
    if (!n.IsSequence() || n.size() != 3) Fail(n, key, "not a list [P, A, V]");
    double v[3];
    for (size_t i = 0; i < 3; ++i) {
      v[i] = Scalar<double>(n[i], key, "a number");
      if (!std::isfinite(v[i])) Fail(n[i], key, "not a finite number");
    }
    if (v[0] != 0) f.position = v[0];
    if (v[1] != 0) f.acceleration = v[1];
    if (v[2] != 0) f.velocity = v[2];
  }

  void Http(const YAML::Node& v, const std::string& key, HttpAddress& http) const {
    std::string why;
    if (!ParseHttp(Scalar<std::string>(v, key, "HOST:PORT"), http, why)) Fail(v, key, why);
  }

  BusEntry Bus(const YAML::Node& n) const {
    if (!n.IsMap()) Fail(n, "", "a bus is a map of keys");
    BusEntry e;
    GateOptions& o = e.options;
    bool big_given = false;
    for (const auto& kv : n) {
      const std::string key = kv.first.as<std::string>();
      const YAML::Node& v = kv.second;
      if (key == "name") {
        e.name = Scalar<std::string>(v, key, "text");
      } else if (key == "port") {
        o.line.port = Scalar<std::string>(v, key, "text");
        if (o.line.port.empty()) Fail(v, key, "empty; leave it out for the virtual bus");
      } else if (key == "baud") {
        o.line.baud = Int(v, key, 1, 4'000'000);
      } else if (key == "retries") {
        o.line.retries = int16_t(Int(v, key, 1, 100));
      } else if (key == "echo") {
        o.line.echo = Scalar<bool>(v, key, "true or false");
      } else if (key == "big") {
        if (!v.IsSequence()) Fail(v, key, "not a list of motor addresses");
        big_given = true;
        for (const auto& a : v) o.setup.big[size_t(Int(a, key, 1, 255))] = true;
      } else if (key == "factors") {
        Factors(v, key, o.setup.standard);
      } else if (key == "factors-big") {
        Factors(v, key, o.setup.big_factors);
      } else if (key == "listen") {
        std::string why;
        if (!ParseListen(Scalar<std::string>(v, key, "HOST:PORT"), o.front, why)) Fail(v, key, why);
      } else if (key == "writable") {
        o.setup.writable = Scalar<bool>(v, key, "true or false");
      } else if (key == "protected-writes") {
        o.setup.write_protected = Scalar<bool>(v, key, "true or false");
      } else if (key == "max-connections") {
        o.front.max_connections = size_t(Int(v, key, 1, 1024));
      } else if (key == "idle-timeout") {
        o.front.idle_timeout = std::chrono::seconds(Int(v, key, 1, 86400));
      } else if (key == "queue") {
        o.queue_limit = size_t(Int(v, key, 1, 4096));
      } else if (key == "extra-window-ms") {
        o.line.extra_window_ms = uint32_t(Int(v, key, 0, 10000));
      } else if (key == "http") {
        Http(v, key, o.http);
      } else {
        Fail(kv.first, key, "unknown key");
      }
    }
    if (e.name.empty()) Fail(n, "name", "missing");
    if (o.line.port.empty() && !big_given) o.setup.big[2] = true;  // the virtual bus's
    return e;
  }

  std::vector<BusEntry> File(const YAML::Node& root) const {
    if (!root.IsMap()) Fail(root, "", "the file is a map with the key 'buses'");
    HttpAddress http;  // the buses' web address unless a bus names its own
    for (const auto& kv : root) {
      const std::string key = kv.first.as<std::string>();
      if (key == "http") {
        Http(kv.second, key, http);
      } else if (key != "buses") {
        Fail(kv.first, key, "unknown key");
      }
    }
    const YAML::Node buses = root["buses"];
    if (!buses || !buses.IsSequence() || buses.size() == 0) {
      Fail(root, "buses", "missing, or not a list of buses");
    }
    std::vector<BusEntry> out;
    std::set<std::string> names, listens;
    for (const auto& b : buses) {
      out.push_back(Bus(b));
      if (out.back().options.http.port == 0) out.back().options.http = http;
      const auto& f = out.back().options.front;
      if (!names.insert(out.back().name).second) Fail(b, "name", "'" + out.back().name + "' twice");
      if (!listens.insert(f.host + ":" + std::to_string(f.port)).second) {
        Fail(b, "listen", f.host + ":" + std::to_string(f.port) + " is taken by another bus");
      }
    }
    return out;
  }

 private:
  std::string source_;
};

}  // namespace

std::vector<BusEntry> ParseConfig(const std::string& text, const std::string& source) {
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::ParserException& e) {
    throw ConfigError(source + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  return Reader(source).File(root);
}

std::vector<BusEntry> LoadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str(), path);
}

}  // namespace qelgate
