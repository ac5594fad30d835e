"""Who is at the console: the users file (name:bcrypt-hash[:role] lines), the
sessions of those logged in, and the budget of failed logins per address and
per user name. Everything here runs on the event loop's thread, but for
check_password, which the web layer runs in a worker thread (bcrypt is slow
on purpose)."""
import hashlib
import logging
import os
import re
import secrets
import time
from collections import deque

import bcrypt

from .history import HistoryError, _Db

log = logging.getLogger("keyd-console")

# A user name becomes part of the application id "console:NAME" that the
# bridge passes on to the site, which takes [A-Za-z0-9._:@-], 64 at most.
NAME_RE = re.compile(r"[A-Za-z0-9._@-]{1,56}")
ROLES = ("viewer", "operator", "admin")   # each may do what the one before may, and more
DEFAULT_ROLE = "operator"                  # a line without a role: it could send commands before roles


def password_problem(password):
    """Why password cannot be a password (NUL, not encodable as UTF-8), or None."""
    if "\x00" in password:
        return "a password with a NUL character"
    try:
        password.encode("utf-8")
    except UnicodeEncodeError:
        return "a password that is not valid Unicode"
    return None


class Users:
    """The users file, read again whenever it changed on disk (check())."""

    def __init__(self, path):
        self.path = path
        self._stamp = None
        self.users = {}   # name -> (hash, role)
        # Compared against when the name is unknown, so that an unknown name
        # takes as long to refuse as a wrong password.
        self._dummy = bcrypt.hashpw(b"-", bcrypt.gensalt(rounds=12))

    def check(self, force=False):
        """Reads the file again when it changed (force: even when it looks the
        same); True when it read it."""
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
            if stamp == self._stamp and not force:
                return False
            self.users, self._stamp = parse(self.path), stamp
        except (OSError, ValueError) as e:
            if self._stamp is not False:
                log.warning("Cannot read the users file: %s; nobody can log in", e)
            self.users, self._stamp = {}, False
        return True

    def check_password(self, hashed, password):
        """Whether password matches hashed (None: an unknown name, never matches)."""
        if password_problem(password):
            bcrypt.checkpw(b"-", self._dummy)   # as slow as any other wrong password
            return False
        ok = bcrypt.checkpw(password.encode("utf-8"), hashed or self._dummy)
        return ok and hashed is not None


def parse(path):
    users = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            name, sep, rest = line.rstrip("\n").partition(":")
            hashed, _, role = rest.partition(":")
            if sep and NAME_RE.fullmatch(name) and hashed.startswith("$2") and role in ROLES + ("",):
                users[name] = (hashed.encode("ascii"), role or DEFAULT_ROLE)
    return users


def write_users(path, name, password=None, role=None, remove=False):
    """Sets name's password and role in the users file (password None: keeps
    its hash; role None: keeps its role, or the default for a new name), or
    removes name; atomic by rename. The file keeps its mode, owner and group
    (so the service's group may still read it); a new one gets mode 0640.
    Returns False when name is not there to change or remove."""
    lines, st, old = [], None, None
    if os.path.exists(path):
        st = os.stat(path)
        with open(path, encoding="utf-8") as f:
            for line in f.read().splitlines():
                if line.partition(":")[0] == name:
                    old = line.split(":")
                else:
                    lines.append(line)
    if old is None and (remove or password is None):
        return False
    if not remove:
        hashed = bcrypt.hashpw(password.encode("utf-8"), bcrypt.gensalt(rounds=12)).decode("ascii") \
            if password is not None else old[1]
        role = role or (old[2] if old and len(old) > 2 and old[2] in ROLES else DEFAULT_ROLE)
        lines.append(f"{name}:{hashed}:{role}")
    tmp = f"{path}.tmp{os.getpid()}"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, st.st_mode & 0o777 if st else 0o640)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        if st:
            os.fchown(f.fileno(), st.st_uid, st.st_gid)
            os.fchmod(f.fileno(), st.st_mode & 0o777)
        f.write("".join(line + "\n" for line in lines))
    os.replace(tmp, path)
    return True


class Session:
    def __init__(self, user, hashed, role):
        self.user, self.hashed, self.role = user, hashed, role
        self.token = secrets.token_urlsafe(32)
        self.csrf = secrets.token_urlsafe(32)
        self.started = self.used = time.monotonic()
        self.sockets = set()   # this session's open WebSockets, closed when it ends


class Sessions:
    """The sessions by their cookie token; they end at logout, after idle_s
    without a request, lifetime_s after the login, or when their user's line
    in the users file changed or went."""

    def __init__(self, idle_s, lifetime_s):
        self.idle_s, self.lifetime_s = idle_s, lifetime_s
        self._by_token = {}

    def _alive(self, s, now):
        return now - s.used <= self.idle_s and now - s.started <= self.lifetime_s

    def start(self, user, hashed, role):
        now = time.monotonic()
        self._by_token = {t: s for t, s in self._by_token.items() if self._alive(s, now)}
        s = Session(user, hashed, role)
        self._by_token[s.token] = s
        return s

    def find(self, token):
        s = self._by_token.get(token or "")
        if s and not self._alive(s, time.monotonic()):
            self.end(s)
            return None
        if s:
            s.used = time.monotonic()
        return s

    def end(self, session):
        self._by_token.pop(session.token, None)

    def outdated(self, users):
        """Ends and returns the sessions whose user is gone from users or whose
        hash or role changed."""
        gone = [s for s in self._by_token.values() if users.get(s.user) != (s.hashed, s.role)]
        for s in gone:
            self.end(s)
        return gone


RETRY_S = 10   # a sessions' database away: how long until the next try to connect


class SharedSessions(Sessions):
    """The sessions kept in the PostgreSQL history (table console_sessions),
    so that every console instance on it knows them: a login works whichever
    instance answers, the lifetimes are enforced by whichever one does, and a
    logout or a removed user ends the session everywhere. The database holds
    a hash of the cookie token and of the user's password hash, never
    either itself. One connection, on the event
    loop's thread (a request waits for its one statement); a database away
    lets nobody in until it is back."""

    def __init__(self, idle_s, lifetime_s, url):
        super().__init__(idle_s, lifetime_s)
        self.url, self._db, self._away = url, None, False
        self._retry_at = 0   # while away: no new connection before then (each waits up to 5 s)

    def _run(self, sql, params=()):
        """The statement's rows (none for a write); None when the database is away."""
        if self._db is None and self._away and time.monotonic() < self._retry_at:
            return None
        for _ in range(2):   # a connection lost since the last request: one new one
            try:
                if self._db is None:
                    self._db = _Db(self.url)
                    self._db.run("CREATE TABLE IF NOT EXISTS console_sessions (token TEXT PRIMARY KEY, "
                                 "username TEXT NOT NULL, password_digest TEXT NOT NULL, role TEXT NOT NULL, "
                                 "csrf TEXT NOT NULL, started_ms BIGINT NOT NULL, used_ms BIGINT NOT NULL)")
                cur = self._db.run(sql, params)
                if self._away:
                    log.info("The sessions' database is back")
                self._away = False
                return cur.fetchall() if cur.description else []
            except HistoryError as e:
                reason = e
                break
            except Exception as e:   # psycopg2's errors: the connection is gone or the statement failed
                reason = e
                if self._db:
                    self._db.close()
                self._db = None
        if not self._away:
            log.warning("The sessions' database is away (%s); nobody can log in until it is back",
                        str(reason).strip().splitlines()[0] if str(reason).strip() else type(reason).__name__)
        self._away, self._retry_at = True, time.monotonic() + RETRY_S
        return None

    @staticmethod
    def _key(text):
        return hashlib.sha256(text.encode()).hexdigest()

    def _user(self, users, name):
        """name's (digest of its password hash, role) in users, or (None, None)."""
        hashed, role = users.get(name, (None, None))
        return (self._key(hashed.decode("ascii")) if hashed else None), role

    def start(self, user, hashed, role):
        s = Session(user, hashed, role)
        s.digest = self._key(hashed.decode("ascii"))
        now = int(time.time() * 1000)
        # Kept here are the sessions with open pages and those used lately; any other comes from the database again.
        self._by_token = {t: x for t, x in self._by_token.items()
                          if x.sockets or time.monotonic() - x.used <= self.idle_s}
        self._run("DELETE FROM console_sessions WHERE used_ms < ? OR started_ms < ?",
                  (now - self.idle_s * 1000, now - self.lifetime_s * 1000))
        if self._run("INSERT INTO console_sessions VALUES (?, ?, ?, ?, ?, ?, ?)",
                     (self._key(s.token), user, s.digest, role, s.csrf, now, now)) is None:
            return None
        self._by_token[s.token] = s
        return s

    def find(self, token):
        if not token:
            return None
        now = int(time.time() * 1000)
        rows = self._run("UPDATE console_sessions SET used_ms = ? WHERE token = ? AND used_ms >= ? AND "
                         "started_ms >= ? RETURNING username, password_digest, role, csrf",
                         (now, self._key(token), now - self.idle_s * 1000, now - self.lifetime_s * 1000))
        s = self._by_token.get(token)
        if not rows:
            if s:
                super().end(s)
            return None
        user, digest, role, csrf = rows[0]
        if s is None:   # a login made at another instance
            s = Session(user, None, role)
            s.token, s.csrf, s.digest = token, csrf, digest
            self._by_token[token] = s
        s.used = time.monotonic()
        return s

    def end(self, session):
        super().end(session)
        self._run("DELETE FROM console_sessions WHERE token = ?", (self._key(session.token),))

    def ended(self):
        """Ends and returns this instance's sessions with open pages that ended
        elsewhere (a logout at another instance, or their time is up)."""
        mine = [s for s in self._by_token.values() if s.sockets]
        if not mine:
            return []
        now = int(time.time() * 1000)
        rows = self._run("SELECT token FROM console_sessions WHERE token = ANY(?) AND used_ms >= ? AND "
                         "started_ms >= ?", ([self._key(s.token) for s in mine], now - self.idle_s * 1000,
                                             now - self.lifetime_s * 1000))
        if rows is None:
            return []
        alive = {t for t, in rows}
        gone = [s for s in mine if self._key(s.token) not in alive]
        for s in gone:
            super().end(s)
        return gone

    def outdated(self, users):
        gone = [s for s in self._by_token.values() if self._user(users, s.user) != (s.digest, s.role)]
        for s in gone:
            super().end(s)
        rows = self._run("SELECT token, username, password_digest, role FROM console_sessions")
        for token, user, digest, role in rows or ():
            if self._user(users, user) != (digest, role):
                self._run("DELETE FROM console_sessions WHERE token = ?", (token,))
        return gone


class LoginLimiter:
    """Failed logins per remote address and per user name within a window.
    take() counts a try before its password is checked, so tries in parallel
    count too; a right password takes its own try back."""

    def __init__(self, per_address, per_user, window_s):
        self.budget = {"address": per_address, "user": per_user}
        self.window_s = window_s
        self._tries = {}   # (kind, key) -> deque of monotonic times

    def _wait(self, key, now):
        q = self._tries.get(key)
        while q and now - q[0] > self.window_s:
            q.popleft()
        if not q:
            self._tries.pop(key, None)
            return 0
        return int(self.window_s - (now - q[0])) + 1 if len(q) >= self.budget[key[0]] else 0

    def take(self, address, user):
        """(0, the try's token) when both still have budget, which counts the
        try; else (seconds to wait, None)."""
        now = time.monotonic()
        keys = (("address", address), ("user", user))
        wait = max(self._wait(k, now) for k in keys)
        if wait:
            return wait, None
        if len(self._tries) > 100000:   # forget the keys whose tries are all old
            self._tries = {k: q for k, q in self._tries.items() if now - q[-1] <= self.window_s}
        for k in keys:
            self._tries.setdefault(k, deque()).append(now)
        return 0, (keys, now)

    def succeeded(self, token):
        keys, now = token
        for k in keys:
            q = self._tries.get(k)
            if q and now in q:
                q.remove(now)
