"""The fleet as the console knows it: each site's last state, rebuilt from
what the bridges publish on the broker, and the list of recent events.
Owned and called by the event loop's thread only. Every change comes back
to the caller as the messages to push to the open pages."""
import json
import logging
import re
import time
from collections import deque

log = logging.getLogger("keyd-console")

SITE_RE = re.compile(r"[A-Za-z0-9_-]{1,64}")
MAX_PAYLOAD = 256 * 1024   # the largest message taken from the broker
MAX_EVENTS = 500


class Site:
    def __init__(self, site_id):
        self.id = site_id
        self.status = None        # "online" / "offline" as the broker last said
        self.seen = None          # time of the last message, seconds since the epoch
        self.config = None        # the "CFG" document of the last "site_info"
        self.state = None         # the state UUID the site's commands must name
        self.locks = {}           # RFID -> {"status": text or None, "time": t or None}
        self.battery = None       # {"level": n, "time": t}

    def to_json(self):
        return {"id": self.id, "status": self.status, "seen": self.seen, "config": self.config,
                "state": self.state, "locks": self.locks, "battery": self.battery}


class Fleet:
    def __init__(self, prefix):
        self.prefix = prefix + "/"
        self.sites = {}
        self.events = deque(maxlen=MAX_EVENTS)

    def snapshot(self):
        return {"type": "snapshot", "now": time.time(),
                "sites": [s.to_json() for s in sorted(self.sites.values(), key=lambda s: s.id)],
                "events": list(self.events)}

    def event(self, site, kind, text, **extra):
        """Records one event; returns the message that announces it."""
        e = {"time": time.time(), "site": site, "kind": kind, "text": text, **extra}
        self.events.appendleft(e)
        return {"type": "event", "event": e}

    def on_message(self, topic, payload, retained=False):
        """One broker message on PREFIX/SITE/KIND; returns the messages for the pages, none when it was dropped. A
        retained message the broker replays at subscription is old news: it
        does not count as the site's last message."""
        site_id, _, kind = topic[len(self.prefix):].partition("/")
        if not SITE_RE.fullmatch(site_id):
            log.warning("Dropping a message on %r: not a site name", topic)
            return []
        if len(payload) > MAX_PAYLOAD:
            log.warning("Dropping a message of %d bytes on %s: longer than %d",
                        len(payload), topic, MAX_PAYLOAD)
            return []
        if kind == "status":
            doc = payload.decode("utf-8", "replace")
            if doc not in ("online", "offline"):
                log.warning("Dropping a status on %s that is neither online nor offline: %.60r",
                            topic, doc)
                return []
        else:
            try:
                doc = json.loads(payload)
            except ValueError as e:     # also bytes that are not UTF-8
                log.warning("Dropping a message on %s that is not JSON: %s", topic, e)
                return []
            if not isinstance(doc, dict):
                log.warning("Dropping a message on %s that is not a JSON object", topic)
                return []
        site = self.sites.get(site_id)
        if site is None:
            site = self.sites[site_id] = Site(site_id)
        now = time.time()
        if not retained:
            site.seen = now
        out = self._apply(site, kind, doc, now)
        return [{"type": "site", "site": site.to_json()}] + out

    def _apply(self, site, kind, doc, now):
        if isinstance(doc, dict) and isinstance(doc.get("state"), str):
            site.state = doc["state"]
        if kind == "status":
            changed, site.status = site.status != doc, doc
            return [self.event(site.id, "status", doc)] if changed else []
        if kind == "site_info":
            cfg = doc.get("CFG") if isinstance(doc.get("CFG"), dict) else {}
            site.config = cfg
            key = cfg.get("Key") if isinstance(cfg.get("Key"), dict) else {}
            locks = key.get("LOCKS") if isinstance(key.get("LOCKS"), list) else []
            rfids = [l["RFID"] for l in locks if isinstance(l, dict) and isinstance(l.get("RFID"), str)]
            site.locks = {r: site.locks.get(r, {"status": None, "time": None}) for r in rfids}
            return [self.event(site.id, "site_info", f"configuration with {len(rfids)} locks")]
        cmd = doc.get("CMD")
        if cmd == "update_lock":
            rfid, status = doc.get("RFID"), doc.get("LOCK_STATUS")
            if isinstance(rfid, str) and rfid in site.locks:
                site.locks[rfid] = {"status": status, "time": now}
            return [self.event(site.id, "update_lock", f"lock {rfid}: {status}",
                               rfid=rfid, status=status)]
        if cmd == "update_key":
            if "TAG_KEY_BATTERY" in doc:
                site.battery = {"level": doc["TAG_KEY_BATTERY"], "time": now}
                return [self.event(site.id, "update_key",
                                   f"key battery {doc['TAG_KEY_BATTERY']}", battery=doc["TAG_KEY_BATTERY"])]
            return [self.event(site.id, "update_key", f"key: {doc.get('LOCK_STATUS')}",
                               status=doc.get("LOCK_STATUS"))]
        return []   # "ping" and anything else: the site is alive, nothing more
