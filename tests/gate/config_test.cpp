// qelgate's bus file: what it sets, and the errors that refuse it at start.
#include <gtest/gtest.h>

#include "config.h"

namespace qelgate {
namespace {

TEST(GateConfig, TwoBusesWithTheirOwnSettings) {
  const auto buses = ParseConfig(R"(buses:
  - name: press
    port: rfc2217://10.0.0.5:4001
    baud: 115200
    retries: 3
    echo: true
    big: [2, 7]
    factors: [0.5, 0, 2]
    listen: 0.0.0.0:1502
    writable: false
    max-connections: 4
    idle-timeout: 10
    queue: 8
  - name: demo
    listen: 127.0.0.1:1503
)",
                                 "test.yaml");
  ASSERT_EQ(buses.size(), 2u);
  const GateOptions& p = buses[0].options;
  EXPECT_EQ(buses[0].name, "press");
  EXPECT_EQ(p.line.port, "rfc2217://10.0.0.5:4001");
  EXPECT_EQ(p.line.baud, 115200);
  EXPECT_EQ(p.line.retries, 3);
  EXPECT_TRUE(p.line.echo);
  EXPECT_TRUE(p.setup.big[2] && p.setup.big[7] && !p.setup.big[1]);
  EXPECT_EQ(p.setup.standard.position, 0.5);
  EXPECT_EQ(p.setup.standard.acceleration,
            qelcomm::registers::ExactFactorsOf(qelcomm::registers::kStandardFactors).acceleration);
  EXPECT_EQ(p.front.host, "0.0.0.0");
  EXPECT_FALSE(p.setup.writable);
  EXPECT_EQ(p.front.max_connections, 4u);
  EXPECT_EQ(p.front.idle_timeout, std::chrono::seconds(10));
  EXPECT_EQ(p.queue_limit, 8u);
  const GateOptions& d = buses[1].options;
  EXPECT_TRUE(d.line.port.empty());  // the virtual bus, its big motor marked
  EXPECT_TRUE(d.setup.big[2]);
  EXPECT_EQ(d.front.port, 1503);
  EXPECT_TRUE(d.setup.writable);
}

std::string Refusal(const std::string& text) {
  try {
    ParseConfig(text, "f.yaml");
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "accepted";
}

TEST(GateConfig, TheWebAddressOfTheFileServesTheBusesWithoutTheirOwn) {
  const auto buses = ParseConfig(R"(buses:
  - name: a
    listen: 127.0.0.1:1502
  - name: b
    listen: 127.0.0.1:1503
    http: 127.0.0.1:8081
http: 127.0.0.1:8080
)",
                                 "test.yaml");
  EXPECT_EQ(buses[0].options.http.Text(), "127.0.0.1:8080");
  EXPECT_EQ(buses[1].options.http.Text(), "127.0.0.1:8081");
  EXPECT_EQ(ParseConfig("buses:\n  - name: a\n", "t.yaml")[0].options.http.port, 0) << "none asked";
  EXPECT_EQ(Refusal("buses:\n  - name: a\nhttp: 8080\n"), "f.yaml:3: key 'http': '8080' is not HOST:PORT");
}

TEST(GateConfig, AnErrorNamesTheLineAndTheKey) {
  EXPECT_EQ(Refusal("buses:\n  - name: a\n    baud: fast\n"), "f.yaml:3: key 'baud': not a whole number");
  EXPECT_EQ(Refusal("buses:\n  - name: a\n    bawd: 9600\n"), "f.yaml:3: key 'bawd': unknown key");
  EXPECT_EQ(Refusal("buses:\n  - name: a\n    listen: nowhere\n"),
            "f.yaml:3: key 'listen': 'nowhere' is not HOST:PORT");
  EXPECT_EQ(Refusal("buses:\n  - name: a\n    big: [0]\n"),
            "f.yaml:3: key 'big': 0 is outside 1..255");
  EXPECT_EQ(Refusal("buses:\n  - name: a\n    factors: [1, .nan, 1]\n"),
            "f.yaml:3: key 'factors': not a finite number");
  EXPECT_EQ(Refusal("buses:\n  - baud: 9600\n"), "f.yaml:2: key 'name': missing");
  EXPECT_EQ(Refusal("buses:\n  - name: a\n  - name: b\n"),
            "f.yaml:3: key 'listen': 127.0.0.1:1502 is taken by another bus");
  EXPECT_EQ(Refusal("busses: []\n"), "f.yaml:1: key 'busses': unknown key");
  EXPECT_EQ(Refusal("buses: [\n"), "f.yaml:2: end of sequence flow not found");
}

}  // namespace
}  // namespace qelgate
