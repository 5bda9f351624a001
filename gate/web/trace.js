// The trace page: the telegrams on the line.
"use strict";

const MAX_TRACE_ROWS = 2000;

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
