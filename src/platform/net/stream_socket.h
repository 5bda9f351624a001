// A connected TCP stream, as each OS backend provides it. The network
// device is written against this interface only, so that it stays portable
// and can be tested against an in-memory stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qelcomm/platform.h"

namespace qelcomm::net {

class StreamSocket {
 public:
  virtual ~StreamSocket() = default;
  // Sends all of `buf`, waiting at most `timeout_ms` for room; 0 or the OS
  // error that stopped it (a timeout is the OS's "timed out" error).
  virtual OsError Send(const uint8_t* buf, size_t n, uint32_t timeout_ms) = 0;
  // Takes up to `n` bytes that have arrived; never waits. A connection the
  // server closed or reset sets `error` (an orderly close reads as the OS's
  // "connection reset" error, for the stream is gone all the same).
  virtual size_t Receive(uint8_t* buf, size_t n, OsError& error) = 0;
  // Sleeps until bytes (or a close) arrive or `timeout_ms` passes.
  virtual void WaitReadable(uint32_t timeout_ms) = 0;
  // A wake-up that ends WaitReadable early; a backend may ignore it.
  virtual void Watch(std::shared_ptr<Wakeup> wakeup) { (void)wakeup; }
  virtual uint64_t NowMs() = 0;
  // The OS's number for "timed out" and for "protocol not supported", so
  // the portable code can report its own failures in the system's terms.
  virtual OsError TimedOutError() const = 0;
  virtual OsError UnsupportedError() const = 0;
};

// Connects to `host`:`port`, bounded by `timeout_ms`, with Nagle's delay
// switched off so that no telegram waits in the sender. The OS backend
// defines it.
std::unique_ptr<StreamSocket> ConnectTcp(const std::string& host, uint16_t port,
                                         uint32_t timeout_ms, OsError& error);

}  // namespace qelcomm::net
