"""The console's refusals against the real service and a real mosquitto:
bad logins and their limit per address, commands without a session, CSRF
token, site or lock, a WebSocket without a session, broker messages that are
not JSON or too long; and between them the good exchanges still work."""
import asyncio
import json

import aiohttp

import harness

URL = "http://127.0.0.1:8080"
RFID, STATE = "4328719365", "state-1"
CFG = {"CFG": {"Key": {"LOCKS": [{"RFID": RFID}], "Serial": 1}}, "state": STATE}
# (what, CSRF header, command, status, error's start): each refused, nothing published.
REFUSALS = [
    ("no CSRF token", None, {"site": "s1", "command": "Battery"}, 403, "missing CSRF token"),
    ("wrong CSRF token", "x", {"site": "s1", "command": "Battery"}, 403, "wrong CSRF token"),
    ("unknown site", "ok", {"site": "s9", "command": "Battery"}, 404, "unknown site 's9'"),
    ("unknown lock", "ok", {"site": "s1", "command": "UNLOCK", "rfid": "1"}, 404, "site s1 has no lock '1'"),
    ("unknown command", "ok", {"site": "s1", "command": "OPEN"}, 400, "unknown command 'OPEN'"),
    ("offline site", "ok", {"site": "s2", "command": "Battery"}, 409, "site s2 is not online"),
]


async def post(http, path, body, csrf=None):
    async with http.post(URL + path, json=body, headers={"X-CSRF-Token": csrf} if csrf else {}) as r:
        return r.status, (await r.json()).get("error"), r.headers.get("Set-Cookie", "")


def client(**connector):
    # Cookies of a host named by its address are kept only by an "unsafe" jar.
    return aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True),
                                 connector=aiohttp.TCPConnector(**connector))


async def ws_until(ws, predicate):
    """The first message from the console's WebSocket that predicate takes."""
    while True:
        m = json.loads((await ws.receive(timeout=harness.WAIT_S)).data)
        if predicate(m):
            return m


async def main(console, site, commands):
    async with client() as http:
        for user, password in ((harness.USER, "wrong"), ("mallory", harness.PASSWORD)):
            assert (await post(http, "/api/login", {"user": user, "password": password}))[:2] == \
                (401, "wrong user name or password")
        status, _, cookie = await post(http, "/api/login", {"user": harness.USER, "password": harness.PASSWORD})
        assert status == 200 and "HttpOnly" in cookie and "SameSite=Strict" in cookie, cookie
        csrf = (await (await http.get(URL + "/api/session")).json())["csrf"]
        ws = await http.ws_connect(URL + "/ws")
        await ws_until(ws, lambda m: any(RFID in s["locks"] and s["status"] == "online" for s in
                                         m.get("sites", [m.get("site", {"locks": {}, "status": 0})])))
        for what, header, body, status, error in REFUSALS:
            got = await post(http, "/api/command", body, csrf if header == "ok" else header)
            assert got[0] == status and got[1].startswith(error), f"{what}: {got}"
        assert (await post(http, "/api/command", {"site": "s1", "command": "UNLOCK", "rfid": RFID}, csrf))[0] == 200
        m = commands.next()   # the first command published: nothing refused went out
        assert (m.topic, m.qos, json.loads(m.payload)) == \
            ("keyd/s1/TransGlam", 1, {"command": "UNLOCK", "RFID": RFID, "state": STATE}), m.payload
        assert m.properties.UserProperty == [("app", "console:alice")], m.properties
        site.publish("keyd/s1/command", b"{not json")
        console.wait_line(r"^WARN Dropping a message on keyd/s1/command that is not JSON")
        site.publish("keyd/s1/command", b"[" * (1 << 20))
        console.wait_line(r"^WARN Dropping a message of 1048576 bytes on keyd/s1/command")
        site.publish("keyd/s1/command", json.dumps({"CMD": "update_lock", "RFID": RFID, "LOCK_STATUS": "UNLOCKED"}))
        await ws_until(ws, lambda m: m.get("event", {}).get("status") == "UNLOCKED")
        token = {c.key: c.value for c in http.cookie_jar}["keyd_session"]
        assert (await post(http, "/api/logout", {}, csrf))[0] == 200
        assert (await ws.receive(timeout=harness.WAIT_S)).type == aiohttp.WSMsgType.CLOSE
        # The session ended on the server: its cookie and token no longer count.
        http.cookie_jar.update_cookies({"keyd_session": token})
        assert (await post(http, "/api/command", {"site": "s1", "command": "Battery"}, csrf))[:2] == \
            (401, "not logged in")
        for _ in range(2):   # a WebSocket with the ended session's cookie, then with none
            try:
                await http.ws_connect(URL + "/ws")
                raise AssertionError("a WebSocket without a session was accepted")
            except aiohttp.WSServerHandshakeError as e:
                assert e.status == 401, e
            http.cookie_jar.clear()
    # Failed logins from one address: the limit holds even for the right password, for that address only.
    async with client(local_addr=("127.0.0.2", 0)) as other:
        for _ in range(5):
            assert (await post(other, "/api/login", {"user": harness.USER, "password": "x"}))[0] == 401
        status, error, _ = await post(other, "/api/login", {"user": harness.USER, "password": harness.PASSWORD})
        assert status == 429 and error.startswith("too many failed logins"), error
    async with client() as http:
        assert (await post(http, "/api/login", {"user": harness.USER, "password": harness.PASSWORD}))[0] == 200


if __name__ == "__main__":
    ram = harness.enter_sandbox()
    broker = harness.start_broker(ram)
    site = harness.Mqtt()
    site.publish("keyd/s1/status", "online", retain=True)
    site.publish("keyd/s1/site_info", json.dumps(CFG), retain=True)
    site.publish("keyd/s2/status", "offline", retain=True)
    commands = harness.Mqtt("keyd/+/TransGlam")
    console = harness.start_console(ram)
    asyncio.run(main(console, site, commands))
    assert console.stop() == 0 and broker.stop() == 0
    print("console_test: all passed")
