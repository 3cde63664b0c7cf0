#!/usr/bin/env python3
"""`searchdb serve` as an HTTP client sees it, with Python's own HTTP client.

Every answer is held against the library's own: the tool's --json output for
the same call (the library's text as returned), or, while another process
changes the store, what that process's library answered in each state it
made. Every server is stopped with SIGTERM and must exit with status 0.

    SEARCHDB_CLI=build/tools/searchdb SEARCHDB_SERVE_WRITER=build/tools/serve_writer \\
        serve_test.py
"""
import bisect
import fcntl
import http.client
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

CLI = os.path.abspath(os.environ.get("SEARCHDB_CLI", "searchdb"))
WRITER = os.path.abspath(os.environ.get("SEARCHDB_SERVE_WRITER", "serve_writer"))
BOOKS_FILE = os.path.abspath(os.environ.get("SEARCHDB_BOOKS", "examples/data/books.json"))
JSON = {"Content-Type": "application/json"}
BOOKS = [
    {"id": "hobbit", "title": "The Hobbit", "author": "J. R. R. Tolkien", "year": 1937,
     "subjects": ["fantasy", "dragons"]},
    {"id": "lotr", "title": "The Lord of the Rings", "author": "J. R. R. Tolkien", "year": 1954,
     "subjects": ["fantasy", "epic"]},
    {"id": "dune", "title": "Dune", "author": "Frank Herbert", "year": 1965,
     "subjects": ["science fiction", "desert planet"]},
    {"id": 7, "title": "Solaris", "author": "Stanisław Lem", "year": 1961,
     "subjects": ["science fiction", "ocean", "contact"]},
    {"id": "emma", "title": "Emma", "author": "Jane Austen", "year": 1815,
     "subjects": ["romance", "matchmaking"]},
]


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def without_time(text):
    """An answer with its processing time, the one member that differs from
    call to call, set to 0."""
    return re.sub(r'"processingTimeMs":[-+.0-9eE]+', '"processingTimeMs":0', text, count=1)


def cli(store, *args, check=True):
    result = subprocess.run([CLI, "--dir", store, "--json", *args], capture_output=True,
                            timeout=60)
    if check and result.returncode != 0:
        raise AssertionError(f"searchdb {args}: {result.stderr.decode(errors='replace')}")
    return result


class Server:
    """A `searchdb serve` on a free port of 127.0.0.1, logging to a file."""

    def __init__(self, store, *options, preexec=None):
        self.log_path = os.path.join(os.path.dirname(store), f"serve-{id(self)}.log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([CLI, "--dir", store, "serve", "--port", "0", *options],
                                     stdout=subprocess.PIPE, stderr=self.log,
                                     preexec_fn=preexec)
        line = self.proc.stdout.readline().decode()
        found = re.search(r"at http://([^/]+)/", line)
        if not found:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"serve did not start: {line!r}\n{self.log_text()}")
        self.host = found.group(1)
        self.port = int(self.host.rsplit(":", 1)[1])

    def connection(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def call(self, method, path, body=None, headers=None, connection=None):
        """(status, headers, text) of one request."""
        conn = connection or self.connection()
        if isinstance(body, str):
            body = body.encode()
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, response.headers, response.read().decode()
        finally:
            if connection is None:
                conn.close()

    def stop(self):
        """Stops the server as a service manager would; it must end cleanly."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=60)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
            self.log.close()
        if status != 0:
            raise AssertionError(f"serve exited with {status}:\n{self.log_text()[-4000:]}")

    def log_text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()


class ServeCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-serve-")
        self.store = os.path.join(self.tmp, "store")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            if server.proc.poll() is None:
                server.proc.kill()
                server.proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def books(self):
        cli(self.store, "create", "books")
        path = os.path.join(self.tmp, "books.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(BOOKS, f)
        cli(self.store, "add", "books", path)

    def serve(self, *options, **kwargs):
        server = Server(self.store, *options, **kwargs)
        self.servers.append(server)
        return server

    def stop(self, server):
        server.stop()

    def assertRefused(self, answer, status, message):
        self.assertEqual((answer[0], json.loads(answer[2])), (status, {"error": message}),
                         answer[2])


class RoutesTest(ServeCase):
    def test_every_read_answers_what_the_library_answers(self):
        self.books()
        server = self.serve()
        conn = server.connection()
        get = lambda path: server.call("GET", path, connection=conn)
        self.assertEqual(get("/api/indexes_list")[2], cli(self.store, "list").stdout.decode().strip())
        self.assertEqual(get("/api/index_stats?index=books")[2],
                         cli(self.store, "stats", "books").stdout.decode().strip())
        for doc_id in ["hobbit", "7", "emma"]:
            status, headers, text = get(f"/api/document_get?index=books&id={doc_id}")
            self.assertEqual((status, text),
                             (200, cli(self.store, "get", "books", doc_id).stdout.decode().strip()))
            self.assertEqual(headers["Content-Type"], "application/json; charset=utf-8")

        # Random searches, and the odd ones, against the tool's answer or its
        # refusal: the URL carries any text, and limit and offset page.
        rng = random.Random(21)
        words = sorted({w for b in BOOKS for w in re.findall(r"\w+", compact(b).lower())})
        queries = ["", "   ", "dune", "ЛЕМ stanisław", "x" * 300, " ".join(["a"] * 1025),
                   "\u00e9mma", "tolkein", "fant", "\U0001F409 dragons"]
        for _ in range(30):
            word = rng.choice(words)
            queries.append(rng.choice([word, word[:3], word[:-1] + "q", word + " " + rng.choice(words)]))
        for query in queries:
            limit, offset = rng.choice([None, 0, 1, 2, 20]), rng.choice([None, 0, 1, 3])
            path = "/api/search?" + urlencode(index="books", query=query, limit=limit,
                                                 offset=offset)
            with self.subTest(query=query[:40], limit=limit, offset=offset):
                status, _, text = get(path)
                argv = ["search", "books"]
                argv += ["--limit", str(limit)] if limit is not None else []
                argv += ["--offset", str(offset)] if offset is not None else []
                expected = cli(self.store, *argv, "--", query, check=False)
                if expected.returncode == 0:
                    self.assertEqual((status, without_time(text)),
                                     (200, without_time(expected.stdout.decode().strip())))
                else:
                    message = expected.stderr.decode().strip().split("search: ", 1)[1]
                    self.assertRefused((status, None, text), 400, message)
        # Invalid UTF-8 reaches the library, which refuses it.
        self.assertRefused(get("/api/search?index=books&query=%FF"), 400,
                           "query is not valid UTF-8")
        conn.close()
        self.stop(server)

    def test_changes_reach_the_store_and_report_what_they_did(self):
        server = self.serve("--allow-writes")
        post = lambda path, body=None: server.call("POST", path, body, JSON)
        self.assertEqual(post("/api/index_create?index=shop%2Fbooks&primary_key=isbn")[2],
                         '{"created":"shop/books"}')
        self.assertEqual(post("/api/index_create?index=plain")[2], '{"created":"plain"}')
        self.assertEqual(json.loads(cli(self.store, "list").stdout),
                         [{"name": "shop/books", "primary_key": "isbn"},
                          {"name": "plain", "primary_key": "id"}])
        docs = [{"isbn": "1", "title": "Dune", "n": 1.50, "big": 123456789012345678901234567890},
                {"isbn": 2, "title": "Emma \u00e9\u00e8 \"quoted\""}]
        # The body goes to the library as sent: numbers keep their text.
        body = compact(docs).replace("1.5,", "1.50,")
        self.assertEqual(post("/api/documents_add?index=shop/books", body)[2], '{"added":2}')
        for doc_id in ["1", "2"]:
            self.assertEqual(
                server.call("GET", f"/api/document_get?index=shop/books&id={doc_id}")[2],
                cli(self.store, "get", "shop/books", doc_id).stdout.decode().strip())
        self.assertEqual(post("/api/document_delete?index=shop/books&id=1")[2], '{"deleted":"1"}')
        self.assertEqual(cli(self.store, "get", "shop/books", "1", check=False).returncode, 1)
        self.assertEqual(post("/api/index_delete?index=plain")[2], '{"deleted":"plain"}')
        self.assertEqual(json.loads(cli(self.store, "list").stdout),
                         [{"name": "shop/books", "primary_key": "isbn"}])
        # A change that succeeds with a note from the library carries it.
        os.makedirs(os.path.join(self.store, "noted"))
        with open(os.path.join(self.store, "noted", "docs.json"), "w") as f:
            f.write("stray")
        created = json.loads(post("/api/index_create?index=noted")[2])
        self.assertEqual(created["created"], "noted")
        self.assertIn("docs.json.found", created["warning"])
        self.stop(server)

    def test_each_refusal_has_its_status_and_the_library_message(self):
        self.books()
        # Writes that would grow a file past 1 MiB fail as a full disk does.
        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        server = self.serve("--allow-writes", preexec=small_files)
        get = lambda path, **kw: server.call("GET", path, **kw)
        post = lambda path, body=None, headers=JSON: server.call("POST", path, body, headers)
        cases = [
            (get("/api/search?index=nope&query=x"), 404, "index 'nope' not found"),
            (get("/api/document_get?index=books&id=nope"), 404, "document 'nope' not found"),
            # Bytes that are not UTF-8 come back as U+FFFD, so the answer stays JSON.
            (get("/api/document_get?index=books&id=%FF%22"), 404,
             "document '\ufffd\"' not found"),
            (get("/api/index_stats?index=nope"), 404, "index 'nope' not found"),
            (get("/api/frobnicate"), 404, "no such route: /api/frobnicate"),
            (get("/elsewhere"), 404, "no such page: /elsewhere"),
            (get("/api/search?index=books"), 400, "search needs the parameter 'query'"),
            (get("/api/search?index=books&query=a&limit=-1"), 400,
             "parameter 'limit' must be a whole number from 0 to 2147483647"),
            (get("/api/search?index=books&query=a&offset=2147483648"), 400,
             "parameter 'offset' must be a whole number from 0 to 2147483647"),
            (get("/api/search?index=books&query=a&qeury=b"), 400,
             "unknown parameter 'qeury' for search"),
            (get("/api/search?index=books&query=a&query=b"), 400,
             "parameter 'query' given twice"),
            (get("/api/document_get?index=books&id=a%00b"), 400,
             "parameter 'id' holds a NUL byte"),
            (post("/api/documents_add?index=books", "[{\"id\": 1"), 400,
             "invalid JSON in documents_add"),
            (post("/api/documents_add?index=books", '{"title": "no id"}'), 400,
             "document missing primary key 'id'"),
            (post("/api/index_create?index="), 400, "index name empty"),
            (post("/api/index_delete?index=books", "{}"), 400, "index_delete takes no body"),
            (post("/api/index_create?index=books"), 409, "index 'books' already exists"),
            (post("/api/search?index=books&query=x"), 405, "search is called with GET"),
            (get("/api/index_create?index=x"), 405, "index_create is called with POST"),
            (post("/", "{}"), 405, "the page is read with GET"),
            (post("/api/index_create?index=x", None, {"Content-Type": "text/plain"}), 415,
             "index_create takes Content-Type: application/json"),
            (post("/api/index_create?index=x", None, {}), 415,
             "index_create takes Content-Type: application/json"),
            (get("/api/indexes_list", headers={"Host": "attacker.example"}), 421,
             "Host 'attacker.example' does not name this server"),
            (post("/api/documents_add?index=books",
                  compact([{"id": i, "text": "x" * 1000} for i in range(2000)])), 500, None),
        ]
        for (status, headers, text), expected_status, message in cases:
            with self.subTest(status=expected_status, message=message):
                self.assertEqual(status, expected_status, text)
                error = json.loads(text)["error"]
                if message is None:
                    self.assertRegex(error, r"^(fwrite|fsync|fclose|fopen) ")
                else:
                    self.assertEqual(error, message)
                if status == 405:
                    self.assertIn(headers["Allow"], ("GET", "POST", "GET, HEAD"))
        self.assertEqual(len(json.loads(cli(self.store, "search", "books", "x").stdout)["hits"]),
                         0, "the refused batch stored nothing")
        # Headers are held to 32 KiB.
        self.assertEqual(get("/api/indexes_list", headers={"X-Padding": "p" * (24 << 10)})[0], 200)
        self.assertEqual(get("/api/indexes_list", headers={"X-Padding": "p" * (40 << 10)})[0], 431)

        # A change waits for another process's lock, then is refused.
        with open(os.path.join(self.store, "_indexes", "lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            answer = post("/api/index_create?index=later")
        self.assertRefused(answer, 409, f"storage '{self.store}' is locked")
        self.assertEqual(post("/api/index_create?index=later")[0], 200)
        self.stop(server)

    def test_bodies_up_to_64_mib_reach_the_library_and_larger_ones_do_not(self):
        self.books()
        server = self.serve("--allow-writes")
        limit = 64 << 20
        # Exactly at the limit: the library reads it (and finds no JSON).
        body = b" " * (limit - 1) + b"x"
        self.assertRefused(server.call("POST", "/api/documents_add?index=books", body, JSON), 400,
                           "invalid JSON in documents_add")
        # Announced larger: refused before the body is sent.
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=30)
        sock.sendall(b"POST /api/documents_add?index=books HTTP/1.1\r\nHost: " +
                     server.host.encode() + b"\r\nContent-Type: application/json\r\n" +
                     b"Content-Length: " + str(limit + 1).encode() + b"\r\n\r\n")
        head = sock.makefile("rb").readline()
        sock.close()
        self.assertEqual(head, b"HTTP/1.1 413 Content Too Large\r\n")
        # Sent in chunks with no length given: read and dropped, then refused.
        conn = server.connection()
        conn.putrequest("POST", "/api/documents_add?index=books")
        conn.putheader("Content-Type", "application/json")
        conn.putheader("Transfer-Encoding", "chunked")
        conn.endheaders()
        chunk = b"[" + b" " * (1 << 20)
        for _ in range(65):
            conn.send(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        conn.send(b"0\r\n\r\n")
        response = conn.getresponse()
        self.assertEqual((response.status, json.loads(response.read())),
                         (413, {"error": "the body is larger than 64 MiB"}))
        conn.close()
        self.assertEqual(json.loads(cli(self.store, "stats", "books").stdout)["document_count"],
                         len(BOOKS))
        self.stop(server)


class SearchRequestTest(ServeCase):
    """The request call, whose request is the body of a POST that only reads."""

    def library_answers(self, bodies, index="books"):
        """The library's own answer to each request, from another process on
        the same store: {"ok": true, "text": ...} or {"ok": false, "error": ...}."""
        path = os.path.join(self.tmp, "requests.jsonl")
        with open(path, "w", encoding="utf-8") as f:
            for body in bodies:
                f.write(json.dumps({"route": "search_request", "params": {"index": index},
                                    "body": body}) + "\n")
        result = subprocess.run([WRITER, "--answers", self.store, path], capture_output=True,
                                timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return [json.loads(line) for line in result.stdout.decode().splitlines()]

    def books_file(self):
        cli(self.store, "create", "books")
        cli(self.store, "add", "books", BOOKS_FILE)
        with open(BOOKS_FILE, encoding="utf-8") as f:
            return json.load(f)

    @staticmethod
    def random_request(rng, docs):
        """A request of every member the call knows, with now and then a
        fault the library must name; as text, since some faults (a member
        given twice) have no Python value."""
        values = {f: [v for d in docs for v in
                      (d[f] if isinstance(d.get(f), list) else [d.get(f)])]
                  for f in ["id", "title", "author", "year", "subjects"]}
        words = [w for t in values["title"] + values["subjects"] for w in re.findall(r"\w+", t)]

        def scalar(field):
            if field in values and rng.random() < 0.7:
                return rng.choice(values[field])
            return rng.choice([rng.randint(1600, 2000), "Jane Austen", "x", None, True, 1.5])

        def some_filter(depth):
            if depth < 3 and rng.random() < 0.3:
                kind = rng.choice(["and", "or", "not"])
                if kind == "not":
                    return {"not": some_filter(depth + 1)}
                return {kind: [some_filter(depth + 1) for _ in range(rng.randint(0, 3))]}
            field = rng.choice(["author", "year", "subjects", "title", "id", "missing"])
            op = rng.choice(["eq", "ne", "lt", "lte", "gt", "gte", "in", "not_in", "exists"])
            leaf = {"field": field, "op": op}
            if op in ("in", "not_in"):
                leaf["value"] = [scalar(field) for _ in range(rng.randint(0, 4))]
            elif op != "exists":
                leaf["value"] = scalar(field)
            return leaf

        def query():
            word = rng.choice(words).lower()
            return rng.choice([word, word[:3], word[:-1] + "q", word + " " + rng.choice(words),
                               '"' + " ".join(rng.sample(words, 2)) + '"', "", "  "])

        request = {}
        for member, chance, make in [
            ("q", 0.8, lambda: query() if rng.random() < 0.95 else None),
            ("limit", 0.5, lambda: rng.choice([0, 1, 3, 20])),
            ("offset", 0.3, lambda: rng.choice([0, 2, 50])),
            ("filter", 0.4, lambda: some_filter(0)),
            ("sort", 0.4, lambda: [rng.choice([
                "relevance", {"field": rng.choice(["year", "title", "subjects", "missing"]),
                              "order": rng.choice(["asc", "desc"])}])
                for _ in range(rng.randint(1, 3))]),
            ("facets", 0.4, lambda: rng.sample(["author", "year", "subjects", "missing"],
                                               rng.randint(1, 3))),
            ("facet_size", 0.2, lambda: rng.choice([0, 1, 5])),
            ("fields", 0.2, lambda: rng.sample(["id", "title", "year", "nothing"],
                                               rng.randint(1, 3))),
            ("operator", 0.2, lambda: rng.choice(["or", "and"])),
            ("highlight", 0.4, lambda: rng.sample(["title", "author", "subjects", "year"],
                                                  rng.randint(1, 3))),
            ("highlight_tags", 0.3, lambda: rng.choice([["\ue000", "\ue001"], ["[", "]"]])),
            ("snippet_words", 0.3, lambda: rng.choice([1, 2, 5])),
            ("rank", 0.2, lambda: rng.choice(["bm25", "typo_aware"])),
        ]:
            if rng.random() < chance:
                request[member] = make()
        text = json.dumps(request, ensure_ascii=rng.random() < 0.5)
        fault = rng.random()
        if fault < 0.03:
            text = text[:-1] + ',"limit":2,"limit":3}'
        elif fault < 0.06:
            text = text[:-1] + ',"qq":1}'
        elif fault < 0.08:
            text = rng.choice(["", "[]", "null", "{", '{"filter": {"field": "year", "op": "regex"}}',
                               '{"limit": "ten"}', '{"sort": [{"field": "year", "order": "up"}]}'])
        return text

    def test_answers_are_the_librarys_for_random_requests(self):
        docs = self.books_file()
        server = self.serve()  # reads only: the call is a read
        rng = random.Random(2121)
        bodies = [self.random_request(rng, docs) for _ in range(400)]
        expected = self.library_answers(bodies) + self.library_answers(['{"q": "dune"}'], "nope")
        conn = server.connection()
        answers = [server.call("POST", f"/api/search_request?index={index}", body, JSON,
                               connection=conn)
                   for index, body in [("books", b) for b in bodies] + [("nope", '{"q":"dune"}')]]
        conn.close()
        self.stop(server)
        refused = 0
        for body, want, (status, headers, text) in zip(bodies + ["(nope)"], expected, answers):
            with self.subTest(body=body[:300]):
                if want["ok"]:
                    self.assertEqual((status, without_time(text)), (200, without_time(want["text"])))
                else:
                    refused += 1
                    found = want["error"] == "index 'nope' not found"
                    self.assertRefused((status, headers, text), 404 if found else 400,
                                       want["error"])
        # The requests reach most of what the call answers, and some faults.
        self.assertTrue(40 < refused < 200, refused)
        texts = [json.loads(t) for s, _, t in answers if s == 200]
        self.assertGreater(sum("facets" in a for a in texts), 50)
        self.assertGreater(sum(any("_highlight" in h for h in a["hits"]) for a in texts), 50)
        self.assertGreater(sum(a["totalHits"] > 0 for a in texts), 100)

    def test_guards_statuses_and_the_body_limit(self):
        self.books_file()
        server = self.serve("--cors", "https://app.example")
        own = f"http://{server.host}"
        path = "/api/search_request?index=books"
        request = '{"q": "dickns", "facets": ["author"], "limit": 2}'
        library = self.library_answers([request])[0]["text"]
        call = lambda headers, body=request, route=path, method="POST": server.call(
            method, route, body, headers)
        for headers, status in [
                # A plain form elsewhere can send only these types, and its
                # text body can look like JSON: never answered.
                ({"Content-Type": "text/plain"}, 415),
                ({"Content-Type": "application/x-www-form-urlencoded"}, 415),
                ({"Content-Type": "multipart/form-data; boundary=x"}, 415),
                ({}, 415),
                (dict(JSON, Origin="https://evil.example"), 403),
                (dict(JSON, Origin="null"), 403),
                (dict(JSON, Origin=own), 200),
                (dict(JSON, Origin="https://app.example"), 200),
                ({"Content-Type": "Application/JSON; charset=utf-8"}, 200)]:
            with self.subTest(headers=headers):
                status_got, response_headers, text = call(headers)
                self.assertEqual(status_got, status, text)
                if status == 200:
                    self.assertEqual(without_time(text), without_time(library))
                else:
                    self.assertIn(json.loads(text)["error"], [
                        "search_request takes Content-Type: application/json",
                        f"pages from {headers.get('Origin')} may not call search_request"])
                self.assertEqual(response_headers["Content-Security-Policy"],
                                 "default-src 'none'; frame-ancestors 'none'; sandbox")
                self.assertEqual(response_headers["Access-Control-Allow-Origin"],
                                 "https://app.example"
                                 if headers.get("Origin") == "https://app.example" else None)
        for answer, status, message in [
                (call(JSON, method="GET", body=None), 405, "search_request is called with POST"),
                (call(JSON, route="/api/search_request"), 400,
                 "search_request needs the parameter 'index'"),
                (call(JSON, route=path + "&q=x"), 400,
                 "unknown parameter 'q' for search_request"),
                (call(JSON, body='{"q": "a\u0000b"}'.replace("\\u0000", "\0")), 400,
                 "the body holds a NUL byte"),
                (call(JSON, body=""), 400, self.library_answers([""])[0]["error"]),
                (call(JSON, route="/api/search_request?index=nope"), 404,
                 "index 'nope' not found")]:
            with self.subTest(message=message):
                self.assertRefused(answer, status, message)
        self.assertEqual(call(JSON, method="GET", body=None)[1]["Allow"], "POST")

        # A request up to 64 MiB long reaches the library; one longer is
        # refused before its body is read.
        limit = 64 << 20
        padded = request[:-1] + " " * (limit - len(request)) + "}"
        status, _, text = call(JSON, body=padded)
        self.assertEqual((status, without_time(text)), (200, without_time(library)))
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=30)
        sock.sendall(f"POST {path} HTTP/1.1\r\nHost: {server.host}\r\n"
                     f"Content-Type: application/json\r\nContent-Length: {limit + 1}\r\n\r\n"
                     .encode())
        head = sock.makefile("rb").readline()
        sock.close()
        self.assertEqual(head, b"HTTP/1.1 413 Content Too Large\r\n")
        self.stop(server)


class ChangesGuardTest(ServeCase):
    CHANGES = [("/api/index_create?index=x", None), ("/api/index_delete?index=books", None),
               ("/api/documents_add?index=books", '{"id": "new"}'),
               ("/api/document_delete?index=books&id=dune", None)]

    def store_text(self):
        return [cli(self.store, *args).stdout for args in
                (["list"], ["export", "books"])]

    def test_without_allow_writes_only_reads_are_served(self):
        self.books()
        before = self.store_text()
        server = self.serve()
        for path, body in self.CHANGES:
            route = path.split("?")[0][5:]
            self.assertRefused(server.call("POST", path, body, JSON), 403,
                               f"{route} changes the store, and this server was started "
                               "without --allow-writes")
        self.assertEqual(server.call("GET", "/api/document_get?index=books&id=dune")[0], 200)
        self.stop(server)
        self.assertEqual(self.store_text(), before)
        # Without --allow-writes a directory that holds no store is refused,
        # and none is made.
        empty = os.path.join(self.tmp, "empty")
        result = subprocess.run([CLI, "--dir", empty, "serve", "--port", "0"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"searchdb: no searchdb store at {empty}\n"))
        self.assertFalse(os.path.exists(empty))

    def test_a_key_guards_changes_and_never_reaches_the_log(self):
        self.books()
        key = "k3y-" + "".join(random.Random(5).choice("abcdef0123456789") for _ in range(32))
        key_file = os.path.join(self.tmp, "key")
        with open(key_file, "w") as f:
            f.write(key + "\n")
        server = self.serve("--allow-writes", "--key-file", key_file)
        wrong = key[:-1] + ("0" if key[-1] != "0" else "1")
        for authorization in [None, "Bearer " + wrong, "Bearer " + key[:-1], "Basic " + key,
                              key, "Bearer " + key + "x"]:
            headers = dict(JSON, **({"Authorization": authorization} if authorization else {}))
            with self.subTest(authorization=authorization):
                status, response_headers, text = server.call(
                    "POST", "/api/index_create?index=x", None, headers)
                self.assertRefused((status, None, text), 401,
                                   "index_create needs the server's key as "
                                   "'Authorization: Bearer KEY'")
                self.assertEqual(response_headers["WWW-Authenticate"], "Bearer")
        self.assertEqual(cli(self.store, "list").stdout.count(b'"name"'), 1)
        for path, authorization in [("/api/index_delete?index=books", "Bearer " + key),
                                    ("/api/index_create?index=books", "bearer " + key)]:
            self.assertEqual(server.call("POST", path, None,
                                         dict(JSON, Authorization=authorization))[0], 200)
        # Reads need no key.
        self.assertEqual(server.call("GET", "/api/indexes_list")[0], 200)
        self.stop(server)
        self.assertNotIn(key[4:], server.log_text())
        self.assertNotIn(wrong[4:], server.log_text())

    def test_starting_refuses_options_that_would_open_the_store_to_others(self):
        self.books()
        key_file = os.path.join(self.tmp, "key")
        for options, status, message in [
            (["--host", "0.0.0.0", "--allow-writes"], 2,
             "--allow-writes on 0.0.0.0, which is not a loopback address, needs --key-file"),
            (["--key-file", key_file], 2,
             "--key-file guards changes, which need --allow-writes"),
            (["--allow-writes", "--key-file", key_file], 1, f"key file '{key_file}'"),
            (["--cors", "example.org"], 2, "--cors takes an origin"),
        ]:
            with self.subTest(options=options):
                result = subprocess.run([CLI, "--dir", self.store, "serve", "--port", "0",
                                         *options], capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
        taken = self.serve()
        result = subprocess.run([CLI, "--dir", self.store, "serve", "--port", str(taken.port)],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"searchdb: serve: cannot listen on 127.0.0.1:{taken.port}: "
                             "Address already in use\n"))
        self.stop(taken)
        with open(key_file, "w") as f:
            f.write("\n")
        result = subprocess.run([CLI, "--dir", self.store, "serve", "--port", "0",
                                 "--allow-writes", "--key-file", key_file],
                                capture_output=True, text=True, timeout=60)
        self.assertIn("holds no key on its first line", result.stderr)

    def test_hosts_origins_and_cors(self):
        self.books()
        server = self.serve("--allow-writes", "--cors", "https://App.example")
        own = f"http://{server.host}"
        cases = [
            # (headers, status): a page elsewhere may read (the browser keeps
            # the answer from it) but never change; the Host must be ours.
            ({"Origin": "https://evil.example"}, 403),
            ({"Origin": "null"}, 403),
            ({"Origin": own}, 200),
            ({"Origin": "https://app.example"}, 200),
            ({"Host": f"localhost:{server.port}"}, 200),
            ({"Host": f"localhost:{server.port}", "Origin": f"http://localhost:{server.port}"},
             200),
            ({"Host": f"127.0.0.1:{server.port + 1}"}, 421),
            ({"Host": "127.0.0.1"}, 421),
            ({"Host": f"rebound.example:{server.port}"}, 421),
        ]
        for n, (headers, status) in enumerate(cases):
            with self.subTest(headers=headers):
                answer = server.call("POST", f"/api/index_create?index=i{n}", None,
                                     dict(JSON, **headers))
                self.assertEqual(answer[0], status, answer[2])
                cors = answer[1]["Access-Control-Allow-Origin"]
                self.assertEqual(cors, "https://App.example"
                                 if headers.get("Origin") == "https://app.example" else None)
                self.assertEqual(answer[1]["Vary"], "Origin")
        self.assertIn("may not change this store",
                      server.call("POST", "/api/index_create?index=z", None,
                                  dict(JSON, Origin="https://evil.example"))[2])
        # A preflight from the --cors origin is answered; from another, not.
        status, headers, _ = server.call("OPTIONS", "/api/documents_add", None, {
            "Origin": "https://app.example", "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "content-type, authorization"})
        self.assertEqual((status, headers["Access-Control-Allow-Methods"],
                          headers["Access-Control-Allow-Headers"]),
                         (204, "GET, POST", "Authorization, Content-Type"))
        status, headers, _ = server.call("OPTIONS", "/api/documents_add", None, {
            "Origin": "https://evil.example", "Access-Control-Request-Method": "POST"})
        self.assertEqual((status, headers["Access-Control-Allow-Origin"]), (204, None))
        self.stop(server)

        # Without --cors no answer carries a CORS header.
        server = self.serve("--allow-writes")
        for method, path, headers in [
                ("GET", "/api/indexes_list", {"Origin": "https://app.example"}),
                ("GET", "/", {}), ("GET", "/page.js", {}),
                ("OPTIONS", "/api/index_create", {"Origin": "https://app.example",
                                                   "Access-Control-Request-Method": "POST"}),
                ("POST", "/api/index_create?index=q", dict(JSON, Origin=f"http://{server.host}"))]:
            status, response_headers, _ = server.call(method, path, None, headers)
            self.assertLess(status, 500)
            self.assertEqual([h for h in response_headers if h.lower().startswith("access-control")
                              or h.lower() == "vary"], [], (method, path))
        self.stop(server)


class ReadmeTest(ServeCase):
    def test_the_readme_curl_examples_run_as_written(self):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md"),
                  encoding="utf-8") as f:
            readme = f.read()
        section = re.search(r"^## Serving a store over HTTP\n(.*?)^## ", readme, re.M | re.S)
        block = re.findall(r"^```sh\n(.*?)^```$", section.group(1), re.M | re.S)[1]
        commands = block.replace("\\\n", "").strip().splitlines()
        self.assertEqual(len(commands), 9)
        cli(self.store, "create", "books")
        cli(self.store, "add", "books", BOOKS_FILE)
        before = cli(self.store, "list").stdout
        server = self.serve("--allow-writes")
        for command in commands:
            with self.subTest(command=command):
                self.assertIn("127.0.0.1:8765", command)
                result = subprocess.run(["sh", "-c", command.replace("127.0.0.1:8765", server.host)],
                                        capture_output=True, text=True, timeout=60,
                                        env=dict(os.environ, no_proxy="*", NO_PROXY="*"))
                self.assertEqual(result.returncode, 0, result.stderr)
                answer = json.loads(result.stdout)
                self.assertFalse(isinstance(answer, dict) and "error" in answer, answer)
                if "/api/search?" in command or "/api/search_request?" in command:
                    self.assertEqual(answer["hits"][0]["author"], "Fyodor Dostoevsky")
                if "/api/search_request?" in command:
                    years = [hit["year"] for hit in answer["hits"]]
                    self.assertEqual(years, sorted(years))
                    self.assertIn("Russia", [f["value"] for f in answer["facets"]["subjects"]])
        self.assertEqual(cli(self.store, "list").stdout, before)
        self.stop(server)


class ConnectionsTest(ServeCase):
    def test_connections_are_kept_and_the_page_is_served(self):
        self.books()
        server = self.serve()
        conn = server.connection()
        status, headers, page = server.call("GET", "/", connection=conn)
        sock = conn.sock
        self.assertEqual((status, headers["Content-Type"]), (200, "text/html; charset=utf-8"))
        self.assertIn("script-src 'self'", headers["Content-Security-Policy"])
        for asset in re.findall(r'(?:src|href)="([^":]+)"', page):
            status, headers, _ = server.call("GET", "/" + asset, connection=conn)
            self.assertEqual(status, 200, asset)
        # Refusals decided from the headers alone keep the connection too.
        self.assertEqual(server.call("GET", "/api/nothing", connection=conn)[0], 404)
        for _ in range(50):
            self.assertEqual(server.call("GET", "/api/indexes_list", connection=conn)[0], 200)
        self.assertIs(conn.sock, sock)
        conn.close()
        self.stop(server)
        assets = len(re.findall(r'(?:src|href)="([^":]+)"', page))
        lines = server.log_text().splitlines()
        self.assertEqual((len(lines), lines[-1]), (1 + assets + 1 + 50 + 1, "searchdb: serve: stopped"))
        self.assertRegex(server.log_text().splitlines()[0],
                         r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 "GET /" 200 \d+ '
                         r'\d+\.\d{3}ms$')

    def test_slow_clients_hold_up_no_one_and_are_cut_off(self):
        self.books()
        server = self.serve("--allow-writes", "--timeout", "3")
        head = (f"GET /api/indexes_list HTTP/1.1\r\nHost: {server.host}\r\n"
                "X-Padding: " + "p" * 200 + "\r\n\r\n").encode()
        stalled = []
        for i in range(60):
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=30)
            sock.sendall(head[:1 + i % (len(head) - 2)])
            stalled.append(sock)
        body_stalled = socket.create_connection(("127.0.0.1", server.port), timeout=30)
        body_stalled.sendall(b"POST /api/documents_add?index=books HTTP/1.1\r\nHost: " +
                             server.host.encode() + b"\r\nContent-Type: application/json\r\n"
                             b"Content-Length: 1000\r\n\r\n[{\"id\":")
        stalled.append(body_stalled)
        # Clients that keep sending a byte now and then, never a whole request.
        trickling = [socket.create_connection(("127.0.0.1", server.port), timeout=30)
                     for _ in range(4)]
        cut = {}
        started = time.monotonic()

        def trickle(sock):
            for byte in head[:-2]:
                try:
                    sock.send(bytes([byte]))
                except OSError:
                    break
                time.sleep(0.2)
            cut[sock] = time.monotonic() - started
        threads = [threading.Thread(target=trickle, args=(s,)) for s in trickling]
        for t in threads:
            t.start()
        # Meanwhile every other client is answered at once: a server that gave
        # the slow ones a thread each from a pool would leave it waiting for
        # their timeouts, in waves, seconds on end.
        conn = server.connection(timeout=10)
        slowest = 0
        for _ in range(200):
            t0 = time.monotonic()
            status = server.call("GET", "/api/search?index=books&query=dune", connection=conn)[0]
            slowest = max(slowest, time.monotonic() - t0)
            self.assertEqual(status, 200)
        conn.close()
        self.assertLess(slowest, 2.0)
        # The silent ones are closed after a second of silence, the trickling
        # ones when their request has not arrived in 3 s.
        for sock in stalled:
            sock.settimeout(10)
            try:
                self.assertEqual(sock.recv(4096), b"")
            except ConnectionResetError:
                pass
            sock.close()
        for t in threads:
            t.join()
        for sock in trickling:
            self.assertTrue(2.5 < cut[sock] < 8, cut[sock])
            sock.close()
        self.stop(server)


class ConcurrentTest(ServeCase):
    CLIENTS = 16
    REQUESTS = 20000

    def calls(self):
        """The reads whose answers the writer records in every state."""
        words = ["amber", "birch", "cedar", "delta", "ember", "fjord", "grove", "harbor", "iris",
                 "juniper", "kestrel", "lumen", "maple", "nectar", "orchid", "pebble", "quartz",
                 "raven", "sable", "thistle"]
        rng = random.Random(1729)
        calls = [{"route": "indexes_list", "params": {}},
                 {"route": "index_stats", "params": {"index": "live"}},
                 {"route": "index_stats", "params": {"index": "side"}}]
        calls += [{"route": "document_get", "params": {"index": "live", "id": f"d{i}"}}
                  for i in range(0, 41, 2)]
        queries = words + [w[:3] for w in words[::3]] + ["harbr", "quarz", "thistel", "jupiter"]
        queries += [" ".join(rng.sample(words, 2)) for _ in range(6)]
        for query in queries:
            calls.append({"route": "search", "params": {
                "index": "live", "query": query, "limit": rng.choice([0, 3, 10]),
                "offset": rng.choice([0, 0, 2])}})
        # Requests that filter, count, sort and mark what the writer keeps
        # changing: its documents' "k" is the change that last wrote them.
        for query in [None] + rng.sample(words, 7) + ["harbr", '"amber birch"']:
            request = {"q": query, "limit": rng.choice([3, 10]),
                       "filter": {"field": "k", "op": rng.choice(["gt", "lte"]),
                                  "value": rng.randint(0, 40)},
                       "facets": ["title", "k"], "facet_size": 5,
                       "sort": [{"field": "k", "order": rng.choice(["asc", "desc"])}, "relevance"],
                       "highlight": ["body"], "snippet_words": 3}
            calls.append({"route": "search_request", "params": {"index": "live"},
                          "body": json.dumps(request)})
        return calls

    def test_sixteen_clients_against_a_store_another_process_changes(self):
        # In memory where there is a tmpfs: each change flushes its files,
        # and flushing to disk would make the test about the disk.
        if os.path.isdir("/dev/shm"):
            shutil.rmtree(self.tmp)
            self.tmp = tempfile.mkdtemp(prefix="searchdb-serve-", dir="/dev/shm")
            self.store = os.path.join(self.tmp, "store")
        cli(self.store, "create", "clients")
        server = self.serve("--allow-writes")
        calls = self.calls()
        calls_path = os.path.join(self.tmp, "calls.jsonl")
        with open(calls_path, "w") as f:
            f.writelines(json.dumps(c) + "\n" for c in calls)
        states_path = os.path.join(self.tmp, "states.jsonl")
        writer = subprocess.Popen([WRITER, self.store, calls_path, states_path, "7", "600", "3"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(writer.stdout.readline(), b"ready\n")
            reads, failures, answered = self.run_clients(server, calls)
        finally:
            writer.stdin.close()
            writer_status = writer.wait(timeout=120)
            writer.stdout.close()
        self.assertEqual(writer_status, 0)
        self.assertEqual(failures, [])

        # The library's answer to each call in every state the writer made.
        begins, acks, states = [], [], []
        current = {}
        with open(states_path) as f:
            for line in f:
                state = json.loads(line)
                current = {**current, **{int(i): a for i, a in state["answers"].items()}}
                begins.append(state["begin"])
                acks.append(state["ack"])
                states.append(current)
        self.assertGreater(len(states), 50, "the writer changed the store too little")

        # Each answer is the library's in a state that was there while the
        # request was out: from the last acknowledged before it was sent to
        # the last begun before its answer came.
        wrong = []
        seen_states = set()
        for i, sent, received, status, text in reads:
            first = bisect.bisect_left(acks, sent) - 1
            last = bisect.bisect_left(begins, received) - 1
            matches = [k for k in range(first, last + 1)
                       if self.same(states[k][i], status, text)]
            seen_states.update(matches[:1])
            if not matches:
                wrong.append((calls[i], first, last, status, text[:300]))
        self.assertEqual(wrong[:5], [], f"{len(wrong)} answers the library did not give")
        self.assertGreater(len(seen_states), 20, "the answers saw too few of the writer's states")

        # Nothing lost: one log line per request.
        self.stop(server)
        logged = sum(1 for line in server.log_text().splitlines() if '"GET /api/' in line
                     or '"POST /api/' in line)
        self.assertEqual((logged, answered), (self.REQUESTS + self.CLIENTS * 8,) * 2)

    @staticmethod
    def same(expected, status, text):
        if expected["ok"]:
            return status == 200 and without_time(text) == expected["text"]
        # The process that deleted a document calls it deleted; one that
        # loaded the store since never knew it.
        gone = lambda message: re.sub(r"^(document '.*') deleted$", r"\1 not found", message)
        return status == 404 and gone(json.loads(text)["error"]) == gone(expected["error"])

    def run_clients(self, server, calls):
        """Sends the requests from 16 threads, each on one kept connection;
        returns the reads (call, sent, received, status, text), every
        client's own change that did not read back as made, and the number
        of requests answered."""
        reads, failures, answered = [], [], [0]
        lock = threading.Lock()

        def client(n):
            try:
                run_client(n)
            except Exception as e:  # a lost answer fails the test, not just the thread
                with lock:
                    failures.append((n, repr(e)))

        def run_client(n):
            rng = random.Random(n)
            conn = server.connection(timeout=60)
            mine, made, deleted = {}, 0, set()
            got, bad = [], []
            for _ in range(self.REQUESTS // self.CLIENTS):
                if rng.random() < 0.85:
                    i = rng.randrange(len(calls))
                    path = f"/api/{calls[i]['route']}?" + urlencode(**calls[i]["params"])
                    body = calls[i].get("body")
                    sent = time.monotonic()
                    status, _, text = server.call("GET" if body is None else "POST", path, body,
                                                  JSON, connection=conn)
                    got.append((i, sent, time.monotonic(), status, text))
                    continue
                # The client's own documents in "clients": only it changes
                # them, so each change reads back exactly.
                doc_id = f"c{n}-{rng.randrange(8)}"
                if doc_id in mine and rng.random() < 0.4:
                    answer = server.call("POST", "/api/document_delete?" + urlencode(
                        index="clients", id=doc_id), None, JSON, connection=conn)
                    del mine[doc_id]
                    deleted.add(doc_id)
                    expected = (200, compact({"deleted": doc_id}))
                else:
                    made += 1
                    doc = {"id": doc_id, "text": f"client{n} change{made}", "n": made}
                    answer = server.call("POST", "/api/documents_add?index=clients",
                                         compact([doc]), JSON, connection=conn)
                    mine[doc_id] = compact(doc)
                    expected = (200, '{"added":1}')
                if answer[::2] != expected:
                    bad.append((doc_id, answer[::2]))
            for k in range(8):
                doc_id = f"c{n}-{k}"
                status, _, text = server.call("GET", "/api/document_get?" + urlencode(
                    index="clients", id=doc_id), connection=conn)
                # A deleted id may be remembered as such, or not at all.
                expected = [(200, mine[doc_id])] if doc_id in mine else [
                    (404, compact({"error": f"document '{doc_id}' {gone}"}))
                    for gone in (["not found", "deleted"] if doc_id in deleted else ["not found"])]
                if (status, text) not in expected:
                    bad.append((doc_id, status, text))
            conn.close()
            with lock:
                reads.extend(got)
                failures.extend(bad)
                answered[0] += self.REQUESTS // self.CLIENTS + 8

        threads = [threading.Thread(target=client, args=(n,)) for n in range(self.CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return reads, failures, answered[0]


def urlencode(**params):
    from urllib.parse import urlencode as encode
    return encode({k: v for k, v in params.items() if v is not None})


if __name__ == "__main__":
    unittest.main()
