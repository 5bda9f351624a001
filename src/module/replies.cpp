#include "module/replies.h"

#include "link/telegram.h"
#include "qelcomm/errors.h"

namespace qelcomm::module {
namespace {

using link::Complement;
using protocol::kEndSync;
using protocol::kReplyAddress;

// Records failures; the last one recorded stays in `code`.
struct Verdict {
  uint32_t& code;
  bool ok = true;
  void Fail(uint32_t c) {
    code = c;
    ok = false;
  }
  void Require(bool condition, uint32_t c) {
    if (!condition) Fail(c);
  }
};

}  // namespace

bool CheckIdentifyReply(std::span<const uint8_t> r, uint32_t& code, int16_t& module_type,
                        int16_t& firmware) {
  Verdict v{code};
  const size_t n = r.size();
  for (size_t i = 0; i < 3 && i < n; ++i) v.Require(r[i] == protocol::sync::kIdentify, ERR_START_SYNC);
  if (n > 3) v.Require(r[3] == kReplyAddress, ERR_ADDRESS_MISMATCH);
  if (n > 4) v.Require(r[4] == Complement(kReplyAddress), ERR_INVERSION);
  if (n > 7) module_type = r[7];
  if (n > 8) v.Require(r[8] == Complement(r[7]), ERR_INVERSION);
  if (n > 9) firmware = r[9];
  if (n > 10) v.Require(r[10] == Complement(r[9]), ERR_INVERSION);
  return v.ok;
}

bool CheckDebugReply(std::span<const uint8_t> r, uint32_t& code, const DebugValues& out) {
  auto fail = [&](uint32_t c) {
    code = c;
    return false;
  };
  if (r.size() != protocol::kDebugReplySize) return fail(ERR_ANSWER_LENGTH);
  for (size_t i = 0; i < 3; ++i) {
    if (r[i] != protocol::sync::kDebug) return fail(ERR_START_SYNC);
  }
  if (r[3] != kReplyAddress || r[4] != Complement(kReplyAddress)) return fail(ERR_ADDRESS_MISMATCH);
  // A one-byte field is delivered before its complement is tested.
  auto byte_field = [&](size_t at, int16_t& to) {
    to = r[at];
    return r[at + 1] == Complement(r[at]);
  };
  // A two-byte field is delivered only once both complements passed.
  auto word_field = [&](size_t at, int32_t& to) {
    if (r[at + 1] != Complement(r[at]) || r[at + 3] != Complement(r[at + 2])) return false;
    to = r[at] + 256 * r[at + 2];
    return true;
  };
  if (!byte_field(5, out.state) || !byte_field(7, out.inputs) || !byte_field(9, out.outputs) ||
      !word_field(11, out.time) || !word_field(15, out.count) || !byte_field(19, out.mode_cmd)) {
    return fail(ERR_INVERSION);
  }
  return true;
}

PageVerdict CheckPageReply(std::span<const uint8_t, protocol::kPageTelegramSize> r, int16_t page,
                           uint32_t& code, std::span<uint8_t, protocol::kPageSize> data) {
  Verdict v{code};
  for (size_t i = 0; i < 3; ++i) v.Require(r[i] == protocol::sync::kPage, ERR_START_SYNC);
  v.Require(r[3] == kReplyAddress, ERR_ADDRESS_MISMATCH);
  v.Require(r[4] == Complement(kReplyAddress), ERR_ADDRESS_MISMATCH);
  // The page byte is compared with the whole 16-bit page number, so page
  // 258 never matches its wire byte 2.
  v.Require(int16_t{r[5]} == page, ERR_PARAM_MISMATCH);
  v.Require(r[6] == Complement(link::LowByte(page)), ERR_PARAM_MISMATCH);
  for (size_t i = 0; i < protocol::kPageSize; ++i) {
    data[i] = r[7 + 2 * i];
    if (r[8 + 2 * i] != Complement(data[i])) {
      code = ERR_INVERSION;
      return PageVerdict::kInversion;
    }
  }
  v.Require(r[263] == kEndSync, ERR_END_SYNC);
  v.Require(r[264] == kEndSync, ERR_END_SYNC);
  return v.ok ? PageVerdict::kAccepted : PageVerdict::kRejected;
}

bool CheckQupReply(std::span<const uint8_t, protocol::kQupReplySize> r, uint32_t& code,
                   QupData& data) {
  Verdict v{code};
  // A wrong start byte reads as a bad acceptance, as the module family has
  // always reported it.
  for (size_t i = 0; i < 3; ++i) v.Require(r[i] == protocol::sync::kQup, ERR_BAD_ACCEPT);
  v.Require(r[3] == kReplyAddress, ERR_ADDRESS_MISMATCH);
  v.Require(r[4] == Complement(kReplyAddress), ERR_ADDRESS_MISMATCH);
  v.Require(r[5] == protocol::kQupDataSize, ERR_LENGTH_MISMATCH);
  v.Require(r[6] == Complement(uint8_t{protocol::kQupDataSize}), ERR_LENGTH_MISMATCH);
  // A wrong complement does not advance: the next odd position fills the
  // same data byte again.
  size_t m = 0;
  for (size_t pos = 7; pos < r.size(); ++pos) {
    if (m == data.size()) {
      v.Require(r[pos] == kEndSync, ERR_END_SYNC);
    } else if (pos % 2 == 1) {
      data[m] = r[pos];
    } else if (r[pos] == Complement(data[m])) {
      ++m;
    } else {
      v.Fail(ERR_INVERSION);
    }
  }
  // Running out of positions before eight data bytes were accepted has
  // already failed at least one complement.
  return v.ok;
}

}  // namespace qelcomm::module
