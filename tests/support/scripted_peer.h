// A scripted device for protocol tests: each telegram the host writes takes
// the next step of the script, whose reply pieces arrive after the given
// delays. An exhausted script stays silent.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qelcomm/virtual_port.h"

namespace qelcomm::testing {

using Bytes = std::vector<uint8_t>;

struct Piece {
  uint32_t delay_us;  // after the previous piece, or after the request
  Bytes bytes;
};

class ScriptedPeer : public VirtualPeer {
 public:
  // Adds a step answering the next request with `reply` after `delay_ms`.
  ScriptedPeer& Reply(Bytes reply, uint32_t delay_ms = 2) {
    steps_.push_back({{Piece{delay_ms * 1000, std::move(reply)}}});
    return *this;
  }
  ScriptedPeer& ReplyInPieces(std::vector<Piece> pieces) {
    steps_.push_back({std::move(pieces)});
    return *this;
  }
  ScriptedPeer& Silence(int times = 1) {
    for (int i = 0; i < times; ++i) steps_.push_back({});
    return *this;
  }
  // Sends one byte every `period_ms` from now on (0 stops).
  void Chatter(uint32_t period_ms, uint64_t now_us) {
    chatter_period_us_ = uint64_t{period_ms} * 1000;
    next_chatter_us_ = now_us + chatter_period_us_;
  }

  // Answers requests once the script is used up; nullopt = silence.
  using Responder = std::function<std::optional<Bytes>(const Bytes& request)>;
  void SetResponder(Responder r, uint32_t delay_us = 2000) {
    responder_ = std::move(r);
    responder_delay_us_ = delay_us;
  }

  void OnReceive(VirtualLine& line, const Bytes& request, uint64_t now_us) override {
    if (steps_.empty()) {
      if (!responder_) return;
      if (auto reply = responder_(request)) line.Deliver(now_us + responder_delay_us_, std::move(*reply));
      return;
    }
    uint64_t at = now_us;
    for (Piece& piece : steps_.front().pieces) {
      at += piece.delay_us;
      line.Deliver(at, piece.bytes);
    }
    steps_.pop_front();
  }
  uint64_t NextWakeUs() const override {
    return chatter_period_us_ ? next_chatter_us_ : UINT64_MAX;
  }
  void OnWake(VirtualLine& line, uint64_t now_us) override {
    line.Deliver(now_us, {0x55});
    next_chatter_us_ += chatter_period_us_;
  }
  size_t StepsLeft() const { return steps_.size(); }

 private:
  struct Step {
    std::vector<Piece> pieces;
  };
  std::deque<Step> steps_;
  Responder responder_;
  uint32_t responder_delay_us_ = 2000;
  uint64_t chatter_period_us_ = 0;
  uint64_t next_chatter_us_ = 0;
};

// A correct 19-byte read reply carrying `value` for register byte `reg`.
inline Bytes ReadReply(uint8_t reg, uint32_t value, uint8_t sync = 0x52) {
  Bytes r{sync, sync, sync, 0x00, 0xFF, reg, uint8_t(~reg), 0x04, 0xFB};
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = uint8_t(value >> (8 * i));
    r.push_back(b);
    r.push_back(uint8_t(~b));
  }
  r.push_back(0xAA);
  r.push_back(0xAA);
  return r;
}

inline const Bytes kAccept{0x11, 0x11, 0x11};

}  // namespace qelcomm::testing
