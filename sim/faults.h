// Reply faults: what can go wrong between a device and the host, applied to
// one reply at a time. Everything random comes from a seeded generator, so a
// run is reproducible from its seed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelcomm::sim {

enum class FaultKind {
  kNone,
  kDrop,         // no reply at all
  kCorrupt,      // one byte of the reply altered
  kComplement,   // one complement byte no longer the complement of its field
  kWrongSync,    // the start sync bytes altered (acceptances: all three bytes)
  kLate,         // the reply comes after the host's 100 ms window
  kSplit,        // the reply comes in pieces with pauses, each within 100 ms
  kNoiseBefore,  // stray bytes right before the reply
  kNoiseAfter,   // stray bytes right after the reply
  kBadAccept,    // an acceptance with a wrong last byte (11 11 12); framed replies unchanged
  kChatter,      // the reply goes out, then the line chatters until cleared
  kVanish,       // the device disappears instead of answering
};

std::optional<FaultKind> ParseFaultKind(std::string_view name);
const char* FaultName(FaultKind kind);
// The kinds that random fault injection uses unless told otherwise: all but
// chatter and vanish, which do not end by themselves.
std::vector<FaultKind> DefaultRandomKinds();

// splitmix64: small, fast, and the same sequence on every platform.
class Rng {
 public:
  explicit Rng(uint64_t seed = 1) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, n); n > 0.
  uint64_t Below(uint64_t n) { return Next() % n; }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  uint64_t state_;
};

struct FaultTiming {
  uint64_t late_us = 150'000;
  uint64_t split_pause_us = 60'000;
  uint64_t chatter_period_us = 5'000;
  size_t noise_bytes = 3;
};

// A reply as the device would send it.
struct Reply {
  std::vector<uint8_t> bytes;
  // True for a sync-framed telegram, false for an acceptance.
  bool framed = false;
  // Framed positions the host does not check (a fault there would go
  // unnoticed, so corrupt and complement avoid them).
  std::vector<size_t> unchecked;
};

// A part of a reply and its delay after the reply's start.
struct Piece {
  uint64_t offset_us = 0;
  std::vector<uint8_t> bytes;
};

// Applies `kind` to `reply`. Drop and vanish give no pieces; chatter gives
// the reply unchanged (the bus starts the chatter).
std::vector<Piece> ApplyFault(FaultKind kind, const Reply& reply, Rng& rng,
                              const FaultTiming& timing);

// Bytes that cannot be mistaken for a frame: no end sync, never three equal.
std::vector<uint8_t> NoiseBytes(Rng& rng, size_t n);

}  // namespace qelcomm::sim
