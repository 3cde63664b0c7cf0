#!/usr/bin/env python3
"""The searchdb command-line tool, run as a user runs it.

SEARCHDB_CLI names the built tool; every test works in its own temporary
storage directory.
"""
import json
import os
import pty
import select
import shutil
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


class CliCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-cli-")
        self.dir = os.path.join(self.tmp, "store")
        self.env = {k: v for k, v in os.environ.items() if k != "SEARCHDB_DIR"}
        self.env.update(COLUMNS="100", HOME=self.tmp, TERM="xterm")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

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
    def test_help_is_answered_without_touching_storage(self):
        self.assertIn("usage: searchdb [--dir DIR] COMMAND", self.ok("--help"))
        for command in ["create", "drop", "list", "add", "get", "delete", "search", "stats",
                        "shell", "help"]:
            self.assertIn("usage: searchdb " + command, self.ok(command, "--help"))
            self.assertIn("usage: searchdb " + command, self.ok("help", command))
        self.assertFalse(os.path.exists(self.dir))

    def test_usage_errors_exit_2_with_usage_text_and_touch_no_storage(self):
        cases = [
            ([], "no command given"),
            (["frobnicate"], "unknown command 'frobnicate'"),
            (["list", "--frob"], "unknown option '--frob'"),
            (["search", "books"], "'search' needs more arguments"),
            (["get", "books", "a", "b"], "'get' takes at most 2 arguments"),
            (["search", "books", "x", "--limit", "-1"], "--limit needs a whole number"),
            (["search", "books", "x", "--offset", "ten"], "--offset needs a whole number"),
            (["add", "books", "--batch", "0"], "--batch needs a whole number from 1"),
            (["search", "books", "x", "--limit"], "option '--limit' needs a value"),
            (["list", "--json=yes"], "option '--json' takes no value"),
            (["list", "--limit", "3"], "'list' takes no option '--limit'"),
            (["stats", "books", "--json", "--table"], "--json and --table exclude each other"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                err = self.fails(2, *args)
                self.assertIn(message, err)
                self.assertIn("usage: searchdb", err)
        self.assertFalse(os.path.exists(self.dir))

    def test_options_may_follow_arguments_and_take_equals_form(self):
        self.books_index()
        first = json.loads(self.ok("search", "books", "fantasy", "--limit=1"))
        self.assertEqual(first["limit"], 1)
        self.assertEqual(len(first["hits"]), 1)
        second = json.loads(self.ok("--limit", "1", "--offset=1", "search", "books", "fantasy"))
        self.assertEqual(second["offset"], 1)
        self.assertNotEqual(self.ids(self.ok("search", "books", "fantasy", "--limit=1")),
                            [hit["id"] for hit in second["hits"]])

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


class IndexCommandsTest(CliCase):
    def test_create_list_and_drop(self):
        self.assertEqual(self.ok("list"), "[]\n")
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
        self.assertIn("searchdb: drop: index 'nope' not found", self.fails(1, "drop", "nope"))
        self.assertIn("index 'nope' not found", self.fails(1, "stats", "nope"))
        self.assertIn("index 'nope' not found", self.fails(1, "search", "nope", "x"))
        self.assertIn("index 'nope' not found", self.fails(1, "add", "nope", stdin="{}"))

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

    def test_every_input_form_from_file_and_stdin(self):
        obj = compact(BOOKS[0])
        array = json.dumps(BOOKS, indent=2)
        lines = "\n".join(json.dumps(b) for b in BOOKS) + "\n"
        for name, text, count in [("object", obj, 1), ("array", array, 3), ("lines", lines, 3)]:
            for source in ["file", "dash", "implicit"]:
                with self.subTest(form=name, source=source):
                    self.ok("drop", "books")
                    self.ok("create", "books")
                    if source == "file":
                        out = self.ok("add", "books", self.write(name + ".json", text))
                    elif source == "dash":
                        out = self.ok("add", "books", "-", stdin=text)
                    else:
                        out = self.ok("add", "books", stdin=text)
                    self.assertIn(f"added {count} document", out)
                    self.assertEqual(self.stored("hobbit"), compact(BOOKS[0]))
                    self.assertEqual(json.loads(self.ok("stats", "books"))["document_count"],
                                     count)

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
        for doc_id in ["7", "u", "n"]:
            with self.subTest(doc_id=doc_id):
                self.assertEqual(self.stored(doc_id), self.ok("get", "single", doc_id).rstrip())

    def test_syntax_error_names_its_line_and_stores_nothing(self):
        err = self.fails(1, "add", "books", stdin='[\n  {"id": "a"},\n  {"id": "b",}\n]')
        self.assertIn("line 3, column", err)
        self.assertIn("invalid JSON", err)
        lines = compact(BOOKS[0]) + "\n" + compact(BOOKS[1]) + "\n{\"id\": \"x\"\n"
        err = self.fails(1, "add", "books", stdin=lines)
        self.assertIn("line 3, column 11: invalid JSON: unexpected end of data", err)
        self.assertEqual(json.loads(self.ok("stats", "books"))["document_count"], 0)

    def test_unreadable_file_exits_1_naming_it(self):
        missing = os.path.join(self.tmp, "missing.json")
        self.assertIn(missing + ": No such file", self.fails(1, "add", "books", missing))

    def test_single_value_is_judged_by_the_library(self):
        err = self.fails(1, "add", "books", stdin='"just a string"')
        self.assertIn("documents_json must be an object or array of objects", err)
        err = self.fails(1, "add", "books", stdin='{"title": "no id"}')
        self.assertIn("searchdb: add: document missing primary key 'id'", err)

    def test_refused_batch_stops_the_run_and_reports_its_position(self):
        docs = [{"id": str(i), "title": f"book {i}"} for i in range(1, 6)]
        del docs[3]["id"]
        text = "\n".join(json.dumps(d) for d in docs) + "\n"
        err = self.fails(1, "add", "books", "--batch", "2", stdin=text)
        self.assertIn("batch 2 of 3 (documents 3-4, lines 3-4) was refused: "
                      "document missing primary key 'id'", err)
        self.assertIn("2 documents were stored before it", err)
        self.ok("get", "books", "2")
        self.assertIn("document '3' not found", self.fails(1, "get", "books", "3"))
        self.assertIn("document '5' not found", self.fails(1, "get", "books", "5"))

    def test_refused_array_batch_reports_document_positions(self):
        docs = [{"id": "a"}, {"id": "b"}, 42]
        err = self.fails(1, "add", "books", "--batch", "2", stdin=json.dumps(docs))
        self.assertIn("batch 2 of 2 (documents 3-3) was refused", err)
        self.assertIn("2 documents were stored before it", err)

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

    def test_table_fits_the_terminal_and_shows_the_match_in_long_text(self):
        long_text = " ".join(["filler"] * 60) + " needle " + " ".join(["straw"] * 60)
        self.ok("add", "books", stdin=json.dumps(
            {"id": "long-identifier-that-does-not-fit", "title": "Ü" * 80,
             "body": long_text}))
        for columns in [60, 100, 160]:
            with self.subTest(columns=columns):
                env = dict(self.env, COLUMNS=str(columns))
                out = self.run_cli("search", "books", "needle", "--table", env=env).stdout
                row = out.splitlines()[1]
                self.assertLessEqual(len(row), columns)
                self.assertIn("[needle]", row)
                self.assertIn("body: …", row)
                self.assertTrue(row.endswith("…"), row)

    def test_stdout_that_is_not_a_terminal_gets_json(self):
        self.assertEqual(json.loads(self.ok("search", "books", "dune"))["totalHits"], 1)
        self.assertEqual(json.loads(self.ok("stats", "books"))["name"], "books")


class ShellTest(CliCase):
    def test_commands_from_stdin_share_one_session(self):
        books = self.write("books.json", json.dumps(BOOKS))
        script = "\n".join([
            "# a comment, then a blank line",
            "",
            "create books",
            f"add books '{books}'",
            "search books \"lord of\" --limit 1",
            "get books dune",
            "stats books --table",
        ]) + "\n"
        out = self.ok("shell", stdin=script)
        lines = out.splitlines()
        self.assertEqual(lines[0], "created index 'books' (primary key 'id')")
        self.assertIn("added 3 documents", lines[1])
        self.assertEqual([h["id"] for h in json.loads(lines[2])["hits"]], ["lotr"])
        self.assertEqual(json.loads(lines[3]), BOOKS[2])
        self.assertIn("documents", out)
        self.assertNotIn("searchdb>", out)

    def test_status_is_that_of_the_last_command(self):
        self.fails(1, "shell", stdin="create a\nget a missing\n")
        self.ok("shell", stdin="get a missing\nlist\n")
        self.fails(2, "shell", stdin="search a 'unterminated\n")

    def test_errors_do_not_end_the_session(self):
        result = self.run_cli("shell", stdin="\n".join([
            "create a", "create a", "frob", "list --dir /elsewhere", "shell", "add a",
            "add a -", "help", "list", "exit", "create never",
        ]) + "\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("index 'a' already exists", result.stderr)
        self.assertIn("unknown command 'frob'", result.stderr)
        self.assertIn("the shell's storage directory is fixed", result.stderr)
        self.assertIn("unknown command 'shell'", result.stderr)
        self.assertEqual(result.stderr.count("in the shell 'add' reads a FILE"), 2)
        self.assertIn("exit, quit", result.stdout)
        self.assertIn('[{"name":"a","primary_key":"id"}]', result.stdout)
        self.assertNotIn("never", self.ok("list"))

    def test_quoting_rules(self):
        out = self.ok("shell", stdin="\n".join([
            "create 'two words'",
            'create "quo\\"te"',
            "create back\\ slash",
            "list",
        ]) + "\n")
        names = [i["name"] for i in json.loads(out.splitlines()[-1])]
        self.assertEqual(names, ["two words", 'quo"te', "back slash"])


class TerminalTest(CliCase):
    """The line editor and the progress bar, on a pseudo-terminal."""

    def spawn(self, *args, stdin_tty=True):
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--dir", self.dir] + list(args),
                                stdin=slave if stdin_tty else subprocess.PIPE,
                                stdout=slave, stderr=slave, env=self.env, cwd=self.tmp,
                                start_new_session=True)
        os.close(slave)
        self.output = b""
        return proc, master

    def read_until(self, master, marker, timeout=20):
        """Reads until marker appears after what earlier calls matched, and
        returns the output up to the end of the marker."""
        deadline = time.time() + timeout
        while marker.encode() not in self.output:
            ready, _, _ = select.select([master], [], [], max(0, deadline - time.time()))
            if not ready:
                self.fail(f"no {marker!r} in {self.output!r}")
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                self.fail(f"output ended without {marker!r}: {self.output!r}")
            self.output += chunk
        end = self.output.index(marker.encode()) + len(marker)
        seen, self.output = self.output[:end], self.output[end:]
        return seen.decode("utf-8", "replace")

    def type_line(self, master, keys):
        # Keys go out only once the editor shows its prompt: typed earlier,
        # the terminal's own line editing would take them.
        self.read_until(master, "searchdb> ")
        os.write(master, keys)

    def finish(self, proc, master):
        try:
            proc.wait(timeout=20)
        finally:
            os.close(master)

    def test_line_editing_and_history(self):
        proc, master = self.spawn("shell")
        # "crate books", then Home, Right twice, type "e": "create books".
        self.type_line(master, b"crate books\x1b[H\x1b[C\x1b[Ce\r")
        self.read_until(master, "created index 'books'")
        # Ctrl-U clears the line, Ctrl-W deletes "junk", Backspace the blank,
        # and four Left moves reach the place of the missing "e".
        self.type_line(master, b"garbage\x15create xtra junk\x17\x7f\x1b[D\x1b[D\x1b[D\x1b[De\r")
        self.read_until(master, "created index 'extra'")
        # Up twice recalls "create books"; the library refuses it again.
        self.type_line(master, b"\x1b[A\x1b[A\r")
        self.read_until(master, "index 'books' already exists")
        # Ctrl-C abandons a line; Ctrl-D on an empty line ends the shell.
        self.type_line(master, b"drop books\x03")
        self.read_until(master, "^C")
        self.type_line(master, b"\x04")
        self.finish(proc, master)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual([i["name"] for i in json.loads(self.ok("list"))], ["books", "extra"])
        with open(os.path.join(self.tmp, ".searchdb_history"), encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(),
                             ["create books", "create extra", "create books"])

    def test_history_is_loaded_by_the_next_session(self):
        with open(os.path.join(self.tmp, ".searchdb_history"), "w", encoding="utf-8") as f:
            f.write("create remembered\n")
        proc, master = self.spawn("shell")
        self.type_line(master, b"\x1b[A\r")
        self.read_until(master, "created index 'remembered'")
        self.type_line(master, b"exit\r")
        self.finish(proc, master)
        self.assertEqual(proc.returncode, 0)

    def test_progress_bar_on_a_terminal(self):
        self.ok("create", "books")
        docs = "\n".join(json.dumps({"id": i}) for i in range(30)) + "\n"
        proc, master = self.spawn("add", "books", "--batch", "10", stdin_tty=False)
        proc.stdin.write(docs.encode())
        proc.stdin.close()
        out = self.read_until(master, "added 30 documents")
        self.finish(proc, master)
        self.assertEqual(proc.returncode, 0)
        self.assertIn("[################--------] 20/30 documents", out)
        self.assertRegex(out, r"20/30 documents  \d+/s  \d+:\d\d left")


if __name__ == "__main__":
    unittest.main()
