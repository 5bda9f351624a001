// The parameter sets page: download, differences, restore.
"use strict";

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
