// TCP streams on Windows: non-blocking winsock sockets, a bounded connect,
// select for the waits to send and connect, and an event for the wait to
// receive, so that the control's wake-up can end it. Winsock errors are GetLastError-style numbers,
// so FormatMessage gives their text like any other OS error.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <memory>
#include <string>

#include "platform/net/stream_socket.h"

namespace qelcomm {
namespace {

// Winsock is started once for the life of the process; WSACleanup is left
// to process exit, since other code in the process may use it too.
OsError StartWinsock() {
  static const int started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return OsError(started);
}

// Waits until `s` is readable (or writable) or `end` passes; false on
// timeout. An error on the socket counts as ready, for the next call to
// report.
bool SelectUntil(SOCKET s, bool for_write, uint64_t end) {
  const uint64_t now = GetTickCount64();
  if (now >= end) return false;
  const uint64_t left = end - now;
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval tv{long(left / 1000), long((left % 1000) * 1000)};
  const int r = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, &tv);
  return r != 0;
}

class Win32Socket : public net::StreamSocket {
 public:
  explicit Win32Socket(SOCKET s) : s_(s), readable_(WSACreateEvent()) {}
  ~Win32Socket() override {
    closesocket(s_);
    if (readable_ != WSA_INVALID_EVENT) WSACloseEvent(readable_);
  }

  OsError Send(const uint8_t* buf, size_t n, uint32_t timeout_ms) override {
    const uint64_t end = GetTickCount64() + timeout_ms;
    size_t done = 0;
    while (done < n) {
      const int w = ::send(s_, reinterpret_cast<const char*>(buf + done), int(n - done), 0);
      if (w > 0) {
        done += size_t(w);
        continue;
      }
      const int e = WSAGetLastError();
      if (e != WSAEWOULDBLOCK) return OsError(e);
      if (!SelectUntil(s_, true, end)) return WSAETIMEDOUT;
    }
    return 0;
  }

  size_t Receive(uint8_t* buf, size_t n, OsError& error) override {
    const int r = ::recv(s_, reinterpret_cast<char*>(buf), int(n), 0);
    if (r > 0) return size_t(r);
    if (r == 0) {
      error = WSAECONNRESET;  // an orderly close ends the stream all the same
    } else if (const int e = WSAGetLastError(); e != WSAEWOULDBLOCK) {
      error = OsError(e);
    }
    return 0;
  }

  // The event is set when data or a close arrives, or is already there when
  // asked; the wake-up's event ends the wait as well.
  void WaitReadable(uint32_t timeout_ms) override {
    const bool watched = wakeup_ && wakeup_->Handle() != -1;
    if (readable_ == WSA_INVALID_EVENT ||
        WSAEventSelect(s_, readable_, FD_READ | FD_CLOSE) == SOCKET_ERROR) {
      SelectUntil(s_, false, GetTickCount64() + timeout_ms);
      return;
    }
    const uint64_t end = GetTickCount64() + timeout_ms;
    const HANDLE events[2] = {readable_,
                              watched ? reinterpret_cast<HANDLE>(wakeup_->Handle()) : nullptr};
    for (uint64_t now = GetTickCount64(); now < end && !(wakeup_ && wakeup_->Woken());
         now = GetTickCount64()) {
      const DWORD r = WaitForMultipleObjects(watched ? 2 : 1, events, FALSE, DWORD(end - now));
      if (r != WAIT_OBJECT_0 + 1 || wakeup_->Settle()) break;
    }
    WSAEventSelect(s_, readable_, 0);  // back to a plain non-blocking socket
    WSAResetEvent(readable_);
  }
  void Watch(std::shared_ptr<Wakeup> wakeup) override { wakeup_ = std::move(wakeup); }

  uint64_t NowMs() override { return GetTickCount64(); }
  OsError TimedOutError() const override { return WSAETIMEDOUT; }
  OsError UnsupportedError() const override { return WSAEPROTONOSUPPORT; }

 private:
  SOCKET s_;
  WSAEVENT readable_;
  std::shared_ptr<Wakeup> wakeup_;
};

// One non-blocking connect attempt, bounded by `end`.
SOCKET ConnectOne(const addrinfo& ai, uint64_t end, OsError& error) {
  SOCKET s = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (s == INVALID_SOCKET) {
    error = OsError(WSAGetLastError());
    return s;
  }
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  if (::connect(s, ai.ai_addr, int(ai.ai_addrlen)) != 0) {
    const int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK) {
      error = OsError(e);
      closesocket(s);
      return INVALID_SOCKET;
    }
    if (!SelectUntil(s, true, end)) {
      error = WSAETIMEDOUT;
      closesocket(s);
      return INVALID_SOCKET;
    }
    // A refused connect shows in the error set; SO_ERROR says why.
    int so_error = 0;
    int len = sizeof so_error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
    if (so_error != 0) {
      error = OsError(so_error);
      closesocket(s);
      return INVALID_SOCKET;
    }
  }
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return s;
}

}  // namespace

std::unique_ptr<net::StreamSocket> net::ConnectTcp(const std::string& host, uint16_t port,
                                                   uint32_t timeout_ms, OsError& error) {
  if ((error = StartWinsock()) != 0) return nullptr;
  const uint64_t end = GetTickCount64() + timeout_ms;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int r = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found)) {
    error = OsError(r);  // a WSA error number, e.g. WSAHOST_NOT_FOUND
    return nullptr;
  }
  error = WSAECONNREFUSED;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* ai = found; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next)
    s = ConnectOne(*ai, end, error);
  freeaddrinfo(found);
  if (s == INVALID_SOCKET) return nullptr;
  error = 0;
  return std::make_unique<Win32Socket>(s);
}

}  // namespace qelcomm
