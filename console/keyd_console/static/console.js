// The console's page: logs in, keeps the fleet's state from the server's
// WebSocket, and sends commands, each after a confirmation.
"use strict";

const MAX_EVENTS = 500;
const $ = (id) => document.getElementById(id);
let csrf = null, role = null, socket = null, clockOffset = 0, drawing = 0;
const sites = new Map();     // site id -> the site as the server last sent it
const cards = new Map();     // site id -> its drawn card
const dirty = new Set();     // the sites to draw again
const results = new Map();   // "site|rfid" or "site|" -> the last command's {text, cls, final}

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

function showMain(user, token, userRole) {
  csrf = token;
  role = userRole;
  $("login-view").hidden = true;
  $("main-view").hidden = $("logout").hidden = false;
  $("who").textContent = `${user} (${userRole})`;
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

// The server sends the whole fleet first, then only what changed: members of
// a site, a lock's state, a command's life, new events (oldest first).
function receive(m) {
  if (m.type === "snapshot") {
    clockOffset = m.now - Date.now() / 1000;
    sites.clear();
    cards.clear();
    results.clear();
    m.sites.forEach((s) => sites.set(s.id, s));
    $("events").replaceChildren(...m.events.map(eventItem));
    m.sites.forEach((s) => dirty.add(s.id));
  }
  for (const s of m.sites && m.type === "changes" ? m.sites : []) {
    sites.set(s.id, Object.assign(sites.get(s.id) || { locks: {} }, s));
    dirty.add(s.id);
  }
  for (const l of m.locks || []) {
    const s = sites.get(l.site);
    if (s) { s.locks[l.rfid] = { status: l.status, time: l.time }; dirty.add(l.site); }
  }
  for (const c of m.commands || []) {
    results.set(`${c.site}|${c.rfid}`, c);
    dirty.add(c.site);
  }
  if (m.type === "changes") {
    for (const e of m.events) $("events").prepend(eventItem(e));
    while ($("events").children.length > MAX_EVENTS) $("events").lastChild.remove();
  }
  if (dirty.size && !drawing) drawing = requestAnimationFrame(renderSites);
}

function eventItem(e) {
  return el("li", { class: `kind-${e.kind}` }, el("span", {}, clock(e.time)), el("span", { class: "site-ref" }, e.site),
            el("span", { class: "kind" }, e.kind), el("span", { class: "text" }, e.text));
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
  const r = await api("/api/command", { site, command, rfid });
  if (!r.ok) {
    results.set(`${site}|${rfid || ""}`, { text: `refused: ${r.data.error}`, cls: "failed", final: true });
    dirty.add(site);
    renderSites();
  }
}

function resultSpan(key) {
  const r = results.get(key);
  return el("span", { class: `result ${r ? r.cls : ""}` }, r ? r.text : "");
}

// A command's buttons: none for a viewer, busy while a command of theirs is under way.
function button(site, command, label, rfid) {
  if (role === "viewer") return "";
  const r = results.get(`${site}|${rfid || ""}`);
  return el("button", { onclick: () => send(site, command, label, rfid), ...(r && !r.final ? { disabled: "" } : {}) },
            label);
}

function siteCard(s) {
  const online = s.status === "online";
  const cfg = s.config || {};
  const rows = Object.entries(s.locks).map(([rfid, l]) => el("tr", { "data-rfid": rfid },
    el("td", { class: "rfid" }, rfid), el("td", { class: "lock-status" }, l.status || "—"), el("td", {}, ageSpan(l.time)),
    el("td", { class: "actions" }, button(s.id, "UNLOCK", "Unlock", rfid), " ", button(s.id, "LOCK", "Lock", rfid)),
    el("td", {}, resultSpan(`${s.id}|${rfid}`))));
  return el("div", { class: `site ${online ? "online" : "offline"}`, "data-site": s.id },
    el("div", { class: "site-head" },
      el("span", { class: "site-name" }, s.id),
      el("span", { class: `badge site-status ${s.status || ""}` }, s.status || "unknown"),
      el("span", { class: "muted" }, s.seen ? "last message " : "no message since the console started",
         s.seen ? ageSpan(s.seen) : ""),
      el("span", { class: "muted" }, s.battery ? `key battery ${s.battery.level}` : ""),
      el("span", { class: "site-actions" }, button(s.id, "Battery", "Battery"),
         button(s.id, "req_transactions", "Transactions"), button(s.id, "req_cfg", "Configuration"))),
    el("div", { class: "muted" }, cfg.TAG_KEY_BOX ? `key box ${cfg.TAG_KEY_BOX}, software ${cfg.TAG_KEY_SW}, ` +
       `server ${cfg.TAG_SRV_NAME}:${cfg.TAG_SRV_PORT}` : "no configuration yet", " ", resultSpan(`${s.id}|`)),
    el("table", {}, el("thead", {}, el("tr", {}, ...["Lock (RFID)", "Status", "Since", "", "Result"].map((h) => el("th", {}, h)))),
       el("tbody", {}, ...rows)));
}

// Draws again only the sites that changed; the list anew when a site came.
function renderSites() {
  drawing = 0;
  let added = false;
  for (const id of dirty) {
    if (!sites.has(id)) continue;
    const card = siteCard(sites.get(id));
    if (cards.has(id)) cards.get(id).replaceWith(card); else added = true;
    cards.set(id, card);
  }
  dirty.clear();
  const list = [...sites.values()];
  if (added) $("sites").replaceChildren(...list.map((s) => s.id).sort().map((id) => cards.get(id)));
  const online = list.filter((s) => s.status === "online").length;
  $("site-count").textContent = `(${online} of ${list.length} online)`;
}

setInterval(() => document.querySelectorAll(".age").forEach((e) => {
  e.textContent = age(Number(e.dataset.time));
}), 1000);

$("login").onsubmit = async (ev) => {
  ev.preventDefault();
  const r = await api("/api/login", { user: $("user").value, password: $("password").value });
  $("password").value = "";
  if (r.ok) showMain(r.data.user, r.data.csrf, r.data.role); else showLogin(r.data.error);
};
$("logout").onclick = async () => {
  await api("/api/logout", {});
  showLogin("Logged out.");
};
api("/api/session").then((r) => (r.ok ? showMain(r.data.user, r.data.csrf, r.data.role) : showLogin()));
