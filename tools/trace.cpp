#include "trace.h"

#include <cstdio>

#include "format.h"
#include "qelcomm/protocol.h"
#include "qelcomm/telegram_text.h"

namespace qelctl {
namespace {

using qelcomm::protocol::kAcceptSize;
using qelcomm::protocol::kModuleAccept;
using qelcomm::protocol::kMotorAccept;

// Three equal accept bytes of a motor or a module.
bool IsAcceptance(const std::vector<uint8_t>& b) {
  return b.size() == kAcceptSize && b[0] == b[1] && b[1] == b[2] &&
         (b[0] == kMotorAccept || b[0] == kModuleAccept);
}

std::string HexBytes(const uint8_t* data, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    s += buf;
  }
  return s;
}

}  // namespace

Tracer::Tracer(std::ostream& err, uint64_t start_ms, std::function<bool(int)> is_big)
    : err_(err), start_ms_(start_ms), is_big_(std::move(is_big)) {}

void Tracer::operator()(const qelcomm::TraceEvent& e) {
  using Dir = qelcomm::TraceEvent::Direction;
  std::vector<uint8_t> bytes(e.data, e.data + e.size);
  std::string what;
  const char* arrow = "<-";
  switch (e.direction) {
    case Dir::Sent:
      arrow = "->";
      reply_.clear();
      if (bytes.size() > 3) last_address_ = bytes[3];
      what = DescribeTelegram(true, bytes, is_big_(last_address_));
      if (what.empty()) what = "malformed telegram";
      break;
    case Dir::Received:
      reply_.insert(reply_.end(), bytes.begin(), bytes.end());
      if (IsAcceptance(reply_)) {
        what = reply_[0] == kMotorAccept ? "accept" : "module accept";
        reply_.clear();
      } else if (what = DescribeTelegram(false, reply_, is_big_(last_address_)); !what.empty()) {
        reply_.clear();
      } else if (const std::string fault = qelcomm::FindTelegramFault(false, reply_);
                 !fault.empty()) {
        what = "corrupt reply: " + fault;
      } else {
        what = "(reply incomplete, " + std::to_string(reply_.size()) + " bytes so far)";
      }
      break;
    case Dir::Discarded:
      arrow = "xx";
      what = "discarded " + std::to_string(bytes.size()) + " bytes";
      reply_.clear();
      break;
    case Dir::Echoed:
      arrow = "<<";
      what = "echo of the request, " + std::to_string(bytes.size()) + " bytes";
      break;
  }
  const uint64_t t = e.time_ms >= start_ms_ ? e.time_ms - start_ms_ : 0;
  err_ << "[+" << Seconds(t) << "s] " << arrow << ' ' << HexBytes(e.data, e.size) << "  " << what
       << '\n';
}

}  // namespace qelctl
