// The motor's replies through the real control, one attempt, the reply
// arriving at once: the register read reply check, the status reply read
// piece by piece, and the write's accept wait. Each is compared with a plain
// statement of a valid reply: accepted exactly when valid, with the values
// it carries, and every failure with one of its documented codes.
//
// Input: one selector byte (bits 0-1 the call, bits 2-4 the register of a
// read), then the reply.
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "check.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Reply = std::span<const uint8_t>;

class ReplyPeer : public qelcomm::VirtualPeer {
 public:
  explicit ReplyPeer(Reply reply) : reply_(reply.begin(), reply.end()) {}
  void OnReceive(qelcomm::VirtualLine& line, const Bytes&, uint64_t now_us) override {
    if (!reply_.empty()) line.Deliver(now_us + 1000, reply_);
  }

 private:
  Bytes reply_;
};

uint8_t Inverted(uint8_t b) { return static_cast<uint8_t>(~b); }

// Pairs of a byte and its complement at `from`, `count` of them.
bool PairsValid(Reply r, size_t from, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (r[from + 2 * i + 1] != Inverted(r[from + 2 * i])) return false;
  }
  return true;
}

bool OneOf(uint32_t code, const std::set<uint32_t>& codes) { return codes.count(code) != 0; }

struct Register {
  int16_t number;
  int16_t type;  // 0 unsigned 16-bit, 1 signed 16-bit, 2 signed 32-bit
};
// Standard and extended, of every type, on a standard motor.
constexpr Register kRegisters[] = {{2, 1}, {15, 0}, {3, 2}, {257, 1}, {356, 2}, {2, 1}, {15, 0}, {3, 2}};

void CheckRead(qelcomm::CQelCommCtrl& ctrl, Register reg, Reply r) {
  int32_t value = 0x5A5A5A5A;
  const bool ok = ctrl.ReadParameter(1, reg.number, value);
  const auto code = static_cast<uint32_t>(ctrl.GetLastError());
  const bool extended = reg.number > 256;
  const auto wire = static_cast<uint8_t>(extended ? reg.number - 256 : reg.number);
  const uint8_t sync = extended ? 0x5B : 0x52;
  const bool sized = r.size() == 19;
  const bool valid = sized && r[0] == sync && r[1] == sync && r[2] == sync && r[3] == 0 &&
                     r[4] == 0xFF && r[5] == wire && r[6] == Inverted(wire) && r[7] == 4 &&
                     r[8] == 0xFB && PairsValid(r, 9, 4) && r[17] == 0xAA && r[18] == 0xAA;
  FUZZ_CHECK(ok == valid);
  if (!ok) {
    FUZZ_CHECK(value == 0x5A5A5A5A);
    FUZZ_CHECK(sized ? OneOf(code, {qelcomm::ERR_START_SYNC, qelcomm::ERR_ADDRESS_MISMATCH,
                                    qelcomm::ERR_PARAM_MISMATCH, qelcomm::ERR_LENGTH_MISMATCH,
                                    qelcomm::ERR_INVERSION, qelcomm::ERR_END_SYNC})
                     : code == qelcomm::ERR_ANSWER_LENGTH);
    return;
  }
  FUZZ_CHECK(code == 0);
  const uint32_t raw = r[9] | r[11] << 8 | uint32_t{r[13]} << 16 | uint32_t{r[15]} << 24;
  const int32_t want = reg.type == 2   ? static_cast<int32_t>(raw)
                       : reg.type == 1 ? int32_t{static_cast<int16_t>(raw)}
                                       : int32_t{static_cast<uint16_t>(raw)};
  FUZZ_CHECK(value == want);
}

// Start sync, ten pairs (address 0, data length, status word, position,
// error count, spare), as many more pairs as the length has beyond eight
// (counted modulo 256), end sync; whatever follows is left alone.
void CheckStatus(qelcomm::CQelCommCtrl& ctrl, Reply r) {
  int16_t status = 0, errors = 0;
  int32_t position = 0;
  const bool ok = ctrl.ReadStatus(1, status, position, errors);
  const auto code = static_cast<uint32_t>(ctrl.GetLastError());
  bool valid = r.size() >= 25 && r[0] == 0x58 && r[1] == 0x58 && r[2] == 0x58 && r[3] == 0;
  const size_t pairs = valid ? 10 + static_cast<uint8_t>(r[5] - 8) : 0;
  const size_t end = 3 + 2 * pairs;
  valid = valid && r.size() >= end + 2 && PairsValid(r, 3, pairs) && r[end] == 0xAA &&
          r[end + 1] == 0xAA;
  FUZZ_CHECK(ok == valid);
  FUZZ_CHECK(ok ? code == 0
                : OneOf(code, {qelcomm::ERR_ANSWER_LENGTH, qelcomm::ERR_ADDRESS_MISMATCH,
                               qelcomm::ERR_UNSPECIFIED}));
  if (ok) {
    FUZZ_CHECK(status == static_cast<int16_t>(r[7] | r[9] << 8));
    FUZZ_CHECK(position == static_cast<int32_t>(r[11] | r[13] << 8 | uint32_t{r[15]} << 16 |
                                                uint32_t{r[17]} << 24));
    FUZZ_CHECK(errors == r[19]);
  }
}

// Exactly three bytes, each 0x11.
void CheckWrite(qelcomm::CQelCommCtrl& ctrl, Reply r) {
  const bool ok = ctrl.WriteParameter(1, 2, 7);
  const auto code = static_cast<uint32_t>(ctrl.GetLastError());
  const bool sized = r.size() == 3;
  FUZZ_CHECK(ok == (sized && r[0] == 0x11 && r[1] == 0x11 && r[2] == 0x11));
  FUZZ_CHECK(ok ? code == 0 : code == (sized ? qelcomm::ERR_BAD_ACCEPT : qelcomm::ERR_ANSWER_LENGTH));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const Reply reply(data + 1, size - 1);
  auto platform = std::make_shared<qelcomm::VirtualPlatform>();
  platform->AddLine("vcom1", std::make_shared<ReplyPeer>(reply), 1);
  qelcomm::CQelCommCtrl ctrl(platform);
  ctrl.SetComPort(1);
  ctrl.SetRetries(1);
  FUZZ_CHECK(ctrl.OpenPort());
  switch (selector & 3) {
    case 0:
    case 1:
      CheckRead(ctrl, kRegisters[selector >> 2 & 7], reply);
      break;
    case 2:
      CheckStatus(ctrl, reply);
      break;
    default:
      CheckWrite(ctrl, reply);
      break;
  }
  return 0;
}
