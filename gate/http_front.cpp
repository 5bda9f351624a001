#include "http_front.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace qelgate {
namespace {

// Threads beyond the open streams' that answer plain requests, so that
// streams never keep a request waiting.
constexpr size_t kPlainThreads = 16;
// cpp-httplib parses a body of this type, and bounds it to 8 KiB.
constexpr const char* kForm = "application/x-www-form-urlencoded";

// A stream ends when its client goes or the server stops.
class ChunkSink : public EventSink {
 public:
  ChunkSink(httplib::DataSink& sink, const std::atomic<bool>& stopping)
      : sink_(sink), stopping_(stopping) {}
  bool Send(std::string_view event, const Json& data) override {
    return Write(EventText(event, data));
  }
  bool KeepAlive() override { return Write(": keep-alive\n\n"); }

 private:
  bool Write(const std::string& text) {
    return !stopping_ && sink_.is_writable() && sink_.write(text.data(), text.size());
  }
  httplib::DataSink& sink_;
  const std::atomic<bool>& stopping_;
};

HttpRequest Plain(const httplib::Request& in) {
  HttpRequest out;
  out.method = in.method;
  out.path = in.path;
  // The URL's query only: cpp-httplib also adds the fields of a form body.
  httplib::Params query;
  if (const size_t q = in.target.find('?'); q != std::string::npos) {
    httplib::detail::parse_query_text(in.target.substr(q + 1), query);
  }
  for (const auto& [k, v] : query) out.query.emplace(k, v);
  for (const auto& [k, v] : in.headers) out.headers.emplace(k, v);
  out.body = in.body;
  out.client = in.remote_addr + ":" + std::to_string(in.remote_port);
  return out;
}

void Respond(const HttpResponse& answer, httplib::Response& res, const std::atomic<bool>& stopping) {
  res.status = answer.status;
  for (const auto& [k, v] : answer.headers) res.set_header(k, v);
  if (!answer.stream) {
    res.set_content(answer.body, answer.content_type);
    return;
  }
  res.set_chunked_content_provider(answer.content_type,
                                   [stream = answer.stream, &stopping](size_t,
                                                                       httplib::DataSink& sink) {
                                     ChunkSink events(sink, stopping);
                                     stream(events);
                                     sink.done();
                                     return true;
                                   });
}

}  // namespace

HttpFront::HttpFront(const HttpConfig& config, WebApi& api)
    : config_(config), api_(api), server_(std::make_unique<httplib::Server>()) {
  const size_t threads = config_.max_streams + kPlainThreads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // The largest body any route takes (a HEX file); routes bound their own.
  server_->set_payload_max_length(kMaxHexBody + 1);
  server_->set_read_timeout(10, 0);
  server_->set_keep_alive_timeout(2);
  // Answers go out at once: headers and body are separate writes, which
  // Nagle's algorithm would hold for the client's delayed acknowledgement.
  // Accepted sockets take the option from the listening one.
  server_->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    Respond(api_.Handle(Plain(req)), res, stopping_);
  };
  for (const char* pattern : {".*"}) {
    server_->Get(pattern, handle);
    server_->Post(pattern, handle);
    server_->Put(pattern, handle);
    server_->Delete(pattern, handle);
    server_->Patch(pattern, handle);
    server_->Options(pattern, handle);
  }
  // Failures the server finds itself (a body beyond every limit) get the
  // error object too.
  server_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const bool form = req.get_header_value("Content-Type").rfind(kForm, 0) == 0;
    const std::string message =
        res.status != 413 ? "the server refused the request"
        : form ? "the server takes at most 8 KiB as a form (" + std::string(kForm) +
                     "); send the file as text/plain or application/octet-stream"
               : "the body is larger than 16 MiB";
    res.set_content(
        Answer(WebError(res.status, res.status == 413 ? "TOO_LARGE" : "HTTP_ERROR", message)).body,
        "application/json");
  });
}

HttpFront::~HttpFront() { Stop(); }

bool HttpFront::Listen(std::string& error) {
  if (!server_->bind_to_port(config_.host, config_.port)) {
    error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port) + ": " +
            std::strerror(errno);
    return false;
  }
  return true;
}

void HttpFront::Run() { server_->listen_after_bind(); }

void HttpFront::Stop() {
  stopping_ = true;
  server_->stop();
}

}  // namespace qelgate
