"""Who is at the console: the users file (name:bcrypt-hash lines), the
sessions of those logged in, and the limit on failed logins per address.
Everything here runs on the event loop's thread, but for check_password,
which the web layer runs in a worker thread (bcrypt is slow on purpose)."""
import logging
import os
import re
import secrets
import time
from collections import deque

import bcrypt

log = logging.getLogger("keyd-console")

# A user name becomes part of the application id "console:NAME" that the
# bridge passes on to the site, which takes [A-Za-z0-9._:@-], 64 at most.
NAME_RE = re.compile(r"[A-Za-z0-9._@-]{1,56}")
SESSION_IDLE_S = 8 * 3600
FAILED_LOGINS = 5          # failures from one address ...
FAILED_WINDOW_S = 300      # ... within this time lock that address out for its rest


class Users:
    """The users file, read again whenever it changed on disk."""

    def __init__(self, path):
        self.path = path
        self._stamp = None
        self._hashes = {}
        # Compared against when the name is unknown, so that an unknown name
        # takes as long to refuse as a wrong password.
        self._dummy = bcrypt.hashpw(b"-", bcrypt.gensalt(rounds=12))

    def _load(self):
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
            if stamp != self._stamp:
                self._hashes = parse(self.path)
                self._stamp = stamp
        except OSError as e:
            log.warning("Cannot read the users file: %s; nobody can log in", e)
            self._hashes, self._stamp = {}, None

    def hash_of(self, name):
        self._load()
        return self._hashes.get(name)

    def check_password(self, hashed, password):
        """Whether password matches hashed (None: an unknown name, never matches)."""
        ok = bcrypt.checkpw(password.encode("utf-8"), hashed or self._dummy)
        return ok and hashed is not None


def parse(path):
    hashes = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            name, sep, hashed = line.rstrip("\n").partition(":")
            if sep and NAME_RE.fullmatch(name) and hashed.startswith("$2"):
                hashes[name] = hashed.encode("ascii")
    return hashes


def add_user(path, name, password):
    """Writes name's new hash into the users file, replacing an older line of
    that name; atomic by rename. The file keeps its mode, owner and group (so
    the service's group may still read it); a new one gets mode 0640."""
    hashed = bcrypt.hashpw(password.encode("utf-8"), bcrypt.gensalt(rounds=12)).decode("ascii")
    lines, st = [], None
    if os.path.exists(path):
        st = os.stat(path)
        with open(path, encoding="utf-8") as f:
            lines = [l for l in f.read().splitlines() if l.partition(":")[0] != name]
    lines.append(f"{name}:{hashed}")
    tmp = f"{path}.tmp{os.getpid()}"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, st.st_mode & 0o777 if st else 0o640)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        if st:
            os.fchown(f.fileno(), st.st_uid, st.st_gid)
            os.fchmod(f.fileno(), st.st_mode & 0o777)
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, path)


class Session:
    def __init__(self, user):
        self.user = user
        self.token = secrets.token_urlsafe(32)
        self.csrf = secrets.token_urlsafe(32)
        self.used = time.monotonic()
        self.sockets = set()   # this session's open WebSockets, closed at logout


class Sessions:
    """The sessions by their cookie token; they end at logout or after
    SESSION_IDLE_S without a request."""

    def __init__(self):
        self._by_token = {}

    def start(self, user):
        now = time.monotonic()
        self._by_token = {t: s for t, s in self._by_token.items() if now - s.used <= SESSION_IDLE_S}
        s = Session(user)
        self._by_token[s.token] = s
        return s

    def find(self, token):
        s = self._by_token.get(token or "")
        if s and time.monotonic() - s.used > SESSION_IDLE_S:
            self.end(s)
            return None
        if s:
            s.used = time.monotonic()
        return s

    def end(self, session):
        self._by_token.pop(session.token, None)


class LoginLimiter:
    """Failed logins per remote address."""

    def __init__(self):
        self._failures = {}

    def wait_s(self, address):
        """Seconds until address may try again; 0 when it may now."""
        now = time.monotonic()
        q = self._failures.get(address)
        while q and now - q[0] > FAILED_WINDOW_S:
            q.popleft()
        if not q:
            self._failures.pop(address, None)
            return 0
        return int(FAILED_WINDOW_S - (now - q[0])) + 1 if len(q) >= FAILED_LOGINS else 0

    def failed(self, address):
        now = time.monotonic()
        if len(self._failures) > 10000:   # forget the addresses whose failures are all old
            self._failures = {a: q for a, q in self._failures.items() if now - q[-1] <= FAILED_WINDOW_S}
        self._failures.setdefault(address, deque()).append(now)

    def succeeded(self, address):
        self._failures.pop(address, None)
