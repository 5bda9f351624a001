// The HEX loader's record kinds and faults, and programming a module from a
// file on the virtual line.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <system_error>

#include "module/hex_loader.h"
#include "qelcomm/program_image.h"
#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

using module::LoadHex;
using module::TSerErr;

std::vector<uint8_t> Load(const std::string& text) {
  std::vector<uint8_t> image(module::kImageSize, module::kErasedByte);
  LoadHex(text, image);
  return image;
}

std::string LoadError(const std::string& text) {
  try {
    Load(text);
  } catch (const TSerErr& e) {
    return e.text;
  }
  return "";
}

TEST(HexLoader, RecordKindsAndBases) {
  auto image = Load(":0400000012345678E8\n");
  EXPECT_EQ((std::vector<uint8_t>(image.begin(), image.begin() + 5)),
            (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0xFF}));

  // Linear and segment bases; lower case, CRLF, text between records, and
  // data after the end-of-file record all load.
  image = Load(":020000040001f9\r\n:01001000AB44\r\n:00000001FF\r\n junk :020000021000EC\n:01002000CD12\n");
  EXPECT_EQ(image[0x10010], 0xAB);
  EXPECT_EQ(image[0x10020], 0xCD);

  // Start-address records (segment and linear) are read and checked, and
  // change nothing.
  image = Load(":0400000300001000E9\n:04000005000010A047\n:0100000042BD\n");
  EXPECT_EQ(image[0], 0x42);
  EXPECT_EQ(LoadError(":0400000300001000E8\n"), "Checksum error in hexfile");

  // A linear base of 0x8000 or more is negative: the bytes are read and
  // summed but not stored.
  image = Load(":0200000480007A\n:0100000042BD\n");
  EXPECT_EQ(image[0], 0xFF);
  EXPECT_EQ(Load("no records here"), std::vector<uint8_t>(module::kImageSize, 0xFF));
}

// A record's byte count says nothing about the fields of types 1 to 5: a
// base is always 4 digits, a start address 8, an end of file none.
TEST(HexLoader, CountsOfRecordsWithFixedFieldsAreIgnored) {
  const struct {
    const char* records;
    size_t at;  // where the data record at address 0 lands
  } cases[] = {
      {":010000040001FA\n", 0x10000},                 // linear base, count 1
      {":060000021000E8\n", 0x10000},                 // segment base, count 6
      {":0200000300001000EB\n:09000005000010A042\n", 0},  // start addresses, counts 2 and 9
      {":02000001FD\n", 0},                           // end of file, count 2
  };
  for (const auto& c : cases) {
    const auto image = Load(std::string(c.records) + ":01000000AB54\n");
    EXPECT_EQ(image[c.at], 0xAB) << c.records;
  }
}

TEST(HexLoader, FaultsStopTheLoad) {
  EXPECT_EQ(LoadError(":0400000012345678E9\n"), "Checksum error in hexfile");
  EXPECT_EQ(LoadError(":04000000123G5678E8\n"), "Invalid character in hexfile");
  EXPECT_EQ(LoadError(":04000000123456"), "Invalid character in hexfile") << "cut short";
  EXPECT_EQ(LoadError(":00000006FA\n"), "Unsupported record type in hexfile");

  // 262,140 .. 262,147: the first four bytes are stored, then the overflow.
  std::vector<uint8_t> image(module::kImageSize, 0xFF);
  try {
    LoadHex(":020000040003F7\n:08FFFC000102030405060708E2\n", image);
    ADD_FAILURE() << "no overflow";
  } catch (const TSerErr& e) {
    EXPECT_STREQ(e.text, "Buffer overflow loading hexfile");
  }
  EXPECT_EQ(image[module::kImageSize - 1], 0x04);
}

TEST(HexInspection, SaysWhatIsSetWhatIsNotSentAndWhatClashes) {
  // Bytes 0x1FE..0x201 straddle the end of page 3; a linear base of
  // 0xFFFF puts two bytes before the image; 0x10 is set twice, differently.
  const auto in = InspectProgramImage(
      ":0400000012345678E8\n:0401FE0001020304F3\n:01001000AA45\n:01001000BB34\n"
      ":020000040001F9\n:010000007788\n:02000004FFFFFC\n:02FFFE00CCDD58\n");
  ASSERT_TRUE(in.ok()) << in.error;
  EXPECT_EQ(in.bytes_set, 4u + 2u + 1u);
  ASSERT_EQ(in.image.size(), 512u);
  EXPECT_EQ(in.image[0x10], 0xBB) << "the last record counts, as the control loads it";
  EXPECT_EQ(in.image[0x1FF], 0x02);
  ASSERT_EQ(in.outside.size(), 3u);
  EXPECT_EQ(SpanText(in.outside[0]), "0xFFFFFFFE..0xFFFFFFFF");
  EXPECT_EQ(SpanText(in.outside[1]), "0x0200..0x0201");
  EXPECT_EQ(SpanText(in.outside[2]), "0x10000..0x10000");
  ASSERT_EQ(in.conflicts.size(), 1u);
  EXPECT_EQ(in.conflicts[0].first, 0x10);

  // The same image as the control's loader gives, and a fault by line.
  EXPECT_EQ(in.image, *LoadProgramImage(":0400000012345678E8\n:0401FE0001020304F3\n"
                                        ":01001000BB34\n"));
  const auto bad = InspectProgramImage(":0400000012345678E8\n\n:0400000012345678E9\n");
  EXPECT_EQ(bad.error, "Checksum error in hexfile");
  EXPECT_EQ(bad.error_line, 3);
  EXPECT_TRUE(bad.image.empty());
  EXPECT_EQ(InspectProgramImage("").bytes_set, 0u);
}

// Enough of a module to be programmed: it accepts the stop, the pages and
// the write command, keeps the pages, and identifies itself at 255 once
// its commit is over.
struct MiniModule {
  std::map<uint8_t, Bytes> pages;
  std::vector<uint8_t> syncs;
  std::vector<uint8_t> addresses;
  int silent_probes = 3;
  std::optional<Bytes> operator()(const Bytes& r) {
    syncs.push_back(r[0]);
    addresses.push_back(r[3]);
    switch (r[0]) {
      case 0x31:
        for (int i = 0; i < 128; ++i) pages[r[5]].push_back(r[7 + 2 * i]);
        return Bytes{0x22, 0x22, 0x22};
      case 0x32:
      case 0x35:
        return Bytes{0x22, 0x22, 0x22};
      case 0x5F:
        if (silent_probes-- > 0) return std::nullopt;
        return Bytes{0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0, 0, 3, 0xFC, 17, 0xEE, 0xAA, 0xAA};
      default:
        return std::nullopt;
    }
  }
};

struct ProgramBench : VirtualBench {
  MiniModule module;
  // Named after the test: ctest runs tests in parallel processes, whose
  // addresses may coincide, and Windows cannot remove a file another has open.
  std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("qelcomm-hex-" +
       std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".hex");
  ProgramBench() {
    peer->SetResponder([this](const Bytes& r) { return module(r); });
  }
  ~ProgramBench() {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  }
  std::string Write(const std::string& text) {
    std::ofstream(file) << text;
    return file.string();
  }
};

TEST(VemoProgram, StopsSendsFourPagesAndWritesThroughTheProbeAddress) {
  ProgramBench b;
  std::vector<ProgramProgress::Step> steps;
  const auto path = b.Write(":0400000012345678E8\n:0201FE00ABCD87\n:01020000EE0F\n:00000001FF\n");
  EXPECT_TRUE(b.ctrl.VemoProgram(6, path, [&](const ProgramProgress& p) { steps.push_back(p.step); }));
  EXPECT_EQ(b.module.syncs, (std::vector<uint8_t>{0x32, 0x31, 0x31, 0x31, 0x31, 0x35, 0x5F, 0x5F,
                                                  0x5F, 0x5F}));
  EXPECT_EQ(b.module.addresses[0], 6);
  EXPECT_EQ(b.module.addresses[4], 6);
  EXPECT_EQ(b.module.addresses[5], 0xFF) << "the write command goes to 255";
  EXPECT_EQ(b.module.pages[0][0], 0x12);
  EXPECT_EQ(b.module.pages[3][127], 0xCD);
  EXPECT_EQ(b.module.pages[2][0], 0xFF) << "unset bytes are erased flash";
  using S = ProgramProgress::Step;
  EXPECT_EQ(steps, (std::vector<S>{S::kStop, S::kPage, S::kPage, S::kPage, S::kPage, S::kWrite,
                                   S::kWaiting}));
}

TEST(VemoProgram, APageThatIsNotAcceptedEndsItBeforeTheWriteCommand) {
  ProgramBench b;
  b.ctrl.SetRetries(2);
  b.peer->SetResponder([&](const Bytes& r) -> std::optional<Bytes> {
    if (r[0] == 0x31 && r[5] == 2) return std::nullopt;  // page 2 is never accepted
    return b.module(r);
  });
  EXPECT_FALSE(b.ctrl.VemoProgram(6, b.Write(":0100000042BD\n")));
  EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_ANSWER_LENGTH);
  EXPECT_EQ(b.module.syncs, (std::vector<uint8_t>{0x32, 0x31, 0x31}));
  EXPECT_EQ(b.LastSent()[5], 2) << "page 2, sent Retries times";
  EXPECT_EQ(b.Sent(), 5u);
}

TEST(VemoProgram, LoadErrorsAndFilesThatCannotBeRead) {
  ProgramBench b;
  // A wrong checksum in the last record fails before anything is sent; the
  // loader's text is given once.
  EXPECT_FALSE(b.ctrl.VemoProgram(1, b.Write(":0100000042BD\n:0100000042BE\n")));
  EXPECT_EQ(b.Sent(), 0u);
  EXPECT_EQ(b.ctrl.GetLastErrorStr(0), "Checksum error in hexfile");
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_UNSPECIFIED)), "Unspecified error");

  try {
    b.ctrl.VemoProgram(1, "/nonexistent/dir/file.hex");
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_NE(e.code().value(), 0);
    EXPECT_NE(std::string(e.what()).find("file.hex"), std::string::npos);
  }
  EXPECT_EQ(b.Sent(), 0u);

  // A file past 16 MiB is refused after reading just past the limit; one of
  // exactly 16 MiB (of NULs, so no records) is loaded.
  const auto big = b.Write("");
  std::filesystem::resize_file(big, module::kMaxHexFileSize + 1);
  EXPECT_FALSE(b.ctrl.VemoProgram(1, big));
  EXPECT_EQ(b.ctrl.GetLastErrorStr(0), "HEX file larger than 16 MiB");
  EXPECT_EQ(b.Sent(), 0u);
  std::filesystem::resize_file(big, module::kMaxHexFileSize);
  EXPECT_TRUE(b.ctrl.VemoProgram(1, big));

  // A closed port is reported without the file being read.
  b.ctrl.ClosePort();
  EXPECT_FALSE(b.ctrl.VemoProgram(1, "/nonexistent/dir/file.hex"));
  EXPECT_EQ(uint32_t(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
}

}  // namespace
}  // namespace qelcomm::testing
