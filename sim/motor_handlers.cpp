// The bus's handlers of motor telegrams: register read and write, safe mode,
// restart, flash, status and the group write.
#include <cinttypes>

#include "bus.h"
#include "replies.h"

namespace qelcomm::sim {
namespace {

// A register value travels in two or four bytes, after a byte saying which.
bool IsValueWidth(uint8_t n) { return n == 2 || n == 4; }
constexpr uint8_t kReplyValueWidth = 4;

}  // namespace

Bus::Outcome Bus::OnRead(const Request& r) {
  const auto& f = r.fields();
  if (f.size() != 2) return std::nullopt;
  const int number = r.Register(1);
  const auto v = r.motor->Read(number, r.now_us);
  if (!v) return ": unknown register, no reply";
  const std::string what =
      Fmt(" = %d", r.motor->Width(number) == 4 ? static_cast<int32_t>(*v)
                                               : static_cast<int32_t>(static_cast<int16_t>(*v)));
  Note("read", number, Fmt(" %u", *v));
  std::vector<uint8_t> data{f[1], kReplyValueWidth};
  PutLittleEndian(data, *v, kReplyValueWidth);
  return what + Send(r.address(), Answer(r.kind, std::move(data)), r.now_us);
}

Bus::Outcome Bus::OnWrite(const Request& r) {
  const auto& f = r.fields();
  if (f.size() < 3 || !IsValueWidth(f[2]) || f.size() != 3u + f[2]) return std::nullopt;
  const int number = r.Register(1);
  if (!r.motor->Write(number, LittleEndian(f, 3, f[2]), r.now_us)) return ": unknown register, no reply";
  Note("write", number, Fmt(" %u", *r.motor->Read(number, r.now_us)));
  return Send(r.address(), Answer(r.kind), r.now_us);
}

Bus::Outcome Bus::OnSafeMode(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  r.motor->EnterSafeMode(r.now_us);
  return Send(r.address(), Answer(r.kind), r.now_us);
}

Bus::Outcome Bus::OnRestart(const Request& r) { return RestartOrFlash(r, &Motor::Restart); }
Bus::Outcome Bus::OnFlash(const Request& r) { return RestartOrFlash(r, &Motor::Flash); }

Bus::Outcome Bus::RestartOrFlash(const Request& r, void (Motor::*action)(uint64_t)) {
  if (r.fields().size() != 1) return std::nullopt;
  if (!r.motor->InSafeMode(r.now_us)) {
    // Outside safe mode the motor takes it for an ordinary command.
    return ": outside safe mode, ignored" +
           Send(r.address(), {Acceptance(protocol::kMotorAccept), false, {}}, r.now_us);
  }
  (r.motor->*action)(r.now_us);
  return ": unanswered, motor silent for a while";
}

Bus::Outcome Bus::OnStatus(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  const MotorStatus s = r.motor->Status(r.now_us);
  const std::string what = Fmt(": word 0x%04X pos %d errors %u", s.word, s.position, s.error_count);
  Note("status", 0, Fmt(" %u %d %u", s.word, s.position, s.error_count));
  std::vector<uint8_t> status;
  PutLittleEndian(status, s.word, 2);
  PutLittleEndian(status, static_cast<uint32_t>(s.position), 4);
  status.push_back(s.error_count);
  status.push_back(0x00);
  // The status data follows its length.
  std::vector<uint8_t> data{static_cast<uint8_t>(status.size())};
  data.insert(data.end(), status.begin(), status.end());
  return what + Send(r.address(), Answer(r.kind, std::move(data)), r.now_us);
}

Bus::Outcome Bus::OnGroup(const Request& r) {
  // Group, sequence number, register, width, value. Members may be of either
  // size; the standard table names the register.
  const auto& f = r.fields();
  if (f.size() < 5 || !IsValueWidth(f[3]) || f.size() != 4u + f[3]) return std::nullopt;
  const int number = r.Register(2);
  const uint32_t value = LittleEndian(f, 4, f[3]);
  std::string applied;
  for (auto& [a, m] : motors_) {
    if (!m->Silent(r.now_us) && m->ApplyGroup(r.address(), f[1], number, value, r.now_us)) {
      applied += Fmt(" %u", a);
    }
  }
  return ", applied by:" + (applied.empty() ? std::string(" none") : applied);
}

}  // namespace qelcomm::sim
