"""The console's refusals against the real service and mosquitto: bad logins and their limit per
address; commands without session, CSRF token, site or lock; WebSockets without a session; broker
messages not JSON or too long. Beside each, the good exchange still works."""
import asyncio
import json
import queue

import aiohttp
import paho.mqtt.client as mqtt

import harness

URL, RFID, STATE = "http://127.0.0.1:8080", "4328719365", "state-1"
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


def login(http, password=harness.PASSWORD):
    return post(http, "/api/login", {"user": harness.USER, "password": password})


async def until(ws, test):   # reads the console's pushes until one passes test
    while not test(json.loads((await ws.receive(timeout=harness.WAIT_S)).data)):
        pass


def client(**connector):   # an "unsafe" jar keeps the cookies of a host named by its address
    return aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True),
                                 connector=aiohttp.TCPConnector(**connector))


async def main(console, site, sent):
    async with client() as http:
        assert (await login(http, "wrong"))[:2] == (401, "wrong user name or password")
        status, _, cookie = await login(http)
        assert status == 200 and "HttpOnly" in cookie and "SameSite=Strict" in cookie, cookie
        csrf = (await (await http.get(URL + "/api/session")).json())["csrf"]
        ws = await http.ws_connect(URL + "/ws")
        # The site's retained status and configuration, in the first state or pushed later.
        await until(ws, lambda m: any(RFID in s["locks"] for s in m.get("sites", [m.get("site", {"locks": ""})])))
        for what, header, body, status, error in REFUSALS:
            got = await post(http, "/api/command", body, csrf if header == "ok" else header)
            assert got[0] == status and got[1].startswith(error), f"{what}: {got}"
        assert (await post(http, "/api/command", {"site": "s1", "command": "UNLOCK", "rfid": RFID}, csrf))[0] == 200
        m = sent.get(timeout=harness.WAIT_S)   # the first command published: nothing refused went out
        assert (m.topic, m.qos, json.loads(m.payload), m.properties.UserProperty) == ("keyd/s1/TransGlam", 1,
            {"command": "UNLOCK", "RFID": RFID, "state": STATE}, [("app", "console:alice")]), m.payload
        for payload, warning in ((b"{no", "on keyd/s1/command that is not JSON"),
                                 (b"[" * (1 << 20), "of 1048576 bytes on keyd/s1/command")):
            site.publish("keyd/s1/command", payload, qos=1)
            console.wait_line(f"^WARN Dropping a message {warning}")
        site.publish("keyd/s1/command", json.dumps({"CMD": "update_lock", "RFID": RFID, "LOCK_STATUS": "UNLOCKED"}))
        await until(ws, lambda m: m.get("event", {}).get("status") == "UNLOCKED")   # and the next good one counts
        token = {c.key: c.value for c in http.cookie_jar}["keyd_session"]
        assert (await post(http, "/api/logout", {}, csrf))[0] == 200
        assert (await ws.receive(timeout=harness.WAIT_S)).type == aiohttp.WSMsgType.CLOSE
        http.cookie_jar.update_cookies({"keyd_session": token})   # the ended session's cookie counts no more
        assert (await post(http, "/api/command", {"site": "s1", "command": "Battery"}, csrf))[:2] == \
            (401, "not logged in")
        for _ in range(2):   # a WebSocket with the ended session's cookie, then with none
            try:
                await http.ws_connect(URL + "/ws")
                raise AssertionError("a WebSocket without a session was accepted")
            except aiohttp.WSServerHandshakeError as e:
                assert e.status == 401, e
            http.cookie_jar.clear()
    async with client(local_addr=("127.0.0.2", 0)) as other:   # 5 failed logins lock out that address only
        for _ in range(5):
            assert (await login(other, "x"))[0] == 401
        status, error, _ = await login(other)
        assert status == 429 and error.startswith("too many failed logins"), error
    async with client() as http:
        assert (await login(http))[0] == 200


if __name__ == "__main__":
    broker, console = harness.start_broker_and_console(harness.enter_sandbox())
    site, sent = mqtt.Client(protocol=mqtt.MQTTv5), queue.Queue()
    site.on_message = lambda _c, _u, m: sent.put(m)
    site.connect("127.0.0.1", 1883)
    site.subscribe("keyd/+/TransGlam", qos=1)
    site.loop_start()
    for topic, doc in (("s2/status", "offline"), ("s1/status", "online"),
                       ("s1/site_info", json.dumps({"CFG": {"Key": {"LOCKS": [{"RFID": RFID}]}}, "state": STATE}))):
        site.publish(f"keyd/{topic}", doc, qos=1, retain=True)
    asyncio.run(main(console, site, sent))
    assert console.stop() == 0 and broker.stop() == 0
    print("console_test: all passed")
