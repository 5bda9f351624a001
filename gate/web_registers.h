// Registers as the web API names and shows them.
#pragma once

#include <optional>
#include <string>

#include "qelcomm/catalogue.h"
#include "web_bus.h"
#include "web_types.h"

namespace qelgate {

// By number (1..255, 257..511) or by name, ignoring case, for a motor of
// that size; empty when there is no such register.
std::optional<qelcomm::registers::Register> FindRegister(bool big, const std::string& text);
const qelcomm::registers::ExactFactors& FactorsOf(const WebBus& bus, int address);
// {"number", "name", "raw", "value", "unit_kind", "role"}
Json RegisterJson(const qelcomm::registers::Register& r, int32_t raw,
                  const qelcomm::registers::ExactFactors& factors);

}  // namespace qelgate
