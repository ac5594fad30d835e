"""The console's web side: the page, logging in and out, the commands, and
the one WebSocket per open page that carries the fleet's state. Everything
runs on the event loop's thread."""
import asyncio
import json
import logging
import pathlib
import secrets

from aiohttp import web

from . import auth

log = logging.getLogger("keyd-console")

COOKIE = "keyd_session"
COMMANDS = ("UNLOCK", "LOCK", "Battery", "req_transactions", "req_cfg")
STATIC = pathlib.Path(__file__).parent / "static"
PAGE_QUEUE = 2000   # messages waiting for a slow page before it is cut off
HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def refuse(status, text, **headers):
    return web.json_response({"error": text}, status=status, headers=headers)


class Console:
    """The web service: its routes, the sessions, the failed-login limiter
    and the open pages. broker_publish(site, payload, user) sends a command."""

    def __init__(self, fleet, users, broker_publish):
        self.fleet, self.users, self.publish = fleet, users, broker_publish
        self.sessions = auth.Sessions()
        self.limiter = auth.LoginLimiter()
        self.pages = {}   # open WebSocket -> its queue of texts to send

    def app(self):
        app = web.Application(middlewares=[self._headers], client_max_size=64 * 1024)
        app.router.add_get("/", self.index)
        app.router.add_static("/static", STATIC)
        app.router.add_get("/api/session", self.session)
        app.router.add_post("/api/login", self.login)
        app.router.add_post("/api/logout", self.logout)
        app.router.add_post("/api/command", self.command)
        app.router.add_get("/ws", self.websocket)
        return app

    @web.middleware
    async def _headers(self, request, handler):
        response = await handler(request)
        if not isinstance(response, web.WebSocketResponse):
            response.headers.update(HEADERS)
        return response

    def push(self, messages):
        """Queues messages for every open page."""
        for m in messages:
            text = json.dumps(m)
            for ws, queue in list(self.pages.items()):
                try:
                    queue.put_nowait(text)
                except asyncio.QueueFull:
                    log.warning("A page does not keep up with the fleet; closing its WebSocket")
                    del self.pages[ws]
                    asyncio.ensure_future(ws.close())

    async def index(self, _request):
        return web.FileResponse(STATIC / "index.html")

    def on_broker(self, topic, payload, retained):
        self.push(self.fleet.on_message(topic, payload, retained))

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
        return refuse(*refusal) if s is None else web.json_response({"user": s.user, "csrf": s.csrf})

    async def login(self, request):
        addr = request.remote or "-"
        wait = self.limiter.wait_s(addr)
        if wait:
            log.warning("Login from %s refused: too many failed logins", addr)
            return refuse(429, f"too many failed logins: try again in {wait} s", **{"Retry-After": str(wait)})
        try:
            body = await request.json()
            name, password = body["user"], body["password"]
            assert isinstance(name, str) and isinstance(password, str)
        except (ValueError, KeyError, TypeError, AssertionError):
            return refuse(400, 'expected {"user": NAME, "password": PASSWORD}')
        # Counted as failed until proven right, so that tries in parallel count too.
        self.limiter.failed(addr)
        hashed = self.users.hash_of(name)
        ok = await asyncio.get_running_loop().run_in_executor(
            None, self.users.check_password, hashed, password)
        if not ok:
            log.warning("Failed login as %r from %s", name[:64], addr)
            return refuse(401, "wrong user name or password")
        self.limiter.succeeded(addr)
        s = self.sessions.start(name)
        log.info("%s logged in from %s", name, addr)
        response = web.json_response({"user": name, "csrf": s.csrf})
        response.set_cookie(COOKIE, s.token, httponly=True, samesite="Strict", path="/")
        return response

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
            log.warning("Refused a command from %s: %s", request.remote, refusal[1])
            return refuse(*refusal)
        try:
            body = await request.json()
            cmd, site_id, rfid = body.get("command"), body.get("site"), body.get("rfid")
        except (ValueError, AttributeError):
            return refuse(400, 'expected {"site": SITE, "command": COMMAND[, "rfid": RFID]}')
        site = self.fleet.sites.get(site_id) if isinstance(site_id, str) else None
        error = None
        if cmd not in COMMANDS:
            error = 400, f"unknown command {cmd!r}: one of {', '.join(COMMANDS)}"
        elif site is None:
            error = 404, f"unknown site {site_id!r}"
        elif cmd in ("UNLOCK", "LOCK") and (not isinstance(rfid, str) or rfid not in site.locks):
            error = 404, f"site {site.id} has no lock {rfid!r}"
        elif site.status != "online":
            error = 409, f"site {site.id} is not online"
        if error:
            log.warning("Refused %s's command %.80r: %s", s.user, body, error[1])
            return refuse(*error)
        doc = {"command": cmd, "RFID": rfid, "state": site.state} if cmd in ("UNLOCK", "LOCK") \
            else {"command": cmd}
        payload = json.dumps(doc, separators=(",", ":"))
        if not self.publish(site.id, payload, s.user):
            return refuse(503, "the broker is not connected: nothing was sent")
        what = f"{cmd} {rfid}" if cmd in ("UNLOCK", "LOCK") else cmd
        log.info("console:%s sent %s to %s", s.user, what, site.id)
        self.push([self.fleet.event(site.id, "sent", f"{what} by {s.user}",
                                    command=cmd, rfid=rfid, user=s.user)])
        return web.json_response({"ok": True, "payload": payload})

    async def websocket(self, request):
        s, refusal = self._session(request)
        if s is None:
            log.warning("Refused a WebSocket from %s: %s", request.remote, refusal[1])
            return refuse(*refusal)
        origin = request.headers.get("Origin")
        if origin and origin != f"{request.scheme}://{request.host}":
            return refuse(403, "a WebSocket from another origin")
        ws = web.WebSocketResponse(heartbeat=30)
        await ws.prepare(request)
        queue = asyncio.Queue(PAGE_QUEUE)
        queue.put_nowait(json.dumps(self.fleet.snapshot()))
        self.pages[ws] = queue
        s.sockets.add(ws)
        writer = asyncio.ensure_future(self._write(ws, queue))
        try:
            async for _ in ws:   # the page sends nothing; this notices its end
                pass
        finally:
            writer.cancel()
            self.pages.pop(ws, None)
            s.sockets.discard(ws)
        return ws

    @staticmethod
    async def _write(ws, queue):
        try:
            while not ws.closed:
                await ws.send_str(await queue.get())
        except ConnectionError:
            pass   # the page went away; the reading side ends it
