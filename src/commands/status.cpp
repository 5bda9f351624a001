// The status reply is read piece by piece, each piece with its own reply
// window: the start sync, then each field with its complements, then the end
// sync. The motor reports its data length, and data beyond the eight known
// bytes is read and skipped.
#include "commands/status.h"

#include <array>

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"

namespace qelcomm::commands {
namespace {

// A short write spoils the attempt, but its reply is still read.
constexpr link::Rules kRules{link::Prologue::kTestOpen, link::FailedSend::kSpoils};
constexpr uint8_t kKnownLength = 8;
constexpr size_t kMaxField = 4;

// Reads k bytes that must all equal v. A wrong byte is reported as an
// address mismatch, as the motors' status protocol has always done.
bool SyncCheck(link::Link& link, size_t k, uint8_t v) {
  if (link::ReceiveWait(link, k, link::DeadlineIn(link)) < k) {
    link.last_error = ERR_ANSWER_LENGTH;
    return false;
  }
  std::array<uint8_t, 3> bytes{};
  link::ReadBytes(link, bytes.data(), k);
  bool ok = true;
  for (size_t i = 0; i < k; ++i) {
    if (bytes[i] != v) {
      link.last_error = ERR_ADDRESS_MISMATCH;
      ok = false;
    }
  }
  return ok;
}

// Reads n data bytes, each followed by its complement, within one window.
bool PairedField(link::Link& link, size_t n, std::array<uint8_t, kMaxField>& data) {
  std::array<uint8_t, 2 * kMaxField> raw{};
  if (link::ReceiveWait(link, 2 * n, link::DeadlineIn(link)) < 2 * n) {
    link.last_error = ERR_ANSWER_LENGTH;
    return false;
  }
  link::ReadBytes(link, raw.data(), 2 * n);
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    data[i] = raw[2 * i];
    if (raw[2 * i + 1] != link::Complement(raw[2 * i])) {
      link.last_error = ERR_INVERSION;
      ok = false;
    }
  }
  return ok;
}

// One attempt's reading of the reply; false as soon as a field fails.
bool ReadReplyFields(link::Link& link, bool& success, int16_t& status, int32_t& position,
                     int16_t& err_count) {
  std::array<uint8_t, kMaxField> d{};
  if (!PairedField(link, 1, d)) return false;
  if (d[0] != protocol::kReplyAddress) {
    link.last_error = ERR_ADDRESS_MISMATCH;
    success = false;
  }
  if (!PairedField(link, 1, d)) return false;
  const uint8_t length = d[0];
  if (!PairedField(link, 2, d)) return false;
  status = static_cast<int16_t>(d[0] | (d[1] << 8));
  if (!PairedField(link, 4, d)) return false;
  position = static_cast<int32_t>(uint32_t{d[0]} | (uint32_t{d[1]} << 8) |
                                  (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24));
  if (!PairedField(link, 1, d)) return false;
  err_count = d[0];
  if (!PairedField(link, 1, d)) return false;  // spare byte
  // An 8-bit counter: a length below 8 wraps through 255 and asks for pairs
  // beyond the reply, so the first missing pair ends the attempt.
  for (uint8_t c = kKnownLength; c != length; ++c) {
    if (!PairedField(link, 1, d)) return false;
  }
  return true;
}

}  // namespace

bool ReadStatus(link::Link& link, int16_t address, int16_t& status, int32_t& position,
                int16_t& err_count) {
  if (!link::Begin(link, kRules)) return false;
  const auto request = link::AddressTelegram(protocol::sync::kStatus, address);
  const uint8_t reply_sync = protocol::FindTelegram(protocol::sync::kStatus)->reply_sync;

  return link::Exchange(link, kRules, request, [&] {
    if (!SyncCheck(link, 3, reply_sync)) return link::Attempt::kFailed;
    bool success = true;
    if (!ReadReplyFields(link, success, status, position, err_count)) {
      link.last_error = ERR_UNSPECIFIED;
      return link::Attempt::kFailed;
    }
    if (!SyncCheck(link, 2, protocol::kEndSync)) success = false;
    return success ? link::Attempt::kSucceeded : link::Attempt::kFailed;
  });
}

}  // namespace qelcomm::commands
