#include "platform/net/telnet_codec.h"

namespace qelcomm::net {
namespace {

using namespace telnet;

// A COM-PORT reply is the option, the command and at most four value bytes.
constexpr size_t kMaxSubnegotiation = 16;

// push_back rather than a range insert: GCC 12 at -O3 takes the latter on
// an empty vector for an overflow.
void Put(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
  out.push_back(kIac);
  out.push_back(verb);
  out.push_back(option);
}

}  // namespace

void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) out.push_back(kIac);
  }
}

std::vector<uint8_t> ComPortCommand(uint8_t command, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> out;
  Put(out, kSb, kComPort);
  out.push_back(command);
  AppendEscaped(out, value.data(), value.size());
  out.push_back(kIac);
  out.push_back(kSe);
  return out;
}

std::vector<uint8_t> LineSettingCommands(uint32_t baud) {
  using namespace comport;
  std::vector<uint8_t> out;
  auto add = [&out](const std::vector<uint8_t>& c) {
    for (uint8_t b : c) out.push_back(b);
  };
  add(ComPortCommand(kSetBaudRate, {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8),
                                    uint8_t(baud)}));
  add(ComPortCommand(kSetDataSize, {8}));
  add(ComPortCommand(kSetParity, {kParityNone}));
  add(ComPortCommand(kSetStopSize, {kStopOne}));
  add(ComPortCommand(kSetControl, {kNoFlowControl}));
  return out;
}

std::vector<uint8_t> TelnetClient::Greeting() {
  std::vector<uint8_t> out;
  Put(out, kWill, kBinary);
  Put(out, kDo, kBinary);
  Put(out, kWill, kSuppressGoAhead);
  Put(out, kDo, kSuppressGoAhead);
  Put(out, kWill, kComPort);
  return out;
}

void TelnetClient::Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& data,
                        std::vector<uint8_t>& reply) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else {
          data.push_back(b);
        }
        break;
      case State::kIac:
        if (b == kIac) {
          data.push_back(kIac);
          state_ = State::kData;
        } else if (b == kSb) {
          sub_.clear();
          sub_overflow_ = false;
          state_ = State::kSub;
        } else if (b >= kWill && b <= kDont) {
          verb_ = b;
          state_ = State::kOption;
        } else {
          state_ = State::kData;  // NOP, GA, BRK and the like carry nothing for us
        }
        break;
      case State::kOption:
        Negotiate(verb_, b, reply);
        state_ = State::kData;
        break;
      case State::kSub:
        if (b == kIac) {
          state_ = State::kSubIac;
        } else {
          KeepSubByte(b);
        }
        break;
      case State::kSubIac:
        if (b == kSe) {
          EndSubnegotiation();
          state_ = State::kData;
        } else {
          // IAC IAC is a 0xFF inside the subnegotiation; any other command
          // there is malformed and is taken as a byte rather than lost.
          KeepSubByte(b);
          state_ = State::kSub;
        }
        break;
    }
  }
}

// We offered WILL/DO for binary, go-ahead suppression and the COM-PORT
// option, so the server's DO/WILL for those is an answer and needs none.
// Anything else is refused: in particular a server's echo, which would put
// our own telegrams in front of the replies.
void TelnetClient::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply) {
  const bool ours = option == kBinary || option == kSuppressGoAhead || option == kComPort;
  switch (verb) {
    case kDo:
      if (option == kComPort) com_port_ = ComPortState::kAccepted;
      if (!ours) Put(reply, kWont, option);
      break;
    case kDont:
      if (option == kComPort) com_port_ = ComPortState::kRefused;
      break;
    case kWill:
      if (option == kBinary) server_binary_ = true;
      if (option == kSuppressGoAhead) server_sga_ = true;
      if (option != kBinary && option != kSuppressGoAhead) Put(reply, kDont, option);
      break;
    case kWont:
      // Acknowledge a switch-off of something the server had switched on.
      if (option == kBinary && server_binary_) {
        server_binary_ = false;
        Put(reply, kDont, option);
      } else if (option == kSuppressGoAhead && server_sga_) {
        server_sga_ = false;
        Put(reply, kDont, option);
      }
      break;
  }
}

void TelnetClient::KeepSubByte(uint8_t b) {
  if (sub_.size() < kMaxSubnegotiation) {
    sub_.push_back(b);
  } else {
    sub_overflow_ = true;
  }
}

void TelnetClient::EndSubnegotiation() {
  using namespace comport;
  if (sub_overflow_ || sub_.size() < 2 || sub_[0] != kComPort) return;
  if (sub_[1] == kSetBaudRate + kServerOffset && sub_.size() == 6) {
    baud_reply_ = uint32_t(sub_[2]) << 24 | uint32_t(sub_[3]) << 16 | uint32_t(sub_[4]) << 8 |
                  uint32_t(sub_[5]);
  }
  if (sub_[1] == kPurgeData + kServerOffset) purge_confirmed_ = true;
  // Other acknowledgements and the line- and modem-state notifications are
  // of no use to a polled protocol and are dropped.
}

}  // namespace qelcomm::net
