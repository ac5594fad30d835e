"""The console tests' harness: the sandbox, real programs whose output lines
a test waits for, the broker and the console."""
import atexit
import ctypes
import os
import queue
import re
import signal
import subprocess
import sys
import threading

BIN = os.environ["KEYD_BIN_DIR"]
WAIT_S = 10          # the bound of every wait for an event
USER, PASSWORD = "alice", "correct horse"
_libc = ctypes.CDLL(None)
_running = []        # stopped at the test's end, whatever ended it
atexit.register(lambda: [p.kill() for p in _running if p.poll() is None])


def _die_with_test():   # in the child: SIGKILL when the test goes (PR_SET_PDEATHSIG), even by a timeout
    _libc.prctl(1, signal.SIGKILL)


def enter_sandbox():
    """Runs this test again inside keyd-sandbox (own loopback and /etc/ram),
    so the broker and the console take their fixed ports; returns its folder."""
    if "KEYD_SANDBOX_RAM" not in os.environ:
        ram = os.path.join(BIN, "..", "e2e-ram", f"console-{os.getpid()}")
        os.execv(f"{BIN}/keyd-sandbox", ["keyd-sandbox", ram, sys.executable, *sys.argv])
    return os.environ["KEYD_SANDBOX_RAM"]


class Proc:
    """A program whose output lines (standard output and error) the test reads."""

    def __init__(self, argv, name, stdin=""):
        self.name, self.lines = name, queue.Queue()
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, preexec_fn=_die_with_test)
        _running.append(self.p)
        threading.Thread(target=self._read, daemon=True).start()
        self.p.stdin.write(stdin)
        self.p.stdin.close()

    def _read(self):
        for line in self.p.stdout:
            print(f"[{self.name}] {line}", end="", flush=True)
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, pattern):
        """The match of the next line holding pattern (a regex)."""
        try:
            while (line := self.lines.get(timeout=WAIT_S)) is not None:
                if m := re.search(pattern, line):
                    return m
        except queue.Empty:
            pass
        raise AssertionError(f"{self.name}: no line matching {pattern!r} within {WAIT_S} s")

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        return self.p.wait(timeout=WAIT_S)


def start_broker_and_console(ram):
    with open(f"{ram}/mosquitto.conf", "w") as f:
        f.write("user root\nlistener 1883 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n")
    with open(f"{ram}/keyd-console.conf", "w") as f:
        f.write(f"http.listen=127.0.0.1:8080\nmqtt.host=127.0.0.1\nusers.file={ram}/users\n")
    broker = Proc(["mosquitto", "-c", f"{ram}/mosquitto.conf"], "mosquitto")
    broker.wait_line(r"mosquitto version \S+ running")
    conf = ["--conf", f"{ram}/keyd-console.conf"]
    Proc([f"{BIN}/keyd-console", *conf, "adduser", USER], "adduser", f"{PASSWORD}\n{PASSWORD}\n") \
        .wait_line(f"{USER} saved in")
    console = Proc([f"{BIN}/keyd-console", *conf], "console")
    console.wait_line(r"Listening on http://127\.0\.0\.1:8080/")
    console.wait_line(r"Connected to the broker .*subscribed")
    return broker, console
