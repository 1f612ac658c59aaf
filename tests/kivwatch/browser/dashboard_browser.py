#!/usr/bin/python3
"""kivwatch's dashboard in a real browser (headless Chromium through
chromedriver), against kivframe's show, inside a private network namespace
(run it through scripts/netns-run).

  dashboard_browser.py test BIN-DIR OUT-DIR      the browser test; screenshots in OUT-DIR
  dashboard_browser.py screenshot BIN-DIR FILE   one screenshot at 1280x800 of a larger rig

Exit code 77 (a skip) where Chromium, chromedriver or Selenium is missing."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
PORT = 8080
URL = f"http://127.0.0.1:{PORT}/"


def fail(message):
    print(f"dashboard_browser: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def in_private_network():
    if os.environ.get("KIV_PRIVATE_NETNS") != "1":
        return False
    try:
        if os.readlink("/proc/self/ns/net") == os.readlink("/proc/1/ns/net"):
            return False
    except OSError:
        pass  # process 1's namespace is not ours to read: the interfaces tell
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, text=True).stdout.splitlines()
    return [line.split(": ")[1] for line in links if ": " in line] == ["lo"]


def browser():
    """A fresh headless Chromium with an empty profile, or None where it cannot run here."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    chromium = shutil.which("chromium")
    driver = shutil.which("chromedriver")
    if chromium is None or driver is None:
        return None
    profile = tempfile.mkdtemp(prefix="kivwatch-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1280,800"]:
        options.add_argument(flag)
    b = webdriver.Chrome(service=Service(executable_path=driver), options=options)
    b.profile = profile
    return b


def view(b, width, height):
    """The page's viewport, exactly (a window size would include the browser's own bars)."""
    b.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 800})
    time.sleep(0.5)


def close_browser(b):
    b.quit()
    shutil.rmtree(b.profile, ignore_errors=True)


def wait_until(what, condition, seconds):
    """Polls `condition` until it returns something true; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            fail(f"{what}: not within {seconds} s")
        time.sleep(0.2)


CARDS = """return [...document.querySelectorAll('.frame')].map(c => ({
  id: c.dataset.frame, state: c.dataset.state, name: c.querySelector('.name').textContent,
  volt: (c.querySelector('.bar[data-meter="Volt"]') || {dataset: {}}).dataset.value || null,
  width: (c.querySelector('.bar[data-meter="Volt"] > span') || {style: {}}).style.width || null}));"""


def cards(b):
    return {c["id"]: c for c in b.execute_script(CARDS)}


def connection(b):
    return b.execute_script("return document.body.dataset.connection")


class Rig:
    """kivframe playing a show, and kivwatch serving the dashboard over it."""

    def __init__(self, bin_dir, work, frames, inventory, show):
        self.bin_dir, self.work = bin_dir, work
        self.inventory = os.path.join(work, "rig.csv")
        with open(self.inventory, "w") as f:
            f.write("frame,name\n" + "".join(f"{i},{n}\n" for i, n in inventory))
        args = [os.path.join(bin_dir, "kivframe"), "--frames", str(frames), "--meter-motion",
                "--meter-version", "3", "--quiet"]
        for spec in show:
            args += ["--frame", spec]
        self.emulator = subprocess.Popen(args, stdout=subprocess.DEVNULL)
        self.watches = []
        self.watch = None

    def start_watch(self, *extra):
        out = open(os.path.join(self.work, f"watch{len(self.watches) + 1}.jsonl"), "w")
        self.watch = subprocess.Popen([os.path.join(self.bin_dir, "kivwatch"), "--json", "--meters", "M?3",
                                       "--every", "0.5", "--inventory", self.inventory, "--http", str(PORT),
                                       *extra, "127.0.0.1"], stdout=out, stderr=subprocess.PIPE, text=True)
        self.watches.append(out.name)
        # Serving once it has said where.
        line = self.watch.stderr.readline()
        if "dashboard on" not in line:
            fail(f"kivwatch did not start its dashboard: {line}{self.watch.stderr.read()}")

    def stop_watch(self):
        self.watch.send_signal(signal.SIGTERM)
        if self.watch.wait(10) != 0:
            fail(f"kivwatch exited with {self.watch.returncode}")

    def records(self):
        result = []
        for path in self.watches:
            with open(path) as f:
                result += [json.loads(line) for line in f if line.strip()]
        return result

    def stop(self):
        if self.watch and self.watch.poll() is None:
            self.stop_watch()
        self.emulator.terminate()
        self.emulator.wait(10)


NAMES = [("00a00000:00000001", "Stage left"), ("00a00000:00000002", "Stage right"),
         ("00a00000:00000003", "Tower delay"), ("00a00000:00000004", "Sub array"),
         ("00a00000:00000009", "Spare rack")]


def test(bin_dir, out_dir):
    out_dir = os.path.abspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="kivwatch-browser-")
    b = browser()
    if b is None:
        print("dashboard_browser: skipped: chromium, chromedriver or python3-selenium is missing")
        return SKIP
    # Frames 1 and 2 answer throughout; 3 falls silent at 4 s; 4 joins at 6 s; 9 never answers.
    rig = Rig(bin_dir, work, 2, NAMES, ["silent-from=4", "join-after=6"])
    started = time.monotonic()
    try:
        rig.start_watch()
        b.get(URL)
        wait_until("the page connected", lambda: connection(b) == "open", 10)

        # Every frame with its inventory name; the one that never answers as never seen.
        expected = {i: n for i, n in NAMES if i != "00a00000:00000004"}
        wait_until("frames 1, 2, 3 and 9 listed by name",
                   lambda: all(i in cards(b) and cards(b)[i]["name"] == n for i, n in expected.items()), 15)
        wait_until("frame 9 never seen", lambda: cards(b)["00a00000:00000009"]["state"] == "never_seen", 10)

        # The bars move as the emulator's meters do, and show what kivwatch received.
        shown = set()
        for _ in range(8):
            volt = cards(b)["00a00000:00000001"]["volt"]
            if volt is not None:
                shown.add(float(volt))
            time.sleep(0.5)
        if len(shown) < 3:
            fail(f"frame 1's Volt bar did not follow the meters: {sorted(shown)}")

        # The late joiner appears, by name.
        wait_until("the late joiner listed", lambda: cards(b).get("00a00000:00000004", {}).get("state") == "ok", 15)
        if cards(b)["00a00000:00000004"]["name"] != "Sub array":
            fail("the late joiner without its inventory name")

        # The frame that fell silent turns late, then lost once kivwatch ages it out (10 s).
        states = set()
        wait_until("frame 3 lost", lambda: states.add(cards(b)["00a00000:00000003"]["state"]) or
                   cards(b)["00a00000:00000003"]["state"] == "lost", 25)
        if "late" not in states:
            fail(f"frame 3 went lost without being late first: {states}")

        counts = b.execute_script("return ['ok','late','lost','never_seen'].map(k => "
                                  "document.getElementById('count-' + k).textContent)")
        if counts != ["3", "0", "1", "1"]:
            fail(f"counts ok, late, lost, never seen: {counts}")

        view(b, 1280, 800)
        if not b.save_screenshot(os.path.join(out_dir, "dashboard-1280x800.png")):
            fail(f"could not write a screenshot into {out_dir}")
        view(b, 768, 1024)
        b.save_screenshot(os.path.join(out_dir, "dashboard-tablet-768x1024.png"))
        view(b, 1280, 800)

        # kivwatch restarts: the page says the connection is lost, then reconnects by itself.
        rig.stop_watch()
        wait_until("the page shows the lost connection", lambda: connection(b) == "lost" and
                   b.execute_script("return !document.getElementById('banner').hidden"), 10)
        rig.start_watch()
        wait_until("the page reconnected", lambda: connection(b) == "open", 15)
        wait_until("frames 1, 2 and 4 back as ok", lambda: all(
            cards(b).get(i, {}).get("state") == "ok" for i in
            ["00a00000:00000001", "00a00000:00000002", "00a00000:00000004"]), 15)
        rig.stop_watch()

        # With a token: refused without it; the first visit with it sets the cookie that
        # the page's WebSocket carries, and the token leaves the address bar.
        rig.start_watch("--http-token", "s3cret-token")
        b.get(URL)
        if "needs its token" not in b.execute_script("return document.body.innerText"):
            fail("the page without its token was not refused")
        b.get(URL + "?token=s3cret-token")
        wait_until("the page connected with its token", lambda: connection(b) == "open", 10)
        wait_until("frame 1 listed with the token", lambda: cards(b).get("00a00000:00000001", {}).get("state") == "ok", 10)
        if b.current_url != URL:
            fail(f"the token stayed in the address: {b.current_url}")
        rig.stop_watch()
        received = {ch["Volt"] for r in rig.records() if r["type"] == "meter" and r["frame"] == "00a00000:00000001"
                    for ch in r["meter"]["channels"][:1]}
        if not shown <= received:
            fail(f"the page showed Volt values kivwatch never received: {sorted(shown - received)}")
    finally:
        rig.stop()
        close_browser(b)
        shutil.rmtree(work, ignore_errors=True)
    print(f"dashboard_browser: passed in {time.monotonic() - started:.1f} s; screenshots in {out_dir}")
    return 0


def screenshot(bin_dir, path):
    work = tempfile.mkdtemp(prefix="kivwatch-screenshot-")
    b = browser()
    if b is None:
        print("dashboard_browser: chromium, chromedriver or python3-selenium is missing", file=sys.stderr)
        return SKIP
    names = [(f"00a00000:{i:08x}", n) for i, n in enumerate(
        ["Main L", "Main R", "Front fill L", "Front fill R", "Sub L", "Sub R", "Delay 1", "Delay 2",
         "Out fill L", "Out fill R", "Monitor A"], start=1)] + [("00a00000:00000010", "Spare rack")]
    rig = Rig(bin_dir, work, 9, names, ["silent-from=3", "join-after=2"])
    try:
        rig.start_watch()
        b.get(URL)
        time.sleep(16)  # sparklines with some history; the silent frame lost
        view(b, 1280, 800)
        if not b.save_screenshot(os.path.abspath(path)):
            fail(f"could not write {path}")
    finally:
        rig.stop()
        close_browser(b)
        shutil.rmtree(work, ignore_errors=True)
    print(f"dashboard_browser: wrote {path}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("test", "screenshot"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    if not in_private_network():
        print("dashboard_browser: run it through scripts/netns-run", file=sys.stderr)
        sys.exit(97)
    sys.exit(test(sys.argv[2], sys.argv[3]) if sys.argv[1] == "test" else screenshot(sys.argv[2], sys.argv[3]))
