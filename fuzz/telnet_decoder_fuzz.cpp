// The Telnet decoder on arbitrary server bytes. It must give the same data,
// answers and option state however the stream is cut, never more data than
// it was given, and an escaped telegram must come back exactly.
#include <cstdint>
#include <vector>

#include "check.h"
#include "platform/net/telnet_codec.h"

namespace {

using qelcomm::net::TelnetClient;
using Bytes = std::vector<uint8_t>;

struct Decoded {
  Bytes data, reply;
  TelnetClient codec;
};

void FeedInPieces(Decoded& d, const uint8_t* in, size_t n, size_t piece) {
  for (size_t at = 0; at < n; at += piece)
    d.codec.Feed(in + at, n - at < piece ? n - at : piece, d.data, d.reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t n) {
  Decoded whole, cut;
  FeedInPieces(whole, in, n, n == 0 ? 1 : n);
  FeedInPieces(cut, in, n, n == 0 ? 1 : size_t(in[0] % 7) + 1);
  FUZZ_CHECK(whole.data == cut.data);
  FUZZ_CHECK(whole.reply == cut.reply);
  FUZZ_CHECK(whole.codec.com_port() == cut.codec.com_port());
  FUZZ_CHECK(whole.codec.baud_reply() == cut.codec.baud_reply());
  FUZZ_CHECK(whole.data.size() <= n);
  // Each answer is three bytes and takes a three-byte negotiation.
  FUZZ_CHECK(whole.reply.size() <= n);

  Bytes escaped;
  qelcomm::net::AppendEscaped(escaped, in, n);
  Decoded back;
  back.codec.Feed(escaped.data(), escaped.size(), back.data, back.reply);
  FUZZ_CHECK(back.data == Bytes(in, in + n));
  FUZZ_CHECK(back.reply.empty());
  return 0;
}
