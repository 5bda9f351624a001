// The motor page: status, the register table, editing, reset and flash.
"use strict";

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
        onclick: () => {
          $("motor-text").textContent = addSignal(state.motor, r.name || String(r.number));
        } }, "Plot")));
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
  $("motor-text").textContent = what === "Reset" ? "resetting…" : "saving…";
  const ok = await guarded("motor-error", async () => {
    await api("POST", motorUrl(path));
    await loadStatus();
    return true;
  });
  $("motor-text").textContent = ok ? (what === "Reset" ? "Reset: the motor answers again."
    : "Saved to flash.") : "";
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
