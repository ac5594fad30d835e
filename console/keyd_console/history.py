"""The console's event history: every site status change, every new
configuration, every lock and key event, every outcome document and every
command sent from the console with its whole life, kept in SQLite (one
console) or PostgreSQL (several consoles sharing one history).

The API the console calls:
  h = History(target, prefix, instance, days=365)    target: a file path or postgresql://...
  h.start()                     connects, creates or upgrades the schema, starts the writer
  h.restore_state()             the known sites as the history left them (blocking)
  h.record_message(topic, payload, received_at, retained=False, cmd_id=None)
  h.record_command(cmd_id, site, user, command, rfid, state, topic, sent_at)
  h.query(filters, page, page_size)   one page of rows, newest first (blocking)
  h.export_csv(filters)         the filtered rows as CSV, an iterator of bytes (blocking)
  h.gaps(filters)               the stretches of events lost while the database was away
  h.set_name(site, rfid, name)  h.names()  h.search(text)      (blocking)
  h.status()                    the writer's state for the page (never blocks)
  h.flush(timeout)              waits until what was recorded before is stored
  h.close(timeout)
record_*() and status() run on any thread (the event loop's) and never wait
for the database: they put a row in a bounded queue in memory. One writer
thread owns that queue's far end and the writing connection; every other
method opens a connection of its own on the thread that calls it (the console
calls them from an executor, never from the event loop).

Filters (a dict, each optional): site, rfid, user, command, outcome, kind,
since and until (milliseconds since the epoch, UTC; since included, until
excluded).

Stored once: each row carries a digest of its topic and payload; a row whose
digest another instance stored within DEDUP_MS is that instance's copy, so two
consoles receiving the same broker message store it once, while one console
receiving the same text twice stores it twice."""
import csv
import hashlib
import io
import json
import logging
import re
import sqlite3
import threading
import time
from collections import deque

log = logging.getLogger("keyd-console")

LATEST = 2
# The schema, one list of statements per version; a database is brought from
# its version to LATEST by running the lists after it, in one transaction.
SCHEMA = {
    1: [
        "CREATE TABLE schema_version (version INTEGER NOT NULL)",
        """CREATE TABLE events (id {ID}, at_ms BIGINT NOT NULL, topic TEXT NOT NULL,
             site TEXT NOT NULL, kind TEXT NOT NULL, rfid TEXT, who TEXT, command TEXT,
             outcome TEXT, status TEXT, detail TEXT, cmd_id TEXT, payload TEXT)""",
        "CREATE INDEX events_at ON events (at_ms)",
        "CREATE INDEX events_site_at ON events (site, at_ms)",
        "CREATE INDEX events_rfid_at ON events (rfid, at_ms)",
        """CREATE TABLE commands (cmd_id TEXT PRIMARY KEY, at_ms BIGINT NOT NULL,
             site TEXT NOT NULL, rfid TEXT, who TEXT NOT NULL, command TEXT NOT NULL, state TEXT,
             queued_ms BIGINT, place INTEGER, outcome TEXT, outcome_ms BIGINT, reason TEXT,
             bcast_ms BIGINT, lock_status TEXT, lock_ms BIGINT)""",
        "CREATE INDEX commands_match ON commands (site, command, at_ms)",
        """CREATE TABLE site_state (site TEXT PRIMARY KEY, status TEXT, status_ms BIGINT,
             config TEXT, config_ms BIGINT)""",
        """CREATE TABLE lock_state (site TEXT NOT NULL, rfid TEXT NOT NULL, status TEXT,
             at_ms BIGINT, PRIMARY KEY (site, rfid))""",
    ],
    2: [   # several consoles on one history; names; the gaps
        "ALTER TABLE events ADD COLUMN digest TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE events ADD COLUMN instances TEXT NOT NULL DEFAULT ''",
        "CREATE INDEX events_digest ON events (digest, at_ms)",
        """CREATE TABLE names (site TEXT NOT NULL, rfid TEXT NOT NULL, name TEXT NOT NULL,
             PRIMARY KEY (site, rfid))""",
        """CREATE TABLE gaps (id {ID}, from_ms BIGINT NOT NULL, to_ms BIGINT NOT NULL,
             dropped BIGINT NOT NULL, instance TEXT NOT NULL)""",
    ],
}
SITE_RE = re.compile(r"[A-Za-z0-9_-]{1,64}")
MAX_PAYLOAD = 256 * 1024
DEDUP_MS = 10_000          # two instances' copies of one message arrive closer than this
LINK_MS = 600_000          # an outcome or a lock's reply belongs to a command younger than this
BATCH = 500                # rows per write transaction
LINGER_S = 0.05            # the writer's wait for a batch to fill
PACE_ROWS = 50             # messages read between two turns of the event loop
RETENTION_BATCH = 1000     # rows per delete transaction
RETRY_S = 1.0              # between tries to reach the database
PAGE_MAX = 500
CSV_FIELDS = ("time", "site", "site_name", "kind", "rfid", "lock_name", "who", "command", "outcome",
              "status", "detail", "queued", "place", "outcome_time", "lock_status", "lock_time", "topic")
FINAL = ("bad-request", "no-link", "unknown-lock", "sent", "dropped", "ignored", "expired", "refused")


class HistoryError(Exception):
    """The database cannot be used (unreachable, or of a newer schema)."""


def text(value, limit):
    """A peer's value as bounded text for a column: None stays None, NUL bytes go."""
    if value is None:
        return None
    s = (value if isinstance(value, str) else json.dumps(value))[:limit].replace("\x00", "\ufffd")
    try:
        s.encode()
    except UnicodeEncodeError:   # a lone surrogate from a JSON escape
        s = s.encode(errors="replace").decode()
    return s


def iso(ms):
    """Milliseconds since the epoch as 2026-12-07T16:49:21.123Z; "" for None."""
    if ms is None:
        return ""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + f".{ms % 1000:03d}Z"


class _Db:
    """One connection to SQLite or PostgreSQL behind the few calls the history
    makes: SQL with "?" parameters, explicit transactions. Used by the thread
    that made it only."""

    def __init__(self, target):
        self.pg = target.startswith(("postgresql://", "postgres://"))
        if self.pg:
            try:
                import psycopg2
            except ImportError:
                raise HistoryError("a PostgreSQL history needs Debian's python3-psycopg2") from None
            self.errors = (psycopg2.OperationalError, psycopg2.InterfaceError)
            try:
                self.conn = psycopg2.connect(target, connect_timeout=5, application_name="keyd-console")
            except psycopg2.Error as e:
                raise HistoryError(str(e).strip().splitlines()[0] if str(e).strip() else "cannot connect")
            self.conn.autocommit = True
        else:
            self.errors = (sqlite3.OperationalError,)
            try:
                self.conn = sqlite3.connect(target, timeout=10, isolation_level=None)
                self.conn.execute("PRAGMA journal_mode=WAL")
                self.conn.execute("PRAGMA synchronous=NORMAL")
            except sqlite3.Error as e:
                raise HistoryError(f"{target}: {e}")
        self.cur = self.conn.cursor()

    def run(self, sql, params=()):
        self.cur.execute(sql.replace("?", "%s") if self.pg else sql, params)
        return self.cur

    def ddl(self, sql):
        self.run(sql.replace("{ID}", "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY" if self.pg
                             else "INTEGER PRIMARY KEY"))

    def begin(self):
        """A write transaction: one writer at a time, whichever console it is."""
        if self.pg:
            self.run("BEGIN")
            self.run("SELECT pg_advisory_xact_lock(7301)")
        else:
            self.run("BEGIN IMMEDIATE")

    def commit(self):
        self.run("COMMIT")

    def rollback(self):
        try:
            self.run("ROLLBACK")
        except Exception:   # the connection is gone: nothing to roll back
            pass

    def close(self):
        try:
            self.conn.close()
        except Exception:
            pass

    def has_table(self, name):
        if self.pg:
            return self.run("SELECT to_regclass(?)", (name,)).fetchone()[0] is not None
        return self.run("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                        (name,)).fetchone() is not None

    def upgrade(self, upto=LATEST):
        """Creates the schema or brings it to version upto, keeping every row."""
        self.begin()
        try:
            version = self.run("SELECT version FROM schema_version").fetchone()[0] \
                if self.has_table("schema_version") else 0
            if version > upto:
                raise HistoryError(f"the history's schema is version {version}, newer than this "
                                   f"console's {upto}")
            for v in range(version + 1, upto + 1):
                for sql in SCHEMA[v]:
                    self.ddl(sql)
                if v == 1:
                    self.run("INSERT INTO schema_version (version) VALUES (1)")
            self.run("UPDATE schema_version SET version = ?", (upto,))
            self.commit()
        except BaseException:
            self.rollback()
            raise
        if version < upto:
            log.info("History schema %s version %d", "created at" if version == 0 else
                     f"upgraded from version {version} to", upto)


def _where(filters):
    """The WHERE clause and its parameters for the history view's filters."""
    clauses, params = [], []
    for key, sql in (("site", "e.site = ?"), ("rfid", "e.rfid = ?"), ("command", "e.command = ?"),
                     ("kind", "e.kind = ?"), ("outcome", "COALESCE(c.outcome, e.outcome) = ?"),
                     ("since", "e.at_ms >= ?"), ("until", "e.at_ms < ?")):
        if filters.get(key) not in (None, ""):
            clauses.append(sql)
            params.append(int(filters[key]) if key in ("since", "until") else str(filters[key]))
    if filters.get("user"):
        clauses.append("e.who IN (?, ?)")
        params += [filters["user"], "console:" + filters["user"]]
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


SELECT = """SELECT e.id, e.at_ms, e.topic, e.site, ns.name, e.kind, e.rfid, nl.name, e.who, e.command,
    e.outcome, e.status, e.detail, e.cmd_id, c.queued_ms, c.place, c.outcome, c.outcome_ms, c.reason,
    c.lock_status, c.lock_ms
  FROM events e
  LEFT JOIN commands c ON e.kind = 'command' AND c.cmd_id = e.cmd_id
  LEFT JOIN names ns ON ns.site = e.site AND ns.rfid = ''
  LEFT JOIN names nl ON nl.site = e.site AND nl.rfid = e.rfid"""


def _row(r):
    row = dict(zip(("id", "time", "topic", "site", "site_name", "kind", "rfid", "lock_name", "who",
                    "command", "outcome", "status", "detail", "cmd_id"), r[:14]))
    if row["kind"] == "command":
        row["life"] = dict(zip(("queued", "place", "outcome", "outcome_time", "reason",
                                "lock_status", "lock_time"), r[14:]))
    return row


def _csv_cells(row):
    life = row.get("life") or {}
    cells = [iso(row["time"]), row["site"], row["site_name"], row["kind"], row["rfid"], row["lock_name"],
             row["who"], row["command"], life.get("outcome", row["outcome"]), row["status"],
             life.get("reason") if row["kind"] == "command" else row["detail"],
             iso(life.get("queued")), life.get("place"), iso(life.get("outcome_time")),
             life.get("lock_status"), iso(life.get("lock_time")), row["topic"]]
    out = []
    for c in cells:
        c = "" if c is None else str(c)
        # A cell a spreadsheet would take for a formula is quoted as text.
        out.append("'" + c if c[:1] in ("=", "+", "-", "@", "\t", "\r") else c)
    return out


class History:
    """The history of one console (see the module's text for its API and its threads)."""

    def __init__(self, target, prefix="keyd", instance="console", days=365,
                 max_events=100_000, max_bytes=64 << 20, pace=None):
        """pace: None, or a callable the writer calls before each run of
        PACE_ROWS messages it reads and each write, which returns once the
        event loop has done what was waiting (Python runs one thread at a
        time: so a burst reaches the pages first, and the history after)."""
        self.target, self.prefix, self.instance, self.days = target, prefix + "/", instance, days
        self.pace = pace or (lambda: None)
        self.max_events, self.max_bytes = max_events, max_bytes
        self._queue, self._bytes = deque(), 0          # rows waiting for the writer
        self._cond = threading.Condition()
        self._gap = None              # [from_ms, to_ms, dropped] not yet written
        self._recorded = self._written = 0
        self._dropped = 0
        self._stopping = False
        self._reachable = False
        self._retention_due = 0.0     # the writer's clock: when to remove old rows next
        self._status, self._config = {}, {}   # site -> the last kept status, configuration digest
        self._loaded = False          # those learnt from the database
        self._local = threading.local()
        self._thread = threading.Thread(target=self._writer, name="history-writer", daemon=True)

    # --- Any thread: recording -------------------------------------------
    def start(self):
        """Creates or upgrades the schema and learns the last kept state; a
        database that cannot be reached now is tried again by the writer."""
        try:
            self._db().upgrade()
            self._learn()
            self._reachable = True
        except Exception:   # unreachable, or not a history: the writer says so, once, and tries again
            self._drop_local()
        self._thread.start()

    def record_message(self, topic, payload, received_at, retained=False, cmd_id=None):
        """One broker message on PREFIX/SITE/KIND as the console received it;
        on PREFIX/SITE/outcome/CONSOLE-ID with the correlation data cmd_id, an
        answer to one of this console's commands. Costs the caller a look at
        the topic and a place in the queue: the writer reads the message and
        keeps what the history keeps. retained: the broker replayed it (kept
        all the same when it differs from the last kept state)."""
        kind = topic[len(self.prefix):].partition("/")[2] if topic.startswith(self.prefix) else ""
        if len(payload) <= MAX_PAYLOAD and (kind in ("status", "site_info", "outcome") or (
                kind == "command" and b'"update_' in payload) or (cmd_id and kind.startswith("outcome/"))):
            self._put((topic, bytes(payload), cmd_id), 256 + len(payload), int(received_at * 1000))

    def _parse(self, topic, payload, cmd_id, at):
        """The writer's reading of one message: the row to store, or None."""
        site, _, kind = topic[len(self.prefix):].partition("/")
        if not SITE_RE.fullmatch(site):
            return None
        body = payload.decode("utf-8", "replace")
        row = {"at": at, "topic": text(topic, 512), "site": site, "payload": text(body, MAX_PAYLOAD),
               "digest": hashlib.sha256(topic.encode() + b"\n" + payload).hexdigest()[:32]}
        if kind == "status":
            if body not in ("online", "offline") or self._status.get(site) == body:
                return None
            self._status[site] = body
            return dict(row, kind="status", status=body)
        try:
            doc = json.loads(payload)
        except (ValueError, RecursionError):
            return None
        if not isinstance(doc, dict):
            return None
        if kind == "site_info":
            digest = hashlib.sha256(json.dumps(doc, sort_keys=True).encode()).hexdigest()[:32]
            if self._config.get(site) == digest:
                return None
            self._config[site] = digest
            cfg = doc.get("CFG") if isinstance(doc.get("CFG"), dict) else {}
            key = cfg.get("Key") if isinstance(cfg.get("Key"), dict) else {}
            locks = key.get("LOCKS") if isinstance(key.get("LOCKS"), list) else []
            rfids = [text(l["RFID"], 64) for l in locks if isinstance(l, dict) and isinstance(l.get("RFID"), str)]
            return dict(row, kind="config", detail=f"configuration with {len(rfids)} locks", rfids=rfids)
        if kind == "command" and doc.get("CMD") in ("update_lock", "update_key"):
            battery = "TAG_KEY_BATTERY" in doc
            status = doc.get("TAG_KEY_BATTERY" if battery else "LOCK_STATUS")
            return dict(row, kind=doc["CMD"], rfid=text(doc.get("RFID"), 64), status=text(status, 64),
                        detail="battery" if battery else None)
        fields = {k: text(doc.get(k), 128) for k in ("command", "app", "rfid", "state", "outcome", "reason")}
        place = doc.get("place")
        fields["place"] = place if type(place) is int and 0 <= place < 1 << 31 else None
        if kind == "outcome":
            return dict(row, kind="outcome", **fields)
        if cmd_id and kind.startswith("outcome/"):   # an answer on this console's response topic: the life only
            return {"at": at, "kind": "answer", "cmd_id": text(cmd_id, 64), **fields}
        return None

    def record_command(self, cmd_id, site, user, command, rfid, state, topic, sent_at):
        """A command this console published on topic for user."""
        at = int(sent_at * 1000)
        self._put({"at": at, "kind": "command", "cmd_id": text(cmd_id, 64), "site": text(site, 64),
                   "app": text("console:" + user, 128), "command": text(command, 64),
                   "rfid": text(rfid, 64), "state": text(state, 128), "topic": text(topic, 512),
                   "digest": "cmd:" + text(cmd_id, 64), "payload": None}, 512, at)

    def _put(self, item, size, at):
        """Queues a message or a row; wakes the writer when a batch begins or is full."""
        with self._cond:
            self._queue.append((item, size, at))
            self._bytes += size
            self._recorded += 1
            self._bound()
            if len(self._queue) in (1, BATCH):
                self._cond.notify_all()

    def status(self):
        """The writer's state: reachable, waiting (rows, bytes), the gap not yet written, totals."""
        with self._cond:
            return {"reachable": self._reachable, "waiting": len(self._queue), "bytes": self._bytes,
                    "gap": list(self._gap) if self._gap else None, "recorded": self._recorded,
                    "written": self._written, "dropped": self._dropped}

    def flush(self, timeout):
        """Waits until every row recorded before the call is stored (or
        dropped) and, with the database reachable, the removal of old rows
        that is due is done; False when timeout seconds passed first."""
        end = time.monotonic() + timeout
        with self._cond:
            target = self._recorded
            while self._written + self._dropped < target or (
                    self._reachable and self._retention_due <= time.monotonic()):
                if end - time.monotonic() <= 0:
                    return False
                self._cond.wait(end - time.monotonic())
        return True

    def close(self, timeout=5):
        """Stores what it can within timeout seconds, then ends the writer."""
        self.flush(timeout) if self._thread.is_alive() else None
        with self._cond:
            self._stopping = True
            self._cond.notify_all()
        if self._thread.is_alive():
            self._thread.join(timeout)
        self._drop_local()
        if self._queue:
            log.warning("History: %d events not stored at the stop (the database did not answer)", len(self._queue))

    def _where(self):
        return re.sub(r"://[^@/]*@", "://***@", self.target)   # no password in a log line

    # --- The writer thread --------------------------------------------------
    def _writer(self):
        db, warned = None, False
        while True:
            with self._cond:
                while not self._stopping and not self._queue and not self._gap and db is not None \
                        and time.monotonic() < self._retention_due:
                    self._cond.wait(self._retention_due - time.monotonic())
                if self._stopping:
                    break
                if db is not None and 0 < len(self._queue) < BATCH:   # a burst comes as one batch
                    self._cond.wait(LINGER_S)
                batch = [self._queue.popleft() for _ in range(min(BATCH, len(self._queue)))]
                self._bytes -= sum(size for _, size, _ in batch)
                gap, self._gap = self._gap, None
            taken, read = len(batch), None
            try:
                if db is None:
                    db = _Db(self.target)
                    db.upgrade()
                    if not self._loaded:   # unreachable at start: the last kept state, before any message
                        self._learn()
                read = self._read_batch(batch)   # a message not kept is done; a row may wait again
                batch = read
                if batch or gap:
                    self._write(db, [row for row, _, _ in batch], gap)
                elif not taken:
                    self._retire(db)
                with self._cond:
                    self._written += taken
                    self._reachable = True
                    self._cond.notify_all()
                if warned:
                    log.info("History database %s answers again; storing the events kept in memory",
                             self._where())
                    warned = False
            except (HistoryError, sqlite3.OperationalError, *(db.errors if db else ())) as e:
                if db:
                    db.close()
                db = None
                with self._cond:
                    self._reachable = False
                    self._written += taken - len(batch) if read is not None else 0
                    for item in reversed(batch):      # back at the front, then bounded again
                        self._queue.appendleft(item)
                        self._bytes += item[1]
                    if gap:
                        self._gap = [gap[0], self._gap[1], gap[2] + self._gap[2]] if self._gap else gap
                    self._bound()
                    if not warned:
                        log.warning("History database %s unreachable (%s); keeping events in memory "
                                    "(at most %d events, %d bytes)", self._where(),
                                    " ".join(str(e).split())[:200], self.max_events, self.max_bytes)
                        warned = True
                    self._cond.wait(RETRY_S)
            except Exception as e:   # a fault in a row or in this code: the batch goes, the writer stays
                log.error("History: %d events not stored: %r", len(batch), e)
                if db:
                    db.rollback()
                with self._cond:
                    self._written += taken - len(batch) if read is not None else 0
                    self._dropped += len(batch)
                    self._cond.notify_all()
        if db:
            db.close()

    def _read_batch(self, batch):
        """The rows of a batch: messages read (pacing the reading), rows as they are."""
        read = []
        for i, (item, size, at) in enumerate(batch):
            if i % PACE_ROWS == 0:
                self.pace()
            row = item if isinstance(item, dict) else self._parse(*item, at)
            if row:
                read.append((row, size, at))
        self.pace()
        return read

    def _learn(self):
        """The last kept status and configuration of each site, to tell a change from a repeat."""
        state = self.restore_state()
        self._status = {s: v["status"] for s, v in state.items()}
        self._config = {s: v["config_digest"] for s, v in state.items()}
        self._loaded = True
        self._drop_local()

    def _bound(self):   # with self._cond held: the oldest rows beyond the bounds go, counted in the gap
        while len(self._queue) > self.max_events or self._bytes > self.max_bytes:
            _, size, at = self._queue.popleft()
            self._bytes -= size
            self._dropped += 1
            self._gap = [self._gap[0] if self._gap else at, at, (self._gap[2] if self._gap else 0) + 1]
            self._cond.notify_all()

    def _write(self, db, rows, gap):
        """One transaction: the gap, then the rows in order; the new events in a few statements."""
        db.begin()
        try:
            if gap:
                db.run("INSERT INTO gaps (from_ms, to_ms, dropped, instance) VALUES (?, ?, ?, ?)",
                       (gap[0], gap[1], gap[2], self.instance))
            copies = self._copies(db, [r for r in rows if r["kind"] != "answer"])
            # The locks that may await their reply: those of recent commands, and of this batch's.
            self._awaiting = set(db.run("SELECT site, rfid FROM commands WHERE at_ms >= ? AND lock_ms IS NULL",
                                        (min(r["at"] for r in rows) - LINK_MS if rows else 0,)).fetchall())
            self._locks = {}
            new = [self._answer(db, row) if row["kind"] == "answer" else self._insert(db, row)
                   for row in rows if id(row) not in copies]
            new = [n for n in new if n]
            locks = list(self._locks.values())   # each lock's newest status of the batch
            for i in range(0, len(locks), 100):
                chunk = locks[i:i + 100]
                db.run("INSERT INTO lock_state (site, rfid, status, at_ms) VALUES " +
                       ", ".join(["(?, ?, ?, ?)"] * len(chunk)) + """ ON CONFLICT (site, rfid) DO UPDATE SET
                         status = excluded.status, at_ms = excluded.at_ms
                         WHERE lock_state.at_ms IS NULL OR lock_state.at_ms <= excluded.at_ms""",
                       [v for lock in chunk for v in lock])
            for i in range(0, len(new), 100):
                chunk = new[i:i + 100]
                db.run("""INSERT INTO events (at_ms, topic, site, kind, rfid, who, command, outcome, status, detail,
                            cmd_id, payload, digest, instances) VALUES """ +
                       ", ".join(["(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"] * len(chunk)),
                       [v for n in chunk for v in n])
            db.commit()
        except BaseException:
            db.rollback()
            raise

    def _copies(self, db, rows):
        """The rows (their id()) another instance has stored already: a row
        of the same digest within DEDUP_MS not yet marked as this instance's
        copy, the oldest first. Those are marked now."""
        if not rows:
            return set()
        mark = "%," + re.sub(r"([\\%_])", r"\\\1", self.instance) + ",%"
        digests = sorted({r["digest"] for r in rows})
        found = {}
        for rid, digest, at in db.run(
                f"""SELECT id, digest, at_ms FROM events WHERE digest IN ({", ".join("?" * len(digests))})
                      AND at_ms BETWEEN ? AND ? AND instances NOT LIKE ? ESCAPE '\\' ORDER BY at_ms, id""",
                digests + [min(r["at"] for r in rows) - DEDUP_MS, max(r["at"] for r in rows) + DEDUP_MS,
                           mark]).fetchall():
            found.setdefault(digest, []).append((at, rid))
        copies, claimed = set(), []
        for r in rows:
            match = next((c for c in found.get(r["digest"], ()) if abs(c[0] - r["at"]) <= DEDUP_MS), None)
            if match:
                found[r["digest"]].remove(match)
                copies.add(id(r))
                claimed.append(match[1])
        if claimed:
            db.run(f"UPDATE events SET instances = instances || ? WHERE id IN ({', '.join('?' * len(claimed))})",
                   [self.instance + ","] + claimed)
        return copies

    def _insert(self, db, row):
        """The side tables of a new row (commands, site and lock state); returns its events values."""
        kind, site, at = row["kind"], row["site"], row["at"]
        cmd_id = row.get("cmd_id")
        if kind == "command":
            self._awaiting.add((site, row["rfid"]))
            db.run("""INSERT INTO commands (cmd_id, at_ms, site, rfid, who, command, state)
                      VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (cmd_id) DO NOTHING""",
                   (cmd_id, at, site, row["rfid"], row["app"], row["command"], row["state"]))
        elif kind == "outcome":
            cmd_id = self._link_outcome(db, row)
        elif kind == "status":
            db.run("""INSERT INTO site_state (site, status, status_ms) VALUES (?, ?, ?)
                      ON CONFLICT (site) DO UPDATE SET status = excluded.status, status_ms = excluded.status_ms
                      WHERE site_state.status_ms IS NULL OR site_state.status_ms <= excluded.status_ms""",
                   (site, row["status"], at))
        elif kind == "config":
            db.run("""INSERT INTO site_state (site, config, config_ms) VALUES (?, ?, ?)
                      ON CONFLICT (site) DO UPDATE SET config = excluded.config, config_ms = excluded.config_ms
                      WHERE site_state.config_ms IS NULL OR site_state.config_ms <= excluded.config_ms""",
                   (site, row["payload"], at))
            for rfid in row["rfids"]:
                db.run("INSERT INTO lock_state (site, rfid) VALUES (?, ?) ON CONFLICT (site, rfid) DO NOTHING",
                       (site, rfid))
        elif kind == "update_lock" and row["rfid"] is not None:
            if at >= self._locks.get((site, row["rfid"]), (0, 0, 0, 0))[3]:
                self._locks[(site, row["rfid"])] = (site, row["rfid"], row["status"], at)
            # The reply to the oldest command that reached the lock: "sent", or, from a
            # bridge that tells no outcome, nothing heard of it within a minute.
            if (site, row["rfid"]) in self._awaiting:
                db.run("""UPDATE commands SET lock_status = ?, lock_ms = ? WHERE cmd_id = (
                            SELECT cmd_id FROM commands WHERE site = ? AND rfid = ? AND lock_ms IS NULL
                              AND command IN ('LOCK', 'UNLOCK') AND at_ms BETWEEN ? AND ? AND (outcome = 'sent'
                              OR outcome IS NULL AND queued_ms IS NULL AND at_ms >= ?)
                            ORDER BY at_ms LIMIT 1)""",
                       (row["status"], at, site, row["rfid"], at - LINK_MS, at, at - 60_000))
        return (at, row["topic"], site, kind, row.get("rfid"), row.get("app"), row.get("command"),
                row.get("outcome"), row.get("status"), row.get("detail") or row.get("reason"), cmd_id,
                row["payload"], row["digest"], f",{self.instance},")

    def _link_outcome(self, db, row):
        """The command an outcome document on PREFIX/SITE/outcome answers: the
        oldest of the same site, application, command, lock and state whose
        document has not come yet. Returns its id, or None (sent by another)."""
        found = db.run("""SELECT cmd_id FROM commands WHERE site = ? AND who = ? AND command = ?
                            AND COALESCE(rfid, '') = ? AND COALESCE(state, '') = ? AND bcast_ms IS NULL
                            AND at_ms BETWEEN ? AND ? ORDER BY at_ms LIMIT 1""",
                       (row["site"], row["app"] or "", row["command"] or "", row["rfid"] or "",
                        row["state"] or "", row["at"] - LINK_MS, row["at"])).fetchone()
        if found is None:
            return None
        db.run("""UPDATE commands SET bcast_ms = ?, outcome = COALESCE(outcome, ?),
                    outcome_ms = COALESCE(outcome_ms, ?), reason = COALESCE(reason, ?) WHERE cmd_id = ?""",
               (row["at"], row["outcome"], row["at"], row["reason"], found[0]))
        return found[0]

    def _answer(self, db, row):
        """This console's own answer to its command: "queued" and its place, or the final outcome."""
        if row["outcome"] == "queued":
            db.run("UPDATE commands SET queued_ms = ?, place = ? WHERE cmd_id = ? AND queued_ms IS NULL",
                   (row["at"], row["place"], row["cmd_id"]))
        elif row["outcome"] in FINAL:
            db.run("""UPDATE commands SET outcome = ?, outcome_ms = ?, reason = ?
                      WHERE cmd_id = ? AND outcome IS NULL""",
                   (row["outcome"], row["at"], row["reason"], row["cmd_id"]))

    def _retire(self, db):
        """Removes one small batch of rows older than history.days; once none
        is left, the next round is due in a day."""
        cutoff = int(time.time() * 1000) - self.days * 86_400_000
        removed = 0
        for table, key, column in (("events", "id", "at_ms"), ("commands", "cmd_id", "at_ms"),
                                   ("gaps", "id", "to_ms")):
            db.begin()
            try:
                removed += db.run(f"""DELETE FROM {table} WHERE {key} IN (SELECT {key} FROM {table}
                                        WHERE {column} < ? LIMIT {RETENTION_BATCH})""", (cutoff,)).rowcount
                db.commit()
            except BaseException:
                db.rollback()
                raise
        if removed == 0:
            with self._cond:
                self._retention_due = time.monotonic() + 86_400
                self._cond.notify_all()

    # --- Reading: blocking, on the caller's thread and connection -------------
    def _db(self):
        db = getattr(self._local, "db", None)
        if db is None:
            db = self._local.db = _Db(self.target)
        return db

    def _drop_local(self):
        db = getattr(self._local, "db", None)
        if db:
            db.close()
        self._local.db = None

    def _read(self, sql, params=()):
        """The rows of one query; a connection lost since the last one is made again once."""
        for attempt in (0, 1):
            db = self._db()
            try:
                return db.run(sql, params).fetchall()
            except db.errors as e:
                self._drop_local()
                if attempt:
                    raise HistoryError(" ".join(str(e).split())[:200])

    def query(self, filters, page=0, page_size=50):
        """One page of the filtered rows, newest first: {"rows": [...], "more": bool}.
        A command's row holds its life: queued, place, outcome, reason, lock_status and their times."""
        page_size = max(1, min(PAGE_MAX, int(page_size)))
        where, params = _where(filters)
        rows = self._read(f"{SELECT}{where} ORDER BY e.at_ms DESC, e.id DESC LIMIT ? OFFSET ?",
                          params + [page_size + 1, max(0, int(page)) * page_size])
        return {"rows": [_row(r) for r in rows[:page_size]], "more": len(rows) > page_size}

    def export_csv(self, filters, chunk=2000):
        """The filtered rows, newest first, as CSV (a header, then one line a
        row, CRLF); an iterator of bytes, one chunk of rows at a time."""
        where, params = _where(filters)
        buf = io.StringIO()
        w = csv.writer(buf, lineterminator="\r\n")
        w.writerow(CSV_FIELDS)
        after = None
        while True:
            more = ((" AND " if where else " WHERE ") + "(e.at_ms < ? OR (e.at_ms = ? AND e.id < ?))"
                    if after else "")
            rows = self._read(f"{SELECT}{where}{more} ORDER BY e.at_ms DESC, e.id DESC LIMIT ?",
                              params + (list(after) if after else []) + [chunk])
            for r in rows:
                w.writerow(_csv_cells(_row(r)))
            yield buf.getvalue().encode()
            buf.seek(0)
            buf.truncate()
            if len(rows) < chunk:
                return
            after = (rows[-1][1], rows[-1][1], rows[-1][0])

    def gaps(self, filters=None):
        """The stretches of events dropped while the database was away that
        overlap the filters' time range, the newest first, with the one not
        yet written: [{"from", "to", "dropped", "instance"}]."""
        f = filters or {}
        rows = self._read("SELECT from_ms, to_ms, dropped, instance FROM gaps WHERE to_ms >= ? AND from_ms < ? "
                          "ORDER BY from_ms DESC", (f.get("since") or 0, f.get("until") or 1 << 62))
        out = [dict(zip(("from", "to", "dropped", "instance"), r)) for r in rows]
        gap = self.status()["gap"]
        return ([{"from": gap[0], "to": gap[1], "dropped": gap[2], "instance": self.instance}]
                if gap else []) + out

    def set_name(self, site, rfid, name):
        """Names a site (rfid "") or a lock; an empty name removes it. Raises
        ValueError for a name with control characters or over 64 characters."""
        if len(name) > 64 or any(ord(ch) < 32 or ord(ch) == 127 for ch in name):
            raise ValueError("a name is at most 64 characters, without control characters")
        db = self._db()
        try:
            db.begin()
            db.run("DELETE FROM names WHERE site = ? AND rfid = ?", (site, rfid or ""))
            if name:
                db.run("INSERT INTO names (site, rfid, name) VALUES (?, ?, ?)", (site, rfid or "", name))
            db.commit()
        except db.errors as e:
            db.rollback()
            self._drop_local()
            raise HistoryError(" ".join(str(e).split())[:200])

    def names(self):
        """{"sites": {site: name}, "locks": {site: {rfid: name}}}"""
        out = {"sites": {}, "locks": {}}
        for site, rfid, name in self._read("SELECT site, rfid, name FROM names ORDER BY site, rfid"):
            if rfid:
                out["locks"].setdefault(site, {})[rfid] = name
            else:
                out["sites"][site] = name
        return out

    def search(self, words, limit=50):
        """Locks across the fleet whose RFID starts with words or whose name or
        site's name holds them (any case): [{"site", "site_name", "rfid", "name"}]."""
        like = re.sub(r"([\\%_])", r"\\\1", words.lower())
        rows = self._read("""SELECT l.site, ns.name, l.rfid, nl.name FROM lock_state l
              LEFT JOIN names nl ON nl.site = l.site AND nl.rfid = l.rfid
              LEFT JOIN names ns ON ns.site = l.site AND ns.rfid = ''
              WHERE lower(l.rfid) LIKE ? ESCAPE '\\' OR lower(nl.name) LIKE ? ESCAPE '\\'
                 OR lower(ns.name) LIKE ? ESCAPE '\\'
              ORDER BY l.site, l.rfid LIMIT ?""", (like + "%", "%" + like + "%", "%" + like + "%", limit))
        return [dict(zip(("site", "site_name", "rfid", "name"), r)) for r in rows]

    def restore_state(self):
        """The sites as the history knows them: {site: {"status", "status_time",
        "config" (the last site_info document), "config_time", "config_digest",
        "locks": {rfid: {"status", "time"}}}}; the locks are those of the last
        configuration."""
        sites = {}
        for site, status, status_ms, config, config_ms in self._read(
                "SELECT site, status, status_ms, config, config_ms FROM site_state"):
            try:
                doc = json.loads(config) if config else None
            except ValueError:
                doc = None
            sites[site] = {"status": status, "status_time": status_ms, "config": doc, "config_time": config_ms,
                           "config_digest": hashlib.sha256(json.dumps(doc, sort_keys=True).encode())
                           .hexdigest()[:32] if isinstance(doc, dict) else None, "locks": {}}
        for site, rfid, status, at in self._read("SELECT site, rfid, status, at_ms FROM lock_state"):
            if site in sites:
                sites[site]["locks"][rfid] = {"status": status, "time": at}
        for s in sites.values():   # only the locks the last configuration names
            doc = s["config"] or {}
            cfg = doc.get("CFG") if isinstance(doc.get("CFG"), dict) else {}
            key = cfg.get("Key") if isinstance(cfg.get("Key"), dict) else {}
            locks = key.get("LOCKS") if isinstance(key.get("LOCKS"), list) else []
            rfids = [l.get("RFID") for l in locks if isinstance(l, dict)]
            s["locks"] = {r: s["locks"].get(r, {"status": None, "time": None}) for r in rfids if isinstance(r, str)}
        return sites
