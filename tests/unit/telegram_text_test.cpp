// The trace decoder's words for motor, module and Qup telegrams, from the
// bytes a host and a device put on the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qelcomm/telegram_text.h"

namespace qelcomm {
namespace {

using Bytes = std::vector<uint8_t>;

// Sync ×3, each field with its complement, end sync.
Bytes Frame(uint8_t sync, const Bytes& fields) {
  Bytes b(3, sync);
  for (uint8_t f : fields) {
    b.push_back(f);
    b.push_back(uint8_t(~f));
  }
  b.push_back(0xAA);
  b.push_back(0xAA);
  return b;
}

// A page telegram: address (0 in the module's reply), page, 128 data bytes.
Bytes Page(uint8_t address, uint8_t page) {
  Bytes fields(2 + 128, 0x5A);
  fields[0] = address;
  fields[1] = page;
  return Frame(0x31, fields);
}

struct Case {
  bool from_host;
  Bytes bytes;
  const char* text;
};

TEST(TelegramText, ModuleAndQupTelegrams) {
  const Case cases[] = {
      {true, {0x5F, 0x5F, 0x5F, 0x01, 0xFE, 0xAA, 0xAA}, "identify module 1"},
      // Offsets 5 and 6 of the reply are not a field and its complement.
      {false, {0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0x01, 0x02, 0x03, 0xFC, 0x11, 0xEE, 0xAA, 0xAA},
       "module reply: type 3, firmware 17"},
      {true, Frame(0x33, {4}), "reset module 4"},
      {true, Frame(0x32, {1}), "stop module 1"},
      {true, Frame(0x35, {255}), "write flash, module 255"},
      {true, Frame(0x30, {1}), "debug module 1"},
      {false, Frame(0x30, {0, 1, 0x0F, 0x03, 0x34, 0x12, 0x02, 0x00, 7}),
       "debug reply: state 1, inputs 0x0F, outputs 0x03, time 4660, count 2, mode 7"},
      {true, Frame(0x34, {3, 2}), "read page 2 of module 3"},
      {true, Page(1, 2), "page 2 to module 1 (128 bytes)"},
      {false, Page(0, 2), "page 2 reply (128 bytes)"},
      {true, Frame(0x61, {3, 1, 0}), "qup noop, module 3"},
      {true, Frame(0x61, {1, 1, 1}), "qup start, module 1"},
      {true, Frame(0x61, {2, 5, 4, 0x10, 0x00, 0x00, 0x02}), "qup step 16..512, module 2"},
      {true, Frame(0x61, {1, 2, 5, 0x25}), "qup outputs on 0x5 off 0x2, module 1"},
      {true, Frame(0x61, {1, 2, 4, 0}), "qup command 4 (2 payload bytes), module 1"},
      {false, Frame(0x61, {0, 8, 0, 1, 0, 0, 0, 0, 0x34, 0x80}),
       "qup reply: 00 01 00 00 00 00 34 80 (noop value -32716)"},
      {true, Frame(0x60, {4}), "qup reset, module 4"},
      // Offsets 5 and 6 are free only in the module's reply.
      {true, {0x5F, 0x5F, 0x5F, 0x00, 0xFF, 0x01, 0x02, 0x03, 0xFC, 0x11, 0xEE, 0xAA, 0xAA}, ""},
      // A known sync in a layout of no telegram kind.
      {true, Frame(0x34, {3}), "telegram 0x34 with 1 fields"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DescribeTelegram(c.from_host, c.bytes, false), c.text);
  }
}


TEST(TelegramText, MotorTelegrams) {
  const Case cases[] = {
      {true, Frame(0x50, {1, 3}), "read motor 1 register P_SOLL (3)"},
      {true, Frame(0x5A, {2, 4}), "read motor 2 register GROUPID (260)"},
      {true, Frame(0x52, {1, 2, 2, 0x0F, 0x00}), "write motor 1 register MODE_REG (2) = 15"},
      {false, Frame(0x52, {0, 3, 4, 0xFE, 0xFF, 0xFF, 0xFF}), "reply: register P_SOLL (3) = -2"},
      {false, Frame(0x5B, {0, 4, 2, 0x05, 0x00}), "reply: register GROUPID (260) = 5"},
      {true, Frame(0x54, {3}), "enter safe mode, motor 3"},
      {true, Frame(0x57, {3}), "restart, motor 3"},
      {true, Frame(0x56, {3}), "write flash, motor 3"},
      {true, Frame(0x58, {7}), "read status, motor 7"},
      {false, Frame(0x58, {0, 8, 0x34, 0x12, 0x10, 0, 0, 0, 2, 0}),
       "status reply: word 0x1234, position 16, errors 2"},
      {true, Frame(0x59, {1, 1, 5, 2, 0xE8, 0x03}), "group 1 write #1, register V_SOLL (5) = 1000"},
      {true, Frame(0x5C, {0, 9, 4, 2, 5, 0}), "group 0 write #9, register GROUPID (260) = 5"},
      // A read request is never a device's, and a length of no value is no write.
      {false, Frame(0x50, {1, 3}), "telegram 0x50 with 2 fields"},
      {true, Frame(0x52, {1, 2, 3, 0, 0, 0}), "telegram 0x52 with 6 fields"},
      {true, Frame(0x77, {1}), "telegram 0x77 with 1 fields"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DescribeTelegram(c.from_host, c.bytes, false), c.text);
  }
}

}  // namespace
}  // namespace qelcomm
