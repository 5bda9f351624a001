// Module identification, control, debug, pages, the write command and the
// Qup commands on the virtual line, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

uint32_t LastError(CQelCommCtrl& c) { return static_cast<uint32_t>(c.GetLastError()); }

// A framed module reply: sync x3, then each field with its complement, end sync.
Bytes Framed(uint8_t sync, std::initializer_list<uint8_t> fields) {
  Bytes r{sync, sync, sync};
  for (uint8_t f : fields) r.insert(r.end(), {f, uint8_t(~f)});
  r.insert(r.end(), {0xAA, 0xAA});
  return r;
}
const Bytes kIdentify3v17 = Framed(0x5F, {0x00, 0x01, 0x03, 0x11});
const Bytes kModuleAccept{0x22, 0x22, 0x22};

Bytes PageReply(uint8_t page, uint8_t fill) {
  Bytes r{0x31, 0x31, 0x31, 0x00, 0xFF, page, uint8_t(~page)};
  for (int i = 0; i < 128; ++i) r.insert(r.end(), {uint8_t(fill + i), uint8_t(~(fill + i))});
  r.insert(r.end(), {0xAA, 0xAA});
  return r;
}

Bytes QupReply(std::array<uint8_t, 8> data) {
  Bytes r{0x61, 0x61, 0x61, 0x00, 0xFF, 0x08, 0xF7};
  for (uint8_t d : data) r.insert(r.end(), {d, uint8_t(~d)});
  r.insert(r.end(), {0xAA, 0xAA});
  return r;
}

TEST(GetModuleType, RequestAndReplyChecks) {
  VirtualBench b;
  int16_t type = -1, fw = -1;
  b.peer->Reply({0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0x12, 0x34, 0x03, 0xFC, 0x11, 0xEE, 0xAA, 0xAA});
  EXPECT_TRUE(b.ctrl.GetModuleType(5, type, fw));
  EXPECT_EQ(b.LastSent(), (Bytes{0x5F, 0x5F, 0x5F, 0x05, 0xFA, 0xAA, 0xAA}));
  EXPECT_EQ(type, 3);
  EXPECT_EQ(fw, 17);

  // Every check runs and the last failing one's code stays; the type is
  // written before its complement is tested. A judged reply is not re-sent.
  b.peer->Reply({0x5E, 0x5F, 0x5F, 0x00, 0xFF, 0, 0, 0x80, 0x00, 0x11, 0xEE, 0xAA, 0xAA});
  EXPECT_FALSE(b.ctrl.GetModuleType(5, type, fw));
  EXPECT_EQ(type, 0x80);
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);
  EXPECT_EQ(b.Sent(), 2u);
  b.peer->Reply({0x5F, 0x5F, 0x5F, 0x00, 0xFE, 0, 0, 0x80, 0x7F, 0x11, 0xEE, 0xAA, 0xAA});
  EXPECT_FALSE(b.ctrl.GetModuleType(5, type, fw));
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION) << "byte 4 is an inversion, not an address";

  // Firmware 0xAA after complement 0xAA reads as the end sync: a short
  // reply that passes, with the firmware unwritten.
  fw = -1;
  b.peer->Reply({0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0, 0, 0x55, 0xAA, 0xAA, 0x55, 0xAA, 0xAA});
  EXPECT_TRUE(b.ctrl.GetModuleType(5, type, fw));
  EXPECT_EQ(type, 0x55);
  EXPECT_EQ(fw, -1);
}

TEST(GetModuleType, SilenceLeavesNoCodeAndFloodsEndTheCall) {
  VirtualBench b;
  int16_t type = 0, fw = 0;
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.GetModuleType(1, type, fw));
  EXPECT_EQ(b.Sent(), 5u);
  EXPECT_EQ(b.line.written[1].at_us - b.line.written[0].at_us, 100'000u);
  EXPECT_EQ(b.NowMs() - start, 500u);
  EXPECT_EQ(LastError(b.ctrl), 0u);

  b.ctrl.SetRetries(0);
  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.GetModuleType(1, type, fw));
  EXPECT_EQ(b.Sent(), 1u);

  // More than the 100-byte buffer without an end sync is a failed reply.
  b.ctrl.SetRetries(5);
  b.line.written.clear();
  b.peer->Reply(Bytes(150, 0x55));
  EXPECT_FALSE(b.ctrl.GetModuleType(1, type, fw));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
  EXPECT_EQ(b.Sent(), 1u);
}

// Replies the end-sync scan still takes: each judged once, by the bytes
// it holds, with the offsets wherever they fall.
TEST(GetModuleType, ShortWritesShortRepliesAndNoiseAreJudgedAsTheyCome) {
  const struct {
    const char* what;
    size_t short_writes;
    Bytes reply;
    bool ok;
    uint32_t code;
    int16_t type, fw;  // -1: left alone
  } cases[] = {
      {"short write, valid reply", 1, kIdentify3v17, true, ERR_WRITE_SHORT, 3, 17},
      {"only the end sync", 0, {0xAA, 0xAA}, true, 0, -1, -1},
      {"byte 3 not 0", 0, {0x5F, 0x5F, 0x5F, 0x01, 0xFF, 1, 0xFE, 3, 0xFC, 0x11, 0xEE, 0xAA, 0xAA},
       false, ERR_ADDRESS_MISMATCH, 3, 17},
      // Two bytes of noise shift every field: the type and firmware read
      // from the fields before them.
      {"noise ahead", 0, [] { Bytes r = kIdentify3v17; r.insert(r.begin(), {0x01, 0x02}); return r; }(),
       false, ERR_INVERSION, 1, 3},
  };
  for (const auto& c : cases) {
    VirtualBench b;
    int16_t type = -1, fw = -1;
    b.line.short_writes = c.short_writes;
    b.peer->Reply(c.reply);
    EXPECT_EQ(b.ctrl.GetModuleType(1, type, fw), c.ok) << c.what;
    EXPECT_EQ(LastError(b.ctrl), c.code) << c.what;
    EXPECT_EQ(std::tie(type, fw), std::tie(c.type, c.fw)) << c.what;
    EXPECT_EQ(b.Sent(), 1u) << c.what;
  }
}

TEST(ModuleControl, StopAndResetConventions) {
  VirtualBench closed(false);
  EXPECT_FALSE(closed.ctrl.VemoStop(1));
  EXPECT_EQ(LastError(closed.ctrl), ERR_WRITE_SHORT) << "no open test";
  EXPECT_FALSE(closed.ctrl.VemoReset(1));
  EXPECT_EQ(LastError(closed.ctrl), ERR_PORT_NOT_OPEN);

  VirtualBench b;
  EXPECT_TRUE(b.ctrl.VemoReset(4));
  EXPECT_EQ(b.LastSent(), (Bytes{0x33, 0x33, 0x33, 0x04, 0xFB, 0xAA, 0xAA}));
  // Noise ahead of the acceptance is waited past within the window.
  b.peer->ReplyInPieces({{2000, {0x01, 0x02, 0x03}}, {3000, kModuleAccept}});
  EXPECT_TRUE(b.ctrl.VemoStop(1));
  EXPECT_EQ(b.LastSent(), (Bytes{0x32, 0x32, 0x32, 0x01, 0xFE, 0xAA, 0xAA}));
  EXPECT_EQ(b.Sent(), 2u);
  EXPECT_EQ(LastError(b.ctrl), ERR_BAD_ACCEPT);
  // The last error is not cleared: an earlier call's code survives a stop.
  int32_t unused = 0;
  b.ctrl.ReadParameter(1, 2, unused);
  b.peer->Reply(kModuleAccept);
  EXPECT_TRUE(b.ctrl.VemoStop(1));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);

  // A page still on its way keeps the window open for a second wait: an
  // acceptance 180 ms after the send is taken without sending again.
  b.line.written.clear();
  b.peer->Reply(kModuleAccept, 180);
  EXPECT_TRUE(b.ctrl.VemoStop(1));
  EXPECT_EQ(b.Sent(), 1u);

  // A silent module: Retries sends, each window one or two accept waits.
  b.line.written.clear();
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.VemoStop(1));
  EXPECT_EQ(b.Sent(), 5u);
  EXPECT_GE(b.NowMs() - start, 500u);
  EXPECT_LE(b.NowMs() - start, 1000u);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
}

TEST(ModuleControl, ResetWaitProbesTheProbeAddress) {
  VirtualBench b;
  b.ctrl.SetRetries(2);
  b.peer->Silence().Silence(4).Reply(kIdentify3v17);  // reset, 2 silent probes, then an answer
  EXPECT_TRUE(b.ctrl.VemoResetWait(7));
  EXPECT_EQ(b.line.written[0].bytes[3], 7);
  EXPECT_EQ(b.LastSent(), (Bytes{0x5F, 0x5F, 0x5F, 0xFF, 0x00, 0xAA, 0xAA}));
  EXPECT_EQ(b.Sent(), 6u);

  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.VemoResetWait(7));
  EXPECT_EQ(b.Sent(), 1u + 3u * 2u) << "Retries + 1 probes of Retries attempts each";
  EXPECT_EQ(LastError(b.ctrl), 0u);
}

// Takes the unanswered reset in, then goes away before any probe.
struct GoneAfterTheReset : VirtualPeer {
  void OnReceive(VirtualLine& line, const Bytes&, uint64_t) override { line.Vanish(kGone); }
  static constexpr OsError kGone = 5;
};

TEST(ModuleControl, ResetWaitsOnALostDeviceEndWithTheOsError) {
  for (auto wait : {&CQelCommCtrl::VemoResetWait, &CQelCommCtrl::QupResetWait}) {
    auto platform = std::make_shared<TestPlatform>();
    TestLine& line = platform->AddLine("vcom1", std::make_shared<GoneAfterTheReset>(), 1);
    CQelCommCtrl ctrl(platform);
    ctrl.SetComPort(1);
    ASSERT_TRUE(ctrl.OpenPort());
    EXPECT_FALSE((ctrl.*wait)(7));
    EXPECT_EQ(line.written.size(), 1u) << "no probe goes to a lost device";
    EXPECT_EQ(LastError(ctrl), GoneAfterTheReset::kGone);
  }
}

TEST(VemoDebug, ValuesAndFirstFailingCheck) {
  VirtualBench b;
  int16_t state = -1, in = -1, out = -1, mode = -1;
  int32_t time = -1, count = -1;
  b.peer->Reply(Framed(0x30, {0x00, 0x01, 0x0F, 0x03, 0x34, 0x12, 0x02, 0x00, 0x07}));
  EXPECT_TRUE(b.ctrl.VemoDebug(1, state, in, out, time, count, mode));
  EXPECT_EQ(b.LastSent(), (Bytes{0x30, 0x30, 0x30, 0x01, 0xFE, 0xAA, 0xAA}));
  EXPECT_EQ(std::tie(state, in, out, time, count, mode),
            std::make_tuple(int16_t(1), int16_t(15), int16_t(3), 0x1234, 2, int16_t(7)));

  // State 0x55 then inputs 0xAA: the scan ends at that pair.
  b.peer->Reply(Framed(0x30, {0x00, 0x55, 0xAA, 0x03, 0x34, 0x12, 0x02, 0x00, 0x07}));
  EXPECT_FALSE(b.ctrl.VemoDebug(1, state, in, out, time, count, mode));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
  EXPECT_EQ(b.Sent(), 2u);

  // A bad time complement stops there: outputs written, time not.
  Bytes r = Framed(0x30, {0x00, 0x02, 0x00, 0x09, 0x10, 0x00, 0x00, 0x00, 0x00});
  r[12] ^= 0x01;
  b.peer->Reply(r);
  time = -1;
  EXPECT_FALSE(b.ctrl.VemoDebug(1, state, in, out, time, count, mode));
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);
  EXPECT_EQ(out, 9);
  EXPECT_EQ(time, -1);

  // One-byte fields are delivered before their complement is tested.
  for (size_t at : {6u, 20u}) {  // State's and ModeCmd's complements
    Bytes bad = Framed(0x30, {0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06});
    bad[at] ^= 0x01;
    b.peer->Reply(bad);
    state = mode = -1;
    EXPECT_FALSE(b.ctrl.VemoDebug(1, state, in, out, time, count, mode));
    EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);
    EXPECT_EQ(at == 6 ? state : mode, at == 6 ? 4 : 6) << at;
  }
  // A short write ends the call before any reply is looked at.
  b.line.written.clear();
  b.line.short_writes = 1;
  b.peer->Reply(Framed(0x30, {0x00, 0x01, 0x0F, 0x03, 0x34, 0x12, 0x02, 0x00, 0x07}));
  state = -1;
  EXPECT_FALSE(b.ctrl.VemoDebug(1, state, in, out, time, count, mode));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
  EXPECT_EQ(b.Sent(), 1u);
  EXPECT_EQ(state, -1);
}

TEST(VemoGet, PagesAndTheirFailures) {
  VirtualBench b;
  std::vector<uint8_t> data(3, 0x77);
  b.peer->Reply(PageReply(2, 0x40));
  EXPECT_TRUE(b.ctrl.VemoGet(3, 2, data));
  EXPECT_EQ(b.LastSent(), (Bytes{0x34, 0x34, 0x34, 0x03, 0xFC, 0x02, 0xFD, 0xAA, 0xAA}));
  ASSERT_EQ(data.size(), 128u);
  EXPECT_EQ(data[0], 0x40);
  EXPECT_EQ(data[127], uint8_t(0x40 + 127));

  // Page 258 travels as 2 but never matches the reply's byte 2.
  const auto before = data;
  b.ctrl.SetRetries(3);
  b.line.written.clear();
  b.peer->Reply(PageReply(2, 0)).Reply(PageReply(2, 0)).Reply(PageReply(2, 0));
  EXPECT_FALSE(b.ctrl.VemoGet(3, 258, data));
  EXPECT_EQ(b.Sent(), 3u);
  EXPECT_EQ(LastError(b.ctrl), ERR_PARAM_MISMATCH);
  EXPECT_EQ(data, before) << "Data is untouched on failure";

  // A wrong data complement ends the call at once.
  Bytes bad = PageReply(1, 0);
  bad[8 + 2 * 9] ^= 0xFF;
  b.line.written.clear();
  b.peer->Reply(bad);
  EXPECT_FALSE(b.ctrl.VemoGet(3, 1, data));
  EXPECT_EQ(b.Sent(), 1u);
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);

  // A 264-byte answer fails every attempt without a code.
  Bytes short_reply = PageReply(1, 0);
  short_reply.pop_back();
  b.peer->Reply(short_reply);
  EXPECT_FALSE(b.ctrl.VemoGet(3, 1, data));
  EXPECT_EQ(LastError(b.ctrl), 0u);

  // Wrong start and end syncs: the end sync's code is the last, and the
  // page is asked for again.
  Bytes syncs = PageReply(1, 0);
  syncs[0] = 0x30;
  syncs[264] = 0x55;
  b.ctrl.SetRetries(2);
  b.line.written.clear();
  b.peer->Reply(syncs).Reply(PageReply(1, 0));
  EXPECT_TRUE(b.ctrl.VemoGet(3, 1, data));
  EXPECT_EQ(LastError(b.ctrl), ERR_END_SYNC);
  EXPECT_EQ(b.Sent(), 2u);
  // More than a page queued fails every attempt without a code.
  Bytes long_reply = PageReply(1, 0);
  long_reply.push_back(0x00);
  b.line.written.clear();
  b.peer->Reply(long_reply).Reply(long_reply);
  EXPECT_FALSE(b.ctrl.VemoGet(3, 1, data));
  EXPECT_EQ(LastError(b.ctrl), 0u);
  EXPECT_EQ(b.Sent(), 2u);
}

TEST(VemoGet, TrickleIsCollectedButNeverHoldsTheWaitForever) {
  VirtualBench b;  // opened at 19200 bit/s
  std::vector<Piece> slow;
  for (uint8_t byte : PageReply(0, 0)) slow.push_back({520, {byte}});  // one byte per 0.52 ms
  b.peer->ReplyInPieces(slow);
  std::vector<uint8_t> data;
  EXPECT_TRUE(b.ctrl.VemoGet(1, 0, data)) << "138 ms of reply, beyond the first 100 ms";

  // Noise every 5 ms would move the deadline forever; the cap ends it.
  b.ctrl.SetRetries(1);
  b.peer->Chatter(5, b.platform->clock().NowUs());
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.VemoGet(1, 0, data));
  EXPECT_LE(b.NowMs() - start, 100u + 2 * 139u);
}

TEST(VemoPut, SendsOnePageAndRefusesShortData) {
  VirtualBench b;
  std::vector<uint8_t> data(200, 0x00);
  data[150] = 0x99;
  b.peer->Reply(kModuleAccept);
  EXPECT_TRUE(b.ctrl.VemoPut(1, 0, data));
  Bytes expected{0x31, 0x31, 0x31, 0x01, 0xFE, 0x00, 0xFF};
  for (int i = 0; i < 128; ++i) expected.insert(expected.end(), {0x00, 0xFF});
  expected.insert(expected.end(), {0xAA, 0xAA});
  EXPECT_EQ(b.LastSent(), expected);

  EXPECT_THROW(b.ctrl.VemoPut(1, 0, std::span(data).first(127)), std::invalid_argument);
  EXPECT_EQ(b.Sent(), 1u);
  b.ctrl.ClosePort();
  EXPECT_FALSE(b.ctrl.VemoPut(1, 0, data));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
}

TEST(VemoWrite, AcceptanceThenProbesUntilTheModuleAnswers) {
  VirtualBench b;
  b.peer->Reply(kModuleAccept).Silence(10).Reply(kIdentify3v17);
  EXPECT_TRUE(b.ctrl.VemoWrite(1));
  EXPECT_EQ(b.line.written[0].bytes, (Bytes{0x35, 0x35, 0x35, 0x01, 0xFE, 0xAA, 0xAA}));
  EXPECT_EQ(b.Sent(), 12u);
  EXPECT_EQ(b.LastSent()[3], 0xFF);

  // No acceptance: one send, its code, no retry.
  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.VemoWrite(1));
  EXPECT_EQ(b.Sent(), 1u);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);

  // Accepted but silent for good: 7 s of probes per send, Retries sends.
  b.ctrl.SetRetries(2);
  b.line.written.clear();
  b.peer->Reply(kModuleAccept);
  b.peer->SetResponder([](const Bytes& r) -> std::optional<Bytes> {
    if (r[0] == 0x35) return Bytes{0x22, 0x22, 0x22};
    return std::nullopt;
  });
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.VemoWrite(1));
  EXPECT_GE(b.NowMs() - start, 14'000u);
  EXPECT_LE(b.NowMs() - start, 14'600u);
  EXPECT_EQ(std::count_if(b.line.written.begin(), b.line.written.end(),
                          [](const auto& w) { return w.bytes[0] == 0x35; }),
            2);
}

// VemoPut leaves the last error alone on success (VemoWrite's probes reset
// it); for both, a resend that goes out short ends the call.
TEST(VemoWrite, PutKeepsTheLastErrorAndAShortResendEndsPutAndWrite) {
  VirtualBench b;
  const std::vector<uint8_t> data(128, 0x10);
  int32_t unused = 0;
  b.ctrl.ReadParameter(1, 2, unused);  // silent: ERR_ANSWER_LENGTH
  b.peer->Reply(kModuleAccept);
  EXPECT_TRUE(b.ctrl.VemoPut(1, 0, data));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
  b.ctrl.ReadParameter(1, 2, unused);
  b.peer->Reply(kModuleAccept).Reply(kIdentify3v17);
  EXPECT_TRUE(b.ctrl.VemoWrite(1));
  EXPECT_EQ(LastError(b.ctrl), 0u);

  // VemoPut's first send goes unanswered; VemoWrite's is accepted, then
  // the probes stay silent. Whatever is written after that goes out short.
  for (const uint8_t sync : {0x31, 0x35}) {
    b.line.written.clear();
    b.line.short_writes = 0;
    b.peer->SetResponder([&](const Bytes& r) -> std::optional<Bytes> {
      b.line.short_writes = 1;
      if (r[0] == 0x35) return kModuleAccept;
      return std::nullopt;
    });
    EXPECT_FALSE(sync == 0x31 ? b.ctrl.VemoPut(1, 0, data) : b.ctrl.VemoWrite(1));
    EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT) << int(sync);
    EXPECT_EQ(std::count_if(b.line.written.begin(), b.line.written.end(),
                            [&](const auto& w) { return w.bytes[0] == sync; }),
              2)
        << int(sync);
  }
}

TEST(Qup, TelegramLayouts) {
  VirtualBench b;
  b.peer->SetResponder([](const Bytes&) { return QupReply({0, 0, 0, 0, 0, 0, 0x34, 0x12}); });
  int16_t value = 0;
  EXPECT_TRUE(b.ctrl.QupStart(1));
  EXPECT_EQ(b.LastSent(), (Bytes{0x61, 0x61, 0x61, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0xAA, 0xAA}));
  EXPECT_TRUE(b.ctrl.QupNOOP(3, value));
  EXPECT_EQ(b.LastSent(), (Bytes{0x61, 0x61, 0x61, 0x03, 0xFC, 0x01, 0xFE, 0x00, 0xFF, 0xAA, 0xAA}));
  EXPECT_EQ(value, 0x1234);
  EXPECT_TRUE(b.ctrl.QupStep(2, 0x0010, 0x0200));
  EXPECT_EQ(b.LastSent(), (Bytes{0x61, 0x61, 0x61, 0x02, 0xFD, 0x05, 0xFA, 0x04, 0xFB, 0x10, 0xEF,
                                 0x00, 0xFF, 0x00, 0xFF, 0x02, 0xFD, 0xAA, 0xAA}));
  EXPECT_TRUE(b.ctrl.QupSetOutputs(1, 5, 7));
  EXPECT_EQ(b.LastSent(), (Bytes{0x61, 0x61, 0x61, 0x01, 0xFE, 0x02, 0xFD, 0x05, 0xFA, 0x25, 0xDA,
                                 0xAA, 0xAA}));
  for (auto [outputs, mask, byte] : {std::tuple{0, 0, 0x00}, {0, 0x0F, 0xF0}, {0xFF5, 0xF07, 0x25}}) {
    EXPECT_TRUE(b.ctrl.QupSetOutputs(1, int16_t(outputs), int16_t(mask)));
    EXPECT_EQ(b.LastSent()[9], byte);
  }
  EXPECT_TRUE(b.ctrl.QupReset(4));
  EXPECT_EQ(b.LastSent(), (Bytes{0x60, 0x60, 0x60, 0x04, 0xFB, 0xAA, 0xAA}));

  b.peer->SetResponder([](const Bytes&) { return QupReply({0, 0, 0, 0, 0, 0, 0x00, 0x80}); });
  EXPECT_TRUE(b.ctrl.QupNOOP(3, value));
  EXPECT_LT(value, 0);
}

TEST(Qup, ReplyChecksAndAttempts) {
  VirtualBench b;
  const Bytes good = QupReply({1, 2, 3, 4, 5, 6, 7, 8});
  Bytes length7 = good;
  length7[5] = 0x07;
  length7[6] = 0xF8;
  Bytes two_faults = good;
  two_faults[3] = 0x01;
  two_faults[24] = 0xAB;
  Bytes wrong_start = good;
  wrong_start[0] = 0x62;
  const struct {
    Bytes reply;
    uint32_t code;
  } cases[] = {
      {Bytes(good.begin(), good.end() - 1), ERR_ANSWER_LENGTH},
      {[&] { Bytes r = good; r.push_back(0); return r; }(), ERR_ANSWER_LENGTH},
      {wrong_start, ERR_BAD_ACCEPT},
      {length7, ERR_LENGTH_MISMATCH},
      {two_faults, ERR_END_SYNC},
  };
  b.ctrl.SetRetries(1);
  for (const auto& c : cases) {
    b.peer->Reply(c.reply);
    EXPECT_FALSE(b.ctrl.QupStart(1));
    EXPECT_EQ(LastError(b.ctrl), c.code);
  }

  b.ctrl.SetRetries(5);
  b.line.written.clear();
  b.line.short_writes = 1;
  EXPECT_FALSE(b.ctrl.QupStop(1));
  EXPECT_EQ(b.Sent(), 1u);
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.QupPause(1));
  EXPECT_EQ(b.Sent(), 5u);

  b.ctrl.SetRetries(0);
  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.QupResetWait(1));
  EXPECT_EQ(b.Sent(), 2u) << "the reset and one probe";

  // A wrong complement does not advance: the next pair fills the same data
  // byte, so eight good pairs after a refused one fill the reply to its end
  // and leave the refusal's code. Advancing would have judged the last two
  // bytes as the end sync instead.
  Bytes refill{0x61, 0x61, 0x61, 0x00, 0xFF, 0x08, 0xF7, 0x11, 0x00};
  for (uint8_t d : {1, 2, 3, 4, 5, 6, 7, 8}) refill.insert(refill.end(), {d, uint8_t(~d)});
  ASSERT_EQ(refill.size(), 25u);
  int16_t value = 0;
  b.peer->Reply(refill);
  EXPECT_FALSE(b.ctrl.QupNOOP(1, value));
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);

  // Short writes of the unanswered resets.
  b.line.short_writes = 2;
  EXPECT_FALSE(b.ctrl.VemoReset(1));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
  EXPECT_FALSE(b.ctrl.QupReset(1));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
}

}  // namespace
}  // namespace qelcomm::testing
