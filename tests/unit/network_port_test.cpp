// The Telnet/COM-PORT codec and the network device, against an in-memory
// server on a virtual clock.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "platform/net/network_port.h"
#include "platform/net/telnet_codec.h"
#include "qelcomm/errors.h"

namespace qelcomm::net {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

constexpr OsError kTimedOut = 110, kUnsupported = 93, kReset = 104;

// A server that answers what the client sends through `react` and delivers
// its bytes at set virtual times.
class FakeServer : public StreamSocket {
 public:
  std::function<void(const Bytes&)> react = [](const Bytes&) {};
  Bytes sent;
  uint64_t now = 0;
  uint64_t closes_at = UINT64_MAX;
  uint64_t* now_at_close = nullptr;  // where a device that owns us leaves the clock
  ~FakeServer() override {
    if (now_at_close != nullptr) *now_at_close = now;
  }

  void Deliver(Bytes bytes, uint64_t delay_ms = 0) { inbox_.push_back({now + delay_ms, bytes}); }

  OsError Send(const uint8_t* buf, size_t n, uint32_t) override {
    sent.insert(sent.end(), buf, buf + n);
    react(Bytes(buf, buf + n));
    return 0;
  }
  size_t Receive(uint8_t* buf, size_t n, OsError& error) override {
    if (!inbox_.empty() && inbox_.front().first <= now) {
      Bytes& b = inbox_.front().second;
      const size_t got = std::min(n, b.size());
      std::copy_n(b.begin(), got, buf);
      b.erase(b.begin(), b.begin() + std::ptrdiff_t(got));
      if (b.empty()) inbox_.pop_front();
      return got;
    }
    if (now >= closes_at) error = kReset;
    return 0;
  }
  void WaitReadable(uint32_t timeout_ms) override {
    uint64_t next = std::min(now + timeout_ms, closes_at);
    if (!inbox_.empty()) next = std::min(next, inbox_.front().first);
    now = std::max(now, next);
  }
  uint64_t NowMs() override { return now; }
  OsError TimedOutError() const override { return kTimedOut; }
  OsError UnsupportedError() const override { return kUnsupported; }

 private:
  std::deque<std::pair<uint64_t, Bytes>> inbox_;
};

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(TelnetCodec, ControlNeverReachesTheDataHoweverTheStreamIsCut) {
  const Bytes stream = {
      0x01, kIac, kIac, 0x02,                                  // an escaped data 0xFF
      kIac, kDo, kComPort, kIac, kWill, kEcho, 0x03,           // accepted; echo refused
      kIac, kDo, 24,                                           // terminal type: refused
      kIac, kSb, kComPort, 101, 0, 0, 0xE1, 0, kIac, kSe,      // baud ack 57600
      kIac, kSb, kComPort, 107, kIac, kIac, kIac, kSe,         // a notification with 0xFF
      kIac, 241, 0x04,                                         // NOP
      kIac, kSb, 24, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, kIac, kSe,
      kIac, kIac};
  const Bytes want_data = {0x01, 0xFF, 0x02, 0x03, 0x04, 0xFF};
  const Bytes want_reply = {kIac, kDont, kEcho, kIac, kWont, 24};

  // Every cut into three pieces, the empty ones included.
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      TelnetClient codec;
      Bytes data, reply;
      codec.Feed(stream.data(), i, data, reply);
      codec.Feed(stream.data() + i, j - i, data, reply);
      codec.Feed(stream.data() + j, stream.size() - j, data, reply);
      ASSERT_EQ(data, want_data) << "cut at " << i << ", " << j;
      ASSERT_EQ(reply, want_reply) << "cut at " << i << ", " << j;
      ASSERT_EQ(codec.com_port(), ComPortState::kAccepted);
      ASSERT_EQ(codec.baud_reply(), 57600u);
    }
  }
}

// A server that takes the option and confirms any rate it is asked for.
void Accept(FakeServer& server) {
  server.react = [&server](const Bytes& b) {
    if (Contains(b, {kIac, kWill, kComPort})) server.Deliver({kIac, kDo, kComPort});
    if (b.size() >= 8 && b[0] == kIac && b[2] == kComPort && b[3] == comport::kSetBaudRate)
      server.Deliver({kIac, kSb, kComPort, 101, b[4], b[5], b[6], b[7], kIac, kSe}, 5);
    if (b == ComPortCommand(comport::kPurgeData, {comport::kPurgeServerReceive}))
      server.Deliver({0x42, kIac, kSb, kComPort, 112, 1, kIac, kSe}, 2);  // a stale byte first
  };
}

TEST(NetworkDevice, OpenFailsClearlyWhenTheServerRefusesOrIgnoresTheOption) {
  for (const bool refuses : {true, false}) {
    auto server = std::make_unique<FakeServer>();
    FakeServer& s = *server;
    uint64_t took = 0;
    s.now_at_close = &took;
    if (refuses) s.react = [&s](const Bytes&) { s.Deliver({kIac, kDont, kComPort}, 3); };
    OsError error = 0;
    EXPECT_EQ(OpenOverStream(std::move(server), Scheme::kRfc2217, error), nullptr);
    EXPECT_EQ(error, refuses ? kUnsupported : kTimedOut);
    EXPECT_EQ(took, refuses ? 3u : 1000u);
  }
}

TEST(NetworkDevice, Rfc2217SetsTheLineAndKeepsTelegramBytesExact) {
  auto server = std::make_unique<FakeServer>();
  FakeServer& s = *server;
  Accept(s);
  OsError error = 0;
  auto device = OpenOverStream(std::move(server), Scheme::kRfc2217, error);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Configure({57600}), 0u);
  EXPECT_TRUE(Contains(s.sent, {kIac, kSb, kComPort, comport::kSetBaudRate, 0, 0, 0xE1, 0, kIac, kSe}));

  s.sent.clear();
  const Bytes telegram = {0x12, 0xFF, 0x00, 0xED};
  EXPECT_EQ(device->Write(telegram.data(), telegram.size()), telegram.size());
  EXPECT_EQ(s.sent, (Bytes{0x12, 0xFF, 0xFF, 0x00, 0xED}));

  s.Deliver({0x11, kIac, kIac, kIac, kSb, kComPort, 106, 0x30, kIac, kSe, 0x00}, 20);
  uint8_t got[8] = {};
  EXPECT_EQ(device->WaitForBytes(3, 100), 3u);
  EXPECT_EQ(device->Read(got, sizeof got), 3u);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x11, 0xFF, 0x00}));

  // The purge is confirmed before the next telegram can go out, and what
  // came before the confirmation is dropped with it.
  s.sent.clear();
  const uint64_t before = s.now;
  device->Discard();
  EXPECT_EQ(s.sent, ComPortCommand(comport::kPurgeData, {comport::kPurgeServerReceive}));
  EXPECT_EQ(s.now - before, 2u);
  EXPECT_EQ(device->Counts().rx, 0u);
  // A server that never confirms costs one wait, and is not asked again.
  s.react = [](const Bytes&) {};
  device->Discard();
  s.sent.clear();
  device->Discard();
  EXPECT_TRUE(s.sent.empty());

  // A server that sets another rate has refused ours.
  s.react = [&s](const Bytes&) { s.Deliver({kIac, kSb, kComPort, 101, 0, 0, 0x25, 0x80, kIac, kSe}); };
  EXPECT_EQ(device->Configure({12345}), OsError(ERR_OS_INVALID_PARAMETER));
}

TEST(NetworkDevice, RawStreamPassesBytesAndADropEndsTheWaitAtOnce) {
  auto server = std::make_unique<FakeServer>();
  FakeServer& s = *server;
  OsError error = 0;
  auto device = OpenOverStream(std::move(server), Scheme::kTcp, error);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Configure({57600}), 0u);
  const Bytes telegram = {0xFF, 0x00};
  EXPECT_EQ(device->Write(telegram.data(), telegram.size()), 2u);
  EXPECT_EQ(s.sent, telegram);  // no negotiation, no escaping

  s.closes_at = s.now + 40;
  EXPECT_EQ(device->WaitForBytes(19, 100), 0u);
  EXPECT_EQ(s.now, 40u);
  EXPECT_EQ(device->LostError(), kReset);
  EXPECT_EQ(device->Write(telegram.data(), telegram.size()), 0u);
}

TEST(PortUrl, TakesTheTwoSchemesAndRefusesMalformedNames) {
  const auto a = ParsePortUrl("RFC2217://[::1]:4001/");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->scheme, Scheme::kRfc2217);
  EXPECT_EQ(a->host, "::1");
  EXPECT_EQ(a->port, 4001);
  const auto b = ParsePortUrl("tcp://motors.plant:65535");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->host, "motors.plant");
  for (const char* bad : {"tcp://host", "tcp://:80", "tcp://host:0", "tcp://host:65536",
                          "tcp://host:80x", "tcp://host:", "rfc2217://[::1]4001", "tcp://a:b:80"})
    EXPECT_FALSE(ParsePortUrl(bad)) << bad;
  EXPECT_TRUE(IsNetworkPortName("tcp://host"));  // malformed, but never a device path
  EXPECT_FALSE(IsNetworkPortName("/dev/ttyUSB0"));
}

}  // namespace
}  // namespace qelcomm::net
