"""The console against the real service and mosquitto, behind nginx ending TLS, with a site simulated by
a paho client: logins and their budgets (in parallel, behind the proxy), the Host and Origin checks,
roles, users removed or changed, refused commands, a command's life and its MQTT 5 properties and
signature, hostile broker input each leaving a fresh page served, lines escaped, --check, and the first
of two brokers lost."""
import asyncio
import hashlib
import hmac
import json
import os
import queue
import socket
import subprocess
import time

import aiohttp
import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

import harness

URL, DIRECT, ORIGIN = "https://127.0.0.1:8443", "http://127.0.0.1:8080", "https://console.test:8443"
RFID, STATE, KEY = "4328719365", "state-1", "5a" * 32
SETTINGS = f"""command.expiry=2\nhttp.trusted_proxies=127.0.0.1\nhttp.origin={ORIGIN}\nfleet.max_sites=1000
http.page_queue_bytes=65536
keys.dir=KEYS\n"""
NAMES = (("alice", "operator"), ("vera", "viewer"), ("adam", "admin"), ("bob", "operator"), ("carl", "operator"))
# (what, user, CSRF header, command, status, error's start): each refused, nothing published.
REFUSALS = [
    ("no CSRF token", "alice", None, {"site": "s1", "command": "Battery"}, 403, "missing CSRF token"),
    ("wrong CSRF token", "alice", "x", {"site": "s1", "command": "Battery"}, 403, "wrong CSRF token"),
    ("unknown site", "alice", "ok", {"site": "s9", "command": "Battery"}, 404, "unknown site 's9'"),
    ("unknown lock", "alice", "ok", {"site": "s1", "command": "UNLOCK", "rfid": "1"}, 404, "site s1 has no lock '1'"),
    ("unknown command", "alice", "ok", {"site": "s1", "command": "OPEN"}, 400, "unknown command 'OPEN'"),
    ("offline site", "alice", "ok", {"site": "s2", "command": "Battery"}, 409, "site s2 is not online"),
    ("a viewer", "vera", "ok", {"site": "s1", "command": "Battery"}, 403, "vera is a viewer"),
]
# (client address, through the proxy, user, password, tries in parallel, the statuses): per address
# 5 failures, per user name 10; a forged X-Forwarded-For counts only from the trusted proxy.
LOGINS = [("127.0.0.7", True, "mallory", "x", 12, [401] * 5 + [429] * 7),
          ("127.0.0.8", True, "alice", harness.PASSWORD, 1, [200])] + \
         [(f"127.0.0.{9 + i}", True, "mallory", "x", 1, [401]) for i in range(5)] + \
         [("127.0.0.14", True, "mallory", "x", 1, [429]),
          ("127.0.0.15", True, "alice", "a\x00b", 1, [401]), ("127.0.0.15", True, "alice", "\ud800", 1, [401]),
          ("127.0.0.2", False, "alice", "x", 6, [401] * 5 + [429])]
# (the site's answers to an UNLOCK, the states a page sees after "published", the row's last text)
LIFE = [([("queued", 1), ("sent",), "UNLOCKED"], ["queued", "sent", "answered"], "update_lock: UNLOCKED"),
        ([("queued", 2), ("unknown-lock",)], ["queued", "unknown-lock"], "Unlock: the site does not know this lock"),
        ([("no-link",)], ["no-link"], "Unlock: the site has no key-daemon link"),
        ([("queued", 1), ("expired",)], ["queued", "expired"], "Unlock: expired before the site could send it"),
        ([("refused", "bad signature")], ["refused"], "Unlock: refused by the site's bridge (bad signature)"),
        ([], ["no answer"], "Unlock: no answer")]
LOCKED = lambda status: json.dumps({"CMD": "update_lock", "RFID": RFID, "LOCK_STATUS": status}).encode()
# (what, the messages published, the WARN it gives): after each, a fresh page gets s1 as it was.
HOSTILE = [("not JSON", [("s1/command", b"{no")], "Dropping a message on keyd/s1/command that is not JSON: "),
           ("too long", [("s1/command", b"[" * (1 << 20))], "Dropping a message of 1048576 bytes on keyd/s1/command: "
            "longer than 262144$"),
           # peer text in a log line is escaped (the broker itself refuses control characters in a topic)
           ("a line break in a topic", [("s1/outcome/x\u2028INFO forged", b"nope")],
            r"Dropping a message on keyd/s1/outcome/x\\u2028INFO forged that is not JSON"),
           ("deep nesting", [("s1/site_info", b'{"CFG":' * 983 + b"{}" + b"}" * 983)], "nested deeper than 32"),
           ("NaN", [("s1/site_info", b'{"CFG": {}, "x": NaN}')], "on keyd/s1/site_info that is not JSON: NaN"),
           ("a number out of range", [("s1/command", LOCKED(0)[:-2] + b"1e999}")], "a number out of range"),
           ("huge values", [("s1/command", LOCKED("x" * 200000))], None),
           ("thousands of sites", [(f"f{i}/status", b"online") for i in range(1500)], "the console keeps 1000 sites"),
           ("a flood of pings to a slow page", [("s1/command", b'{"CMD": "ping"}')] * 10000 +
            [("s1/command", LOCKED("f" * 100))] * 30000, "A page does not keep up")]


OPEN = []   # the sessions' clients, closed at the end


def client(address="127.0.0.1"):   # an "unsafe" jar keeps the cookies of a host named by its address
    return aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True), headers={"Host": "console.test:8443"},
                                 connector=aiohttp.TCPConnector(local_addr=(address, 0), ssl=False))


async def post(http, path, body, csrf=None, url=URL, **headers):
    async with http.post(url + path, json=body, headers={"X-CSRF-Token": csrf} if csrf else headers) as r:
        return r.status, (await r.json()).get("error"), r.headers.get("Set-Cookie", "")


async def session(user, address="127.0.0.1"):
    """A client logged in as user through the proxy, its CSRF token and its page's WebSocket."""
    http = client(address)
    OPEN.append(http)
    status, _, cookie = await post(http, "/api/login", {"user": user, "password": harness.PASSWORD})
    assert status == 200 and all(f in cookie for f in ("HttpOnly", "SameSite=Strict", "Secure")), cookie
    me = await (await http.get(URL + "/api/session")).json()
    return http, me, await http.ws_connect(URL + "/ws", origin=ORIGIN)


async def until(ws, test):   # reads the console's pushes until one passes test
    while not test(m := json.loads((await ws.receive(timeout=harness.WAIT_S)).data)):
        pass
    return m


def lock_is(status):
    return lambda m: any(s["id"] == "s1" and s.get("locks", {}).get(RFID, {}).get("status") == status for s in m["sites"]) \
        or any(lock["rfid"] == RFID and lock["status"] == status for lock in m.get("locks", []))


async def main(console, site, sent, ram, broker, other):
    async with client() as direct:   # the Host allow-list, before and behind the proxy
        for url in (DIRECT, URL):
            async with direct.get(url + "/", headers={"Host": "evil.example"}) as r:
                assert r.status == 421, (url, r.status)
    for address, proxied, user, password, n, statuses in LOGINS:
        async with client(address) as http:
            got = await asyncio.gather(*(post(http, "/api/login", {"user": user, "password": password},
                                              url=URL if proxied else DIRECT, **{"X-Forwarded-For": f"10.0.0.{i}"})
                                         for i in range(n)))
            assert sorted(g[0] for g in got) == statuses, (address, user, got)
    async with client() as http:
        async with http.post(URL + "/api/login", data={"user": "alice", "password": harness.PASSWORD}) as r:
            assert r.status == 415, r.status
    http, me, ws = await session("alice")
    assert me["role"] == "operator"
    await until(ws, lock_is(None))   # the site's retained status and configuration
    try:
        await http.ws_connect(URL + "/ws", origin="https://evil.example")
        raise AssertionError("a WebSocket from another origin was accepted")
    except aiohttp.WSServerHandshakeError as e:
        assert e.status == 403, e
    for what, user, header, body, status, error in REFUSALS:
        h, m, _ = (http, me, None) if user == "alice" else await session(user)
        got = await post(h, "/api/command", body, m["csrf"] if header == "ok" else header)
        assert got[0] == status and got[1].startswith(error), f"{what}: {got}"
    admin, admin_me, _ = await session("adam")
    for h, status in ((http, 403), (admin, 200)):   # only an admin lists the users
        async with h.get(URL + "/api/users") as r:
            got = r.status, await r.json()
        assert got[0] == status and (status != 200 or got[1]["users"][0] == {"user": "adam", "role": "admin"}), got
    assert (await post(admin, "/api/command", {"site": "s1", "command": "Battery"}, admin_me["csrf"]))[0] == 200
    assert json.loads(sent.get(timeout=harness.WAIT_S).payload) == {"command": "Battery"}   # nothing refused went out
    for answers, states, text in LIFE:
        r = await http.post(URL + "/api/command", json={"site": "s1", "command": "UNLOCK", "rfid": RFID},
                            headers={"X-CSRF-Token": me["csrf"]})
        cid = (await r.json())["id"]
        m = sent.get(timeout=harness.WAIT_S)
        p, props = m.properties, dict(m.properties.UserProperty)
        signed = "\n".join(("keyd-command-v1", "s1", props["app"], props["expires"], props["nonce"])).encode()
        assert (m.topic, json.loads(m.payload), props["app"], p.CorrelationData, p.ResponseTopic) == (
            "keyd/s1/TransGlam", {"command": "UNLOCK", "RFID": RFID, "state": STATE}, "console:alice", cid.encode(),
            f"keyd/s1/outcome/keyd-console-{os.uname().nodename}-{console.p.pid}"), m
        assert 0 < p.MessageExpiryInterval <= 2 and 0 < int(props["expires"]) - time.time() <= 2, props
        assert hmac.new(bytes.fromhex(KEY), signed + b"\n" + m.payload, hashlib.sha256).hexdigest() == props["sig"]
        again = await post(http, "/api/command", {"site": "s1", "command": "UNLOCK", "rfid": RFID}, me["csrf"])
        assert again[:2] == (409, f"a command to lock {RFID} is under way"), again
        for a in answers:
            if isinstance(a, str):
                site.publish("keyd/s1/command", LOCKED(a), qos=1)
                continue
            doc = {"command": "UNLOCK", "app": "console:alice", "rfid": RFID, "state": STATE, "outcome": a[0]}
            doc.update({"place": a[1]} if a[0] == "queued" else {"reason": a[1]} if len(a) > 1 else {})
            answer = Properties(PacketTypes.PUBLISH)
            answer.CorrelationData = p.CorrelationData
            site.publish(p.ResponseTopic, json.dumps(doc), qos=1, properties=answer)
        seen = []
        m = await until(ws, lambda m: any(c["id"] == cid and (seen.append(c["state"]) or c["final"])
                                          for c in m.get("commands", [])))
        assert seen[seen.index("published") + 1:] == states and m["commands"][-1]["text"] == text, (seen, m)
    users = [await session(name) for name in ("bob", "carl")]
    for (action, name, password), (_, _, page) in zip((("deluser", "bob", ""), ("passwd", "carl", "new")), users):
        assert harness.users(ram, action, name, password=password)[0] == 0
        while (m := await page.receive(timeout=harness.WAIT_S)).type == aiohttp.WSMsgType.TEXT:
            pass
        assert m.type == aiohttp.WSMsgType.CLOSE, (name, m)
    assert [(await (await h.get(URL + "/api/session")).json()).get("error") for h, _, _ in users] == ["not logged in"] * 2
    slow = socket.socket()   # a page that never reads, with a small receive buffer
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.connect(("127.0.0.1", 8080))
    slow.sendall(f"GET /ws HTTP/1.1\r\nHost: console.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 f"Sec-WebSocket-Key: {'A' * 22}==\r\nSec-WebSocket-Version: 13\r\nCookie: keyd_session="
                 f"{ {c.key: c.value for c in http.cookie_jar}['keyd_session'] }\r\n\r\n".encode())
    assert slow.recv(12) == b"HTTP/1.1 101"
    for i, (what, messages, warning) in enumerate(HOSTILE):
        for topic, payload in messages:
            site.publish(f"keyd/{topic}", payload)
        site.publish("keyd/s1/command", LOCKED(f"ok-{i}"), qos=1)
        if warning:
            console.wait_line(f"^WARN .*{warning}")
        page = await http.ws_connect(URL + "/ws", origin=ORIGIN)   # a fresh page
        snap = await until(page, lambda m: m["type"] == "snapshot")
        if not lock_is(f"ok-{i}")(snap):
            await until(page, lock_is(f"ok-{i}"))
        s1 = next(s for s in snap["sites"] if s["id"] == "s1")
        assert s1["state"] == STATE and list(s1["locks"]) == [RFID] and len(snap["sites"]) <= 1000, what
        assert all(len(e["text"]) < 100 for e in snap["events"]), what
        print(f"console_test: after {what}: the console's resident memory {harness.rss_mib(console):.1f} MiB")
    slow.close()
    # The first broker of two lost: the console moves to the other, keeps the sites it knows, shows their events.
    broker.p.kill()
    console.wait_line(r"^WARN Lost the broker")
    console.wait_line(r"^INFO Connected to the broker 127\.0\.0\.1:1884, subscribed")
    other.publish("keyd/s1/command", LOCKED("on the other broker"), qos=1)
    page = await http.ws_connect(URL + "/ws", origin=ORIGIN)
    snap = await until(page, lambda m: m["type"] == "snapshot")
    assert [s["state"] for s in snap["sites"] if s["id"] == "s1"] == [STATE], snap["sites"]
    if not lock_is("on the other broker")(snap):
        await until(page, lock_is("on the other broker"))
    for h in OPEN:
        await h.close()


def check(ram):
    with open(f"{ram}/bad.conf", "w") as f:
        f.write("fleet.max_sites=many\nnope=1\nhttp.listen=127.0.0.1:8080\n")
    r = subprocess.run([f"{harness.BIN}/keyd-console", "--check", "--conf", f"{ram}/bad.conf"],
                       capture_output=True, text=True)
    lines = r.stdout.splitlines()
    assert r.returncode == 1 and r.stderr == "" and {
        f"problem: {ram}/bad.conf:1: fleet.max_sites: not a whole number from 1 to 1000000: 'many'; taking '5000'",
        f"problem: {ram}/bad.conf:2: unknown key 'nope'", f"http.listen=127.0.0.1:8080 ({ram}/bad.conf:3)",
        "session.lifetime=43200 (default)"} <= set(lines), r.stdout
    assert harness.users(ram, "adduser", "nul", password="a\x00b") == (
        1, "keyd-console: a password with a NUL character; nothing saved")


if __name__ == "__main__":
    ram = harness.enter_sandbox()
    os.makedirs(f"{ram}/keys")
    with open(f"{ram}/keys/fleet.key", "w") as f:
        f.write(KEY + "\n")
    broker, console = harness.start_broker_and_console(ram, SETTINGS.replace("KEYS", f"{ram}/keys"), NAMES,
                                                       hosts="127.0.0.1,127.0.0.1:1884")
    broker2, other = harness.start_broker(ram, 1884), mqtt.Client(protocol=mqtt.MQTTv5)
    other.connect("127.0.0.1", 1884)
    other.loop_start()
    proxy = harness.start_proxy(ram)
    check(ram)
    site, sent = mqtt.Client(protocol=mqtt.MQTTv5), queue.Queue()
    site.on_message = lambda _c, _u, m: sent.put(m)
    site.connect("127.0.0.1", 1883)
    site.subscribe("keyd/+/TransGlam", qos=1)
    site.loop_start()
    for topic, doc in (("s2/status", "offline"), ("s1/status", "online"),
                       ("s1/site_info", json.dumps({"CFG": {"Key": {"LOCKS": [{"RFID": RFID}]}}, "state": STATE}))):
        site.publish(f"keyd/{topic}", doc, qos=1, retain=True)
    asyncio.run(main(console, site, sent, ram, broker, other))
    assert console.stop() == 0 and proxy.stop() == 0 and broker2.stop() == 0
    print("console_test: all passed")
