// Why an exchange failed, in one line of words: the control keeps its error
// codes, and its trace shows what the line did during the call. Every front
// end (the command-line tool, the Python layer, a gateway) gives the same
// line for the same failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qelcomm/platform.h"
#include "qelcomm/trace.h"

namespace qelcomm {

// What the line showed during one call: each attempt's request and every
// byte that came back for it (read or thrown away). Feed it every trace
// event of the call; Clear it before the next.
class LineLog {
 public:
  struct Attempt {
    std::vector<uint8_t> sent;
    std::vector<uint8_t> received;
    std::vector<uint8_t> echoed;  // taken as the request's echo
    uint64_t sent_ms = 0;           // trace times
    uint64_t first_received_ms = 0;
  };
  // Forgets the call, keeping its last request: a reply to it may still
  // come, late, during the next call.
  void Clear() {
    if (!attempts_.empty()) {
      previous_request_ = attempts_.back().sent;
      previous_request_ms_ = attempts_.back().sent_ms;
    }
    attempts_.clear();
    unrequested_.clear();
  }
  void Add(const TraceEvent& event);
  const std::vector<Attempt>& attempts() const { return attempts_; }
  const std::vector<uint8_t>& previous_request() const { return previous_request_; }
  // Bytes that came in before the call's first request: what the line
  // carried while the port settled at open.
  const std::vector<uint8_t>& unrequested() const { return unrequested_; }
  uint64_t previous_request_ms() const { return previous_request_ms_; }

 private:
  std::vector<uint8_t> unrequested_;
  std::vector<Attempt> attempts_;
  std::vector<uint8_t> previous_request_;
  uint64_t previous_request_ms_ = 0;
};

// How the caller's user changes what a hint names, in the caller's words.
// The defaults are the command-line tool's options.
struct DiagnosisTerms {
  std::string echo = "--echo";     // the setting for an adapter that echoes
  std::string bit_rate = "--baud";  // the setting of the line's bit rate
  std::string big = "--big";       // marks a motor big; followed by its address
};

// The line's speed and reply window during the call, for WindowFit.
struct WindowSetting {
  int32_t baud = 19200;
  uint32_t extra_window_ms = 0;
  std::string extra_window = "--extra-window-ms";  // the setting that widens the window
};
// What the call was made with. With `window` given, a reply too long for
// its window at that speed is named first (WindowFit).
struct CallSetting {
  bool echo = false;  // the call expected its own echo first
  DiagnosisTerms terms;
  std::optional<WindowSetting> window;
  // The port (device or URL) and what the platform makes of the code
  // (Platform::KindOf): a busy device, an unknown host, a server that does
  // not speak RFC 2217 or that drops a second client are named first.
  std::string port;
  OsErrorKind os_error = OsErrorKind::kOther;
};

// One line on why the call failed with `code`, or empty when the line shows
// nothing the code does not say.
std::string Diagnose(const LineLog& log, uint32_t code, const CallSetting& setting = {});
// After a read of a 16-bit register at `address` that succeeded: a note when
// the reply carried high bytes, which a big motor sends; empty otherwise.
std::string CheckWidth(const LineLog& log, int address, const DiagnosisTerms& terms = {});

// After a call that failed with `code` without a whole reply: when the
// reply the last request asks for takes longer on the wire at this speed
// than the window allows, says so and how much wider to make the window.
// Empty when the reply fits or the call did not fail that way.
std::string WindowFit(const LineLog& log, uint32_t code, const WindowSetting& setting = {});

}  // namespace qelcomm
