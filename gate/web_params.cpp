// A motor's parameter set: dumped as the same JSON the command-line tool
// writes, and restored from it by the library's rules, one register per
// queued job so that the bus's other clients keep their turns.
#include "qelcomm/parameter_set.h"
#include "web_registers.h"
#include "web_routes.h"

namespace qelgate {
namespace params = qelcomm::params;
namespace reg = qelcomm::registers;

namespace {

// Ends a dump or a restore with the bus's answer.
struct Stopped {
  ApiResult result;
};

std::string Motor(int address) { return "motor " + std::to_string(address); }

// One register read in its own job; the failure's error object, or the
// reason the bus did not get to it, in `failure`.
bool ReadRegister(const Route& r, const reg::Register& which, int32_t& raw, ApiResult& failure) {
  ApiResult got = r.bus.Call(r.connection, [&bus = r.bus, which, a = r.address](BusLink& link) {
    int32_t value = 0;
    link.BeginCall();
    if (!link.ctrl().ReadParameter(int16_t(a), which.number, value)) {
      return bus.Failed(link, "reading " + which.Label() + " of " + Motor(a));
    }
    return ApiResult{200, value};
  });
  if (got.status != 200) {
    failure = std::move(got);
    return false;
  }
  raw = got.body.get<int32_t>();
  return true;
}

bool Flag(const HttpRequest& rq, const char* key) { return rq.Param(key) == "1" || rq.Param(key) == "true"; }

const char* kUpload = "the uploaded parameter set";

}  // namespace

ApiResult DumpMotor(const Route& r) {
  const bool big = r.bus.Big(r.address);
  try {
    const params::DumpResult dump = params::Dump(
        r.address, big, FactorsOf(r.bus, r.address),
        [&](const reg::Register& which, int32_t& raw, std::string& why) {
          ApiResult failure;
          if (ReadRegister(r, which, raw, failure)) return true;
          // A motor that stops answering is listed; a bus that cannot serve ends the dump.
          if (failure.status != 502) throw Stopped{failure};
          why = failure.body["error"]["message"].get<std::string>();
          return false;
        });
    return {200, Json::parse(dump.text)};
  } catch (const Stopped& s) {
    return s.result;
  }
}

ApiResult RestoreMotor(const Route& r) {
  if (!r.bus.setup().writable) return ReadOnlyBus();
  const bool big = r.bus.Big(r.address);
  const bool dry_run = Flag(r.rq, "dry_run"), flash = Flag(r.rq, "flash");
  params::RestoreOptions options;
  options.include_live = Flag(r.rq, "include_live");
  options.include_identity = Flag(r.rq, "include_identity");
  options.terms = {"include_live=1", "include_identity=1", "the gateway's big motors"};
  params::RestorePlan plan;
  try {
    const params::ParameterSet set =
        params::ParseParameterSet(r.rq.body, kUpload, big, FactorsOf(r.bus, r.address));
    plan = params::PlanRestore(set, kUpload, r.address, big, options);
  } catch (const params::ParameterSetError& e) {
    return WebError(400, "BAD_PARAMETER_SET", e.what());
  }
  params::MotorAccess access{
      [&](const reg::Register& which) {
        int32_t raw = 0;
        ApiResult failure;
        if (!ReadRegister(r, which, raw, failure)) throw Stopped{failure};
        return raw;
      },
      [&](const reg::Register& which, int32_t raw) {
        return r.bus.Call(r.connection, [which, a = r.address, raw](BusLink& link) {
          link.BeginCall();
          const bool ok = link.ctrl().WriteParameter(int16_t(a), which.number, raw);
          link.ctrl().GetLastError();
          return ApiResult{ok ? 200 : 502, nullptr};
        }).status == 200;
      }};
  try {
    params::RestoreResult result = params::Restore(plan, dry_run, access);
    if (result.ShouldFlash(flash, dry_run)) {
      ApiResult flashed = r.bus.Call(r.connection, [&bus = r.bus, a = r.address](BusLink& link) {
        link.BeginCall();
        if (!link.ctrl().WriteToFlashWait(int16_t(a))) return bus.Failed(link, "saving " + Motor(a) + " to flash");
        return ApiResult{200, nullptr};
      });
      if (flashed.status != 200) return flashed;
      result.flashed = true;
    }
    Json doc = Json::parse(result.Json(plan, dry_run));
    doc["writes"] = doc["changes"];
    doc["verified"] = !dry_run && result.differences == 0;
    return {200, std::move(doc)};
  } catch (const Stopped& s) {
    return s.result;
  }
}

}  // namespace qelgate
