// Routes of the module fitted to a motor, and of its Qup program.

#include "qelcomm/protocol.h"
#include "web_routes.h"

namespace qelgate {
namespace {

using Ctrl = qelcomm::CQelCommCtrl;

std::string Mod(int address) { return "module " + std::to_string(address); }

// The states a module's program reports in its debug state.
Json StateName(int state) {
  static constexpr const char* kNames[] = {"stopped", "running", "paused", "stepping"};
  if (state < 0 || state >= int(std::size(kNames))) return nullptr;
  return kNames[state];
}

ApiResult Identify(const Route& r) {
  return r.bus.Call(r.connection, [&bus = r.bus, a = r.address](BusLink& link) {
    int16_t type = 0, firmware = 0;
    link.BeginCall();
    if (!link.ctrl().GetModuleType(int16_t(a), type, firmware)) {
      return bus.ModuleFailed(link, "identifying " + Mod(a));
    }
    return ApiResult{200, {{"type", type}, {"firmware", firmware}}};
  });
}

ApiResult Debug(const Route& r) {
  return r.bus.Call(r.connection, [&bus = r.bus, a = r.address](BusLink& link) {
    int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
    int32_t time = 0, count = 0;
    link.BeginCall();
    if (!link.ctrl().VemoDebug(int16_t(a), state, inputs, outputs, time, count, mode)) {
      return bus.ModuleFailed(link, "reading the debug state of " + Mod(a));
    }
    return ApiResult{200,
                     {{"state", state},
                      {"state_name", StateName(state)},
                      {"inputs", inputs},
                      {"outputs", outputs},
                      {"time", time},
                      {"count", count},
                      {"mode", mode}}};
  });
}

// The four pages, one job each.
ApiResult Pages(const Route& r) {
  Json pages = Json::array();
  for (int page = 0; page < qelcomm::protocol::kProgramPages; ++page) {
    ApiResult got = r.bus.Call(r.connection, [&bus = r.bus, a = r.address, page](BusLink& link) {
      std::vector<uint8_t> data;
      link.BeginCall();
      if (!link.ctrl().VemoGet(int16_t(a), int16_t(page), data)) {
        return bus.ModuleFailed(link, "reading page " + std::to_string(page) + " of " + Mod(a));
      }
      return ApiResult{200, HexBytes(data)};
    });
    if (got.status != 200) return got;
    pages.push_back(std::move(got.body));
  }
  return {200, {{"pages", std::move(pages)}}};
}

// A command that carries nothing back. Silent modules leave no code.
ApiResult Simple(const Route& r, bool (Ctrl::*call)(int16_t), const char* what) {
  return r.bus.Call(r.connection, [&bus = r.bus, a = r.address, call, what](BusLink& link) {
    link.BeginCall();
    if (!(link.ctrl().*call)(int16_t(a))) return bus.ModuleFailed(link, what + (" " + Mod(a)));
    return ApiResult{200, {{"ok", true}}};
  });
}

// A whole number in `lo`..`hi` at `key`; false with the 400 in `error`.
bool IntField(const Json& body, const char* key, int lo, int hi, int& out, ApiResult& error) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_number_integer() || *it < lo || *it > hi) {
    error = BadRequest(std::string("\"") + key + "\" is a whole number " + std::to_string(lo) +
                       ".." + std::to_string(hi));
    return false;
  }
  out = it->get<int>();
  return true;
}

// A Qup command of two numbers from the body: step {"min", "max"}, outputs
// {"outputs", "mask"}.
struct PairCommand {
  const char* first;
  const char* second;
  int max;
  bool (Ctrl::*call)(int16_t, int16_t, int16_t);
  const char* what;
};
constexpr PairCommand kStep{"min", "max", 65535, &Ctrl::QupStep, "stepping the program of"};
constexpr PairCommand kOutputs{"outputs", "mask", 15, &Ctrl::QupSetOutputs, "setting the outputs of"};

ApiResult Pair(const Route& r, const PairCommand& c) {
  ApiResult error;
  const auto body = BodyObject(r.rq, error);
  int a = 0, b = 0;
  if (!body || !IntField(*body, c.first, 0, c.max, a, error) ||
      !IntField(*body, c.second, 0, c.max, b, error)) {
    return error;
  }
  return r.bus.Call(r.connection, [&bus = r.bus, m = r.address, a, b, c](BusLink& link) {
    link.BeginCall();
    if (!(link.ctrl().*c.call)(int16_t(m), int16_t(a), int16_t(b))) {
      return bus.ModuleFailed(link, c.what + (" " + Mod(m)));
    }
    return ApiResult{200, {{"ok", true}}};
  });
}

struct Command {
  const char* name;
  bool (Ctrl::*call)(int16_t);
  const char* what;
};
constexpr Command kCommands[] = {
    {"stop", &Ctrl::VemoStop, "stopping"},
    {"reset", &Ctrl::VemoResetWait, "resetting"},
    {"start", &Ctrl::QupStart, "starting the program of"},
    {"pause", &Ctrl::QupPause, "pausing the program of"},
    {"qup-stop", &Ctrl::QupStop, "stopping the program of"},
    {"qup-reset", &Ctrl::QupResetWait, "resetting the program of"},
};

}  // namespace

HttpResponse Module(Route& r) {
  const std::string& m = r.rq.method;
  const std::string what = r.rest.size() == 2 ? r.rest[1] : r.rest.size() == 1 ? "" : "/";
  auto only = [&](const char* method, auto&& serve) {
    return m == method ? Answer(serve()) : MethodNotAllowed(r.rq);
  };
  if (what.empty()) return only("GET", [&] { return Identify(r); });
  if (what == "debug") return only("GET", [&] { return Debug(r); });
  if (what == "pages") return only("GET", [&] { return Pages(r); });
  const bool writes = m == "POST";
  if (writes && !r.bus.setup().writable) {
    return Answer(ReadOnlyBus());
  }
  if (what == "step") return only("POST", [&] { return Pair(r, kStep); });
  if (what == "outputs") return only("POST", [&] { return Pair(r, kOutputs); });
  for (const Command& c : kCommands) {
    if (what == c.name) return only("POST", [&] { return Simple(r, c.call, c.what); });
  }
  return NotFound(r.rq);
}

}  // namespace qelgate
