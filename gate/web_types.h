// An HTTP request and its answer as the web API sees them: plain values,
// no sockets, so that every route can be tested and fuzzed.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace qelgate {

using Json = nlohmann::ordered_json;

struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct HttpRequest {
  std::string method;  // "GET"
  std::string path;    // decoded, without the query
  std::multimap<std::string, std::string> query;
  std::map<std::string, std::string, CaseLess> headers;
  std::string body;
  std::string client;  // "ADDRESS:PORT" of the connection

  // The first value of a query parameter, or empty.
  std::string Param(const std::string& key) const;
  std::string Header(const std::string& key) const;
};

// Where an event stream goes: the client's connection.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // One server-sent event; false once the client has gone.
  virtual bool Send(std::string_view event, const Json& data) = 0;
  // A comment line that keeps the connection and tells a gone client.
  virtual bool KeepAlive() = 0;
};
using EventStream = std::function<void(EventSink&)>;

struct HttpResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  EventStream stream;  // set: the answer is this event stream
};

// The answer of one API call: a status and a JSON document.
struct ApiResult {
  int status = 200;
  Json body;
};

// {"error": {"code": null, "name", "message"}} for a failure the gateway
// finds itself, without a code of the control's.
ApiResult WebError(int status, const char* name, const std::string& message);

// The HTTP answer carrying `result` as JSON.
HttpResponse Answer(const ApiResult& result);

// One server-sent event, as it goes on the wire.
std::string EventText(std::string_view event, const Json& data);

}  // namespace qelgate
