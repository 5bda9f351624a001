// The real control on a virtual line whose device answers every request
// with bytes taken from the fuzzer's input: the accept waits, the fixed-
// length and page receive waits and the end-sync scan, with their retries,
// in virtual time.
//
// Input: one byte for Retries (1 to 3), then one stream read by both sides.
// The harness reads an operation byte and makes that call; the device reads,
// per request, a reply header (two bytes of length, little endian, up to
// 511; one timing byte: delay in ms in bits 0-6, bit 7 = one byte per
// 19200 bit/s byte time) and the reply bytes. An empty stream is silence.
//
// Every call must end within its documented time, make between one and
// Retries sends (the write command aside), and leave VemoGet's Data either
// a whole page or untouched.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "check.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Stream {
 public:
  Stream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ == size_; }
  uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
  Bytes Take(size_t n) {
    n = std::min(n, size_ - pos_);
    Bytes out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint64_t kByteUs = 521;  // one byte at 19200 bit/s

class StreamPeer : public qelcomm::VirtualPeer {
 public:
  explicit StreamPeer(Stream& stream) : stream_(stream) {}
  void OnReceive(qelcomm::VirtualLine& line, const Bytes&, uint64_t now_us) override {
    ++sends;
    if (stream_.empty()) return;
    const size_t length = (stream_.Byte() | size_t{stream_.Byte()} << 8) & 0x1FF;
    const uint8_t timing = stream_.Byte();
    Bytes reply = stream_.Take(length);
    uint64_t at = now_us + uint64_t{timing & 0x7Fu} * 1000;
    if ((timing & 0x80) == 0) {
      line.Deliver(at, std::move(reply));
      return;
    }
    for (uint8_t b : reply) line.Deliver(at += kByteUs, {b});
  }

  size_t sends = 0;  // writes of the host

 private:
  Stream& stream_;
};

struct Bench {
  explicit Bench(Stream& stream) : peer(std::make_shared<StreamPeer>(stream)) {
    platform->AddLine("vcom1", peer, 1);
    ctrl.SetComPort(1);
    ctrl.SetBaud(19200);
    // Every block the control reports must be readable for its whole length.
    ctrl.SetTrace([this](const qelcomm::TraceEvent& e) {
      for (size_t i = 0; i < e.size; ++i) trace_sum += e.data[i];
    });
  }
  std::shared_ptr<qelcomm::VirtualPlatform> platform =
      std::make_shared<qelcomm::VirtualPlatform>();
  std::shared_ptr<StreamPeer> peer;
  qelcomm::CQelCommCtrl ctrl{platform};
  unsigned trace_sum = 0;
};

// What one call may cost at most, per attempt, in ms: a reply window, or two
// for the accept loops, or the page wait that grows with the reply.
constexpr uint64_t kWindowMs = 100;
constexpr uint64_t kSlackMs = 5;
constexpr uint64_t kPageWaitMs = kWindowMs + 2 * 139;  // 265 bytes at 19200 bit/s, twice

struct Limits {
  uint64_t ms;
  size_t max_sends;
};

Limits Call(qelcomm::CQelCommCtrl& ctrl, uint8_t op, int retries) {
  const auto r = static_cast<uint64_t>(retries);
  const size_t sends = static_cast<size_t>(retries);
  int32_t value = 0;
  int16_t a = 0, b = 0, c = 0, mode = 0, noop = 0;
  int32_t time = 0, count = 0;
  switch (op % 8) {
    case 0:
      ctrl.ReadParameter(1, 2, value);
      return {r * (kWindowMs + kSlackMs), sends};
    case 1:
      if (ctrl.GetModuleType(1, a, b)) FUZZ_CHECK(a >= 0 && a <= 255 && b >= 0 && b <= 255);
      return {r * (kWindowMs + kSlackMs), sends};
    case 2: {
      Bytes data{1, 2, 3};
      const bool ok = ctrl.VemoGet(1, static_cast<int16_t>(op >> 3 & 3), data);
      FUZZ_CHECK(ok ? data.size() == 128 : data == Bytes({1, 2, 3}));
      return {r * (kPageWaitMs + kSlackMs), sends};
    }
    case 3:
      ctrl.QupNOOP(1, noop);
      return {r * (kWindowMs + kSlackMs), sends};
    case 4:
      ctrl.VemoStop(1);
      return {r * (2 * kWindowMs + kSlackMs), sends};
    case 5:
      ctrl.VemoDebug(1, a, b, c, time, count, mode);
      return {r * (kWindowMs + kSlackMs), sends};
    case 6:
      ctrl.VemoPut(1, 0, Bytes(128, 0x5A));
      return {r * (2 * kWindowMs + kSlackMs), sends};
    default:
      // The accept, then up to 7 s of probes, of which the last may start
      // at the deadline and take all its attempts.
      ctrl.VemoWrite(255);
      return {r * (kWindowMs + 7000 + r * kWindowMs + 2 * kSlackMs), SIZE_MAX};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Stream stream(data, size);
  const int retries = 1 + stream.Byte() % 3;
  Bench bench(stream);
  bench.ctrl.SetRetries(static_cast<int16_t>(retries));
  FUZZ_CHECK(bench.ctrl.OpenPort());
  while (!stream.empty()) {
    const uint8_t op = stream.Byte();
    const uint64_t start_ms = bench.platform->NowMs();
    const size_t sends_before = bench.peer->sends;
    const Limits limits = Call(bench.ctrl, op, retries);
    const size_t sends = bench.peer->sends - sends_before;
    FUZZ_CHECK(bench.platform->NowMs() - start_ms <= limits.ms);
    FUZZ_CHECK(sends >= 1 && sends <= limits.max_sends);
  }
  return 0;
}
