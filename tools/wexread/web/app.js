// wexread's live page: the rows kept (/history) for the first draw, then each
// new row as it is stored (/events); the alarms' state (/alarms), then each
// change as an "alarm" event. Plain script, no framework; the plot is Debian's
// dygraphs, served by wexread itself.
"use strict";
(function () {
  const KEEP_MS = 6 * 3600 * 1000;
  const $ = (id) => document.getElementById(id);
  const spanSelect = $("span");
  const plotBox = $("plot");
  // What a test or a curious person can read from the console.
  const state = (window.wexread = {
    loadedAt: Date.now(),
    events: 0,
    reconnects: 0,
    drawn: 0,
    rows: () => rows.slice(),
    alarmEvents: 0,
    alarms: () => alarmRules.slice(),
    xRange: () => (graph ? graph.xAxisRange() : null),
    visibility: () => (graph ? graph.visibility() : []),
  });
  let layout = null; // {port, modules, names, unit, rowPeriodMs}
  let rows = []; // {t, up, c}, oldest first
  let cards = [];
  let graph = null;
  let drawPending = false;
  let lost = false;
  let alarmRules = []; // {name, module, channel, kind, limit, state, value, since}
  let alarmChanges = []; // newest last
  let hidden = []; // per series: hidden by the person looking
  const KEEP_CHANGES = 50;

  // A channel's label: its name from the config file, else its alarm's.
  function label(k, c) {
    const name = layout.names && layout.names[k * 8 + c];
    return name || channelName(layout.modules[k], c);
  }

  // " °C", " °F" or " K": the unit of every value shown.
  function unitSuffix() {
    const unit = layout.unit || "C";
    return unit === "K" ? " K" : " °" + unit;
  }

  // Degrees as wexread writes them: exact, at least one decimal.
  function celsius(v) {
    return v === null ? "No" : Number.isInteger(v) ? v.toFixed(1) : String(v);
  }

  function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // The name of a channel: its alarm's name when it has one of its own, else "ch<c>".
  function channelName(module, c) {
    const rule = alarmRules.find((r) => r.module === module && r.channel === c);
    return rule && rule.name !== module + " ch" + c ? rule.name : "ch" + c;
  }

  function buildModules() {
    const box = $("modules");
    box.textContent = "";
    cards = layout.modules.map((name, k) => {
      const card = element("article", "module");
      card.id = "module-" + k;
      const head = element("div", "module-head");
      head.append(element("span", "address", "Module " + name), element("span", "state", "waiting"));
      const channels = element("div", "channels");
      const figures = [];
      const cells = [];
      const limits = [];
      for (let c = 0; c < 8; ++c) {
        const cell = element("div", "channel");
        cell.id = "c-" + k + "-" + c;
        const figure = element("span", "figure", "–");
        figure.id = "v-" + k + "-" + c;
        const limit = element("span", "limit", "");
        cell.append(element("small", "", label(k, c) + unitSuffix()), figure, limit);
        channels.append(cell);
        figures.push(figure);
        cells.push(cell);
        limits.push(limit);
      }
      card.append(head, channels);
      box.append(card);
      return { card, state: head.lastChild, figures, cells, limits, up: true };
    });
    $("port").textContent = "COM" + layout.port;
  }

  function showRow(row) {
    cards.forEach((m, k) => {
      const up = row.up[k] === 1;
      m.up = up;
      m.card.classList.toggle("down", !up);
      m.figures.forEach((f, c) => {
        const v = row.c[k * 8 + c];
        f.textContent = celsius(v);
        f.classList.toggle("none", v === null);
      });
    });
    showAlarms();
    $("last").textContent = "last row " + new Date(row.t).toLocaleTimeString();
  }

  // The alarms on the cards: a raised channel alarm marks its channel with the
  // limit passed, a raised module alarm its card.
  function showAlarms() {
    cards.forEach((m, k) => {
      const module = layout.modules[k];
      const raised = alarmRules.filter((r) => r.module === module && r.state === "raised");
      const down = raised.some((r) => r.kind === "down");
      m.card.classList.toggle("alarm", down);
      m.state.textContent = (m.up ? "answering" : "not answering") + (down ? " · alarm" : "");
      m.cells.forEach((cell, c) => {
        const here = raised.filter((r) => r.channel === c);
        cell.classList.toggle("alarm", here.length > 0);
        m.limits[c].textContent = here
          .map((r) => (r.kind === "high" ? "over " : "under ") + r.limit)
          .join(", ");
      });
    });
    const count = alarmRules.filter((r) => r.state === "raised").length;
    $("alarm-count").textContent = count ? "(" + count + " raised)" : "";
  }

  function showChanges() {
    const list = $("alarm-list");
    if (!alarmChanges.length) return;
    list.textContent = "";
    for (const e of alarmChanges.slice().reverse()) {
      const where = e.module + (e.channel === null ? "" : " ch" + e.channel);
      const who = e.name === where ? where : e.name + " (" + where + ")";
      const what =
        e.kind === "down"
          ? e.state === "raised"
            ? "not answering for " + e.value + " s"
            : "answering again"
          : (e.value === null ? "" : e.value + unitSuffix() + ", ") + e.kind + " limit " + e.limit;
      const text = new Date(e.t).toLocaleTimeString() + "  " + who + " " + e.state + ": " + what;
      list.append(element("li", e.state, text));
    }
  }

  function onAlarm(e) {
    const same = (r) => r.name === e.name && r.kind === e.kind && r.module === e.module;
    const rule = alarmRules.find((r) => same(r) && r.channel === e.channel);
    if (rule) {
      rule.state = e.state;
      rule.value = e.value;
      rule.since = e.t;
    }
    alarmChanges.push(e);
    if (alarmChanges.length > KEEP_CHANGES) alarmChanges.shift();
    if (layout) showAlarms();
    showChanges();
  }

  async function loadAlarms() {
    const response = await fetch("alarms", { cache: "no-store" });
    if (!response.ok) throw new Error("alarms: " + response.status);
    const a = await response.json();
    const names = (rules) => JSON.stringify(rules.map((r) => r.name));
    const renamed = names(a.rules) !== names(alarmRules);
    alarmRules = a.rules;
    alarmChanges = a.changes;
    if (renamed && layout) {
      buildModules();
      if (graph) graph.destroy();
      graph = null;
      if (rows.length) showRow(rows[rows.length - 1]);
      scheduleDraw();
    }
    if (layout) showAlarms();
    showChanges();
  }

  function addRow(row) {
    if (rows.length && row.t <= rows[rows.length - 1].t) return; // already have it
    rows.push(row);
    const oldest = row.t - KEEP_MS;
    let drop = 0;
    while (drop < rows.length && rows[drop].t < oldest) ++drop;
    if (drop) rows.splice(0, drop);
  }

  function colours(n) {
    const out = [];
    for (let i = 0; i < n; ++i) out.push("hsl(" + Math.round((i * 360) / Math.min(n, 8)) % 360 + ",90%," + (60 - 10 * Math.floor(i / 8) % 30) + "%)");
    return out;
  }

  function draw() {
    drawPending = false;
    if (!layout) return;
    if (typeof Dygraph === "undefined") {
      plotBox.className = "empty";
      plotBox.textContent = "The plot was left out of this build of wexread (libjs-dygraphs was missing).";
      return;
    }
    const now = Date.now();
    // "rows kept": from the first row there is, so that a short run fills the axis.
    const fit = spanSelect.value === "fit";
    const first = rows.length ? rows[0].t - layout.rowPeriodMs : now;
    const from = fit ? first : now - Number(spanSelect.value) * 60000;
    const data = rows.filter((r) => r.t >= from).map((r) => [new Date(r.t)].concat(r.c));
    if (data.length === 0) {
      plotBox.className = "empty";
      if (graph) graph.destroy();
      graph = null;
      plotBox.textContent = "Waiting for the first rows.";
      return;
    }
    plotBox.className = "";
    const window_ = [from, Math.max(now, data[data.length - 1][0].getTime())];
    if (!graph) {
      plotBox.textContent = "";
      const labels = ["time"];
      layout.modules.forEach((name, k) => {
        for (let c = 0; c < 8; ++c) labels.push(name + " " + label(k, c));
      });
      if (hidden.length !== labels.length - 1) hidden = new Array(labels.length - 1).fill(false);
      graph = new Dygraph(plotBox, data, {
        labels,
        colors: colours(labels.length - 1),
        visibility: hidden.map((h) => !h),
        dateWindow: window_,
        drawPoints: true,
        pointSize: 1.5,
        strokeWidth: 1.2,
        ylabel: "°" + (layout.unit || "C"),
        legend: "onmouseover",
        labelsDiv: $("legend"),
        axisLineColor: "#888",
        gridLineColor: "#333",
        drawCallback: (g) => (state.drawn = g.numRows()),
      });
      buildSeries(labels.slice(1));
    } else {
      graph.updateOptions({ file: data, dateWindow: window_ });
    }
  }

  // One button per series: shows or hides it in the plot.
  function buildSeries(labels) {
    const box = $("series");
    box.textContent = "";
    const palette = colours(labels.length);
    labels.forEach((label, i) => {
      const button = element("button", hidden[i] ? "off" : "");
      button.type = "button";
      button.setAttribute("aria-pressed", String(!hidden[i]));
      const swatch = element("span", "swatch");
      swatch.style.background = palette[i];
      button.append(swatch, document.createTextNode(label));
      button.addEventListener("click", () => {
        hidden[i] = !hidden[i];
        button.classList.toggle("off", hidden[i]);
        button.setAttribute("aria-pressed", String(!hidden[i]));
        if (graph) graph.setVisibility(i, !hidden[i]);
      });
      box.append(button);
    });
  }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    setTimeout(draw, 250); // the rows come five at a time: one draw for them
  }

  async function loadHistory() {
    const minutes = spanSelect.value === "fit" ? 360 : Number(spanSelect.value);
    const response = await fetch("history?minutes=" + minutes, { cache: "no-store" });
    if (!response.ok) throw new Error("history: " + response.status);
    const h = await response.json();
    if (!layout || layout.modules.join() !== h.modules.join() || layout.port !== h.port ||
        JSON.stringify(layout.names) !== JSON.stringify(h.names) || layout.unit !== h.unit) {
      // Another run (wexread restarted with other modules): its rows only.
      rows = rows.filter((r) => r.up.length === h.modules.length);
      layout = h;
      buildModules();
      if (graph) graph.destroy();
      graph = null;
    }
    const last = h.rows.length ? h.rows[h.rows.length - 1].t : -Infinity;
    const first = h.rows.length ? h.rows[0].t : Infinity;
    // Older rows already here (a wider span than this request) stay; rows that
    // came as events after the history's last one stay too.
    rows = rows.filter((r) => r.t < first).concat(h.rows, rows.filter((r) => r.t > last));
    if (rows.length) showRow(rows[rows.length - 1]);
    scheduleDraw();
  }

  function setLink(text, className) {
    const link = $("link");
    link.textContent = text;
    link.className = "link " + className;
  }

  function connect() {
    const source = new EventSource("events");
    source.onopen = () => {
      setLink("live", "live");
      if (lost) {
        // wexread may have restarted, with other modules or rows missed meanwhile.
        ++state.reconnects;
        loadHistory().catch(() => {});
        loadAlarms().catch(() => {});
      }
      lost = false;
    };
    source.onmessage = (e) => {
      const row = JSON.parse(e.data);
      ++state.events;
      addRow(row);
      if (layout && row.up.length === layout.modules.length) showRow(row);
      scheduleDraw();
    };
    source.addEventListener("alarm", (e) => {
      ++state.alarmEvents;
      onAlarm(JSON.parse(e.data));
    });
    source.onerror = () => {
      lost = true;
      setLink("reconnecting", "lost");
      // Refused outright (too many pages): the browser gives up; try later.
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, 5000);
    };
  }

  spanSelect.addEventListener("change", () => {
    loadHistory().catch(() => scheduleDraw());
  });
  setInterval(scheduleDraw, 10000); // the window moves on while no rows come
  connect();
  (async function first() {
    try {
      await loadAlarms().catch(() => {}); // a page without alarms still shows the rows
      await loadHistory();
    } catch (e) {
      setTimeout(first, 2000);
    }
  })();
})();
