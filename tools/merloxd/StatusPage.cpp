#include "StatusPage.h"

namespace merloxd {

// Every value from the guard is set with textContent, never as HTML: a check's detail
// holds whatever a command printed.
const std::string_view kStatusPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>merloxd</title>
<style>
  :root { --ok: #1a7f37; --bad: #cf222e; --warn: #9a6700; --line: #d0d7de; --muted: #57606a; }
  * { box-sizing: border-box; }
  body { margin: 0; font: 15px/1.4 system-ui, sans-serif; color: #1f2328; background: #f6f8fa; }
  header { padding: 0.6em 1em; background: #24292f; color: #fff; display: flex;
           flex-wrap: wrap; justify-content: space-between; gap: 0.5em; }
  header h1 { font-size: 1.1em; margin: 0; }
  #updated.stale { color: #ff8182; }
  .grid { padding: 0.6em; display: grid; gap: 0.6em;
          grid-template-columns: repeat(auto-fit, minmax(min(100%, 22em), 1fr)); }
  section { background: #fff; border: 1px solid var(--line); border-radius: 6px; padding: 0.6em 0.8em; }
  h2 { font-size: 1em; margin: 0 0 0.4em; }
  dl { display: grid; grid-template-columns: auto 1fr; gap: 0.15em 0.8em; margin: 0; }
  dt { color: var(--muted); }
  dd { margin: 0; overflow-wrap: anywhere; }
  .ok { color: var(--ok); font-weight: 600; }
  .bad { color: var(--bad); font-weight: 600; }
  .warn { color: var(--warn); font-weight: 600; }
  table { border-collapse: collapse; width: 100%; }
  td, th { text-align: left; padding: 0.2em 0.4em 0.2em 0; border-top: 1px solid var(--line);
           vertical-align: top; }
  td.detail { color: var(--muted); overflow-wrap: anywhere; }
  .bits { display: flex; gap: 3px; }
  .bit { width: 1.3em; height: 1.3em; border-radius: 50%; border: 1px solid #8c959f;
         font-size: 0.7em; display: flex; align-items: center; justify-content: center; }
  .bit.on { background: var(--ok); color: #fff; border-color: var(--ok); }
  svg.plot { width: 100%; height: 9em; display: block; }
  .legend { font-size: 0.85em; color: var(--muted); }
  .legend .t { color: #cf222e; } .legend .h { color: #0969da; }
</style>
</head>
<body>
<header><h1>merloxd: <span id="card-name">…</span></h1><span id="updated">loading…</span></header>
<main>
<div class="grid">
  <section id="guard"><h2>Guard</h2><dl>
    <dt>Watchdog</dt><dd id="armed">…</dd>
    <dt>Timeout</dt><dd id="timeout">…</dd>
    <dt>Last feed</dt><dd id="last-feed">…</dd>
    <dt>Feeds</dt><dd id="feeds">…</dd>
    <dt>Paused</dt><dd id="paused">…</dd>
    <dt>Safe mode</dt><dd id="safe-mode">…</dd>
    <dt>Decision</dt><dd id="decision">…</dd>
  </dl></section>
  <section id="checks"><h2>Checks</h2>
    <table><thead><tr><th>Check</th><th>State</th><th>Last result</th></tr></thead>
    <tbody id="check-rows"></tbody></table></section>
</div>
<div class="grid" id="cards"></div>
</main>
<script>
"use strict";
const REFRESH_MS = 3000;
const PLOT_MS = 10 * 60 * 1000;

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, value);
  for (const child of children) node.append(child);
  return node;
}
function set(id, text, cls) {
  const node = document.getElementById(id);
  node.textContent = text;
  node.className = cls || "";
}
function clock(time) {
  if (time === null || time === undefined) return "never";
  return new Date(time).toLocaleString();
}
function since(ms, now) {
  const s = Math.max(0, Math.round((now - ms) / 1000));
  if (s < 120) return s + " s";
  if (s < 7200) return Math.round(s / 60) + " min";
  return Math.round(s / 3600) + " h";
}
function bits(values, title) {
  const row = el("div", {class: "bits", title: title});
  values.forEach((v, i) => row.append(el("span", {class: v ? "bit on" : "bit", "data-channel": i}, String(i))));
  return row;
}
function fixed(value, digits) { return Number(value).toFixed(digits); }

function showGuard(g, now) {
  set("card-name", g.card);
  set("armed", g.dry_run ? "dry run: never armed" : (g.armed ? "armed" : "not armed"),
      g.armed ? "ok" : "warn");
  set("timeout", (g.timeout_ms / 1000) + " s");
  set("last-feed", g.last_feed ? clock(g.last_feed) + " (" + since(Date.parse(g.last_feed), now) + " ago)" : "never");
  set("feeds", String(g.feeds));
  set("paused", g.paused ? "until " + clock(g.paused_until) + ": " + g.pause_reason : "no",
      g.paused ? "warn" : "");
  set("safe-mode", g.safe_mode ? "yes: the guard acts on nothing" : "no", g.safe_mode ? "bad" : "");
  set("decision", g.decision || "…");
  const rows = document.getElementById("check-rows");
  rows.replaceChildren(...g.checks.map(c => {
    const state = c.healthy ? "healthy" : "failing since " + clock(c.failing_since) +
        " (" + since(Date.parse(c.failing_since), now) + ")";
    return el("tr", {"data-check": c.name, class: c.healthy ? "healthy" : "failing"},
              el("td", {}, c.name + " (" + c.type + ")"),
              el("td", {class: c.healthy ? "ok state" : "bad state"}, state),
              el("td", {class: "detail"}, c.detail + (c.failures ? " · " + c.failures + " failures" : "")));
  }));
}

function plot(samples, now) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("class", "plot");
  svg.setAttribute("viewBox", "0 0 600 150");
  svg.setAttribute("preserveAspectRatio", "none");
  const add = (tag, attrs) => {
    const node = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
    svg.append(node);
    return node;
  };
  add("rect", {x: 0, y: 0, width: 600, height: 150, fill: "#fff", stroke: "#d0d7de"});
  for (let m = 1; m < 10; ++m) add("line", {x1: m * 60, x2: m * 60, y1: 0, y2: 150, stroke: "#eaeef2"});
  const x = t => 600 - (now - t) / PLOT_MS * 600;
  const line = (index, colour) => {
    const values = samples.map(s => s[index]);
    if (values.length === 0) return [0, 0];
    let low = Math.min(...values), high = Math.max(...values);
    if (high - low < 1) { low -= 0.5; high += 0.5; }
    const y = v => 140 - (v - low) / (high - low) * 130;
    add("polyline", {fill: "none", stroke: colour, "stroke-width": 2, "vector-effect": "non-scaling-stroke",
                     points: samples.map(s => x(s[0]).toFixed(1) + "," + y(s[index]).toFixed(1)).join(" ")});
    // The latest sample as a mark of its own: a single one draws no line.
    const last = samples[samples.length - 1];
    add("rect", {x: x(last[0]) - 4, y: y(last[index]) - 4, width: 8, height: 8, fill: colour});
    return [low, high];
  };
  const t = line(1, "#cf222e"), h = line(2, "#0969da");
  return [svg, t, h];
}

function showCards(cards, history, now) {
  const area = document.getElementById("cards");
  area.replaceChildren(...cards.map(c => {
    const section = el("section", {"data-card": c.card, class: c.up ? "up" : "down"},
                       el("h2", {}, "Card " + c.number + " · " + c.card));
    if (!c.up) {
      section.append(el("p", {class: "bad"}, "not read: the card has gone or does not answer"));
      return section;
    }
    section.append(el("dl", {},
      el("dt", {}, "Product"), el("dd", {}, c.product),
      el("dt", {}, "Temperature"), el("dd", {"data-field": "temperature"}, fixed(c.temperature_c, 2) + " °C"),
      el("dt", {}, "Humidity"), el("dd", {"data-field": "humidity"}, fixed(c.humidity_percent, 1) + " %"),
      el("dt", {}, "Inputs"), el("dd", {"data-field": "inputs"}, bits(c.inputs, "digital inputs 0 to 7")),
      el("dt", {}, "Outputs"), el("dd", {"data-field": "outputs"}, bits(c.outputs, "digital outputs 0 to 7")),
      el("dt", {}, "Analog"), el("dd", {"data-field": "analog"}, c.analog_mv.map(v => fixed(v, 1)).join(" · ") + " mV")));
    const [svg, t, h] = plot(history[c.card] || [], now);
    section.append(svg, el("div", {class: "legend"},
      el("span", {class: "t"}, "— temperature " + fixed(t[0], 1) + " to " + fixed(t[1], 1) + " °C"), "  ",
      el("span", {class: "h"}, "— humidity " + fixed(h[0], 1) + " to " + fixed(h[1], 1) + " %"),
      " · last 10 minutes"));
    return section;
  }));
}

async function refresh() {
  try {
    const response = await fetch("/status.json", {cache: "no-store"});
    if (!response.ok) throw new Error("HTTP " + response.status);
    const status = await response.json();
    showGuard(status.guard, status.now);
    showCards(status.cards, status.history, status.now);
    set("updated", "updated " + new Date(status.now).toLocaleTimeString());
  } catch (error) {
    set("updated", "no answer from merloxd: " + error.message, "stale");
  }
}
refresh();
setInterval(refresh, REFRESH_MS);
</script>
</body>
</html>
)html";

}  // namespace merloxd
