#include "faults.h"

#include <algorithm>
#include <array>
#include <utility>

#include "qelcomm/protocol.h"
#include "wire.h"

namespace qelcomm::sim {
namespace {

constexpr std::array<std::pair<FaultKind, const char*>, 12> kNames{{
    {FaultKind::kNone, "none"},
    {FaultKind::kDrop, "drop"},
    {FaultKind::kCorrupt, "corrupt"},
    {FaultKind::kComplement, "complement"},
    {FaultKind::kWrongSync, "wrong-sync"},
    {FaultKind::kLate, "late"},
    {FaultKind::kSplit, "split"},
    {FaultKind::kNoiseBefore, "noise-before"},
    {FaultKind::kNoiseAfter, "noise-after"},
    {FaultKind::kBadAccept, "bad-accept"},
    {FaultKind::kChatter, "chatter"},
    {FaultKind::kVanish, "vanish"},
}};

// A non-zero XOR mask that does not turn `b` into an end-sync byte, which
// could end the host's end-sync scan early and hide the fault.
uint8_t Mask(Rng& rng, uint8_t b) {
  for (;;) {
    const auto m = static_cast<uint8_t>(1 + rng.Below(255));
    if ((b ^ m) != protocol::kEndSync) return m;
  }
}

bool Unchecked(const Reply& r, size_t pos) {
  return std::find(r.unchecked.begin(), r.unchecked.end(), pos) != r.unchecked.end();
}

// Positions of field bytes (offset 3, 5, ...) or of their complements
// (4, 6, ...) in a framed reply, without the unchecked ones.
std::vector<size_t> FramedPositions(const Reply& r, bool complements) {
  std::vector<size_t> out;
  for (size_t p = kSyncCount + (complements ? 1 : 0); p + 2 < r.bytes.size(); p += 2) {
    if (!Unchecked(r, p)) out.push_back(p);
  }
  return out;
}

}  // namespace

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
  for (const auto& [kind, n] : kNames) {
    if (name == n) return kind;
  }
  return std::nullopt;
}

const char* FaultName(FaultKind kind) {
  for (const auto& [k, n] : kNames) {
    if (k == kind) return n;
  }
  return "?";
}

std::vector<FaultKind> DefaultRandomKinds() {
  return {FaultKind::kDrop,       FaultKind::kCorrupt,     FaultKind::kComplement,
          FaultKind::kWrongSync,  FaultKind::kLate,        FaultKind::kSplit,
          FaultKind::kNoiseBefore, FaultKind::kNoiseAfter, FaultKind::kBadAccept};
}

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<uint8_t> NoiseBytes(Rng& rng, size_t n) {
  std::vector<uint8_t> out;
  while (out.size() < n) {
    const auto b = static_cast<uint8_t>(rng.Next());
    if (b == protocol::kEndSync) continue;
    if (out.size() >= 2 && out[out.size() - 1] == b && out[out.size() - 2] == b) continue;
    out.push_back(b);
  }
  return out;
}

std::vector<Piece> ApplyFault(FaultKind kind, const Reply& reply, Rng& rng,
                              const FaultTiming& timing) {
  std::vector<uint8_t> b = reply.bytes;
  const bool framed = reply.framed && b.size() >= kFrameOverhead;
  switch (kind) {
    case FaultKind::kNone:
    case FaultKind::kChatter:
      break;
    case FaultKind::kDrop:
    case FaultKind::kVanish:
      return {};
    case FaultKind::kCorrupt: {
      std::vector<size_t> candidates;
      for (size_t p = 0; p < b.size(); ++p) {
        if (!framed || !Unchecked(reply, p)) candidates.push_back(p);
      }
      const size_t p = candidates[static_cast<size_t>(rng.Below(candidates.size()))];
      b[p] ^= Mask(rng, b[p]);
      break;
    }
    case FaultKind::kComplement:
      if (framed) {
        auto positions = FramedPositions(reply, true);
        if (!positions.empty()) {
          const size_t p = positions[static_cast<size_t>(rng.Below(positions.size()))];
          b[p] ^= Mask(rng, b[p]);
          break;
        }
      }
      b.back() = static_cast<uint8_t>(b.back() + 1);  // an acceptance has no complement
      break;
    case FaultKind::kWrongSync: {
      const size_t n = framed ? kSyncCount : b.size();
      for (size_t i = 0; i < n; ++i) b[i] ^= 0x01;
      break;
    }
    case FaultKind::kBadAccept:
      if (!reply.framed && !b.empty()) b.back() = static_cast<uint8_t>(b.back() + 1);
      break;
    case FaultKind::kLate:
      return {{timing.late_us, std::move(b)}};
    case FaultKind::kSplit: {
      // Framed: after the start sync and address, then in the middle of the
      // rest on a field boundary. Acceptances: after the first byte.
      std::vector<size_t> cuts;
      constexpr size_t kHead = kSyncCount + 2;  // start sync and address
      if (framed && b.size() > kHead + 4) {
        cuts = {kHead, kHead + ((b.size() - kHead) / 4) * 2};
      } else if (b.size() > 1) {
        cuts = {1};
      }
      std::vector<Piece> pieces;
      size_t from = 0;
      uint64_t at = 0;
      cuts.push_back(b.size());
      for (size_t cut : cuts) {
        pieces.push_back({at, {b.begin() + static_cast<std::ptrdiff_t>(from),
                               b.begin() + static_cast<std::ptrdiff_t>(cut)}});
        from = cut;
        at += timing.split_pause_us;
      }
      return pieces;
    }
    case FaultKind::kNoiseBefore: {
      auto noise = NoiseBytes(rng, timing.noise_bytes);
      b.insert(b.begin(), noise.begin(), noise.end());
      break;
    }
    case FaultKind::kNoiseAfter: {
      auto noise = NoiseBytes(rng, timing.noise_bytes);
      b.insert(b.end(), noise.begin(), noise.end());
      break;
    }
  }
  return {{0, std::move(b)}};
}

}  // namespace qelcomm::sim
