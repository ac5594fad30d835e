"""The fleet as the console knows it: each site's last state, rebuilt from
what the bridges publish on the broker, and the list of recent events.
Owned and called by the event loop's thread only. Every change comes back
to the caller as the messages to push to the open pages: only what changed
(a site's members, one lock, one event), never the whole fleet.

Everything taken from the broker is bounded before it is kept: the message
size, the JSON nesting, the number of sites and of locks per site, and the
length of every text shown."""
import json
import logging
import math
import re
import time
from collections import deque

log = logging.getLogger("keyd-console")

SITE_RE = re.compile(r"[A-Za-z0-9_-]{1,64}")
MAX_PAYLOAD = 256 * 1024   # the largest message taken from the broker
MAX_EVENTS = 500
MAX_DEPTH = 32             # JSON nesting levels
MAX_TEXT = 64              # characters of a status, an RFID, a value shown
MAX_CONFIG = 32            # plain members kept of a site's configuration
_STRINGS = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"')
_EMPTY = re.compile(rb"\[\]|\{\}")
_NOT_BRACKETS = bytes(b for b in range(256) if b not in b"[]{}")


def nesting_problem(payload):
    """Why payload's brackets (outside strings) cannot be taken: deeper than
    MAX_DEPTH or unbalanced; None when they can. Each pass of the C regex
    engine removes one level, so no Python recursion ever sees the depth."""
    if payload.count(b"[") + payload.count(b"{") <= MAX_DEPTH:
        return None   # cannot be deeper, in or outside strings
    s = _STRINGS.sub(b"", payload).translate(None, _NOT_BRACKETS)
    for _ in range(MAX_DEPTH):
        if not s:
            return None
        s, before = _EMPTY.sub(b"", s), s
        if s == before:
            return "its brackets do not pair"
    return f"nested deeper than {MAX_DEPTH} levels" if s else None


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"a number out of range: {text[:20]}")
    return value


def _no_constant(name):
    raise ValueError(f"{name} is not JSON")


def load_json(payload):
    """payload as JSON without NaN, Infinity or a number out of range; raises ValueError."""
    return json.loads(payload, parse_constant=_no_constant, parse_float=_finite)


def short(value, n=MAX_TEXT):
    """A value from a site as kept and shown: a number, a boolean or null as it
    is, anything else as a text of at most n characters."""
    if value is None or isinstance(value, (bool, int, float)) and abs(value) < 1e300:
        return value
    text = value if isinstance(value, str) else json.dumps(value)
    return text if len(text) <= n else text[:n - 1] + "…"


class Site:
    def __init__(self, site_id):
        self.id = site_id
        self.status = None        # "online" / "offline" as the broker last said
        self.seen = None          # time of the last message, seconds since the epoch
        self.config = None        # the plain members of the "CFG" document of the last "site_info"
        self.state = None         # the state UUID the site's commands must name
        self.locks = {}           # RFID -> {"status": text or None, "time": t or None}
        self.battery = None       # {"level": n, "time": t}
        self.refusing = set()     # the problems warned about since its last good message
        self.too_many_locks = False

    def to_json(self):
        return {"id": self.id, "status": self.status, "seen": self.seen, "config": self.config,
                "state": self.state, "locks": self.locks, "battery": self.battery}


class Fleet:
    def __init__(self, settings):
        self.prefix = settings.mqtt_prefix + "/"
        self.max_sites, self.max_locks = settings.max_sites, settings.max_locks
        self.sites = {}
        self.events = deque(maxlen=MAX_EVENTS)
        self._refusing = {}       # site name not in sites -> problems warned about

    def snapshot(self):
        return {"type": "snapshot", "now": time.time(),
                "sites": [s.to_json() for s in sorted(self.sites.values(), key=lambda s: s.id)],
                "events": list(self.events)}

    def event(self, site, kind, text, **extra):
        """Records one event; returns the message that announces it."""
        e = {"time": time.time(), "site": site, "kind": kind, "text": text, **extra}
        self.events.appendleft(e)
        return {"type": "event", "event": e}

    def _warn(self, site_id, problem, text, *args):
        """Logs a refused message once per site, problem and episode (until the
        site's next good message)."""
        site = self.sites.get(site_id)
        warned = site.refusing if site else self._refusing.setdefault(site_id, set())
        if len(self._refusing) > 10000:
            self._refusing.clear()
        if problem not in warned:
            warned.add(problem)
            log.warning(text, *args)

    def parse(self, topic, payload):
        """A broker message on PREFIX/SITE/KIND as (site id, kind, document),
        or None when it is refused (logged)."""
        site_id, _, kind = topic[len(self.prefix):].partition("/")
        if not SITE_RE.fullmatch(site_id):
            self._warn(site_id[:64], "name", "Dropping a message on %r: not a site name", topic[:200])
            return None
        if len(payload) > MAX_PAYLOAD:
            self._warn(site_id, "size", "Dropping a message of %d bytes on %s: longer than %d",
                       len(payload), topic, MAX_PAYLOAD)
            return None
        if site_id not in self.sites and len(self.sites) >= self.max_sites:
            self._warn("", "full", "Dropping the messages of new sites such as %s: the console keeps %d sites "
                       "(fleet.max_sites)", site_id, self.max_sites)
            return None
        if kind == "status":
            doc = payload.decode("utf-8", "replace")
            if doc not in ("online", "offline"):
                self._warn(site_id, "status", "Dropping a status on %s that is neither online nor offline: %.60r",
                           topic, doc)
                return None
            return site_id, kind, doc
        if problem := nesting_problem(payload):
            self._warn(site_id, "depth", "Dropping a message on %s that is not JSON: %s", topic, problem)
            return None
        try:
            doc = load_json(payload)
        except (ValueError, RecursionError) as e:     # also bytes that are not UTF-8
            self._warn(site_id, "json", "Dropping a message on %s that is not JSON: %s", topic, e)
            return None
        if not isinstance(doc, dict):
            self._warn(site_id, "object", "Dropping a message on %s that is not a JSON object", topic)
            return None
        return site_id, kind, doc

    def on_message(self, site_id, kind, doc, retained=False):
        """One parsed broker message; returns the messages for the pages. A
        retained message the broker replays at subscription is old news: it
        does not count as the site's last message."""
        site = self.sites.get(site_id)
        if site is None:
            site = self.sites[site_id] = Site(site_id)
            self._refusing.pop(site_id, None)
        site.refusing.clear()
        now = time.time()
        changed = {"id": site.id}
        if not retained:
            site.seen = changed["seen"] = now
        out = self._apply(site, kind, doc, now, changed)
        return [{"type": "site", "site": changed}] + out if len(changed) > 1 else out

    def _apply(self, site, kind, doc, now, changed):
        if kind == "outcome":   # its "state" is the command's, not the site's
            return self.outcome_event(site.id, doc)
        if isinstance(doc, dict) and isinstance(doc.get("state"), str) and len(doc["state"]) <= 128:
            site.state = changed["state"] = doc["state"]
        if kind == "status":
            was, site.status = site.status, doc
            if was == doc:
                return []
            changed["status"] = doc
            return [self.event(site.id, "status", doc)]
        if kind == "site_info":
            cfg = doc.get("CFG") if isinstance(doc.get("CFG"), dict) else {}
            site.config = {k[:MAX_TEXT]: short(v, 128) for k, v in list(cfg.items())[:MAX_CONFIG]
                           if not isinstance(v, (dict, list))}
            key = cfg.get("Key") if isinstance(cfg.get("Key"), dict) else {}
            locks = key.get("LOCKS") if isinstance(key.get("LOCKS"), list) else []
            rfids = [l["RFID"] for l in locks if isinstance(l, dict) and isinstance(l.get("RFID"), str)
                     and 0 < len(l["RFID"]) <= MAX_TEXT]
            if len(rfids) > self.max_locks and not site.too_many_locks:   # said once until it has fewer
                log.warning("Site %s has %d locks: keeping the first %d (fleet.max_locks)",
                            site.id, len(rfids), self.max_locks)
            site.too_many_locks = len(rfids) > self.max_locks
            rfids = rfids[:self.max_locks]
            site.locks = {r: site.locks.get(r, {"status": None, "time": None}) for r in rfids}
            changed.update(site.to_json())
            return [self.event(site.id, "site_info", f"configuration with {len(rfids)} locks")]
        cmd = doc.get("CMD")
        if cmd == "update_lock":
            rfid, status = short(doc.get("RFID")), short(doc.get("LOCK_STATUS"))
            out = []
            if isinstance(rfid, str) and rfid in site.locks:
                site.locks[rfid] = {"status": status, "time": now}
                out.append({"type": "lock", "site": site.id, "rfid": rfid, "lock": site.locks[rfid]})
            return out + [self.event(site.id, "update_lock", f"lock {rfid}: {status}", rfid=rfid, status=status)]
        if cmd == "update_key":
            if "TAG_KEY_BATTERY" in doc:
                level = short(doc["TAG_KEY_BATTERY"])
                site.battery = changed["battery"] = {"level": level, "time": now}
                return [self.event(site.id, "update_key", f"key battery {level}", battery=level)]
            status = short(doc.get("LOCK_STATUS"))
            return [self.event(site.id, "update_key", f"key: {status}", status=status)]
        return []   # "ping" and anything else: the site is alive, nothing more

    def outcome_event(self, site_id, doc):
        """An outcome document on PREFIX/SITE/outcome: what became of a command,
        whoever sent it."""
        what = " ".join(str(short(doc.get(k))) for k in ("command", "rfid") if doc.get(k) is not None)
        text = f"{what} from {short(doc.get('app'))}: {short(doc.get('outcome'))}"
        if doc.get("reason") is not None:
            text += f" ({short(doc.get('reason'))})"
        return [self.event(site_id, "outcome", text, outcome=short(doc.get("outcome")))]
