// Routes of one motor and of the bus's catalogue and last scan.
#include <algorithm>
#include <cctype>

#include "qelcomm/catalogue.h"
#include "qelcomm/parameter_set.h"
#include "web_registers.h"
#include "web_routes.h"

namespace qelgate {
namespace reg = qelcomm::registers;

namespace {

// Registers read in one queued job: few, so that Modbus clients interleave.
constexpr size_t kRegistersPerJob = 4;

std::string Motor(int address) { return "motor " + std::to_string(address); }

ApiResult UnknownRegister(const std::string& text, bool big) {
  return WebError(400, "UNKNOWN_REGISTER",
                  "no register of a " + std::string(big ? "big" : "standard") + " motor is '" +
                      text + "'");
}

// The motor's table, then the extended registers: what a dump reads.
ApiResult ReadTable(const Route& r) {
  const std::vector<reg::Register> table = qelcomm::params::DumpRegisters(r.bus.Big(r.address));
  const auto factors = FactorsOf(r.bus, r.address);
  Json out = Json::array();
  for (size_t at = 0; at < table.size(); at += kRegistersPerJob) {
    const std::vector<reg::Register> part(
        table.begin() + at, table.begin() + std::min(at + kRegistersPerJob, table.size()));
    ApiResult got = r.bus.Call(r.connection, [&bus = r.bus, part, factors,
                                              a = r.address](BusLink& link) {
      Json rows = Json::array();
      for (const reg::Register& reg : part) {
        int32_t raw = 0;
        link.BeginCall();
        if (link.ctrl().ReadParameter(int16_t(a), reg.number, raw)) {
          rows.push_back(RegisterJson(reg, raw, factors));
          continue;
        }
        Json row = RegisterJson(reg, 0, factors);
        row.erase("raw");
        row.erase("value");
        row["error"] = bus.Failed(link, "reading " + reg.Label() + " of " + Motor(a)).body["error"];
        rows.push_back(std::move(row));
      }
      return ApiResult{200, std::move(rows)};
    });
    if (got.status != 200) return got;
    for (auto& row : got.body) out.push_back(std::move(row));
  }
  return {200, std::move(out)};
}

ApiResult ReadOne(const Route& r, const reg::Register& reg) {
  return r.bus.Call(r.connection, [&bus = r.bus, reg, a = r.address,
                                   factors = FactorsOf(r.bus, r.address)](BusLink& link) {
    int32_t raw = 0;
    link.BeginCall();
    if (!link.ctrl().ReadParameter(int16_t(a), reg.number, raw)) {
      return bus.Failed(link, "reading " + reg.Label() + " of " + Motor(a));
    }
    return ApiResult{200, RegisterJson(reg, raw, factors)};
  });
}

// {"raw": N} or {"value": X}, and "force" for read-only and identity ones.
ApiResult Write(const Route& r, const reg::Register& reg) {
  if (!r.bus.setup().writable) return ReadOnlyBus();
  ApiResult error;
  const std::optional<Json> body = BodyObject(r.rq, error);
  if (!body) return error;
  const bool has_raw = body->contains("raw"), has_value = body->contains("value");
  if (has_raw == has_value) return BadRequest("give either \"raw\" or \"value\"");
  const Json force = body->value("force", Json(false));
  if (!force.is_boolean()) return BadRequest("\"force\" is true or false");
  const bool guarded = reg.role == reg::Role::kReadOnly || reg.role == reg::Role::kIdentity;
  if (guarded && !force.get<bool>()) {
    return WebError(403, "PROTECTED_REGISTER",
                    reg.Label() + " is a " + reg::RoleName(reg.role) +
                        " register: writing it needs \"force\": true");
  }
  const auto& factors = FactorsOf(r.bus, r.address);
  reg::CheckedRaw checked;
  if (has_raw) {
    const Json& raw = (*body)["raw"];
    if (!raw.is_number_integer() || (raw.is_number_unsigned() && raw.get<uint64_t>() > INT64_MAX)) {
      return BadRequest("\"raw\" is a whole number");
    }
    checked = reg::CheckRaw(raw.get<int64_t>(), reg, factors);
  } else {
    const Json& value = (*body)["value"];
    if (!value.is_number()) return BadRequest("\"value\" is a number");
    checked = reg::UnitsToRaw(value.get<double>(), reg, factors);
  }
  if (!checked.ok()) return BadRequest(reg.Label() + ": " + checked.Why());
  return r.bus.Call(r.connection, [&bus = r.bus, reg, a = r.address, raw = checked.raw,
                                   factors](BusLink& link) {
    link.BeginCall();
    if (!link.ctrl().WriteParameter(int16_t(a), reg.number, raw)) {
      return bus.Failed(link, "writing " + reg.Label() + " of " + Motor(a));
    }
    int32_t back = 0;
    link.BeginCall();
    if (!link.ctrl().ReadParameter(int16_t(a), reg.number, back)) {
      return bus.Failed(link, "reading back " + reg.Label() + " of " + Motor(a));
    }
    return ApiResult{200, RegisterJson(reg, back, factors)};
  });
}

ApiResult Status(const Route& r) {
  return r.bus.Call(r.connection, [&bus = r.bus, a = r.address](BusLink& link) {
    int16_t status = 0, errors = 0;
    int32_t position = 0;
    link.BeginCall();
    if (!link.ctrl().ReadStatus(int16_t(a), status, position, errors)) {
      return bus.Failed(link, "reading the status of " + Motor(a));
    }
    return ApiResult{200, {{"status", uint16_t(status)}, {"position", position}, {"errors", errors}}};
  });
}

// Reset and flash, each waiting until the motor answers again.
ApiResult Command(const Route& r, bool (qelcomm::CQelCommCtrl::*call)(int16_t), const char* what) {
  if (!r.bus.setup().writable) return ReadOnlyBus();
  return r.bus.Call(r.connection, [&bus = r.bus, a = r.address, call, what](BusLink& link) {
    link.BeginCall();
    if (!(link.ctrl().*call)(int16_t(a))) return bus.Failed(link, std::string(what) + " " + Motor(a));
    return ApiResult{200, {{"ok", true}}};
  });
}

}  // namespace

std::optional<reg::Register> FindRegister(bool big, const std::string& text) {
  if (!text.empty() && text.size() <= 4 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return reg::RegisterByNumber(big, std::stoi(text));
  }
  return reg::RegisterByName(big, text);
}

const reg::ExactFactors& FactorsOf(const WebBus& bus, int address) {
  return bus.Big(address) ? bus.setup().big_factors : bus.setup().standard;
}

Json RegisterJson(const reg::Register& r, int32_t raw, const reg::ExactFactors& factors) {
  return {{"number", r.number},
          {"name", r.name.empty() ? Json() : Json(r.name)},
          {"raw", raw},
          {"value", reg::RawToUnits(raw, r, factors)},
          {"unit_kind", reg::ScaleClassName(r.info.Scaling)},
          {"role", reg::RoleName(r.role)}};
}

ApiResult Catalogue(const Route& r) {
  const std::string table = r.rq.Param("table");
  if (!table.empty() && table != "standard" && table != "big") {
    return BadRequest("table is 'standard' or 'big'");
  }
  const bool big = table == "big";
  Json out = Json::array();
  for (const reg::Register& reg : qelcomm::params::DumpRegisters(big)) {
    const reg::RawRange range = reg::RangeOf(reg);
    out.push_back({{"number", reg.number},
                   {"name", reg.name},
                   {"unit_kind", reg::ScaleClassName(reg.info.Scaling)},
                   {"role", reg::RoleName(reg.role)},
                   {"min", range.min},
                   {"max", range.max}});
  }
  return {200, std::move(out)};
}

ApiResult Motors(const Route& r) {
  Json scan = r.bus.LastScan();
  if (scan.is_null()) {
    return {200, {{"scanned_at", nullptr}, {"from", nullptr}, {"to", nullptr}, {"motors", Json::array()}}};
  }
  return {200, std::move(scan)};
}

HttpResponse Motor(Route& r) {
  const std::string& what = r.rest[0];
  const std::string& m = r.rq.method;
  const size_t n = r.rest.size();
  auto not_allowed = [&] { return MethodNotAllowed(r.rq); };
  if (what == "registers" && n == 1) return m == "GET" ? Answer(ReadTable(r)) : not_allowed();
  if (what == "registers" && n == 2) {
    const bool big = r.bus.Big(r.address);
    const auto reg = FindRegister(big, r.rest[1]);
    if (!reg) return Answer(UnknownRegister(r.rest[1], big));
    if (m == "GET") return Answer(ReadOne(r, *reg));
    if (m == "PUT") return Answer(Write(r, *reg));
    return not_allowed();
  }
  if (n == 1 && what == "dump") return m == "GET" ? Answer(DumpMotor(r)) : not_allowed();
  if (n == 1 && what == "restore") return m == "POST" ? Answer(RestoreMotor(r)) : not_allowed();
  if (n == 1 && what == "status") return m == "GET" ? Answer(Status(r)) : not_allowed();
  if (n == 1 && what == "reset") {
    return m == "POST" ? Answer(Command(r, &qelcomm::CQelCommCtrl::ResetWait, "resetting"))
                       : not_allowed();
  }
  if (n == 1 && what == "flash") {
    return m == "POST"
               ? Answer(Command(r, &qelcomm::CQelCommCtrl::WriteToFlashWait, "saving to flash"))
               : not_allowed();
  }
  return NotFound(r.rq);
}

}  // namespace qelgate
