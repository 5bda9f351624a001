#include "web_api.h"

#include <charconv>
#include <cstdio>
#include <random>

#include "web_routes.h"

namespace qelgate {
namespace {

constexpr const char* kCookie = "qelgate_token";

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < path.size()) {
    const size_t slash = path.find('/', at);
    const size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > at) out.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// Compares in time independent of where they differ.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  size_t at = 0;
  while (at < header.size()) {
    const size_t end = std::min(header.find(';', at), header.size());
    std::string_view part = header.substr(at, end - at);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
    at = end + 1;
  }
  return {};
}

bool IsLoopbackName(std::string_view host) {
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]" || host == "::1";
}

bool Writes(const std::string& method) { return method != "GET" && method != "HEAD"; }

bool ParseAddress(const std::string& text, int& address) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, address);
  return ec == std::errc() && ptr == end && address >= 1 && address <= 255;
}

}  // namespace

std::string RandomToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", unsigned(random()));
    token += part;
  }
  return token;
}

WebApi::WebApi(WebConfig config, std::vector<WebBus*> buses, FileLookup files)
    : config_(std::move(config)), buses_(std::move(buses)), files_(std::move(files)) {}

HttpResponse WebApi::Handle(const HttpRequest& rq) {
  try {
    if (rq.path == "/api" || rq.path.rfind("/api/", 0) == 0) return Api(rq);
    return Page(rq);
  } catch (const std::exception& e) {
    return Answer(WebError(500, "INTERNAL", e.what()));
  }
}

// The page needs no token; opened with ?token= it keeps the token as a
// cookie that only this site's requests carry.
HttpResponse WebApi::Page(const HttpRequest& rq) {
  if (rq.method != "GET") return MethodNotAllowed(rq);
  const std::string token = rq.Param("token");
  if (rq.query.count("token") && !SameSecret(token, config_.token)) {
    // A person with a stale bookmark reads this, not a script.
    return {401, "text/html; charset=utf-8",
            "<!doctype html><title>qelgate: wrong token</title><h1>Wrong token</h1>"
            "<p>This address holds a token that is not this gateway's: it changes at each "
            "start unless qelgate runs with <code>--token-file</code>. Open the address qelgate "
            "printed when it started (\"qelgate: web page at &hellip;\").</p>\n",
            {}, {}};
  }
  const std::optional<StaticFile> file = files_ ? files_(rq.path) : std::nullopt;
  if (!file) return NotFound(rq);
  HttpResponse out;
  out.content_type = file->content_type;
  out.body.assign(file->bytes);
  if (!token.empty()) {
    out.headers.emplace_back("Set-Cookie",
                             std::string(kCookie) + "=" + token + "; HttpOnly; SameSite=Strict");
  }
  return out;
}

bool WebApi::Authorized(const HttpRequest& rq) const {
  const std::string auth = rq.Header("Authorization");
  constexpr std::string_view kBearer = "Bearer ";
  if (auth.size() > kBearer.size() && auth.compare(0, kBearer.size(), kBearer) == 0) {
    return SameSecret(std::string_view(auth).substr(kBearer.size()), config_.token);
  }
  if (rq.query.count("token")) return SameSecret(rq.Param("token"), config_.token);
  return SameSecret(CookieValue(rq.Header("Cookie"), kCookie), config_.token);
}

// A page served by this gateway sends its own address; on loopback, by
// whichever loopback name the browser was given.
bool WebApi::SameOrigin(const std::string& origin) const {
  const std::string port = ":" + std::to_string(config_.port);
  constexpr std::string_view kScheme = "http://";
  if (origin.rfind(kScheme, 0) != 0 || origin.size() <= kScheme.size() + port.size() ||
      origin.compare(origin.size() - port.size(), port.size(), port) != 0) {
    return false;
  }
  const std::string host =
      origin.substr(kScheme.size(), origin.size() - kScheme.size() - port.size());
  if (host == config_.host) return true;
  return IsLoopbackName(config_.host) && IsLoopbackName(host);
}

WebBus* WebApi::FindBus(std::string_view name) const {
  for (WebBus* b : buses_) {
    if (b->name() == name) return b;
  }
  return nullptr;
}

HttpResponse WebApi::Api(const HttpRequest& rq) {
  if (!Authorized(rq)) {
    return Answer(WebError(401, "UNAUTHORIZED",
                           "this request needs the gateway's token (?token=, the page's cookie, "
                           "or Authorization: Bearer)"));
  }
  if (Writes(rq.method) && !rq.Header("Origin").empty() && !SameOrigin(rq.Header("Origin"))) {
    return Answer(WebError(403, "CROSS_ORIGIN",
                           "a request from " + rq.Header("Origin") + " may not write here"));
  }
  std::vector<std::string> parts = Segments(rq.path);
  const bool hex = parts.size() == 7 && parts[6] == "program";
  if (rq.body.size() > (hex ? kMaxHexBody : kMaxJsonBody)) {
    return Answer(WebError(413, "TOO_LARGE",
                           std::string("the body is larger than ") + (hex ? "16 MiB" : "1 MiB")));
  }
  if (parts.size() < 2 || parts[1] != "buses") return NotFound(rq);
  if (parts.size() == 2) {
    if (rq.method != "GET") return MethodNotAllowed(rq);
    Json list = Json::array();
    for (const WebBus* b : buses_) list.push_back(b->Describe());
    return Answer({200, std::move(list)});
  }
  WebBus* bus = FindBus(parts[2]);
  if (bus == nullptr) {
    return Answer(WebError(404, "UNKNOWN_BUS", "no bus is named '" + parts[2] + "'"));
  }
  Route r{*bus, rq, {parts.begin() + 3, parts.end()}, ClientConnection(rq.client), 0, {}};
  if (r.rest.empty()) return NotFound(rq);
  const std::string& what = r.rest[0];
  const size_t n = r.rest.size();
  auto method = [&](const char* m, auto&& serve) -> HttpResponse {
    return rq.method == m ? serve() : MethodNotAllowed(rq);
  };
  // Streams hold a slot while they are open.
  auto slot = [this] {
    size_t open = *streams_;
    do {
      if (open >= config_.max_streams) return std::shared_ptr<void>();
    } while (!streams_->compare_exchange_weak(open, open + 1));
    return std::shared_ptr<void>(streams_.get(), [s = streams_](void*) { --*s; });
  };
  if (what == "catalogue" && n == 1) return method("GET", [&] { return Answer(Catalogue(r)); });
  if (what == "motors" && n == 1) return method("GET", [&] { return Answer(Motors(r)); });
  if (what == "scan" && n == 1) {
    return method("POST", [&] { return (r.stream_slot = slot()) ? Scan(r) : NoStreamSlot(); });
  }
  if (what == "trace" && n == 1) {
    return method("GET", [&] { return (r.stream_slot = slot()) ? Trace(r) : NoStreamSlot(); });
  }
  if (what == "plot" && n == 1) {
    return method("GET", [&] { return (r.stream_slot = slot()) ? Plot(r) : NoStreamSlot(); });
  }
  if (what == "motors" && n >= 3) {
    if (!ParseAddress(r.rest[1], r.address)) {
      return Answer(BadRequest("'" + r.rest[1] + "' is not a motor address 1..255"));
    }
    r.rest.erase(r.rest.begin(), r.rest.begin() + 2);
    if (r.rest[0] != "module") return Motor(r);
    if (r.rest.size() == 2 && r.rest[1] == "program") {
      return method("POST", [&] { return (r.stream_slot = slot()) ? Program(r) : NoStreamSlot(); });
    }
    return Module(r);
  }
  return NotFound(rq);
}

HttpResponse Answer(const ApiResult& result) {
  HttpResponse out;
  out.status = result.status;
  out.body = result.body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return out;
}

HttpResponse NoStreamSlot() {
  return Answer(WebError(503, "TOO_MANY_STREAMS",
                         "too many event streams are open; close one (another tab) and retry"));
}

ApiResult BadRequest(const std::string& message) { return WebError(400, "BAD_REQUEST", message); }

HttpResponse MethodNotAllowed(const HttpRequest& rq) {
  return Answer(WebError(405, "METHOD_NOT_ALLOWED", rq.method + " is not served at " + rq.path));
}

HttpResponse NotFound(const HttpRequest& rq) {
  return Answer(WebError(404, "NOT_FOUND", "nothing is served at " + rq.path));
}

ApiResult ReadOnlyBus() { return WebError(403, "READ_ONLY", "this bus is served read-only"); }

std::string HexBytes(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::optional<Json> BodyObject(const HttpRequest& rq, ApiResult& error) {
  Json body = Json::parse(rq.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    error = BadRequest(rq.body.empty() ? "the request needs a JSON object as its body"
                                       : "the body is not a JSON object");
    return std::nullopt;
  }
  return body;
}

}  // namespace qelgate
