#include <gtest/gtest.h>

#include "wire.h"

namespace qelcomm::sim {
namespace {

std::vector<Telegram> FeedAll(FrameParser& p, const std::vector<uint8_t>& bytes) {
  std::vector<Telegram> out;
  p.Feed(bytes, out);
  return out;
}

TEST(FrameParser, TakesWellFormedTelegramsWithFieldsStripped) {
  FrameParser p;
  // A 32-bit write from the host's documentation: P_SOLL := -2 at address 1.
  auto t = FeedAll(p, {0x52, 0x52, 0x52, 0x01, 0xFE, 0x03, 0xFC, 0x04, 0xFB, 0xFE, 0x01,
                       0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xAA, 0xAA});
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].sync, 0x52);
  EXPECT_EQ(t[0].fields, (std::vector<uint8_t>{0x01, 0x03, 0x04, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(t[0].raw.size(), 19u);
  EXPECT_EQ(p.buffered(), 0u);
}

TEST(FrameParser, AssemblesTelegramsArrivingByteByByteAndBackToBack) {
  FrameParser p;
  auto a = BuildFrame(0x50, {0x05, 0x02});
  auto b = BuildFrame(0x58, {0x07});
  std::vector<uint8_t> stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  std::vector<Telegram> out;
  for (uint8_t byte : stream) p.Feed({&byte, 1}, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].sync, 0x50);
  EXPECT_EQ(out[1].sync, 0x58);
  EXPECT_EQ(out[1].fields, std::vector<uint8_t>{0x07});
}

TEST(FrameParser, FieldValueAaIsNotMistakenForTheEndSync) {
  FrameParser p;
  auto t = FeedAll(p, BuildFrame(0x52, {0xAA, 0x01, 0x02, 0xAA, 0x55}));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].fields, (std::vector<uint8_t>{0xAA, 0x01, 0x02, 0xAA, 0x55}));
}

TEST(FrameParser, BrokenTelegramsAreDroppedAndTheNextSyncIsFound) {
  struct Case {
    const char* name;
    std::vector<uint8_t> broken;
  };
  const std::vector<Case> cases = {
      {"bad complement", {0x50, 0x50, 0x50, 0x05, 0xFB, 0x02, 0xFD, 0xAA, 0xAA}},
      {"truncated, next sync follows", {0x50, 0x50, 0x50, 0x05, 0xFA, 0x02}},
      {"no fields", {0x58, 0x58, 0x58, 0xAA, 0xAA}},
      {"single end-sync byte", {0x50, 0x50, 0x50, 0x05, 0xFA, 0xAA, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameParser p;
    auto stream = c.broken;
    auto good = BuildFrame(0x50, {0x01, 0x02});
    stream.insert(stream.end(), good.begin(), good.end());
    auto t = FeedAll(p, stream);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].fields, (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_GE(p.malformed(), 1u);
  }
}

TEST(FrameParser, AnEmptyTelegramBehindAnotherIsRecordedWhole) {
  FrameParser p;
  auto stream = BuildFrame(0x50, {0x01, 0x02});
  const std::vector<uint8_t> empty{0x58, 0x58, 0x58, 0xAA, 0xAA};
  stream.insert(stream.end(), empty.begin(), empty.end());
  EXPECT_EQ(FeedAll(p, stream).size(), 1u);
  EXPECT_EQ(p.malformed(), 1u);
  EXPECT_EQ(p.last_malformed(), empty);
}

TEST(FrameParser, SkipsNoiseAndUnknownSyncs) {
  FrameParser p;
  std::vector<uint8_t> stream{0x00, 0x13, 0x7E, 0x41, 0x41, 0x41, 0x01, 0xFE, 0xAA, 0xAA, 0x50};
  auto good = BuildFrame(0x50, {0x09, 0x01});
  stream.insert(stream.end(), good.begin(), good.end());
  auto t = FeedAll(p, stream);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].fields, (std::vector<uint8_t>{0x09, 0x01}));
}

TEST(FrameParser, AcceptsAFullPageTelegramButNotAnEndlessOne) {
  FrameParser p;
  std::vector<uint8_t> fields{0x01, 0x00};
  fields.resize(130, 0x5A);
  auto page = BuildFrame(0x31, fields);
  ASSERT_EQ(page.size(), 265u);
  auto t = FeedAll(p, page);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].fields.size(), 130u);

  fields.resize(FrameParser::kMaxFields + 1, 0x00);
  auto endless = BuildFrame(0x31, fields);
  EXPECT_TRUE(FeedAll(p, endless).empty());
  EXPECT_EQ(p.malformed(), 1u);
}

}  // namespace
}  // namespace qelcomm::sim
