// The web API on the embedded virtual bus, request by request as the HTTP
// server hands them over: its checks, its answers and its event streams.
#include <gtest/gtest.h>

#include "bus_queue.h"
#include "bus_worker.h"
#include "trace_ring.h"
#include "web_api.h"
#include "web_bus.h"

namespace qelgate {
namespace {

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

// Keeps every event; ends the stream after `limit` of them.
class Collect : public EventSink {
 public:
  explicit Collect(size_t limit = 100000) : limit_(limit) {}
  bool Send(std::string_view event, const Json& data) override {
    events.push_back({std::string(event), data});
    return events.size() < limit_;
  }
  bool KeepAlive() override { return true; }
  std::vector<std::pair<std::string, Json>> events;

 private:
  size_t limit_;
};

class WebApiTest : public ::testing::Test {
 protected:
  explicit WebApiTest(size_t queue = 64, size_t streams = kMaxStreams, bool writable = true)
      : queue_(queue), setup_(Setup(writable)), worker_(line_, setup_, queue_, [](Job) {}, [](const std::string&) {}),
        bus_({"bus0", line_, "127.0.0.1:1502"}, queue_, setup_, trace_, [this] { return worker_.Up(); }),
        api_({"127.0.0.1", 8080, kToken, streams}, {&bus_}, [](std::string_view path) {
          return path == "/" ? std::optional<StaticFile>(StaticFile{"text/html", "<p>page</p>"})
                             : std::nullopt;
        }) {
    worker_.SetTrace(&trace_);
    worker_.Start();
  }
  static BusSetup Setup(bool writable) {
    BusSetup s;
    s.big[2] = true;
    s.writable = writable;
    return s;
  }

  HttpResponse Send(const std::string& method, const std::string& path, std::string body = {},
                    std::map<std::string, std::string, CaseLess> headers = {{"Authorization", std::string("Bearer ") + kToken}}) {
    HttpRequest rq;
    rq.method = method;
    const size_t q = path.find('?');
    rq.path = path.substr(0, q);
    if (q != std::string::npos) {
      std::string rest = path.substr(q + 1);
      for (size_t at = 0; at <= rest.size();) {
        const size_t end = std::min(rest.find('&', at), rest.size());
        const std::string kv = rest.substr(at, end - at);
        const size_t eq = kv.find('=');
        rq.query.emplace(kv.substr(0, eq), eq == std::string::npos ? "" : kv.substr(eq + 1));
        at = end + 1;
      }
    }
    rq.headers = std::move(headers);
    rq.body = std::move(body);
    rq.client = "127.0.0.1:5000";
    return api_.Handle(rq);
  }
  Json Body(const HttpResponse& r) { return Json::parse(r.body); }
  std::string ErrorName(const HttpResponse& r) { return Body(r)["error"]["name"]; }
  std::vector<std::pair<std::string, Json>> Stream(const HttpResponse& r, size_t limit = 100000) {
    EXPECT_TRUE(r.stream) << r.status << " " << r.body;
    Collect sink(limit);
    if (r.stream) r.stream(sink);
    return sink.events;
  }

  LineConfig line_;  // the embedded virtual bus
  BusQueue queue_;
  BusSetup setup_;
  TraceRing trace_{256};
  BusWorker worker_;
  WebBus bus_;
  WebApi api_;
};

TEST_F(WebApiTest, TheTokenOpensTheApiAndWritesComeOnlyFromTheServersOwnPages) {
  EXPECT_EQ(Send("GET", "/api/buses", {}, {}).status, 401);
  EXPECT_EQ(Send("GET", "/api/buses", {}, {{"Authorization", "Bearer nope"}}).status, 401);
  EXPECT_EQ(Send("GET", std::string("/api/buses?token=") + kToken, {}, {}).status, 200);
  EXPECT_EQ(Send("GET", "/api/buses", {}, {{"Cookie", std::string("a=b; qelgate_token=") + kToken}}).status, 200);
  EXPECT_EQ(ErrorName(Send("GET", "/api/buses", {}, {})), "UNAUTHORIZED");

  // The page itself needs none; ?token= becomes the cookie, a wrong one is refused.
  EXPECT_EQ(Send("GET", "/", {}, {}).status, 200);
  const HttpResponse page = Send("GET", std::string("/?token=") + kToken, {}, {});
  ASSERT_EQ(page.headers.size(), 1u);
  EXPECT_EQ(page.headers[0].second, std::string("qelgate_token=") + kToken + "; HttpOnly; SameSite=Strict");
  const HttpResponse wrong = Send("GET", "/?token=wrong", {}, {});
  EXPECT_EQ(wrong.status, 401);
  EXPECT_NE(wrong.body.find("Open the address qelgate printed"), std::string::npos) << wrong.body;

  auto put = [&](const std::string& origin) {
    return Send("PUT", "/api/buses/bus0/motors/1/registers/V_SOLL", R"({"raw": 20})",
                {{"Authorization", std::string("Bearer ") + kToken}, {"Origin", origin}});
  };
  EXPECT_EQ(put("http://evil.example:8080").status, 403);
  EXPECT_EQ(put("http://127.0.0.1:9999").status, 403);
  EXPECT_EQ(put("http://localhost:8080").status, 200);
  EXPECT_EQ(put("http://127.0.0.1:8080").status, 200);
}

TEST_F(WebApiTest, BadRequestsGetTheErrorObjectAndNothingIsSent) {
  const std::string v = "/api/buses/bus0/motors/1/registers/V_SOLL";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {v, "{\"raw\": "}, {v, "[1]"}, {v, R"({"raw": "12"})"}, {v, R"({"raw": 1.5})"},
      {v, R"({"raw": 1, "value": 1})"}, {v, R"({"value": 1e30})"}, {v, R"({"raw": 99999999999999999999})"},
      {v, R"({"raw": 1, "force": "yes"})"},
      {"/api/buses/bus0/motors/1/registers/NO_SUCH", R"({"raw": 1})"},
      {"/api/buses/bus0/motors/0/registers/V_SOLL", R"({"raw": 1})"},
      {"/api/buses/bus0/motors/x1/registers/V_SOLL", R"({"raw": 1})"},
      {"/api/buses/bus0/motors/1/module/step", R"({"min": -1, "max": 3})"}};
  for (const auto& [path, body] : bad) {
    const HttpResponse r = Send(path.find("step") != std::string::npos ? "POST" : "PUT", path, body);
    EXPECT_EQ(r.status, 400) << path << " " << body;
    EXPECT_TRUE(Body(r)["error"].contains("message")) << r.body;
  }
  EXPECT_EQ(Send("PUT", v, std::string(kMaxJsonBody + 1, ' ')).status, 413);
  EXPECT_EQ(Send("GET", "/api/buses/nobus/motors").status, 404);
  EXPECT_EQ(Send("DELETE", "/api/buses/bus0/motors").status, 405);
  EXPECT_EQ(Send("GET", "/api/buses/bus0/plot?signals=1:P_IST&period_ms=10001").status, 400);
  EXPECT_EQ(Send("GET", "/api/buses/bus0/plot?signals=1:P_IST,1:P_IST,1:P_IST,1:P_IST,1:P_IST,1:P_IST,1:P_IST,1:P_IST,1:P_IST").status, 400);
  // Identity and read-only registers need "force".
  const HttpResponse guarded = Send("PUT", "/api/buses/bus0/motors/1/registers/ADDRESS", R"({"raw": 1})");
  EXPECT_EQ(guarded.status, 403);
  EXPECT_EQ(ErrorName(guarded), "PROTECTED_REGISTER");
  EXPECT_TRUE(bus_.trace().After(0, std::chrono::milliseconds(0)).empty()) << "nothing went on the line";
}

TEST_F(WebApiTest, AWriteAnswersWithTheValueReadBackAndAFailureWithTheDiagnosis) {
  const HttpResponse w = Send("PUT", "/api/buses/bus0/motors/1/registers/5", R"({"value": 100})");
  ASSERT_EQ(w.status, 200) << w.body;
  const Json back = Body(w);
  EXPECT_EQ(back["name"], "V_SOLL");
  EXPECT_EQ(back["raw"], 210);  // 100 / 0.4768... rounded
  EXPECT_DOUBLE_EQ(back["value"].get<double>(), 210 * 0.476806640625);
  EXPECT_EQ(Body(Send("GET", "/api/buses/bus0/motors/1/registers/v_soll"))["raw"], 210);

  const HttpResponse silent = Send("GET", "/api/buses/bus0/motors/9/status");
  EXPECT_EQ(silent.status, 502);
  const Json e = Body(silent)["error"];
  EXPECT_EQ(e["name"], "ERR_ANSWER_LENGTH");
  EXPECT_EQ(e["code"], 0x20000003);
  EXPECT_NE(e["diagnosis"].get<std::string>().find("no reply"), std::string::npos) << e;
  EXPECT_EQ(ErrorName(Send("GET", "/api/buses/bus0/motors/9/module")), "NO_ANSWER");

  // The whole table of a big motor, each register with its value.
  const Json table = Body(Send("GET", "/api/buses/bus0/motors/2/registers"));
  ASSERT_GT(table.size(), 20u);
  EXPECT_TRUE(table[0].contains("raw")) << table[0];
}

TEST_F(WebApiTest, AScanStreamsItsProgressAndBecomesTheLastScan) {
  EXPECT_TRUE(Body(Send("GET", "/api/buses/bus0/motors"))["scanned_at"].is_null());
  const auto events = Stream(Send("POST", "/api/buses/bus0/scan", R"({"from": 1, "to": 3})"));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().first, "done");
  size_t progress = 0, found = 0;
  for (const auto& [name, data] : events) {
    progress += name == "progress";
    found += name == "found";
  }
  EXPECT_EQ(progress, 3u);
  EXPECT_EQ(found, 2u);
  const Json motors = Body(Send("GET", "/api/buses/bus0/motors"));
  EXPECT_EQ(motors["motors"][1]["table"], "big");
  EXPECT_EQ(motors["motors"][0]["module"]["type"], 3);
  EXPECT_EQ(Send("POST", "/api/buses/bus0/scan", R"({"from": 5, "to": 3})").status, 400);
}

TEST_F(WebApiTest, ProgrammingFollowsTheStepsAndRefusesBadHexFirst) {
  const std::string program = "/api/buses/bus0/motors/1/module/program";
  EXPECT_EQ(ErrorName(Send("POST", program, ":0400000001020304F3\n")), "BAD_HEX");
  EXPECT_EQ(ErrorName(Send("POST", program, ":04100000AABBCCDDEE\n:00000001FF\n")), "BAD_HEX");  // outside
  const auto events = Stream(Send("POST", program, ":0400000001020304F2\n:00000001FF\n"));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().first, "done") << events.back().second;
  int pages = 0, last = -1;
  for (const auto& [name, data] : events) {
    if (name != "progress") continue;
    pages += data["step"] == "page";
    EXPECT_GT(data["percent"].get<int>(), last);
    last = data["percent"];
  }
  EXPECT_EQ(pages, 4);
  const Json read = Body(Send("GET", "/api/buses/bus0/motors/1/module/pages"));
  EXPECT_EQ(read["pages"][0].get<std::string>().substr(0, 10), "01020304ff");
  EXPECT_EQ(Send("POST", "/api/buses/bus0/motors/1/module/outputs", R"({"outputs": 5, "mask": 15})").status, 200);
  EXPECT_EQ(Body(Send("GET", "/api/buses/bus0/motors/1/module/debug"))["outputs"], 5);
}

TEST_F(WebApiTest, APlotSamplesItsSignalsAndTheTraceShowsTheirTelegrams) {
  const auto events =
      Stream(Send("GET", "/api/buses/bus0/plot?period_ms=0&signals=1:P_IST,2:V_IST"), 6);
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0].second["signals"][1]["number"], 12);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i].first, "sample");
    EXPECT_EQ(events[i].second["values"].size(), 2u);
  }
  EXPECT_EQ(api_.open_streams(), 0u) << "the stream's slot is given back";
  const auto trace = Stream(Send("GET", "/api/buses/bus0/trace"), 4);
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0].second["dir"], "tx");
  EXPECT_NE(trace[0].second["text"].get<std::string>().find("read motor"), std::string::npos);
}

// The line delivers a reply in pieces; the trace shows it as one telegram.
TEST(TraceRing, JoinsAReplyReadInPiecesAndKeepsACutOffOneAtTheCallsEnd) {
  using Dir = qelcomm::TraceEvent::Direction;
  const std::vector<uint8_t> request = {0x50, 0x50, 0x50, 0x01, 0xFE, 0x02, 0xFD, 0xAA, 0xAA};
  const std::vector<uint8_t> reply = {0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x02,
                                      0xFD, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA};
  TraceRing ring(16);
  ring.Add({Dir::Sent, 0, request.data(), request.size()});
  for (size_t at = 0; at < reply.size(); at += 5) {
    ring.Add({Dir::Received, 0, reply.data() + at, std::min<size_t>(5, reply.size() - at)});
  }
  ring.Add({Dir::Sent, 0, request.data(), request.size()});
  ring.Add({Dir::Received, 0, reply.data(), 7});
  ring.EndCall();
  const std::vector<TraceEntry> got = ring.After(0, std::chrono::milliseconds(0));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].bytes, reply);
  EXPECT_EQ(got[1].address, 1);
  EXPECT_EQ(got[1].text, "reply: register MODE_REG (2) = 2");
  EXPECT_EQ(got[3].text, "(reply incomplete, 7 bytes so far)");
}

TEST_F(WebApiTest, ADumpRestoredShowsItsDifferencesFirstAndIsReadBack) {
  const std::string motor = "/api/buses/bus0/motors/1";
  Json dump = Body(Send("GET", motor + "/dump"));
  ASSERT_TRUE(dump.contains("registers")) << dump;
  ASSERT_EQ(Send("PUT", motor + "/registers/V_SOLL", R"({"raw": 33})").status, 200);

  const HttpResponse dry = Send("POST", motor + "/restore?dry_run=1", dump.dump());
  ASSERT_EQ(dry.status, 200) << dry.body;
  const Json plan = Body(dry);
  ASSERT_EQ(plan["writes"].size(), 1u) << plan;
  EXPECT_EQ(plan["writes"][0]["name"], "V_SOLL");
  EXPECT_EQ(plan["writes"][0]["from"], 33);
  EXPECT_FALSE(plan["verified"]);
  EXPECT_EQ(Body(Send("GET", motor + "/registers/V_SOLL"))["raw"], 33) << "a dry run writes nothing";

  const Json done = Body(Send("POST", motor + "/restore?flash=1", dump.dump()));
  EXPECT_TRUE(done["verified"]) << done;
  EXPECT_TRUE(done["flashed"]);
  EXPECT_EQ(Body(Send("GET", motor + "/registers/V_SOLL"))["raw"], plan["writes"][0]["to"]);

  EXPECT_EQ(ErrorName(Send("POST", motor + "/restore", "{\"registers\": 5}")), "BAD_PARAMETER_SET");
  EXPECT_EQ(ErrorName(Send("POST", "/api/buses/bus0/motors/2/restore", dump.dump())),
            "BAD_PARAMETER_SET") << "a standard motor's set is refused for a big one";
}

class NoRoomTest : public WebApiTest {
 protected:
  NoRoomTest() : WebApiTest(0, 0, false) {}
};

TEST_F(NoRoomTest, AFullQueueAndTooManyStreamsAnswer503AndAReadOnlyBus403) {
  EXPECT_EQ(ErrorName(Send("GET", "/api/buses/bus0/motors/1/status")), "BUSY");
  EXPECT_EQ(ErrorName(Send("GET", "/api/buses/bus0/trace")), "TOO_MANY_STREAMS");
  EXPECT_EQ(Send("GET", "/api/buses").status, 200) << "what needs no bus still answers";
  EXPECT_EQ(ErrorName(Send("POST", "/api/buses/bus0/motors/1/reset")), "READ_ONLY");
}

}  // namespace
}  // namespace qelgate
