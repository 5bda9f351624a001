// The routes whose answer is a series of events: a scan of the bus and the
// programming of a module.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <system_error>

#include "event_queue.h"
#include "qelcomm/catalogue.h"
#include "qelcomm/program_image.h"
#include "qelcomm/program_progress.h"
#include "web_routes.h"

namespace qelgate {
namespace {

// How often an idle stream looks whether its client or the server has gone,
// sending a keep-alive comment.
constexpr auto kKeepAlive = std::chrono::milliseconds(200);

std::string NowIso8601() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// One address, one attempt: its motor object, null when silent, or the
// error that ends the scan.
ApiResult Probe(const WebBus& bus, uint64_t connection, int address) {
  return bus.Call(connection, [&bus, address](BusLink& link) {
    auto& c = link.ctrl();
    const int16_t retries = c.Retries();
    c.SetRetries(1);
    int32_t version = 0;
    link.BeginCall();
    const bool ok = c.ReadParameter(int16_t(address), qelcomm::registers::known::kProgVersion, version);
    const uint32_t code = uint32_t(c.GetLastError());
    ApiResult out{200, nullptr};
    if (ok) {
      int16_t type = 0, firmware = 0;
      const bool module = c.GetModuleType(int16_t(address), type, firmware);
      c.GetLastError();  // a module's garbled reply only means no module to show
      out.body = {{"address", address},
                  {"table", bus.Big(address) ? "big" : "standard"},
                  {"prog_version", version},
                  {"module", module ? Json{{"type", type}, {"firmware", firmware}} : Json()}};
    } else if (code != 0 && !qelcomm::IsReplyError(code)) {
      out = bus.ErrorOf(link, code, "scanning address " + std::to_string(address));
    }
    c.SetRetries(retries);
    return out;
  });
}

bool RangeField(const Json& body, const char* key, int& out, ApiResult& error) {
  if (!body.contains(key)) return true;
  const Json& v = body[key];
  if (!v.is_number_integer() || v < 1 || v > 255) {
    error = BadRequest(std::string("\"") + key + "\" is an address 1..255");
    return false;
  }
  out = v.get<int>();
  return true;
}

// Percent of the whole job at each step: the pages are most of it.
int Percent(const qelcomm::ProgramProgress& p) {
  using Step = qelcomm::ProgramProgress::Step;
  switch (p.step) {
    case Step::kStop: return 2;
    case Step::kPage: return 5 + 80 * (p.page - 1) / p.pages;
    case Step::kWrite: return 88;
    case Step::kWaiting: return 92;
  }
  return 0;
}

const char* StepName(qelcomm::ProgramProgress::Step step) {
  using Step = qelcomm::ProgramProgress::Step;
  switch (step) {
    case Step::kStop: return "stop";
    case Step::kPage: return "page";
    case Step::kWrite: return "write";
    case Step::kWaiting: return "waiting";
  }
  return "?";
}

// Refuses, with nothing sent, a HEX text that programming would turn into
// something other than what it says.
std::optional<ApiResult> RefuseHex(const std::string& text, bool allow_outside) {
  const qelcomm::ProgramImageInspection in = qelcomm::InspectProgramImage(text);
  const std::string refused = "; nothing was sent";
  if (!in.ok()) {
    return WebError(400, "BAD_HEX",
                    "line " + std::to_string(in.error_line) + ": " + in.error + refused);
  }
  if (in.bytes_set == 0) {
    return WebError(400, "BAD_HEX",
                    "the file sets no byte of image 0x0000..0x01FF (pages 0..3): programming it "
                    "would erase the module's program" + refused);
  }
  if (!in.outside.empty() && !allow_outside) {
    return WebError(400, "BAD_HEX",
                    "the file has data outside pages 0..3 at " + qelcomm::SpanText(in.outside[0]) +
                        ", which programming does not send" + refused +
                        " (?allow_outside=1 sends bytes 0..511 anyway)");
  }
  return std::nullopt;
}

// The program goes to VemoProgram through a private file that the task
// removes when it is done.
std::string WriteTempFile(const std::string& text) {
  char name[] = "/tmp/qelgate-program-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "temporary file");
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      const int e = errno;
      close(fd);
      unlink(name);
      throw std::system_error(e, std::generic_category(), "temporary file");
    }
    done += size_t(n);
  }
  close(fd);
  return name;
}

// Sends what a queue gets until it closes or the client goes.
void Relay(EventQueue& events, EventSink& sink) {
  for (bool closed = false; !closed;) {
    const auto got = events.Take(kKeepAlive, closed);
    if (got.empty() && !closed && !sink.KeepAlive()) return;
    for (const auto& e : got) {
      if (!sink.Send(e.name, e.data)) return;
    }
  }
}

}  // namespace

HttpResponse Scan(Route& r) {
  int from = 1, to = 255;
  ApiResult error;
  if (!r.rq.body.empty()) {
    const auto body = BodyObject(r.rq, error);
    if (!body || !RangeField(*body, "from", from, error) || !RangeField(*body, "to", to, error)) {
      return Answer(error);
    }
  }
  if (from > to) return Answer(BadRequest("\"from\" is above \"to\""));
  return StreamAnswer(r.stream_slot, [&bus = r.bus, from, to](EventSink& sink) {
    const uint64_t connection = StreamConnection();
    Json motors = Json::array();
    for (int a = from; a <= to; ++a) {
      ApiResult got = Probe(bus, connection, a);
      if (got.status != 200) {
        sink.Send("error", got.body);
        return;
      }
      if (!got.body.is_null()) {
        if (!sink.Send("found", got.body)) return;
        motors.push_back(std::move(got.body));
      }
      if (!sink.Send("progress", {{"address", a}, {"done", a - from + 1}, {"total", to - from + 1}})) {
        return;
      }
    }
    Json scan = {{"scanned_at", NowIso8601()}, {"from", from}, {"to", to}, {"motors", motors}};
    bus.SetLastScan(scan);
    sink.Send("done", scan);
  });
}

HttpResponse Program(Route& r) {
  if (!r.bus.setup().writable) {
    return Answer(ReadOnlyBus());
  }
  if (auto refused = RefuseHex(r.rq.body, r.rq.Param("allow_outside") == "1")) {
    return Answer(*refused);
  }
  const std::string file = WriteTempFile(r.rq.body);
  auto events = std::make_shared<EventQueue>(64);
  // Run or dropped unrun, the task's end removes the file and ends the stream.
  std::shared_ptr<void> cleanup(nullptr, [file, events](void*) {
    unlink(file.c_str());
    events->Close();
  });
  const bool queued = r.bus.Post(StreamConnection(), [&bus = r.bus, a = r.address, file, events,
                                                      cleanup](BusLink& link) {
    const std::string what = "programming module " + std::to_string(a);
    link.BeginCall();
    try {
      const bool ok = link.ctrl().VemoProgram(int16_t(a), file, [&](const qelcomm::ProgramProgress& p) {
        events->Push("progress", {{"step", StepName(p.step)},
                                  {"page", p.step == qelcomm::ProgramProgress::Step::kPage
                                               ? Json(p.page - 1) : Json()},
                                  {"percent", Percent(p)}});
      });
      events->Push(ok ? "done" : "error",
                   ok ? Json{{"address", a}, {"percent", 100}} : bus.ModuleFailed(link, what).body);
    } catch (const std::system_error& e) {
      events->Push("error", WebError(500, "INTERNAL", what + ": " + e.what()).body);
    }
  });
  cleanup.reset();
  if (!queued) return Answer(WebError(503, "BUSY", "the bus has too many requests waiting; try again"));
  return StreamAnswer(r.stream_slot, [events](EventSink& sink) { Relay(*events, sink); });
}

}  // namespace qelgate
