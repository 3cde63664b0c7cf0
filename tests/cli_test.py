#!/usr/bin/env python3
"""The searchdb command-line tool, run as a user runs it.

SEARCHDB_CLI names the installed tool; every test works in its own temporary
storage directory. The shell's keys are typed into a terminal run by tmux.
The suite adopts what its children leave running (tmux servers detach from
it) and fails when any is still there at the end.
"""
import collections
import ctypes
import decimal
import json
import os
import pty
import random
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

CLI = os.environ.get("SEARCHDB_CLI", "searchdb")
if os.sep in CLI:
    CLI = os.path.abspath(CLI)

BOOKS = [
    {"id": "hobbit", "title": "The Hobbit", "author": "J. R. R. Tolkien", "year": 1937,
     "subjects": ["fantasy", "dragons"]},
    {"id": "lotr", "title": "The Lord of the Rings", "author": "J. R. R. Tolkien", "year": 1954,
     "subjects": ["fantasy", "epic"]},
    {"id": "dune", "title": "Dune", "author": "Frank Herbert", "year": 1965,
     "subjects": ["science fiction", "desert planet"]},
]


def compact(doc):
    return json.dumps(doc, separators=(",", ":"))


JSON_NUMBER = r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?"


def shell_word(word):
    """A word as the tool's shell reads it whole: single-quoted."""
    return "'" + word.replace("'", "'\\''") + "'"


def tagged_json(text):
    """Parses JSON keeping each number as its literal text, told apart from
    strings: ("num", "1e5")."""
    return json.loads(text, parse_int=lambda t: ("num", t), parse_float=lambda t: ("num", t),
                      parse_constant=lambda t: ("num", t))


PR_SET_CHILD_SUBREAPER = 36


def setUpModule():
    # Processes that detach from their parent (a tmux server) are re-parented
    # to this one, so that the end of the run can see them.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children():
    """This process's children that are still running (the exited ones are
    reaped first)."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            break
    found = {}
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except (OSError, ValueError):
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if entry.isdigit() and int(fields[1]) == os.getpid() and fields[0] != "Z":
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
            found[int(entry)] = command
    return found


def tearDownModule():
    deadline = time.time() + 10
    while children() and time.time() < deadline:
        time.sleep(0.1)
    left = children()
    for pid in left:
        os.kill(pid, signal.SIGKILL)  # reported below, and not left behind
    if left:
        raise AssertionError("processes left running by the tests:\n" +
                             "\n".join(f"{pid}: {command}" for pid, command in left.items()))


class CliCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-cli-")
        # First in, last out: what a test starts is stopped before this goes.
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.dir = os.path.join(self.tmp, "store")
        self.env = {k: v for k, v in os.environ.items() if k != "SEARCHDB_DIR"}
        self.env.update(COLUMNS="100", HOME=self.tmp, TERM="xterm")

    def run_cli(self, *args, stdin="", env=None, use_dir=True):
        argv = [CLI] + (["--dir", self.dir] if use_dir else []) + list(args)
        return subprocess.run(argv, input=stdin, capture_output=True, text=True,
                              encoding="utf-8", env=env or self.env, cwd=self.tmp, timeout=60)

    def ok(self, *args, **kwargs):
        result = self.run_cli(*args, **kwargs)
        self.assertEqual(result.returncode, 0, f"{args}: {result.stderr}")
        return result.stdout

    def fails(self, code, *args, **kwargs):
        result = self.run_cli(*args, **kwargs)
        self.assertEqual(result.returncode, code, f"{args}: {result.stdout}{result.stderr}")
        return result.stderr

    def shell(self, *lines):
        """Runs lines in one shell session (one process); returns its output lines."""
        return self.ok("shell", stdin="\n".join(lines) + "\n").splitlines()

    def write(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def books_index(self):
        self.ok("create", "books")
        self.ok("add", "books", self.write("books.json", json.dumps(BOOKS)))

    def ids(self, response_text):
        return [hit["id"] for hit in json.loads(response_text)["hits"]]


class UsageTest(CliCase):
    def test_help_and_version_are_answered_without_touching_storage(self):
        self.assertIn("Usage: searchdb [OPTIONS] [SUBCOMMAND]", self.ok("--help"))
        for command in ["create", "drop", "list", "add", "get", "delete", "search", "stats",
                        "export", "check", "shell", "help"]:
            self.assertIn("Usage: searchdb " + command, self.ok(command, "--help"))
        self.assertIn("Usage: searchdb add [OPTIONS] NAME [FILE]", self.ok("help", "add"))
        self.assertEqual(self.ok("--version"), "searchdb 1.0.0\n")
        self.assertFalse(os.path.exists(self.dir))

    def test_usage_errors_exit_2_and_touch_no_storage(self):
        cases = [
            ([], "no command given"),
            (["frobnicate"], "unknown command 'frobnicate'; 'searchdb help' lists the commands"),
            (["serch", "books", "x"], "unknown command 'serch'; did you mean 'search'?"),
            (["lsit"], "unknown command 'lsit'; did you mean 'list'?"),
            (["help", "frobnicate"], "unknown command 'frobnicate'"),
            (["list", "--frob"], "not expected: --frob"),
            (["search", "books"], "QUERY is required"),
            (["get", "books", "a", "b"], "not expected: b"),
            (["search", "books", "x", "--limit", "abc"], "--limit: 'abc' is not a whole number"),
            (["search", "books", "x", "--limit", "-1"], "--limit: '-1' is less than 0"),
            (["search", "books", "x", "--offset", "1.5"], "--offset: '1.5' is not a whole number"),
            (["search", "books", "x", "--offset", "2147483648"], "is more than 2147483647"),
            (["add", "books", "--batch", "0"], "--batch: '0' is less than 1"),
            (["search", "books", "x", "--limit"], "--limit: 1 required"),
            (["list", "--limit", "3"], "not expected: 3 --limit"),
            (["stats", "books", "--json", "--table"], "--json excludes --table"),
            (["--dir", "a", "list", "--dir", "b"], "--dir is given 3 times; give the storage "
                                                   "directory once"),
            (["check", "--clear-set-aside"], "--clear-set-aside needs the NAME"),
            (["check", "books", "--yes"], "--yes requires --clear-set-aside"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                err = self.fails(2, *args)
                self.assertIn(message, err)
                self.assertIn("searchdb", err.splitlines()[-1])
        self.assertFalse(os.path.exists(self.dir))

    def test_global_options_may_follow_the_command(self):
        self.books_index()
        first = json.loads(self.ok("search", "books", "fantasy", "--limit=1", "--json"))
        self.assertEqual(len(first["hits"]), 1)
        second = json.loads(self.run_cli("search", "books", "fantasy", "--limit", "1",
                                          "--offset=1", "--dir", self.dir,
                                          use_dir=False).stdout)
        self.assertEqual(second["offset"], 1)
        self.assertNotEqual(first["hits"], second["hits"])

    def test_storage_directory_comes_from_option_then_environment_then_default(self):
        env = dict(self.env, SEARCHDB_DIR=os.path.join(self.tmp, "from-env"))
        self.ok("create", "a", env=env, use_dir=False)
        self.assertTrue(os.path.isdir(os.path.join(self.tmp, "from-env")))
        self.ok("create", "b", use_dir=False)
        self.assertTrue(os.path.isdir(os.path.join(self.tmp, "searchdb-data")))
        self.ok("--dir", os.path.join(self.tmp, "explicit"), "create", "c", env=env,
                use_dir=False)
        self.assertEqual(json.loads(self.ok("list", env=env, use_dir=False)),
                         [{"name": "a", "primary_key": "id"}])

    def test_empty_storage_directory_is_refused_by_the_library(self):
        err = self.fails(1, "--dir", "", "list", use_dir=False)
        self.assertIn("storage_dir empty", err)

    def test_only_create_makes_a_store(self):
        missing = os.path.join(self.tmp, "nonexistent", "x")
        for args in [["search", "books", "x"], ["get", "books", "1"], ["stats", "books"],
                     ["list"], ["export", "books"], ["check"], ["add", "books", '{"id": 1}'],
                     ["delete", "books", "1"], ["drop", "books"]]:
            with self.subTest(args=args):
                err = self.fails(1, "--dir", missing, *args, use_dir=False)
                self.assertEqual(err, f"searchdb: no searchdb store at {missing}\n")
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "nonexistent")))
        # Nor does the shell, until a create in it.
        result = self.run_cli("--dir", missing, "shell", stdin="list\ncreate books\nlist\n",
                              use_dir=False)
        self.assertEqual(result.stderr, f"searchdb: no searchdb store at {missing}\n")
        self.assertEqual(json.loads(result.stdout.splitlines()[-1]),
                         [{"name": "books", "primary_key": "id"}])
        self.assertEqual(json.loads(self.ok("--dir", missing, "list", use_dir=False)),
                         [{"name": "books", "primary_key": "id"}])

    def test_a_dir_inside_an_index_is_refused(self):
        self.ok("create", "shop/pkgs")
        for spelt, store in [(os.path.join(self.dir, "shop", "pkgs"), self.dir),
                             ("store/shop/pkgs/", "store")]:
            with self.subTest(spelt=spelt):
                for args in (["list"], ["create", "x"], ["shell"]):
                    err = self.fails(1, "--dir", spelt, *args, use_dir=False)
                    self.assertEqual(err, f"searchdb: {spelt} is the index 'shop/pkgs' of the "
                                          f"store at {store}; use --dir {store}\n")
        self.assertEqual(sorted(os.listdir(os.path.join(self.dir, "shop", "pkgs"))),
                         ["docs.json", "meta.json"])


class IndexCommandsTest(CliCase):
    def test_create_list_and_drop(self):
        self.assertIn("created index 'books' (primary key 'id')", self.ok("create", "books"))
        self.assertIn("(primary key 'isbn')",
                      self.ok("create", "shop/items", "--primary-key", "isbn"))
        self.assertEqual(json.loads(self.ok("list")),
                         [{"name": "books", "primary_key": "id"},
                          {"name": "shop/items", "primary_key": "isbn"}])
        self.assertIn("dropped index 'books'", self.ok("drop", "books"))
        self.assertEqual(json.loads(self.ok("list")),
                         [{"name": "shop/items", "primary_key": "isbn"}])

    def test_refusals_exit_1_with_the_library_message(self):
        self.ok("create", "books")
        self.assertIn("searchdb: create: index 'books' already exists",
                      self.fails(1, "create", "books"))
        # A name the library calls invalid is explained.
        for name, rule in [("a/../b", "a part between slashes may not be '..'"),
                           ("a//b", "a name may not hold '//'"),
                           ("/a", "a name may not begin or end with '/'"),
                           ("_indexes/x", "a name may not begin with '_indexes'"),
                           ("x/meta.json.corrupt.2", "'meta.json.corrupt.2' is the name of a "
                                                     "file the store keeps")]:
            with self.subTest(name=name):
                err = self.fails(1, "create", name)
                self.assertTrue(err.startswith(
                    f"searchdb: create: index name '{name}' is invalid: {rule}"), err)
        self.assertIn("searchdb: drop: index 'nope' not found", self.fails(1, "drop", "nope"))
        self.assertIn("index 'nope' not found", self.fails(1, "stats", "nope"))
        self.assertIn("index 'nope' not found", self.fails(1, "search", "nope", "x"))
        self.assertIn("index 'nope' not found", self.fails(1, "add", "nope", stdin="{}"))

    def test_json_answers_one_object_for_every_command(self):
        path = self.write("books.json", json.dumps(BOOKS))
        answers = [
            (["create", "books"], {"index": "books", "primary_key": "id", "created": True}),
            (["add", "books", path], {"index": "books", "added": 3, "new": 3, "replaced": 0,
                                      "repeated": 0, "batches": 1}),
            (["delete", "books", "dune"], {"index": "books", "id": "dune", "deleted": True}),
            (["export", "books", "out.jsonl"], {"index": "books", "file": "out.jsonl",
                                                "exported": 2}),
            (["check"], {"indexes": [{"name": "books", "documents": 2, "terms": 14,
                                      "consistent": True, "derived": "missing"}],
                         "set_aside": [], "not_listed": [], "damaged": [], "not_json": [],
                         "problems": 0}),
            (["drop", "books"], {"index": "books", "dropped": True}),
        ]
        for args, expected in answers:
            with self.subTest(args=args):
                answer = json.loads(self.ok(*args, "--json"))
                answer.pop("seconds", None)
                self.assertEqual(answer, expected)

    def test_list_table_shows_document_counts(self):
        self.books_index()
        self.ok("create", "empty", "--primary-key", "sku")
        lines = self.ok("list", "--table").splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "PRIMARY", "KEY", "DOCUMENTS"])
        self.assertEqual(lines[1].split(), ["books", "id", "3"])
        self.assertEqual(lines[2].split(), ["empty", "sku", "0"])

    def test_stats_as_json_and_table(self):
        self.books_index()
        stats = json.loads(self.ok("stats", "books"))
        self.assertEqual(stats["document_count"], 3)
        self.assertEqual(stats["bm25"], {"k1": 1.2, "b": 0.75})
        table = self.ok("stats", "books", "--table")
        self.assertRegex(table, r"(?m)^documents\s+3$")
        self.assertRegex(table, r"(?m)^primary key\s+id$")


class AddTest(CliCase):
    def setUp(self):
        super().setUp()
        self.ok("create", "books")

    def stored(self, doc_id):
        return self.ok("get", "books", doc_id).rstrip("\n")

    def test_every_input_form_from_a_file_stdin_or_the_command_line(self):
        forms = {
            "object": (compact(BOOKS[0]), 1),
            "array": (json.dumps(BOOKS, indent=2), 3),
            "lines": ("\n".join(json.dumps(b) for b in BOOKS) + "\n", 3),
            # What jq prints: objects one after another, each over several lines.
            "values": ("".join(json.dumps(b, indent=2) for b in BOOKS), 3),
        }
        sources = ["file", "dash", "implicit", "argument"]
        indexes = [f"{form}-{source}" for form in forms for source in sources]
        self.shell(*(f"create {index}" for index in indexes))
        for form, (text, count) in forms.items():
            for source in sources:
                with self.subTest(form=form, source=source):
                    index = f"{form}-{source}"
                    if source == "file":
                        out = self.ok("add", index, self.write(form + ".json", text))
                    elif source == "dash":
                        out = self.ok("add", index, "-", stdin=text)
                    elif source == "implicit":
                        out = self.ok("add", index, stdin=text)
                    else:
                        out = self.ok("add", index, text)
                    self.assertIn(f"added {count} document", out)
        out = self.shell(*(f"get {index} hobbit\nstats {index}" for index in indexes))
        for i, index in enumerate(indexes):
            with self.subTest(index=index):
                self.assertEqual(out[2 * i], compact(BOOKS[0]))
                self.assertEqual(json.loads(out[2 * i + 1])["document_count"],
                                 forms[index.split("-")[0]][1])

    def test_json_lines_allow_blank_lines_and_crlf(self):
        text = "\r\n" + compact(BOOKS[0]) + "\r\n\r\n  " + compact(BOOKS[2]) + "  \r\n"
        self.assertIn("added 2 documents", self.ok("add", "books", stdin=text))
        self.assertEqual(self.stored("dune"), compact(BOOKS[2]))

    def test_empty_input_adds_nothing(self):
        self.assertIn("added 0 documents", self.ok("add", "books", stdin=" \n"))

    def test_batches_send_the_same_values_as_one_call(self):
        docs = [
            {"id": 7, "big": 12345678901234567890, "tiny": 1e-300, "tenth": 0.1, "neg": -0.0},
            {"id": "u", "text": "caf\u00e9 \U0001F600 \"quoted\" back\\slash\ttab"},
            {"id": "n", "nested": {"a": [1, [2, {"b": None}]], "t": True, "f": False}},
        ]
        self.ok("create", "single")
        for doc in docs:
            self.ok("add", "single", stdin=json.dumps(doc))
        self.assertIn("3 batches", self.ok("add", "books", "--batch", "1",
                                           stdin=json.dumps(docs)))
        out = self.shell(*(f"get books {i}\nget single {i}" for i in ["7", "u", "n"]))
        self.assertEqual(out[0::2], out[1::2])

    def test_syntax_error_names_its_place_and_stores_nothing(self):
        err = self.fails(1, "add", "books", stdin='[\n  {"id": "a"},\n  {"id": "b",}\n]')
        self.assertRegex(err, r"^searchdb: add: <stdin>:3:\d+: invalid JSON: ")
        lines = compact(BOOKS[0]) + "\n" + compact(BOOKS[1]) + "\n{\"id\": \"x\"\n"
        self.write("invalid.jsonl", lines)
        err = self.fails(1, "add", "books", "invalid.jsonl")
        self.assertEqual(err, "searchdb: add: invalid.jsonl:3:11: invalid JSON: unexpected end "
                              "of data; nothing was stored\n")
        pretty = json.dumps(BOOKS[0], indent=2) + "\n" + json.dumps(BOOKS[1], indent=2) + " x"
        self.assertIn("searchdb: add: <argument>:20:3: invalid JSON",
                      self.fails(1, "add", "books", pretty))
        self.assertEqual(json.loads(self.ok("stats", "books"))["document_count"], 0)

    def test_unreadable_file_exits_1_naming_it(self):
        missing = os.path.join(self.tmp, "missing.json")
        self.assertIn(missing + ": No such file", self.fails(1, "add", "books", missing))

    def count(self):
        return json.loads(self.ok("stats", "books"))["document_count"]

    def test_a_bad_document_stores_nothing_and_is_named(self):
        key = "primary key 'id'"
        bad = [
            ({"id": {"n": 1}}, key + " holds an object, not a string or a number"),
            ({"id": [1]}, key + " holds an array, not a string or a number"),
            ({"id": True}, key + " holds a boolean, not a string or a number"),
            ({"id": None}, key + " holds null, not a string or a number"),
            ({"title": "no id"}, key + " is missing"),
            ({"id": "a\u0000b"}, key + " holds a string with a NUL byte"),
            (42, "the document is a number, not a JSON object"),
        ]
        good = [json.dumps({"id": str(i), "title": f"book {i}"}) for i in range(1, 25001)]
        for doc, reason in bad:
            with self.subTest(doc=doc):
                lines = list(good)
                lines[14999] = json.dumps(doc)
                err = self.fails(1, "add", "books", stdin="\n".join(lines) + "\n")
                self.assertEqual(err, f"searchdb: add: <stdin>:15000: {reason}; "
                                      "nothing was stored\n")
        # In an array, the line it starts on and the element.
        text = '[\n  {"id": "a"},\n  {"id": "b"},\n\n  {"id":\n   {"x": 1}}\n]'
        self.assertIn("add: <stdin>:5: element 3: " + key + " holds an object",
                      self.fails(1, "add", "books", "--batch", "1", stdin=text))
        self.assertIn("<stdin>:1: the document is a string, not a JSON object",
                      self.fails(1, "add", "books", stdin='"just a string"'))
        self.assertIn("<stdin>:2: an array of documents must be the whole input",
                      self.fails(1, "add", "books", stdin='{"id": 1}\n[{"id": 2}]'))
        self.assertEqual(self.count(), 0)

    def test_a_document_too_long_to_store_is_refused_before_anything_is_stored(self):
        # Numbers are stored re-printed: "1e300" becomes "1.0000000000000001e+300",
        # so this 8 MB document is over the limit only as stored.
        count = 1398101
        doc = '{"id":"big","n":[' + ",".join(["1e300"] * count) + "]}"
        err = self.fails(1, "add", "books", stdin=compact(BOOKS[0]) + "\n" + doc + "\n")
        self.assertIn(f"<stdin>:2: document 'big' is {24 * count + 18} bytes as stored, over the "
                      "limit of 33554431 bytes; nothing was stored", err)
        self.assertEqual(self.count(), 0)

    def test_a_refused_batch_says_what_was_stored_and_what_was_not(self):
        # A directory where the index writes its new file makes every save fail.
        os.mkdir(os.path.join(self.dir, "books", "docs.json.tmp"))
        lines = "\n".join(json.dumps({"id": f"doc{i}"}) for i in range(1, 6)) + "\n"
        err = self.fails(1, "add", "books", "--batch", "2", stdin=lines)
        self.assertIn("searchdb: add: the library refused a batch: ", err)
        self.assertIn("; 0 documents were stored, the first not stored is 'doc1' (<stdin>:1)", err)
        self.assertEqual(self.count(), 0)

    def test_replacing_and_deleting_documents(self):
        self.ok("add", "books", stdin=compact(BOOKS[0]))
        changed = dict(BOOKS[0], title="There and Back Again")
        self.ok("add", "books", stdin=compact(changed))
        self.assertEqual(self.stored("hobbit"), compact(changed))
        self.assertIn("deleted document 'hobbit' from 'books'", self.ok("delete", "books", "hobbit"))
        # Deleted documents are not stored, so a new process no longer knows the id.
        self.assertIn("searchdb: get: document 'hobbit' not found",
                      self.fails(1, "get", "books", "hobbit"))
        self.assertIn("document 'never' not found", self.fails(1, "delete", "books", "never"))

    def test_repeated_ids_are_reported_and_the_summary_counts_new_and_replaced(self):
        self.ok("add", "books", stdin=compact(BOOKS[0]))
        docs = [{"id": 1, "v": "first"}, {"id": "hobbit"}, {"id": "1", "v": "second"},
                {"id": 2}, {"id": 1.0, "v": "last"}]
        result = self.run_cli("add", "books", stdin="\n".join(map(json.dumps, docs)))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.splitlines(), [
            "searchdb: add: <stdin>:3: id 1 repeats line 1; the later document is kept",
            "searchdb: add: <stdin>:5: id 1 repeats line 1; the later document is kept"])
        self.assertRegex(result.stdout, r"^added 5 documents to 'books' in \d+\.\d\d s: "
                                        r"2 new, 1 replaced, 2 repeated in the input\n$")
        self.assertEqual(json.loads(self.stored("1")), {"id": 1.0, "v": "last"})
        many = [{"id": i % 13} for i in range(40)]
        result = self.run_cli("add", "books", "--json", stdin=json.dumps(many))
        self.assertEqual(len(result.stderr.splitlines()), 11)
        self.assertIn("element 14: id 0 repeats element 1 (line 1)", result.stderr)
        self.assertIn("and 17 more repeated ids", result.stderr)
        summary = json.loads(result.stdout)
        self.assertEqual({k: summary[k] for k in ("added", "new", "replaced", "repeated")},
                         {"added": 40, "new": 11, "replaced": 2, "repeated": 27})
        self.assertEqual(self.count(), 14)

    def test_number_ids_that_the_library_would_round_are_refused(self):
        # The library names a number id by the "%.0f" text of its double; an id
        # whose text names another number would merge documents. Against the
        # exact value of each literal: refused exactly when that text is not
        # the literal's whole number, and stored under that text otherwise.
        rng = random.Random(19)
        literals = ["0", "-0", "-0.0", "7", "-7", "1.5", "-0.4", "2.0", "1e2", "1E+2", "150e-1",
                    "9007199254740992", "9007199254740993", "9007199254740993.0",
                    "18446744073709551615", "12345678901234567890123", "1e22", "1e23", "1e300",
                    "-9223372036854775808", "0.5e1", "123456789012345678e-2"]
        for _ in range(12):
            literals.append(str(rng.randrange(-2 ** 70, 2 ** 70)))
            literals.append(repr(rng.uniform(-1e6, 1e6)))
        for literal in literals:
            with self.subTest(literal=literal):
                # Integers reach the double from their exact value, reals from
                # the literal's nearest double.
                exact = json.loads(literal, parse_float=decimal.Decimal)
                stored = ("%.0f" % float(exact))[:255]
                whole = exact == int(exact)
                keeps = whole and stored == str(int(exact))
                text = '{"id": %s, "n": "%s"}' % (literal, literal)
                result = self.run_cli("add", "books", text)
                if keeps:
                    self.assertEqual(result.returncode, 0, result.stderr)
                else:
                    self.assertEqual(result.stderr,
                                     f'searchdb: add: <argument>:1: id {literal} would be stored '
                                     f'as "{stored}"; use a string or a whole number; nothing '
                                     'was stored\n')
                    self.ok("add", "books", "--allow-rounded-ids", text)
                self.assertEqual(json.loads(self.stored(stored))["n"], literal)
                self.ok("delete", "books", stored)

    def test_get_as_table_is_indented_json(self):
        self.ok("add", "books", stdin=compact(BOOKS[0]))
        text = self.ok("get", "books", "hobbit", "--table")
        self.assertIn('\n  "title": "The Hobbit",\n', text)
        self.assertEqual(json.loads(text), BOOKS[0])


class SearchTest(CliCase):
    def setUp(self):
        super().setUp()
        self.books_index()

    def test_json_is_the_library_response(self):
        response = json.loads(self.ok("search", "books", "tolkien"))
        self.assertEqual(list(response), ["hits", "query", "processingTimeMs", "limit", "offset",
                                          "totalHits"])
        self.assertEqual(response["totalHits"], 2)
        self.assertEqual(response["limit"], 20)
        self.assertEqual(sorted(self.ids(self.ok("search", "books", "tolkien"))), ["hobbit", "lotr"])
        self.assertEqual(response["hits"][0], next(b for b in BOOKS
                                                   if b["id"] == response["hits"][0]["id"]))

    def test_query_words_are_joined_and_dash_ends_options(self):
        joined = json.loads(self.ok("search", "books", "lord", "rings"))
        self.assertEqual(joined["query"], "lord rings")
        self.assertEqual(self.ids(self.ok("search", "books", "lord rings")), ["lotr"])
        dashed = json.loads(self.ok("search", "books", "--", "-dune"))
        self.assertEqual(dashed["query"], "-dune")
        self.assertEqual(self.ids(json.dumps(dashed)), ["dune"])

    def test_limit_and_offset_page_the_hits(self):
        everything = self.ids(self.ok("search", "books", "fantasy", "--limit", "0"))
        self.assertEqual(len(everything), 2)
        self.assertEqual(self.ids(self.ok("search", "books", "fantasy", "--limit", "1",
                                          "--offset", "1")), everything[1:])

    def test_table_marks_the_query_words(self):
        lines = self.ok("search", "books", "tolkien", "--table").splitlines()
        self.assertEqual(lines[0].split(), ["#", "ID", "TITLE", "MATCH"])
        self.assertEqual(len(lines), 4)
        for rank, line in enumerate(lines[1:3], start=1):
            self.assertTrue(line.lstrip().startswith(str(rank) + " "), line)
            self.assertIn("author: J. R. R. [Tolkien]", line)
        self.assertRegex(lines[3], r'^1-2 of 2 hits for "tolkien" \(\d+\.\d+ ms\)$')

    def test_table_marks_prefix_and_typo_matches(self):
        line = self.ok("search", "books", "dese", "--table").splitlines()[1]
        self.assertIn("[desert] planet", line)
        line = self.ok("search", "books", "herbrt", "--table").splitlines()[1]
        self.assertIn("author: Frank [Herbert]", line)
        lines = self.ok("search", "books", "hobbit", "--table").splitlines()
        self.assertIn("The [Hobbit]", lines[1])

    def test_table_marks_only_equal_words_when_the_document_holds_the_query_word(self):
        self.ok("add", "books", stdin=json.dumps(
            {"id": "m", "title": "Fantasyland", "subjects": ["fantasy"]}))
        row = next(line for line in self.ok("search", "books", "fantasy", "--table").splitlines()
                   if line.startswith("1  m "))
        self.assertIn(" Fantasyland ", row)
        self.assertIn("subjects: [fantasy]", row)
        row = self.ok("search", "books", "fantasi", "--table").splitlines()[1]
        self.assertIn("[fantasy]", row)

    def test_table_marks_follow_the_typo_budget(self):
        lines = self.ok("search", "books", "dun", "--table").splitlines()
        self.assertRegex(lines[1], r"^1  dune  \[Dune\]$")
        self.assertEqual(len(lines), 3)
        # Seven letters allow one edit; a swap of two letters is two.
        lines = self.ok("search", "books", "dune", "herbret", "--table").splitlines()
        self.assertNotIn("[Herbert]", lines[1])
        lines = self.ok("search", "books", "dune", "herbertt", "--table").splitlines()
        self.assertIn("author: Frank [Herbert]", lines[1])

    def test_table_reports_empty_pages(self):
        self.assertRegex(self.ok("search", "books", "zebra", "--table"),
                         r'^no hits for "zebra" \(\d+\.\d+ ms\)\n$')
        self.assertRegex(self.ok("search", "books", "fantasy", "--offset", "5", "--table"),
                         r'^no hits from offset 5: 2 in total for "fantasy"')

    def test_table_shows_whole_ids_and_fits_the_rest_to_the_terminal(self):
        long_id = "an-identifier-longer-than-twenty-columns"
        long_text = " ".join(["filler"] * 60) + " needle " + " ".join(["straw"] * 60)
        self.ok("add", "books", stdin=json.dumps(
            {"id": long_id, "title": "Ü" * 80, "body": long_text}))
        for columns in [90, 100, 160]:
            with self.subTest(columns=columns):
                env = dict(self.env, COLUMNS=str(columns))
                out = self.run_cli("search", "books", "needle", "--table", env=env).stdout
                row = out.splitlines()[1]
                self.assertTrue(row.startswith("1  " + long_id + "  Ü"), row)
                self.assertLessEqual(len(row), columns)
                self.assertIn("[needle]", row)
                self.assertIn("body: …", row)
                self.assertTrue(row.endswith("…"), row)

    def test_stdout_that_is_not_a_terminal_gets_json(self):
        self.assertEqual(json.loads(self.ok("search", "books", "dune"))["totalHits"], 1)
        self.assertEqual(json.loads(self.ok("stats", "books"))["name"], "books")


class WhereGenerator:
    """Random --where conditions, each with the filter it spells; a model of
    the syntax that the tool's parser is checked against."""

    TEXT = "abcxyz019_-./é😀 ,=!<>:\"'\\"
    OPERATORS = "=!<>:"

    def __init__(self, rng):
        self.rng = rng

    def blanks(self):
        return " " * self.rng.choice([0, 0, 0, 1, 2])

    def text(self, pool, length):
        return "".join(self.rng.choice(pool) for _ in range(length))

    def quoted(self, text):
        return json.dumps(text, ensure_ascii=self.rng.random() < 0.5)

    def path(self):
        segments = [self.text(self.TEXT.replace(".", ""), self.rng.randint(1, 6))
                    for _ in range(self.rng.randint(1, 3))]
        path = ".".join(segments)
        bare_ok = (path.strip() == path and not any(c in self.OPERATORS for c in path)
                   and not path.startswith('"'))
        written = path if bare_ok and self.rng.random() < 0.7 else self.quoted(path)
        return written, path

    def number(self):
        r = self.rng
        text = r.choice(["", "-"]) + r.choice(["0", str(r.randint(1, 10 ** r.randint(1, 25)))])
        if r.random() < 0.4:
            text += "." + str(r.randint(0, 999))
        if r.random() < 0.3:
            text += r.choice("eE") + r.choice(["", "+", "-"]) + str(r.randint(0, 250))
        return text

    def value(self, in_list):
        """(as written, as the filter holds it)"""
        r = self.rng
        kind = r.choice(["number", "word", "bare", "bare", "near", "quoted", "quoted number"])
        if kind == "near":  # strings that JSON does not read as a number or a word
            text = r.choice(["01", "-01", "1.", ".5", "+1", "1e", "1e+", "-", "0x1F", "1_000",
                             "Infinity", "NaN", "True", "nul", "falsey", "1.5.2", "--1"])
            return text, text
        if kind == "number":
            text = self.number()
            return text, ("num", text)
        if kind == "word":
            word = r.choice(["true", "false", "null"])
            return word, {"true": True, "false": False, "null": None}[word]
        if kind == "quoted number":
            text = self.number()
            return self.quoted(text), text
        if kind == "bare":
            pool = self.TEXT.replace('"', "").replace(",", "" if in_list else ",")
            text = self.text(pool, r.randint(0, 8)).strip()
            reads_as_json = (re.fullmatch(JSON_NUMBER, text)
                             or text in ("true", "false", "null"))
            if not reads_as_json and (not text or text[0] not in "=!<>"):
                return text, text
        text = self.text(self.TEXT, r.randint(0, 8))
        return self.quoted(text), text

    def condition(self):
        """(EXPR, filter)"""
        r = self.rng
        written, path = self.path()
        op = r.choice(["=", "==", "!=", "<", "<=", ">", ">=", ":in:", ":not_in:", ":exists"])
        expr = self.blanks() + written + self.blanks()
        if op == ":exists":
            expr += ":exists" + self.blanks()
            filter_ = {"field": path, "op": "exists"}
        elif op in (":in:", ":not_in:"):
            values = [self.value(True) for _ in range(r.randint(0, 4))]
            if len(values) == 1 and values[0][0].strip() == "":
                values = []  # nothing after the operator is the empty list
            expr += op + (",".join(self.blanks() + w + self.blanks() for w, _ in values)
                          or self.blanks())
            filter_ = {"field": path, "op": op.strip(":"), "value": [v for _, v in values]}
        else:
            written_value, value = self.value(False)
            expr += op + self.blanks() + written_value + self.blanks()
            names = {"=": "eq", "==": "eq", "!=": "ne", "<": "lt", "<=": "lte", ">": "gt",
                     ">=": "gte"}
            filter_ = {"field": path, "op": names[op], "value": value}
        for _ in range(r.choice([0, 0, 0, 1, 2])):
            expr = "!" + self.blanks() + expr
            filter_ = {"not": filter_}
        return expr, filter_


class SearchRequestTest(CliCase):
    """Searches with the request options: what they send, and how the
    answers are shown."""

    SECTIONS = ["games", "utils", "net", "doc"]

    def setUp(self):
        super().setUp()
        rng = random.Random(7)
        self.packages = [
            {"id": f"p{i:02}", "name": f"pkg{i}", "section": self.SECTIONS[i % 4],
             "installed_size": rng.randint(1, 50000),
             "tags": rng.sample(["cli", "gui", "x11", "web", "rust"], rng.randint(0, 3)),
             "description": f"tool number {i} " + rng.choice(["plays chess", "fetches mail",
                                                              "edits text", "draws maps"])}
            for i in range(30)]
        self.ok("create", "pkgs")
        self.ok("add", "pkgs", stdin="\n".join(json.dumps(p) for p in self.packages))

    def request_of(self, *args):
        return tagged_json(self.ok("search", "pkgs", *args, "--show-request"))

    def hits(self, *args):
        return json.loads(self.ok("search", "pkgs", *args, "--json"))["hits"]

    def test_where_conditions_give_the_filter_they_spell(self):
        generator = WhereGenerator(random.Random(2024))
        cases, lines = [], []
        for _ in range(400):
            conditions = [generator.condition()
                          for _ in range(generator.rng.choice([1, 1, 2, 3]))]
            cases.append(conditions)
            lines.append("search pkgs --show-request " +
                         " ".join("--where " + shell_word(e) for e, _ in conditions))
        out = self.shell(*lines)
        self.assertEqual(len(out), len(cases))
        for conditions, line in zip(cases, out):
            filters = [f for _, f in conditions]
            expected = filters[0] if len(filters) == 1 else {"and": filters}
            self.assertEqual(tagged_json(line)["filter"], expected,
                             [e for e, _ in conditions])

    def test_conditions_that_do_not_read_are_usage_errors(self):
        for expr, message in [
            ("", "no field before the operator"),
            ("=games", "no field before the operator"),
            ("section", "no operator after the field"),
            ("size=>5", "the value >5 begins with '>'; quote it"),
            ("size<<5", "the value <5 begins with '<'"),
            ('section="games', 'the quote at "games is not closed'),
            ('section="games" x', "unexpected x after the quoted value"),
            ('section="a",b', "unexpected ,b after the quoted value"),
            ("tags:in:a,\"b\"c", "unexpected c after the quoted value"),
            ("section:like:g", "unknown operator at :like:g"),
            ("tags:exists:x", "unknown operator"),
            ("size<1e400", "1e400 is beyond the range of numbers"),
        ]:
            with self.subTest(expr=expr):
                err = self.fails(2, "search", "pkgs", "--where", expr)
                self.assertIn(f"--where '{expr}': {message}", err)
        self.assertIn("--sort ':desc': no field before ':desc'",
                      self.fails(2, "search", "pkgs", "--sort", ":desc"))
        self.assertIn("QUERY is required", self.fails(2, "search", "pkgs", "--limit", "3"))
        self.assertIn("--snippet requires --highlight",
                      self.fails(2, "search", "pkgs", "x", "--snippet", "3"))
        for other in (["tool"], ["--limit", "3"], ["--where", "a=1"], ["--all-words"]):
            self.assertIn("--request is the whole search; it takes no",
                          self.fails(2, "search", "pkgs", "--request", "{}", *other))

    def test_options_make_the_request_and_the_answer_is_the_librarys(self):
        request = self.request_of("tool", "chess", "--where", "installed_size<30000",
                                  "--where", "tags:in:cli,gui", "--sort", "section:desc",
                                  "--sort", "relevance", "--sort", "installed_size",
                                  "--facet", "section", "--fields", "id,name", "--fields",
                                  "installed_size", "--all-words", "--highlight",
                                  "description", "--snippet", "3", "--rank", "typo-aware",
                                  "--limit", "5", "--offset", "1")
        self.assertEqual(request, {
            "q": "tool chess", "limit": ("num", "5"), "offset": ("num", "1"),
            "filter": {"and": [
                {"field": "installed_size", "op": "lt", "value": ("num", "30000")},
                {"field": "tags", "op": "in", "value": ["cli", "gui"]}]},
            "sort": [{"field": "section", "order": "desc"}, "relevance",
                     {"field": "installed_size", "order": "asc"}],
            "facets": ["section"], "fields": ["id", "name", "installed_size"],
            "operator": "and", "highlight": ["description"], "snippet_words": ("num", "3"),
            "rank": "typo_aware"})
        # Browsing: every document matches the conditions, in the order asked.
        hits = self.hits("--where", "installed_size>=10000", "--where", "!tags:in:web",
                         "--sort", "section", "--sort", "installed_size:desc",
                         "--fields", "id,section", "--limit", "0")
        expected = sorted((p for p in self.packages
                           if p["installed_size"] >= 10000 and "web" not in p["tags"]),
                          key=lambda p: (p["section"], -p["installed_size"]))
        self.assertEqual(hits, [{"id": p["id"], "section": p["section"]} for p in expected])
        # Paging goes through the same request.
        page = self.hits("--where", "installed_size>=10000", "--where", "!tags:in:web",
                         "--sort", "section", "--sort", "installed_size:desc",
                         "--fields", "id", "--limit", "2", "--offset", "3")
        self.assertEqual(page, [{"id": p["id"]} for p in expected[3:5]])
        # A request printed by --show-request, given back whole, answers alike.
        args = ["chess", "--where", "section!=net", "--facet", "tags", "--sort", "name"]
        path = self.write("request.json", self.ok("search", "pkgs", *args, "--show-request"))
        with open(path, encoding="utf-8") as f:
            text = f.read()
        answers = [json.loads(self.ok("search", "pkgs", *args)),
                   json.loads(self.ok("search", "pkgs", "--request", path)),
                   json.loads(self.ok("search", "pkgs", "--request", "-", stdin=text))]
        for answer in answers:
            del answer["processingTimeMs"]
        self.assertEqual(answers[0], answers[1])
        self.assertEqual(answers[0], answers[2])
        self.assertIn("facets", answers[0])

    def test_a_plain_search_keeps_to_the_plain_call(self):
        # Double quotes are separators to the plain call and mark a phrase in
        # a request, so the two answer this query differently.
        self.ok("add", "pkgs", stdin=json.dumps({"id": "q", "description": "plays a chess"}))
        plain = json.loads(self.ok("search", "pkgs", '"plays a"', "--limit", "0"))
        self.assertEqual(plain["totalHits"],
                         1 + sum("plays" in p["description"] for p in self.packages))
        phrase = json.loads(self.ok("search", "pkgs", '"plays a"', "--fields", "id"))
        self.assertEqual(phrase["hits"], [{"id": "q"}])

    def test_library_refusals_are_printed(self):
        err = self.fails(1, "search", "pkgs", "x", "--rank", "no-such-rule")
        self.assertIn("searchdb: search: rank: unknown rank 'no_such_rule'", err)
        err = self.fails(1, "search", "pkgs", "--request", '{"fitler": 1}')
        self.assertIn("searchdb: search: request has unknown member 'fitler'", err)
        err = self.fails(1, "search", "pkgs", "--request", self.write("bad.json", "{"))
        self.assertIn("searchdb: search: request: ", err)
        err = self.fails(1, "search", "pkgs", "--request", os.path.join(self.tmp, "none.json"))
        self.assertIn("none.json: No such file or directory", err)

    def test_facets_are_a_table_after_the_hits(self):
        empty = {"id": "e", "section": "", "installed_size": 1, "tags": [], "description": "tool"}
        self.packages.append(empty)
        self.ok("add", "pkgs", stdin=json.dumps(empty))
        args = ["tool", "--where", "installed_size<40000", "--facet", "section",
                "--facet", "tags", "--limit", "2"]
        facets = json.loads(self.ok("search", "pkgs", *args))["facets"]
        self.assertEqual(list(facets), ["section", "tags"])
        out = self.ok("search", "pkgs", *args, "--table")
        tables = out.split("\n\n")
        self.assertEqual(len(tables), 3)
        self.assertRegex(tables[0].splitlines()[-1], r"^1-2 of \d+ hits for \"tool\"")
        for path, table in zip(facets, tables[1:]):
            lines = table.splitlines()
            self.assertEqual(lines[0].split(), [path, "COUNT"])
            rows = [line.rsplit(None, 1) for line in lines[1:]]
            self.assertEqual(rows, [[entry["value"] or '""', str(entry["count"])]
                                    for entry in facets[path]])
            counted = collections.Counter(
                v for p in self.packages if p["installed_size"] < 40000
                for v in (p[path] if isinstance(p[path], list) else [p[path]]))
            self.assertEqual({e["value"]: e["count"] for e in facets[path]}, counted)

    def test_highlighted_members_show_the_librarys_marks(self):
        self.ok("add", "pkgs", stdin=json.dumps(
            {"id": "m", "name": "Chess <mark>", "section": "games", "description": "an old chess "
             "engine that plays chess well and fast against anyone who wants to play"}))
        answer = json.loads(self.ok("search", "pkgs", "chess", "--highlight", "description",
                                    "--highlight", "name", "--where", "id=m"))
        self.assertEqual(answer["hits"][0]["_highlight"], {
            "description": "an old <mark>chess</mark> engine that plays <mark>chess</mark> "
                           "well and fast against anyone who wants to play",
            "name": "<mark>Chess</mark> <mark>"})
        # The match column shows the marked member with the most marks.
        marked = ["search", "pkgs", "chess", "--highlight", "section", "--highlight",
                  "description", "--highlight", "name", "--where", "id=m", "--table"]
        line = self.ok(*marked).splitlines()[1]
        self.assertEqual(line, "1  m   [Chess] <mark>  description: an old [chess] engine that "
                               "plays [chess] well and fast against …")
        line = self.ok(*marked, "--snippet", "4").splitlines()[1]
        self.assertTrue(line.endswith("description: …old [chess] engine that…"), line)
        # A request with tags of its own is shown with them taken out.
        request = {"q": "fetches", "limit": 1, "highlight": ["description"],
                   "highlight_tags": ["{{", "}}"], "fields": ["id", "description"]}
        line = self.ok("search", "pkgs", "--request", json.dumps(request),
                       "--table").splitlines()[1]
        self.assertRegex(line, r"^1  p\d\d +description: tool number \d+ \[fetches\] mail$")
        # On a terminal the marks are in colour.
        out = self.on_terminal("search", "pkgs", "chess", "--highlight", "name",
                               "--where", "id=m")
        self.assertIn("\x1b[1;33mChess\x1b[0m <mark>", out)

    def on_terminal(self, *args):
        """The tool's output on a pseudo-terminal."""
        env = {k: v for k, v in self.env.items() if k != "NO_COLOR"}
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--dir", self.dir] + list(args), stdin=subprocess.DEVNULL,
                                stdout=slave, stderr=slave, env=env, cwd=self.tmp)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=30), 0, out)
        return out.decode("utf-8", "replace")

    def test_browsing_table_counts_documents_and_keeps_the_ids(self):
        lines = self.ok("search", "pkgs", "--sort", "installed_size:desc", "--fields",
                        "name,installed_size", "--limit", "3", "--table").splitlines()
        biggest = sorted(self.packages, key=lambda p: -p["installed_size"])[:3]
        self.assertEqual([line.split()[:3] for line in lines[1:4]],
                         [[str(n), p["id"], p["name"]] for n, p in enumerate(biggest, 1)])
        self.assertIn(f"installed_size: {biggest[0]['installed_size']}", lines[1])
        self.assertRegex(lines[4], r"^1-3 of 30 documents \(\d+\.\d+ ms\)$")
        self.assertRegex(self.ok("search", "pkgs", "--where", "section=none", "--table"),
                         r"^no documents \(")
        self.assertRegex(self.ok("search", "pkgs", "--request", '{"q": null, "offset": 40}',
                                 "--table"), r"^no documents from offset 40: 30 in total \(")


class ExportTest(CliCase):
    DOCS = [
        {"sku": 7, "big": 12345678901234567890, "tiny": 1e-300, "tenth": 0.1},
        {"sku": "caf\u00e9", "text": "\U0001F600 \"quoted\" back\\slash\ttab\u0001"},
        {"sku": "nested", "n": {"a": [1, [2, {"b": None}]], "t": True, "f": False}},
        # No query word reaches this one: it holds no word at all.
        {"sku": "--", "note": "...!"},
    ]

    def test_export_then_add_gives_back_every_document_as_stored(self):
        self.ok("create", "shop/books", "--primary-key", "sku")
        books = [{"sku": b["id"], **{k: v for k, v in b.items() if k != "id"}} for b in BOOKS]
        self.ok("add", "shop/books", stdin="\n".join(json.dumps(d) for d in books + self.DOCS))
        self.ok("delete", "shop/books", "dune")
        exported = self.ok("export", "shop/books")
        lines = exported.splitlines()
        ids = ["hobbit", "lotr", "7", "café", "nested", "--"]
        self.assertEqual(len(lines), len(ids))
        self.assertEqual(lines[5], '{"sku":"--","note":"...!"}')

        path = os.path.join(self.tmp, "out.jsonl")
        self.assertIn("exported 6 documents from 'shop/books' to " + path,
                      self.ok("export", "shop/books", path))
        with open(path, encoding="utf-8") as f:
            self.assertEqual(f.read(), exported)
        self.ok("create", "copy", "--primary-key", "sku")
        self.ok("add", "copy", path)
        out = self.shell(*(f"get {index} -- '{doc_id}'" for doc_id in ids
                           for index in ["copy", "shop/books"]))
        self.assertEqual(len(out), 2 * len(ids))
        self.assertEqual(out[0::2], out[1::2])
        self.assertEqual(self.ok("export", "copy"), exported)

    def test_export_of_an_empty_or_missing_index(self):
        self.ok("create", "empty")
        self.assertEqual(self.ok("export", "empty"), "")
        self.assertIn("index 'nope' not found", self.fails(1, "export", "nope"))


class CheckTest(CliCase):
    def test_a_sound_store_has_nothing_to_report(self):
        self.books_index()
        self.ok("create", "shop/empty")
        out = self.ok("check")
        self.assertRegex(out, r"^index 'books': 3 documents, \d+ terms, derived file missing\n"
                              r"index 'shop/empty': 0 documents, 0 terms, derived file missing\n"
                              r"nothing to report\n$")

    def test_check_tells_the_derived_files_state_and_rebuild_writes_it_anew(self):
        rng = random.Random(5)
        words = ["red", "read", "reader", "blue", "stone", "store", "story", "zebra", "kind",
                 "kinder", "apple"]
        docs = [{"id": f"d{i}", "title": " ".join(rng.choice(words) for _ in range(2)),
                 "body": " ".join(rng.choice(words) for _ in range(rng.randint(1, 300)))}
                for i in range(80)]
        self.ok("create", "books")
        self.ok("add", "books", self.write("docs.json", json.dumps(docs)))
        derived = os.path.join(self.dir, "books", "docs.idx")
        queries = ["red", "re", "stor", '"blue stone"', "kind -red", "zebra reader", "aple"]

        def check(*args):
            result = self.run_cli("check", "--json", *args)
            # A missing or stale cache is information, never a problem.
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            entry = json.loads(result.stdout)["indexes"][0]
            return entry["derived"], entry.get("rebuilt", False), entry["consistent"]

        def file_bytes():
            # Without the clock of the load that wrote it (at 128), the key of
            # its id table (at 160) and so the table and its sums (sections 13
            # and 14 of those listed from 192: offset, length, checksum), and
            # the header's checksum (at 16), which differ from process to
            # process.
            with open(derived, "rb") as f:
                data = bytearray(f.read())
            masked = [(16, 8), (128, 8), (160, 32)]
            for section in (13, 14):
                at = 192 + 24 * section
                offset, length = struct.unpack_from("<QQ", data, at)
                masked += [(at + 16, 8), (offset, length)]
            for at, size in masked:
                data[at:at + size] = bytes(size)
            return bytes(data)

        def answers(without_file):
            seen = []
            for q in queries:
                if without_file and os.path.exists(derived):
                    os.remove(derived)
                out = self.ok("search", "books", q, "--limit=50", "--json")
                seen.append(re.sub(r'"processingTimeMs":[\d.]+', "", out))
            return seen

        self.assertEqual(check(), ("missing", False, True))
        self.assertFalse(os.path.exists(derived))  # check writes no cache of its own accord
        self.ok("search", "books", "red")
        written = file_bytes()
        self.assertEqual(check(), ("current", False, True))
        self.assertEqual(file_bytes(), written)
        self.ok("add", "books", json.dumps({"id": "d1", "title": "green", "body": "apple"}))
        self.assertEqual(check(), ("stale", False, True))
        self.assertEqual(file_bytes(), written)
        self.assertRegex(self.ok("check"),
                         r"^index 'books': 80 documents, \d+ terms, derived file stale\n")
        self.assertRegex(self.ok("check", "--rebuild"), r"^index 'books': 80 documents, \d+ "
                                                        r"terms, derived file stale \(written anew\)\n")
        self.assertEqual(check(), ("current", False, True))
        rebuilt = file_bytes()
        self.assertNotEqual(rebuilt, written)
        os.remove(derived)
        self.assertEqual(check(), ("missing", False, True))
        # Each answer from a fresh process that builds, and the file such a
        # build writes: the very bytes --rebuild wrote.
        expected = answers(without_file=True)
        self.assertEqual(file_bytes(), rebuilt)
        self.assertEqual(check("--rebuild"), ("current", True, True))
        self.assertEqual(file_bytes(), rebuilt)
        self.assertEqual(answers(without_file=False), expected)
        # A file cut short is of no use until it is written anew.
        with open(derived, "r+b") as f:
            f.truncate(len(rebuilt) - 1)
        self.assertEqual(check("--rebuild"), ("stale", True, True))
        self.assertEqual(file_bytes(), rebuilt)

    def test_findings_are_explained_and_warned_of_by_every_command(self):
        self.books_index()
        self.ok("create", "shop/items")
        with open(os.path.join(self.dir, "books", "docs.json"), "w") as f:
            f.write("[{")
        # The load that sets the damaged file aside says so, and so does every
        # command after it, until the file is dealt with.
        err = self.run_cli("list").stderr.splitlines()
        self.assertRegex(err[0], r"^searchdb: warning: .*books/docs\.json.*\.corrupt")
        warning = "searchdb: warning: 1 set-aside file in the store; see 'searchdb check'"
        self.assertEqual(err[1:], [warning])
        for args in (["search", "books", "hobbit"], ["list"], ["get", "books", "dune"]):
            self.assertIn(warning + "\n", self.run_cli(*args).stderr)
        os.makedirs(os.path.join(self.dir, "old", "idx"))
        self.write(os.path.join(self.dir, "old", "idx", "meta.json"), '{"primary_key":"id"}')
        self.write(os.path.join(self.dir, "shop", "items", "docs.json.found.2"), "[]")
        os.symlink(self.tmp, os.path.join(self.dir, "loop"))
        # A document stored while a host's locale wrote decimal commas.
        self.write(os.path.join(self.dir, "shop", "items", "docs.json"),
                   json.dumps([{"__id": "1", "raw": '{"id":1,"price":1,5}'},
                               {"__id": "2", "raw": '{"id":2,"price":2}'}]))
        result = self.run_cli("check")
        self.assertEqual(result.returncode, 1, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual([line for line in lines if not line.startswith("  ")], [
            "index 'books': 0 documents, 0 terms, derived file missing",
            "index 'shop/items': 2 documents, 1 term, derived file missing",
            "set aside: books/docs.json.corrupt",
            "set aside: shop/items/docs.json.found.2",
            "not listed: old/idx",
            """not JSON: index 'shop/items', document '1': {"id":1,"price":1,5}""",
            "4 things to report",
        ])
        # Each finding says what it is and what to do.
        self.assertIn("documents of the index 'books' that did not load", lines[3])
        self.assertIn("'searchdb check --clear-set-aside books'", lines[3])
        self.assertIn("'searchdb check --clear-set-aside shop/items'", lines[5])
        self.assertIn("no command reaches it", lines[7])
        self.assertIn("add it again", lines[9])
        report = json.loads(self.run_cli("check", "--json").stdout)
        # Each index held in memory is compared with a rebuild of its documents.
        self.assertEqual([(i["name"], i["consistent"]) for i in report["indexes"]],
                         [("books", True), ("shop/items", True)])
        self.assertEqual((report["set_aside"], report["not_listed"], report["not_json"],
                          report["problems"]),
                         (["books/docs.json.corrupt", "shop/items/docs.json.found.2"], ["old/idx"],
                          [{"index": "shop/items", "id": "1", "text": '{"id":1,"price":1,5}'}],
                          4))
        only = self.run_cli("check", "shop/items")
        self.assertEqual(only.returncode, 1)
        self.assertEqual([line for line in only.stdout.splitlines()[1:]
                          if not line.startswith("  ")], [
            "set aside: shop/items/docs.json.found.2",
            """not JSON: index 'shop/items', document '1': {"id":1,"price":1,5}""",
            "2 things to report"])
        self.assertIn("index 'nope' not found", self.fails(1, "check", "nope"))

    def test_clearing_set_aside_files_asks_and_never_follows_a_link(self):
        self.books_index()
        outside = self.write("outside.corrupt", "keep me")
        books = os.path.join(self.dir, "books")
        for name in ("docs.json.corrupt", "docs.json.corrupt.2", "meta.json.found"):
            self.write(os.path.join(books, name), "[]")
        os.symlink(outside, os.path.join(books, "link.corrupt"))
        os.symlink(books, os.path.join(self.dir, "linked"))
        present = sorted(os.listdir(books))
        # Off a terminal it needs --yes, and removes nothing without it.
        err = self.fails(1, "check", "--clear-set-aside", "books")
        self.assertIn("3 files set aside in 'books'; give --yes", err)
        self.assertIn("not a directory of the store",
                      self.fails(1, "check", "--clear-set-aside", "linked", "--yes"))
        self.assertIn("not a directory of the store",
                      self.fails(1, "check", "--clear-set-aside", "shop/../books", "--yes"))
        self.assertEqual(sorted(os.listdir(books)), present)
        self.assertEqual(self.ok("check", "--clear-set-aside", "books", "--yes").splitlines(), [
            "removed books/docs.json.corrupt", "removed books/docs.json.corrupt.2",
            "removed books/meta.json.found"])
        removed = {"docs.json.corrupt", "docs.json.corrupt.2", "meta.json.found"}
        self.assertEqual(sorted(os.listdir(books)), [n for n in present if n not in removed])
        with open(outside) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertEqual(json.loads(self.ok("check", "--clear-set-aside", "books", "--yes",
                                            "--json")), {"removed": []})
        self.assertEqual(self.run_cli("list").stderr, "")
        self.assertEqual(self.ok("check").splitlines()[-1], "nothing to report")

    def test_a_read_only_store_is_named_only_when_a_change_is_tried(self):
        self.books_index()
        lock = os.path.join(self.dir, "_indexes", "lock")
        if os.geteuid() == 0:
            # Root may write anywhere: run the tool as a user who may not.
            os.chmod(self.tmp, 0o755)
            wrap = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        else:
            os.chmod(lock, 0o444)
            wrap = []
        reason = f"lock {lock}: Permission denied"

        def run(*args):
            return subprocess.run(wrap + [CLI, "--dir", self.dir] + list(args), text=True,
                                  capture_output=True, env=self.env, cwd=self.tmp, timeout=60)

        for args in (["list"], ["search", "books", "dune"], ["get", "books", "dune"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stderr), (0, ""), args)
        for args in (["add", "books", '{"id": "x"}'], ["delete", "books", "dune"],
                     ["drop", "books"], ["create", "more"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stderr),
                             (1, f"searchdb: {args[0]}: the store at {self.dir} is read-only: "
                                 f"{reason}\n"), args)
        result = run("check")
        self.assertEqual(result.returncode, 1)
        lines = [line for line in result.stdout.splitlines() if not line.startswith("  ")]
        self.assertRegex(lines[0], r"^index 'books': 3 documents, \d+ terms, derived file \w+$")
        self.assertEqual(lines[1:], [f"not verified: the store is read-only ({reason})",
                                     "1 thing to report"])
        result = run("check", "--rebuild")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", f"searchdb: check: the store at {self.dir} is read-only: "
                                 f"{reason}\n"))
        self.assertEqual(json.loads(run("check", "--json").stdout)["not_verified"], reason)


class LocaleTest(CliCase):
    def test_numbers_do_not_follow_a_decimal_comma_locale(self):
        # A locale of its own, so that the test needs none installed.
        locales = os.path.join(self.tmp, "locales")
        os.mkdir(locales)
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8",
                        os.path.join(locales, "de_DE.UTF-8")], check=True, capture_output=True)
        comma = dict(self.env, LOCPATH=locales, LC_ALL="de_DE.UTF-8")
        point = subprocess.run(["locale", "decimal_point"], env=comma, capture_output=True,
                               text=True)
        self.assertEqual(point.stdout.strip(), ",", point.stderr)
        script = "\n".join([
            "create books",
            'add books {"id": 1, "price": 1.5, "title": "Dune", "n": [0.25, 1e-7]}',
            "get books 1", "stats books", "stats books --table",
            "search books dune --table --limit 1", "check --json",
        ]) + "\n"
        outputs = {}
        for name, env in (("C", self.env), ("comma", comma)):
            shutil.rmtree(self.dir, ignore_errors=True)
            outputs[name] = self.ok("shell", stdin=script, env=env).splitlines()
        comma_lines = outputs["comma"]
        self.assertRegex(comma_lines[1], r" in \d+\.\d\d s: 1 new, 0 replaced$")
        self.assertEqual(json.loads(comma_lines[2]),
                         {"id": 1, "price": 1.5, "title": "Dune", "n": [0.25, 1e-7]})
        self.assertEqual(json.loads(comma_lines[3])["bm25"], {"k1": 1.2, "b": 0.75})
        self.assertRegex(comma_lines[-2], r'^1-1 of 1 hit for "dune" \(\d+\.\d+ ms\)$')
        timed = (1, len(comma_lines) - 2)
        self.assertEqual([l for i, l in enumerate(comma_lines) if i not in timed],
                         [l for i, l in enumerate(outputs["C"]) if i not in timed])


class ShellTest(CliCase):
    def test_commands_from_stdin_share_one_session(self):
        books = self.write("books.json", json.dumps(BOOKS[:2]))
        script = "\n".join([
            "# a comment, then a blank line",
            "",
            "create books",
            f"add books '{books}'",
            'add books {"id": "dune", "title": "Dune", "note": "it\'s \\"sand\\""}',
            "search books \"lord of\" --limit 1",
            "get books dune",
            "stats books --table",
            "add books -",
            json.dumps({"id": "typed", "title": "Typed in"}),
            json.dumps({"id": "typed2"}),
        ]) + "\n"
        out = self.ok("shell", stdin=script)
        lines = out.splitlines()
        self.assertEqual(lines[0], "created index 'books' (primary key 'id')")
        self.assertIn("added 2 documents", lines[1])
        self.assertIn("added 1 document", lines[2])
        self.assertEqual([h["id"] for h in json.loads(lines[3])["hits"]], ["lotr"])
        self.assertEqual(json.loads(lines[4]), {"id": "dune", "title": "Dune",
                                                "note": "it's \"sand\""})
        self.assertIn("documents", out)
        self.assertIn("added 2 documents", lines[-1])
        self.assertNotIn("searchdb>", out)
        self.assertEqual(json.loads(self.ok("stats", "books"))["document_count"], 5)

    def test_status_is_that_of_the_last_command(self):
        self.fails(1, "shell", stdin="create a\nget a missing\n")
        self.ok("shell", stdin="get a missing\nlist\n")
        self.fails(2, "shell", stdin="search a 'unterminated\n")

    def test_errors_do_not_end_the_session(self):
        result = self.run_cli("shell", stdin="\n".join([
            "create a", "create a", "frob", "list --dir /elsewhere", "shell", "help", "list",
            "exit", "create never",
        ]) + "\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("index 'a' already exists", result.stderr)
        self.assertIn("unknown command 'frob'; 'help' lists the commands", result.stderr)
        self.assertIn("the shell's storage directory is fixed", result.stderr)
        self.assertIn("unknown command 'shell'", result.stderr)
        self.assertIn("Ctrl-R searches the", result.stdout)
        self.assertNotIn("--dir", result.stdout)  # help shows what the shell takes
        self.assertIn('[{"name":"a","primary_key":"id"}]', result.stdout)
        self.assertNotIn("never", self.ok("list"))

    def test_quoting_rules(self):
        out = self.ok("shell", stdin="\n".join([
            "create 'two words'",
            'create "quo\\"te"',
            "create back\\ slash",
            "create 'it'\\''s'",
            "list",
            "create notes",
            # An apostrophe between letters is part of the word.
            'add notes {"id": 1, "text": "it\'s late"}',
            "search notes it's",
        ]) + "\n")
        lines = out.splitlines()
        names = [i["name"] for i in json.loads(lines[4])]
        self.assertEqual(names, ["two words", 'quo"te', "back slash", "it's"])
        self.assertEqual(json.loads(lines[-1])["hits"], [{"id": 1, "text": "it's late"}])
        self.assertEqual(json.loads(lines[-1])["query"], "it's")
        result = self.run_cli("shell", stdin="get 'two words' O'Brien\n")
        self.assertIn("document 'O'Brien' not found", result.stderr)

    def test_a_document_deleted_in_the_session_cannot_be_deleted_again(self):
        self.books_index()
        result = self.run_cli("shell", stdin="delete books dune\ndelete books dune\n")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "deleted document 'dune' from 'books'\n")
        self.assertIn("searchdb: delete: document 'dune' deleted", result.stderr)


class TerminalTest(CliCase):
    """The tool on a terminal: the shell's keys in tmux, the progress bar on a
    pseudo-terminal."""

    def start(self, *args):
        """Runs the tool in a tmux terminal of its own; once it ends, the
        screen shows its exit status."""
        self.start_command([CLI, "--dir", self.dir] + list(args))

    def start_command(self, argv):
        self.socket = tempfile.mktemp(prefix="tmux-", dir=self.tmp)
        env = " ".join(f"{k}={shlex.quote(v)}" for k, v in
                       [("HOME", self.tmp), ("COLUMNS", "100"), ("LANG", "C.UTF-8")])
        command = " ".join(shlex.quote(a) for a in argv)
        # The shell around the tool outlives Ctrl-C, to show the tool's status.
        script = (f"trap : INT; cd {shlex.quote(self.tmp)}; env {env} {command}; "
                  "echo \"[exit $?]\"; sleep 600")
        subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", "new-session", "-d",
                        "-x", "100", "-y", "40", "sh", "-c", script], check=True, env=self.env)
        self.addCleanup(subprocess.run, ["tmux", "-S", self.socket, "kill-server"],
                        capture_output=True)

    def screen(self):
        return subprocess.run(["tmux", "-S", self.socket, "capture-pane", "-p", "-J"],
                              capture_output=True, text=True, check=True).stdout

    def wait_for(self, text, count=1, timeout=30):
        """Waits until text shows on the screen count times; returns the screen."""
        deadline = time.time() + timeout
        while True:
            screen = self.screen()
            if screen.count(text) >= count:
                return screen
            if time.time() > deadline:
                self.fail(f"no {text!r} (x{count}) on the screen:\n{screen}")
            time.sleep(0.05)

    def keys(self, *keys):
        subprocess.run(["tmux", "-S", self.socket, "send-keys"] + list(keys), check=True)

    def test_shell_keys(self):
        self.ok("create", "books")
        self.ok("create", "shop/items")
        self.ok("create", "two words")
        self.ok("create", "two ways")
        with open(os.path.join(self.tmp, ".searchdb_history"), "w", encoding="utf-8") as f:
            f.write("stats shop/items --table\n")
        self.start("shell")
        self.wait_for("searchdb> ")
        # Tab completes a command name, then an index name.
        self.keys("ad", "Tab", "bo", "Tab", '{"id": "é1", "title": "Ünïcode"}', "Enter")
        self.wait_for("added 1 document to 'books'")
        # Ctrl-R finds the line the last session left in the history.
        self.keys("C-r", "shop/", "Enter")
        self.wait_for("primary key     id")
        # Ctrl-C gives up a line unrun; the line after it runs.
        self.keys("drop books", "C-c")
        self.wait_for("drop books^C")
        self.keys("get books é1", "Enter")
        self.wait_for('"title": "Ünïcode"')
        # Ctrl-D leaves with status 0, even after a refused command.
        self.keys("get books missing", "Enter")
        self.wait_for("document 'missing' not found")
        # A name with a blank is completed quoted, so that it stays one word.
        self.keys("stats tw", "Tab")
        self.wait_for("searchdb> stats 'two w")
        self.keys("o", "Tab", "Enter")
        self.wait_for("index           two words")
        self.keys("C-d")
        self.wait_for("[exit 0]")
        self.assertEqual([i["name"] for i in json.loads(self.ok("list"))],
                         ["books", "shop/items", "two words", "two ways"])
        with open(os.path.join(self.tmp, ".searchdb_history"), encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), [
                "stats shop/items --table",
                'add books {"id": "é1", "title": "Ünïcode"}',
                "stats shop/items --table",
                "get books é1",
                "get books missing",
                "stats 'two words' ",
            ])

    def test_bash_completes_index_names_quoted(self):
        self.ok("create", "two words")
        self.ok("create", "tiny")
        prefix = os.path.dirname(os.path.dirname(CLI))
        script = os.path.join(prefix, "share", "bash-completion", "completions", "searchdb")
        rc = self.write("bashrc", f"PS1='$ '\nPATH={shlex.quote(os.path.dirname(CLI))}:$PATH\n"
                                  f"source {shlex.quote(script)}\n")
        self.start_command(["bash", "--noprofile", "--rcfile", rc, "-i"])
        self.wait_for("$ ")
        store = shlex.quote(self.dir)
        self.keys(f"searchdb --dir {store} stats tw", "Tab")
        self.wait_for("stats two\\ words ")
        self.keys("C-u", f"searchdb --dir {store} stats 'tw", "Tab")
        self.wait_for("stats 'two words' ")
        self.keys("C-u", f"searchdb --dir {store} stats t", "Tab", "Tab")
        self.wait_for("tiny        two\\ words")
        self.keys("C-u", "exit", "Enter")
        self.wait_for("[exit 0]")

    def test_clearing_set_aside_files_asks_on_a_terminal(self):
        self.ok("create", "books")
        aside = self.write(os.path.join(self.dir, "books", "docs.json.corrupt"), "[]")
        self.start("check", "--clear-set-aside", "books")
        self.wait_for("will remove books/docs.json.corrupt")
        self.wait_for("remove this file? [y/N]")
        self.keys("n", "Enter")
        self.wait_for("nothing removed")
        self.wait_for("[exit 1]")
        self.assertTrue(os.path.exists(aside))
        self.start("check", "--clear-set-aside", "books")
        self.wait_for("[y/N]")
        self.keys("y", "Enter")
        self.wait_for("removed books/docs.json.corrupt")
        self.wait_for("[exit 0]")
        self.assertFalse(os.path.exists(aside))

    def test_ctrl_c_stops_a_running_add_and_the_prompt_comes_back(self):
        self.ok("create", "many")
        path = self.write("many.jsonl", "\n".join(
            json.dumps({"id": f"d{i}", "text": f"word {i}"}) for i in range(5000)) + "\n")
        self.start("shell")
        self.wait_for("searchdb> ")
        # One document a batch: every batch rewrites the index, so this is slow.
        self.keys(f"add many {path} --batch 1", "Enter")
        self.wait_for("/5000 documents")
        self.keys("C-c")
        screen = self.wait_for("searchdb> ", count=2)
        stopped = next(line for line in screen.splitlines() if "interrupted;" in line)
        stored = int(stopped.split("; ")[1].split()[0])
        self.assertIn(f"the first not stored is 'd{stored}' ({path}:{stored + 1})", stopped)
        self.keys("stats many", "Enter")
        self.wait_for(f"documents       {stored}")
        self.keys("exit", "Enter")
        self.wait_for("[exit 0]")

    def test_terminal_input_ends_at_the_first_ctrl_d(self):
        self.ok("create", "books")
        self.start("shell")
        self.wait_for("searchdb> ")
        self.keys("add books -", "Enter")
        self.wait_for("end with Ctrl-D")
        self.keys(compact(BOOKS[0]), "Enter", compact(BOOKS[1]), "Enter", "C-d")
        self.wait_for("added 2 documents to 'books'")
        self.wait_for("searchdb> ", count=2)
        self.keys("exit", "Enter")
        self.wait_for("[exit 0]")
        # Outside the shell too; Ctrl-D after text on the line ends it as well.
        self.start("add", "books")
        self.wait_for("end with Ctrl-D")
        self.keys(compact(BOOKS[2]), "C-d")
        self.wait_for("added 1 document to 'books'")
        self.wait_for("[exit 0]")
        self.assertEqual(json.loads(self.ok("stats", "books"))["document_count"], 3)

    def test_progress_bar_on_a_terminal(self):
        self.ok("create", "books")
        docs = "\n".join(json.dumps({"id": i}) for i in range(30)) + "\n"
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--dir", self.dir, "add", "books", "--batch", "10"],
                                stdin=subprocess.PIPE, stdout=slave, stderr=slave, env=self.env,
                                cwd=self.tmp, start_new_session=True)
        os.close(slave)
        proc.stdin.write(docs.encode())
        proc.stdin.close()
        out = b""
        deadline = time.time() + 30
        while b"added 30 documents" not in out and time.time() < deadline:
            if select.select([master], [], [], 1)[0]:
                try:
                    out += os.read(master, 4096)
                except OSError:
                    break
        proc.wait(timeout=30)
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        text = out.decode("utf-8", "replace")
        self.assertIn("[################--------] 20/30 documents", text)
        self.assertRegex(text, r"20/30 documents  \d+/s  \d+:\d\d left")


if __name__ == "__main__":
    unittest.main()
