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


def users(ram, action, name, *args, password=PASSWORD):
    """Runs keyd-console's user action (adduser, passwd, deluser); the output's last line."""
    p = Proc([f"{BIN}/keyd-console", "--conf", f"{ram}/keyd-console.conf", action, name, *args], action,
             f"{password}\n{password}\n")
    lines = list(iter(lambda: p.lines.get(timeout=WAIT_S), None))
    return p.p.wait(timeout=WAIT_S), lines[-1]


def start_broker(ram, port=1883):
    with open(f"{ram}/mosquitto-{port}.conf", "w") as f:
        # No bound on the messages queued for a client: the console takes every site's retained state at once.
        f.write(f"user root\nlistener {port} 127.0.0.1\nallow_anonymous true\nlog_dest stderr\nmax_queued_messages 0\n")
    broker = Proc(["mosquitto", "-c", f"{ram}/mosquitto-{port}.conf"], f"mosquitto-{port}")
    broker.wait_line(r"mosquitto version \S+ running")
    return broker


def start_broker_and_console(ram, settings="", names=((USER, "operator"),), hosts="127.0.0.1"):
    with open(f"{ram}/keyd-console.conf", "w") as f:
        f.write(f"http.listen=127.0.0.1:8080\nmqtt.host={hosts}\nusers.file={ram}/users\n"
                f"history.path={ram}/history.db\n{settings}")
    broker = start_broker(ram)
    for name, role in names:
        assert users(ram, "adduser", name, "--role", role)[1].endswith(f"{name} saved in {ram}/users")
    console = Proc([f"{BIN}/keyd-console", "--conf", f"{ram}/keyd-console.conf"], "console")
    console.wait_line(r"Listening on http://127\.0\.0\.1:8080/")
    console.wait_line(r"Connected to the broker .*subscribed")
    return broker, console


def start_proxy(ram, port=8443):
    """nginx ending TLS (a self-signed certificate for console.test) on port in
    front of the console, passing the client's address in X-Forwarded-For."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=console.test", "-keyout", f"{ram}/tls.key", "-out", f"{ram}/tls.pem"],
                   check=True, capture_output=True)
    with open(f"{ram}/nginx.conf", "w") as f:
        f.write(f"""user root; daemon off; master_process off; pid {ram}/nginx.pid; error_log stderr notice;
events {{}}
http {{ access_log off; client_body_temp_path {ram}; proxy_temp_path {ram};
  fastcgi_temp_path {ram}; uwsgi_temp_path {ram}; scgi_temp_path {ram};
  server {{ listen 127.0.0.1:{port} ssl; ssl_certificate {ram}/tls.pem; ssl_certificate_key {ram}/tls.key;
    location / {{ proxy_pass http://127.0.0.1:8080; proxy_http_version 1.1; proxy_set_header Host $host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_set_header Upgrade $http_upgrade; proxy_set_header Connection $http_connection; }} }} }}
""")
    proxy = Proc(["nginx", "-e", "stderr", "-p", ram, "-c", f"{ram}/nginx.conf"], "nginx")
    proxy.wait_line(r"getrlimit\(RLIMIT_NOFILE\)")   # printed once it listens
    return proxy


def rss_mib(proc):
    with open(f"/proc/{proc.p.pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read())[1]) / 1024
