#include "link/telegram.h"

namespace qelcomm::link {

Telegram& Telegram::Value(uint32_t value, int count) {
  for (int i = 0; i < count; ++i) Field(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

}  // namespace qelcomm::link
