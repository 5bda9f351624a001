// The end-sync scan fed byte by byte, as the exchange feeds it, checked
// against a plain model: the reply ends at the first 0xAA 0xAA, the buffer
// takes at most 100 bytes, and input that has neither is still waiting.
// The identification and debug checks then judge what was scanned, as
// GetModuleType and VemoDebug do.
#include <cstdint>
#include <span>

#include "check.h"
#include "link/exchange.h"
#include "module/replies.h"
#include "qelcomm/errors.h"

namespace {

using qelcomm::link::kScanBufferSize;
using qelcomm::link::ScannedReply;
using Outcome = ScannedReply::Outcome;

// Where the model says the scan stops, and why.
struct Expected {
  Outcome outcome;
  size_t length;
};

Expected Model(std::span<const uint8_t> in) {
  for (size_t i = 1; i < in.size() && i < kScanBufferSize; ++i) {
    if (in[i - 1] == 0xAA && in[i] == 0xAA) return {Outcome::kComplete, i + 1};
  }
  if (in.size() >= kScanBufferSize) return {Outcome::kOverflow, kScanBufferSize};
  return {Outcome::kTimeout, in.size()};
}

bool IsOneOf(uint32_t code, std::initializer_list<uint32_t> codes) {
  for (uint32_t c : codes) {
    if (code == c) return true;
  }
  return false;
}

void JudgeIdentify(std::span<const uint8_t> before_end_sync) {
  uint32_t code = 0;
  int16_t type = -1;
  int16_t firmware = -1;
  const bool ok = qelcomm::module::CheckIdentifyReply(before_end_sync, code, type, firmware);
  FUZZ_CHECK(ok == (code == 0));
  FUZZ_CHECK(code == 0 || IsOneOf(code, {qelcomm::ERR_START_SYNC, qelcomm::ERR_ADDRESS_MISMATCH,
                                         qelcomm::ERR_INVERSION}));
  // A field the reply does not reach stays unwritten.
  FUZZ_CHECK((type == -1) == (before_end_sync.size() <= 7));
  FUZZ_CHECK((firmware == -1) == (before_end_sync.size() <= 9));
  FUZZ_CHECK(type >= -1 && type <= 255 && firmware >= -1 && firmware <= 255);
}

void JudgeDebug(std::span<const uint8_t> reply) {
  uint32_t code = 0;
  int16_t state = -1, inputs = -1, outputs = -1, mode = -1;
  int32_t time = -1, count = -1;
  const bool ok = qelcomm::module::CheckDebugReply(
      reply, code, {state, inputs, outputs, time, count, mode});
  FUZZ_CHECK(ok == (code == 0));
  FUZZ_CHECK(!ok || reply.size() == qelcomm::protocol::kDebugReplySize);
  FUZZ_CHECK(ok || IsOneOf(code, {qelcomm::ERR_ANSWER_LENGTH, qelcomm::ERR_START_SYNC,
                                  qelcomm::ERR_ADDRESS_MISMATCH, qelcomm::ERR_INVERSION}));
  if (ok) {
    FUZZ_CHECK(state >= 0 && inputs >= 0 && outputs >= 0 && mode >= 0);
    FUZZ_CHECK(time >= 0 && time <= 0xFFFF && count >= 0 && count <= 0xFFFF);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  ScannedReply reply;
  for (uint8_t b : in) {
    if (reply.Take(b)) break;
  }
  const Expected want = Model(in);
  FUZZ_CHECK(reply.length <= kScanBufferSize);
  FUZZ_CHECK(reply.outcome == want.outcome);
  FUZZ_CHECK(reply.length == want.length);
  if (reply.outcome == Outcome::kTimeout) return 0;
  if (reply.outcome == Outcome::kComplete) JudgeIdentify(reply.view().first(reply.length - 2));
  // A full buffer is judged too: it is a debug reply of the wrong length.
  JudgeDebug(reply.view());
  return 0;
}
