#include "qelcomm/diagnosis.h"

#include <algorithm>
#include <optional>

#include "qelcomm/errors.h"
#include "qelcomm/protocol.h"
#include "qelcomm/telegram_text.h"

namespace qelcomm {
namespace {
using Dir = TraceEvent::Direction;

// The whole reply a request gets, where the protocol fixes its length.
std::optional<size_t> ExpectedReply(const std::vector<uint8_t>& request) {
  if (request.empty()) return std::nullopt;
  const protocol::TelegramKind* kind = protocol::FindTelegram(request[0]);
  if (kind == nullptr || kind->reply_size == 0) return std::nullopt;  // unknown, or it varies
  return kind->reply_size;
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

// A reply that starts as one (its first sync bytes agree) and then goes
// wrong was damaged on its way: a wrong bit rate garbles every byte.
std::string DamagedReply(const std::vector<uint8_t>& b) {
  if (b.size() < 3 || b[0] != b[1]) return {};
  const std::string fault = FindTelegramFault(false, b);
  if (fault.empty()) return {};
  return "a reply came back damaged (" + fault + "): a fault on the line or in the device";
}

// The register field of a register request or reply.
constexpr size_t kRegisterField = 5;

// A whole reply that answers `earlier` and not `request`: a register reply
// naming the earlier request's register, of the same kind of request.
bool AnswersEarlier(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& request,
                    const std::vector<uint8_t>& earlier) {
  if (earlier.size() <= kRegisterField || request.size() <= kRegisterField ||
      reply.size() <= kRegisterField || earlier[0] != request[0]) {
    return false;
  }
  if (!FindTelegramFault(false, reply).empty() ||
      DescribeTelegram(false, reply, false).empty()) {
    return false;
  }
  return reply[kRegisterField] == earlier[kRegisterField] &&
         reply[kRegisterField] != request[kRegisterField];
}

// A reply that cannot fit its window is advised this much more, for the
// motor's own turnaround, in steps of kAdviceStepMs.
constexpr uint64_t kAdviceMarginMs = 20;
constexpr uint64_t kAdviceStepMs = 10;

// The extra window to advise when `missing_ms` more were needed.
uint64_t AdvisedExtraMs(uint64_t extra_ms, uint64_t missing_ms) {
  const uint64_t more = missing_ms + kAdviceMarginMs;
  return extra_ms + (more + kAdviceStepMs - 1) / kAdviceStepMs * kAdviceStepMs;
}

// A reply that came after its own window and was taken for this call's.
// How late it came tells how much wider the window would have to be: a
// remote line's round trip, or a slow motor.
std::string LateReply(const LineLog& log, const CallSetting& setting) {
  const std::vector<uint8_t>& earlier = log.previous_request();
  for (const auto& a : log.attempts()) {
    if (!AnswersEarlier(a.received, a.sent, earlier)) continue;
    std::string text = "a late reply: it answers the previous request (" +
                       DescribeTelegram(true, earlier, false) + "), which the device answered ";
    const uint64_t after_ms = a.first_received_ms - log.previous_request_ms();
    const WindowSetting window = setting.window.value_or(WindowSetting{});
    const uint64_t window_ms = protocol::kReplyWindowMs + window.extra_window_ms;
    if (a.first_received_ms < log.previous_request_ms() || after_ms <= window_ms) {
      return text + "after its window";
    }
    return text + std::to_string(after_ms) + " ms after it was sent, beyond the " +
           std::to_string(window_ms) + " ms window: try " + window.extra_window + " " +
           std::to_string(AdvisedExtraMs(window.extra_window_ms, after_ms - window_ms));
  }
  return {};
}

// The read reply's data bytes 3 and 4: zero for a 16-bit register.
constexpr size_t kHighBytes[] = {13, 15};


}  // namespace

void LineLog::Add(const TraceEvent& e) {
  const std::vector<uint8_t> bytes(e.data, e.data + e.size);
  if (e.direction == Dir::Sent) {
    attempts_.push_back({bytes, {}, {}, e.time_ms, 0});
  } else if (attempts_.empty()) {
    unrequested_.insert(unrequested_.end(), bytes.begin(), bytes.end());
  } else {
    auto& a = attempts_.back();
    auto& r = e.direction == Dir::Echoed ? a.echoed : a.received;
    if (&r == &a.received && r.empty()) a.first_received_ms = e.time_ms;
    r.insert(r.end(), bytes.begin(), bytes.end());
  }
}

namespace {

// The OS errors a user can act on, in words.
std::string OsErrorWords(const CallSetting& s) {
  constexpr std::string_view kRfc2217 = "rfc2217://";
  const bool rfc2217 = s.port.starts_with(kRfc2217);
  const std::string try_tcp =
      rfc2217 ? ": not an RFC 2217 server? try tcp://" + s.port.substr(kRfc2217.size()) : "";
  switch (s.os_error) {
    case OsErrorKind::kBusy: return "another program has " + s.port + " open";
    case OsErrorKind::kHostNotFound: return "the host name in " + s.port + " does not resolve";
    case OsErrorKind::kTimedOut:
      if (!rfc2217) return "no connection to " + s.port + " in time";
      return "no connection in time, or the server did not answer the COM-PORT negotiation" +
             try_tcp;
    case OsErrorKind::kUnsupported:
      return rfc2217 ? "the server refused the COM-PORT option" + try_tcp : "";
    case OsErrorKind::kClosedByServer:
      return "the server closed the connection: a server that serves one client at a time drops "
             "a second, is another program connected to " + s.port + "?";
    case OsErrorKind::kOther: break;
  }
  return {};
}

}  // namespace

std::string Diagnose(const LineLog& log, uint32_t code, const CallSetting& setting) {
  if (std::string words = OsErrorWords(setting); !words.empty()) return words;
  const auto& attempts = log.attempts();
  const DiagnosisTerms& terms = setting.terms;
  if (code == ERR_PORT_INIT && !log.unrequested().empty()) {
    return "the line never went quiet (" + Plural(log.unrequested().size(), "byte") +
           " came in while the port opened): another device is talking, or the bit rate is "
           "wrong (" + terms.bit_rate + ")";
  }
  if (attempts.empty()) return {};
  if (setting.window) {
    if (std::string fit = WindowFit(log, code, *setting.window); !fit.empty()) return fit;
  }
  if (code == ERR_ECHO_MISMATCH) {
    if (attempts.back().echoed.empty()) return "no echo came back: leave out " + terms.echo;
    return "what came back first was not our request: if the adapter does not echo, leave out " +
           terms.echo;
  }
  const LineLog::Attempt* last = nullptr;
  for (const auto& a : attempts) {
    if (!setting.echo && StartsWith(a.received, a.sent)) {
      return "the first " + std::to_string(a.sent.size()) +
             " bytes were our own request: the adapter echoes what it sends, try " + terms.echo;
    }
    if (!a.received.empty()) last = &a;
  }
  if (!last) {
    const uint32_t window_ms =
        protocol::kReplyWindowMs + (setting.window ? setting.window->extra_window_ms : 0);
    return "no reply within " + std::to_string(window_ms) + " ms (" +
           Plural(attempts.size(), "attempt") + ")";
  }
  if (std::string late = LateReply(log, setting); !late.empty()) return late;
  if (std::string damaged = DamagedReply(last->received); !damaged.empty()) return damaged;
  if (!LooksLikeTelegram(last->received)) {
    return "replies look like noise: check the bit rate (" + terms.bit_rate + ")";
  }
  const auto expected = ExpectedReply(last->sent);
  if (expected && last->received.size() != *expected) {
    return Plural(last->received.size(), "byte") + " arrived where " + std::to_string(*expected) +
           " were expected";
  }
  return {};
}

std::string CheckWidth(const LineLog& log, int address, const DiagnosisTerms& terms) {
  if (log.attempts().empty()) return {};
  const auto& reply = log.attempts().back().received;
  if (reply.size() != protocol::kReadReplySize ||
      (reply[kHighBytes[0]] == 0 && reply[kHighBytes[1]] == 0)) {
    return {};
  }
  const std::string a = std::to_string(address);
  return "a 16-bit register came back with high bytes set: is motor " + a + " a big motor? (" +
         terms.big + " " + a + ")";
}

std::string WindowFit(const LineLog& log, uint32_t code, const WindowSetting& setting) {
  if (code != ERR_ANSWER_LENGTH && code != ERR_TIMEOUT) return {};
  if (log.attempts().empty() || setting.baud <= 0) return {};
  const LineLog::Attempt& last = log.attempts().back();
  const std::optional<size_t> reply = ExpectedReply(last.sent);
  if (!reply || last.received.size() >= *reply) return {};
  const size_t bytes = *reply;
  const uint64_t wire_ms = uint64_t{bytes} * 10 * 1000 / uint64_t(setting.baud);
  const uint64_t window_ms = protocol::kReplyWindowMs + setting.extra_window_ms;
  if (wire_ms <= window_ms) return {};
  const uint64_t advice = AdvisedExtraMs(setting.extra_window_ms, wire_ms - window_ms);
  return "at " + std::to_string(setting.baud) + " bit/s a " + std::to_string(bytes) +
         "-byte reply takes " + std::to_string(wire_ms) + " ms, longer than the " +
         std::to_string(window_ms) + " ms window: try " + setting.extra_window + " " +
         std::to_string(advice);
}

}  // namespace qelcomm
