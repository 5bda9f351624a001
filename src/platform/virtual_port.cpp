#include "qelcomm/virtual_port.h"

#include <algorithm>
#include <cerrno>

namespace qelcomm {

VirtualLine::VirtualLine(VirtualClock& clock, std::shared_ptr<VirtualPeer> peer)
    : clock_(clock), peer_(std::move(peer)) {}

void VirtualLine::Deliver(uint64_t at_us, std::vector<uint8_t> bytes) {
  if (lost_ != 0 || bytes.empty()) return;
  pending_.emplace(std::max(at_us, clock_.NowUs()), std::move(bytes));
  DeliverDue();
}

void VirtualLine::Vanish(OsError error) {
  lost_ = error;
  vanished_with_ = error;
  pending_.clear();
  rx_.clear();
}

void VirtualLine::Reappear() {
  lost_ = 0;
  ++generation_;
  is_open = false;
}

uint64_t VirtualLine::NextEventUs() const {
  uint64_t next = peer_ ? peer_->NextWakeUs() : UINT64_MAX;
  if (!pending_.empty()) next = std::min(next, pending_.begin()->first);
  return next;
}

void VirtualLine::DeliverDue() {
  while (!pending_.empty() && pending_.begin()->first <= clock_.NowUs()) {
    auto node = pending_.extract(pending_.begin());
    rx_.insert(rx_.end(), node.mapped().begin(), node.mapped().end());
  }
}

void VirtualLine::AdvanceTo(uint64_t us) {
  clock_.AdvanceTo(us);
  while (peer_ && lost_ == 0 && peer_->NextWakeUs() <= clock_.NowUs()) {
    peer_->OnWake(*this, clock_.NowUs());
  }
  DeliverDue();
}

size_t VirtualLine::Take(uint8_t* buf, size_t n) {
  n = std::min(n, rx_.size());
  std::copy_n(rx_.begin(), n, buf);
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void VirtualLine::HostWrote(std::vector<uint8_t> bytes) {
  written.push_back({clock_.NowUs(), bytes});
  if (stuck_tx_ms > 0) {
    tx_pending = bytes.size();
    tx_leaves_at_us =
        stuck_tx_ms == kNeverSent ? UINT64_MAX : clock_.NowUs() + uint64_t{stuck_tx_ms} * 1000;
  }
  if (peer_) peer_->OnReceive(*this, bytes, clock_.NowUs());
}

namespace {

class VirtualDevice : public SerialDevice {
 public:
  VirtualDevice(VirtualPlatform& platform, VirtualLine& line)
      : platform_(platform), line_(line), generation_(line.generation()) {
    line_.is_open = true;
    ++line_.opens;
  }
  ~VirtualDevice() override {
    if (!Stale()) line_.is_open = false;
    ++line_.closes;
  }

  OsError SetQueueSizes(size_t, size_t) override { return line_.queue_size_error; }

  OsError Configure(const LineSettings& settings) override {
    if (line_.configure_error != 0) return line_.configure_error;
    line_.settings = settings;
    line_.configured = true;
    return 0;
  }

  void Discard() override {
    if (Stale()) return;
    ++line_.discards;
    line_.ClearRx();
    line_.tx_pending = 0;
  }

  QueueCounts Counts() override {
    if (Stale()) return {};
    line_.AdvanceTo(line_.clock().NowUs());
    return {line_.Queued(), line_.TxQueued()};
  }

  size_t Read(uint8_t* buf, size_t n) override { return Stale() ? 0 : line_.Take(buf, n); }

  size_t Write(const uint8_t* buf, size_t n) override {
    if (LostError() != 0 || n == 0) return 0;
    size_t count = n;
    if (line_.short_writes > 0) {
      --line_.short_writes;
      --count;
    }
    line_.HostWrote(std::vector<uint8_t>(buf, buf + count));
    return count;
  }

  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override {
    if (Stale()) return 0;
    const uint64_t end = line_.clock().NowUs() + uint64_t{timeout_ms} * 1000;
    platform_.RunUntil(end, [&] { return line_.Queued() >= n || line_.lost() != 0; });
    return line_.Queued();
  }

  bool WaitForTransmitted(uint32_t timeout_ms) override {
    if (Stale()) return true;  // reports nothing queued, as Counts does
    const uint64_t end = line_.clock().NowUs() + uint64_t{timeout_ms} * 1000;
    if (line_.TxQueued() > 0) {
      platform_.RunUntil(std::min(end, line_.tx_leaves_at_us), [&] { return line_.lost() != 0; });
    }
    return line_.TxQueued() == 0;
  }

  OsError LostError() const override { return Stale() ? line_.vanished_with() : line_.lost(); }

 private:
  // Opened before the device last came back: it stays lost.
  bool Stale() const { return generation_ != line_.generation(); }

  VirtualPlatform& platform_;
  VirtualLine& line_;
  uint32_t generation_;
};

}  // namespace

VirtualLine& VirtualPlatform::AddLine(const std::string& name,
                                      std::shared_ptr<VirtualPeer> peer,
                                      int16_t com_port) {
  auto& slot = lines_[name];
  slot = std::make_unique<VirtualLine>(clock_, std::move(peer));
  if (com_port != 0) ports_[com_port] = name;
  return *slot;
}

VirtualLine* VirtualPlatform::Line(const std::string& name) {
  auto it = lines_.find(name);
  return it == lines_.end() ? nullptr : it->second.get();
}

std::string VirtualPlatform::DeviceNameForPort(int16_t com_port) const {
  auto it = ports_.find(com_port);
  return it == ports_.end() ? std::string() : it->second;
}

std::unique_ptr<SerialDevice> VirtualPlatform::Open(const std::string& name,
                                                    OsError& error) {
  VirtualLine* line = Line(name);
  error = 0;
  if (line == nullptr) {
    error = NotFoundError();
  } else if (line->open_error != 0) {
    error = line->open_error;
  } else if (line->is_open) {
    error = BusyError();
  }
  if (error != 0) return nullptr;
  return std::make_unique<VirtualDevice>(*this, *line);
}

uint64_t VirtualPlatform::NowMs() { return clock_.NowUs() / 1000; }

void VirtualPlatform::SleepMs(uint32_t ms) {
  RunUntil(clock_.NowUs() + uint64_t{ms} * 1000, [] { return false; });
}

void VirtualPlatform::RunUntil(uint64_t us, const std::function<bool()>& done) {
  // Visit every event in time order so peers on different lines interleave
  // as they would in real time.
  for (;;) {
    uint64_t next = UINT64_MAX;
    for (auto& [name, line] : lines_) next = std::min(next, line->NextEventUs());
    const uint64_t step = std::max(std::min(next, us), clock_.NowUs());
    for (auto& [name, line] : lines_) line->AdvanceTo(step);
    if (done() || step >= us) break;
  }
}

std::string VirtualPlatform::ErrorText(OsError error) const {
  return NativePlatform()->ErrorText(error);
}

#ifdef _WIN32
OsError VirtualPlatform::NotFoundError() { return 2; }  // ERROR_FILE_NOT_FOUND
OsError VirtualPlatform::BusyError() { return 5; }      // ERROR_ACCESS_DENIED
#else
OsError VirtualPlatform::NotFoundError() { return ENOENT; }
OsError VirtualPlatform::BusyError() { return EBUSY; }
#endif

}  // namespace qelcomm
