// The web API's routes under /api/buses/{bus}/..., each on one bus.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "web_bus.h"
#include "web_types.h"

namespace qelgate {

// One request to one bus, split into path segments after the bus's name.
struct Route {
  WebBus& bus;
  const HttpRequest& rq;
  std::vector<std::string> rest;  // "motors", "3", "registers", ...
  uint64_t connection = 0;        // its turn in the bus's queue
  int address = 0;                // the motor, for motors/{a}/...
  // Held while an event stream is open; empty when none may open.
  std::shared_ptr<void> stream_slot;
};

// 400 with the error object, for a request the API cannot take.
ApiResult BadRequest(const std::string& message);
// 405 and 404 naming the request's method and path.
HttpResponse MethodNotAllowed(const HttpRequest& rq);
HttpResponse NotFound(const HttpRequest& rq);
// 403 for a write to a bus served read-only.
ApiResult ReadOnlyBus();
// "0a1bff": bytes as lowercase hex, two digits each.
std::string HexBytes(std::span<const uint8_t> bytes);
// The body as a JSON object; empty with `error` set when it is not one.
std::optional<Json> BodyObject(const HttpRequest& rq, ApiResult& error);

ApiResult Catalogue(const Route& r);
ApiResult Motors(const Route& r);
HttpResponse Motor(Route& r);       // motors/{a}/...: registers, status, reset, flash, dump
ApiResult DumpMotor(const Route& r);     // GET motors/{a}/dump
ApiResult RestoreMotor(const Route& r);  // POST motors/{a}/restore
HttpResponse Module(Route& r);      // motors/{a}/module/...
HttpResponse Scan(Route& r);        // POST scan: an event stream
HttpResponse Program(Route& r);     // POST motors/{a}/module/program: an event stream
HttpResponse Trace(Route& r);       // GET trace: an event stream
HttpResponse Plot(Route& r);        // GET plot: an event stream

// 503 when no stream may open now.
HttpResponse NoStreamSlot();

}  // namespace qelgate
