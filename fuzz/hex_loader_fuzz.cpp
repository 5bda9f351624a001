// The HEX loader over arbitrary text. The image sits between two guard
// areas: a store outside the image shows in a guard even where it would miss
// AddressSanitizer's red zones. A content error must come as TSerErr with a
// terminated message, never as anything else.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "check.h"
#include "module/hex_loader.h"

namespace {

using qelcomm::module::kImageSize;

constexpr size_t kGuardSize = 64 * 1024;
constexpr uint8_t kGuardByte = 0x5A;

// memcmp, not a loop of our own: the library call is not instrumented for
// coverage, which would make the check cost more than the load.
bool GuardIntact(const uint8_t* guard) {
  static const std::vector<uint8_t> intact(kGuardSize, kGuardByte);
  return std::memcmp(guard, intact.data(), kGuardSize) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> buffer(kGuardSize + kImageSize + kGuardSize, kGuardByte);
  uint8_t* const image = buffer.data() + kGuardSize;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    qelcomm::module::LoadHex(text, {image, kImageSize});
  } catch (const qelcomm::module::TSerErr& e) {
    FUZZ_CHECK(std::memchr(e.text, '\0', sizeof e.text) != nullptr);
    FUZZ_CHECK(e.text[0] != '\0');
  }
  FUZZ_CHECK(GuardIntact(buffer.data()));
  FUZZ_CHECK(GuardIntact(image + kImageSize));
  return 0;
}
