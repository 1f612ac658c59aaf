"use strict";
// The dashboard: kivwatch's records from /events (a snapshot, then every
// record as it happens) kept per frame and drawn as a grid. Read-only: the
// page never sends anything.
(() => {
  const HISTORY_MS = 5 * 60 * 1000; // the sparklines' span
  const RECONNECT_MS = [500, 1000, 2000, 4000];
  const STATE_ORDER = { lost: 0, late: 1, never_seen: 2, ok: 3 };
  const STATE_TEXT = { ok: "ok", late: "late", lost: "lost", never_seen: "never seen" };
  const CHANNEL_BARS = [
    // [key, class, title, value to fill 0..1]
    ["Volt", "volt", "V", (v) => (v + 60) / 60],
    ["Curr", "curr", "I", (v) => (v + 60) / 60],
    ["Power", "power", "P", (v) => (v + 60) / 60],
    ["GainRed", "gr", "GR", (v) => v / 30],
    ["Temp", "temp", "T", (v) => (v + 30) / 30], // dB below the limit: full at the limit
  ];

  const frames = new Map(); // frame ID -> what the records said of it
  const cards = new Map();  // frame ID -> its card's elements
  let every = 0;            // the poll period in seconds; 0: no polling
  let skew = 0;             // this browser's clock minus kivwatch's, from live records
  let socket = null;
  let attempt = 0;
  let fresh = false;        // the next message is a snapshot
  let drawPending = false;
  let lastPoll = null;

  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const svg = (tag, attrs) => {
    const e = document.createElementNS("http://www.w3.org/2000/svg", tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    return e;
  };
  const clamp01 = (x) => (Number.isFinite(x) ? Math.min(1, Math.max(0, x)) : 0);

  function frame(id) {
    let f = frames.get(id);
    if (!f) {
      f = { id, name: "", address: "", kind: "never_seen", since: 0, lastMeter: 0, meter: null, history: [] };
      frames.set(id, f);
    }
    return f;
  }

  // One record, as kivwatch --json writes it.
  function apply(r, live) {
    const t = Date.parse(r.t);
    if (live && Number.isFinite(t)) skew = Date.now() - t;
    switch (r.type) {
      case "start":
        every = r.meters ? Number(r.every) || 0 : 0;
        return;
      case "poll":
        lastPoll = r;
        return;
      case "found":
      case "changed":
      case "lost":
      case "never_seen": {
        const f = frame(r.frame);
        if (r.name) f.name = r.name;
        if (r.address) f.address = r.address;
        if (r.type === "found") f.lastMeter = 0;
        f.kind = r.type === "lost" ? "lost" : r.type === "never_seen" ? "never_seen" : "present";
        f.since = t;
        return;
      }
      case "meter": {
        const f = frame(r.frame);
        if (r.name) f.name = r.name;
        if (r.address) f.address = r.address;
        if (f.kind === "never_seen") f.kind = "present";
        f.meter = r.meter;
        f.lastMeter = t;
        const channels = (r.meter && r.meter.channels) || [];
        const temps = channels.map((c) => c.Temp).filter((v) => typeof v === "number");
        const grs = channels.map((c) => c.GainRed).filter((v) => typeof v === "number");
        f.history.push({ t, temp: temps.length ? Math.max(...temps) : null, gr: grs.length ? Math.max(...grs) : 0 });
        while (f.history.length && f.history[0].t < t - HISTORY_MS) f.history.shift();
        return;
      }
      default:
        return; // a record type of a later kivwatch
    }
  }

  // kivwatch's clock now, as far as the live records tell.
  const serverNow = () => Date.now() - skew;

  function stateOf(f, now) {
    if (f.kind !== "present") return f.kind;
    // Late: polled, and no answer for two periods and a second.
    if (every > 0 && now - Math.max(f.since, f.lastMeter) > (2 * every + 1) * 1000) return "late";
    return "ok";
  }

  function ageText(ms) {
    if (!Number.isFinite(ms) || ms < 0) return "";
    if (ms < 10000) return (ms / 1000).toFixed(1) + " s";
    if (ms < 120000) return Math.round(ms / 1000) + " s";
    if (ms < 7200000) return Math.round(ms / 60000) + " min";
    return Math.round(ms / 3600000) + " h";
  }

  function makeCard(f) {
    const card = el("section", "frame");
    card.dataset.frame = f.id;
    const head = el("div", "head");
    const name = el("span", "name");
    const state = el("span", "state");
    head.append(name, state);
    const sub = el("div", "sub");
    const id = el("span", "id", f.id);
    const address = el("span", "address");
    const age = el("span", "age");
    sub.append(id, address, age);
    const table = el("table", "meters");
    const spark = svg("svg", { class: "spark", viewBox: "0 0 300 34", preserveAspectRatio: "none" });
    const tempLine = svg("polyline", { class: "temp" });
    const grLine = svg("polyline", { class: "gr" });
    spark.append(tempLine, grLine);
    const legend = el("div", "legend");
    const span = el("span", "span");
    legend.append(el("span", "t", "hottest Temp"), el("span", "g", "largest GainRed"), span);
    card.append(head, sub, table, spark, legend);
    const c = { card, name, state, address, age, table, tempLine, grLine, span, rows: null, shape: "" };
    cards.set(f.id, c);
    return c;
  }

  // The bars' table, built again only when the record's shape changes.
  function buildMeters(c, meter) {
    const channels = meter.channels || [];
    const outputs = meter.outputs || [];
    const shape = channels.length + ":" + outputs.length;
    if (shape === c.shape) return;
    c.shape = shape;
    c.table.textContent = "";
    const headRow = el("tr");
    headRow.append(el("th", "", "ch"));
    for (const [, , title] of CHANNEL_BARS) headRow.append(el("th", "", title));
    headRow.append(el("th", "", "Out"));
    c.table.append(headRow);
    c.rows = [];
    const rows = Math.max(channels.length, outputs.length);
    for (let i = 0; i < rows; i++) {
      const tr = el("tr");
      tr.append(el("th", "", String(i + 1)));
      const bars = [];
      for (const [key, cls] of [...CHANNEL_BARS, ["Peak", "peak"]]) {
        const td = el("td");
        const bar = el("div", "bar " + cls);
        bar.dataset.meter = key;
        const fill = el("span");
        bar.append(fill);
        td.append(bar);
        tr.append(td);
        bars.push({ key, bar, fill });
      }
      c.table.append(tr);
      c.rows.push(bars);
    }
  }

  function drawMeters(c, meter) {
    if (!meter) return;
    buildMeters(c, meter);
    const channels = meter.channels || [];
    const outputs = meter.outputs || [];
    c.rows.forEach((bars, i) => {
      bars.forEach(({ key, bar, fill }, j) => {
        const source = key === "Peak" ? outputs[i] : channels[i];
        const value = source ? source[key] : undefined;
        const scale = key === "Peak" ? (v) => (v + 60) / 60 : CHANNEL_BARS[j][3];
        const known = typeof value === "number";
        fill.style.width = (known ? clamp01(scale(value)) * 100 : 0).toFixed(1) + "%";
        bar.dataset.value = known ? String(value) : "";
        bar.title = known ? key + " " + value + " dB" : key + ": none";
      });
    });
  }

  function spanText(ms) {
    return ms >= 60000 ? "last " + Math.round(ms / 60000) + " min" : "last " + Math.round(ms / 1000) + " s";
  }

  function drawSpark(c, f, now) {
    // The span grows with the history kept, from 30 s to its full length.
    const span = Math.min(HISTORY_MS, Math.max(30000, f.history.length ? now - f.history[0].t : 0));
    c.span.textContent = spanText(span);
    const x = (t) => (300 * (1 - (now - t) / span)).toFixed(1);
    const temps = f.history.filter((h) => h.temp !== null);
    // Temp from 30 dB below the limit (bottom) to the limit (top); GainRed 0 to 30 dB.
    c.tempLine.setAttribute("points", temps.map((h) => x(h.t) + "," + (34 - 34 * clamp01((h.temp + 30) / 30)).toFixed(1)).join(" "));
    c.grLine.setAttribute("points", f.history.map((h) => x(h.t) + "," + (34 - 34 * clamp01(h.gr / 30)).toFixed(1)).join(" "));
  }

  function draw() {
    drawPending = false;
    const now = serverNow();
    const filter = $("filter").value.trim().toLowerCase();
    const sort = $("sort").value;
    const counts = { ok: 0, late: 0, lost: 0, never_seen: 0 };
    const shown = [];
    for (const f of frames.values()) {
      const state = stateOf(f, now);
      counts[state]++;
      if (filter && !f.id.toLowerCase().includes(filter) && !f.name.toLowerCase().includes(filter)) continue;
      shown.push({ f, state });
    }
    const byName = (a, b) => (a.f.name || "\uffff" + a.f.id).localeCompare(b.f.name || "\uffff" + b.f.id) || a.f.id.localeCompare(b.f.id);
    const byId = (a, b) => a.f.id.localeCompare(b.f.id);
    shown.sort(sort === "id" ? byId : sort === "state" ? (a, b) => STATE_ORDER[a.state] - STATE_ORDER[b.state] || byName(a, b) : byName);

    const grid = $("grid");
    const wanted = new Set();
    shown.forEach(({ f, state }, i) => {
      wanted.add(f.id);
      const c = cards.get(f.id) || makeCard(f);
      c.card.dataset.state = state;
      c.name.textContent = f.name || f.id;
      c.state.textContent = STATE_TEXT[state];
      c.address.textContent = f.address || "";
      const last = f.lastMeter || f.since;
      c.age.textContent = f.kind === "never_seen" ? "never answered" : ageText(now - last);
      drawMeters(c, f.meter);
      drawSpark(c, f, now);
      if (grid.children[i] !== c.card) grid.insertBefore(c.card, grid.children[i] || null);
    });
    for (const [id, c] of cards)
      if (!wanted.has(id) && c.card.parentNode) c.card.remove();
    for (const k of Object.keys(counts)) $("count-" + k).textContent = counts[k];
    $("empty").hidden = frames.size > 0;
    $("footer").textContent = lastPoll
      ? `round ${lastPoll.round}: sent ${lastPoll.sent}, answered ${lastPoll.answered}, timed out ${lastPoll.timed_out}, late ${lastPoll.late}, ${lastPoll.ms} ms`
      : every > 0 ? "" : "meters not polled (kivwatch without --meters)";
  }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    requestAnimationFrame(draw);
  }

  function setConnection(state) {
    document.body.dataset.connection = state;
    $("connection").textContent = state === "open" ? "live" : state === "lost" ? "connection lost" : "connecting";
    $("banner").hidden = state !== "lost";
  }

  function connect() {
    const url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/events";
    socket = new WebSocket(url);
    socket.onopen = () => {
      attempt = 0;
      fresh = true;
    };
    socket.onmessage = (event) => {
      const snapshot = fresh;
      if (snapshot) {
        // A new connection starts over from its snapshot; the sparklines keep their past.
        fresh = false;
        const histories = new Map([...frames].map(([id, f]) => [id, f.history]));
        frames.clear();
        lastPoll = null;
        for (const line of event.data.split("\n")) if (line) apply(JSON.parse(line), false);
        for (const [id, f] of frames) if (histories.has(id) && f.history.length === 0) f.history = histories.get(id);
        for (const [id, c] of cards) if (!frames.has(id)) { c.card.remove(); cards.delete(id); }
        setConnection("open");
      } else {
        for (const line of event.data.split("\n")) if (line) apply(JSON.parse(line), true);
      }
      scheduleDraw();
    };
    socket.onclose = () => {
      setConnection("lost");
      const wait = RECONNECT_MS[Math.min(attempt, RECONNECT_MS.length - 1)];
      attempt++;
      setTimeout(connect, wait);
    };
  }

  // The token came in the address on the first visit; the cookie carries it from here on.
  if (new URLSearchParams(location.search).has("token")) history.replaceState(null, "", location.pathname);
  $("filter").addEventListener("input", scheduleDraw);
  $("sort").addEventListener("change", scheduleDraw);
  setInterval(scheduleDraw, 1000); // ages and lateness move on without records
  connect();
})();
