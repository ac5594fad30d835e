"""The console's link to the fleet's MQTT broker (MQTT 5): subscribes to
every site's status, configuration and publications, and publishes commands
with the name of who sent them. paho's network thread runs the link; every
message and connection change is handed to the event loop's thread, which
alone calls publish()."""
import logging
import os
import socket

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.subscribeoptions import SubscribeOptions

log = logging.getLogger("keyd-console")


class Broker:
    def __init__(self, settings, loop, on_message):
        """on_message(topic, payload, retained) is called on loop's thread."""
        self.settings, self.loop, self.on_message = settings, loop, on_message
        self.prefix = settings.mqtt_prefix
        self.connected = False
        c = mqtt.Client(client_id=f"keyd-console-{socket.gethostname()}-{os.getpid()}",
                        protocol=mqtt.MQTTv5)
        if settings.mqtt_username:
            c.username_pw_set(settings.mqtt_username, settings.mqtt_password)
        if settings.mqtt_cafile:
            c.tls_set(ca_certs=settings.mqtt_cafile)
        c.reconnect_delay_set(min_delay=1, max_delay=60)
        c.on_connect, c.on_disconnect, c.on_message = self._connected, self._disconnected, self._message
        c.on_subscribe = self._subscribed
        c.on_connect_fail = lambda *_: self.loop.call_soon_threadsafe(self._failed)
        self.failing = False   # warned about the current run of failed connections
        self.client = c

    def start(self):
        self.client.connect_async(self.settings.mqtt_host, self.settings.mqtt_port, keepalive=30)
        self.client.loop_start()

    def stop(self):
        self.connected = False   # an orderly end, not a loss to warn about
        self.client.disconnect()
        self.client.loop_stop()

    def publish(self, site, payload, user):
        """Publishes payload on PREFIX/SITE/TransGlam (QoS 1) as "console:USER";
        False when the broker is not connected."""
        if not self.connected:
            return False
        props = Properties(PacketTypes.PUBLISH)
        props.UserProperty = ("app", f"console:{user}")
        info = self.client.publish(f"{self.prefix}/{site}/TransGlam", payload, qos=1, properties=props)
        return info.rc == mqtt.MQTT_ERR_SUCCESS

    # paho's network thread from here on.
    def _connected(self, client, _userdata, _flags, reason, _props):
        if reason != 0:
            self.loop.call_soon_threadsafe(log.error, "The broker refused the connection: %s", reason)
            return
        client.subscribe([(f"{self.prefix}/+/{kind}", SubscribeOptions(qos=1))
                          for kind in ("status", "site_info", "command")])

    def _subscribed(self, _client, _userdata, _mid, _reasons, _props):
        self.loop.call_soon_threadsafe(self._set_connected, True)

    def _disconnected(self, _client, _userdata, reason, _props=None):
        self.loop.call_soon_threadsafe(self._set_connected, False, str(reason))

    def _message(self, _client, _userdata, msg):
        self.loop.call_soon_threadsafe(self.on_message, msg.topic, msg.payload, bool(msg.retain))

    def _failed(self):
        if not self.failing:
            log.warning("Cannot connect to the broker %s:%d (not there, or TLS failed); retrying",
                        self.settings.mqtt_host, self.settings.mqtt_port)
        self.failing = True

    def _set_connected(self, up, reason=""):
        self.failing = False
        if up:
            log.info("Connected to the broker %s:%d, subscribed to %s/+/status, site_info and command",
                     self.settings.mqtt_host, self.settings.mqtt_port, self.prefix)
        elif self.connected:
            log.warning("Lost the broker (%s); reconnecting", reason)
        self.connected = up
