"""The console in headless Chromium, with mosquitto and two simulated sites (bus daemon, bridge,
cabinet, translator): log in, see the sites and locks, unlock (the answer, the audit line naming
console:alice), a stopped bridge's site offline, logout refusing commands; all through nginx ending TLS in
front of the console. Screenshots into build/."""
import json
import os
import re
import sys
import tempfile

import harness

CHROMIUM, DRIVER, RFID = "/usr/bin/chromium", "/usr/bin/chromedriver", "4328719365"
LOG = "log4cpp.rootCategory=INFO, f\nlog4cpp.appender.f=FileAppender\nlog4cpp.appender.f.layout=PatternLayout\n" \
      "log4cpp.appender.f.layout.ConversionPattern=%c|%m%n\nlog4cpp.appender.f.fileName=/etc/ram/"


class Site:
    """A site: its own /etc/ram (a mount namespace per program), bus ports, key daemon on 127.0.0.N+1."""

    def __init__(self, ram, n, cabinet):
        self.id, self.dir = f"site-{n}", f"{ram}/site-{n}"
        self.rfids = [str(int(lock["tag"], 16)) for lock in cabinet["locks"]]
        os.makedirs(self.dir)
        for name, text in (("nembad.conf", f"nemba.channeler.port={5557 + 10 * n}\nnemba.broadcaster.port={5558 + 10 * n}"),
                           ("keyd-translator.conf", f"host=127.0.0.{n + 1}\n{LOG}keyd-translator.log"),
                           ("keyd-bridge.conf", f"site.id={self.id}\n{LOG}keyd-bridge.log"),
                           ("cabinet.json", json.dumps(cabinet))):
            with open(f"{self.dir}/{name}", "w") as f:
                f.write(text + "\n")
        self.bus = self.run("nembad", "--print-subscriptions")
        self.bus.wait_line(r"^nembad: channeler")
        # The bridge first, so that it is on the bus when the first "site_info" comes.
        self.bridge = self.run(os.environ.get("KEYD_BRIDGE", "keyd-bridge"))
        assert {self.bus.wait_line(r"^nembad: subscribe (site_info|command)$")[1] for _ in "12"} == {"site_info", "command"}
        self.sim = self.run("keyd-sim", "--listen", f"127.0.0.{n + 1}:5555", "--cabinet", "/etc/ram/cabinet.json")
        self.sim.wait_line(r"^keyd-sim: listening on ")   # before the translator's first keep-alive
        self.translator = self.run("keyd-translator")
        self.bus.wait_line(r"^nembad: subscribe TransGlam$")

    def run(self, program, *args):
        return harness.Proc(["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/ram && exec "$@"', self.dir,
                             os.path.join(harness.BIN, program), *args], f"{self.id} {os.path.basename(program)}")


def browser():
    from selenium import webdriver
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--host-resolver-rules=MAP console.test 127.0.0.1", "--ignore-certificate-errors",
                 f"--user-data-dir={tempfile.mkdtemp(prefix='chromium-')}", "--window-size=1280,640"):
        options.add_argument(flag)
    return webdriver.Chrome(service=webdriver.chrome.service.Service(DRIVER), options=options)


def main(d, sites):
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait
    # The page draws a site anew on each change: an element may go stale under a wait.
    until = WebDriverWait(d, 2 * harness.WAIT_S, ignored_exceptions=[StaleElementReferenceException]).until
    css = lambda selector: d.find_element("css selector", selector)
    texts = lambda selector: [e.text for e in d.find_elements("css selector", selector)]
    shot = lambda name: d.save_screenshot(os.path.join(harness.BIN, "..", f"console-{name}.png"))
    lock = f'[data-site="site-1"] [data-rfid="{RFID}"]'

    d.get("https://console.test:8443/")
    until(lambda _: css("#user").is_displayed())
    css("#user").send_keys(harness.USER)
    css("#password").send_keys(harness.PASSWORD)
    shot("login")
    css("#login-button").click()
    until(lambda _: texts(".site-status") == ["online", "online"] and
          all(texts(f'[data-site="{s.id}"] .rfid') == sorted(s.rfids) for s in sites))
    shot("sites")
    css(f"{lock} button").click()   # Unlock
    until(lambda _: css("#confirm").is_displayed())
    assert css("#confirm-text").text == f"Unlock lock {RFID} at site-1?"
    shot("confirm")
    css("#confirm-yes").click()
    until(lambda _: css(f"{lock} .lock-status").text == "UNLOCKED")
    assert css(f"{lock} .result").text == "update_lock: UNLOCKED"
    assert texts("#events .kind")[0] == "update_lock" and texts("#events .text")[0] == f"lock {RFID}: UNLOCKED"
    with open(f"{sites[0].dir}/keyd-translator.log") as f:
        audit = re.findall(rf"^audit\|command=UNLOCK app=(\S+) rfid={RFID} state=\S+ outcome=sent$", f.read(), re.M)
    assert audit == ["console:alice"], audit
    assert sites[1].bridge.stop() == 0
    until(lambda _: texts(".site-status") == ["online", "offline"])
    shot("offline")
    token = d.execute_script("return csrf")
    css("#logout").click()
    until(lambda _: css("#login-view").is_displayed())
    refused = d.execute_async_script("""const done = arguments[2];
        fetch("/api/command", {method: "POST", headers: {"Content-Type": "application/json", "X-CSRF-Token": arguments[0]},
              body: JSON.stringify({site: "site-1", command: "UNLOCK", rfid: arguments[1]})})
          .then((r) => r.json().then((j) => done([r.status, j.error])));""", token, RFID)
    assert refused == [401, "not logged in"], refused


if __name__ == "__main__":
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("SKIP: chromium or chromium-driver is not installed")
        sys.exit(77)
    ram = harness.enter_sandbox()
    broker, console = harness.start_broker_and_console(
        ram, "http.origin=https://console.test:8443\nhttp.trusted_proxies=127.0.0.1\n")
    proxy = harness.start_proxy(ram)
    with open(os.path.join(os.environ["KEYD_SOURCE_DIR"], "etc/cabinet.json")) as f:
        first = json.load(f)
    second = dict(first, key=dict(first["key"], box="box-2"),
                  locks=[dict(lock, tag=f"0a0b0c0d{i:02x}") for i, lock in enumerate(first["locks"][:2])])
    sites = [Site(ram, 1, first), Site(ram, 2, second)]
    driver = browser()
    try:
        main(driver, sites)
    finally:
        driver.quit()
    for p in [p for s in sites for p in (s.translator, s.sim, s.bus)] + [sites[0].bridge, proxy, console, broker]:
        assert p.stop() == 0, p.name
    print("browser_test: all passed")
