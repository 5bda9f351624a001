// Helpers for driving a Bus directly in tests.
#pragma once

#include <cstdint>
#include <vector>

#include "bus.h"

namespace qelcomm::sim::testing {

inline constexpr uint64_t kT0 = 1'000'000;

// All bytes the bus scheduled, in time order, concatenated.
inline std::vector<uint8_t> Bytes(const std::vector<Output>& outs) {
  std::vector<uint8_t> b;
  for (const auto& o : outs) b.insert(b.end(), o.bytes.begin(), o.bytes.end());
  return b;
}

// Sends one request and returns everything the bus answers with.
inline std::vector<uint8_t> Ask(Bus& bus, const std::vector<uint8_t>& req, uint64_t now = kT0) {
  bus.Receive(req, now);
  return Bytes(bus.TakeOutputs());
}

inline std::vector<uint8_t> ReadReq(uint8_t addr, int reg) {
  return BuildFrame(reg > 256 ? sync::kReadExtended : sync::kRead,
                    {addr, static_cast<uint8_t>(reg > 256 ? reg - 256 : reg)});
}

inline std::vector<uint8_t> WriteReq(uint8_t addr, int reg, int32_t value, bool wide) {
  std::vector<uint8_t> f{addr, static_cast<uint8_t>(reg > 256 ? reg - 256 : reg),
                         static_cast<uint8_t>(wide ? 4 : 2)};
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < (wide ? 4 : 2); ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return BuildFrame(reg > 256 ? sync::kWriteExtended : sync::kWrite, f);
}

// The value carried by a 19-byte register read reply.
inline uint32_t ReplyValue(const std::vector<uint8_t>& r) {
  return r[9] | (r[11] << 8) | (r[13] << 16) | (static_cast<uint32_t>(r[15]) << 24);
}

inline BusConfig Config(std::vector<MotorSetup> motors, std::vector<ModuleSetup> modules = {}) {
  BusConfig c;
  c.motors = std::move(motors);
  c.modules = std::move(modules);
  return c;
}

}  // namespace qelcomm::sim::testing
