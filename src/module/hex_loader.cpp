#include "module/hex_loader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace qelcomm::module {
namespace {

[[noreturn]] void Raise(const char* message) {
  TSerErr e{1, {}};
  std::strncpy(e.text, message, sizeof e.text - 1);
  throw e;
}

// The cursor over the text, with the running checksum of the record.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Steps past the next ':'; false when the text has no more.
  bool FindRecord() {
    const size_t colon = text_.find(':', cursor_);
    if (colon == std::string_view::npos) return false;
    cursor_ = colon + 1;
    return true;
  }
  void StartRecord() { checksum_ = 0; }
  uint8_t Byte() { return static_cast<uint8_t>(Field(2)); }
  uint32_t Word() { return Field(4); }
  bool ChecksumOk() const { return checksum_ == 0; }
  size_t Where() const { return cursor_; }

 private:
  // n hex digits, high digit first; every completed byte joins the sum.
  uint32_t Field(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
      value = value * 16 + Digit();
      if (i % 2 == 1) checksum_ = static_cast<uint8_t>(checksum_ + (value & 0xFF));
    }
    return value;
  }
  uint32_t Digit() {
    if (cursor_ >= text_.size()) Raise("Invalid character in hexfile");
    const char c = text_[cursor_++];
    if (c >= '0' && c <= '9') return uint32_t(c - '0');
    if (c >= 'A' && c <= 'F') return uint32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return uint32_t(c - 'a' + 10);
    Raise("Invalid character in hexfile");
  }

  std::string_view text_;
  size_t cursor_ = 0;
  uint8_t checksum_ = 0;
};

enum RecordType : uint8_t {
  kData = 0,
  kEndOfFile = 1,
  kSegmentBase = 2,
  kStartSegment = 3,
  kLinearBase = 4,
  kStartLinear = 5,
};

void WalkRecords(Reader& r, size_t& record_start, size_t image_size, const HexByteSink& sink) {
  // Indices are signed 32-bit: a linear base of 0x8000 or more is negative.
  // Unsigned arithmetic wraps where the sum would overflow.
  uint32_t base = 0;
  while (r.FindRecord()) {
    record_start = r.Where() - 1;
    r.StartRecord();
    const uint8_t count = r.Byte();
    const uint32_t address = r.Word();
    const uint8_t type = r.Byte();
    switch (type) {
      case kData:
        for (uint32_t i = 0; i < count; ++i) {
          const auto index = static_cast<int32_t>(base + address + i);
          if (index >= static_cast<int64_t>(image_size)) Raise("Buffer overflow loading hexfile");
          sink(index, r.Byte());
        }
        break;
      case kEndOfFile:
        break;
      case kSegmentBase:
        base = r.Word() * 16;
        break;
      case kLinearBase:
        base = r.Word() << 16;
        break;
      case kStartSegment:
      case kStartLinear:
        // An execution address; the image has no use for it.
        r.Word();
        r.Word();
        break;
      default:
        Raise("Unsupported record type in hexfile");
    }
    r.Byte();  // the checksum byte brings the record's sum to 0
    if (!r.ChecksumOk()) Raise("Checksum error in hexfile");
  }
}

}  // namespace

void ForEachHexByte(std::string_view text, size_t image_size, const HexByteSink& sink,
                    int* error_line) {
  Reader r(text);
  size_t record_start = 0;
  try {
    WalkRecords(r, record_start, image_size, sink);
  } catch (const TSerErr&) {
    if (error_line != nullptr) {
      const auto before = text.substr(0, record_start);
      *error_line = 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
    }
    throw;
  }
}

void LoadHex(std::string_view text, std::span<uint8_t> image) {
  ForEachHexByte(text, image.size(), [image](int64_t index, uint8_t value) {
    if (index >= 0) image[size_t(index)] = value;
  });
}

std::string ReadHexFile(const Platform& platform, const std::string& name) {
  std::string text;
  if (const OsError error = platform.ReadWholeFile(name, text, kMaxHexFileSize); error != 0) {
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "cannot read HEX file " + name);
  }
  if (text.size() > kMaxHexFileSize) Raise("HEX file larger than 16 MiB");
  return text;
}

}  // namespace qelcomm::module
