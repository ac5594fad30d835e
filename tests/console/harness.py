"""The console tests' harness: the sandbox, real programs whose output lines
a test waits for, the broker, the console and an MQTT client."""
import os
import queue
import re
import signal
import subprocess
import sys
import threading

import paho.mqtt.client as mqtt

BIN = os.environ["KEYD_BIN_DIR"]
WAIT_S = 10          # the bound of every wait for an event
USER, PASSWORD = "alice", "correct horse"


def enter_sandbox():
    """Runs this test again inside keyd-sandbox (own network, /etc/ram):
    the broker and the console may then use their fixed ports."""
    if "KEYD_SANDBOX_RAM" not in os.environ:
        ram = os.path.join(BIN, "..", "e2e-ram", f"console-{os.getpid()}")
        os.execv(f"{BIN}/keyd-sandbox", ["keyd-sandbox", ram, sys.executable, *sys.argv])
    return os.environ["KEYD_SANDBOX_RAM"]


class Proc:
    """A program whose standard output and error lines the test reads."""

    def __init__(self, argv, name, stdin=None):
        self.name = name
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        if stdin:
            self.p.stdin.write(stdin)
            self.p.stdin.close()

    def _read(self):
        for line in self.p.stdout:
            print(f"[{self.name}] {line}", end="", flush=True)
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, pattern, timeout=WAIT_S):
        """The match of the next line that holds pattern (a regex)."""
        try:
            while True:
                line = self.lines.get(timeout=timeout)
                assert line is not None, f"{self.name} ended before a line matching {pattern!r}"
                m = re.search(pattern, line)
                if m:
                    return m
        except queue.Empty:
            raise AssertionError(f"{self.name}: no line matching {pattern!r} within {timeout} s") from None

    def stop(self, sig=signal.SIGTERM):
        self.p.send_signal(sig)
        return self.p.wait(timeout=WAIT_S)


def start_broker(ram):
    with open(f"{ram}/mosquitto.conf", "w") as f:
        f.write("user root\nlistener 1883 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n")
    broker = Proc(["mosquitto", "-c", f"{ram}/mosquitto.conf"], "mosquitto")
    broker.wait_line(r"mosquitto version \S+ running")
    return broker


def start_console(ram):
    conf = f"{ram}/keyd-console.conf"
    with open(conf, "w") as f:
        f.write(f"http.listen=127.0.0.1:8080\nmqtt.host=127.0.0.1\nusers.file={ram}/users\n")
    add = Proc([f"{BIN}/keyd-console", "--conf", conf, "adduser", USER], "adduser",
               stdin=f"{PASSWORD}\n{PASSWORD}\n")
    add.wait_line(f"{USER} saved in")
    console = Proc([f"{BIN}/keyd-console", "--conf", conf], "console")
    console.wait_line(r"Listening on http://127\.0\.0\.1:8080/")
    console.wait_line(r"Connected to the broker .*subscribed")
    return console


class Mqtt:
    """An MQTT 5 client on the broker; every message it gets is queued."""

    def __init__(self, *topics):
        self.messages = queue.Queue()
        connected = threading.Event()
        self.c = mqtt.Client(protocol=mqtt.MQTTv5)
        self.c.on_connect = lambda *_: connected.set()
        self.c.on_message = lambda _c, _u, m: self.messages.put(m)
        self.c.connect("127.0.0.1", 1883)
        self.c.loop_start()
        assert connected.wait(WAIT_S), "no connection to the broker"
        for t in topics:
            subscribed = threading.Event()
            self.c.on_subscribe = lambda *_: subscribed.set()
            self.c.subscribe(t, qos=1)
            assert subscribed.wait(WAIT_S), f"no subscription to {t}"

    def publish(self, topic, payload, retain=False):
        self.c.publish(topic, payload, qos=1, retain=retain).wait_for_publish(WAIT_S)

    def next(self):
        return self.messages.get(timeout=WAIT_S)
