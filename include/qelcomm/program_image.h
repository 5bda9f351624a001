// What a module program from an Intel HEX text becomes: the bytes that
// programming sends, pages 0 to kProgramPages - 1, read exactly as the
// control reads the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelcomm/protocol.h"

namespace qelcomm {

// What no record sets: the erased-flash value.
inline constexpr uint8_t kErasedProgramByte = 0xFF;
// The largest HEX file programming reads.
inline constexpr size_t kMaxProgramHexFileSize = size_t{16} << 20;

// The protocol::kProgramImageSize bytes sent for `hex_text`, unset bytes
// erased; empty on a content error, whose message (the control's own text)
// goes to `error` when given.
std::optional<std::vector<uint8_t>> LoadProgramImage(std::string_view hex_text,
                                                     std::string* error = nullptr);

// What a HEX text sets, looked at before anything is sent: the same bytes
// LoadProgramImage gives, and what it cannot say on its own.
struct ProgramImageInspection {
  // Image addresses first..last, both included.
  struct Span {
    int64_t first = 0;
    int64_t last = 0;
  };

  std::vector<uint8_t> image;  // the bytes sent; empty on a content error
  size_t bytes_set = 0;        // how many of them some record sets
  std::vector<Span> outside;   // bytes set that are not sent, in address order
  std::vector<Span> conflicts; // bytes set twice with different values
  std::string error;           // the control's text of a content error
  int error_line = 0;          // its record's line, 1-based

  bool ok() const { return error.empty(); }
};

ProgramImageInspection InspectProgramImage(std::string_view hex_text);

// "0x0200..0x03FF".
std::string SpanText(const ProgramImageInspection::Span& span);

}  // namespace qelcomm
