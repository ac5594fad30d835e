"""keyd-console: the control room's web console over the fleet's MQTT broker."""
