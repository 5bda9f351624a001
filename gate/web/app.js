// qelgate's web page: one bus at a time, its motors, their registers, a live
// plot, the trace, the module and parameter sets. Plain browser JavaScript
// in a few files (index.html loads them in order), talking to the gateway's
// JSON API (docs/http-api.md). This one wires the page up and starts it.
"use strict";

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
