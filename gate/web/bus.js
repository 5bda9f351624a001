// The pages and the bus and motor chosen; the bus page: line, scan, motors.
"use strict";

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
  $("motor-text").textContent = "";
  for (const id of ["motor-error", "module-error", "program-error", "pages-error", "dump-error",
    "restore-error"]) showError(id, null);
  $("module-facts").tBodies[0].replaceChildren();
  $("motor-status").tBodies[0].replaceChildren();
  $("pages").replaceChildren();
  const shown = location.hash.slice(1);
  if (shown === "motor" && pageShown.motor) pageShown.motor();
}

function currentMotor() {
  return state.motors.find((m) => m.address === state.motor);
}

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
