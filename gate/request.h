// A Modbus request as qelgate carries it out: parsed from the PDU a client
// sent, then served as motor exchanges on one control.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qelgate {

namespace exception {
inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalAddress = 0x02;
inline constexpr uint8_t kIllegalValue = 0x03;
inline constexpr uint8_t kDeviceFailure = 0x04;
inline constexpr uint8_t kBusy = 0x06;
inline constexpr uint8_t kLineDown = 0x0A;
inline constexpr uint8_t kNoAnswer = 0x0B;
}  // namespace exception

namespace function {
inline constexpr uint8_t kReadCoils = 1;
inline constexpr uint8_t kReadHolding = 3;
inline constexpr uint8_t kReadInput = 4;
inline constexpr uint8_t kWriteCoil = 5;
inline constexpr uint8_t kWriteRegister = 6;
inline constexpr uint8_t kWriteRegisters = 16;
}  // namespace function

struct Request {
  uint8_t unit = 0;
  uint8_t function = 0;
  uint16_t address = 0;
  uint16_t count = 0;           // words or coils
  std::vector<uint16_t> words;  // what function 16 writes
  bool coil_on = false;         // what function 5 writes
};

// Parses a PDU (function code and data, no header). On a malformed or
// unknown request, `exception` says why and the request is not carried out.
struct Parsed {
  Request request;
  uint8_t exception = 0;
};
Parsed ParsePdu(uint8_t unit, std::span<const uint8_t> pdu);

struct Reply {
  uint8_t exception = 0;
  std::vector<uint16_t> words;  // what a read gives
  bool line_down = false;       // the line was lost: reopen before the next
  bool no_reply = false;        // broadcast: nothing goes back
};

}  // namespace qelgate
