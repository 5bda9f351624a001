// The soak's view of qelsim's reply record (qelsim --record): one line per
// reply, read from a pipe as the soak goes, and what each fault may do to
// each kind of call.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qelcomm/errors.h"

namespace qelcomm::bench {

struct Record {
  uint64_t seq = 0;
  std::string request;  // read, write, status, identify, page-read, ...
  int address = 0;
  int number = 0;  // register or page
  std::string fault;
  std::vector<int64_t> values;
  bool Clean() const { return fault == "none"; }
  // Bytes of this reply may still come after its own window.
  bool Lingers() const { return fault == "late" || fault == "split"; }
};

inline bool ParseRecord(const std::string& line, Record& r) {
  std::istringstream in(line);
  if (!(in >> r.seq >> r.request >> r.address >> r.number >> r.fault)) return false;
  r.values.clear();
  for (int64_t v = 0; in >> v;) r.values.push_back(v);
  return true;
}

// Lines from the read end of qelsim's record pipe.
class RecordPipe {
 public:
  explicit RecordPipe(int fd) : fd_(fd) {}
  // The next record, waiting up to `timeout_ms` for it.
  bool Next(Record& r, int timeout_ms) {
    for (;;) {
      if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return ParseRecord(line, r);
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      char chunk[4096];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// The calls the soak makes, by how their replies are taken in.
enum class Op { kRead, kWrite, kStatus, kIdentify, kPageGet, kPagePut, kQup };

// What one fault on the reply of a call's attempt can lead to: the call may
// still succeed on that reply, or it fails with one of `codes`. `keep`: the
// attempt stores no code of its own, so an earlier attempt's code (or 0)
// stays.
struct FaultEffect {
  bool may_succeed = false;
  std::set<uint32_t> codes;
  bool keep = false;
};

inline FaultEffect EffectOf(Op op, const std::string& fault) {
  const std::set<uint32_t> kLength{ERR_ANSWER_LENGTH};
  const std::set<uint32_t> kBadAccept{ERR_BAD_ACCEPT};
  if (fault == "none") return {true, {}, false};
  const bool lost = fault == "drop" || fault == "late";
  const bool noise = fault == "noise-before" || fault == "noise-after";
  switch (op) {
    case Op::kRead:  // one fixed-length reply, every byte checked
    case Op::kQup: {
      const uint32_t sync_code = op == Op::kRead ? ERR_START_SYNC : ERR_BAD_ACCEPT;
      if (lost || noise || fault == "split") return {false, kLength, false};
      if (fault == "wrong-sync") return {false, {sync_code}, false};
      if (fault == "complement") {
        return {false, {ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_LENGTH_MISMATCH, ERR_INVERSION}, false};
      }
      if (fault == "corrupt") {
        return {false,
                {sync_code, ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_LENGTH_MISMATCH,
                 ERR_INVERSION, ERR_END_SYNC},
                false};
      }
      return {true, {}, false};  // bad-accept leaves framed replies alone
    }
    case Op::kWrite:  // one accept wait
      if (lost || noise) return {false, kLength, false};
      if (fault == "split") return {true, {}, false};
      return {false, kBadAccept, false};
    case Op::kPagePut:  // accept waits for one window: a late accept still counts
      if (fault == "split" || fault == "late") return {true, {}, false};
      if (fault == "drop" || noise) return {false, kLength, false};
      return {false, {ERR_BAD_ACCEPT, ERR_ANSWER_LENGTH}, false};
    case Op::kStatus:  // read piece by piece, each piece in its own window
      if (lost) return {false, kLength, false};
      if (fault == "split" || fault == "noise-after" || fault == "bad-accept") return {true, {}, false};
      if (fault == "wrong-sync" || fault == "noise-before") return {false, {ERR_ADDRESS_MISMATCH}, false};
      if (fault == "complement") return {false, {ERR_UNSPECIFIED}, false};
      return {false, {ERR_ADDRESS_MISMATCH, ERR_UNSPECIFIED}, false};
    case Op::kIdentify:  // the end-sync scan: silence and a lost end sync leave no code
      if (lost || fault == "split") return {false, {}, true};
      if (fault == "noise-after" || fault == "bad-accept") return {true, {}, false};
      if (fault == "wrong-sync") return {false, {ERR_START_SYNC}, false};
      if (fault == "complement") return {false, {ERR_ADDRESS_MISMATCH, ERR_INVERSION}, false};
      // Noise before shifts every field: the last failing check's code stays.
      return {false, {ERR_START_SYNC, ERR_ADDRESS_MISMATCH, ERR_INVERSION}, fault == "corrupt"};
    case Op::kPageGet:  // a reply of the wrong length leaves no code
      if (lost || noise) return {false, {}, true};
      if (fault == "split") return {true, {}, true};  // it may or may not fit the stretched wait
      if (fault == "wrong-sync") return {false, {ERR_START_SYNC}, false};
      if (fault == "complement") return {false, {ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_INVERSION}, false};
      if (fault == "corrupt") {
        return {false,
                {ERR_START_SYNC, ERR_ADDRESS_MISMATCH, ERR_PARAM_MISMATCH, ERR_INVERSION, ERR_END_SYNC},
                false};
      }
      return {true, {}, false};
  }
  return {};
}

}  // namespace qelcomm::bench
