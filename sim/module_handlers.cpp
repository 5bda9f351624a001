// The bus's handlers of module telegrams: identification and the write
// command (also at the probe address), reset, stop, debug, the memory pages
// and the Qup program.
#include "bus.h"
#include "replies.h"

namespace qelcomm::sim {
namespace {

// Identification carries a hardware revision the host does not check, at
// these offsets of the reply (field and complement).
constexpr uint8_t kHardwareRevision = 0x01;
const std::vector<size_t> kRevisionOffsets{5, 6};

// Names the module that answers a telegram sent to the probe address;
// `own` when the telegram went to its own address.
std::string Answerer(const Module& m, uint8_t addr, const char* own) {
  return addr == m.address() ? std::string(own) : Fmt(": module %u", m.address());
}

template <class Bytes>
unsigned ByteSum(const Bytes& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

}  // namespace

Bus::Outcome Bus::EveryModule(const Request& r, std::string (Bus::*answer)(const Request&, Module&)) {
  if (r.fields().size() != 1) return std::nullopt;
  std::string what;
  bool any = false;
  for (auto& m : modules_) {
    if (!m->AnswersTo(r.address()) || m->Silent(r.now_us)) continue;
    any = true;
    what += (this->*answer)(r, *m);
  }
  return any ? what : ": no module answers";
}

// Modules take identification and the write command at their own address
// and at the probe address, where the control sends the write command of
// module programming.
Bus::Outcome Bus::OnIdentify(const Request& r) { return EveryModule(r, &Bus::IdentifyOne); }
Bus::Outcome Bus::OnModuleWrite(const Request& r) { return EveryModule(r, &Bus::CommitOne); }

std::string Bus::IdentifyOne(const Request& r, Module& m) {
  const ModuleSetup& s = m.setup();
  Note("identify", 0, Fmt(" %u %u", s.type, s.firmware));
  return Answerer(m, r.address(), ":") + Fmt(" type %u firmware %u", s.type, s.firmware) +
         Send(r.address(), Answer(r.kind, {kHardwareRevision, s.type, s.firmware}, kRevisionOffsets),
              r.now_us);
}

std::string Bus::CommitOne(const Request& r, Module& m) {
  Note("module-write", 0, "");
  std::string what = Answerer(m, r.address(), "") + Send(r.address(), Answer(r.kind), r.now_us);
  m.CommitWrite(r.now_us);
  return what + ", committing, silent for a while";
}

Bus::Outcome Bus::OnModuleReset(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  r.module->Reset(r.now_us);
  return ": unanswered, module restarts";
}

Bus::Outcome Bus::OnModuleStop(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  r.module->Stop(r.now_us);
  Note("stop", 0, "");
  return Send(r.address(), Answer(r.kind), r.now_us);
}

Bus::Outcome Bus::OnDebug(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  const DebugState d = r.module->Debug(r.now_us);
  const std::string what = Fmt(": state %u inputs 0x%02X outputs 0x%02X time %u count %u mode %u", d.state,
                               d.inputs, d.outputs, d.time, d.count, d.mode_cmd);
  Note("debug", 0, "");
  std::vector<uint8_t> data{d.state, d.inputs, d.outputs};
  PutLittleEndian(data, d.time, 2);
  PutLittleEndian(data, d.count, 2);
  data.push_back(d.mode_cmd);
  return what + Send(r.address(), Answer(r.kind, std::move(data)), r.now_us);
}

Bus::Outcome Bus::OnPageRead(const Request& r) {
  const auto& f = r.fields();
  if (f.size() != 2) return std::nullopt;
  const auto page = r.module->ReadPage(f[1]);
  Note("page-read", f[1], Fmt(" %u", ByteSum(page)));
  std::vector<uint8_t> data{f[1]};
  data.insert(data.end(), page.begin(), page.end());
  return Send(r.address(), Answer(r.kind, std::move(data)), r.now_us);
}

Bus::Outcome Bus::OnPageWrite(const Request& r) {
  // Address, page number, the page.
  const auto& f = r.fields();
  if (f.size() != 2 + kPageSize) return std::nullopt;
  r.module->WritePage(f[1], f.data() + 2);
  Note("page-write", f[1], Fmt(" %u", ByteSum(r.module->ReadPage(f[1]))));
  return Send(r.address(), Answer(r.kind), r.now_us);
}

Bus::Outcome Bus::OnQup(const Request& r) {
  // Address, payload length, payload (command code first).
  const auto& f = r.fields();
  if (f.size() < 3 || f.size() != 2u + f[1]) return std::nullopt;
  const std::vector<uint8_t> payload(f.begin() + 2, f.end());
  const auto d = r.module->Qup(payload, r.now_us);
  const std::string what = Fmt(": state %u outputs 0x%02X", d[1], d[2]);
  Note("qup", 0, Fmt(" %u", d[6] | d[7] << 8));
  std::vector<uint8_t> data{static_cast<uint8_t>(d.size())};
  data.insert(data.end(), d.begin(), d.end());
  return what + Send(r.address(), Answer(r.kind, std::move(data)), r.now_us);
}

Bus::Outcome Bus::OnQupReset(const Request& r) {
  if (r.fields().size() != 1) return std::nullopt;
  r.module->QupReset(r.now_us);
  return ": unanswered, program reset";
}

}  // namespace qelcomm::sim
