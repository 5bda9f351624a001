#include "platform/net/network_port.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <deque>
#include <vector>

#include "platform/net/telnet_codec.h"
#include "qelcomm/errors.h"

namespace qelcomm::net {
namespace {

struct SchemePrefix {
  const char* prefix;
  Scheme scheme;
};
constexpr SchemePrefix kSchemes[] = {{"rfc2217://", Scheme::kRfc2217}, {"tcp://", Scheme::kTcp}};
// How long a server may take to answer the option offer, or to confirm a
// bit rate.
constexpr uint32_t kNegotiationMs = 1000;
// How long a send may wait for room in the socket before it counts as short.
constexpr uint32_t kSendBoundMs = 1000;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= s.size() || std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

const SchemePrefix* SchemeOf(const std::string& name) {
  for (const SchemePrefix& s : kSchemes) {
    if (StartsWithNoCase(name, s.prefix)) return &s;
  }
  return nullptr;
}

class NetworkDevice : public SerialDevice {
 public:
  NetworkDevice(std::unique_ptr<StreamSocket> socket, Scheme scheme)
      : socket_(std::move(socket)), telnet_(scheme == Scheme::kRfc2217) {}

  // Offers the options and waits for the server's word on COM-PORT.
  OsError Negotiate() {
    if (!telnet_) return 0;
    if (OsError e = socket_->Send(Greeting().data(), Greeting().size(), kSendBoundMs)) return e;
    if (!AwaitServer([this] { return codec_.com_port() != ComPortState::kPending; }))
      return lost_ != 0 ? lost_ : socket_->TimedOutError();
    return codec_.com_port() == ComPortState::kAccepted ? 0 : socket_->UnsupportedError();
  }

  OsError SetQueueSizes(size_t, size_t) override { return 0; }

  // Sends the line settings and waits for the server to confirm the bit
  // rate; a server that sets another rate has refused ours.
  OsError Configure(const LineSettings& settings) override {
    if (!telnet_) return 0;
    codec_.ForgetBaudReply();
    const auto commands = LineSettingCommands(uint32_t(settings.baud));
    if (OsError e = socket_->Send(commands.data(), commands.size(), kSendBoundMs)) return e;
    if (!AwaitServer([this] { return codec_.baud_reply().has_value(); }))
      return lost_ != 0 ? lost_ : socket_->TimedOutError();
    return *codec_.baud_reply() == uint32_t(settings.baud) ? 0 : ERR_OS_INVALID_PARAMETER;
  }

  // Drops what has arrived, and asks the server to drop what it holds for
  // us, as a local discard empties the UART's queue. The server's
  // confirmation is awaited: a purge still pending when the next telegram
  // goes out could throw away that telegram's reply. A server that does not
  // confirm is not asked again, so that it costs one wait and no replies.
  void Discard() override {
    Pull();
    rx_.clear();
    if (!telnet_ || !server_confirms_purge_) return;
    codec_.ForgetPurgeReply();
    SendControl(Purge());
    if (!AwaitServer([this] { return codec_.purge_confirmed(); }) && lost_ == 0)
      server_confirms_purge_ = false;
    rx_.clear();
  }

  QueueCounts Counts() override {
    Pull();
    return {rx_.size(), 0};
  }

  size_t Read(uint8_t* buf, size_t n) override {
    Pull();
    const size_t got = std::min(n, rx_.size());
    std::copy_n(rx_.begin(), got, buf);
    rx_.erase(rx_.begin(), rx_.begin() + std::ptrdiff_t(got));
    return got;
  }

  size_t Write(const uint8_t* buf, size_t n) override {
    if (lost_ != 0) return 0;
    std::vector<uint8_t> out;
    if (telnet_) {
      AppendEscaped(out, buf, n);
    } else {
      out.assign(buf, buf + n);
    }
    const OsError e = socket_->Send(out.data(), out.size(), kSendBoundMs);
    if (e == 0) return n;
    if (e != socket_->TimedOutError()) NoteLost(e);
    return 0;
  }

  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override {
    AwaitServer([&] { return rx_.size() >= n; }, timeout_ms);
    return rx_.size();
  }

  OsError LostError() const override { return lost_; }
  void Watch(std::shared_ptr<Wakeup> wakeup) override {
    wakeup_ = wakeup;
    socket_->Watch(std::move(wakeup));
  }

 private:
  static const std::vector<uint8_t>& Purge() {
    static const std::vector<uint8_t> purge =
        ComPortCommand(comport::kPurgeData, {comport::kPurgeServerReceive});
    return purge;
  }
  static const std::vector<uint8_t>& Greeting() {
    static const std::vector<uint8_t> greeting = TelnetClient::Greeting();
    return greeting;
  }

  // Waits, taking in what the server sends, until `done`, a lost
  // connection or `bound_ms` (by default the negotiation bound).
  template <typename Done>
  bool AwaitServer(Done done, uint32_t bound_ms = kNegotiationMs) {
    const uint64_t end = socket_->NowMs() + bound_ms;
    for (;;) {
      Pull();
      if (done()) return true;
      const uint64_t now = socket_->NowMs();
      if (lost_ != 0 || now >= end || (wakeup_ && wakeup_->Woken())) return false;
      socket_->WaitReadable(uint32_t(end - now));
    }
  }

  // Moves what has arrived into rx_, decoding Telnet on the way, until the
  // socket is empty or rx_ is full.
  void Pull() {
    uint8_t chunk[512];
    while (lost_ == 0 && rx_.size() < kMaxHeldRxBytes) {
      OsError error = 0;
      const size_t got = socket_->Receive(chunk, std::min(sizeof chunk, kMaxHeldRxBytes - rx_.size()),
                                          error);
      if (error != 0) NoteLost(error);
      if (got == 0) return;
      if (!telnet_) {
        rx_.insert(rx_.end(), chunk, chunk + got);
        continue;
      }
      data_.clear();
      reply_.clear();
      codec_.Feed(chunk, got, data_, reply_);
      rx_.insert(rx_.end(), data_.begin(), data_.end());
      if (!reply_.empty()) SendControl(reply_);
    }
  }

  void SendControl(const std::vector<uint8_t>& bytes) {
    const OsError e = socket_->Send(bytes.data(), bytes.size(), kSendBoundMs);
    if (e != 0 && e != socket_->TimedOutError()) NoteLost(e);
  }

  void NoteLost(OsError error) {
    if (lost_ == 0) lost_ = error;
  }

  std::unique_ptr<StreamSocket> socket_;
  std::shared_ptr<Wakeup> wakeup_;
  const bool telnet_;
  TelnetClient codec_;
  std::deque<uint8_t> rx_;
  std::vector<uint8_t> data_, reply_;  // scratch for one decoded chunk
  OsError lost_ = 0;
  bool server_confirms_purge_ = true;
};

}  // namespace

bool IsNetworkPortName(const std::string& name) {
  return SchemeOf(name) != nullptr;
}

std::optional<PortUrl> ParsePortUrl(const std::string& name) {
  const SchemePrefix* scheme = SchemeOf(name);
  if (scheme == nullptr) return std::nullopt;
  PortUrl url;
  url.scheme = scheme->scheme;
  std::string rest = name.substr(std::char_traits<char>::length(scheme->prefix));
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t port_at;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return std::nullopt;
    url.host = rest.substr(1, close - 1);
    port_at = close + 2;
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    url.host = rest.substr(0, colon);
    if (url.host.find_first_of(":/[]@") != std::string::npos) return std::nullopt;
    port_at = colon + 1;
  }
  unsigned port = 0;
  const char* first = rest.data() + port_at;
  const char* last = rest.data() + rest.size();
  const auto [end, ec] = std::from_chars(first, last, port);
  if (url.host.empty() || first == last || ec != std::errc() || end != last || port == 0 ||
      port > 65535)
    return std::nullopt;
  url.port = uint16_t(port);
  return url;
}

std::unique_ptr<SerialDevice> OpenOverStream(std::unique_ptr<StreamSocket> socket, Scheme scheme,
                                             OsError& error) {
  auto device = std::make_unique<NetworkDevice>(std::move(socket), scheme);
  error = device->Negotiate();
  if (error != 0) return nullptr;
  return device;
}

std::unique_ptr<SerialDevice> OpenNetworkPort(const std::string& name, OsError& error) {
  const auto url = ParsePortUrl(name);
  if (!url) {
    error = ERR_OS_INVALID_PARAMETER;
    return nullptr;
  }
  auto socket = ConnectTcp(url->host, url->port, kConnectTimeoutMs, error);
  if (!socket) return nullptr;
  return OpenOverStream(std::move(socket), url->scheme, error);
}

}  // namespace qelcomm::net
