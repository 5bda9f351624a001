// qelgate's request handling: any PDU from a client, parsed and carried out
// on the virtual bus in virtual time.
//
// Input: the unit ID, then the PDU (function code and data).
//
// Parsing never reads past the PDU; a reply is an exception or words; a read
// gives exactly the words it asked for; writes and coils give none; the
// exception is one of the map's codes; and no request costs more virtual
// time than its exchanges' bound.
#include <cstdint>
#include <memory>
#include <span>

#include "check.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/virtual_port.h"
#include "request.h"
#include "serve.h"
#include "virtual_bus.h"

namespace {

using namespace qelgate;

struct Bench {
  Bench() {
    platform->AddLine("sim", std::make_shared<qelcomm::sim::SimPeer>());
    ctrl.SetPortName("sim");
    ctrl.SetRetries(1);
    ctrl.OpenPort();
    setup.big[2] = true;
  }
  std::shared_ptr<qelcomm::VirtualPlatform> platform = std::make_shared<qelcomm::VirtualPlatform>();
  qelcomm::CQelCommCtrl ctrl{platform};
  BusSetup setup;
};

bool KnownException(uint8_t e) {
  return e == exception::kIllegalFunction || e == exception::kIllegalAddress ||
         e == exception::kIllegalValue || e == exception::kDeviceFailure ||
         e == exception::kNoAnswer;
}

// The longest exchanges a request can make: a reset or a flash write with
// their waits, or 62 register pairs, in virtual milliseconds.
constexpr uint64_t kBoundMs = 30'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Bench bench;
  if (size < 1) return 0;
  const Parsed p = ParsePdu(data[0], std::span<const uint8_t>(data + 1, size - 1));
  if (p.exception != 0) {
    FUZZ_CHECK(KnownException(p.exception));
    return 0;
  }
  const uint64_t start = bench.platform->NowMs();
  BusLink bus(bench.ctrl, bench.setup);
  const Reply r = bus.Serve(p.request);
  FUZZ_CHECK(bench.platform->NowMs() - start <= kBoundMs);
  if (r.no_reply) return 0;
  if (r.exception != 0) {
    FUZZ_CHECK(KnownException(r.exception));
    FUZZ_CHECK(r.words.empty());
    return 0;
  }
  const uint8_t f = p.request.function;
  if (f == function::kReadHolding || f == function::kReadInput || f == function::kReadCoils) {
    FUZZ_CHECK(r.words.size() == p.request.count);
  } else {
    FUZZ_CHECK(r.words.empty());
  }
  return 0;
}
