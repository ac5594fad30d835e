"""The console's settings: the key=value file the other programs read too."""
import re
from dataclasses import dataclass
from typing import Optional


class SettingsError(Exception):
    """A setting that cannot be used; the message names it."""


@dataclass
class Settings:
    http_host: str = "127.0.0.1"
    http_port: int = 8080
    http_unix: Optional[str] = None   # a Unix socket's path instead of an address
    mqtt_host: str = "127.0.0.1"
    mqtt_port: int = 1883
    mqtt_prefix: str = "keyd"
    mqtt_username: Optional[str] = None
    mqtt_password: Optional[str] = None
    mqtt_cafile: Optional[str] = None
    users_file: str = "/etc/keyd-console/users"


def read_pairs(path):
    """The key=value lines of path as a dict, as the translator reads them: a
    line starting with '#' is a comment, a '#' elsewhere ends the line, nothing
    is trimmed, and the first line of a key counts."""
    pairs = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            text = line.split("#", 1)[0]
            if "=" in text:
                key, value = text.split("=", 1)
                pairs.setdefault(key, value)
    return pairs


def _port(key, text):
    if not re.fullmatch(r"[0-9]{1,5}", text) or not 1 <= int(text) <= 65535:
        raise SettingsError(f"{key}: not a port number (1-65535): {text}")
    return int(text)


def load(path):
    """Reads path into Settings; raises OSError or SettingsError."""
    pairs = read_pairs(path)
    s = Settings()
    listen = pairs.get("http.listen", f"{s.http_host}:{s.http_port}")
    if listen.startswith("unix:") and len(listen) > 5:
        s.http_unix = listen[5:]
    elif m := re.fullmatch(r"\[([0-9A-Fa-f:.]+)\]:(\w+)|([^:\[\]]+):(\w+)", listen):
        s.http_host = m.group(1) or m.group(3)
        s.http_port = _port("http.listen", m.group(2) or m.group(4))
    else:
        raise SettingsError(f"http.listen: neither ADDRESS:PORT nor unix:PATH: {listen}")
    s.mqtt_host = pairs.get("mqtt.host", s.mqtt_host)
    s.mqtt_cafile = pairs.get("mqtt.cafile") or None
    s.mqtt_port = _port("mqtt.port", pairs.get("mqtt.port", "8883" if s.mqtt_cafile else "1883"))
    s.mqtt_prefix = pairs.get("mqtt.prefix", s.mqtt_prefix)
    if not re.fullmatch(r"[^+#/\x00]+(/[^+#/\x00]+)*", s.mqtt_prefix):
        raise SettingsError(f"mqtt.prefix: not a topic prefix without wildcards: {s.mqtt_prefix}")
    s.mqtt_username = pairs.get("mqtt.username") or None
    if pairs.get("mqtt.password_file"):
        with open(pairs["mqtt.password_file"], encoding="utf-8") as f:
            s.mqtt_password = f.readline().rstrip("\r\n")
    s.users_file = pairs.get("users.file", s.users_file)
    return s
