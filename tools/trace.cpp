#include "trace.h"

#include <cstdio>

#include "format.h"
#include "qelcomm/telegram_text.h"

namespace qelctl {
namespace {

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
      {
        qelcomm::ReplySoFar so_far = qelcomm::DescribeReplySoFar(reply_, is_big_(last_address_));
        what = std::move(so_far.text);
        if (so_far.complete) reply_.clear();
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
