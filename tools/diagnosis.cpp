#include "diagnosis.h"

#include <algorithm>
#include <optional>

#include "qelcomm/errors.h"
#include "qelcomm/protocol.h"

namespace qelctl {
namespace {
namespace sync = qelcomm::protocol::sync;
using Dir = qelcomm::TraceEvent::Direction;

// The whole reply a request gets, where it has a fixed length.
std::optional<size_t> ExpectedReply(const std::vector<uint8_t>& request) {
  if (request.empty()) return std::nullopt;
  switch (request[0]) {
    case sync::kRead:
    case sync::kReadExtended:
      return qelcomm::protocol::kReadReplySize;
    case sync::kIdentify:
      return qelcomm::protocol::kIdentifyReplySize;
    case sync::kDebug:
      return qelcomm::protocol::kDebugReplySize;
    case sync::kPageRead:
      return qelcomm::protocol::kPageTelegramSize;
    case sync::kQup:
      return qelcomm::protocol::kQupReplySize;
    case sync::kStatus:
      return std::nullopt;  // the motor says its own data length
    default:
      return qelcomm::protocol::kAcceptSize;  // write-type telegrams
  }
}

// Three equal sync bytes and, where there is one, a first field with its
// complement: what any reply starts with, and noise hardly ever does.
bool LooksLikeTelegram(const std::vector<uint8_t>& b) {
  if (b.size() < 3 || b[0] != b[1] || b[1] != b[2]) return false;
  return b.size() < 5 || b[4] == uint8_t(~b[3]);
}

bool StartsWith(const std::vector<uint8_t>& b, const std::vector<uint8_t>& prefix) {
  return !prefix.empty() && b.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), b.begin());
}

std::string Plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

void LineLog::Add(const qelcomm::TraceEvent& e) {
  const std::vector<uint8_t> bytes(e.data, e.data + e.size);
  if (e.direction == Dir::Sent) {
    attempts_.push_back({bytes, {}, {}});
  } else if (!attempts_.empty()) {
    auto& a = attempts_.back();
    auto& r = e.direction == Dir::Echoed ? a.echoed : a.received;
    r.insert(r.end(), bytes.begin(), bytes.end());
  }
}

std::string Diagnose(const LineLog& log, uint32_t code, bool echo) {
  const auto& attempts = log.attempts();
  if (attempts.empty()) return {};
  if (code == qelcomm::ERR_ECHO_MISMATCH) {
    if (attempts.back().echoed.empty()) return "no echo came back: leave out --echo";
    return "what came back first was not our request: if the adapter does not echo, leave out "
           "--echo";
  }
  const LineLog::Attempt* last = nullptr;
  for (const auto& a : attempts) {
    if (!echo && StartsWith(a.received, a.sent)) {
      return "the first " + std::to_string(a.sent.size()) +
             " bytes were our own request: the adapter echoes what it sends, try --echo";
    }
    if (!a.received.empty()) last = &a;
  }
  if (!last) {
    return "no reply within 100 ms (" + Plural(attempts.size(), "attempt") + ")";
  }
  if (!LooksLikeTelegram(last->received))
    return "replies look like noise: check the bit rate (--baud)";
  const auto expected = ExpectedReply(last->sent);
  if (expected && last->received.size() != *expected) {
    return Plural(last->received.size(), "byte") + " arrived where " + std::to_string(*expected) +
           " were expected";
  }
  return {};
}

std::string CheckWidth(const LineLog& log, int address) {
  if (log.attempts().empty()) return {};
  const auto& reply = log.attempts().back().received;
  if (reply.size() != qelcomm::protocol::kReadReplySize || (reply[13] == 0 && reply[15] == 0)) {
    return {};
  }
  const std::string a = std::to_string(address);
  return "a 16-bit register came back with high bytes set: is motor " + a +
         " a big motor? (--big " + a + ")";
}

}  // namespace qelctl
