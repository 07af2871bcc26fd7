// wexread's live page: the rows kept (/history) for the first draw, then each
// new row as it is stored (/events). Plain script, no framework; the plot is
// Debian's dygraphs, served by wexread itself.
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
  });
  let layout = null; // {port, modules, names, unit, rowPeriodMs}
  let rows = []; // {t, up, c}, oldest first
  let cards = [];
  let graph = null;
  let drawPending = false;
  let lost = false;

  // A channel's label: its name from the config file, or ch<N>.
  function label(k, c) {
    const name = layout.names && layout.names[k * 8 + c];
    return name || "ch" + c;
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
      for (let c = 0; c < 8; ++c) {
        const cell = element("div", "channel");
        const figure = element("span", "figure", "–");
        figure.id = "v-" + k + "-" + c;
        cell.append(element("small", "", label(k, c) + " °" + (layout.unit || "C")), figure);
        channels.append(cell);
        figures.push(figure);
      }
      card.append(head, channels);
      box.append(card);
      return { card, state: head.lastChild, figures };
    });
    $("port").textContent = "COM" + layout.port;
  }

  function showRow(row) {
    cards.forEach((m, k) => {
      const up = row.up[k] === 1;
      m.card.classList.toggle("down", !up);
      m.state.textContent = up ? "answering" : "not answering";
      m.figures.forEach((f, c) => (f.textContent = celsius(row.c[k * 8 + c])));
    });
    $("last").textContent = "last row " + new Date(row.t).toLocaleTimeString();
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
    const from = now - Number(spanSelect.value) * 60000;
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
      graph = new Dygraph(plotBox, data, {
        labels,
        colors: colours(labels.length - 1),
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
    } else {
      graph.updateOptions({ file: data, dateWindow: window_ });
    }
  }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    setTimeout(draw, 250); // the rows come five at a time: one draw for them
  }

  async function loadHistory() {
    const minutes = Number(spanSelect.value);
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
      await loadHistory();
    } catch (e) {
      setTimeout(first, 2000);
    }
  })();
})();
