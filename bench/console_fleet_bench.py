"""The web console at fleet scale; prints figures, asserts nothing. In a sandbox: one mosquitto
holding the retained state (status and a site_info of 3 locks) of SITES sites; the console started
after it, so that it takes in the whole retained burst at subscription; a page opened as soon as
the console listens, i.e. during the burst: the time until it has the whole fleet, its frames and
bytes. Then RATE "update_lock" a second for SECONDS s: event-to-page p50/p99 and any missing, and
the console's resident memory.
  KEYD_BIN_DIR=$PWD/build/release/bin /usr/bin/python3 bench/console_fleet_bench.py
SITES, RATE and SECONDS come from the environment (defaults 10000, 200, 20)."""
import asyncio
import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import aiohttp
import paho.mqtt.client as mqtt

BIN = os.environ["KEYD_BIN_DIR"]
USER, PASSWORD = "alice", "correct horse"
SITES, RATE, SECONDS = (int(os.environ.get(k, d)) for k, d in (("SITES", 10000), ("RATE", 200), ("SECONDS", 20)))
URL = "http://127.0.0.1:8080"


class Proc:
    """A program whose output lines (standard output and error) the bench may wait for."""

    def __init__(self, argv, stdin=""):
        self.lines = queue.Queue()
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True)
        threading.Thread(target=lambda: [self.lines.put(line) for line in self.p.stdout], daemon=True).start()
        self.p.stdin.write(stdin)
        self.p.stdin.close()

    def wait_line(self, pattern):
        while not re.search(pattern, self.lines.get(timeout=60)):
            pass

    def rss_mib(self):
        with open(f"/proc/{self.p.pid}/status") as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read())[1]) / 1024

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        self.p.wait(timeout=30)


def rfids(i):
    return [f"{i:06d}{n}" for n in range(3)]


def publish_fleet(sim):
    for i in range(SITES):
        site_info = {"CFG": {"TAG_KEY_BOX": f"box-{i}", "TAG_KEY_SW": "keysw-2.1", "TAG_SRV_NAME": "srv.site",
                             "TAG_SRV_PORT": 8080, "Key": {"LOCKS": [{"RFID": r} for r in rfids(i)]}},
                     "state": f"state-{i}"}
        sim.publish(f"keyd/site-{i}/status", "online", qos=1, retain=True)
        info = sim.publish(f"keyd/site-{i}/site_info", json.dumps(site_info), qos=1, retain=True)
    info.wait_for_publish(120)


async def page(sent, results):
    async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as http:
        async with http.post(URL + "/api/login", json={"user": USER, "password": PASSWORD}) as r:
            assert r.status == 200, r.status
        opened = time.monotonic()
        sites, complete, frames, size, whole = {}, set(), 0, 0, None
        async with http.ws_connect(URL + "/ws", max_msg_size=0) as ws:
            while not (results["done"].is_set() and not sent):
                try:
                    msg = await ws.receive(timeout=1)
                except asyncio.TimeoutError:
                    continue
                if msg.type != aiohttp.WSMsgType.TEXT:
                    results["closed"] = f"the console closed the page ({msg.type})"
                    break
                frames, size, now = frames + 1, size + len(msg.data), time.monotonic()
                m = json.loads(msg.data)
                for s in m.get("sites", []):
                    site = sites.setdefault(s["id"], {})
                    site.update({k: v for k, v in s.items() if k in ("locks", "status")})
                    if len(site.get("locks", {})) == 3 and site.get("status") == "online":
                        complete.add(s["id"])
                for e in m.get("events", []):
                    if e["kind"] == "update_lock" and e["status"] in sent:
                        results["latency"].append(now - sent.pop(e["status"]))
                if whole is None and len(complete) == SITES:
                    whole = now - opened
                    results["whole"] = (whole, frames, size)
                    results["ready"].set()
        results["total"] = (frames, size)


def events(sim, sent, results):
    results["ready"].wait(120)
    start, n = time.monotonic(), RATE * SECONDS
    for k in range(n):
        time.sleep(max(0.0, start + k / RATE - time.monotonic()))
        i, status = k % SITES, f"t{k}"
        sent[status] = time.monotonic()
        sim.publish(f"keyd/site-{i}/command",
                    json.dumps({"CMD": "update_lock", "RFID": rfids(i)[k % 3], "LOCK_STATUS": status}), qos=1)
    results["done"].set()


async def main(ram):
    with open(f"{ram}/mosquitto.conf", "w") as f:   # the console takes every site's retained state at once
        f.write("user root\nlistener 1883 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n")
    with open(f"{ram}/keyd-console.conf", "w") as f:
        f.write(f"mqtt.host=127.0.0.1\nusers.file={ram}/users\nfleet.max_sites={SITES + 100}\n")
    broker = Proc(["mosquitto", "-c", f"{ram}/mosquitto.conf"])
    broker.wait_line(r"mosquitto version \S+ running")
    conf = ["--conf", f"{ram}/keyd-console.conf"]
    Proc([f"{BIN}/keyd-console", *conf, "adduser", USER], f"{PASSWORD}\n{PASSWORD}\n").wait_line("saved in")
    sim = mqtt.Client(protocol=mqtt.MQTTv5)
    sim.connect("127.0.0.1", 1883)
    sim.loop_start()
    t = time.monotonic()
    publish_fleet(sim)
    print(f"bench: the broker holds {SITES} sites' retained state ({time.monotonic() - t:.1f} s to publish)")
    console = Proc([f"{BIN}/keyd-console", *conf])
    console.wait_line(r"Listening on")
    sent, results = {}, {"latency": [], "ready": threading.Event(), "done": threading.Event()}
    threading.Thread(target=events, args=(sim, sent, results), daemon=True).start()
    await asyncio.wait_for(page(sent, results), 120 + SECONDS * 2)
    whole, frames, size = results.get("whole", (float("nan"), 0, 0))
    print(f"bench: a page opened during the retained burst had the whole fleet after {whole:.2f} s "
          f"({frames} frames, {size / 2 ** 20:.1f} MiB); {results.get('closed', 'never cut off')}")
    lat = sorted(results["latency"])
    if lat:
        print(f"bench: {RATE} update_lock/s for {SECONDS} s: event to page p50 {lat[len(lat) // 2] * 1000:.1f} ms, "
              f"p99 {lat[int(len(lat) * 0.99)] * 1000:.1f} ms, max {lat[-1] * 1000:.1f} ms; "
              f"{len(sent)} of {RATE * SECONDS} missing")
    total = results.get("total", (0, 0))
    print(f"bench: the page got {total[0]} frames, {total[1] / 2 ** 20:.1f} MiB in all, "
          f"{(total[1] - size) / (RATE * SECONDS):.0f} bytes per event after the fleet; "
          f"the console's resident memory {console.rss_mib():.1f} MiB")
    sim.loop_stop()
    console.stop()
    broker.stop()


if __name__ == "__main__":
    if "KEYD_SANDBOX_RAM" not in os.environ:   # again inside keyd-sandbox: its own loopback for the fixed ports
        ram = os.path.join(BIN, "..", "e2e-ram", f"console-bench-{os.getpid()}")
        os.execv(f"{BIN}/keyd-sandbox", ["keyd-sandbox", ram, sys.executable, *sys.argv])
    asyncio.run(main(os.environ["KEYD_SANDBOX_RAM"]))
