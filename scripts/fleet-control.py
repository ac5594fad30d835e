#!/usr/bin/python3
"""The fleet demo's control room: one MQTT client of the broker that prints
every site's status and lock events live, unlocks a door of one site, then
keeps one command under way at every site for a while and prints the
figures: sites run, messages/s through the broker (from its $SYS counters),
and the latency of a command from here to the key cabinet and back as
"update_lock". Finally it stops the sites (the process ids of --stop) and
shows them going offline."""
import argparse
import json
import os
import random
import signal
import sys
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

ap = argparse.ArgumentParser()
ap.add_argument("--sites", type=int, default=20)
ap.add_argument("--seconds", type=float, default=30)
ap.add_argument("--prefix", default="keyd")
ap.add_argument("--stop", default="", help="process ids to stop at the end")
ap.add_argument("--broker-pid", type=int, help="the broker's process, for its memory and CPU")
ap.add_argument("--broker-rss-kb", type=int, default=0, help="its resident memory before the sites")
args = ap.parse_args()

cv = threading.Condition()
status, config, pending, latencies, counters = {}, {}, {}, [], {}
measuring = False
started = time.monotonic()
tally = {"sent": 0, "received": 0}  # this client's publications and messages


def say(text):
    print(f"[control] {time.monotonic() - started:7.2f} s  {text}", flush=True)


def command(client, site, verb):
    """One lock command to a site; the caller holds cv."""
    rfid, state = config[site]
    props = Properties(PacketTypes.PUBLISH)
    props.UserProperty = ("app", "control-room")
    body = json.dumps({"command": verb, "RFID": rfid, "state": state})
    pending[site] = (time.monotonic(), verb)
    tally["sent"] += 1
    client.publish(f"{args.prefix}/{site}/TransGlam", body, qos=1, properties=props)


def on_message(client, _, msg):
    now = time.monotonic()
    with cv:
        if msg.topic.startswith("$SYS/"):
            counters.setdefault(msg.topic, []).append((now, int(msg.payload)))
            return
        tally["received"] += 1
        _, site, leaf = msg.topic.split("/", 2)
        text = msg.payload.decode("utf-8", "replace")
        if leaf == "status" and status.get(site) != text:
            status[site] = text
            say(f"{site} {text}")
        elif leaf == "site_info":
            doc = json.loads(text)
            config[site] = (doc["CFG"]["Key"]["LOCKS"][0]["RFID"], doc["state"])
        elif leaf == "command":
            doc = json.loads(text)
            if doc.get("CMD") != "update_lock":
                return
            say(f"{site} lock {doc.get('RFID')} {doc.get('LOCK_STATUS')}")
            if site in pending:
                sent, verb = pending.pop(site)
                if measuring:
                    latencies.append(now - sent)
                    think(client, site, "LOCK" if verb == "UNLOCK" else "UNLOCK")
        cv.notify_all()


def broker_usage():
    """The broker's resident memory (KiB) and CPU time (s) so far, or zeros."""
    try:
        with open(f"/proc/{args.broker_pid}/status") as f:
            rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        with open(f"/proc/{args.broker_pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return rss, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError, StopIteration):
        return 0, 0.0


def think(client, site, verb):
    """The next command of a site after a pause of 0 to 1 s, so commands
    reach each translator at any point of its once-a-second bus poll."""
    def go():
        with cv:
            if measuring:
                command(client, site, verb)
    threading.Timer(random.random(), go).start()


def wait_for(what, seconds):
    with cv:
        return cv.wait_for(what, timeout=seconds)


client = mqtt.Client(client_id="control-room", protocol=mqtt.MQTTv5)
client.on_message = on_message
for attempt in range(100):  # the broker may still be starting
    try:
        client.connect("127.0.0.1", 1883)
        break
    except OSError:
        time.sleep(0.1)
client.loop_start()
for topic in ("+/status", "+/site_info", "+/command"):
    client.subscribe(f"{args.prefix}/{topic}", qos=1)
client.subscribe("$SYS/broker/publish/messages/+", qos=0)

sites = [f"site-{n}" for n in range(1, args.sites + 1)]
ok = wait_for(lambda: all(status.get(s) == "online" and s in config for s in sites), 60)
with cv:
    up = sum(status.get(s) == "online" for s in sites)
    known = sum(s in config for s in sites)
say(f"{up} of {args.sites} sites online, {known} with their configuration")
if ok:
    with cv:
        command(client, sites[0], "UNLOCK")
    ok = wait_for(lambda: sites[0] not in pending, 10)
    say(f"{sites[0]}: UNLOCK sent, its update_lock back" if ok else f"{sites[0]}: no update_lock")
if ok:
    with cv:
        measuring = True
        mark = {t: v[-1] for t, v in counters.items()}
        before = dict(tally)
        for s in sites:
            think(client, s, "LOCK")
    _, cpu0 = broker_usage()
    time.sleep(args.seconds)
    rss, cpu1 = broker_usage()
    with cv:
        measuring = False
        lat = sorted(latencies)
        # Every site publication reaches this client once and every command
        # one bridge once: the broker takes in what this client sent and
        # received, and hands out as much.
        through = (tally["sent"] - before["sent"] + tally["received"] - before["received"]) / args.seconds
        rates = {t.rsplit("/", 1)[1]: (v[-1][1] - mark[t][1]) / (v[-1][0] - mark[t][0])
                 for t, v in counters.items() if t in mark and v[-1][0] > mark[t][0]}
    wait_for(lambda: not pending, 10)
    pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] * 1000 if lat else float("nan")
    print(f"[figures] sites run: {up} of {args.sites}")
    print(f"[figures] commands measured: {len(lat)} in {args.seconds:.0f} s "
          f"({len(lat) / args.seconds:.1f} round trips/s; each site: one under way, "
          f"the next 0 to 1 s after its reply)")
    print(f"[figures] messages through the broker: {through:.1f}/s in and as many out "
          f"(its $SYS counters: {rates.get('received', 0):.1f}/s received, "
          f"{rates.get('sent', 0):.1f}/s sent)")
    print(f"[figures] command to update_lock: p50 {pick(0.5):.0f} ms, p99 {pick(0.99):.0f} ms, "
          f"max {lat[-1] * 1000 if lat else float('nan'):.0f} ms")
    if rss:
        print(f"[figures] broker: {rss / 1024:.1f} MiB resident with {up} sites "
              f"({args.broker_rss_kb / 1024:.1f} MiB before them, "
              f"{(rss - args.broker_rss_kb) / max(up, 1):.0f} KiB a site), "
              f"CPU {100 * (cpu1 - cpu0) / args.seconds:.1f} % of one core", flush=True)
    ok = bool(lat)

for pid in args.stop.split():
    os.kill(int(pid), signal.SIGTERM)
if args.stop:
    down = wait_for(lambda: all(status.get(s) == "offline" for s in sites), 20)
    say("every site offline" if down else "not every site said offline")
client.loop_stop()
sys.exit(0 if ok else 1)
