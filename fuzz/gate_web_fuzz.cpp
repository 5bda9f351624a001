// qelgate's web API: any request a client can send, answered on the virtual
// bus as the HTTP server hands it over.
//
// Input: "METHOD PATH[?QUERY]\n", header lines "Name: value\n", an empty
// line, then the body. A Bearer token is added unless the input names an
// Authorization header itself.
//
// Every answer has a status 200..599; a JSON answer parses; a failure
// carries the error object with a name and a message; streams that end on
// their own (scan, programming) end, and the watching ones are opened only.
#include <cstdint>
#include <string>
#include <string_view>

#include "bus_queue.h"
#include "bus_worker.h"
#include "check.h"
#include "trace_ring.h"
#include "web_api.h"
#include "web_bus.h"

namespace {

using namespace qelgate;

constexpr const char* kToken = "00112233445566778899aabbccddeeff";

class Sink : public EventSink {
 public:
  bool Send(std::string_view, const Json& data) override {
    FUZZ_CHECK(!data.is_discarded());
    return ++events_ < 300;
  }
  bool KeepAlive() override { return false; }

 private:
  int events_ = 0;
};

struct Gateway {
  Gateway() {
    setup.big[2] = true;
    worker.SetTrace(&trace);
    worker.Start();
  }
  LineConfig line;
  BusQueue queue{64};
  BusSetup setup;
  TraceRing trace{64};
  BusWorker worker{line, setup, queue, [](Job) {}, [](const std::string&) {}};
  WebBus bus{{"bus0", line, "127.0.0.1:1502"}, queue, setup, trace, [] { return true; }};
  WebApi api{{"127.0.0.1", 8080, kToken, 4}, {&bus}, [](std::string_view p) {
               return p == "/" ? std::optional<StaticFile>(StaticFile{"text/html", "x"})
                               : std::nullopt;
             }};
};

std::string_view Line(std::string_view& in) {
  const size_t end = in.find('\n');
  const std::string_view line = in.substr(0, end);
  in.remove_prefix(end == std::string_view::npos ? in.size() : end + 1);
  return line;
}

HttpRequest Parse(std::string_view in) {
  HttpRequest rq;
  std::string_view first = Line(in);
  const size_t space = first.find(' ');
  rq.method = std::string(first.substr(0, space));
  std::string_view target = space == std::string_view::npos ? "" : first.substr(space + 1);
  const size_t q = target.find('?');
  rq.path = std::string(target.substr(0, q));
  for (std::string_view query = q == std::string_view::npos ? "" : target.substr(q + 1);
       !query.empty();) {
    const size_t amp = query.find('&');
    const std::string_view kv = query.substr(0, amp);
    const size_t eq = kv.find('=');
    rq.query.emplace(std::string(kv.substr(0, eq)),
                     eq == std::string_view::npos ? "" : std::string(kv.substr(eq + 1)));
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
  }
  for (std::string_view h = Line(in); !h.empty(); h = Line(in)) {
    const size_t colon = h.find(": ");
    if (colon != std::string_view::npos) {
      rq.headers.emplace(std::string(h.substr(0, colon)), std::string(h.substr(colon + 2)));
    }
  }
  rq.headers.emplace("Authorization", std::string("Bearer ") + kToken);
  rq.body = std::string(in);
  rq.client = "127.0.0.1:1";
  return rq;
}

bool Watching(const std::string& path) {
  return path.ends_with("/plot") || path.ends_with("/trace");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Gateway gate;
  const HttpRequest rq = Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  const HttpResponse r = gate.api.Handle(rq);
  FUZZ_CHECK(r.status >= 200 && r.status <= 599);
  if (r.stream) {
    Sink sink;
    if (!Watching(rq.path)) r.stream(sink);
    return 0;
  }
  if (r.content_type != "application/json") return 0;
  const Json body = Json::parse(r.body, nullptr, false);
  FUZZ_CHECK(!body.is_discarded());
  if (r.status >= 400) {
    FUZZ_CHECK(body["error"]["name"].is_string());
    FUZZ_CHECK(body["error"]["message"].is_string());
  }
  return 0;
}
