// The Intel HEX loader behind module programming: parses the text of a HEX
// file into a memory image.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "qelcomm/platform.h"

namespace qelcomm::module {

// The loader's content error: a message for the host, raised and caught by
// value.
struct TSerErr {
  int32_t number;
  char text[200];
};

inline constexpr size_t kImageSize = 0x40000;
// What no record sets: the erased-flash value.
inline constexpr uint8_t kErasedByte = 0xFF;

// Loads every record of `text` into `image` (kImageSize bytes). Data records
// and the segment and linear base records are applied; end-of-file records
// do not end the load, and start-address records (types 3 and 5) are read
// and checked but carry nothing for the image. Bytes before the image (a
// negative index) are read but not stored. Raises TSerErr for a wrong
// checksum, a byte beyond the image, a character that is not a hex digit
// (a record cut short included) and an undefined record type.
void LoadHex(std::string_view text, std::span<uint8_t> image);

// Every data byte of `text` in record order, as LoadHex reads them for an
// image of `image_size` bytes: the image index (negative before the image)
// and the value. On a content error `error_line`, when given, gets the
// 1-based line of the record at fault before TSerErr is raised.
using HexByteSink = std::function<void(int64_t index, uint8_t value)>;
void ForEachHexByte(std::string_view text, size_t image_size, const HexByteSink& sink,
                    int* error_line = nullptr);

// The largest HEX file read: plenty for a full image (about 0.7 MiB of
// records), small enough that a wrong file cannot exhaust memory.
inline constexpr size_t kMaxHexFileSize = size_t{16} << 20;

// Reads the named file, and only it: nothing in its text is taken as a path.
// A file that cannot be opened or read throws std::system_error with the OS
// error; one larger than kMaxHexFileSize raises TSerErr after reading just
// past the limit.
std::string ReadHexFile(const Platform& platform, const std::string& name);

}  // namespace qelcomm::module
