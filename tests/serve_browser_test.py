#!/usr/bin/env python3
"""The search page of `searchdb serve` in a real browser.

Debian's Chromium runs headless and is driven through chromedriver's
WebDriver protocol with nothing but the standard library (urllib and json),
so the test needs no network. It serves the demo books (plus one document
whose members are markup), types a misspelt word and sees the intended one
marked, picks and lets go of a facet's values, sorts, pages, opens a hit's
JSON, sees the markup as text, tabs through every control, checks the
accessible names and that nothing scrolls sideways at 360x640, and saves
screenshots in SEARCHDB_SCREENSHOT_DIR. A second test has the page believe
the library ranks typo-aware and sees it used for typed queries. If Chromium
cannot start, the test fails.

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

    def click_found(self, script, *args):
        """Clicks the element a script returns."""
        self.call("POST", f"/element/{self.run(script, *args)[ELEMENT]}/click", {})

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
HIT_YEARS = """return [...document.querySelectorAll('#hits .hit-fields')]
    .map(p => parseInt(/\\byear (\\d+)/.exec(p.textContent)[1], 10))"""
FACET_VALUES = """return [...document.querySelectorAll('#facets .facet')]
    .filter(g => g.querySelector('.facet-name').textContent === arguments[0])
    .flatMap(g => [...g.querySelectorAll('.facet-value')])
    .map(b => ({text: b.querySelector('.facet-text').textContent,
                count: parseInt(b.querySelector('.facet-count').textContent.replace(/,/g, ''), 10),
                pressed: b.getAttribute('aria-pressed') === 'true'}))"""
FACET_BUTTON = """return [...document.querySelectorAll('#facets .facet')]
    .filter(g => g.querySelector('.facet-name').textContent === arguments[0])
    .flatMap(g => [...g.querySelectorAll('.facet-value')])
    .find(b => b.querySelector('.facet-text').textContent === arguments[1])"""
MARKUP = {"id": "markup", "title": MARKUP_TITLE,
          "author": "<b>Bold</b> & <script>alert(2)</script>",
          "subjects": ["<img src=y onerror=alert(3)>"], "year": 1999,
          "description": "A long description for a snippet, " * 6 +
                         "then <iframe src=javascript:alert(4)> onerror, " + "and more words. " * 8}
# Every request the page sends to the request call, recorded before the
# page's own script runs; with accept_typo_aware the typo-aware rank is sent
# as bm25, so that the page sees it accepted.
RECORD_REQUESTS = """
window.sent = [];
const realFetch = window.fetch.bind(window);
window.fetch = (url, init = {}) => {
  if (String(url).startsWith('api/search_request')) {
    const request = JSON.parse(init.body);
    window.sent.push(request);
    if (%s && request.rank === 'typo_aware') {
      init = Object.assign({}, init, {body: JSON.stringify(Object.assign({}, request, {rank: 'bm25'}))});
    }
  }
  return realFetch(url, init);
};"""


def summary_is(pattern):
    return f"return /{pattern}/.test(document.getElementById('summary').textContent)"


class PageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-browser-")
        store = os.path.join(self.tmp, "store")
        run = lambda *args: subprocess.run([CLI, "--dir", store, *args], check=True,
                                           capture_output=True, timeout=60)
        run("create", "books")
        run("add", "books", BOOKS)
        run("add", "books", json.dumps(MARKUP))
        run("create", "empty")
        with open(BOOKS, encoding="utf-8") as f:
            self.documents = len(json.load(f)) + 1
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

    def open_page(self, accept_typo_aware=False):
        b = self.browser = WebDriver(self.tmp)
        b.call("POST", "/goog/cdp/execute", {
            "cmd": "Page.addScriptToEvaluateOnNewDocument",
            "params": {"source": RECORD_REQUESTS % ("true" if accept_typo_aware else "false")}})
        b.call("POST", "/url", {"url": self.url})
        b.wait_for("return document.querySelectorAll('#index option').length === 2")
        return b

    def library_takes_typo_aware(self):
        request = urllib.request.Request(self.url + "api/search_request?index=books",
                                         data=b'{"q": "", "rank": "typo_aware"}',
                                         headers={"Content-Type": "application/json"})
        try:
            with OPENER.open(request, timeout=30):
                return True
        except urllib.error.HTTPError as e:
            self.assertEqual(e.code, 400)
            return False

    def retype(self, text):
        """Types text in place of the query; with none, empties the box as
        the keyboard would."""
        self.browser.run("document.getElementById('query').value = ''")
        if text:
            self.browser.type("#query", text)
        else:
            self.browser.run("document.getElementById('query')"
                             ".dispatchEvent(new Event('input'))")

    def test_search_page(self):
        b = self.open_page()
        # An empty box browses every document, with the facets of them all.
        b.wait_for(summary_is(f"^{self.documents} documents, 1–10 shown"))
        self.assertTrue(b.run(FACET_VALUES, "author"))

        # Search as you type: the time from the last keystroke to the hits.
        b.run("""
            window.typed = [];
            document.getElementById('query').addEventListener(
                'input', () => { window.typed.push(performance.now()); window.shown = 0; });
            new MutationObserver(() => { if (!window.shown) window.shown = performance.now(); })
                .observe(document.getElementById('hits'), {childList: true});""")
        b.click("#query")
        b.type("#query", "londn")
        b.wait_for(summary_is("^14 hits for “londn”, 1–10 shown"))
        keystroke_to_hits = b.run("return window.shown - window.typed[window.typed.length - 1]")
        # The misspelt word finds the intended one, and it is marked.
        self.assertIn("London", b.run(
            "return [...document.querySelectorAll('#hits .hit:first-child mark')]"
            ".map(m => m.textContent)"))
        self.assertEqual(len(b.run(HIT_TITLES)), 10)
        self.assertIn("q=londn", b.run("return location.search"))

        # The ranking: typo-aware if the library takes it (asked once), else
        # BM25, which typed queries then leave to the library's default.
        takes = self.library_takes_typo_aware()
        self.assertEqual(b.run("return document.body.dataset.rank"),
                         "typo_aware" if takes else "bm25")
        sent = b.run("return window.sent")
        self.assertEqual([r for r in sent if r.get("rank") == "typo_aware" and r["q"] == ""],
                         [{"q": "", "limit": 1, "rank": "typo_aware"}])
        typed = [r for r in sent if r.get("q", "")]
        self.assertTrue(typed)
        self.assertEqual({r.get("rank") for r in typed}, {"typo_aware" if takes else None})

        # A facet's value narrows the hits to those holding it, and lets go.
        authors = b.run(FACET_VALUES, "author")
        picked = next(v for v in authors if v["count"] < 14)
        b.click_found(FACET_BUTTON, "author", picked["text"])
        narrowed = f"^{picked['count']} hits? for “londn” with 1 filter, 1–"
        b.wait_for(summary_is(narrowed))
        self.assertEqual(b.run(FACET_VALUES, "author"), [dict(picked, pressed=True)])
        self.assertTrue(all(picked["text"] in t for t in b.run(
            "return [...document.querySelectorAll('#hits .hit')].map(h => h.textContent)")))
        # The keyboard stays on the value picked, drawn anew.
        self.assertEqual(b.run("return document.activeElement.textContent"),
                         f"{picked['text']} {picked['count']}")
        self.assertIn("filter=", b.run("return location.search"))
        b.click_found(FACET_BUTTON, "author", picked["text"])
        b.wait_for(summary_is("^14 hits for “londn”, 1–10 shown"))
        self.assertEqual(b.run(FACET_VALUES, "author"), authors)
        b.click_found(FACET_BUTTON, "author", picked["text"])
        b.wait_for(summary_is(narrowed))
        b.click("#clear-filters")
        b.wait_for(summary_is("^14 hits for “londn”, 1–10 shown"))
        self.assertTrue(b.run("return document.getElementById('clear-filters').hidden"))
        self.assertNotIn("filter=", b.run("return location.search"))

        # Sorting, then paging through the sorted hits.
        first_by_rank = b.run(HIT_TITLES)
        b.click("#sort option[value='[\"year\",\"desc\"]']")
        b.wait_for(f"return {HIT_TITLES[7:]}.join() !== arguments[0].join()", first_by_rank)
        self.assertTrue(b.run(summary_is("^14 hits for “londn”, 1–10 shown")))
        first_page, years = b.run(HIT_TITLES), b.run(HIT_YEARS)
        b.click("#next")
        b.wait_for(summary_is("11–14 shown"))
        second_page = b.run(HIT_TITLES)
        years += b.run(HIT_YEARS)
        self.assertEqual((len(second_page), years), (4, sorted(years, reverse=True)))
        self.assertFalse(set(first_page) & set(second_page))
        self.assertTrue(b.run("return document.getElementById('next').disabled"))
        self.assertEqual(b.run("return document.getElementById('page-number').textContent"),
                         "Page 2 of 2")
        b.click("#previous")
        b.wait_for(summary_is("1–10 shown"))
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

        # Markup in a document is text on the page, never elements or script:
        # in a title, a marked snippet and a facet's value.
        self.retype("onerror")
        b.wait_for(summary_is("^1 hit for"))
        self.assertEqual(b.run(HIT_TITLES), [MARKUP_TITLE])
        self.assertEqual(b.run("return [...document.querySelectorAll('#hits .hit-title mark')]"
                               ".map(m => m.textContent)"), ["onerror"])
        snippets = b.run("return [...document.querySelectorAll('#hits .hit-snippet')]"
                         ".map(p => [p.textContent, p.querySelectorAll('mark').length])")
        self.assertIn(["subjects <img src=y onerror=alert(3)>", 1], snippets)
        self.assertTrue(any("<iframe src=javascript:alert(4)> onerror," in text and marks == 1
                            for text, marks in snippets), snippets)
        self.assertEqual(b.run(FACET_VALUES, "author"),
                         [{"text": MARKUP["author"], "count": 1, "pressed": False}])
        self.assertIn({"text": MARKUP["subjects"][0], "count": 1, "pressed": False},
                      b.run(FACET_VALUES, "subjects"))
        self.assertEqual(b.run("return document.querySelectorAll('img, script:not([src]), b, "
                               "iframe').length"), 0)
        with self.assertRaisesRegex(AssertionError, "no such alert"):
            b.call("GET", "/alert/text")

        # Every control takes the keyboard's focus in turn and shows it.
        b.click("#sort option[value='']")
        self.retype("war")
        b.wait_for(summary_is("^21 hits"))
        b.click("#next")
        b.wait_for(summary_is("11–20 shown"))
        # Keyboard navigation starts where the user last clicked: the heading.
        b.click("h1")
        controls = b.run("""return [...document.querySelectorAll(
            'select, input, button:not([disabled]), summary, [tabindex="0"]')]
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
        # Picker, box, sort, the filters' heading, facet values, 10 hits,
        # previous, next.
        facet_buttons = b.run("return document.querySelectorAll('.facet-value').length")
        self.assertGreater(facet_buttons, 4)
        self.assertEqual(len(controls), 4 + facet_buttons + 10 + 2)

        # Every control has an accessible name: the page's, then the
        # dialog's (which makes the rest of the page inert while open).
        named = 0
        for dialog in [False, True]:
            if dialog:
                b.click("#hits .hit-title")
                b.wait_for("return document.getElementById('document').open")
            shown = b.run("""return [...document.querySelectorAll(
                'select, input, button, summary, [tabindex="0"]')].filter(e =>
                e.offsetParent !== null && e.closest('dialog') ===
                (arguments[0] ? document.getElementById('document') : null))""", dialog)
            for element in shown:
                label = b.call("GET", f"/element/{element[ELEMENT]}/computedlabel").strip()
                self.assertTrue(label, b.call("GET", f"/element/{element[ELEMENT]}/property/id"))
                named += 1
        self.assertEqual(named, len(controls) + 2)
        b.click("#document-close")
        self.retype("londn")
        b.wait_for(summary_is("^14 hits for “londn”, 1–10 shown"))
        b.run("window.scrollTo(0, 0)")
        b.screenshot(os.path.join(SHOTS, "serve-page.png"))

        # Nothing scrolls sideways on a 360x640 screen: with hits and the
        # filters open, or a document open.
        b.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setDeviceMetricsOverride",
                                             "params": {"width": 360, "height": 640,
                                                        "deviceScaleFactor": 1,
                                                        "mobile": True}})
        b.wait_for("return window.innerWidth === 360")
        sideways = ("return document.documentElement.scrollWidth - "
                    "document.documentElement.clientWidth")
        self.assertTrue(b.run("return document.getElementById('filters-box').open"))
        self.assertEqual(b.run(sideways), 0)
        b.screenshot(os.path.join(SHOTS, "serve-page-360.png"))
        b.click("#hits .hit-title")
        b.wait_for("return document.getElementById('document').open")
        self.assertEqual(b.run(sideways), 0)
        self.assertLessEqual(b.run("return document.getElementById('document')"
                                   ".getBoundingClientRect().right"), 360)
        print(f"\nlast keystroke to first hits: {keystroke_to_hits:.1f} ms "
              f"(40 ms of it the typing pause); screenshots in {SHOTS}")

    def test_typed_queries_rank_typo_aware_once_the_library_takes_it(self):
        b = self.open_page(accept_typo_aware=True)
        b.wait_for(summary_is(f"^{self.documents} documents"))
        b.click("#query")
        b.type("#query", "londn")
        b.wait_for(summary_is("^14 hits for “londn”, 1–10 shown"))
        b.click("#next")
        b.wait_for(summary_is("11–14 shown"))
        self.retype("")
        b.wait_for(summary_is(f"^{self.documents} documents"))
        self.assertEqual(b.run("return document.body.dataset.rank"), "typo_aware")
        sent = b.run("return window.sent")
        # Asked once; then every typed query ranks so, and browsing not at all.
        self.assertEqual(sum(r.get("rank") == "typo_aware" and r["q"] == "" for r in sent), 1)
        typed = [r for r in sent if r.get("q")]
        self.assertEqual((len(typed) >= 2, {r["rank"] for r in typed}), (True, {"typo_aware"}))
        self.assertTrue(all("rank" not in r for r in sent if "q" not in r))


if __name__ == "__main__":
    unittest.main()
