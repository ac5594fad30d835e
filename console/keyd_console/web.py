"""The console's web side: the page, logging in and out, the commands and
their life, and the one WebSocket per open page that carries the fleet's
state and then its changes. Everything runs on the event loop's thread."""
import asyncio
import ipaddress
import json
import logging
import pathlib
import re
import secrets
import time
from concurrent.futures import ThreadPoolExecutor

from aiohttp import web

from . import auth
from .fleet import short
from .history import HistoryError

log = logging.getLogger("keyd-console")

COOKIE = "keyd_session"
COMMANDS = {"UNLOCK": "Unlock", "LOCK": "Lock", "Battery": "Battery", "req_transactions": "Transactions",
            "req_cfg": "Configuration"}
# What settles a command that the site sent on: the event kinds of its answer.
ANSWERS = {"UNLOCK": "update_lock", "LOCK": "update_lock", "Battery": "update_key",
           "req_transactions": "update_key", "req_cfg": "site_info"}
# A site's final outcome other than "sent": the row's text after the command's label.
OUTCOMES = {"unknown-lock": "the site does not know this lock", "no-link": "the site has no key-daemon link",
            "bad-request": "the site took it for a bad request", "ignored": "ignored by the site",
            "dropped": "dropped: the site's queue was full", "expired": "expired before the site could send it"}
MAX_COMMANDS = 1000      # commands under way at once
ANSWER_GRACE_S = 3       # beyond a command's expiry, for the last answer to come
STATIC = pathlib.Path(__file__).parent / "static"
HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def refuse(status, text, **headers):
    return web.json_response({"error": text}, status=status, headers=headers)


def dumps(doc):
    return json.dumps(doc, allow_nan=False, separators=(",", ":"))


class Page:
    """An open page's WebSocket and the changes not yet sent to it: a site's
    members and a lock's state merged by their key (so that they cost a slow
    page at most the fleet's size), the events and commands' states in order."""

    def __init__(self, ws, session):
        self.ws, self.session = ws, session
        self.pending, self.events, self.commands, self.event_bytes = {}, [], [], 0
        self.wake = asyncio.Event()

    def add(self, m, size):
        kind = m["type"]
        if kind in ("event", "command"):   # each in its order, counted
            (self.events if kind == "event" else self.commands).append(m[kind])
            self.event_bytes += size
        elif kind == "site":
            old = self.pending.get(("site", m["site"]["id"]))
            self.pending[("site", m["site"]["id"])] = {**old, **m["site"]} if old else m["site"]
        else:
            self.pending[("lock", m["site"], m["rfid"])] = {"site": m["site"], "rfid": m["rfid"], **m["lock"]}
        self.wake.set()

    def take(self):
        frame = {"type": "changes", "sites": [], "locks": [], "commands": self.commands,
                 "events": self.events}
        for key, value in self.pending.items():
            frame[key[0] + "s"].append(value)
        self.pending, self.events, self.commands, self.event_bytes = {}, [], [], 0
        self.wake.clear()
        return frame


class Console:
    """The web service: its routes, the sessions, the failed-login budget,
    the commands under way and the open pages. publish(site, payload, user,
    command id) sends a command."""

    def __init__(self, settings, fleet, users, publish):
        self.settings, self.fleet, self.users, self.publish = settings, fleet, users, publish
        # Shared by every instance on a PostgreSQL history; else this instance's own.
        self.sessions = auth.SharedSessions(settings.session_idle_s, settings.session_lifetime_s,
                                            settings.history_url) if settings.history_url else \
            auth.Sessions(settings.session_idle_s, settings.session_lifetime_s)
        self.limiter = auth.LoginLimiter(settings.address_failures, settings.user_failures,
                                         settings.login_window_s)
        self.pages = {}      # open WebSocket -> its Page
        self.commands = {}   # command id -> its state, while under way
        self.latest = {}     # (site, rfid or "") -> the state of the last command to it
        self.client_id = "keyd-console"
        self.history = None  # the History, set before the service starts
        self.readers = ThreadPoolExecutor(2, "history-reader")   # its queries, off the event loop
        self._watch = None
        users.check()

    def app(self):
        app = web.Application(middlewares=[self._headers], client_max_size=64 * 1024)
        app.router.add_get("/", self.index)
        app.router.add_static("/static", STATIC)
        app.router.add_get("/api/session", self.session)
        app.router.add_post("/api/login", self.login)
        app.router.add_post("/api/logout", self.logout)
        app.router.add_post("/api/command", self.command)
        app.router.add_get("/api/users", self.user_list)
        app.router.add_get("/api/history", self.history_page)
        app.router.add_get("/api/history.csv", self.history_csv)
        app.router.add_get("/api/names", self.names)
        app.router.add_post("/api/names", self.set_name)
        app.router.add_get("/api/search", self.search)
        app.router.add_get("/ws", self.websocket)
        return app

    def start(self):
        async def watch():   # the users file, every second
            while True:
                await asyncio.sleep(1)
                self.users_changed(force=False)
                for s in self.sessions.ended() if isinstance(self.sessions, auth.SharedSessions) else ():
                    log.info("%s's session ends: ended at another console, or its time is up", s.user)
                    for ws in list(s.sockets):
                        asyncio.ensure_future(ws.close())
        self._watch = asyncio.ensure_future(watch())

    async def stop(self):
        if self._watch:
            self._watch.cancel()
        for ws in list(self.pages):
            await ws.close()

    def users_changed(self, force=True):
        """Reads the users file again (force: even when it looks unchanged, as on
        SIGHUP) and ends the sessions of users removed or changed."""
        if not self.users.check(force):
            return
        for s in self.sessions.outdated(self.users.users):
            log.info("%s's session ends: the user was removed or changed", s.user)
            for ws in list(s.sockets):
                asyncio.ensure_future(ws.close())

    @web.middleware
    async def _headers(self, request, handler):
        host = request.host.lower()
        host = host[:host.index("]") + 1] if host.startswith("[") and "]" in host else host.rsplit(":", 1)[0]
        if "*" not in self.settings.allowed_hosts and host not in self.settings.allowed_hosts:
            response = refuse(421, "this console does not serve that host name")
        else:
            response = await handler(request)
        if not isinstance(response, web.WebSocketResponse):
            response.headers.update(HEADERS)
        return response

    def address(self, request):
        """The client's address: the peer's, or, from a trusted proxy, the last
        one in X-Forwarded-For that is not a trusted proxy itself."""
        def trusted(a):
            try:
                ip = ipaddress.ip_address(a)
            except ValueError:
                return False
            return any(ip in n for n in self.settings.trusted_proxies)
        peer = request.remote or ""
        if not (self.settings.http_unix or trusted(peer)):
            return peer or "-"
        hops = [a.strip() for a in request.headers.get("X-Forwarded-For", "").split(",") if a.strip()]
        for a in reversed(hops):
            if not trusted(a):
                return a[:64]
        return peer or "-"

    def push(self, messages):
        """Hands messages to every open page; drops a page whose unsent events
        exceed http.page_queue_bytes."""
        for m in messages:
            # About the bytes it takes in a frame (its texts are bounded)
            size = 100 + sum(len(str(v)) for v in m[m["type"]].values()) if m["type"] in ("event", "command") else 0
            for ws, page in list(self.pages.items()):
                page.add(m, size)
                if page.event_bytes > self.settings.page_queue_bytes:
                    log.warning("A page does not keep up with the fleet; closing its WebSocket")
                    del self.pages[ws]
                    asyncio.ensure_future(ws.close())

    async def index(self, _request):
        return web.FileResponse(STATIC / "index.html")

    def on_broker(self, topic, payload, retained, correlation=None):
        parsed = self.fleet.parse(topic, payload)
        if parsed is None:
            return
        site_id, kind, doc = parsed
        if self.history:
            own = kind == f"outcome/{self.client_id}" and correlation
            self.history.record_message(topic, payload, time.time(), retained,
                                        correlation.decode("ascii", "replace")[:64] if own else None)
        if kind.startswith("outcome/"):   # answers to a console's commands
            c = self.commands.get(correlation.decode("ascii", "replace")) if correlation else None
            if kind == f"outcome/{self.client_id}" and c and c["site"] == site_id:
                self.on_answer(c, doc)
            return
        out = self.fleet.on_message(site_id, kind, doc, retained)
        for m in list(out):
            e = m.get("event", {})
            c = self.latest.get((site_id, (e.get("rfid") or "") if e.get("kind") == "update_lock" else ""))
            if c and not c["final"] and ANSWERS[c["command"]] == e.get("kind"):
                answer = f"update_lock: {e['status']}" if e["kind"] == "update_lock" else f"{e['kind']}: {e['text']}"
                out.append(self._settle(c, "answered", answer, "answered"))
        self.push(out)

    def on_answer(self, c, doc):
        """A response on the console's own topic for command c (under way): queued, then its outcome."""
        label, outcome = COMMANDS[c["command"]], doc.get("outcome")
        if outcome == "queued":
            place = doc.get("place") if isinstance(doc.get("place"), int) else "?"
            m = self._settle(c, "queued", f"{label}: queued at the site, place {place}…", final=False)
        elif outcome == "sent":
            m = self._settle(c, "sent", f"{label}: sent to the key daemon, waiting for the answer…", final=False)
        elif outcome == "refused":
            reason = short(doc.get("reason"))
            m = self._settle(c, "refused", f"{label}: refused by the site's bridge ({reason})")
        else:
            outcome = str(short(outcome))
            m = self._settle(c, outcome, f"{label}: {OUTCOMES.get(outcome, outcome)}")
        self.push([m])

    def _settle(self, c, state, text, cls="failed", final=True):
        c.update(state=state, text=text, cls="" if not final else cls, final=final)
        if final:
            self.commands.pop(c["id"], None)
        return {"type": "command", "command": dict(c)}

    def _expire(self, c):
        """A command's expiry and some grace are over: what it came to, if not settled yet."""
        if c["final"]:
            return
        label = COMMANDS[c["command"]]
        state, text = {"published": ("no answer", f"{label}: no answer"),
                       "queued": ("no outcome", f"{label}: queued, then no outcome"),
                       "sent": ("unanswered", f"{label}: sent, but the answer did not come")}[c["state"]]
        self.push([self._settle(c, state, text)])

    def _session(self, request, csrf=False):
        """The request's session, or None and the (status, reason) to refuse with."""
        s = self.sessions.find(request.cookies.get(COOKIE))
        if s is None:
            return None, (401, "not logged in")
        given = request.headers.get("X-CSRF-Token")
        if csrf and not given:
            return None, (403, "missing CSRF token")
        if csrf and not secrets.compare_digest(given.encode(), s.csrf.encode()):
            return None, (403, "wrong CSRF token")
        return s, None

    async def session(self, request):
        s, refusal = self._session(request)
        return refuse(*refusal) if s is None else \
            web.json_response({"user": s.user, "csrf": s.csrf, "role": s.role})

    async def login(self, request):
        addr = self.address(request)
        if request.content_type != "application/json":
            return refuse(415, "a login is application/json")
        try:
            body = await request.json()
            name, password = body["user"], body["password"]
            assert isinstance(name, str) and isinstance(password, str)
        except (ValueError, KeyError, TypeError, AssertionError):
            return refuse(400, 'expected {"user": NAME, "password": PASSWORD}')
        # Counted as failed until proven right, so that tries in parallel count too.
        wait, attempt = self.limiter.take(addr, name[:64])
        if wait:
            log.warning("Login from %s refused: too many failed logins", addr)
            return refuse(429, f"too many failed logins: try again in {wait} s", **{"Retry-After": str(wait)})
        self.users_changed(force=False)
        hashed, role = self.users.users.get(name, (None, None))
        ok = await asyncio.get_running_loop().run_in_executor(
            None, self.users.check_password, hashed, password)
        if not ok or self.users.users.get(name) != (hashed, role):
            log.warning("Failed login as %r from %s", name[:64], addr)
            return refuse(401, "wrong user name or password")
        self.limiter.succeeded(attempt)
        s = self.sessions.start(name, hashed, role)
        if s is None:
            return refuse(503, "the sessions' database is away; try again later")
        log.info("%s logged in from %s", name, addr)
        response = web.json_response({"user": name, "csrf": s.csrf, "role": role})
        response.set_cookie(COOKIE, s.token, httponly=True, samesite="Strict", path="/",
                            secure=self.settings.secure_cookie or None)
        return response

    async def user_list(self, request):
        """The users and their roles, for an admin (the users file itself is
        changed with keyd-console adduser, passwd and deluser)."""
        s, refusal = self._session(request)
        if s is None or s.role != "admin":
            return refuse(*refusal) if s is None else refuse(403, f"{s.user} is not an admin")
        self.users_changed(force=False)
        return web.json_response({"users": [{"user": n, "role": r} for n, (_, r) in sorted(self.users.users.items())]})

    async def logout(self, request):
        s, refusal = self._session(request, csrf=True)
        if s is None:
            return refuse(*refusal)
        self.sessions.end(s)
        for ws in list(s.sockets):
            await ws.close()
        log.info("%s logged out", s.user)
        response = web.json_response({"ok": True})
        response.del_cookie(COOKIE, path="/")
        return response

    async def command(self, request):
        s, refusal = self._session(request, csrf=True)
        if s is None:
            log.warning("Refused a command from %s: %s", self.address(request), refusal[1])
            return refuse(*refusal)
        try:
            body = await request.json()
            cmd, site_id, rfid = body.get("command"), body.get("site"), body.get("rfid")
        except (ValueError, AttributeError):
            return refuse(400, 'expected {"site": SITE, "command": COMMAND[, "rfid": RFID]}')
        site = self.fleet.sites.get(site_id) if isinstance(site_id, str) else None
        lock = cmd in ("UNLOCK", "LOCK")
        key = (site_id, rfid if lock else "")
        error = None
        if s.role == "viewer":
            error = 403, f"{s.user} is a viewer: a viewer sends no commands"
        elif cmd not in COMMANDS:
            error = 400, f"unknown command {cmd!r}: one of {', '.join(COMMANDS)}"
        elif site is None:
            error = 404, f"unknown site {site_id!r}"
        elif lock and (not isinstance(rfid, str) or rfid not in site.locks):
            error = 404, f"site {site.id} has no lock {rfid!r}"
        elif site.status != "online":
            error = 409, f"site {site.id} is not online"
        elif key in self.latest and not self.latest[key]["final"]:
            error = 409, f"a command to {'lock ' + rfid if lock else 'site ' + site.id} is under way"
        elif len(self.commands) >= MAX_COMMANDS:
            error = 503, "too many commands under way"
        if error:
            log.warning("Refused %s's command %.80r: %s", s.user, body, error[1])
            return refuse(*error)
        doc = {"command": cmd, "RFID": rfid, "state": site.state} if lock else {"command": cmd}
        payload = json.dumps(doc, separators=(",", ":"))
        command_id = secrets.token_urlsafe(18)
        try:
            if not self.publish(site.id, payload, s.user, command_id):
                return refuse(503, "the broker is not connected: nothing was sent")
        except (OSError, ValueError) as e:
            log.warning("Cannot sign a command to %s: %s", site.id, e)
            return refuse(503, f"no key to sign a command to {site.id}: nothing was sent")
        what = f"{cmd} {rfid}" if lock else cmd
        log.info("console:%s sent %s to %s", s.user, what, site.id)
        if self.history:
            self.history.record_command(command_id, site.id, s.user, cmd, rfid if lock else None,
                                        site.state if lock else None,
                                        f"{self.settings.mqtt_prefix}/{site.id}/TransGlam", time.time())
        c = {"id": command_id, "site": site.id, "rfid": rfid if lock else "", "command": cmd, "user": s.user}
        self.commands[command_id] = self.latest[key] = c
        asyncio.get_running_loop().call_later(self.settings.command_expiry_s + ANSWER_GRACE_S, self._expire, c)
        self.push([self.fleet.event(site.id, "sent", f"{what} by {s.user}", command=cmd, rfid=rfid, user=s.user),
                   self._settle(c, "published", f"{COMMANDS[cmd]}: published, waiting…", final=False)])
        return web.json_response({"ok": True, "payload": payload, "id": command_id})

    # The history: any logged-in user reads it; an admin names sites and locks.
    # Every query runs in the readers' threads, never on the event loop.
    def _filters(self, request):
        """The history filters of a request's query, or raises ValueError."""
        q, f = request.query, {}
        for key in ("site", "rfid", "user", "command", "outcome", "kind"):
            if q.get(key):
                f[key] = q[key][:128]
        for key in ("since", "until"):
            if q.get(key):
                if not re.fullmatch(r"[0-9]{1,15}", q[key]):
                    raise ValueError(f"{key}: not a time in milliseconds since 1970")
                f[key] = int(q[key])
        return f

    async def _read(self, request, fn, *args):
        """(result, None), or (None, the refusal) for no session, bad filters or a history away."""
        s, refusal = self._session(request)
        if s is None:
            return None, refuse(*refusal)
        if self.history is None:
            return None, refuse(503, "this console keeps no history")
        try:
            filters = self._filters(request)
            return await asyncio.get_running_loop().run_in_executor(self.readers, fn, filters, *args), None
        except ValueError as e:
            return None, refuse(400, str(e))
        except HistoryError as e:
            return None, refuse(503, f"the history cannot be read: {e}")

    def _query(self, filters, page, size):
        if self.history.status()["reachable"]:
            self.history.flush(1)   # what the pages were shown is in it
        return dict(self.history.query(filters, page, size), gaps=self.history.gaps(filters),
                    status=self.history.status())

    async def history_page(self, request):
        page, size = request.query.get("page", "0"), request.query.get("size", "50")
        if not (page.isdigit() and size.isdigit() and len(page) < 7 and len(size) < 4):
            return refuse(400, "page and size: whole numbers")
        result, refusal = await self._read(request, self._query, int(page), int(size))
        return refusal or web.json_response(result, dumps=dumps)

    async def history_csv(self, request):
        chunks, refusal = await self._read(request, self.history.export_csv if self.history else None)
        if refusal:
            return refusal
        response = web.StreamResponse(headers={**HEADERS, "Content-Type": "text/csv; charset=utf-8",
                                               "Content-Disposition": 'attachment; filename="keyd-history.csv"'})
        await response.prepare(request)
        loop = asyncio.get_running_loop()
        while (chunk := await loop.run_in_executor(self.readers, next, chunks, None)) is not None:
            await response.write(chunk)
        await response.write_eof()
        return response

    async def names(self, request):
        result, refusal = await self._read(request, lambda _f: self.history.names())
        return refusal or web.json_response(result)

    async def search(self, request):
        words = request.query.get("q", "")[:64]
        result, refusal = await self._read(request, lambda _f: self.history.search(words) if words else [])
        return refusal or web.json_response({"locks": result})

    async def set_name(self, request):
        s, refusal = self._session(request, csrf=True)
        if s is None or s.role != "admin":
            return refuse(*refusal) if s is None else refuse(403, f"{s.user} is not an admin")
        try:
            body = await request.json()
            site, rfid, name = body["site"], body.get("rfid") or "", body["name"]
            assert all(isinstance(v, str) for v in (site, rfid, name)) and len(site) <= 64 and len(rfid) <= 64
        except (ValueError, KeyError, TypeError, AssertionError):
            return refuse(400, 'expected {"site": SITE, "rfid": RFID or "", "name": NAME}')
        if self.history is None:
            return refuse(503, "this console keeps no history")
        try:
            await asyncio.get_running_loop().run_in_executor(self.readers, self.history.set_name, site, rfid,
                                                             name.strip())
        except ValueError as e:
            return refuse(400, str(e))
        except HistoryError as e:
            return refuse(503, f"the history cannot be written: {e}")
        log.info("%s named %s %s: %r", s.user, "lock " + rfid + " at" if rfid else "site", site, name.strip())
        return web.json_response({"ok": True})

    async def websocket(self, request):
        s, refusal = self._session(request)
        if s is None:
            log.warning("Refused a WebSocket from %s: %s", self.address(request), refusal[1])
            return refuse(*refusal)
        origin = request.headers.get("Origin")
        if origin and origin != (self.settings.http_origin or f"{request.scheme}://{request.host}"):
            return refuse(403, "a WebSocket from another origin")
        ws = web.WebSocketResponse(heartbeat=30)
        await ws.prepare(request)
        page = self.pages[ws] = Page(ws, s)
        s.sockets.add(ws)
        snapshot = dict(self.fleet.snapshot(), commands=list(self.latest.values()))
        writer = asyncio.ensure_future(self._write(page, dumps(snapshot)))
        try:
            async for _ in ws:   # the page sends nothing; this notices its end
                pass
        finally:
            writer.cancel()
            self.pages.pop(ws, None)
            s.sockets.discard(ws)
        return ws

    @staticmethod
    async def _write(page, snapshot):
        try:
            await page.ws.send_str(snapshot)
            while not page.ws.closed:
                await page.wake.wait()
                await page.ws.send_str(dumps(page.take()))
        except ConnectionError:
            pass   # the page went away; the reading side ends it
