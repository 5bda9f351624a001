// The accept waits through the real control, with the acceptance arriving in
// timed pieces: a motor write's single wait, and a module stop's waits
// within one window. The single wait is compared with a plain statement:
// it succeeds exactly when, at the first moment within the window that
// three or more bytes have come, exactly three have, all of them the accept
// byte. The module's waits succeed at least then, and may still succeed
// within their window afterwards. Every call ends within its window(s).
//
// Input: one selector byte (bit 0: the module stop), then pieces of reply:
// a delay in ms after the request, a length (bits 0-2) and that many bytes.
// Pieces arrive half a millisecond past their delay, so none meets a
// deadline on the same tick.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "check.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Piece {
  uint64_t delay_ms;
  Bytes bytes;
};

std::vector<Piece> Pieces(const uint8_t* data, size_t size) {
  std::vector<Piece> pieces;
  for (size_t i = 0; i + 1 < size;) {
    const uint64_t delay = data[i];
    const size_t n = std::min<size_t>(data[i + 1] & 7, size - i - 2);
    pieces.push_back({delay, Bytes(data + i + 2, data + i + 2 + n)});
    i += 2 + n;
  }
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.delay_ms < b.delay_ms; });
  return pieces;
}

class PiecesPeer : public qelcomm::VirtualPeer {
 public:
  explicit PiecesPeer(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {}
  void OnReceive(qelcomm::VirtualLine& line, const Bytes&, uint64_t now_us) override {
    const uint64_t tick_us = now_us / 1000 * 1000;
    for (const Piece& p : pieces_) {
      if (!p.bytes.empty()) line.Deliver(tick_us + p.delay_ms * 1000 + 500, p.bytes);
    }
  }

 private:
  std::vector<Piece> pieces_;
};

constexpr uint64_t kWindowMs = 100;

// Whether one wait over the window would take a good acceptance: pieces
// that arrive together are counted together.
bool FirstWaitAccepts(const std::vector<Piece>& pieces, uint8_t accept) {
  Bytes queued;
  for (size_t i = 0; i < pieces.size() && pieces[i].delay_ms < kWindowMs;) {
    const uint64_t at = pieces[i].delay_ms;
    for (; i < pieces.size() && pieces[i].delay_ms == at; ++i) {
      queued.insert(queued.end(), pieces[i].bytes.begin(), pieces[i].bytes.end());
    }
    if (queued.size() >= 3) return queued == Bytes(3, accept);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool module = (data[0] & 1) != 0;
  const std::vector<Piece> pieces = Pieces(data + 1, size - 1);
  auto platform = std::make_shared<qelcomm::VirtualPlatform>();
  platform->AddLine("vcom1", std::make_shared<PiecesPeer>(pieces), 1);
  qelcomm::CQelCommCtrl ctrl(platform);
  ctrl.SetComPort(1);
  ctrl.SetRetries(1);
  FUZZ_CHECK(ctrl.OpenPort());

  const uint64_t start_ms = platform->NowMs();
  const bool ok = module ? ctrl.VemoStop(1) : ctrl.WriteParameter(1, 2, 7);
  const uint64_t elapsed_ms = platform->NowMs() - start_ms;
  const auto code = static_cast<uint32_t>(ctrl.GetLastError());
  const bool first_accepts = FirstWaitAccepts(pieces, module ? 0x22 : 0x11);

  // The write's wire time at 19200 bit/s comes on top of the window.
  FUZZ_CHECK(elapsed_ms <= (module ? 2 : 1) * kWindowMs + 10);
  FUZZ_CHECK(code == 0 || code == qelcomm::ERR_ANSWER_LENGTH || code == qelcomm::ERR_BAD_ACCEPT);
  if (module) {
    FUZZ_CHECK(!first_accepts || ok);
    FUZZ_CHECK(ok || code != 0);
  } else {
    FUZZ_CHECK(ok == first_accepts);
    FUZZ_CHECK(ok == (code == 0));
  }
  return 0;
}
