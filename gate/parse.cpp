#include "request.h"

namespace qelgate {
namespace {

uint16_t Word(std::span<const uint8_t> pdu, size_t at) {
  return uint16_t((pdu[at] << 8) | pdu[at + 1]);
}

// The quantity limits of the protocol's read and write functions.
constexpr uint16_t kMaxReadWords = 125;
constexpr uint16_t kMaxWriteWords = 123;
constexpr uint16_t kMaxReadCoils = 2000;

Parsed Refused(uint8_t exc) {
  Parsed p;
  p.exception = exc;
  return p;
}

}  // namespace

Parsed ParsePdu(uint8_t unit, std::span<const uint8_t> pdu) {
  if (pdu.empty()) return Refused(exception::kIllegalFunction);
  Parsed p;
  Request& r = p.request;
  r.unit = unit;
  r.function = pdu[0];
  switch (r.function) {
    case function::kReadCoils:
    case function::kReadHolding:
    case function::kReadInput: {
      if (pdu.size() != 5) return Refused(exception::kIllegalValue);
      r.address = Word(pdu, 1);
      r.count = Word(pdu, 3);
      const uint16_t max = r.function == function::kReadCoils ? kMaxReadCoils : kMaxReadWords;
      if (r.count == 0 || r.count > max) return Refused(exception::kIllegalValue);
      return p;
    }
    case function::kWriteCoil: {
      if (pdu.size() != 5) return Refused(exception::kIllegalValue);
      r.address = Word(pdu, 1);
      const uint16_t v = Word(pdu, 3);
      if (v != 0xFF00 && v != 0x0000) return Refused(exception::kIllegalValue);
      r.count = 1;
      r.coil_on = v == 0xFF00;
      return p;
    }
    case function::kWriteRegister:
      // Every value is a pair of words: one word alone never fits.
      return Refused(exception::kIllegalAddress);
    case function::kWriteRegisters: {
      if (pdu.size() < 6) return Refused(exception::kIllegalValue);
      r.address = Word(pdu, 1);
      r.count = Word(pdu, 3);
      const size_t bytes = pdu[5];
      if (r.count == 0 || r.count > kMaxWriteWords || bytes != 2u * r.count ||
          pdu.size() != 6 + bytes) {
        return Refused(exception::kIllegalValue);
      }
      for (size_t i = 0; i < r.count; ++i) r.words.push_back(Word(pdu, 6 + 2 * i));
      return p;
    }
    default:
      return Refused(exception::kIllegalFunction);
  }
}

}  // namespace qelgate
