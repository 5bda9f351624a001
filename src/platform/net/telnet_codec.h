// The client side of a Telnet connection carrying the COM-PORT option
// (RFC 2217), as spoken by serial device servers. Pure byte work with no OS
// calls: the network device feeds it what the socket received and sends
// what it produces.
//
// In both directions a data byte 0xFF travels as 0xFF 0xFF. Everything else
// that starts with 0xFF (IAC) is Telnet control: option negotiation, which
// the codec answers itself, and subnegotiations, of which it keeps the
// server's COM-PORT replies and drops the rest. Control never reaches the
// data, however the stream is cut into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qelcomm::net {

namespace telnet {
inline constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251;
inline constexpr uint8_t kSb = 250, kSe = 240;
inline constexpr uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;
}  // namespace telnet

// COM-PORT commands from client to server; a server's reply to command N
// carries N + 100.
namespace comport {
inline constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5, kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;
inline constexpr uint8_t kParityNone = 1, kStopOne = 1, kNoFlowControl = 1;
inline constexpr uint8_t kPurgeServerReceive = 1;
}  // namespace comport

// Doubles every 0xFF of `data` onto `out`.
void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t n);

// IAC SB COM-PORT `command` `value` IAC SE, with the value escaped.
std::vector<uint8_t> ComPortCommand(uint8_t command, const std::vector<uint8_t>& value);

// The line settings the control uses: `baud`, 8 data bits, no parity, one
// stop bit, no flow control, as one burst of commands.
std::vector<uint8_t> LineSettingCommands(uint32_t baud);

// What the server has said about the COM-PORT option so far.
enum class ComPortState { kPending, kAccepted, kRefused };

class TelnetClient {
 public:
  // The offers made at connect: we speak binary both ways, without
  // go-aheads, and want the COM-PORT option.
  static std::vector<uint8_t> Greeting();

  // Takes bytes received from the server. Data bytes are appended to
  // `data`; answers owed to the server (option replies) to `reply`.
  void Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& data,
            std::vector<uint8_t>& reply);

  ComPortState com_port() const { return com_port_; }
  // The bit rate of the server's last SET-BAUDRATE reply, once it has sent
  // one; cleared by ForgetBaudReply.
  std::optional<uint32_t> baud_reply() const { return baud_reply_; }
  void ForgetBaudReply() { baud_reply_.reset(); }
  // Whether the server has confirmed a PURGE-DATA since ForgetPurgeReply.
  bool purge_confirmed() const { return purge_confirmed_; }
  void ForgetPurgeReply() { purge_confirmed_ = false; }

 private:
  enum class State { kData, kIac, kOption, kSub, kSubIac };
  void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply);
  void KeepSubByte(uint8_t b);
  void EndSubnegotiation();

  State state_ = State::kData;
  uint8_t verb_ = 0;
  // A subnegotiation's bytes after IAC SB, bounded: anything longer than a
  // COM-PORT reply is of no interest and is cut off rather than stored.
  std::vector<uint8_t> sub_;
  bool sub_overflow_ = false;
  ComPortState com_port_ = ComPortState::kPending;
  std::optional<uint32_t> baud_reply_;
  bool purge_confirmed_ = false;
  // Options the server has switched on for its side (WILL answered by DO),
  // so that a repeated WILL is not answered again and negotiation cannot loop.
  bool server_binary_ = false;
  bool server_sga_ = false;
};

}  // namespace qelcomm::net
