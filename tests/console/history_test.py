"""The console's history on a real SQLite file and a real PostgreSQL (run by this test as an unprivileged user):
each kind of event stored once, the view's filters, CSV byte for byte, names, the state after a restart, old rows
removed, a schema upgrade, two consoles storing each event once and sharing their sessions, PostgreSQL stopped and
started mid-run."""
import asyncio
import json
import logging
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import aiohttp
import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

import harness

sys.path.insert(0, os.path.join(os.environ["KEYD_SOURCE_DIR"], "console"))
from keyd_console import history   # noqa: E402

T = 1_780_000_000_000          # the script's start, ms (2026-05-28T20:26:40Z)
P, URL = "keyd", "http://127.0.0.1:8080"
CFG2 = b'{"CFG": {"Key": {"LOCKS": [{"RFID": "1001"}, {"RFID": "1002"}]}}, "state": "st1"}'
CFG1 = b'{"CFG": {"Key": {"LOCKS": [{"RFID": "1001"}]}}, "state": "st2"}'
OUT = b'{"command": "%s", "app": "console:%s", "rfid": "%s", "state": "st1", "outcome": "%s"%s}'
LOCK = b'{"CMD": "update_lock", "RFID": "1001", "LOCK_STATUS": "%s"}'
# (ms after T, ("msg", topic, payload) | ("cmd", id, site, user, command, rfid, state) | ("ans", id, payload));
# the commented ones are not kept.
SCRIPT = [(0, ("msg", "s1/status", b"online")), (1, ("msg", "s1/status", b"online")),   # the same status
          (2, ("msg", "s1/site_info", CFG2)), (3, ("msg", "s1/site_info", CFG2)),       # the same configuration
          (4, ("msg", "s2/status", b"offline")), (10, ("cmd", "c1", "s1", "alice", "UNLOCK", "1001", "st1")),
          (11, ("ans", "c1", OUT % (b"UNLOCK", b"alice", b"1001", b"queued", b', "place": 1'))),  # the life only
          (12, ("msg", "s1/outcome", OUT % (b"UNLOCK", b"alice", b"1001", b"sent", b""))),
          (13, ("ans", "c1", OUT % (b"UNLOCK", b"alice", b"1001", b"sent", b""))),                # the life only
          (1000, ("msg", "s1/command", LOCK % b"UNLOCKED")), (2000, ("cmd", "c2", "s1", "bob", "LOCK", "1002", "st1")),
          (2001, ("msg", "s1/outcome", OUT % (b"LOCK", b"bob", b"1002", b"refused", b', "reason": "bad signature"'))),
          (3000, ("msg", "s1/outcome", b'{"command": "Battery", "app": "fleet-control", "outcome": "no-link"}')),
          (4000, ("msg", "s1/command", b'{"CMD": "update_key", "TAG_KEY_BATTERY": 87}')),
          (5000, ("msg", "s1/command", b'{"CMD": "ping"}')), (6000, ("msg", "s1/status", b"offline")),   # a ping
          (7000, ("msg", "s1/site_info", CFG1)), (8000, ("cmd", "c3", "s1", "alice", "UNLOCK", "1001", "st1")),
          (9000, ("msg", "s1/outcome", OUT % (b"UNLOCK", b"alice", b"1001", b"expired", b""))),
          (9500, ("msg", "s1/command", LOCK % b"LOCKED")), (9999, ("msg", "s 1/status", b"online")),  # a bad site
          (9998, ("msg", "s1/outcome", b'{"command": "\\ud800x\\u0000", "app": "a", "place": "x", "outcome": "sent"}'))]
# Each kept row by its time: kind, site, rfid, who, command, outcome, status, detail, command id.
KEPT = {
    0: ("status", "s1", None, None, None, None, "online", None, None),
    2: ("config", "s1", None, None, None, None, None, "configuration with 2 locks", None),
    4: ("status", "s2", None, None, None, None, "offline", None, None),
    10: ("command", "s1", "1001", "console:alice", "UNLOCK", None, None, None, "c1"),
    12: ("outcome", "s1", "1001", "console:alice", "UNLOCK", "sent", None, None, "c1"),
    1000: ("update_lock", "s1", "1001", None, None, None, "UNLOCKED", None, None),
    2000: ("command", "s1", "1002", "console:bob", "LOCK", None, None, None, "c2"),
    2001: ("outcome", "s1", "1002", "console:bob", "LOCK", "refused", None, "bad signature", "c2"),
    3000: ("outcome", "s1", None, "fleet-control", "Battery", "no-link", None, None, None),
    4000: ("update_key", "s1", None, None, None, None, "87", "battery", None),
    6000: ("status", "s1", None, None, None, None, "offline", None, None),
    7000: ("config", "s1", None, None, None, None, None, "configuration with 1 locks", None),
    8000: ("command", "s1", "1001", "console:alice", "UNLOCK", None, None, None, "c3"),
    9000: ("outcome", "s1", "1001", "console:alice", "UNLOCK", "expired", None, None, "c3"),
    9500: ("update_lock", "s1", "1001", None, None, None, "LOCKED", None, None),
    9998: ("outcome", "s1", None, "a", "?x\ufffd", "sent", None, None, None),   # what a database takes
}
# Each command's life: queued, place, outcome, outcome's time, reason, lock's status, its time.
LIVES = {"c1": (T + 11, 1, "sent", T + 12, None, "UNLOCKED", T + 1000),   # the broadcast came first
         "c2": (None, None, "refused", T + 2001, "bad signature", None, None),
         "c3": (None, None, "expired", T + 9000, None, None, None)}   # no lock reply after "expired"
# (filters, page, page size, the rows' times newest first, more pages)
QUERIES = [({}, 0, 100, sorted(KEPT, reverse=True), False), ({}, 1, 4, [7000, 6000, 4000, 3000], True),
           ({"site": "s2"}, 0, 50, [4], False), ({"rfid": "1001"}, 0, 50, [9500, 9000, 8000, 1000, 12, 10], False),
           ({"user": "alice"}, 0, 50, [9000, 8000, 12, 10], False), ({"user": "fleet-control"}, 0, 50, [3000], False),
           ({"command": "LOCK"}, 0, 50, [2001, 2000], False), ({"outcome": "refused"}, 0, 50, [2001, 2000], False),
           ({"outcome": "sent", "kind": "command"}, 0, 50, [10], False), ({"until": T + 4}, 0, 50, [2, 0], False),
           ({"since": T + 1000, "until": T + 4000}, 0, 50, [3000, 2001, 2000, 1000], False),
           ({"since": T + 6000}, 0, 50, [9998, 9500, 9000, 8000, 7000, 6000], False),
           ({"site": "s1", "kind": "status", "since": T + 1}, 0, 50, [6000], False)]
CSV = ("time,site,site_name,kind,rfid,lock_name,who,command,outcome,status,detail,queued,place,outcome_time,"
       "lock_status,lock_time,topic\r\n2026-05-28T20:26:42.001Z,s1,Depot North,outcome,1002,,console:bob,LOCK,refused,"
       ",bad signature,,,,,,keyd/s1/outcome\r\n2026-05-28T20:26:42.000Z,s1,Depot North,command,1002,,console:bob,LOCK,"
       "refused,,bad signature,,,2026-05-28T20:26:42.001Z,,,keyd/s1/TransGlam\r\n2026-05-28T20:26:41.000Z,s1,"
       "Depot North,update_lock,1001,\"'=Front door, north\",,,,UNLOCKED,,,,,,,keyd/s1/command\r\n"
       "2026-05-28T20:26:40.012Z,s1,Depot North,outcome,1001,\"'=Front door, north\",console:alice,UNLOCK,sent,,,,,,,,"
       "keyd/s1/outcome\r\n2026-05-28T20:26:40.010Z,s1,Depot North,command,1001,\"'=Front door, north\",console:alice,"
       "UNLOCK,sent,,,2026-05-28T20:26:40.011Z,1,2026-05-28T20:26:40.012Z,UNLOCKED,2026-05-28T20:26:41.000Z,"
       "keyd/s1/TransGlam\r\n")
BOTH = [("s1", "1001"), ("s1", "1002")]
SEARCHES = [("front", BOTH[:1]), ("100", BOTH), ("depot", BOTH), ("%", []), ("1002", BOTH[1:])]


class Warnings(logging.Handler):
    """The console's WARN lines, for the test to wait for."""
    lines = queue.Queue()

    def emit(self, record):
        self.lines.put(record.getMessage())

    def wait(self, start):
        line = self.lines.get(timeout=harness.WAIT_S)
        assert line.startswith(start), line
        assert self.lines.empty(), self.lines.get()   # once per episode


class Postgres:
    """A PostgreSQL cluster in folder, run as an unprivileged user (a user namespace of its own), on a Unix socket."""
    BIN = "/usr/lib/postgresql/15/bin"
    AS_USER = ["unshare", "--user", "--map-user=1000", "--map-group=1000"]

    def __init__(self, folder):
        self.folder, self.n = folder, 0
        subprocess.run(self.AS_USER + [f"{self.BIN}/initdb", "-D", f"{folder}/data", "-U", "keyd", "--auth=trust",
                                       "-E", "UTF8", "--locale=C.UTF-8"], check=True, stdout=subprocess.DEVNULL)
        self.start()

    def start(self):
        self.proc = harness.Proc(self.AS_USER + [f"{self.BIN}/postgres", "-D", f"{self.folder}/data", "-k",
                                                 self.folder, "-c", "listen_addresses="], "postgres")
        self.proc.wait_line("ready to accept connections")

    def stop(self):
        self.proc.p.send_signal(signal.SIGINT)   # a fast shutdown: sessions are cut
        assert self.proc.p.wait(timeout=harness.WAIT_S) == 0

    def new_database(self):
        self.n += 1
        rows(f"postgresql:///postgres?host={self.folder}&user=keyd", f"CREATE DATABASE h{self.n}")
        return f"postgresql:///h{self.n}?host={self.folder}&user=keyd"


def play(h, script, shift=0):
    for ms, (what, *args) in script:
        at = (T + ms + shift) / 1000
        if what == "msg":
            h.record_message(f"{P}/{args[0]}", args[1], at)
        elif what == "ans":
            h.record_message(f"{P}/s1/outcome/console-1", args[1], at, cmd_id=args[0])
        else:
            cmd_id, site, user, command, rfid, state = args
            h.record_command(cmd_id, site, user, command, rfid, state, f"{P}/{site}/TransGlam", at)


def opened(target, **kw):
    h = history.History(target, P, **kw)
    h.start()
    return h


def rows(target, sql):
    db = history._Db(target)
    cur = db.run(sql)
    found = cur.fetchall() if cur.description else None
    db.close()
    return found


def every_kind(target):
    """The script stored once with its fields; the view's queries; CSV; names; the state after a restart."""
    days = (int(time.time() * 1000) - T) // 86_400_000 + 30   # the script is kept
    h = opened(target, days=100_000)
    h.record_message(f"{P}/s3/status", b"online", (T - (days + 1) * 86_400_000) / 1000)   # too old
    assert h.flush(harness.WAIT_S)
    h.close()
    h = opened(target, days=days)    # removes the old row at its start
    play(h, SCRIPT)
    assert h.flush(harness.WAIT_S)
    assert rows(target, "SELECT count(*) FROM events WHERE site = 's3'") == [(0,)]
    got = {at - T: r for at, *r in rows(target, "SELECT at_ms, kind, site, rfid, who, command, outcome, status, "
                                                "detail, cmd_id FROM events WHERE site <> 's3'")}
    assert got == {ms: list(r) for ms, r in KEPT.items()}, got
    lives = {c: tuple(r) for c, *r in rows(target, "SELECT cmd_id, queued_ms, place, outcome, outcome_ms, reason, "
                                                   "lock_status, lock_ms FROM commands")}
    assert lives == LIVES, lives
    for filters, page, size, times, more in QUERIES:
        result = h.query(filters, page, size)
        assert ([r["time"] - T for r in result["rows"]], result["more"]) == (times, more), (filters, result)
    h.set_name("s1", "", "Depot North")
    h.set_name("s1", "1001", "=Front door, north")
    csv = b"".join(h.export_csv({"site": "s1", "since": T + 10, "until": T + 2002}, chunk=2)).decode()
    assert csv == CSV, csv
    for words, found in SEARCHES:
        assert [(r["site"], r["rfid"]) for r in h.search(words)] == found, (words, h.search(words))
    h.close()
    h = opened(target, days=days)   # a restart: the state comes back
    state = h.restore_state()
    assert {s: (v["status"], v["config_time"], v["locks"]) for s, v in state.items()} == {
        "s1": ("offline", T + 7000, {"1001": {"status": "LOCKED", "time": T + 9500}}),
        "s2": ("offline", None, {}), "s3": ("online", None, {})}, state   # a site outlives its events
    play(h, [(20000, ("msg", "s1/status", b"offline")), (20001, ("msg", "s1/site_info", CFG1)),
             (20002, ("msg", "s1/site_info", CFG2))])   # the same status and configuration: only the changed one
    assert h.flush(harness.WAIT_S)
    assert h.names()["locks"] == {"s1": {"1001": "=Front door, north"}}
    assert rows(target, "SELECT count(*) FROM events") == [(len(KEPT) + 1,)]
    h.close()


def two_consoles(target):
    """Two instances storing the same messages (a lock's status twice for real) at once: each stored once."""
    script = [s for s in SCRIPT if s[1][0] == "msg"] + [(9600, ("msg", "s1/command", LOCK % b"LOCKED"))]
    consoles = [opened(target, instance=name) for name in ("console-a", "console-b")]
    threads = [threading.Thread(target=play, args=(h, script, shift)) for h, shift in zip(consoles, (0, 1))]
    [t.start() for t in threads] and [t.join() for t in threads]
    assert all(h.flush(harness.WAIT_S) for h in consoles)
    kept = sorted([ms for ms, r in KEPT.items() if r[0] != "command"] + [9600])
    stored = rows(target, "SELECT at_ms, instances FROM events ORDER BY at_ms")
    assert len(stored) == len(kept) and all(at - T - ms in (0, 1) for (at, _), ms in zip(stored, kept)), stored
    assert all(i in (",console-a,console-b,", ",console-b,console-a,") for _, i in stored), stored
    [h.close() for h in consoles]


def upgrade(target):
    """A history of schema version 1 with rows, opened by this console: upgraded, every row kept and shown."""
    db = history._Db(target)
    db.upgrade(upto=1)
    for sql in ("events (at_ms, topic, site, kind, status) VALUES ({t}, 'keyd/s1/status', 's1', 'status', 'online')",
                "events (at_ms, topic, site, kind, rfid, who, command, cmd_id) VALUES ({c}, 'keyd/s1/TransGlam', "
                "'s1', 'command', '1001', 'console:alice', 'UNLOCK', 'c1')",
                "commands (cmd_id, at_ms, site, rfid, who, command, outcome) VALUES ('c1', {c}, 's1', '1001', "
                "'console:alice', 'UNLOCK', 'sent')", "site_state (site, status, status_ms) VALUES ('s1', 'online', {t})"):
        db.run("INSERT INTO " + sql.format(t=T, c=T + 10))
    db.close()
    h = opened(target, days=100_000)
    assert rows(target, "SELECT version FROM schema_version") == [(history.LATEST,)]
    got = [(r["time"] - T, r["kind"], (r.get("life") or {}).get("outcome")) for r in h.query({})["rows"]]
    assert got == [(10, "command", "sent"), (0, "status", None)], got
    assert h.restore_state()["s1"]["status"] == "online"
    h.close()


def outage(pg, warnings):
    """PostgreSQL stopped: events wait in memory (one WARN), stored when it is back; beyond the bound, the gap."""
    target = pg.new_database()
    h = opened(target, max_events=20)
    msg = lambda i: (i, ("msg", "s1/command", LOCK % str(i).encode()))
    play(h, [msg(i) for i in range(5)])
    assert h.flush(harness.WAIT_S)
    for episode, (first, last) in enumerate(((5, 20), (20, 50))):
        pg.stop()
        play(h, [msg(i) for i in range(first, last)])
        warnings.wait("History database postgresql:///h")
        assert not h.status()["reachable"]
        pg.start()
        assert h.flush(3 * harness.WAIT_S)
    stored = [int(s) for s, in rows(target, "SELECT status FROM events ORDER BY at_ms")]
    assert stored == list(range(20)) + list(range(30, 50)), stored   # the oldest 10 of 30 dropped
    assert h.gaps() == [{"from": T + 20, "to": T + 29, "dropped": 10, "instance": "console"}], h.gaps()
    assert h.status()["gap"] is None and h.status()["dropped"] == 10
    play(h, [(60, ("msg", "s1/status", b"online"))])
    h.close()
    pg.stop()   # a console started while its database is away: the same status again is no change
    h = opened(target)
    play(h, [(61, ("msg", "s1/status", b"online")), (62, ("msg", "s1/status", b"offline"))])
    warnings.wait("History database postgresql:///h")
    pg.start()
    assert h.flush(3 * harness.WAIT_S)
    assert rows(target, "SELECT at_ms, status FROM events WHERE kind = 'status'") == [(T + 60, "online"), (T + 62, "offline")]
    h.close()


async def console_e2e(ram):
    """The console with its history: an unlock's whole life in the view and the CSV, a lock named and found;
    restarted without the broker, it shows the sites as the history left them."""
    broker, console = harness.start_broker_and_console(ram, names=((harness.USER, "admin"), ("vera", "viewer")))

    def bridge(c, _u, m):   # the site's bridge: queued, sent, then the lock's answer
        props = Properties(PacketTypes.PUBLISH)
        props.CorrelationData = m.properties.CorrelationData
        for topic, doc in ((m.properties.ResponseTopic, OUT % (b"UNLOCK", b"alice", b"1001", b"queued", b', "place": 1')),
                           ("keyd/s1/outcome", OUT % (b"UNLOCK", b"alice", b"1001", b"sent", b"")),
                           (m.properties.ResponseTopic, OUT % (b"UNLOCK", b"alice", b"1001", b"sent", b"")),
                           ("keyd/s1/command", LOCK % b"UNLOCKED")):
            c.publish(topic, doc, qos=1, properties=props if "outcome/" in topic else None)
    site = mqtt.Client(protocol=mqtt.MQTTv5)
    site.on_message = bridge
    site.connect("127.0.0.1", 1883)
    site.subscribe("keyd/+/TransGlam", qos=1)
    site.loop_start()
    for topic, doc in (("s1/status", b"online"), ("s1/site_info", CFG2)):
        site.publish(f"keyd/{topic}", doc, qos=1, retain=True)

    async def page(http, test, user=harness.USER):   # logs in; reads the page's WebSocket until test passes
        r = await (await http.post(URL + "/api/login", json={"user": user, "password": harness.PASSWORD})).json()
        ws = await http.ws_connect(URL + "/ws")
        while not test(json.loads((await ws.receive(timeout=harness.WAIT_S)).data)):
            pass
        return r["csrf"], ws
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as http:
        csrf, ws = await page(http, lambda m: any("1001" in s.get("locks", {}) for s in m.get("sites", [])))
        post = lambda path, body: http.post(URL + path, json=body, headers={"X-CSRF-Token": csrf})
        assert (await post("/api/command", {"site": "s1", "command": "UNLOCK", "rfid": "1001"})).status == 200
        while not any(e.get("status") == "UNLOCKED" for e in json.loads((await ws.receive()).data).get("events", [])):
            pass
        [row] = (await (await http.get(URL + "/api/history?kind=command")).json())["rows"]
        assert (row["who"], row["command"], {k: v for k, v in row["life"].items() if not k.endswith(("_time", "queued"))}) \
            == ("console:alice", "UNLOCK", {"place": 1, "outcome": "sent", "reason": None, "lock_status": "UNLOCKED"}), row
        assert (await post("/api/names", {"site": "s1", "rfid": "1001", "name": "Front door"})).status == 200
        assert (await (await http.get(URL + "/api/search?q=FRONT")).json())["locks"] == [
            {"site": "s1", "site_name": None, "rfid": "1001", "name": "Front door"}]
        csv = await (await http.get(URL + "/api/history.csv?rfid=1001&kind=command")).text()
        f = csv.split("\r\n")[1].split(",")
        assert f[3:9] + f[11:13] + f[14:15] == ["command", "1001", "Front door", "console:alice", "UNLOCK", "sent",
                                                history.iso(row["life"]["queued"]), "1", "UNLOCKED"], csv
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as http:   # a viewer reads, names not
        csrf, _ = await page(http, lambda m: m["type"] == "snapshot", "vera")
        assert len((await (await http.get(URL + "/api/history")).json())["rows"]) == 5   # the command and 4 events
        assert (await http.post(URL + "/api/names", json={"site": "s1", "name": "x"},
                                headers={"X-CSRF-Token": csrf})).status == 403
    assert console.stop() == 0 and broker.stop() == 0
    console = harness.Proc([f"{harness.BIN}/keyd-console", "--conf", f"{ram}/keyd-console.conf"], "console")
    console.wait_line(r"Listening on")   # no broker: the sites come from the history
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as http:
        await page(http, lambda m: [(s["id"], s["status"], s["locks"]["1001"]["status"]) for s in m["sites"]] ==
                   [("s1", "online", "UNLOCKED")])
    assert console.stop() == 0


async def shared_sessions(ram, pg):
    """Two consoles on one PostgreSQL: a login at one is good at the other; a logout at one ends the session at
    both (an open page at the other closed); a user removed is out of both."""
    broker, a = harness.start_broker_and_console(ram, f"history.url={pg.new_database()}\n",
                                                 names=((harness.USER, "operator"), ("vera", "viewer")))
    with open(f"{ram}/keyd-console.conf") as f:
        conf = f.read().replace("127.0.0.1:8080", "127.0.0.1:8081")
    with open(f"{ram}/keyd-console-b.conf", "w") as f:
        f.write(conf)
    b = harness.Proc([f"{harness.BIN}/keyd-console", "--conf", f"{ram}/keyd-console-b.conf"], "console-b")
    b.wait_line(r"Connected to the broker .*subscribed")
    A, B = URL, "http://127.0.0.1:8081"
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as alice, \
            aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as vera:
        me = {}
        for http, user in ((alice, harness.USER), (vera, "vera")):
            r = await http.post(A + "/api/login", json={"user": user, "password": harness.PASSWORD})
            me[user] = (r.status, await r.json())
        for http, user in ((alice, harness.USER), (vera, "vera")):   # the same session at either console
            got = [(r.status, await r.json()) for r in [await http.get(u + "/api/session") for u in (A, B)]]
            assert got == [me[user]] * 2, (user, got)
        page = await alice.ws_connect(B + "/ws")
        assert (await alice.post(A + "/api/logout", headers={"X-CSRF-Token": me[harness.USER][1]["csrf"]})).status == 200
        b.wait_line(r"alice's session ends: ended at another console")
        while (m := await page.receive(timeout=harness.WAIT_S)).type == aiohttp.WSMsgType.TEXT:
            pass
        assert m.type == aiohttp.WSMsgType.CLOSE, m
        assert harness.users(ram, "deluser", "vera")[0] == 0
        for console in (a, b):
            console.wait_line(r"vera's session ends: the user was removed or changed")
        for http in (alice, vera):
            got = [(r.status, await r.json()) for r in [await http.get(u + "/api/session") for u in (A, B)]]
            assert got == [(401, {"error": "not logged in"})] * 2, got
    assert a.stop() == 0 and b.stop() == 0 and broker.stop() == 0


if __name__ == "__main__":
    ram = harness.enter_sandbox()
    warnings = Warnings(logging.WARNING)
    logging.getLogger("keyd-console").addHandler(warnings)
    pg = Postgres(f"{ram}/pg")
    for backend, new in (("sqlite", lambda: f"{ram}/history-{os.urandom(4).hex()}.db"), ("postgresql", pg.new_database)):
        for case in (every_kind, two_consoles, upgrade):
            case(new())
            print(f"history_test: {backend}: {case.__name__} passed", flush=True)
    outage(pg, warnings)
    print("history_test: postgresql: outage passed")
    asyncio.run(console_e2e(ram))
    print("history_test: the console's history view, names, CSV and restart passed")
    asyncio.run(shared_sessions(ram, pg))
    print("history_test: two consoles sharing their sessions passed")
    pg.stop()
    print("history_test: all passed")
