// The plot page: signals sampled in the gateway, drawn by dygraphs.
"use strict";

const MAX_SIGNALS = 8;
// Samples kept for the chart and the CSV; the oldest go first beyond it.
const MAX_PLOT_ROWS = 500000;
const REDRAW_MS = 100;

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
  $("plot-add-button").disabled = !!plot.source;
  $("plot-period-hint").textContent = periodHint();
}

// What the bus can do: one read after the other, each on the wire both ways.
function periodHint() {
  const readMs = state.bus && state.bus.read_ms;
  const n = plot.signals.length;
  if (!readMs || !n) return "0: as fast as the bus allows";
  const fastest = Math.ceil(readMs * n);
  return `0: as fast as the bus allows (about ${fastest} ms for ${n} register${n > 1 ? "s" : ""} ` +
    `at ${state.bus.baud} bit/s)`;
}

// Adds a signal for the next start; says why not, or what was done.
function addSignal(address, register) {
  let refused = null;
  if (plot.source) refused = "Stop the plot to change its signals.";
  else if (plot.signals.length >= MAX_SIGNALS) refused = `At most ${MAX_SIGNALS} signals.`;
  else if (plot.signals.some((s) => s.address === address && s.register === register)) {
    refused = `${address}:${register} is plotted already.`;
  }
  showError("plot-error", refused && { message: refused });
  if (!refused) plot.signals.push({ address, register });
  renderSignals();
  return refused || `${address}:${register} is on the plot (${plot.signals.length} of ${MAX_SIGNALS}).`;
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
      if (plot.rows.length > MAX_PLOT_ROWS) plot.rows.splice(0, plot.rows.length - MAX_PLOT_ROWS * 0.9);
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

// At most one redraw each REDRAW_MS, however fast the samples come.
function scheduleRedraw() {
  if (plot.redraw) return;
  plot.redraw = setTimeout(() => {
    plot.redraw = 0;
    if (plot.chart && plot.rows.length) plot.chart.updateOptions({ file: plot.rows });
    $("plot-chart").dataset.points = plot.rows.length;
  }, REDRAW_MS);
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
