// The virtual platform with the host-side faults and records tests need:
// opens, configuration and writes that fail, writes cut short, a transmit
// queue that drains slowly, and what the host did. The library's platform
// stays as a user of the embedded bus sees it; these sit in front of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qelcomm/virtual_port.h"

namespace qelcomm::testing {

// One line's fault knobs and records, beside the peer's view of it.
struct TestLine {
  explicit TestLine(VirtualLine& peer_side) : line(peer_side) {}

  VirtualLine& line;

  // Fault knobs for the host side.
  OsError open_error = 0;        // Open fails with this
  OsError queue_size_error = 0;  // SetQueueSizes fails with this
  OsError configure_error = 0;   // Configure fails with this
  size_t short_writes = 0;       // the next N writes transfer one byte less
  // How long the bytes of each write are reported still queued for
  // transmit (0 = they leave at once, kNeverSent = they never leave).
  uint32_t stuck_tx_ms = 0;
  static constexpr uint32_t kNeverSent = UINT32_MAX;

  // What the host did, for assertions.
  struct Written {
    uint64_t at_us;
    std::vector<uint8_t> bytes;
  };
  std::vector<Written> written;
  LineSettings settings;
  bool configured = false;
  bool is_open = false;
  int discards = 0;
  int opens = 0;
  int closes = 0;

  // The transmit queue a stuck write leaves behind.
  size_t tx_pending = 0;
  uint64_t tx_leaves_at_us = 0;
  size_t TxQueued() { return clock().NowUs() < tx_leaves_at_us ? tx_pending : 0; }
  // Counts opens, so that only the newest handle's close marks the line closed.
  uint64_t open_serial = 0;

  // The peer's side, for convenience.
  void Deliver(uint64_t at_us, std::vector<uint8_t> bytes) { line.Deliver(at_us, std::move(bytes)); }
  void Vanish(OsError error) { line.Vanish(error); }
  void Reappear() { line.Reappear(); }
  size_t Queued() const { return line.Queued(); }
  VirtualClock& clock() { return line.clock(); }
};

// A device of the virtual platform with a TestLine's faults in front.
class FaultyDevice : public SerialDevice {
 public:
  FaultyDevice(VirtualPlatform& platform, std::unique_ptr<SerialDevice> inner, TestLine& line)
      : platform_(platform), inner_(std::move(inner)), line_(line), serial_(++line.open_serial) {
    line_.is_open = true;
    ++line_.opens;
  }
  ~FaultyDevice() override {
    if (serial_ == line_.open_serial) line_.is_open = false;
    ++line_.closes;
  }

  OsError SetQueueSizes(size_t rx, size_t tx) override {
    return line_.queue_size_error != 0 ? line_.queue_size_error : inner_->SetQueueSizes(rx, tx);
  }

  OsError Configure(const LineSettings& settings) override {
    if (line_.configure_error != 0) return line_.configure_error;
    line_.settings = settings;
    line_.configured = true;
    return inner_->Configure(settings);
  }

  void Discard() override {
    ++line_.discards;
    line_.tx_pending = 0;
    inner_->Discard();
  }

  QueueCounts Counts() override {
    QueueCounts counts = inner_->Counts();
    counts.tx = line_.TxQueued();
    return counts;
  }

  size_t Read(uint8_t* buf, size_t n) override { return inner_->Read(buf, n); }

  size_t Write(const uint8_t* buf, size_t n) override {
    if (inner_->LostError() != 0 || n == 0) return 0;
    size_t count = n;
    if (line_.short_writes > 0) {
      --line_.short_writes;
      --count;
    }
    line_.written.push_back({line_.clock().NowUs(), std::vector<uint8_t>(buf, buf + count)});
    if (line_.stuck_tx_ms > 0) {
      const uint64_t now = line_.clock().NowUs();
      line_.tx_pending = count;
      line_.tx_leaves_at_us =
          line_.stuck_tx_ms == TestLine::kNeverSent ? UINT64_MAX : now + uint64_t{line_.stuck_tx_ms} * 1000;
    }
    return inner_->Write(buf, count);
  }

  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override { return inner_->WaitForBytes(n, timeout_ms); }
  bool WaitForTransmitted(uint32_t timeout_ms) override {
    if (line_.TxQueued() > 0) {
      const uint64_t end = line_.clock().NowUs() + uint64_t{timeout_ms} * 1000;
      platform_.RunUntil(std::min(end, line_.tx_leaves_at_us), [&] { return inner_->LostError() != 0; });
    }
    return line_.TxQueued() == 0;
  }
  OsError LostError() const override { return inner_->LostError(); }

 private:
  VirtualPlatform& platform_;
  std::unique_ptr<SerialDevice> inner_;
  TestLine& line_;
  uint64_t serial_;
};

class TestPlatform : public VirtualPlatform {
 public:
  // Adds a line as VirtualPlatform does, with faults and records in front.
  TestLine& AddLine(const std::string& name, std::shared_ptr<VirtualPeer> peer, int16_t com_port = 0) {
    VirtualLine& line = VirtualPlatform::AddLine(name, std::move(peer), com_port);
    auto& slot = test_lines_[name];
    slot = std::make_unique<TestLine>(line);
    return *slot;
  }

  std::unique_ptr<SerialDevice> Open(const std::string& name, OsError& error) override {
    auto it = test_lines_.find(name);
    if (it != test_lines_.end() && it->second->open_error != 0) {
      error = it->second->open_error;
      return nullptr;
    }
    auto device = VirtualPlatform::Open(name, error);
    if (device == nullptr || it == test_lines_.end()) return device;
    return std::make_unique<FaultyDevice>(*this, std::move(device), *it->second);
  }

 private:
  std::map<std::string, std::unique_ptr<TestLine>> test_lines_;
};

}  // namespace qelcomm::testing
