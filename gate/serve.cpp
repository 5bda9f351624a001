#include "serve.h"

#include <bit>
#include <cmath>

#include "modbus_map.h"

namespace qelgate {
namespace reg = qelcomm::registers;

namespace {

bool IsControlCode(uint32_t code) { return (code & 0xFFFF0000u) == 0x20000000u; }

uint16_t High(uint32_t v) { return uint16_t(v >> 16); }
uint16_t Low(uint32_t v) { return uint16_t(v & 0xFFFF); }
uint32_t Join(uint16_t high, uint16_t low) { return (uint32_t(high) << 16) | low; }

Reply Exception(uint8_t code) {
  Reply r;
  r.exception = code;
  return r;
}

bool IsWrite(uint8_t function) {
  return function == function::kWriteRegisters || function == function::kWriteCoil;
}

Space SpaceOf(uint8_t function) {
  switch (function) {
    case function::kReadInput:
      return Space::kInput;
    case function::kReadCoils:
    case function::kWriteCoil:
      return Space::kCoil;
    default:
      return Space::kHolding;
  }
}

class Call {
 public:
  Call(BusLink& bus, const Request& request) : bus_(bus), rq_(request) {}

  Reply Run(const MapRow& row) {
    const uint16_t offset = uint16_t(rq_.address - row.first);
    if (row.space == Space::kCoil) return Coil(row);
    if (!WholePairs(row, offset, rq_.count)) return Exception(exception::kIllegalAddress);
    switch (row.action) {
      case Action::kRawRegister:
      case Action::kUnitsRegister:
        return Registers(row, offset);
      case Action::kStatus:
        return Status(offset);
      case Action::kModuleType:
        return ModuleType(offset);
      case Action::kVemoDebug:
        return Debug(offset);
      default:
        return Exception(exception::kIllegalAddress);
    }
  }

 private:
  int16_t Motor() const { return int16_t(rq_.unit); }

  Reply Fail() {
    Reply r;
    r.exception = bus_.Failure(r);
    return r;
  }

  Reply Slice(const std::vector<uint16_t>& block, uint16_t offset) {
    Reply r;
    r.words.assign(block.begin() + offset, block.begin() + offset + rq_.count);
    return r;
  }

  Reply Coil(const MapRow& row) {
    if (rq_.function == function::kReadCoils) {
      Reply r;
      r.words.assign(rq_.count, 0);
      return r;
    }
    if (!rq_.coil_on) return {};
    auto& c = bus_.ctrl();
    bus_.BeginCall();
    bool ok = false;
    switch (row.action) {
      case Action::kResetWait: ok = c.ResetWait(Motor()); break;
      case Action::kWriteToFlashWait: ok = c.WriteToFlashWait(Motor()); break;
      case Action::kQupStart: ok = c.QupStart(Motor()); break;
      case Action::kQupStop: ok = c.QupStop(Motor()); break;
      case Action::kQupPause: ok = c.QupPause(Motor()); break;
      case Action::kQupResetWait: ok = c.QupResetWait(Motor()); break;
      default: return Exception(exception::kIllegalAddress);
    }
    return ok ? Reply{} : Fail();
  }

  Reply Status(uint16_t offset) {
    int16_t status = 0, errors = 0;
    int32_t position = 0;
    bus_.BeginCall();
    if (!bus_.ctrl().ReadStatus(Motor(), status, position, errors)) return Fail();
    const uint32_t p = uint32_t(position);
    return Slice({uint16_t(status), High(p), Low(p), uint16_t(errors)}, offset);
  }

  Reply ModuleType(uint16_t offset) {
    int16_t type = 0, firmware = 0;
    bus_.BeginCall();
    if (!bus_.ctrl().GetModuleType(Motor(), type, firmware)) return Fail();
    return Slice({uint16_t(type), uint16_t(firmware)}, offset);
  }

  Reply Debug(uint16_t offset) {
    int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
    int32_t time = 0, count = 0;
    bus_.BeginCall();
    if (!bus_.ctrl().VemoDebug(Motor(), state, inputs, outputs, time, count, mode)) return Fail();
    const uint32_t t = uint32_t(time), n = uint32_t(count);
    return Slice({uint16_t(state), uint16_t(inputs), uint16_t(outputs), High(t), Low(t), High(n),
                  Low(n), uint16_t(mode)},
                 offset);
  }

  // Each pair one exchange, in order; the first failure ends the request.
  Reply Registers(const MapRow& row, uint16_t offset) {
    const bool units = row.action == Action::kUnitsRegister;
    const bool big = bus_.setup().big[rq_.unit];
    Reply out;
    for (uint16_t i = 0; i < rq_.count; i += 2) {
      const int number = (offset + i) / 2;
      const auto r = reg::RegisterByNumber(big, number);
      if (!r) return Exception(exception::kIllegalAddress);
      if (rq_.function == function::kWriteRegisters) {
        const uint32_t word = Join(rq_.words[i], rq_.words[i + 1]);
        const uint8_t e = Write(*r, word, units);
        if (e != 0) return e == kFailed ? Fail() : Exception(e);
      } else {
        int32_t raw = 0;
        bus_.BeginCall();
        if (!bus_.ctrl().ReadParameter(Motor(), int16_t(number), raw)) return Fail();
        const uint32_t w = units ? std::bit_cast<uint32_t>(float(reg::RawToUnits(raw, *r, Factors())))
                                 : uint32_t(raw);
        out.words.push_back(High(w));
        out.words.push_back(Low(w));
      }
    }
    return out;
  }

  static constexpr uint8_t kFailed = 0xFF;

  uint8_t Write(const reg::Register& r, uint32_t word, bool units) {
    const bool guarded = r.role == reg::Role::kReadOnly || r.role == reg::Role::kIdentity;
    if (guarded && !bus_.setup().write_protected) return exception::kIllegalAddress;
    const reg::CheckedRaw checked =
        units ? reg::UnitsToRaw(double(std::bit_cast<float>(word)), r, Factors())
              : reg::CheckRaw(int64_t(int32_t(word)), r, Factors());
    if (!checked.ok()) return exception::kIllegalValue;
    bus_.BeginCall();
    return bus_.ctrl().WriteParameter(Motor(), r.number, checked.raw) ? 0 : kFailed;
  }

  const reg::ExactFactors& Factors() const {
    return bus_.setup().big[rq_.unit] ? bus_.setup().big_factors : bus_.setup().standard;
  }

  BusLink& bus_;
  const Request& rq_;
};

}  // namespace

BusLink::BusLink(qelcomm::CQelCommCtrl& ctrl, const BusSetup& setup) : ctrl_(ctrl), setup_(setup) {
  ctrl_.SetTrace([this](const qelcomm::TraceEvent& e) {
    log_.Add(e);
    if (observer_) observer_(e);
  });
  for (int a = 0; a < 256; ++a) ctrl_.SetQELType(int16_t(a), setup_.big[size_t(a)]);
}

BusLink::~BusLink() { ctrl_.SetTrace({}); }

void BusLink::BeginCall() {
  log_.Clear();
  ctrl_.GetLastError();
}

bool IsLineFailure(uint32_t code) {
  return code == qelcomm::ERR_PORT_NOT_OPEN || (code != 0 && !IsControlCode(code));
}

uint8_t BusLink::Failure(Reply& reply) {
  const uint32_t code = uint32_t(ctrl_.GetLastError());
  if (IsLineFailure(code)) {
    reply.line_down = true;
    return exception::kLineDown;
  }
  bool silent = true;
  for (const auto& a : log_.attempts()) silent = silent && a.received.empty();
  return silent ? exception::kNoAnswer : exception::kDeviceFailure;
}

Reply BusLink::Serve(const Request& request) {
  if (request.unit == 0) {
    Reply r;
    r.no_reply = true;
    return r;
  }
  if (request.unit > kLastUnitId) return Exception(exception::kNoAnswer);
  if (IsWrite(request.function) && !setup_.writable) return Exception(exception::kIllegalFunction);
  const Space space = SpaceOf(request.function);
  const MapRow* row = FindRow(space, request.address);
  if (row == nullptr) return Exception(exception::kIllegalAddress);
  if (space == Space::kCoil) {
    // Coils are rows of one; a read may span neighbours, but no gap.
    for (uint32_t a = request.address; a < uint32_t(request.address) + request.count; ++a) {
      if (FindRow(space, uint16_t(a)) == nullptr) return Exception(exception::kIllegalAddress);
    }
  } else if (request.address + request.count > row->first + row->count) {
    return Exception(exception::kIllegalAddress);
  }
  return Call(*this, request).Run(*row);
}

}  // namespace qelgate
