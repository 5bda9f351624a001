// The module page: its state and commands, its pages, programming.
"use strict";

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
