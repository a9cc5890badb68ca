// The status page: one self-contained document (no external assets) that reads
// status.json once a second and redraws itself. Every text from the site goes in through
// textContent, never as markup.
#include "service/StatusServer.h"

namespace tarn::status {

const char* TStatusServer::PageHtml() {
  return R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>TARNCard status</title>
<style>
:root { --ok:#1f9d55; --bad:#cc1f1a; --warn:#e8a317; --bg:#10161d; --panel:#1b242e; --text:#e8edf2; --dim:#93a1b0; }
* { box-sizing: border-box; }
body { margin:0; font:15px/1.4 system-ui, sans-serif; background:var(--bg); color:var(--text); }
header { display:flex; flex-wrap:wrap; gap:.5em 1.5em; align-items:baseline; padding:.8em 1em; background:var(--panel); }
header h1 { font-size:1.25em; margin:0; }
.dim { color:var(--dim); }
.pill { padding:.1em .6em; border-radius:1em; font-weight:600; }
.pill.ok { background:var(--ok); } .pill.bad { background:var(--bad); } .pill.warn { background:var(--warn); color:#111; }
main { display:grid; gap:1em; padding:1em; grid-template-columns: minmax(0,2fr) minmax(0,1fr); }
@media (max-width: 800px) { main { grid-template-columns: 1fr; } }
section { background:var(--panel); border-radius:.5em; padding:.8em 1em; }
h2 { font-size:1em; margin:0 0 .6em; color:var(--dim); text-transform:uppercase; letter-spacing:.05em; }
.loop { margin-bottom:.9em; }
.loop-head { margin-bottom:.3em; }
.devices { display:flex; flex-wrap:wrap; gap:.4em; }
.device { min-width:9em; padding:.4em .6em; border-radius:.4em; background:var(--bad); }
.device.online { background:var(--ok); }
.device.warn { background:var(--warn); color:#111; }
.device b { display:block; }
.device small { opacity:.85; }
.lot { margin-bottom:.7em; }
.bar { height:1.1em; background:#2c3845; border-radius:.3em; overflow:hidden; }
.fill { height:100%; background:var(--ok); }
.lot.full .fill { background:var(--bad); }
#feed { list-style:none; margin:0; padding:0; max-height:70vh; overflow:auto; }
.decision { display:grid; grid-template-columns: 6.5em minmax(0,1fr); gap:0 .6em; padding:.35em .4em; border-left:.3em solid var(--ok); margin-bottom:.3em; background:#16202a; }
.decision.refused { border-left-color:var(--bad); background:#2a1719; }
.decision .what { overflow-wrap:anywhere; }
#stale { display:none; background:var(--bad); padding:.3em 1em; }
</style>
</head>
<body>
<header>
  <h1>TARNCard <span id="computer" class="dim"></span></h1>
  <span id="version" class="dim"></span>
  <span>Database <span id="db" class="pill bad">unknown</span></span>
  <span id="dberror" class="dim"></span>
  <span id="offline" class="dim"></span>
  <span id="clock" class="dim"></span>
</header>
<div id="stale">No answer from the service.</div>
<main>
  <div>
    <section><h2>Loops</h2><div id="loops"></div></section>
    <section style="margin-top:1em"><h2>Lots</h2><div id="lots"></div></section>
  </div>
  <section><h2>Decisions</h2><ul id="feed"></ul></section>
</main>
<script>
"use strict";
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
function clock(t) { return t ? t.substring(11, 19) : ""; }
function deviceClass(d) {
  if (!d.online) return "device offline";
  if (d.door_ajar || d.printer_fault) return "device warn";
  return "device online";
}
function deviceNote(d) {
  const notes = [d.type];
  if (!d.online) notes.push("off line");
  if (d.gate_up) notes.push("gate up");
  if (d.door_ajar) notes.push("door ajar");
  if (d.printer && d.printer !== "Ok") notes.push("printer: " + d.printer.replace(/;\s*$/, "").replace(/;/g, ", "));
  return notes.join(", ");
}
function render(s) {
  document.getElementById("computer").textContent = s.computer;
  document.getElementById("version").textContent = "version " + s.version;
  const db = document.getElementById("db");
  db.textContent = s.database.connected ? "connected" : "not connected";
  db.className = "pill " + (s.database.connected ? "ok" : "bad");
  document.getElementById("dberror").textContent =
      s.database.last_error ? "last error " + clock(s.database.last_error_at) + ": " + s.database.last_error : "";
  document.getElementById("clock").textContent = clock(s.now);
  const off = s.offline || {};
  const offline = document.getElementById("offline");
  if (off.deciding) {
    offline.textContent = "Deciding offline from the copy of " + (off.copy_taken || "").replace("T", " ") + ", " +
        off.waiting_writes + " writes waiting";
    offline.className = "pill warn";
  } else if (off.copy_taken) {
    offline.textContent = "Offline copy of " + clock(off.copy_taken) +
        (off.waiting_writes ? ", " + off.waiting_writes + " writes waiting" : "");
    offline.className = "dim";
  } else {
    offline.textContent = "";
    offline.className = "dim";
  }

  const loops = el("div");
  for (const l of s.loops) {
    const box = el("div", "loop");
    box.dataset.loop = l.id;
    box.appendChild(el("div", "loop-head",
        "Loop " + l.id + " \u2013 COM" + l.port + " " + l.device_path + " \u2013 line " + l.line + " \u2013 " +
        Math.round(l.exchanges_per_second) + " exchanges/s, " + l.stray_replies + " stray, " +
        l.dropped_commands + " dropped"));
    const row = el("div", "devices");
    for (const d of l.devices) {
      const tile = el("div", deviceClass(d));
      tile.dataset.address = d.address;
      tile.appendChild(el("b", "", d.address + " " + d.name));
      tile.appendChild(el("small", "", deviceNote(d)));
      row.appendChild(tile);
    }
    box.appendChild(row);
    loops.appendChild(box);
  }
  document.getElementById("loops").replaceChildren(...loops.childNodes);

  const lots = el("div");
  for (const l of s.lots) {
    const box = el("div", "lot" + (l.full ? " full" : ""));
    box.dataset.lot = l.id;
    box.appendChild(el("div", "", l.name + ": " + l.count + " / " + l.capacity + (l.full ? " FULL" : "")));
    const bar = el("div", "bar");
    const fill = el("div", "fill");
    const share = l.capacity > 0 ? Math.min(100, Math.max(0, 100 * l.count / l.capacity)) : 100;
    fill.style.width = share + "%";
    bar.appendChild(fill);
    box.appendChild(bar);
    lots.appendChild(box);
  }
  document.getElementById("lots").replaceChildren(...lots.childNodes);

  const feed = el("ul");
  for (const d of s.decisions) {
    const item = el("li", "decision" + (d.passed ? " passed" : " refused"));
    item.appendChild(el("span", "dim", clock(d.time)));
    item.appendChild(el("span", "what",
        d.device + ": " + d.kind + " " + d.subject + " \u2013 " + d.result + (d.passed ? "" : " (refused)") +
        (d.message ? " \u2013 \u201c" + d.message + "\u201d" : "") +
        (d.latency_seconds !== null ? " \u2013 " + Math.round(d.latency_seconds * 1000) + " ms" : "")));
    feed.appendChild(item);
  }
  document.getElementById("feed").replaceChildren(...feed.childNodes);
}
async function poll() {
  try {
    const r = await fetch("status.json", {cache: "no-store"});
    if (!r.ok) throw new Error(r.status);
    render(await r.json());
    document.getElementById("stale").style.display = "none";
  } catch (e) {
    document.getElementById("stale").style.display = "block";
  }
  setTimeout(poll, 1000);
}
poll();
</script>
</body>
</html>
)HTML";
}

}  // namespace tarn::status
