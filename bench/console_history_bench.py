#!/usr/bin/python3
"""The console history's figures on this machine, printed (not a test):
- events stored per second with SQLite and with PostgreSQL (a burst recorded
  at once, timed until the writer has stored the last one), and what
  record_message() costs the event loop per event;
- the page's update delay while a burst of 10,000 events is being stored: a
  thread hands the events to an event loop as the broker link does, the loop
  records each in the history and pushes it to a simulated page; printed are
  p50/p99 of event to page, and of a 10 ms timer's lateness (the loop's
  responsiveness), beside the same run without a history.
PostgreSQL is a cluster made for the run in a temporary folder (Debian's
postgresql, run as an unprivileged user through a user namespace), reached on
a Unix socket. Usage: bench/console_history_bench.py [EVENTS]"""
import asyncio
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "console"))
from keyd_console.history import History   # noqa: E402

PG = "/usr/lib/postgresql/15/bin"
AS_USER = ["unshare", "--user", "--map-user=1000", "--map-group=1000"]
BURST = 10_000


def event(i):
    return (f"keyd/s{i % 100}/command",
            json.dumps({"CMD": "update_lock", "RFID": str(4328719365 + i % 3), "LOCK_STATUS": f"UNLOCKED {i}"}).encode())


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def store_rate(target, n):
    h = History(target, "keyd", days=365)
    h.start()
    h.flush(30)
    now = time.time()
    t0 = time.perf_counter()
    for i in range(n):
        h.record_message(*event(i), now)
    t1 = time.perf_counter()
    assert h.flush(600), "the writer did not finish"
    t2 = time.perf_counter()
    h.close()
    return n / (t2 - t0), (t1 - t0) / n * 1e6


def page_delay(target, paced):
    """Event to page and timer lateness, in ms, while BURST events arrive at
    once; paced: the writer waits for the loop's turns as the console's does."""
    h, loop = None, None

    def pace():   # as keyd-console's: once the loop answers within 5 ms, at most 1 s
        end = time.monotonic() + 1
        while loop and time.monotonic() < end:
            turn, asked = threading.Event(), time.monotonic()
            loop.call_soon_threadsafe(turn.set)
            if turn.wait(1) and time.monotonic() - asked < 0.005:
                return
            time.sleep(0.02)
    if target:
        h = History(target, "keyd", days=365, pace=pace if paced else None)
        h.start()
        h.flush(30)
    delays, lateness = [], []

    async def run():
        nonlocal loop
        loop = asyncio.get_running_loop()
        page, done = asyncio.Queue(), asyncio.Event()

        def on_message(topic, payload, sent):   # what the console does with a broker message
            json.loads(payload)
            if h:
                h.record_message(topic, payload, time.time())
            page.put_nowait((sent, json.dumps({"type": "event", "topic": topic})))

        async def reader():
            for _ in range(BURST):
                sent, _text = await page.get()
                delays.append((time.perf_counter() - sent) * 1000)
            done.set()

        async def ticker():
            while not done.is_set():
                t = time.perf_counter()
                await asyncio.sleep(0.01)
                lateness.append((time.perf_counter() - t - 0.01) * 1000)

        tasks = [asyncio.ensure_future(reader()), asyncio.ensure_future(ticker())]
        await asyncio.sleep(0.05)

        def broker():   # the network thread: the burst as fast as it comes
            for i in range(BURST):
                loop.call_soon_threadsafe(on_message, *event(i), time.perf_counter())
        threading.Thread(target=broker).start()
        await done.wait()
        if h:   # and the timer while the writer is still storing the rest
            while h.status()["waiting"]:
                await asyncio.sleep(0.01)
        await asyncio.gather(*tasks)
        loop = None

    asyncio.run(run())
    if h:
        h.close(600)
    return delays, lateness


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        subprocess.run(AS_USER + [f"{PG}/initdb", "-D", f"{tmp}/pg", "-U", "keyd", "--auth=trust", "-E", "UTF8",
                                  "--locale=C.UTF-8"], check=True, stdout=subprocess.DEVNULL)
        pg = subprocess.Popen(AS_USER + [f"{PG}/postgres", "-D", f"{tmp}/pg", "-k", tmp, "-c", "listen_addresses="],
                              stderr=subprocess.PIPE, text=True)
        for line in pg.stderr:
            if "ready to accept connections" in line:
                break
        threading.Thread(target=lambda: [None for _ in pg.stderr], daemon=True).start()
        url = f"postgresql:///postgres?host={tmp}&user=keyd"
        try:
            print(f"console history bench: {n} events a run, {os.cpu_count()} cores, load average "
                  f"{os.getloadavg()[0]:.1f}")
            for name, target in (("sqlite", f"{tmp}/rate.db"), ("postgresql", url)):
                rate, cost = store_rate(target, n)
                print(f"  {name:10} stored {rate:8.0f} events/s; record_message {cost:5.1f} us an event on the caller")
            for name, target, paced in (("none", None, False), ("sqlite", f"{tmp}/page.db", False),
                                        ("sqlite paced", f"{tmp}/page.db", True), ("postgresql", url, False),
                                        ("postgresql paced", url, True)):
                delays, lateness = page_delay(target, paced)
                print(f"  page, history {name:16}: event to page p50 {pct(delays, 50):7.1f} ms "
                      f"p99 {pct(delays, 99):7.1f} ms; 10 ms timer late p50 {pct(lateness, 50):5.1f} ms "
                      f"p99 {pct(lateness, 99):5.1f} ms ({len(lateness)} ticks)")
        finally:
            pg.send_signal(signal.SIGINT)
            pg.wait()


if __name__ == "__main__":
    main()
