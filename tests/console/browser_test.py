"""The console in a real browser (headless Chromium) against a real broker and
two simulated sites, each a bus daemon, bridge, key cabinet and translator:
log in, see both sites and their locks, unlock a lock and see the answer
(and the translator's audit line naming console:alice), see a stopped
bridge's site go offline, log out and see a command refused. Screenshots of
the main views go into the build folder."""
import json
import os
import re
import shutil
import sys
import tempfile

import harness

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
URL = "http://127.0.0.1:8080/"
RFID = "4328719365"
SHOTS = os.path.join(harness.BIN, "..")


class Site:
    """One installation with its own /etc/ram (a mount namespace per program)
    and bus ports; its key daemon listens on 127.0.0.N+1."""

    def __init__(self, ram, n, cabinet):
        self.id, self.dir = f"site-{n}", f"{ram}/site-{n}"
        self.rfids = [str(int(lock["tag"], 16)) for lock in cabinet["locks"]]
        os.makedirs(self.dir)
        log = "log4cpp.rootCategory=INFO, file\nlog4cpp.appender.file=FileAppender\n" \
              "log4cpp.appender.file.layout=PatternLayout\nlog4cpp.appender.file.layout.ConversionPattern=%c|%m%n\n"
        self.write("nembad.conf", f"nemba.channeler.port={5557 + 10 * n}\nnemba.broadcaster.port={5558 + 10 * n}\n")
        self.write("keyd-translator.conf", f"host=127.0.0.{n + 1}\n{log}"
                   "log4cpp.appender.file.fileName=/etc/ram/keyd-translator.log\n")
        self.write("keyd-bridge.conf", f"site.id={self.id}\nmqtt.host=127.0.0.1\n{log}"
                   "log4cpp.appender.file.fileName=/etc/ram/keyd-bridge.log\n")
        self.write("cabinet.json", json.dumps(cabinet))
        self.bus = self.run("nembad", f"{harness.BIN}/nembad", "--print-subscriptions")
        self.bus.wait_line(r"^nembad: channeler")
        # The bridge first, so that it is on the bus when the first "site_info" comes.
        self.bridge = self.run("bridge", os.environ.get("KEYD_BRIDGE", f"{harness.BIN}/keyd-bridge"))
        topics = set()
        while len(topics) < 2:
            topics.add(self.bus.wait_line(r"^nembad: subscribe (site_info|command)$").group(1))
        self.sim = self.run("keyd-sim", f"{harness.BIN}/keyd-sim", "--listen", f"127.0.0.{n + 1}:5555",
                            "--cabinet", "/etc/ram/cabinet.json")
        self.translator = self.run("translator", f"{harness.BIN}/keyd-translator")
        self.bus.wait_line(r"^nembad: subscribe TransGlam$")

    def write(self, name, text):
        with open(f"{self.dir}/{name}", "w") as f:
            f.write(text)

    def run(self, name, *argv):
        return harness.Proc(["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/ram && exec "$@"',
                             self.dir, *argv], f"{self.id} {name}")

    def stop(self):
        for p in (self.translator, self.sim, self.bridge, self.bus):
            if p.p.poll() is None:
                p.stop()


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={tempfile.mkdtemp(prefix='chromium-')}", "--window-size=1280,760"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def main(d, sites):
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    # The page draws a site anew on each change: an element may go stale under a wait.
    until = WebDriverWait(d, 2 * harness.WAIT_S, ignored_exceptions=[StaleElementReferenceException]).until
    css = lambda sel: d.find_element(By.CSS_SELECTOR, sel)
    texts = lambda sel: [e.text for e in d.find_elements(By.CSS_SELECTOR, sel)]
    shot = lambda name: d.save_screenshot(os.path.join(SHOTS, f"console-{name}.png"))
    lock = f'[data-site="site-1"] [data-rfid="{RFID}"]'

    d.get(URL)
    until(lambda _: css("#user").is_displayed())
    css("#user").send_keys(harness.USER)
    css("#password").send_keys(harness.PASSWORD)
    shot("login")
    css("#login-button").click()
    until(lambda _: texts(".site-status") == ["online", "online"])
    for s in sites:
        until(lambda _: len(texts(f'[data-site="{s.id}"] [data-rfid]')) == len(s.rfids))
    shot("sites")

    css(f"{lock} button").click()   # Unlock
    until(lambda _: css("#confirm").is_displayed())
    assert css("#confirm-text").text == f"Unlock lock {RFID} at site-1?"
    shot("confirm")
    css("#confirm-yes").click()
    until(lambda _: css(f"{lock} .lock-status").text == "UNLOCKED")
    assert css(f"{lock} .result").text == "update_lock: UNLOCKED"
    assert texts("#events .kind")[0] == "update_lock" and texts("#events .text")[0] == f"lock {RFID}: UNLOCKED"
    shot("unlocked")
    with open(f"{sites[0].dir}/keyd-translator.log") as f:
        audit = re.findall(rf"^audit\|command=UNLOCK app=(\S+) rfid={RFID} state=\S+ outcome=sent$", f.read(), re.M)
    assert audit == ["console:alice"], audit

    assert sites[1].bridge.stop() == 0
    until(lambda _: texts(".site-status") == ["online", "offline"])
    shot("offline")

    token = d.execute_script("return csrf")
    css("#logout").click()
    until(lambda _: css("#login-view").is_displayed())
    refused = d.execute_async_script("""const done = arguments[arguments.length - 1];
        fetch("/api/command", {method: "POST", headers: {"Content-Type": "application/json", "X-CSRF-Token": arguments[0]},
              body: JSON.stringify({site: "site-1", command: "UNLOCK", rfid: arguments[1]})})
          .then((r) => r.json().then((j) => done([r.status, j.error])));""", token, RFID)
    assert refused == [401, "not logged in"], refused


if __name__ == "__main__":
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("SKIP: chromium or chromium-driver is not installed")
        sys.exit(77)
    ram = harness.enter_sandbox()
    with open(os.path.join(os.environ["KEYD_SOURCE_DIR"], "etc/cabinet.json")) as f:
        first = json.load(f)
    second = dict(first, key=dict(first["key"], serial=4661, box="box-2"),
                  locks=[dict(l, tag=f"0a0b0c0d{i:02x}") for i, l in enumerate(first["locks"][:2])])
    broker = harness.start_broker(ram)
    sites = [Site(ram, 1, first), Site(ram, 2, second)]
    console = harness.start_console(ram)
    driver = browser()
    try:
        main(driver, sites)
    finally:
        driver.quit()
    for s in sites:
        s.stop()
    assert console.stop() == 0 and broker.stop() == 0
    shutil.rmtree(ram, ignore_errors=True)
    print("browser_test: all passed")
