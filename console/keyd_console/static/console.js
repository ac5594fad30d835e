// The console's page: logs in, keeps the fleet's state from the server's
// WebSocket, and sends commands, each after a confirmation.
"use strict";

const ANSWER_MS = 10000;
const MAX_EVENTS = 500;
const $ = (id) => document.getElementById(id);
let csrf = null, socket = null, clockOffset = 0;
const sites = new Map();     // site id -> the site as the server last sent it
const results = new Map();   // "site|rfid" or "site|" -> {text, cls, wait}

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") e.className = v; else if (k.startsWith("on")) e[k] = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c === null || c === undefined ? "" : c);
  return e;
}

function age(t) {
  if (!t) return "—";
  const s = Math.max(0, Math.round(Date.now() / 1000 + clockOffset - t));
  return s < 120 ? `${s} s ago` : s < 7200 ? `${Math.round(s / 60)} min ago` : `${Math.round(s / 3600)} h ago`;
}
const ageSpan = (t) => el("span", { class: "age", "data-time": t || "" }, age(t));
const clock = (t) => new Date(t * 1000).toLocaleTimeString("en-GB");

async function api(path, body) {
  const r = await fetch(path, { method: body ? "POST" : "GET", headers: body ?
    { "Content-Type": "application/json", "X-CSRF-Token": csrf || "" } : {}, body: body && JSON.stringify(body) });
  const data = await r.json().catch(() => ({ error: `HTTP ${r.status}` }));
  if (r.status === 401 && path !== "/api/login") showLogin();
  return { ok: r.ok, status: r.status, data };
}

function showLogin(error = "") {
  csrf = null;
  if (socket) socket.close();
  $("main-view").hidden = $("logout").hidden = true;
  $("login-view").hidden = false;
  $("who").textContent = "";
  $("login-error").textContent = error;
}

function showMain(user, token) {
  csrf = token;
  $("login-view").hidden = true;
  $("main-view").hidden = $("logout").hidden = false;
  $("who").textContent = user;
  connect();
}

function connect() {
  const ws = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`);
  socket = ws;
  ws.onopen = () => { $("link").textContent = "live"; $("link").className = "link live"; };
  ws.onmessage = (m) => receive(JSON.parse(m.data));
  ws.onclose = () => {
    $("link").textContent = "disconnected"; $("link").className = "link";
    if (socket === ws && csrf) setTimeout(() => api("/api/session").then((r) => r.ok && connect()), 2000);
  };
}

function receive(m) {
  if (m.type === "snapshot") {
    clockOffset = m.now - Date.now() / 1000;
    sites.clear();
    m.sites.forEach((s) => sites.set(s.id, s));
    $("events").replaceChildren(...m.events.map(eventItem));
    renderSites();
  } else if (m.type === "site") {
    sites.set(m.site.id, m.site);
    renderSites();
  } else if (m.type === "event") {
    $("events").prepend(eventItem(m.event));
    while ($("events").children.length > MAX_EVENTS) $("events").lastChild.remove();
    answer(m.event);
  }
}

function eventItem(e) {
  return el("li", { class: `kind-${e.kind}` }, el("span", {}, clock(e.time)), el("span", { class: "site-ref" }, e.site),
            el("span", { class: "kind" }, e.kind), el("span", { class: "text" }, e.text));
}

// A reply settles the command waiting for it: a lock's "update_lock" the
// lock's command, "update_key" a key command, "site_info" a "req_cfg".
function answer(e) {
  const key = e.kind === "update_lock" ? `${e.site}|${e.rfid}` : `${e.site}|`;
  const r = results.get(key);
  const wanted = { update_lock: ["UNLOCK", "LOCK"], update_key: ["Battery", "req_transactions"], site_info: ["req_cfg"] };
  if (!r || !r.wait || !(wanted[e.kind] || []).includes(r.command)) return;
  clearTimeout(r.wait);
  settle(key, e.kind === "update_lock" ? `update_lock: ${e.status}` : `${e.kind}: ${e.text}`, "answered");
}

function settle(key, text, cls, command, wait) {
  results.set(key, { text, cls, command, wait });
  renderSites();
}

function ask(question, verb) {
  return new Promise((resolve) => {
    const d = $("confirm");
    $("confirm-text").textContent = question;
    $("confirm-yes").textContent = verb;
    d.onclose = () => resolve(d.returnValue === "yes");
    d.returnValue = "";
    d.showModal();
  });
}

async function send(site, command, label, rfid) {
  const what = rfid ? `${label} lock ${rfid} at ${site}?` : `${label} at ${site}?`;
  if (!(await ask(what, label))) return;
  const key = `${site}|${rfid || ""}`;
  const r = await api("/api/command", { site, command, rfid });
  if (!r.ok) return settle(key, `refused: ${r.data.error}`, "failed");
  const wait = setTimeout(() => settle(key, `${label}: no answer`, "failed"), ANSWER_MS);
  settle(key, `${label}: sent, waiting…`, "", command, wait);
}

function resultSpan(key) {
  const r = results.get(key);
  return el("span", { class: `result ${r ? r.cls : ""}` }, r ? r.text : "");
}

function siteCard(s) {
  const online = s.status === "online";
  const cfg = s.config || {};
  const rows = Object.entries(s.locks).map(([rfid, l]) => el("tr", { "data-rfid": rfid },
    el("td", { class: "rfid" }, rfid), el("td", { class: "lock-status" }, l.status || "—"), el("td", {}, ageSpan(l.time)),
    el("td", { class: "actions" },
      el("button", { onclick: () => send(s.id, "UNLOCK", "Unlock", rfid) }, "Unlock"), " ",
      el("button", { onclick: () => send(s.id, "LOCK", "Lock", rfid) }, "Lock")),
    el("td", {}, resultSpan(`${s.id}|${rfid}`))));
  const button = (command, label) => el("button", { onclick: () => send(s.id, command, label) }, label);
  return el("div", { class: `site ${online ? "online" : "offline"}`, "data-site": s.id },
    el("div", { class: "site-head" },
      el("span", { class: "site-name" }, s.id),
      el("span", { class: `badge site-status ${s.status || ""}` }, s.status || "unknown"),
      el("span", { class: "muted" }, s.seen ? "last message " : "no message since the console started",
         s.seen ? ageSpan(s.seen) : ""),
      el("span", { class: "muted" }, s.battery ? `key battery ${s.battery.level}` : ""),
      el("span", { class: "site-actions" }, button("Battery", "Battery"),
         button("req_transactions", "Transactions"), button("req_cfg", "Configuration"))),
    el("div", { class: "muted" }, cfg.TAG_KEY_BOX ? `key box ${cfg.TAG_KEY_BOX}, software ${cfg.TAG_KEY_SW}, ` +
       `server ${cfg.TAG_SRV_NAME}:${cfg.TAG_SRV_PORT}` : "no configuration yet", " ", resultSpan(`${s.id}|`)),
    el("table", {}, el("thead", {}, el("tr", {}, ...["Lock (RFID)", "Status", "Since", "", "Result"].map((h) => el("th", {}, h)))),
       el("tbody", {}, ...rows)));
}

function renderSites() {
  const list = [...sites.values()].sort((a, b) => a.id.localeCompare(b.id));
  const online = list.filter((s) => s.status === "online").length;
  $("site-count").textContent = `(${online} of ${list.length} online)`;
  if (list.length) $("sites").replaceChildren(...list.map(siteCard));
}

setInterval(() => document.querySelectorAll(".age").forEach((e) => {
  e.textContent = age(Number(e.dataset.time));
}), 1000);

$("login").onsubmit = async (ev) => {
  ev.preventDefault();
  const r = await api("/api/login", { user: $("user").value, password: $("password").value });
  $("password").value = "";
  if (r.ok) showMain(r.data.user, r.data.csrf); else showLogin(r.data.error);
};
$("logout").onclick = async () => {
  await api("/api/logout", {});
  showLogin("Logged out.");
};
api("/api/session").then((r) => (r.ok ? showMain(r.data.user, r.data.csrf) : showLogin()));
