"""The console's link to the fleet's MQTT broker (MQTT 5): subscribes to
every site's status, configuration, publications and command outcomes, and
publishes commands with the name of who sent them, a deadline, where to
answer and, with keys.dir, a signature. With several brokers (mqtt.host=A,B,...)
it moves to the next one whenever a connection is lost or an attempt fails,
keeping what it knows of the sites. paho's network thread runs the link;
every message and connection change is handed to the event loop's thread,
which alone calls publish()."""
import hashlib
import hmac
import logging
import os
import re
import secrets
import socket
import threading
import time
from collections import deque

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.subscribeoptions import SubscribeOptions

log = logging.getLogger("keyd-console")


# Broker messages handled in one turn of the event loop at most: between two
# turns the pages' writers send what waits, so a burst never fills the queue
# of a page that keeps up (a turn's events stay well under its byte bound).
BATCH = 100

class Broker:
    def __init__(self, settings, loop, on_message):
        """on_message(topic, payload, retained, correlation) is called on loop's thread."""
        self.settings, self.loop, self.on_message = settings, loop, on_message
        self.prefix = settings.mqtt_prefix
        self.connected = False
        self.hosts, self.at = settings.mqtt_hosts, 0   # the brokers; the one used now
        self.stopping = False
        host = re.sub(r"[^A-Za-z0-9_-]", "-", socket.gethostname())[:32]
        self.client_id = f"keyd-console-{host}-{os.getpid()}"
        c = mqtt.Client(client_id=self.client_id, protocol=mqtt.MQTTv5)
        if settings.mqtt_username:
            c.username_pw_set(settings.mqtt_username, settings.mqtt_password)
        if settings.mqtt_cafile:
            c.tls_set(ca_certs=settings.mqtt_cafile)
        c.reconnect_delay_set(min_delay=1, max_delay=60)
        c.on_connect, c.on_disconnect, c.on_message = self._connected, self._disconnected, self._message
        c.on_subscribe = self._subscribed
        c.on_connect_fail = self._connect_failed
        self.failing = False   # warned about the current run of failed connections
        self._inbox, self._lock, self._draining = deque(), threading.Lock(), False
        self.client = c

    def start(self):
        self.client.connect_async(*self.hosts[0], keepalive=30)
        self.client.loop_start()

    def stop(self):
        self.stopping = True     # no move to another broker from here on
        self.connected = False   # an orderly end, not a loss to warn about
        self.client.disconnect()
        self.client.loop_stop()

    def signing_key(self, site):
        """The key for site's commands from keys.dir (SITE.key, else fleet.key);
        raises OSError or ValueError when there is none to use."""
        for name in (f"{site}.key", "fleet.key"):
            try:
                with open(os.path.join(self.settings.keys_dir, name), encoding="ascii") as f:
                    text = f.readline().strip()
            except FileNotFoundError:
                continue
            if not re.fullmatch(r"([0-9a-fA-F]{2}){32,64}", text):
                raise ValueError(f"{name}: not 32 to 64 bytes as hex")
            return bytes.fromhex(text)
        raise FileNotFoundError(f"neither {site}.key nor fleet.key in {self.settings.keys_dir}")

    def publish(self, site, payload, user, command_id):
        """Publishes payload on PREFIX/SITE/TransGlam (QoS 1) as "console:USER",
        void after command.expiry, answered on PREFIX/SITE/outcome/CLIENT-ID with
        command_id; signed when keys.dir is set. False when the broker is not
        connected; raises OSError or ValueError when there is no key to sign with."""
        if not self.connected:
            return False
        app, expiry = f"console:{user}", self.settings.command_expiry_s
        props = Properties(PacketTypes.PUBLISH)
        props.MessageExpiryInterval = expiry
        props.ResponseTopic = f"{self.prefix}/{site}/outcome/{self.client_id}"
        props.CorrelationData = command_id.encode()
        props.UserProperty = ("app", app)
        if self.settings.keys_dir:
            key = self.signing_key(site)
            expires, nonce = str(int(time.time()) + expiry), secrets.token_urlsafe(24)
            signed = "\n".join(("keyd-command-v1", site, app, expires, nonce)).encode() + b"\n" + payload.encode()
            props.UserProperty = [("expires", expires), ("nonce", nonce),
                                  ("sig", hmac.new(key, signed, hashlib.sha256).hexdigest())]
        info = self.client.publish(f"{self.prefix}/{site}/TransGlam", payload, qos=1, properties=props)
        return info.rc == mqtt.MQTT_ERR_SUCCESS

    # paho's network thread from here on.
    def _connected(self, client, _userdata, _flags, reason, _props):
        if reason != 0:
            self.loop.call_soon_threadsafe(log.error, "The broker refused the connection: %s", reason)
            return
        client.subscribe([(f"{self.prefix}/+/{kind}", SubscribeOptions(qos=1))
                          for kind in ("status", "site_info", "command", "outcome/#")])

    def _subscribed(self, _client, _userdata, _mid, _reasons, _props):
        self.loop.call_soon_threadsafe(self._set_connected, True)

    def _next_host(self, client):
        """paho's next attempt (after its backoff) goes to the next broker of the list."""
        if len(self.hosts) > 1 and not self.stopping:
            self.at = (self.at + 1) % len(self.hosts)
            client.connect_async(*self.hosts[self.at], keepalive=30)

    def _connect_failed(self, client, _userdata):
        host, port = self.hosts[self.at]
        self._next_host(client)
        self.loop.call_soon_threadsafe(self._failed, host, port)

    def _disconnected(self, client, _userdata, reason, _props=None):
        if reason != 0:
            self._next_host(client)
        self.loop.call_soon_threadsafe(self._set_connected, False, str(reason))

    def _message(self, _client, _userdata, msg):
        # Handed over in batches: a burst of retained messages wakes the loop
        # once per batch, not once per message.
        correlation = getattr(msg.properties, "CorrelationData", None) if msg.properties else None
        self._inbox.append((msg.topic, msg.payload, bool(msg.retain), correlation))
        with self._lock:
            if self._draining:
                return
            self._draining = True
        self.loop.call_soon_threadsafe(self._drain)

    def _drain(self):   # the event loop's thread: up to a batch, then the loop's other work
        with self._lock:
            self._draining = False
        for _ in range(min(len(self._inbox), BATCH)):
            self.on_message(*self._inbox.popleft())
        if self._inbox:
            with self._lock:
                if self._draining:
                    return
                self._draining = True
            self.loop.call_soon(self._drain)

    def busy(self):
        """Whether broker messages wait for the event loop (any thread)."""
        return bool(self._inbox)

    def _failed(self, host, port):
        if not self.failing:
            log.warning("Cannot connect to the broker %s:%d (not there, or TLS failed); retrying", host, port)
        self.failing = True

    def _set_connected(self, up, reason=""):
        self.failing = False
        if up:
            log.info("Connected to the broker %s:%d, subscribed to %s/+/status, site_info and command",
                     *self.hosts[self.at], self.prefix)
        elif self.connected:
            log.warning("Lost the broker (%s); reconnecting", reason)
        self.connected = up
