// The trace decoder's words for module and Qup telegrams, from the bytes a
// host and a module put on the line.
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

}  // namespace
}  // namespace qelcomm
