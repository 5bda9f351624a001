// Small pieces of the page shared by every part of it.
"use strict";

const $ = (id) => document.getElementById(id);

const state = {
  buses: [],
  bus: null,         // the bus shown: an entry of /api/buses
  motors: [],        // the last scan's motors
  motor: null,       // the address shown on the motor pages
  registers: [],     // the shown motor's table, as last read
};

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
    el("strong", {}, head ? head + ": " : ""), err.what ? `${err.what}: ` : "", err.message || "",
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
