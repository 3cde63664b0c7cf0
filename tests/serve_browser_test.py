#!/usr/bin/env python3
"""The search page of `searchdb serve` in a real browser.

Debian's Chromium runs headless and is driven through chromedriver's
WebDriver protocol with nothing but the standard library (urllib and json),
so the test needs no network. It serves the demo books (plus one document
whose title is markup), types a query and sees the hits, pages, opens a
hit's JSON, tabs through every control, checks the accessible names and
that nothing scrolls sideways at 360x640, and saves screenshots in
SEARCHDB_SCREENSHOT_DIR. If Chromium cannot start, the test fails.

    SEARCHDB_CLI=build/tools/searchdb SEARCHDB_BOOKS=examples/data/books.json \\
        SEARCHDB_SCREENSHOT_DIR=build serve_browser_test.py
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

CLI = os.path.abspath(os.environ.get("SEARCHDB_CLI", "searchdb"))
BOOKS = os.environ.get("SEARCHDB_BOOKS", "examples/data/books.json")
SHOTS = os.environ.get("SEARCHDB_SCREENSHOT_DIR", tempfile.gettempdir())
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"
MARKUP_TITLE = "<img src=x onerror=alert(1)>"
# The closed network refuses what Chromium would fetch on its own; these
# flags keep it from trying. The profile is new for every run.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-proxy-server",
                  "--disable-dev-shm-usage", "--window-size=1200,900"]

# Local addresses only, whatever proxy the environment names.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def chromium_binary():
    for path in ["/usr/lib/chromium/chromium", shutil.which("chromium") or ""]:
        if path and os.access(path, os.X_OK):
            return path
    raise AssertionError("chromium is not installed (scripts/bootstrap installs it)")


class WebDriver:
    """A Chromium session through chromedriver, in a process group of its own."""

    def __init__(self, tmp):
        driver = shutil.which("chromedriver") or "/usr/lib/chromium/chromedriver"
        if not os.access(driver, os.X_OK):
            raise AssertionError("chromedriver is not installed (scripts/bootstrap installs it)")
        self.log = open(os.path.join(tmp, "chromedriver.log"), "wb")
        port = free_port()
        self.proc = subprocess.Popen([driver, f"--port={port}"], stdout=self.log,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.base = f"http://127.0.0.1:{port}"
        self.session = None
        deadline = time.monotonic() + 30
        while True:
            try:
                if self.send("GET", "/status")["ready"]:
                    break
            except (OSError, AssertionError):
                pass
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise AssertionError("chromedriver did not start")
            time.sleep(0.1)
        options = {"binary": chromium_binary(),
                   "args": CHROMIUM_FLAGS + [f"--user-data-dir={os.path.join(tmp, 'profile')}"]}
        try:
            created = self.send("POST", "/session", {"capabilities": {"alwaysMatch": {
                "browserName": "chrome", "goog:chromeOptions": options}}})
        except AssertionError as e:
            self.close()
            raise AssertionError(f"Chromium did not start: {e}")
        self.session = created["sessionId"]

    def send(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with OPENER.open(request, timeout=60) as response:
                return json.loads(response.read())["value"]
        except urllib.error.HTTPError as e:
            raise AssertionError(f"{method} {path}: {e.read().decode(errors='replace')}")

    def call(self, method, path, body=None):
        return self.send(method, f"/session/{self.session}{path}", body)

    def close(self):
        if self.session:
            try:
                self.send("DELETE", f"/session/{self.session}")
            except (OSError, AssertionError):
                pass
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        # Whatever Chromium left in the group goes with it.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if self.proc.poll() is None:
            self.proc.wait()
        self.log.close()

    # ---- Conveniences ----

    def run(self, script, *args):
        return self.call("POST", "/execute/sync", {"script": script, "args": list(args)})

    def find(self, css):
        return self.call("POST", "/element", {"using": "css selector", "value": css})[ELEMENT]

    def click(self, css):
        self.call("POST", f"/element/{self.find(css)}/click", {})

    def type(self, css, text):
        self.call("POST", f"/element/{self.find(css)}/value", {"text": text})

    def press(self, key):
        self.call("POST", "/actions", {"actions": [{"type": "key", "id": "keys", "actions": [
            {"type": "keyDown", "value": key}, {"type": "keyUp", "value": key}]}]})

    def wait_for(self, script, *args, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            value = self.run(script, *args)
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for: {script}")
            time.sleep(0.02)

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("GET", "/screenshot")))


TAB = "\ue004"
SUMMARY = "return document.getElementById('summary').textContent"
HIT_TITLES = "return [...document.querySelectorAll('#hits .hit-title')].map(b => b.textContent)"


class PageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-browser-")
        store = os.path.join(self.tmp, "store")
        run = lambda *args: subprocess.run([CLI, "--dir", store, *args], check=True,
                                           capture_output=True, timeout=60)
        run("create", "books")
        run("add", "books", BOOKS)
        run("add", "books", json.dumps({"id": "markup", "title": MARKUP_TITLE,
                                        "author": "<b>Bold</b> & <script>alert(2)</script>"}))
        run("create", "empty")
        self.store = store
        self.log = open(os.path.join(self.tmp, "serve.log"), "wb")
        self.server = subprocess.Popen([CLI, "--dir", store, "serve", "--port", "0"],
                                       stdout=subprocess.PIPE, stderr=self.log)
        line = self.server.stdout.readline().decode()
        self.url = re.search(r"(http://\S+/)", line).group(1)
        self.browser = None

    def tearDown(self):
        if self.browser:
            self.browser.close()
        self.server.send_signal(signal.SIGTERM)
        status = self.server.wait(timeout=60)
        self.server.stdout.close()
        self.log.close()
        shutil.rmtree(self.tmp, ignore_errors=True)
        self.assertEqual(status, 0)

    def test_search_page(self):
        b = self.browser = WebDriver(self.tmp)
        b.call("POST", "/url", {"url": self.url})
        b.wait_for("return document.querySelectorAll('#index option').length === 2")
        self.assertEqual(b.run(SUMMARY), "Type to search books.")

        # Search as you type: the time from the last keystroke to the hits.
        b.run("""
            window.typed = [];
            document.getElementById('query').addEventListener(
                'input', () => { window.typed.push(performance.now()); window.shown = 0; });
            new MutationObserver(() => { if (!window.shown) window.shown = performance.now(); })
                .observe(document.getElementById('hits'), {childList: true});""")
        b.click("#query")
        b.type("#query", "londn")
        b.wait_for("return /^14 hits for “londn”, 1–10 shown/"
                   ".test(document.getElementById('summary').textContent)")
        keystroke_to_hits = b.run("return window.shown - window.typed[window.typed.length - 1]")
        self.assertEqual(len(b.run(HIT_TITLES)), 10)
        self.assertEqual(b.run("return document.getElementById('page-number').textContent"),
                         "Page 1 of 2")
        self.assertIn("q=londn", b.run("return location.search"))
        first_page = b.run(HIT_TITLES)

        # Paging.
        b.click("#next")
        b.wait_for("return /11–14 shown/.test(document.getElementById('summary').textContent)")
        second_page = b.run(HIT_TITLES)
        self.assertEqual(len(second_page), 4)
        self.assertFalse(set(first_page) & set(second_page))
        self.assertTrue(b.run("return document.getElementById('next').disabled"))
        b.click("#previous")
        b.wait_for("return /1–10 shown/.test(document.getElementById('summary').textContent)")
        self.assertEqual(b.run(HIT_TITLES), first_page)

        # A hit's JSON, exactly as stored, in a dialog that gives focus back.
        b.click("#hits .hit-title")
        b.wait_for("return document.getElementById('document').open")
        shown = b.run("return document.getElementById('document-json').textContent")
        doc = json.loads(shown)
        stored = subprocess.run([CLI, "--dir", self.store, "get", "books", doc["id"], "--json"],
                                capture_output=True, text=True, check=True).stdout.strip()
        self.assertEqual(json.dumps(json.loads(shown), separators=(",", ":"),
                                    ensure_ascii=False), stored)
        self.assertEqual(b.run("return document.getElementById('document-title').textContent"),
                         first_page[0])
        b.screenshot(os.path.join(SHOTS, "serve-page-document.png"))
        b.click("#document-close")
        self.assertFalse(b.run("return document.getElementById('document').open"))
        self.assertEqual(b.run("return document.activeElement.textContent"), first_page[0])

        # Markup in a document is text on the page, never elements or script.
        b.run("document.getElementById('query').value = ''")
        b.type("#query", "onerror")
        b.wait_for("return /^1 hit for/.test(document.getElementById('summary').textContent)")
        self.assertEqual(b.run(HIT_TITLES), [MARKUP_TITLE])
        self.assertEqual(b.run("return document.querySelectorAll('#hits img, #hits script, "
                               "#hits b').length"), 0)
        self.assertIn("<b>Bold</b> & <script>alert(2)</script>",
                      b.run("return document.querySelector('#hits .hit-fields').textContent"))
        with self.assertRaisesRegex(AssertionError, "no such alert"):
            b.call("GET", "/alert/text")

        # Every control takes the keyboard's focus in turn and shows it.
        b.run("document.getElementById('query').value = ''")
        b.type("#query", "war")
        b.wait_for("return /^21 hits/.test(document.getElementById('summary').textContent)")
        b.click("#next")
        b.wait_for("return /11–20 shown/.test(document.getElementById('summary').textContent)")
        # Keyboard navigation starts where the user last clicked: the heading.
        b.click("h1")
        controls = b.run("""return [...document.querySelectorAll(
            'select, input, button:not([disabled]), [tabindex="0"]')]
            .filter(e => e.offsetParent !== null).map(e => e.id || e.textContent)""")
        reached = []
        for _ in controls:
            b.press(TAB)
            focus = b.run("""const e = document.activeElement, s = getComputedStyle(e);
                return {name: e.id || e.textContent, visible: e.matches(':focus-visible'),
                        outline: s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) >= 2}""")
            self.assertTrue(focus["visible"] and focus["outline"], focus)
            if focus["name"] not in reached:
                reached.append(focus["name"])
        self.assertEqual(sorted(reached), sorted(controls))
        self.assertGreaterEqual(len(controls), 14)  # picker, box, 10 hits, previous, next

        # Every control has an accessible name: the page's, then the
        # dialog's (which makes the rest of the page inert while open).
        named = 0
        for dialog in [False, True]:
            if dialog:
                b.click("#hits .hit-title")
                b.wait_for("return document.getElementById('document').open")
            shown = b.run("""return [...document.querySelectorAll(
                'select, input, button, [tabindex="0"]')].filter(e => e.offsetParent !== null
                && e.closest('dialog') === (arguments[0] ? document.getElementById('document')
                                                          : null))""", dialog)
            for element in shown:
                label = b.call("GET", f"/element/{element[ELEMENT]}/computedlabel").strip()
                self.assertTrue(label, b.call("GET", f"/element/{element[ELEMENT]}/property/id"))
                named += 1
        self.assertEqual(named, len(controls) + 2)
        b.click("#document-close")
        b.run("window.scrollTo(0, 0)")
        b.screenshot(os.path.join(SHOTS, "serve-page.png"))

        # Nothing scrolls sideways on a 360x640 screen, with hits or a document open.
        b.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setDeviceMetricsOverride",
                                             "params": {"width": 360, "height": 640,
                                                        "deviceScaleFactor": 1,
                                                        "mobile": True}})
        b.wait_for("return window.innerWidth === 360")
        sideways = ("return document.documentElement.scrollWidth - "
                    "document.documentElement.clientWidth")
        self.assertEqual(b.run(sideways), 0)
        b.screenshot(os.path.join(SHOTS, "serve-page-360.png"))
        b.click("#hits .hit-title")
        b.wait_for("return document.getElementById('document').open")
        self.assertEqual(b.run(sideways), 0)
        self.assertLessEqual(b.run("return document.getElementById('document')"
                                   ".getBoundingClientRect().right"), 360)
        print(f"\nlast keystroke to first hits: {keystroke_to_hits:.1f} ms "
              f"(40 ms of it the typing pause); screenshots in {SHOTS}")


if __name__ == "__main__":
    unittest.main()
