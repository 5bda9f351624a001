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

// The protocol::kProgramImageSize bytes sent for `hex_text`, unset bytes
// erased; empty on a content error, whose message (the control's own text)
// goes to `error` when given.
std::optional<std::vector<uint8_t>> LoadProgramImage(std::string_view hex_text,
                                                     std::string* error = nullptr);

}  // namespace qelcomm
