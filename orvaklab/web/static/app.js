// The bench page: a card per module, built from the modules' descriptions
// (GET api/modules), kept live by the event stream (api/events). Every call
// carries the token this page was opened with. Bad values go to the server
// as typed, so what is refused is refused with the library's own message.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const EVERY = Number(new URLSearchParams(location.search).get("every")) || 0.5;
const WINDOW_SECONDS = 300;          // the plots' rolling window
const STOP_FAMILY = new Set(["stop", "pause", "abort"]);
const HIDDEN = new Set(["wait"]);    // the server decides it
const cards = new Map();             // module name -> card

function api(path, options = {}) {
  const headers = Object.assign({ Authorization: "token " + TOKEN }, options.headers || {});
  return fetch(path, Object.assign({}, options, { headers }));
}

async function answer(response) {
  let body = null;
  try { body = await response.json(); } catch (error) { body = null; }
  return { status: response.status, ok: response.ok, body };
}

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (value === null || value === undefined || value === false) continue;
    if (key === "class") node.className = value;
    else if (key === "text") node.textContent = value;
    else node.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children) if (child) node.append(child);
  return node;
}

function shown(value) {
  if (value === null || value === undefined) return "–";
  if (typeof value === "number") {
    return Number.isInteger(value) ? String(value) : value.toPrecision(5).replace(/\.?0+$/, "");
  }
  if (typeof value === "object") return JSON.stringify(value);
  return String(value);
}

function seconds(value) {
  return value < 60 ? value.toFixed(1) + " s" : Math.floor(value / 60) + " min " +
    Math.round(value % 60) + " s";
}

// ---- controls, from the description ----

function kindsOf(type) {
  return type.split("|").map((part) => part.trim()).map((part) => {
    const listed = /^(?:Iterable|Sequence|list|tuple|set|frozenset)\[(\w+)\]$/.exec(part);
    return listed ? "list:" + listed[1] : part;
  });
}

function inputFor(module, parameter) {
  const kinds = kindsOf(parameter.type);
  const name = parameter.name;
  if (parameter.choices && parameter.choices.length) {
    const select = element("select", { name, "data-json": "1" });
    if (!parameter.required) select.append(element("option", { value: "", text: "" }));
    for (const choice of parameter.choices) {
      select.append(element("option", { value: JSON.stringify(choice), text: String(choice) }));
    }
    return select;
  }
  if (kinds.length === 1 && kinds[0] === "bool") {
    const box = element("input", { type: "checkbox", name, "data-bool": "1" });
    box.checked = parameter.default === true;
    return box;
  }
  const numeric = kinds.includes("int") || kinds.includes("float");
  const input = element("input", {
    name, type: "text", inputmode: numeric && !kinds.includes("str") ? "decimal" : null,
    placeholder: parameter.required ? (parameter.unit || name) :
      parameter.default === null ? "optional" : "default " + shown(parameter.default),
    "data-kinds": kinds.join(","),
  });
  if (kinds.includes("str") && numeric && module.ports) {
    // A port by number or by the name the bench gives it.
    const list = element("datalist", { id: `ports-${module.name}-${name}` });
    for (const [number, label] of Object.entries(module.ports)) {
      list.append(element("option", { value: label, text: `port ${number}` }));
    }
    input.setAttribute("list", list.id);
    input.listNode = list;
  }
  return input;
}

// The typed value of a control, or undefined to leave the parameter out.
function valueOf(control) {
  if (control.dataset.bool) return control.checked;
  const text = control.value.trim();
  if (text === "") return undefined;
  if (control.dataset.json) return JSON.parse(text);
  const kinds = (control.dataset.kinds || "").split(",");
  const list = kinds.find((kind) => kind.startsWith("list:"));
  if (list) {
    return text.split(/[,\s]+/).filter(Boolean).map((part) => {
      const number = Number(part);
      return Number.isNaN(number) ? part : number;
    });
  }
  const numeric = kinds.includes("int") || kinds.includes("float");
  if (numeric && text !== "" && !Number.isNaN(Number(text))) return Number(text);
  if (numeric && !kinds.includes("str")) return text;  // refused with the library's message
  return text;
}

function operationForm(card, module, operation) {
  const form = element("form", { class: "op", "data-operation": operation.name, novalidate: true,
                                  "aria-label": operation.name });
  form.title = operation.doc;
  for (const parameter of operation.parameters) {
    if (HIDDEN.has(parameter.name)) continue;
    const control = inputFor(module, parameter);
    const label = element("label", {}, document.createTextNode(
      parameter.name + (parameter.unit ? ` (${parameter.unit})` : "")), control);
    if (control.listNode) label.append(control.listNode);
    form.append(label);
  }
  const button = element("button", { type: "submit", text: operation.name.replace(/_/g, " ") });
  if (STOP_FAMILY.has(operation.name)) button.className = "stop-one";
  form.append(button);
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    const parameters = {};
    for (const control of form.querySelectorAll("input, select")) {
      const value = valueOf(control);
      if (value !== undefined) parameters[control.name] = value;
    }
    call(card, operation, parameters);
  });
  return form;
}

async function call(card, operation, parameters) {
  card.say(`${operation.name}…`);
  let reply;
  try {
    reply = await answer(await api(`api/modules/${encodeURIComponent(card.name)}/` +
                                   operation.name, {
      method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify(parameters),
    }));
  } catch (error) {
    card.say(`${operation.name}: the server did not answer (${error})`, "error");
    return;
  }
  if (reply.status === 202) {
    if (card.ended.has(reply.body.id)) return;  // the stream told its end first
    card.running = reply.body.id;
    card.progress(operation.name, null, null);
    card.say(`${operation.name} started`);
  } else if (reply.ok) {
    const result = reply.body.result;
    card.say(`${operation.name}: ${result === null ? "done" : shown(result)}`, "ok");
  } else {
    const body = reply.body || {};
    card.say(body.message || `${operation.name}: HTTP ${reply.status}`, "error", body.kind);
  }
}

// ---- cards ----

function plotsFor(card, module) {
  const byUnit = new Map();
  for (const reading of module.description.readings) {
    if (reading.type !== "float" && reading.type !== "int") continue;
    const unit = reading.unit || "";
    if (!byUnit.has(unit)) byUnit.set(unit, []);
    byUnit.get(unit).push(reading.name);
  }
  const palette = ["#1565c0", "#c62828", "#2e7d32", "#6a1b9a", "#ef6c00", "#00838f"];
  for (const [unit, names] of byUnit) {
    const holder = element("div", { class: "plot", "data-unit": unit,
                                    "aria-label": `${card.name} plot ${unit}`.trim() });
    card.node.append(holder);
    const plot = { unit, names, holder, data: [[], ...names.map(() => [])], chart: null };
    if (window.uPlot) {
      plot.chart = new uPlot({
        width: 340, height: 140,
        scales: { x: { time: true } },
        series: [{}, ...names.map((name, index) => ({
          label: name, stroke: palette[index % palette.length], width: 1.5, spanGaps: true }))],
        axes: [{}, { label: unit, size: 55 }],
        legend: { live: false },
      }, plot.data, holder);
    }
    card.plots.push(plot);
  }
}

function makeCard(module) {
  const node = element("section", { class: "card", role: "region", "aria-label": module.name,
                                    "data-module": module.name });
  const state = element("span", { class: "state", "data-role": "state", text: module.state });
  node.append(element("h2", {}, document.createTextNode(module.name), state));
  node.append(element("div", { class: "kind", text: `${module.kind} · address ${module.address}` }));
  const position = element("div", { class: "position", "data-role": "position",
                                    text: module.position || "" });
  node.append(position);
  const run = element("div", { class: "run", "data-role": "run", hidden: true });
  const bar = element("progress", { max: "1" });
  const runText = element("span", { "data-role": "run-text" });
  run.append(bar, runText);
  node.append(run);
  const message = element("p", { class: "message", role: "alert", "data-role": "message" });
  node.append(message);

  const card = {
    name: module.name, node, plots: [], running: null, cells: new Map(), clearRun: null,
    ended: new Set(),
    say(text, tone = "", kind = "") {
      message.textContent = text;
      message.className = "message " + tone;
      message.dataset.kind = kind || "";
    },
    setState(value) {
      state.textContent = value;
      state.className = "state " + value;
      node.dataset.state = value;
    },
    progress(operation, fraction, remaining, done = false, verdict = "") {
      clearTimeout(this.clearRun);
      run.hidden = false;
      if (fraction === null || fraction === undefined) bar.removeAttribute("value");
      else bar.value = fraction;
      runText.textContent = done ? `${operation}: ${verdict}` : remaining === null ||
        remaining === undefined ? `${operation}…` : `${operation}: ${seconds(remaining)} left`;
      if (done) this.clearRun = setTimeout(() => { run.hidden = true; }, 3000);
    },
  };
  card.setState(module.state);

  const table = element("table", { class: "readings", "aria-label": `${module.name} readings` });
  for (const reading of module.description.readings) {
    const cell = element("td", { class: "value", "data-reading": reading.name, text: "–" });
    const row = element("tr", {}, element("td", { text: reading.name }), cell,
                        element("td", { text: reading.unit || "" }));
    table.append(row);
    card.cells.set(reading.name, { cell, row });
  }
  if (module.description.readings.length) node.append(table);
  plotsFor(card, module);

  const main = [], queries = [];
  for (const operation of module.description.operations) {
    (operation.kind === "query" ? queries : main).push(operation);
  }
  // Operations without a value to give (home, stop, reset) share a row of buttons.
  const bare = (operation) => operation.parameters.every((p) => HIDDEN.has(p.name));
  const place = (holder, operations) => {
    const row = element("div", { class: "actions" });
    for (const operation of operations.filter(bare)) {
      row.append(operationForm(card, module, operation));
    }
    if (row.childElementCount) holder.append(row);
    for (const operation of operations.filter((operation) => !bare(operation))) {
      holder.append(operationForm(card, module, operation));
    }
  };
  place(node, main);
  if (queries.length) {
    const more = element("details", {}, element("summary", { text: "Queries" }));
    place(more, queries);
    node.append(more);
  }
  return card;
}

// ---- the stream ----

function onReadings(message) {
  const time = message.time;
  for (const [name, module] of Object.entries(message.modules)) {
    const card = cards.get(name);
    if (!card) continue;
    card.node.querySelector('[data-role="position"]').textContent =
      module.position + (module.homed === false ? " · not homed" : "");
    for (const [reading, value] of Object.entries(module.readings)) {
      const found = card.cells.get(reading);
      if (!found) continue;
      found.cell.textContent = shown(value.value);
      found.row.classList.toggle("stale", value.age === null || value.age > 3 * EVERY + 1);
    }
    for (const plot of card.plots) {
      plot.data[0].push(time);
      plot.names.forEach((reading, index) => {
        const value = module.readings[reading];
        plot.data[index + 1].push(value && typeof value.value === "number" &&
                                  value.age !== null && value.age <= 3 * EVERY + 1
          ? value.value : null);
      });
      while (plot.data[0].length && plot.data[0][0] < time - WINDOW_SECONDS) {
        for (const series of plot.data) series.shift();
      }
      if (plot.chart) plot.chart.setData(plot.data);
    }
  }
}

function onOperation(message) {
  const card = cards.get(message.module);
  if (!card) return;
  if (message.state === "running") {
    card.running = message.id;
    card.progress(message.operation, message.progress, message.remaining);
    return;
  }
  card.ended.add(message.id);
  card.progress(message.operation, message.state === "succeeded" ? 1 : message.progress, 0,
                true, message.state);
  if (message.error) card.say(message.error.message, "error", message.error.kind);
  else card.say(`${message.operation}: ${message.state}` + (message.result === null ? "" :
                `: ${shown(message.result)}`), "ok");
}

function setConnection(state) {
  const node = document.getElementById("connection");
  node.textContent = state;
  node.className = "connection " + state;
}

function listen() {
  const url = new URL(`api/events?every=${EVERY}&token=${encodeURIComponent(TOKEN)}`,
                      location.href);
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  const socket = new WebSocket(url);
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === "hello") {
      setConnection(message.connection);
      for (const [name, state] of Object.entries(message.states)) {
        if (cards.has(name)) cards.get(name).setState(state);
      }
      for (const operation of message.operations) onOperation(operation);
    } else if (message.type === "state") {
      if (cards.has(message.module)) cards.get(message.module).setState(message.state);
    } else if (message.type === "connection") {
      setConnection(message.state);
    } else if (message.type === "progress") {
      const card = cards.get(message.module);
      if (card && !message.done) {
        card.progress(message.operation, message.progress, message.remaining);
      }
    } else if (message.type === "operation") {
      onOperation(message);
    } else if (message.type === "readings") {
      onReadings(message);
    }
  };
  socket.onclose = () => {
    setConnection("offline");
    setTimeout(listen, 1000);
  };
}

async function stopAll() {
  const button = document.getElementById("stop-all");
  const notice = document.getElementById("page-message");
  try {
    const reply = await answer(await api("api/stop", { method: "POST" }));
    if (!reply.ok) {
      notice.hidden = false;
      notice.className = "page-message";
      notice.textContent = (reply.body && reply.body.message) || `Stop all: HTTP ${reply.status}`;
      return;
    }
    notice.hidden = false;
    notice.className = "page-message sent";
    notice.textContent = `Stop sent to ${reply.body.stopped.length} modules.`;
  } catch (error) {
    notice.hidden = false;
    notice.textContent = `Stop all: the server did not answer (${error})`;
  } finally {
    button.blur();
  }
}

async function start() {
  document.getElementById("stop-all").addEventListener("click", stopAll);
  const reply = await answer(await api("api/modules"));
  const notice = document.getElementById("page-message");
  if (!reply.ok) {
    notice.hidden = false;
    notice.textContent = (reply.body && reply.body.message) || `HTTP ${reply.status}`;
    return;
  }
  const holder = document.getElementById("modules");
  for (const module of reply.body) {
    const card = makeCard(module);
    cards.set(module.name, card);
    holder.append(card.node);
  }
  document.body.dataset.ready = "1";
  listen();
}

start();
