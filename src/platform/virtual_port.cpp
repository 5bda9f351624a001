#include "qelcomm/virtual_port.h"

#include <algorithm>
#include <cerrno>
#include <deque>

namespace qelcomm {

// A line as the platform keeps it: the peer's side, the host's receive
// queue and the bytes still on their way to it.
class VirtualPlatform::LineState final : public VirtualLine {
 public:
  LineState(VirtualClock& clock, std::shared_ptr<VirtualPeer> peer)
      : clock_(clock), peer_(std::move(peer)) {}

  void Deliver(uint64_t at_us, std::vector<uint8_t> bytes) override {
    if (lost_ != 0 || bytes.empty()) return;
    pending_.emplace(std::max(at_us, clock_.NowUs()), std::move(bytes));
    DeliverDue();
  }
  void Vanish(OsError error) override {
    lost_ = error;
    vanished_with_ = error;
    pending_.clear();
    rx_.clear();
  }
  void Reappear() override {
    lost_ = 0;
    ++generation_;
    is_open = false;
  }
  OsError lost() const override { return lost_; }
  size_t Queued() const override { return rx_.size(); }
  VirtualClock& clock() override { return clock_; }

  uint64_t NextEventUs() const {
    uint64_t next = peer_ ? peer_->NextWakeUs() : UINT64_MAX;
    if (!pending_.empty()) next = std::min(next, pending_.begin()->first);
    return next;
  }
  // Moves the clock, waking the peer and delivering what is due.
  void AdvanceTo(uint64_t us) {
    clock_.AdvanceTo(us);
    while (peer_ && lost_ == 0 && peer_->NextWakeUs() <= clock_.NowUs()) {
      peer_->OnWake(*this, clock_.NowUs());
    }
    DeliverDue();
  }
  size_t Take(uint8_t* buf, size_t n) {
    n = std::min(n, rx_.size());
    std::copy_n(rx_.begin(), n, buf);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  void ClearRx() { rx_.clear(); }
  void HostWrote(std::vector<uint8_t> bytes) {
    if (peer_) peer_->OnReceive(*this, bytes, clock_.NowUs());
  }
  // Counts Reappear calls; a handle from an earlier one reports `vanished_with`.
  uint32_t generation() const { return generation_; }
  OsError vanished_with() const { return vanished_with_; }

  bool is_open = false;

 private:
  void DeliverDue() {
    while (!pending_.empty() && pending_.begin()->first <= clock_.NowUs()) {
      auto node = pending_.extract(pending_.begin());
      rx_.insert(rx_.end(), node.mapped().begin(), node.mapped().end());
    }
  }

  VirtualClock& clock_;
  std::shared_ptr<VirtualPeer> peer_;
  std::multimap<uint64_t, std::vector<uint8_t>> pending_;  // by arrival time
  std::deque<uint8_t> rx_;
  OsError lost_ = 0;
  OsError vanished_with_ = 0;
  uint32_t generation_ = 0;
};

class VirtualPlatform::Device : public SerialDevice {
 public:
  Device(VirtualPlatform& platform, LineState& line)
      : platform_(platform), line_(line), generation_(line.generation()) {
    line_.is_open = true;
  }
  ~Device() override {
    if (!Stale()) line_.is_open = false;
  }

  OsError SetQueueSizes(size_t, size_t) override { return 0; }
  OsError Configure(const LineSettings&) override { return 0; }

  void Discard() override {
    if (!Stale()) line_.ClearRx();
  }

  QueueCounts Counts() override {
    if (Stale()) return {};
    line_.AdvanceTo(line_.clock().NowUs());
    return {line_.Queued(), 0};
  }

  size_t Read(uint8_t* buf, size_t n) override { return Stale() ? 0 : line_.Take(buf, n); }

  size_t Write(const uint8_t* buf, size_t n) override {
    if (LostError() != 0 || n == 0) return 0;
    line_.HostWrote(std::vector<uint8_t>(buf, buf + n));
    return n;
  }

  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override {
    if (Stale()) return 0;
    const uint64_t end = line_.clock().NowUs() + uint64_t{timeout_ms} * 1000;
    platform_.RunUntil(end, [&] {
      return line_.Queued() >= n || line_.lost() != 0 || (wakeup_ && wakeup_->Woken());
    });
    return line_.Queued();
  }

  void Watch(std::shared_ptr<Wakeup> wakeup) override { wakeup_ = std::move(wakeup); }

  OsError LostError() const override { return Stale() ? line_.vanished_with() : line_.lost(); }

 private:
  // Opened before the device last came back: it stays lost.
  bool Stale() const { return generation_ != line_.generation(); }

  VirtualPlatform& platform_;
  LineState& line_;
  uint32_t generation_;
  std::shared_ptr<Wakeup> wakeup_;
};

VirtualPlatform::VirtualPlatform() = default;
VirtualPlatform::~VirtualPlatform() = default;

VirtualLine& VirtualPlatform::AddLine(const std::string& name,
                                      std::shared_ptr<VirtualPeer> peer,
                                      int16_t com_port) {
  auto& slot = lines_[name];
  slot = std::make_unique<LineState>(clock_, std::move(peer));
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
  auto it = lines_.find(name);
  error = 0;
  if (it == lines_.end()) {
    error = NotFoundError();
  } else if (it->second->is_open) {
    error = BusyError();
  }
  if (error != 0) return nullptr;
  return std::make_unique<Device>(*this, *it->second);
}

uint64_t VirtualPlatform::NowMs() { return clock_.NowUs() / 1000; }

void VirtualPlatform::SleepMs(uint32_t ms) {
  RunUntil(clock_.NowUs() + uint64_t{ms} * 1000, [] { return false; });
}

void VirtualPlatform::SleepUnlessWoken(uint32_t ms, Wakeup& wakeup) {
  RunUntil(clock_.NowUs() + uint64_t{ms} * 1000, [&] { return wakeup.Woken(); });
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
