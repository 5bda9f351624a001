#include "qelcomm/program_image.h"

#include "module/hex_loader.h"

namespace qelcomm {

static_assert(kErasedProgramByte == module::kErasedByte);

std::optional<std::vector<uint8_t>> LoadProgramImage(std::string_view hex_text,
                                                     std::string* error) {
  std::vector<uint8_t> image(module::kImageSize, module::kErasedByte);
  try {
    module::LoadHex(hex_text, image);
  } catch (const module::TSerErr& e) {
    if (error != nullptr) *error = e.text;
    return std::nullopt;
  }
  image.resize(protocol::kProgramImageSize);
  return image;
}

}  // namespace qelcomm
