#include "qelcomm/program_image.h"

#include <cstdio>

#include "module/hex_loader.h"

namespace qelcomm {

static_assert(kErasedProgramByte == module::kErasedByte);
static_assert(kMaxProgramHexFileSize == module::kMaxHexFileSize);

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

namespace {

using Span = ProgramImageInspection::Span;

// Adds `index` to sorted, merged spans when it follows the last one, else
// as a new span: callers go through addresses in order.
void Extend(std::vector<Span>& spans, int64_t index) {
  if (!spans.empty() && spans.back().last + 1 == index) {
    spans.back().last = index;
  } else {
    spans.push_back({index, index});
  }
}

// The runs of flagged addresses, in address order.
std::vector<Span> Runs(const std::vector<bool>& flags, size_t from) {
  std::vector<Span> spans;
  for (size_t i = from; i < flags.size(); ++i) {
    if (flags[i]) Extend(spans, int64_t(i));
  }
  return spans;
}

}  // namespace

ProgramImageInspection InspectProgramImage(std::string_view hex_text) {
  ProgramImageInspection out;
  std::vector<uint8_t> image(module::kImageSize, module::kErasedByte);
  std::vector<bool> set(module::kImageSize), clash(module::kImageSize);
  std::vector<Span> before;  // a base that wraps below the image
  try {
    module::ForEachHexByte(
        hex_text, image.size(),
        [&](int64_t index, uint8_t value) {
          if (index < 0) {
            Extend(before, index);
            return;
          }
          const auto i = size_t(index);
          if (set[i] && image[i] != value) clash[i] = true;
          set[i] = true;
          image[i] = value;
        },
        &out.error_line);
  } catch (const module::TSerErr& e) {
    out.error = e.text;
    return out;
  }
  for (size_t i = 0; i < protocol::kProgramImageSize; ++i) out.bytes_set += set[i] ? 1 : 0;
  out.outside = before;
  for (const Span& s : Runs(set, protocol::kProgramImageSize)) out.outside.push_back(s);
  out.conflicts = Runs(clash, 0);
  image.resize(protocol::kProgramImageSize);
  out.image = std::move(image);
  return out;
}

std::string SpanText(const Span& span) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%04llX..0x%04llX",
                static_cast<unsigned long long>(uint32_t(span.first)),
                static_cast<unsigned long long>(uint32_t(span.last)));
  return text;
}

}  // namespace qelcomm
