// The page reply and Qup reply checks over replies of their fixed lengths,
// each compared with a plain statement of a valid reply: accepted exactly
// when valid, with the data bytes of the reply, and every failure carrying
// one of its documented codes.
//
// Input: two bytes of page number (little endian), the 265-byte page reply,
// the 25-byte Qup reply; a short input is padded with zeros.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "check.h"
#include "module/replies.h"
#include "qelcomm/errors.h"

namespace {

namespace protocol = qelcomm::protocol;
using qelcomm::module::PageVerdict;
using qelcomm::module::QupData;

constexpr size_t kPageOffset = 2;
constexpr size_t kQupOffset = kPageOffset + protocol::kPageTelegramSize;
constexpr size_t kInputSize = kQupOffset + protocol::kQupReplySize;

uint8_t Inverted(uint8_t b) { return static_cast<uint8_t>(~b); }

// Pairs of a byte and its complement from `from` up to `to`, exclusive.
bool PairsValid(std::span<const uint8_t> r, size_t from, size_t to) {
  for (size_t i = from; i + 1 < to; i += 2) {
    if (r[i + 1] != Inverted(r[i])) return false;
  }
  return true;
}

bool FramedReply(std::span<const uint8_t> r, uint8_t sync) {
  const size_t n = r.size();
  return r[0] == sync && r[1] == sync && r[2] == sync && r[3] == 0x00 && r[4] == 0xFF &&
         PairsValid(r, 5, n - 2) && r[n - 2] == 0xAA && r[n - 1] == 0xAA;
}

void CheckPage(std::span<const uint8_t, protocol::kPageTelegramSize> r, int16_t page) {
  uint32_t code = 0;
  std::array<uint8_t, protocol::kPageSize> data{};
  const PageVerdict verdict = qelcomm::module::CheckPageReply(r, page, code, data);
  const bool valid = FramedReply(r, protocol::sync::kPage) && int16_t{r[5]} == page;
  FUZZ_CHECK((verdict == PageVerdict::kAccepted) == valid);
  FUZZ_CHECK((verdict == PageVerdict::kAccepted) == (code == 0));
  if (verdict == PageVerdict::kInversion) {
    FUZZ_CHECK(code == qelcomm::ERR_INVERSION);
    FUZZ_CHECK(!PairsValid(r, 7, 263));
  }
  if (verdict == PageVerdict::kRejected) {
    FUZZ_CHECK(code == qelcomm::ERR_START_SYNC || code == qelcomm::ERR_ADDRESS_MISMATCH ||
               code == qelcomm::ERR_PARAM_MISMATCH || code == qelcomm::ERR_END_SYNC);
  }
  if (valid) {
    for (size_t i = 0; i < data.size(); ++i) FUZZ_CHECK(data[i] == r[7 + 2 * i]);
  }
}

void CheckQup(std::span<const uint8_t, protocol::kQupReplySize> r) {
  uint32_t code = 0;
  QupData data{};
  const bool ok = qelcomm::module::CheckQupReply(r, code, data);
  const bool valid = FramedReply(r, protocol::sync::kQup) && r[5] == protocol::kQupDataSize;
  FUZZ_CHECK(ok == valid);
  FUZZ_CHECK(ok == (code == 0));
  FUZZ_CHECK(ok || code == qelcomm::ERR_BAD_ACCEPT || code == qelcomm::ERR_ADDRESS_MISMATCH ||
             code == qelcomm::ERR_LENGTH_MISMATCH || code == qelcomm::ERR_INVERSION ||
             code == qelcomm::ERR_END_SYNC);
  if (ok) {
    for (size_t i = 0; i < data.size(); ++i) FUZZ_CHECK(data[i] == r[7 + 2 * i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, kInputSize> in{};
  std::memcpy(in.data(), data, std::min(size, in.size()));
  const auto page = static_cast<int16_t>(in[0] | (in[1] << 8));
  CheckPage(std::span(in).subspan<kPageOffset, protocol::kPageTelegramSize>(), page);
  CheckQup(std::span(in).subspan<kQupOffset, protocol::kQupReplySize>());
  return 0;
}
