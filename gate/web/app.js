// qelgate's web page: one bus at a time, its motors, their registers, a live
// plot, the trace, the module and parameter sets. Plain browser JavaScript,
// talking to the gateway's JSON API (docs/http-api.md).
"use strict";

const $ = (id) => document.getElementById(id);
const MAX_SIGNALS = 8;
const MAX_TRACE_ROWS = 2000;

const state = {
  buses: [],
  bus: null,         // the bus shown: an entry of /api/buses
  motors: [],        // the last scan's motors
  motor: null,       // the address shown on the motor pages
  registers: [],     // the shown motor's table, as last read
};

// ---------- talking to the gateway ----------

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

// ---------- small pieces of the page ----------

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") node.className = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== null && v !== undefined) node.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) node.append(c instanceof Node ? c : String(c ?? ""));
  return node;
}

function hex(n, digits) {
  return "0x" + (n >>> 0).toString(16).toUpperCase().padStart(digits, "0");
}

function showBanner(text) {
  $("banner").textContent = text;
  $("banner").hidden = !text;
}

// A failure as qelctl reports it: code and name, message, diagnosis.
function showError(where, e) {
  const box = $(where);
  box.replaceChildren();
  if (!e) return;
  const err = e.error || { name: "ERROR", message: String(e.message || e) };
  const head = [err.code !== null && err.code !== undefined ? hex(err.code, 8) : null, err.name]
    .filter(Boolean).join(" ");
  box.append(el("div", { class: "error", role: "alert" },
    el("strong", {}, head ? head + ": " : ""), err.message || "",
    err.diagnosis ? el("div", { class: "diagnosis" }, err.diagnosis) : ""));
}

// Runs an action of a button: disabled meanwhile, its failure shown in `where`.
async function guarded(where, action, button) {
  showError(where, null);
  if (button) button.disabled = true;
  try {
    return await action();
  } catch (e) {
    showError(where, e);
    return undefined;
  } finally {
    if (button) button.disabled = false;
  }
}

function fillFacts(table, rows) {
  table.tBodies[0].replaceChildren(...rows.map(([k, v]) =>
    el("tr", {}, el("th", { scope: "row" }, k), el("td", {}, v))));
}

function confirmAction(title, text) {
  const dialog = $("confirm");
  $("confirm-title").textContent = title;
  $("confirm-text").textContent = text;
  dialog.returnValue = "";
  dialog.showModal();
  $("confirm-ok").focus();
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true });
  });
}

function download(name, type, data) {
  const url = URL.createObjectURL(data instanceof Blob ? data : new Blob([data], { type }));
  const a = el("a", { href: url, download: name });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 1000);
}

function readFile(input) {
  const file = input.files[0];
  if (!file) throw new Error("Choose a file first.");
  return file.text();
}

// ---------- pages and selection ----------

const pages = ["bus", "motor", "plot", "trace", "module", "sets"];
const pageShown = {};  // called when a page is shown

function showPage(name) {
  if (!pages.includes(name)) name = "bus";
  for (const p of pages) {
    $("page-" + p).hidden = p !== name;
    $("tab-" + p).setAttribute("aria-selected", String(p === name));
    $("tab-" + p).tabIndex = p === name ? 0 : -1;
  }
  if (location.hash !== "#" + name) history.replaceState(null, "", "#" + name);
  if (pageShown[name]) pageShown[name]();
}

function setupTabs() {
  for (const p of pages) $("tab-" + p).addEventListener("click", () => showPage(p));
  // Arrow keys move between tabs, as in any tab list.
  document.querySelector(".tabs").addEventListener("keydown", (e) => {
    const step = { ArrowRight: 1, ArrowLeft: -1 }[e.key];
    if (!step) return;
    const at = pages.indexOf(location.hash.slice(1));
    const next = pages[(at + step + pages.length) % pages.length];
    showPage(next);
    $("tab-" + next).focus();
  });
  window.addEventListener("hashchange", () => showPage(location.hash.slice(1)));
}

function motorLabel(m) {
  const mod = m.module ? `, module ${m.module.type}` : "";
  return `${m.address} (${m.table}${mod})`;
}

function fillMotorSelect() {
  const select = $("motor-select");
  select.replaceChildren(...state.motors.map((m) =>
    el("option", { value: m.address }, motorLabel(m))));
  if (!state.motors.some((m) => m.address === state.motor)) {
    state.motor = state.motors.length ? state.motors[0].address : null;
  }
  select.value = state.motor ?? "";
  select.disabled = !state.motors.length;
  $("motor-hint").textContent = state.motors.length ? "" : "scan the bus to find motors";
  motorChanged();
}

function selectMotor(address) {
  state.motor = address;
  $("motor-select").value = address;
  motorChanged();
}

function motorChanged() {
  state.registers = [];
  $("reg-table").tBodies[0].replaceChildren();
  const label = state.motor === null ? "no motor" : `motor ${state.motor}`;
  $("motor-title").textContent = "Motor " + (state.motor ?? "");
  $("module-title").textContent = "Module on " + label;
  $("sets-title").textContent = "Parameter set of " + label;
  for (const id of ["motor-refresh", "motor-reset", "motor-flash", "module-identify",
    "module-debug", "module-stop", "module-reset", "qup-start", "qup-pause", "qup-stop", "qup-reset",
    "program-button", "pages-read", "dump-download"]) {
    $(id).disabled = state.motor === null;
  }
  resetRestore();
  $("module-facts").tBodies[0].replaceChildren();
  $("motor-status").tBodies[0].replaceChildren();
  $("pages").replaceChildren();
  const shown = location.hash.slice(1);
  if (shown === "motor" && pageShown.motor) pageShown.motor();
}

function currentMotor() {
  return state.motors.find((m) => m.address === state.motor);
}

// ---------- bus ----------

async function loadBuses() {
  state.buses = await api("GET", "/api/buses");
  const select = $("bus-select");
  const keep = state.bus && state.bus.name;
  select.replaceChildren(...state.buses.map((b) => el("option", { value: b.name }, b.name)));
  state.bus = state.buses.find((b) => b.name === keep) || state.buses[0] || null;
  if (state.bus) select.value = state.bus.name;
  showBus();
}

// The line's state, kept fresh while the page is open (no bus needed for it).
async function refreshBus() {
  if (!state.bus) return;
  const buses = await api("GET", "/api/buses");
  const now = buses.find((b) => b.name === state.bus.name);
  if (now) {
    state.buses = buses;
    state.bus = now;
    showBus();
  }
}

function showBus() {
  const b = state.bus;
  if (!b) {
    $("bus-state").textContent = "no bus";
    return;
  }
  $("bus-state").textContent = b.up ? "up" : "down";
  $("bus-state").className = "badge " + (b.up ? "up" : "down");
  fillFacts($("line-settings"), [
    ["Port", b.port], ["Baud", b.baud], ["Retries", b.retries],
    ["Echo", b.echo ? "on" : "off"], ["Extra window", `${b.extra_window_ms} ms`],
    ["State", b.up ? "up" : "down"], ["Modbus", b.modbus || "none"],
    ["Waiting in queue", b.queue],
  ]);
  if (b.min_period_ms) $("plot-period").min = b.min_period_ms;
}

function showMotors(doc) {
  state.motors = doc.motors || [];
  $("scan-when").textContent = doc.scanned_at
    ? `Scanned ${new Date(doc.scanned_at).toLocaleString()}, addresses ${doc.from} to ${doc.to}: ` +
      `${state.motors.length} motor${state.motors.length === 1 ? "" : "s"}.`
    : "No scan yet: choose a range and press Scan.";
  renderMotorRows();
  fillMotorSelect();
}

function renderMotorRows() {
  $("motor-table").tBodies[0].replaceChildren(...state.motors.map((m) => el("tr", {},
    el("td", { class: "num" }, m.address), el("td", {}, m.table),
    el("td", { class: "num" }, m.prog_version ?? ""),
    el("td", {}, m.module ? m.module.type : "none"),
    el("td", {}, m.module ? m.module.firmware : ""),
    el("td", {}, el("button", { type: "button", "aria-label": `Open motor ${m.address}`,
      onclick: () => { selectMotor(m.address); showPage("motor"); } }, "Open")))));
}

async function loadMotors() {
  showMotors(await api("GET", busUrl("/motors")));
}

async function scan(e) {
  e.preventDefault();
  const from = Number($("scan-from").value);
  const to = Number($("scan-to").value);
  if (from > to) {
    showError("scan-error", { message: `From ${from} is above To ${to}.` });
    return;
  }
  const progress = $("scan-progress");
  progress.hidden = false;
  progress.value = 0;
  const found = [];
  await guarded("scan-error", () => postStream(busUrl("/scan"), { from, to }, "application/json",
    (name, data) => {
      if (name === "progress") {
        progress.max = data.total;
        progress.value = data.done;
        $("scan-text").textContent = `address ${data.address} (${data.done} of ${data.total})`;
      } else if (name === "found") {
        found.push(data);
        state.motors = found;
        renderMotorRows();
      } else if (name === "done") {
        progress.value = progress.max;
        $("scan-text").textContent = "done";
        showMotors(data);
      } else if (name === "error") {
        throw new ApiError(0, data);
      }
    }), $("scan-button"));
  loadBuses().catch((err) => showError("scan-error", err));
}

// ---------- motor ----------

function roleNeedsForce(role) {
  return role === "read-only" || role === "identity";
}

function formatValue(v) {
  if (v === null || v === undefined) return "";
  return Number.isInteger(v) ? String(v) : String(Number(v.toPrecision(7)));
}

function registerRow(r) {
  const failed = !!r.error;
  const row = el("tr", { "data-number": r.number, "data-name": r.name || "" },
    el("td", { class: "num" }, r.number), el("td", {}, r.name || ""),
    el("td", { class: "num raw" }, failed ? "" : r.raw),
    el("td", { class: "num value" }, failed ? "" : formatValue(r.value)),
    el("td", {}, r.unit_kind && r.unit_kind !== "none" ? r.unit_kind : ""),
    el("td", {}, r.role || ""),
    el("td", { class: "actions" },
      el("button", { type: "button", "aria-label": `Edit ${r.name || r.number}`,
        onclick: () => editRegister(r) }, "Edit"),
      el("button", { type: "button", "aria-label": `Plot ${r.name || r.number}`,
        onclick: () => addSignal(state.motor, r.name || String(r.number)) }, "Plot")));
  if (failed) {
    row.cells[2].colSpan = 2;
    row.cells[3].remove();
    row.cells[2].append(el("span", { class: "error-inline", title: r.error.diagnosis || "" },
      `${r.error.name || "failed"}: ${r.error.message}`));
  }
  return row;
}

function renderRegisters() {
  const filter = $("reg-filter").value.trim().toLowerCase();
  const shown = state.registers.filter((r) => !filter ||
    (r.name || "").toLowerCase().includes(filter) || String(r.number) === filter);
  $("reg-table").tBodies[0].replaceChildren(...shown.map(registerRow));
  $("reg-count").textContent = state.registers.length
    ? `${shown.length} of ${state.registers.length} registers` : "";
}

async function loadStatus() {
  const s = await api("GET", motorUrl("/status"));
  fillFacts($("motor-status"), [
    ["Status word", hex(s.status, 4)], ["Position", s.position], ["Errors", s.errors]]);
}

async function loadMotorPage() {
  if (state.motor === null) return;
  const address = state.motor;
  await guarded("motor-error", async () => {
    $("reg-count").textContent = "reading…";
    await loadStatus();
    const regs = await api("GET", motorUrl("/registers"));
    if (address !== state.motor) return;  // another motor was chosen meanwhile
    state.registers = regs;
    renderRegisters();
    fillRegisterNames();
  }, $("motor-refresh"));
}

async function motorCommand(what, path) {
  if (!await confirmAction(`${what} motor ${state.motor}?`,
    what === "Reset" ? "The motor restarts: it stops whatever it is doing."
      : "The motor's present settings replace those saved in its flash.")) return;
  await guarded("motor-error", async () => {
    await api("POST", motorUrl(path));
    await loadStatus();
  });
}

// Edit: the entry, a confirmation, the write, then what the motor reads back.
function showNow(r) {
  const unit = r.unit_kind && r.unit_kind !== "none" ? " " + r.unit_kind : "";
  $("edit-now").textContent = r.error ? "Could not be read."
    : `Now: raw ${r.raw}, value ${formatValue(r.value)}${unit}`;
}

let editing = null;

function editRegister(r) {
  editing = r;
  $("edit-title").textContent = `${r.name || "Register"} (${r.number}) on motor ${state.motor}`;
  showNow(r);
  $("edit-input").value = r.error ? "" : formatValue(r.value);
  document.querySelector('input[name="edit-as"][value="value"]').checked = true;
  $("edit-force-label").hidden = !roleNeedsForce(r.role);
  $("edit-role").textContent = r.role;
  $("edit-force").checked = false;
  $("edit-result").textContent = "";
  showError("edit-error", null);
  $("edit").showModal();
  $("edit-input").select();
}

async function submitEdit(e) {
  e.preventDefault();
  const r = editing;
  const as = document.querySelector('input[name="edit-as"]:checked').value;
  const text = $("edit-input").value.trim();
  const number = Number(text);
  if (!text || !Number.isFinite(number) || (as === "raw" && !Number.isInteger(number))) {
    showError("edit-error", { message: as === "raw" ? "Raw values are whole numbers." : "Enter a number." });
    return;
  }
  const body = { [as]: number };
  if ($("edit-force").checked) body.force = true;
  if (!await confirmAction(`Write ${r.name || r.number}?`,
    `Write ${as === "raw" ? "raw " : ""}${text} to ${r.name || r.number} of motor ${state.motor}?`)) return;
  await guarded("edit-error", async () => {
    const back = await api("PUT", motorUrl(`/registers/${r.number}`), body);
    $("edit-result").textContent = `Read back: raw ${back.raw}, value ${formatValue(back.value)}`;
    Object.assign(r, { raw: back.raw, value: back.value, error: undefined });
    showNow(r);
    renderRegisters();
    const row = document.querySelector(`#reg-table tr[data-number="${r.number}"]`);
    if (row) row.classList.add("changed");
  }, $("edit-write"));
}

// ---------- plot ----------

const plot = {
  signals: [],      // {address, register} as asked
  started: null,    // the gateway's start event
  rows: [],         // [Date-less seconds, v1, v2, ...]
  source: null,
  chart: null,
  paused: false,
  redraw: 0,
};

function fillRegisterNames() {
  $("plot-names").replaceChildren(...state.registers.filter((r) => r.name)
    .map((r) => el("option", { value: r.name })));
  if (!$("plot-motor").value && state.motor !== null) $("plot-motor").value = state.motor;
}

function renderSignals() {
  $("plot-signals").replaceChildren(...plot.signals.map((s, i) => el("li", {},
    `${s.address}:${s.register}`,
    el("button", { type: "button", "aria-label": `Remove ${s.address}:${s.register}`,
      disabled: !!plot.source, onclick: () => { plot.signals.splice(i, 1); renderSignals(); } },
    "×"))));
  $("plot-start").disabled = !plot.signals.length || !!plot.source;
}

function addSignal(address, register) {
  showError("plot-error", null);
  if (plot.signals.length >= MAX_SIGNALS) {
    showError("plot-error", { message: `At most ${MAX_SIGNALS} signals.` });
  } else if (plot.signals.some((s) => s.address === address && s.register === register)) {
    showError("plot-error", { message: `${address}:${register} is plotted already.` });
  } else {
    plot.signals.push({ address, register });
  }
  renderSignals();
}

function signalLabel(s) {
  return `${s.address}:${s.name || s.register}`;
}

function startPlot() {
  showError("plot-error", null);
  const period = Number($("plot-period").value);
  const min = Number($("plot-period").min) || 0;
  if (!(period >= min && period <= 10000)) {
    showError("plot-error", { message: `The period is ${min} to 10000 ms.` });
    return;
  }
  const signals = plot.signals.map((s) => `${s.address}:${s.register}`).join(",");
  plot.rows = [];
  plot.started = null;
  plot.source = openStream(busUrl(`/plot?period_ms=${period}&signals=${encodeURIComponent(signals)}`), {
    start: (d) => {
      plot.started = d;
      $("plot-text").textContent = `sampling every ${d.period_ms} ms`;
      $("plot-csv").disabled = $("plot-png").disabled = false;
      makeChart();
    },
    sample: (d) => {
      plot.rows.push([d.t / 1000, ...d.values]);
      if (!plot.paused) scheduleRedraw();
    },
    error: (d) => { showError("plot-error", { error: d }); stopPlot(); },
  }, () => {
    if (plot.source) showError("plot-error", { message: "The plot stream ended.",
      diagnosis: "The gateway stopped, or refused it: at most 8 streams (plots, traces) are open at once." });
    stopPlot();
  });
  setPlotButtons(true);
}

function stopPlot() {
  if (plot.source) plot.source.close();
  plot.source = null;
  setPlotButtons(false);
}

function setPlotButtons(running) {
  $("plot-stop").disabled = !running;
  $("plot-pause").disabled = !running;
  $("plot-period").disabled = running;
  renderSignals();
}

function makeChart() {
  const labels = ["time (s)", ...plot.started.signals.map(signalLabel)];
  if (plot.chart) plot.chart.destroy();
  plot.chart = new Dygraph($("plot-chart"), [[0, ...labels.slice(1).map(() => null)]], {
    labels, xlabel: "time (s)", legend: "always", connectSeparatedPoints: true,
    showRangeSelector: false, animatedZooms: false,
  });
}

// At most one redraw a frame, however fast the samples come.
function scheduleRedraw() {
  if (plot.redraw) return;
  plot.redraw = requestAnimationFrame(() => {
    plot.redraw = 0;
    if (plot.chart && plot.rows.length) plot.chart.updateOptions({ file: plot.rows });
    $("plot-chart").dataset.points = plot.rows.length;
  });
}

function togglePause() {
  plot.paused = !plot.paused;
  $("plot-pause").setAttribute("aria-pressed", String(plot.paused));
  $("plot-pause").textContent = plot.paused ? "Resume" : "Pause";
  if (!plot.paused) scheduleRedraw();
}

function plotCsv() {
  const head = ["t_ms", ...plot.started.signals.map(signalLabel)];
  const lines = [head.join(","), ...plot.rows.map(([t, ...v]) =>
    [Math.round(t * 1000), ...v.map((x) => x ?? "")].join(","))];
  download("plot.csv", "text/csv", lines.join("\n") + "\n");
}

// The chart's canvases with its axis labels, which dygraphs puts on the page
// as text, painted onto one picture, and a legend of the series' colours.
function plotPng() {
  const box = $("plot-chart");
  const at = box.getBoundingClientRect();
  const scale = window.devicePixelRatio || 1;
  const canvas = el("canvas", { width: at.width * scale, height: at.height * scale });
  const ctx = canvas.getContext("2d");
  ctx.scale(scale, scale);
  ctx.fillStyle = "#fff";
  ctx.fillRect(0, 0, at.width, at.height);
  for (const c of box.querySelectorAll("canvas")) {
    const r = c.getBoundingClientRect();
    ctx.drawImage(c, r.left - at.left, r.top - at.top, r.width, r.height);
  }
  ctx.textBaseline = "top";
  ctx.fillStyle = "#000";
  for (const t of box.querySelectorAll(".dygraph-axis-label, .dygraph-xlabel")) {
    const r = t.getBoundingClientRect();
    const style = getComputedStyle(t);
    ctx.font = style.font;
    ctx.textAlign = style.textAlign === "center" ? "center" : style.textAlign === "right" ? "right" : "left";
    const x = ctx.textAlign === "center" ? r.left + r.width / 2 : ctx.textAlign === "right" ? r.right : r.left;
    ctx.fillText(t.textContent, x - at.left, r.top - at.top);
  }
  drawLegend(ctx, plot.chart.getLabels().slice(1), plot.chart.getColors(), getComputedStyle(box).font);
  canvas.toBlob((blob) => download("plot.png", "image/png", blob));
}

function drawLegend(ctx, labels, colors, font) {
  ctx.font = font;
  ctx.textAlign = "left";
  let x = 80;
  labels.forEach((label, i) => {
    ctx.fillStyle = colors[i];
    ctx.fillRect(x, 9, 18, 3);
    ctx.fillText(label, x + 22, 4);
    x += 34 + ctx.measureText(label).width;
  });
}

// ---------- trace ----------

const trace = { source: null, paused: false, held: [], filter: null, count: 0 };

function bytesText(hexBytes) {
  return (hexBytes.match(/../g) || []).join(" ").toUpperCase();
}

function traceRow(t) {
  const row = el("tr", { class: t.dir, "data-address": t.address ?? "" },
    el("td", { class: "num" }, (t.t / 1000).toFixed(3)),
    el("td", {}, t.dir === "tx" ? "→ sent" : `← ${t.kind || "received"}`),
    el("td", { class: "num" }, t.address ?? ""),
    el("td", { class: "bytes" }, bytesText(t.bytes)), el("td", {}, t.text));
  row.hidden = trace.filter !== null && t.address !== trace.filter;
  return row;
}

function addTelegrams(list) {
  const body = $("trace-table").tBodies[0];
  body.append(...list.map(traceRow));
  while (body.rows.length > MAX_TRACE_ROWS) body.deleteRow(0);
  trace.count += list.length;
  traceStatus();
}

function traceStatus() {
  $("trace-text").textContent = trace.paused
    ? `paused, ${trace.held.length} telegram${trace.held.length === 1 ? "" : "s"} held`
    : `${trace.count} telegrams`;
}

function startTrace() {
  if (trace.source || !state.bus) return;
  showError("trace-error", null);
  trace.source = openStream(busUrl("/trace"), {
    telegram: (t) => {
      if (trace.paused) { trace.held.push(t); traceStatus(); } else addTelegrams([t]);
    },
  }, () => {
    trace.source = null;
    showError("trace-error", { message: "The trace stream ended; it starts again when this page is shown." });
  });
}

function stopTrace() {
  if (trace.source) trace.source.close();
  trace.source = null;
}

function toggleTracePause() {
  trace.paused = !trace.paused;
  $("trace-pause").setAttribute("aria-pressed", String(trace.paused));
  $("trace-pause").textContent = trace.paused ? "Resume" : "Pause";
  if (!trace.paused) {
    addTelegrams(trace.held);
    trace.held = [];
  }
  traceStatus();
}

function filterTrace() {
  const v = $("trace-filter").value.trim();
  trace.filter = v === "" ? null : Number(v);
  for (const row of $("trace-table").tBodies[0].rows) {
    row.hidden = trace.filter !== null && row.dataset.address !== String(trace.filter);
  }
}

// ---------- module ----------

async function moduleIdentify() {
  const m = await api("GET", motorUrl("/module"));
  fillFacts($("module-facts"), [["Type", m.type], ["Firmware", m.firmware]]);
}

async function moduleDebug() {
  const d = await api("GET", motorUrl("/module/debug"));
  const rows = [["State", `${d.state_name ?? "unknown"} (${d.state})`],
    ["Inputs", hex(d.inputs, 2)], ["Outputs", hex(d.outputs, 2)]];
  const named = { time: "Time", count: "Count", mode: "Mode" };
  for (const [k, v] of Object.entries(d)) {
    if (!["state", "state_name", "inputs", "outputs"].includes(k)) rows.push([named[k] || k, JSON.stringify(v)]);
  }
  fillFacts($("module-facts"), rows);
}

async function modulePost(path, body) {
  await api("POST", motorUrl("/module/" + path), body);
  await moduleDebug();
}

// A whole number, decimal or 0x hex, within [0, max].
function parseWhole(text, what, max) {
  const n = Number(text.trim());
  if (!Number.isInteger(n) || n < 0 || n > max) throw new Error(`${what} is 0 to ${max} (or in hex, 0x...).`);
  return n;
}

// 16 bytes a line, each line headed by its image address.
function hexDump(hexText, base) {
  const bytes = (hexText.match(/../g) || []).map((b) => parseInt(b, 16));
  const lines = [];
  for (let i = 0; i < bytes.length; i += 16) {
    const part = bytes.slice(i, i + 16);
    const text = part.map((b) => (b >= 32 && b < 127 ? String.fromCharCode(b) : ".")).join("");
    lines.push(`${(base + i).toString(16).padStart(3, "0")}  ${part.map((b) => b.toString(16).padStart(2, "0")).join(" ")}  ${text}`);
  }
  return lines.join("\n");
}

async function readPages() {
  const doc = await api("GET", motorUrl("/module/pages"));
  $("pages").replaceChildren(...doc.pages.map((p, i) => el("figure", {},
    el("figcaption", {}, `Page ${i}`),
    el("pre", { class: "dump", "data-page": i, "data-hex": p.toLowerCase() }, hexDump(p, i * 128)))));
}

async function program(e) {
  e.preventDefault();
  const text = await guarded("program-error", () => readFile($("program-file")));
  if (text === undefined) return;
  if (!await confirmAction(`Program the module on motor ${state.motor}?`,
    "The module is stopped and its four pages are replaced by the file's program.")) return;
  const bar = $("program-progress");
  bar.value = 0;
  const query = $("program-outside").checked ? "?allow_outside=1" : "";
  const ok = await guarded("program-error", () => postStream(motorUrl("/module/program" + query), text,
    "text/plain", (name, d) => {
      if (name === "progress") {
        bar.value = d.percent;
        $("program-text").textContent = `${d.percent}%: ${d.step}${d.page !== undefined && d.page !== null ? ", page " + d.page : ""}`;
      } else if (name === "done") {
        bar.value = 100;
        $("program-text").textContent = "100%: done";
      } else if (name === "error") {
        throw new ApiError(0, d);
      }
    }).then(() => true), $("program-button"));
  if (ok) await guarded("pages-error", readPages);
}

// ---------- parameter sets ----------

let restorePlan = null;  // the set shown by the last dry run

function resetRestore() {
  restorePlan = null;
  $("restore-button").disabled = true;
  $("restore-table").hidden = true;
  $("restore-text").textContent = "";
  $("restore-skipped").textContent = "";
}

async function downloadDump() {
  const doc = await api("GET", motorUrl("/dump"));
  download(`motor-${state.motor}.json`, "application/json", JSON.stringify(doc, null, 2) + "\n");
  $("dump-text").textContent = `${(doc.registers || []).length} registers saved as motor-${state.motor}.json`;
}

function restoreQuery(dryRun) {
  const q = new URLSearchParams();
  if (dryRun) q.set("dry_run", "1");
  if ($("restore-flash").checked) q.set("flash", "1");
  if ($("restore-live").checked) q.set("include_live", "1");
  if ($("restore-identity").checked) q.set("include_identity", "1");
  return "?" + q.toString();
}

function showPlan(plan, dryRun) {
  const writes = plan.changes || plan.writes || [];
  $("restore-table").tBodies[0].replaceChildren(...writes.map((w) => el("tr", {},
    el("td", { class: "num" }, w.number), el("td", {}, w.name || ""),
    el("td", { class: "num" }, w.from ?? ""), el("td", { class: "num" }, w.to),
    el("td", { class: "num" }, dryRun ? "" : (w.read_back ?? "")))));
  $("restore-table").hidden = !writes.length;
  const skipped = Object.entries(plan.skipped || {}).filter(([, v]) => (Array.isArray(v) ? v.length : v));
  $("restore-skipped").textContent = skipped.length
    ? "Left out: " + skipped.map(([k, v]) => `${k.replace(/_/g, "-")} ${Array.isArray(v) ? v.length : v}`).join(", ") : "";
  if (dryRun) {
    $("restore-text").textContent = writes.length
      ? `${writes.length} ${writes.length === 1 ? "register differs" : "registers differ"}; nothing written yet.`
      : "Nothing differs: the motor holds this set already.";
  } else {
    $("restore-text").textContent = `${writes.length} written` +
      (plan.verified ? ", read back and checked."
        : `; ${plan.differences ?? "some"} still differ from the set after the read-back.`) +
      (plan.flashed ? " Saved to flash." : "");
  }
}

async function dryRun(e) {
  e.preventDefault();
  resetRestore();
  await guarded("restore-error", async () => {
    const text = await readFile($("restore-file"));
    try {
      JSON.parse(text);
    } catch (err) {
      throw new Error(`${$("restore-file").files[0].name} is not JSON: ${err.message}`);
    }
    const plan = await api("POST", motorUrl("/restore" + restoreQuery(true)), text);
    showPlan(plan, true);
    restorePlan = text;
    $("restore-button").disabled = !(plan.changes || plan.writes || []).length && !$("restore-flash").checked;
  });
}

async function restore() {
  if (!restorePlan || !await confirmAction(`Restore motor ${state.motor}?`,
    "The registers listed are written, then read back and checked." +
    ($("restore-flash").checked ? " Then the motor saves them to flash." : ""))) return;
  await guarded("restore-error", async () => {
    showPlan(await api("POST", motorUrl("/restore" + restoreQuery(false)), restorePlan), false);
  }, $("restore-button"));
}

// ---------- start ----------

function wire() {
  setupTabs();
  $("bus-select").addEventListener("change", () => {
    state.bus = state.buses.find((b) => b.name === $("bus-select").value);
    stopTrace();
    stopPlot();
    showBus();
    guarded("scan-error", loadMotors);
  });
  $("motor-select").addEventListener("change", () => selectMotor(Number($("motor-select").value)));
  $("scan-form").addEventListener("submit", scan);
  $("motor-refresh").addEventListener("click", loadMotorPage);
  $("motor-reset").addEventListener("click", () => motorCommand("Reset", "/reset"));
  $("motor-flash").addEventListener("click", () => motorCommand("Save to flash", "/flash"));
  $("reg-filter").addEventListener("input", renderRegisters);
  $("edit-form").addEventListener("submit", submitEdit);
  $("edit-cancel").addEventListener("click", () => $("edit").close());
  $("plot-add").addEventListener("submit", (e) => {
    e.preventDefault();
    addSignal(Number($("plot-motor").value), $("plot-register").value.trim());
    $("plot-register").value = "";
  });
  $("plot-start").addEventListener("click", startPlot);
  $("plot-stop").addEventListener("click", stopPlot);
  $("plot-pause").addEventListener("click", togglePause);
  $("plot-unzoom").addEventListener("click", () => plot.chart && plot.chart.resetZoom());
  $("plot-csv").addEventListener("click", plotCsv);
  $("plot-png").addEventListener("click", plotPng);
  $("trace-pause").addEventListener("click", toggleTracePause);
  $("trace-clear").addEventListener("click", () => {
    $("trace-table").tBodies[0].replaceChildren();
    trace.held = [];
    trace.count = 0;
    traceStatus();
  });
  $("trace-filter").addEventListener("input", filterTrace);
  const mod = (id, action) => $(id).addEventListener("click", (e) =>
    guarded("module-error", action, e.currentTarget));
  mod("module-identify", moduleIdentify);
  mod("module-debug", moduleDebug);
  mod("module-stop", () => modulePost("stop"));
  mod("module-reset", async () => {
    if (await confirmAction(`Reset the module on motor ${state.motor}?`,
      "The module restarts; its program stops.")) await modulePost("reset");
  });
  mod("qup-start", () => modulePost("start"));
  mod("qup-pause", () => modulePost("pause"));
  mod("qup-stop", () => modulePost("qup-stop"));
  mod("qup-reset", () => modulePost("qup-reset"));
  $("qup-step").addEventListener("submit", (e) => {
    e.preventDefault();
    guarded("module-error", () => modulePost("step", {
      min: parseWhole($("step-min").value, "Step from", 65535),
      max: parseWhole($("step-max").value, "Step to", 65535) }));
  });
  $("qup-outputs").addEventListener("submit", (e) => {
    e.preventDefault();
    guarded("module-error", () => modulePost("outputs", {
      outputs: parseWhole($("out-value").value, "Outputs", 15),
      mask: parseWhole($("out-mask").value, "Mask", 15) }));
  });
  $("program-form").addEventListener("submit", program);
  $("pages-read").addEventListener("click", (e) => guarded("pages-error", readPages, e.currentTarget));
  $("dump-download").addEventListener("click", (e) => guarded("dump-error", downloadDump, e.currentTarget));
  $("restore-form").addEventListener("submit", dryRun);
  $("restore-file").addEventListener("change", resetRestore);
  $("restore-button").addEventListener("click", restore);
  pageShown.motor = () => { if (!state.registers.length) loadMotorPage(); };
  pageShown.trace = startTrace;
  pageShown.plot = () => { if (plot.chart) plot.chart.resize(); };
}

async function start() {
  // The token came in the address; the gateway keeps it in a cookie, so it
  // leaves the address bar (and the history) at once.
  if (new URLSearchParams(location.search).has("token")) {
    history.replaceState(null, "", location.pathname + location.hash);
  }
  wire();
  fillMotorSelect();
  renderSignals();
  await guarded("scan-error", async () => {
    await loadBuses();
    if (state.bus) await loadMotors();
  });
  setInterval(() => refreshBus().catch(() => {}), 5000);
  document.body.dataset.ready = "1";
  showPage(location.hash.slice(1));
}

start();
