// The station and network pages of ulmet-web: they read the JSON API of
// the same server and draw with Chart.js (served by the server too, so no
// page needs the internet). Both refresh themselves every minute. What a
// page drew is also written, as JSON, into the hidden element #drawn, so
// that tools (and the browser tests) can read it back.
"use strict";

const REFRESH_MS = 60000;
const params = new URLSearchParams(window.location.search);
const station = params.get("station");

function showStatus(text) {
  const el = document.getElementById("status");
  if (text) {
    el.textContent = text;
    el.hidden = false;
  } else {
    el.textContent = "";
    el.hidden = true;
  }
}

// GET of an API path: the parsed answer, or an Error whose message is the
// server's ("database unavailable" for 503).
async function api(path, query) {
  const q = new URLSearchParams(query);
  if (station) q.set("station", station);
  const reply = await fetch(path + "?" + q.toString(), { cache: "no-store" });
  let body = null;
  try {
    body = await reply.json();
  } catch (e) {
    body = null;
  }
  if (!reply.ok) {
    const message = body && body.error ? body.error : "HTTP " + reply.status;
    const error = new Error(reply.status === 503 ? "Database unavailable: " + message : message);
    error.status = reply.status;
    throw error;
  }
  return body;
}

function pad(n) { return String(n).padStart(2, "0"); }
function utcText(ms, withDate) {
  const d = new Date(ms);
  const time = pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes());
  if (!withDate) return time;
  return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) + " " + time;
}
function ageText(seconds) {
  if (seconds === null || seconds === undefined) return "-";
  if (seconds < 120) return seconds + " s";
  if (seconds < 7200) return Math.round(seconds / 60) + " min";
  if (seconds < 172800) return (seconds / 3600).toFixed(1) + " h";
  return (seconds / 86400).toFixed(1) + " days";
}
function isoText(iso) { return iso ? iso.replace("T", " ") : "-"; }

// ------------------------------------------------------------ station page
let period = { period: params.get("period") || "6h" };
if (params.get("from") && params.get("to")) period = { from: params.get("from"), to: params.get("to") };
const charts = {};

function xAxis(series) {
  const span = (series.time[series.time.length - 1] - series.time[0]) * 1000;
  return {
    type: "linear",
    min: series.time[0] * 1000,
    max: series.time[series.time.length - 1] * 1000,
    ticks: { maxTicksLimit: 10, callback: (v) => utcText(v, span > 86400000) },
  };
}

function points(series, key) {
  return series.time.map((t, i) => ({ x: t * 1000, y: series[key][i] }));
}

function band(series, sign) {
  return series.time.map((t, i) => {
    const m = series.ipwv_mean_cm[i], s = series.ipwv_sigma_cm[i];
    return { x: t * 1000, y: m === null || s === null ? null : m + sign * s };
  });
}

function line(label, data, color, extra) {
  return Object.assign({ label, data, borderColor: color, backgroundColor: color, borderWidth: 1.5,
                         pointRadius: 0, spanGaps: false }, extra || {});
}

function draw(id, datasets, scales) {
  if (charts[id]) charts[id].destroy();
  charts[id] = new Chart(document.getElementById(id), {
    type: "line",
    data: { datasets },
    options: { animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
               normalized: true, interaction: { mode: "nearest", intersect: false },
               plugins: { legend: { position: "bottom", labels: { filter: (item) => item.text !== "" } } },
               scales },
  });
  return charts[id];
}

// Runs of buckets without IPWV between buckets with one: the gaps drawn.
function gapRuns(values) {
  let gaps = 0, seen = false, inGap = false;
  for (const v of values) {
    if (v === null) {
      if (seen) inGap = true;
    } else {
      if (inGap) gaps++;
      inGap = false;
      seen = true;
    }
  }
  return gaps;
}

function drawSeries(series) {
  const x = xAxis(series);
  const multi = series.bucket_minutes > 1;
  const ipwvSets = [
    line("", band(series, -1), "rgba(31,95,168,0.25)", { borderWidth: 0 }),
    line("uncertainty (±1 σ)", band(series, 1), "rgba(31,95,168,0.25)",
         { borderWidth: 0, fill: "-1", backgroundColor: "rgba(31,95,168,0.2)" }),
    line(multi ? "IPWV (mean of " + series.bucket_minutes + " min)" : "IPWV", points(series, "ipwv_mean_cm"),
         "#1f5fa8", { borderWidth: 2 }),
  ];
  if (multi) {
    ipwvSets.push(line("minimum", points(series, "ipwv_min_cm"), "#7aa6d6", { borderDash: [4, 3], borderWidth: 1 }));
    ipwvSets.push(line("maximum", points(series, "ipwv_max_cm"), "#7aa6d6", { borderDash: [4, 3], borderWidth: 1 }));
  }
  const ipwvChart = draw("chart-ipwv", ipwvSets, { x, y: { title: { display: true, text: "cm" } } });
  draw("chart-satellites", [
    line("satellites used", points(series, "satellites"), "#2e7d32", { yAxisID: "y" }),
    line("elevation (deg)", points(series, "elevation_deg"), "#ef6c00", { yAxisID: "y1" }),
  ], { x, y: { title: { display: true, text: "satellites" }, beginAtZero: true },
       y1: { position: "right", title: { display: true, text: "degrees" }, grid: { drawOnChartArea: false } } });
  draw("chart-weather", [
    line("pressure (hPa)", points(series, "pressure_hpa"), "#6a1b9a", { yAxisID: "y" }),
    line("temperature (°C)", points(series, "temperature_c"), "#c62828", { yAxisID: "y1" }),
    line("relative humidity (%)", points(series, "rh_percent"), "#00838f", { yAxisID: "y2" }),
  ], { x, y: { title: { display: true, text: "hPa" } },
       y1: { position: "right", title: { display: true, text: "°C" }, grid: { drawOnChartArea: false } },
       y2: { position: "right", title: { display: true, text: "%" }, grid: { drawOnChartArea: false } } });

  // What the IPWV chart holds, read back from the chart itself.
  const drawnMean = ipwvChart.data.datasets[2].data.map((p) => p.y);
  const values = drawnMean.filter((v) => v !== null);
  document.getElementById("drawn").textContent = JSON.stringify({
    drawn_ms: Math.round(performance.now()),  // since the page began to load
    points: drawnMean.length,
    values: values.length,
    gaps: gapRuns(drawnMean),
    bucket_minutes: series.bucket_minutes,
    first: values.length ? values[0] : null,
    last: values.length ? values[values.length - 1] : null,
    ipwv: drawnMean,
    flags: series.flags,
    quality: series.quality,
    satellites: charts["chart-satellites"].data.datasets[0].data.map((p) => p.y),
    temperature: charts["chart-weather"].data.datasets[1].data.map((p) => p.y),
  });
  // The inputs show the period drawn, ready to be changed.
  document.getElementById("from").value = series.from.slice(0, 16);
  document.getElementById("to").value = series.to.slice(0, 16);
  document.getElementById("period-text").textContent =
    "From " + isoText(series.from) + " to " + isoText(series.to) + " (GPS time), " + values.length + " of " +
    drawnMean.length + (multi ? " buckets of " + series.bucket_minutes + " minutes" : " minutes") + " with IPWV.";
}

// The station's description and the meaning of each flag and reason, from
// /api/station; read once, kept for the quality tables.
let description = null;

function fillRows(table, rows) {
  for (const [name, value, meaning] of rows) {
    const row = table.insertRow();
    row.dataset.name = name;
    row.insertCell().textContent = name;
    row.insertCell().textContent = value === null || value === undefined || value === "" ? "-" : String(value);
    if (meaning !== undefined) row.insertCell().textContent = meaning;
  }
}

function drawDescription(d) {
  const meta = document.getElementById("meta");
  meta.replaceChildren();
  if (d.metadata) fillRows(meta, Object.entries(d.metadata));
  const error = document.getElementById("meta-error");
  error.textContent = d.metadata_error ? "Station file: " + d.metadata_error : "";
  error.hidden = !d.metadata_error;
  const processing = document.getElementById("processing");
  processing.replaceChildren();
  fillRows(processing, Object.entries(d.description).filter(([key]) => key === key.toUpperCase() || key === "input"));
}

function drawQuality(q) {
  const flags = document.getElementById("q-flags"), reasons = document.getElementById("q-reasons");
  for (const t of [flags, reasons]) for (const r of [...t.rows]) r.remove();
  document.getElementById("q-note").hidden = q !== null;
  if (!q) return;
  const meaning = (list, key, name) => {
    const item = description ? description[list].find((x) => x[key] === name) : null;
    return item ? item.meaning : "";
  };
  fillRows(flags, [["values", q.values + " of " + q.minutes + " minutes", ""]].concat(
    (description ? description.flags : []).map((f) => [f.bit + " " + f.name, q.flags[f.name], f.meaning])));
  fillRows(reasons, Object.entries(q.empty_reasons).map(([code, n]) => [code, n, meaning("empty_reasons", "code", code)]));
}

function drawHealth(h) {
  document.getElementById("h-database").textContent = h.database;
  document.getElementById("h-row").textContent =
    h.last_row_time ? isoText(h.last_row_time) + " (" + ageText(h.last_row_age_s) + " ago)" : "none";
  document.getElementById("h-ipwv").textContent = h.last_ipwv_time
    ? h.last_ipwv_cm + " cm at " + isoText(h.last_ipwv_time) + " (" + ageText(h.last_ipwv_age_s) + " ago)"
    : "none";
  document.getElementById("h-missing").textContent = h.missing_ipwv_minutes_last_hour + " of 60";
  // The station machine's own figures, as ulmet-status judges them.
  const table = document.getElementById("h-lines");
  table.replaceChildren();
  table.hidden = !h.station_health;
  if (!h.station_health) return;
  for (const line of h.station_health.lines) {
    const row = table.insertRow();
    row.className = line.status.toLowerCase();
    row.dataset.line = line.name;
    row.insertCell().textContent = line.name;
    row.insertCell().textContent = line.status;
    row.insertCell().textContent = line.text + (line.advice ? " (" + line.advice + ")" : "");
  }
}

// Downloads cover at most 31 days (the server refuses longer ones).
const MAX_DOWNLOAD_MS = 31 * 86400000;

function downloadable() {
  if (period.period) return period.period !== "year";
  const from = Date.parse(period.from), to = Date.parse(period.to);
  return !(to - from >= MAX_DOWNLOAD_MS);
}

function setLinks() {
  const ok = downloadable();
  for (const format of ["csv", "json"]) {
    const q = new URLSearchParams(period);
    q.set("format", format);
    if (station) q.set("station", station);
    const link = document.getElementById(format);
    if (ok) link.href = "/api/export?" + q.toString();
    else link.removeAttribute("href");
    link.title = ok ? "" : "at most 31 days: choose a shorter period, or use ulmet-export";
  }
  document.getElementById("download-note").hidden = ok;
  for (const b of document.querySelectorAll("button[data-period]"))
    b.classList.toggle("active", b.dataset.period === period.period);
}

async function loadStation() {
  setLinks();
  try {
    if (!description) {
      description = await api("/api/station", {});
      drawDescription(description);
    }
    const [series, health] = await Promise.all([api("/api/series", period), api("/api/health", {})]);
    drawHealth(health);
    drawSeries(series);
    drawQuality(series.quality);
    showStatus("");
    document.body.dataset.state = "drawn";
  } catch (e) {
    showStatus(e.message);
    document.body.dataset.state = e.status === 503 ? "database-down" : "error";
    if (e.status === 503) document.getElementById("h-database").textContent = "unavailable";
  }
}

function startStation() {
  if (station) {
    document.getElementById("station-name").textContent = station;
    document.getElementById("network-link").hidden = false;
    document.title = "Station " + station;
  }
  for (const b of document.querySelectorAll("button[data-period]")) {
    b.addEventListener("click", () => {
      period = { period: b.dataset.period };
      loadStation();
    });
  }
  document.getElementById("range").addEventListener("submit", (ev) => {
    ev.preventDefault();
    period = { from: document.getElementById("from").value, to: document.getElementById("to").value };
    loadStation();
  });
  loadStation();
  setInterval(loadStation, REFRESH_MS);
}

// ------------------------------------------------------------ network page
function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}

async function loadNetwork() {
  try {
    const reply = await api("/api/stations", {});
    const body = document.querySelector("#stations tbody");
    body.replaceChildren();
    for (const s of reply.stations) {
      const tr = document.createElement("tr");
      tr.className = s.healthy ? "healthy" : "unhealthy";
      tr.dataset.station = s.name;
      const link = document.createElement("a");
      link.href = "/station?station=" + encodeURIComponent(s.name);
      link.textContent = s.name;
      cell(tr, "").appendChild(link);
      cell(tr, s.state);
      cell(tr, s.behind_s === null ? "-" : s.behind_s + " s");
      cell(tr, s.last_row_time ? isoText(s.last_row_time) + " (" + ageText(s.last_row_age_s) + " ago)" : "none");
      cell(tr, s.last_ipwv_cm === null ? "none" : s.last_ipwv_cm + " cm");
      cell(tr, ageText(s.last_ipwv_age_s));
      cell(tr, s.database === "reachable" ? String(s.missing_ipwv_minutes_last_hour) : "-");
      cell(tr, [s.reason, s.problem].filter((t, i, all) => t && all.indexOf(t) === i).join("; ") || "-");
      body.appendChild(tr);
    }
    showStatus("");
    document.body.dataset.state = "drawn";
  } catch (e) {
    showStatus(e.message);
    document.body.dataset.state = e.status === 503 ? "database-down" : "error";
  }
}

function startNetwork() {
  loadNetwork();
  setInterval(loadNetwork, REFRESH_MS);
}

document.addEventListener("DOMContentLoaded", () => {
  if (document.body.dataset.page === "station") startStation();
  else startNetwork();
});
