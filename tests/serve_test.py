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


def urlencode(**params):
    from urllib.parse import urlencode as encode
    return encode({k: v for k, v in params.items() if v is not None})


if __name__ == "__main__":
    unittest.main()
