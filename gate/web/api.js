// Talking to the gateway: JSON requests, its error object, and event
// streams from POST (read here) and GET (EventSource) requests.
"use strict";

class ApiError extends Error {
  constructor(status, error) {
    super(error.message || `HTTP ${status}`);
    this.status = status;
    this.error = error;
  }
}

function busUrl(rest) {
  return `/api/buses/${encodeURIComponent(state.bus.name)}${rest}`;
}

function motorUrl(rest, address = state.motor) {
  return busUrl(`/motors/${address}${rest}`);
}

// The gateway's error object, or one made up for a failure without one.
async function errorOf(response) {
  const text = await response.text();
  try {
    const doc = JSON.parse(text);
    if (doc && doc.error) return new ApiError(response.status, doc.error);
  } catch (_) { /* not JSON: described below */ }
  return new ApiError(response.status, {
    code: null, name: `HTTP_${response.status}`,
    message: text.trim() || response.statusText || `HTTP status ${response.status}`,
  });
}

async function request(method, path, body, contentType = "application/json") {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = typeof body === "string" ? body : JSON.stringify(body);
    init.headers["Content-Type"] = contentType;
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, { code: null, name: "NO_GATEWAY",
      message: "The gateway does not answer: " + e.message,
      diagnosis: "Is qelgate still running?" });
  }
  if (!response.ok) {
    const e = await errorOf(response);
    if (e.status === 401) showBanner(
      "Not authorised: open the address qelgate printed at start (the one with ?token=).");
    throw e;
  }
  return response;
}

async function api(method, path, body) {
  const response = await request(method, path, body);
  return response.json();
}

// Server-sent events from a POST: read with the response's stream reader,
// each event being "event:" and "data:" lines ended by a blank line.
async function postStream(path, body, contentType, onEvent) {
  const response = await request("POST", path, body, contentType);
  const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    buffer += value.replace(/\r\n?/g, "\n");
    let end;
    while ((end = buffer.indexOf("\n\n")) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      dispatchBlock(block, onEvent);
    }
  }
  if (buffer.trim()) dispatchBlock(buffer, onEvent);
}

function dispatchBlock(block, onEvent) {
  let name = "message";
  const data = [];
  for (const line of block.split("\n")) {
    if (line.startsWith(":")) continue;  // a comment, kept to hold the line open
    const colon = line.indexOf(":");
    const field = colon < 0 ? line : line.slice(0, colon);
    const value = colon < 0 ? "" : line.slice(colon + 1).replace(/^ /, "");
    if (field === "event") name = value;
    else if (field === "data") data.push(value);
  }
  if (data.length) onEvent(name, JSON.parse(data.join("\n")));
}

// A GET event stream; closed on the first failure rather than retried, so
// that a stream the gateway ended (or refused) does not start again unseen.
function openStream(path, handlers, onLost) {
  const source = new EventSource(path);
  for (const [name, handler] of Object.entries(handlers)) {
    source.addEventListener(name, (e) => handler(JSON.parse(e.data)));
  }
  source.addEventListener("error", (e) => {
    if (e.data) return;  // the gateway's own "error" event, handled above
    source.close();
    onLost();
  });
  return source;
}
