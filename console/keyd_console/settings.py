"""The console's settings: the key=value file the other programs read too.
load() never stops at a bad line: it keeps the default for it and lists the
problem (with its file and line), for --check to print and the service to
log as a WARN."""
import ipaddress
import os
import re
from dataclasses import dataclass, field
from typing import Optional


class SettingsError(Exception):
    """A setting that cannot be used; the message names it."""


def _port(text):
    if not re.fullmatch(r"[0-9]{1,5}", text) or not 1 <= int(text) <= 65535:
        raise SettingsError("not a port number (1-65535)")
    return int(text)


def _number(low, high):
    def parse(text):
        if not re.fullmatch(r"[0-9]{1,12}", text) or not low <= int(text) <= high:
            raise SettingsError(f"not a whole number from {low} to {high}")
        return int(text)
    return parse


def _yes_no(text):
    if text not in ("yes", "no"):
        raise SettingsError("neither yes nor no")
    return text == "yes"


def _listen(text):
    if text.startswith("unix:") and len(text) > 5:
        return (None, None, text[5:])
    if m := re.fullmatch(r"\[([0-9A-Fa-f:.]+)\]:(\w+)|([^:\[\]]+):(\w+)", text):
        return (m.group(1) or m.group(3), _port(m.group(2) or m.group(4)), None)
    raise SettingsError("neither ADDRESS:PORT nor unix:PATH")


def _prefix(text):
    if not re.fullmatch(r"[^+#/\x00]+(/[^+#/\x00]+)*", text):
        raise SettingsError("not a topic prefix without wildcards")
    return text


def _origin(text):
    if text and not re.fullmatch(r"https?://[A-Za-z0-9.-]+(:[0-9]{1,5})?|https?://\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?",
                                 text):
        raise SettingsError("not an origin such as https://console.example.org")
    return text or None


def _names(text):
    return [n.strip().lower() for n in text.split(",") if n.strip()]


def _networks(text):
    try:
        return [ipaddress.ip_network(n, strict=False) for n in _names(text)]
    except ValueError as e:
        raise SettingsError(f"not a list of addresses or networks ({e})") from None


def _hosts(text):
    """HOST[:PORT],HOST[:PORT],... (an IPv6 address in brackets when a port
    follows) as [(host, port or None)]."""
    hosts = []
    for item in text.split(","):
        m = re.fullmatch(r"\[([0-9A-Fa-f:.]+)\](?::([0-9]+))?|([^\s:\[\],]+)(?::([0-9]+))?|([0-9A-Fa-f:]*:[0-9A-Fa-f:.]*)",
                         item.strip())
        if not m:
            raise SettingsError("not a list of HOST[:PORT]")
        host, port = (m[1], m[2]) if m[1] else (m[3], m[4]) if m[3] else (m[5], None)
        hosts.append((host, _port(port) if port else None))
    return hosts


def _file(text):
    return text or None


def _history_url(text):
    if text and not re.fullmatch(r"postgres(ql)?://\S*", text):
        raise SettingsError("not a postgresql:// URL")
    return text or None


# key -> (attribute, default text, parser)
KEYS = {
    "http.listen": ("listen", "127.0.0.1:8080", _listen),
    "http.origin": ("http_origin", "", _origin),
    "http.allowed_hosts": ("allowed_hosts", "", _names),
    "http.trusted_proxies": ("trusted_proxies", "", _networks),
    "http.secure_cookie": ("secure_cookie", "", lambda t: None if t == "" else _yes_no(t)),
    "http.page_queue_bytes": ("page_queue_bytes", "4194304", _number(65536, 1 << 30)),
    "mqtt.host": ("mqtt_hosts", "127.0.0.1", _hosts),
    "mqtt.port": ("mqtt_port", "", lambda t: None if t == "" else _port(t)),
    "mqtt.prefix": ("mqtt_prefix", "keyd", _prefix),
    "mqtt.username": ("mqtt_username", "", _file),
    "mqtt.password_file": ("mqtt_password_file", "", _file),
    "mqtt.cafile": ("mqtt_cafile", "", _file),
    "users.file": ("users_file", "/etc/keyd-console/users", str),
    "session.idle": ("session_idle_s", "28800", _number(60, 10 ** 7)),
    "session.lifetime": ("session_lifetime_s", "43200", _number(60, 10 ** 7)),
    "login.address_failures": ("address_failures", "5", _number(1, 10 ** 6)),
    "login.user_failures": ("user_failures", "10", _number(1, 10 ** 6)),
    "login.window": ("login_window_s", "300", _number(1, 86400)),
    "command.expiry": ("command_expiry_s", "30", _number(1, 300)),
    "keys.dir": ("keys_dir", "", _file),
    "fleet.max_sites": ("max_sites", "5000", _number(1, 10 ** 6)),
    "fleet.max_locks": ("max_locks", "100", _number(1, 10000)),
    "history.path": ("history_path", "/var/lib/keyd-console/history.db", str),
    "history.url": ("history_url", "", _history_url),
    "history.days": ("history_days", "365", _number(1, 36500)),
}


@dataclass
class Settings:
    origin: dict = field(default_factory=dict)     # key -> "FILE:LINE" or "default"
    problems: list = field(default_factory=list)   # "FILE:LINE: text" or "FILE: text"
    mqtt_password: Optional[str] = None

    @property
    def http_host(self):
        return self.listen[0]

    @property
    def http_port(self):
        return self.listen[1]

    @property
    def http_unix(self):
        return self.listen[2]


def read_lines(path):
    """The key=value lines of path as (key, value, line number), as the
    translator reads them: a line starting with '#' is a comment, a '#'
    elsewhere ends the line, nothing is trimmed."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for number, line in enumerate(text.split("\n"), 1):
        text = line.split("#", 1)[0]
        if "=" in text:
            key, value = text.split("=", 1)
            yield key, value, number
        elif text.strip():
            yield None, text, number


def load(path):
    """Reads path into Settings; raises OSError when it cannot be read. Every
    other problem is in the result's problems, its setting at the default."""
    s = Settings()
    given, where = {}, {}
    at = lambda key: f"{path}:{where[key]}" if key in where else path
    for key, value, number in list(read_lines(path)):
        if key is None:
            s.problems.append(f"{path}:{number}: not a key=value line: {value!r}")
        elif key not in KEYS:
            s.problems.append(f"{path}:{number}: unknown key {key!r}")
        elif key in given:
            s.problems.append(f"{path}:{number}: {key} again; the first, on line {where[key]}, counts")
        else:
            given[key], where[key] = value, number
    for key, (attr, default, parse) in KEYS.items():
        s.origin[key] = "default"
        if key in given:
            try:
                setattr(s, attr, parse(given[key]))
                s.origin[key] = f"{path}:{where[key]}"
                continue
            except SettingsError as e:
                s.problems.append(f"{path}:{where[key]}: {key}: {e}: {given[key]!r}; taking {default!r}")
        setattr(s, attr, parse(default))
    if s.mqtt_port is None:
        s.mqtt_port = 8883 if s.mqtt_cafile else 1883
    s.mqtt_hosts = [(host, port or s.mqtt_port) for host, port in s.mqtt_hosts]
    if s.secure_cookie is None:
        s.secure_cookie = bool(s.http_origin and s.http_origin.startswith("https:"))
    if not s.allowed_hosts:
        s.allowed_hosts = ["localhost", "127.0.0.1", "[::1]", "::1"]
        if s.http_host:
            s.allowed_hosts.append(s.http_host.lower())
        if s.http_origin:
            s.allowed_hosts.append(re.sub(r":[0-9]+$", "", s.http_origin.split("://", 1)[1]).lower())
        s.allowed_hosts = list(dict.fromkeys(s.allowed_hosts))
    if s.mqtt_password_file:
        try:
            with open(s.mqtt_password_file, encoding="utf-8") as f:
                s.mqtt_password = f.readline().rstrip("\r\n")
            if os.stat(s.mqtt_password_file).st_mode & 0o004:
                s.problems.append(f"{at('mqtt.password_file')}: mqtt.password_file "
                                  f"{s.mqtt_password_file} is readable by others")
        except (OSError, ValueError) as e:
            s.problems.append(f"{at('mqtt.password_file')}: mqtt.password_file: cannot read it: {e}")
    for key, attr in (("users.file", "users_file"), ("keys.dir", "keys_dir"), ("mqtt.cafile", "mqtt_cafile")):
        name = getattr(s, attr)
        if name and not os.access(name, os.R_OK):
            s.problems.append(f"{at(key)}: {key}: cannot read {name}")
    return s


def value_text(s, key):
    """The setting's value as it would be written in the file."""
    value = getattr(s, KEYS[key][0])
    if key == "http.listen":
        return f"unix:{s.http_unix}" if s.http_unix else \
            (f"[{s.http_host}]:{s.http_port}" if ":" in s.http_host else f"{s.http_host}:{s.http_port}")
    if key == "mqtt.host":
        return ",".join(f"[{h}]:{p}" if ":" in h else f"{h}:{p}" for h, p in value) if len(value) > 1 or \
            value[0][1] != s.mqtt_port else (f"[{value[0][0]}]" if ":" in value[0][0] else value[0][0])
    if key == "history.url" and value:   # a password in it is not shown
        return re.sub(r"://([^:@/]*):[^@/]*@", r"://\1:***@", value)
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, list):
        return ",".join(str(v) for v in value)
    return "" if value is None else str(value)
