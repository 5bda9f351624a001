// Whether a reply can reach the host within its window at the line's speed.
#include "qelcomm/diagnosis.h"
#include "qelcomm/errors.h"
#include "qelcomm/protocol.h"

namespace qelcomm {
namespace {

constexpr uint64_t kWindowMs = 100;    // the standard reply window
constexpr uint64_t kMarginMs = 20;     // for the motor's own turnaround
constexpr uint64_t kRoundToMs = 10;

// The whole reply `request` gets, where its kind fixes the length; 0 when
// unknown.
size_t ReplySize(const std::vector<uint8_t>& request) {
  if (request.empty()) return 0;
  const protocol::TelegramKind* kind = protocol::FindTelegram(request[0]);
  return kind ? kind->reply_size : 0;
}

}  // namespace

std::string WindowFit(const LineLog& log, uint32_t code, const WindowSetting& setting) {
  if (code != ERR_ANSWER_LENGTH && code != ERR_TIMEOUT) return {};
  if (log.attempts().empty() || setting.baud <= 0) return {};
  const LineLog::Attempt& last = log.attempts().back();
  const size_t bytes = ReplySize(last.sent);
  if (bytes == 0 || last.received.size() >= bytes) return {};
  const uint64_t wire_ms = uint64_t{bytes} * 10 * 1000 / uint64_t(setting.baud);
  const uint64_t window_ms = kWindowMs + setting.extra_window_ms;
  if (wire_ms <= window_ms) return {};
  const uint64_t missing = wire_ms - window_ms + kMarginMs;
  const uint64_t advice =
      setting.extra_window_ms + (missing + kRoundToMs - 1) / kRoundToMs * kRoundToMs;
  return "at " + std::to_string(setting.baud) + " bit/s a " + std::to_string(bytes) +
         "-byte reply takes " + std::to_string(wire_ms) + " ms, longer than the " +
         std::to_string(window_ms) + " ms window: try " + setting.extra_window + " " +
         std::to_string(advice);
}

}  // namespace qelcomm
