"""The searchdb Python package, run against the library named by
SEARCHDB_LIBRARY. Every test works in its own temporary directory."""
import collections
import collections.abc
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock
import warnings

import searchdb
from searchdb import (Database, DocumentNotFound, Index, IndexNotFound, SearchdbError,
                      SearchdbWarning)

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

BOOKS = [
    {"id": "hobbit", "title": "The Hobbit", "author": "J. R. R. Tolkien", "year": 1937},
    {"id": "lotr", "title": "The Lord of the Rings", "author": "J. R. R. Tolkien", "year": 1954},
    {"id": "dune", "title": "Dune", "author": "Frank Herbert", "year": 1965},
    {"id": 42, "title": "The Hitchhiker's Guide to the Galaxy", "author": "Douglas Adams"},
]


class DatabaseCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-py-")
        self.path = os.path.join(self.tmp, "store")
        self.db = Database(self.path)  # open: one Database at a time, so close it first

    def tearDown(self):
        self.db.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def books(self):
        books = self.db.create_index("books")
        books.add(BOOKS)
        return books

    def python(self, code, env):
        return subprocess.run([sys.executable, "-B", "-c", code], capture_output=True,
                              text=True, env=env, timeout=120)


class LifecycleTest(DatabaseCase):
    def test_database_opens_when_made_and_open_on_an_open_one_does_nothing(self):
        self.assertFalse(self.db.closed)
        self.db.create_index("books").add(BOOKS[0])
        self.assertIs(self.db.open(), self.db)  # the README's with statement does the same
        with self.db as db:
            self.assertEqual(db["books"]["hobbit"], BOOKS[0])
        self.assertTrue(self.db.closed)
        with self.assertRaisesRegex(SearchdbError, "is closed"):
            self.db.indexes()
        self.db.close()  # closing again is harmless
        with self.db:  # a closed Database opens again
            self.assertEqual(list(self.db), ["books"])
        self.assertIs(self.db.open(), self.db)
        self.assertEqual(len(self.db["books"]), 1)

    def test_changes_survive_closing_and_reopening(self):
        self.books()
        self.db["books"].delete("dune")
        self.db.close()
        with Database(self.path) as db:
            self.assertEqual(len(db["books"]), 3)
            self.assertEqual(db["books"]["hobbit"], BOOKS[0])
            with self.assertRaisesRegex(DocumentNotFound, "^document 'dune' not found$"):
                db["books"]["dune"]

    def test_only_one_database_is_open_per_process(self):
        other = os.path.join(self.tmp, "other")
        with self.assertRaisesRegex(SearchdbError, "another Database is open in this process"):
            Database(other)
        self.assertFalse(os.path.exists(other))
        self.db.close()
        with Database(other) as db:
            self.assertEqual(db.indexes(), [])
            with self.assertRaisesRegex(SearchdbError, "another Database is open"):
                self.db.open()
        self.db.open()

    def test_index_of_a_closed_database_refuses(self):
        books = self.books()
        self.db.close()
        with self.assertRaisesRegex(SearchdbError, "is closed"):
            books.search("dune")
        with Database(self.path):  # another object on the same directory
            with self.assertRaisesRegex(SearchdbError, "is closed"):
                books.get("dune")

    def test_empty_path_is_refused_by_the_library(self):
        self.db.close()
        with self.assertRaises(SearchdbError) as caught:
            Database("")
        self.assertEqual(caught.exception.message, "storage_dir empty")
        self.db.open()  # the failed open left the process free

    def test_a_note_from_opening_is_a_warning(self):
        self.books()
        self.db.close()
        with open(os.path.join(self.path, "books", "docs.json"), "w") as f:
            f.write("{damaged")
        with self.assertWarns(SearchdbWarning) as caught:
            self.db.open()
        self.assertIn("docs.json.corrupt", str(caught.warning))
        self.assertEqual(len(self.db["books"]), 0)
        self.db.close()
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a clean directory opens silently
            self.db.open()

    def test_path_like_objects_are_accepted(self):
        import pathlib
        self.db.close()
        with Database(pathlib.Path(self.path)) as db:
            db.create_index("x")
        self.assertTrue(os.path.isdir(os.path.join(self.path, "x")))


class IndexManagementTest(DatabaseCase):
    def test_create_list_and_drop(self):
        self.assertEqual(self.db.indexes(), [])
        self.db.create_index("books")
        shop = self.db.create_index("shop/items", primary_key="sku")
        self.assertEqual(self.db.indexes(), [{"name": "books", "primary_key": "id"},
                                             {"name": "shop/items", "primary_key": "sku"}])
        self.assertEqual(shop.primary_key, "sku")
        self.assertIn("books", self.db)
        self.assertEqual((list(self.db), len(self.db)), (["books", "shop/items"], 2))
        self.db.drop_index("books")
        self.assertNotIn("books", self.db)
        # A missing name is a KeyError, as in a dict, and a library failure.
        for call in (lambda: self.db["books"], lambda: self.db.index("books"),
                     lambda: self.db.drop_index("books"), lambda: self.db["b" * 5000]):
            with self.assertRaises(IndexNotFound) as caught:
                call()
            self.assertIsInstance(caught.exception, KeyError)
            self.assertIsInstance(caught.exception, SearchdbError)
        with self.assertRaisesRegex(IndexNotFound, "^index 'books' not found$"):
            self.db["books"]

    def test_library_refusals_carry_its_message(self):
        self.db.create_index("books")
        with self.assertRaises(SearchdbError) as caught:
            self.db.create_index("books")
        self.assertEqual(str(caught.exception), "index 'books' already exists")
        with self.assertRaisesRegex(SearchdbError, "^index name empty$"):
            self.db.create_index("")
        with self.assertRaisesRegex(SearchdbError, "^index 'nope' not found$"):
            self.db.drop_index("nope")
        # Failures that are not about a missing name stay plain errors.
        self.db.close()
        with self.assertRaises(SearchdbError) as caught:
            self.db["books"]
        self.assertNotIsInstance(caught.exception, KeyError)

    def test_create_if_missing(self):
        books = self.db.create_index("books", exist_ok=True)
        books.add(BOOKS[0])
        again = self.db.create_index("books", exist_ok=True)
        self.assertEqual(again["hobbit"], BOOKS[0])  # the index was kept as it was
        self.db.create_index("shop", primary_key="sku")
        self.assertEqual(self.db.create_index("shop", "sku", exist_ok=True).primary_key, "sku")
        with self.assertRaisesRegex(SearchdbError,
                                    "^index 'shop' already exists with primary key 'sku'$"):
            self.db.create_index("shop", exist_ok=True)
        with self.assertRaisesRegex(SearchdbError, "^index 'books' already exists$"):
            self.db.create_index("books")

    def test_bad_argument_types_and_nul_characters(self):
        with self.assertRaises(TypeError):
            self.db.create_index(b"books")
        with self.assertRaises(ValueError):
            self.db.create_index("bo\0oks")
        with self.assertRaises(TypeError):
            self.db.create_index("books", primary_key=7)


class DocumentTest(DatabaseCase):
    def test_add_one_or_many(self):
        books = self.db.create_index("books")
        self.assertEqual(books.add(BOOKS[0]), 1)
        self.assertEqual(books.add(BOOKS[1:]), 3)
        self.assertEqual(books.add(tuple(BOOKS[:2])), 2)  # replacements count
        self.assertEqual(books.add([]), 0)
        self.assertEqual(len(books), 4)

    def test_batch_is_all_or_nothing(self):
        books = self.books()
        with self.assertRaisesRegex(SearchdbError, "^document missing primary key 'id'$"):
            books.add([{"id": "new", "title": "New"}, {"title": "no id"}])
        self.assertNotIn("new", books)
        self.assertEqual(len(books), 4)

    def test_get_replace_and_delete(self):
        books = self.books()
        self.assertEqual(books[42], BOOKS[3])
        self.assertEqual(books.get("42"), BOOKS[3])
        self.assertEqual(books[42.0], BOOKS[3])
        books.add({"id": "dune", "title": "Dune Messiah"})
        self.assertEqual(books["dune"], {"id": "dune", "title": "Dune Messiah"})
        del books["dune"]
        self.assertEqual(len(books), 3)

    def test_missing_documents(self):
        books = self.books()
        books.delete("dune")
        for doc_id, message in (("dune", "^document 'dune' deleted$"),
                                ("never", "^document 'never' not found$")):
            with self.assertRaisesRegex(DocumentNotFound, message) as caught:
                books[doc_id]
            self.assertIsInstance(caught.exception, KeyError)
            self.assertIsInstance(caught.exception, SearchdbError)
            self.assertIsNone(books.get(doc_id))
            self.assertEqual(books.get(doc_id, "default"), "default")
            self.assertNotIn(doc_id, books)
        # Deleting what is not there fails alike, deleted here or never stored,
        # in the process that deleted it and after a restart.
        for doc_id in ("never", "dune"):
            with self.assertRaisesRegex(DocumentNotFound, f"^document '{doc_id}' "):
                books.delete(doc_id)
            with self.assertRaises(KeyError):
                del books[doc_id]
        self.db.close()
        self.db.open()
        with self.assertRaisesRegex(DocumentNotFound, "^document 'dune' not found$"):
            del books["dune"]
        self.assertEqual(len(books), 3)
        # A long id is cut from the library's message, and is still told apart.
        with self.assertRaises(DocumentNotFound):
            books["x" * 5000]
        # Failures that are not about the document stay plain errors.
        nope = Index(self.db, "nope")
        for call in (lambda: nope["dune"], lambda: nope.get("x"), lambda: nope.delete("dune")):
            with self.assertRaisesRegex(SearchdbError, "^index 'nope' not found$") as caught:
                call()
            self.assertNotIsInstance(caught.exception, KeyError)

    def test_number_ids_are_taken_only_when_the_library_keeps_them_exactly(self):
        # The library files a number id under the "%.0f" text of its double.
        # Differential check against the library itself: an id the package
        # takes comes back under its own decimal text, and one it refuses is
        # filed by the library (reached past the package) under another text,
        # the one the refusal names.
        ids = self.db.create_index("ids")
        rng = random.Random(2024)
        values = [0, -7, 1.5, -0.5, -0.0, 2.0, 1e20, 2 ** 53, 2 ** 53 + 1, 12345678901234567890,
                  10 ** 254, 10 ** 300, -10 ** 300]
        for _ in range(40):
            magnitude = 10 ** rng.randrange(1, 40)
            values.append(rng.choice([
                rng.randrange(-magnitude, magnitude),
                float(rng.randrange(-magnitude, magnitude)),
                rng.uniform(-1e6, 1e6),
            ]))
        taken = refused = 0
        for value in values:
            document = {"id": value, "title": "number"}
            try:
                ids.add(document)
            except ValueError as exc:
                refused += 1
                named = re.search(r"stored by the library as '(-?\d+)'", str(exc)).group(1)
                self.assertIsNone(ids.get(named))
                self.db._check("searchdb_documents_add", b"ids", json.dumps(document).encode())
                self.assertEqual(ids[named]["title"], "number", value)
                self.assertTrue(isinstance(value, float) and not value.is_integer()
                                or named != str(int(value)), value)
                with self.assertRaises(ValueError):
                    ids.get(value)  # a lookup by that number is refused alike
                ids.delete(named)
            else:
                taken += 1
                self.assertEqual(ids[str(int(value))]["id"], value)
                self.assertEqual(ids[value]["title"], "number")
                ids.delete(value)
        self.assertGreater(taken, 10)
        self.assertGreater(refused, 10)
        for value in (True, False):
            with self.assertRaisesRegex(ValueError, "bool"):
                ids.add({"id": value})
            with self.assertRaisesRegex(ValueError, "bool"):
                ids.get(value)
        with self.assertRaisesRegex(ValueError, "beyond the range"):
            ids.add({"id": 10 ** 400})
        # Only the primary key is an id; other members may hold any number.
        shop = self.db.create_index("shop", primary_key="sku")
        self.assertEqual(shop.add({"sku": "a", "id": 1.5, "n": 2 ** 70}), 1)
        with self.assertRaises(ValueError):
            shop.add([{"sku": "b"}, {"sku": 0.5}])
        self.assertEqual(len(shop), 1)

    def test_values_round_trip(self):
        docs = self.db.create_index("docs")
        doc = {"id": "u", "text": "café 😀 \"quoted\"\n", "n": [1, 2.5, None, True],
               "nested": {"deep": {"er": False}}}
        docs.add(doc)
        self.assertEqual(docs.get("u"), doc)

    def test_numbers_are_read_and_written_alike_in_every_locale(self):
        # A program that takes its locale from a country writing decimal
        # commas, in a process of its own since the locale is the whole
        # process's: numbers go in, come back, are found and counted as 1.5.
        code = f"""if True:
            import locale, searchdb
            locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
            assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
            doc = {{"id": 2.0, "price": 1.5, "sizes": [0.25, -2e-09]}}
            with searchdb.Database({self.path!r}) as db:
                shop = db.create_index("shop")
                shop.add(doc)
                assert shop[2] == doc, shop[2]
                assert shop.stats()["avg_doc_len"] == 7, shop.stats()
                assert shop.stats()["bm25"] == {{"k1": 1.2, "b": 0.75}}, shop.stats()
            with searchdb.Database({self.path!r}) as db:
                assert db["shop"][2] == doc, db["shop"][2]
                assert [h["price"] for h in db["shop"].search("25")["hits"]] == [1.5]
            """
        result = self.python(code, dict(os.environ, PYTHONPATH=PACKAGE_DIR))
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_bad_documents_are_refused_before_the_library(self):
        books = self.books()
        with self.assertRaises(TypeError):
            books.add('{"id": "json text"}')
        with self.assertRaises(ValueError):
            books.add({"id": "nan", "value": float("nan")})
        with self.assertRaises(TypeError):
            books.get(None)

    def test_custom_primary_key(self):
        shop = self.db.create_index("shop", primary_key="sku")
        shop.add([{"sku": "A1", "name": "lamp"}, {"sku": 7, "name": "chair"}])
        self.assertEqual(shop.get(7)["name"], "chair")
        with self.assertRaisesRegex(SearchdbError, "missing primary key 'sku'"):
            shop.add({"id": "x"})


class SearchTest(DatabaseCase):
    def test_response_and_paging(self):
        books = self.books()
        response = books.search("tolkien")
        self.assertEqual(list(response), ["hits", "query", "processingTimeMs", "limit",
                                          "offset", "totalHits"])
        self.assertEqual(response["totalHits"], 2)
        self.assertEqual(sorted(h["id"] for h in response["hits"]), ["hobbit", "lotr"])
        first = books.search("tolkien", limit=1)
        second = books.search("tolkien", limit=1, offset=1)
        self.assertEqual(first["hits"] + second["hits"], response["hits"])
        self.assertEqual(len(books.search("the", limit=0)["hits"]), 3)
        self.assertEqual(books.search("tolkien", limit=-5)["limit"], 0)
        self.assertEqual(books.search("tolkien", offset=10)["hits"], [])

    def test_prefix_typo_and_unicode_queries(self):
        books = self.books()
        books.add({"id": "ko", "title": "Каштанка", "author": "Антон Чехов"})
        self.assertEqual([h["id"] for h in books.search("hitch")["hits"]], [42])
        self.assertEqual([h["id"] for h in books.search("galaxi")["hits"]], [42])
        self.assertEqual([h["id"] for h in books.search("ЧЕХОВ")["hits"]], ["ko"])
        self.assertEqual(books.search("")["totalHits"], 0)

    def test_hits_pages_through_every_hit(self):
        notes = self.db.create_index("notes")
        notes.add([{"id": i, "text": "common " * (1 + i % 5)} for i in range(23)])
        every = notes.search("common", limit=0)["hits"]
        self.assertEqual(len(every), 23)
        for page_size in (1, 7, 23, 100):
            self.assertEqual(list(notes.hits("common", page_size=page_size)), every)
        self.assertEqual(list(notes.hits("absent")), [])
        with self.assertRaises(ValueError):
            next(notes.hits("common", page_size=0))

    def test_bad_paging_values(self):
        books = self.books()
        with self.assertRaises(TypeError):
            books.search("dune", limit="5")
        with self.assertRaises(TypeError):
            books.search("dune", offset=True)
        with self.assertRaises(ValueError):
            books.search("dune", limit=2 ** 31)
        with self.assertRaises(ValueError):
            books.search("du\0ne")

    def test_stats(self):
        books = self.books()
        stats = books.stats()
        self.assertEqual(stats["name"], "books")
        self.assertEqual(stats["document_count"], 4)
        self.assertEqual(stats["bm25"], {"k1": 1.2, "b": 0.75})

    def test_threads_share_a_database(self):
        books = self.books()
        errors = []

        def work(n):
            try:
                for i in range(20):
                    books.add({"id": f"t{n}-{i}", "title": f"thread {n} book {i}"})
                    hits = books.search(f"thread {n}", limit=0)["hits"]
                    if not any(h["id"] == f"t{n}-{i}" for h in hits):
                        errors.append(f"t{n}-{i} not found")
            except Exception as exc:  # reported below; a thread cannot fail the test
                errors.append(repr(exc))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(books), 4 + 80)


class SearchRequestTest(DatabaseCase):
    def packages(self):
        rng = random.Random(5)
        docs = [{"id": f"p{i}", "section": ["games", "net", "utils"][i % 3],
                 "size": rng.randint(1, 1000), "tags": rng.sample(["a", "b", "c"], i % 3),
                 "text": f"tool {i} " + rng.choice(["plays chess", "reads mail"])}
                for i in range(40)]
        index = self.db.create_index("pkgs")
        index.add(docs)
        return index, docs

    def test_options_filter_sort_count_and_shape_the_hits(self):
        index, docs = self.packages()
        answer = index.search("tool", 5, 2, filter={"and": [
            {"field": "size", "op": "lt", "value": 700},
            {"field": "tags", "op": "in", "value": ["a", "c"]}]},
            sort=["section:desc", ("size", "asc")], facets="section", fields=["id", "size"])
        kept = [d for d in docs if d["size"] < 700 and {"a", "c"} & set(d["tags"])]
        ordered = sorted(kept, key=lambda d: d["size"])
        ordered = sorted(ordered, key=lambda d: d["section"], reverse=True)
        self.assertEqual(list(answer), ["hits", "query", "processingTimeMs", "limit", "offset",
                                        "totalHits", "facets"])
        self.assertEqual(answer["hits"], [{"id": d["id"], "size": d["size"]}
                                          for d in ordered[2:7]])
        self.assertEqual(answer["totalHits"], len(kept))
        self.assertEqual({f["value"]: f["count"] for f in answer["facets"]["section"]},
                         collections.Counter(d["section"] for d in kept))
        # Every way to write a key or a list of names asks the same.
        same = [index.search(sort=key, fields=fields, limit=0)["hits"]
                for key in ("size:desc", ("size", "desc"), {"field": "size", "order": "desc"})
                for fields in ("size", ["size"])]
        self.assertTrue(all(s == same[0] for s in same))
        self.assertEqual([h["size"] for h in same[0]], sorted((d["size"] for d in docs),
                                                              reverse=True))
        # Browsing with no query; every word with "and"; the library's marks.
        self.assertEqual(index.search(limit=3)["hits"], docs[:3])
        self.assertEqual(index.search("tool chess", operator="and", limit=0)["totalHits"],
                         sum("chess" in d["text"] for d in docs))
        hit = index.search("chess", 1, highlight="text", snippet_words=2,
                           highlight_tags=("[", "]"), fields="id")["hits"][0]
        marked = hit["_highlight"]["text"]
        self.assertTrue(marked.startswith("…") and "[chess]" in marked, marked)
        self.assertLessEqual(len(marked.split()), 2)
        facets = index.search(facets=["tags"], facet_size=1)["facets"]
        self.assertEqual(len(facets["tags"]), 1)

    def test_a_call_with_only_a_query_and_paging_is_the_plain_search(self):
        index, docs = self.packages()
        index.add({"id": "q", "text": "plays a chess"})
        # Double quotes only separate words in the plain search; in a
        # request they make a phrase.
        plain = index.search('"plays a"', 0)
        self.assertEqual(plain["totalHits"],
                         1 + sum("plays" in d["text"] or "a" in d["tags"] for d in docs))
        self.assertEqual(index.search('"plays a"', 0, rank="bm25", operator="or")["totalHits"],
                         plain["totalHits"])
        self.assertEqual(index.search('"plays a"', fields="id")["hits"], [{"id": "q"}])
        self.assertEqual(index.search("tool", 3, 4)["hits"],
                         index.search("tool", limit=3, offset=4)["hits"])

    def test_refusals(self):
        index, _ = self.packages()
        with self.assertRaisesRegex(SearchdbError, "^rank: unknown rank 'no_such_rule'$"):
            index.search("tool", rank="no_such_rule")
        with self.assertRaisesRegex(SearchdbError, "unknown op 'regex'"):
            index.search(filter={"field": "size", "op": "regex", "value": 1})
        with self.assertRaises(ValueError):
            index.search(filter={"field": "size", "op": "lt", "value": float("nan")})
        with self.assertRaises(ValueError):
            index.search("to\0ol", fields="id")
        for bad in ({"filter": "size<3"}, {"sort": 3}, {"fields": 3}, {"facets": [1]},
                    {"highlight": {"text": 1}}, {"snippet_words": "3"}, {"limit": "3"}):
            with self.subTest(bad=bad), self.assertRaises(TypeError):
                index.search("tool", **bad)

    def test_hits_page_through_a_request(self):
        index, docs = self.packages()
        options = dict(filter={"field": "section", "op": "ne", "value": "net"}, sort="size",
                       fields=["id", "size"], highlight="text", highlight_tags=("<", ">"))
        every = index.search("tool", 0, **options)["hits"]
        self.assertEqual(len(every), sum(d["section"] != "net" for d in docs))
        for page_size in (1, 4, 100):
            self.assertEqual(list(index.hits("tool", page_size, **options)), every)
        browsed = list(index.hits(page_size=7, sort="size:desc", fields="id"))
        self.assertEqual(len(browsed), len(docs))


class MappingTest(DatabaseCase):
    def pages(self, ids=None, documents=None, lookahead=None):
        """Iteration reads pages of this many ids or documents, and this many
        more past each page."""
        for name, size in (("_ID_PAGE", ids), ("_DOCUMENT_PAGE", documents),
                           ("_LOOKAHEAD", lookahead)):
            if size is not None:
                patcher = mock.patch.object(searchdb, name, size)
                patcher.start()
                self.addCleanup(patcher.stop)

    def requests(self, index):
        """The requests index makes, with the number of hits each got back."""
        made = []
        real = Index._request

        def spy(this, request, *sizes):
            answer = real(this, request, *sizes)
            made.append((dict(request), len(answer["hits"])))
            return answer
        patcher = mock.patch.object(Index, "_request", spy)
        patcher.start()
        self.addCleanup(patcher.stop)
        return made

    def test_an_index_is_a_mapping_of_ids_to_documents(self):
        books = self.books()
        # Id 0 is an id like any other, not the start of a sequence.
        books.add([{"id": 0, "title": "zero"}, {"id": "lotr", "title": "Replaced in place"}])
        books.delete("dune")
        stored = {b["id"]: b for b in BOOKS if b["id"] != "dune"}
        stored["lotr"] = {"id": "lotr", "title": "Replaced in place"}
        stored[0] = {"id": 0, "title": "zero"}
        self.assertIsInstance(books, collections.abc.Mapping)
        self.assertEqual(list(books), ["hobbit", "lotr", 42, 0])
        self.assertEqual(list(books.keys()), list(books))
        self.assertEqual(list(books.values()), [stored[k] for k in books])
        self.assertEqual(list(books.items()), [(k, stored[k]) for k in books])
        self.assertEqual(dict(books), stored)
        self.assertEqual(books, stored)
        self.assertNotEqual(books, dict(stored, extra={}))
        self.assertEqual((len(books), len(books.keys()), len(books.items())), (4, 4, 4))
        self.assertIn(0, books.keys())
        self.assertNotIn("dune", books.keys())
        self.assertIn((42, stored[42]), books.items())
        self.assertNotIn(("lotr", BOOKS[1]), books.items())
        self.assertIn(stored[0], books.values())
        self.assertEqual(books.keys() & {0, "dune", "hobbit"}, {0, "hobbit"})
        # A deleted id added again comes back to its first place.
        books.add({"id": "dune", "title": "Dune"})
        self.assertEqual(list(books), ["hobbit", "lotr", "dune", 42, 0])
        self.assertEqual(list(self.db.create_index("empty")), [])

    def test_iteration_holds_one_page_at_a_time(self):
        notes = self.db.create_index("notes", primary_key="key")
        docs = [{"key": f"n{i}", "text": "note " * (i % 3)} for i in range(50)]
        notes.add(docs)
        self.pages(ids=7, documents=3, lookahead=2)
        made = self.requests(notes)
        self.assertEqual(list(notes), [d["key"] for d in docs])
        # Ids alone, a page of seven with the last given before it and two
        # after it; one request a page, and one that finds nothing more.
        self.assertEqual(made[0], ({"fields": ["key"], "limit": 9, "offset": 0}, 9))
        self.assertTrue(all(r["fields"] == ["key"] and r["limit"] <= 10 for r, _ in made))
        self.assertEqual(len(made), 8 + 1)
        made.clear()
        self.assertEqual(list(notes.values()), docs)
        self.assertEqual(list(notes.items()), [(d["key"], d) for d in docs])
        self.assertTrue(all("fields" not in r and r["limit"] <= 6 for r, _ in made))
        self.assertEqual(len(made), 2 * (17 + 1))
        # Pages hold about _PAGE_BYTES of JSON: here twenty documents of about
        # two hundred bytes, after a first page of at most a hundred.
        big = self.db.create_index("big")
        big.add([{"id": i, "text": "x" * 190} for i in range(300)])
        made.clear()
        with mock.patch.object(searchdb, "_PAGE_BYTES", 4000), \
                mock.patch.object(searchdb, "_DOCUMENT_PAGE", 1000):
            self.assertEqual(len(list(big.values())), 300)
        self.assertEqual(made[0][0]["limit"], 100 + 2)
        self.assertTrue(all(15 <= r["limit"] - 3 <= 21 for r, _ in made[1:-1]), made)
        # With the package's own page size too.
        many = self.db.create_index("many")
        many.add([{"id": i} for i in range(searchdb._ID_PAGE * 2 + 5)])
        self.assertEqual(list(many), list(range(searchdb._ID_PAGE * 2 + 5)))

    def test_iteration_while_the_index_changes(self):
        # Random changes between the steps of an iteration, pages of a few
        # ids: each id is given once, in stored order, and every id there
        # throughout is reached, unless the iteration raised RuntimeError,
        # which it may do only when the last id given and every id read
        # after it were gone.
        rng = random.Random(11)
        outcomes = collections.Counter()
        live = set()
        searched = []
        real = Index._find_place

        def spy(this, key, last, ahead, ended, offset, searches):
            searched.append(({last} | set(ahead), set(live)))
            return real(this, key, last, ahead, ended, offset, searches)
        with mock.patch.object(Index, "_find_place", spy):
            for trial in range(30):
                index = self.db.create_index(f"t{trial}")
                order = [f"d{i}" if rng.random() < 0.7 else i for i in range(rng.randint(0, 25))]
                index.add([{"id": i} for i in order])
                live.clear()
                live.update(order)
                initial = set(order)
                touched, added, yielded = set(), 0, []
                self.pages(ids=rng.randint(1, 6), lookahead=rng.randint(0, 2))
                try:
                    for doc_id in index:
                        yielded.append(doc_id)
                        for _ in range(rng.choice([0, 0, 0, 1, 2, 4])):
                            change = rng.choice(["add", "replace", "delete", "delete", "back"])
                            if change == "add":
                                added += 1
                                order.append(f"new{added}")
                                live.add(order[-1])
                                index.add({"id": order[-1]})
                                continue
                            pool = sorted(live if change != "back" else set(order) - live,
                                          key=order.index)
                            if not pool:
                                continue
                            doc_id = rng.choice(pool)
                            touched.add(doc_id)
                            if change == "delete":
                                index.delete(doc_id)
                                live.discard(doc_id)
                            else:
                                index.add({"id": doc_id, "changed": True})
                                live.add(doc_id)
                    outcomes["completed"] += 1
                    self.assertLessEqual(initial - touched, set(yielded), (order, yielded))
                except RuntimeError as error:
                    outcomes["raised"] += 1
                    read, live_then = searched[-1]
                    self.assertFalse(set(read) & live_then, (order, yielded, read))
                    self.assertIn(f"index 't{trial}' changed too much", str(error))
                self.assertEqual(len(set(yielded)), len(yielded), yielded)
                self.assertEqual(yielded, sorted(yielded, key=order.index))
        self.assertGreater(len(searched), 10)  # the place was looked for again often
        self.assertGreater(outcomes["completed"], 10)
        self.assertGreater(outcomes["raised"], 0)

    def test_deleting_as_you_go(self):
        notes = self.db.create_index("notes")
        notes.add([{"id": i} for i in range(10)])
        self.pages(ids=3, lookahead=1)
        seen = []
        for doc_id in notes:
            seen.append(doc_id)
            if doc_id % 2:
                del notes[doc_id]
        self.assertEqual((seen, list(notes)), (list(range(10)), [0, 2, 4, 6, 8]))
        # Documents added meanwhile are reached in their turn.
        seen = []
        for doc_id in notes:
            seen.append(doc_id)
            if doc_id < 10:
                notes.add({"id": doc_id + 10})
        self.assertEqual(seen, [0, 2, 4, 6, 8, 10, 12, 14, 16, 18])
        for doc_id in notes:
            del notes[doc_id]
        self.assertEqual((list(notes), len(notes)), ([], 0))
        # Deleting the last id given and the one read after it leaves
        # nothing to go on from.
        notes.add([{"id": i} for i in range(10)])
        with self.assertRaisesRegex(RuntimeError, "index 'notes' changed too much"):
            for doc_id in notes:
                if doc_id == 2:
                    del notes[2], notes[3]

    def test_a_place_moved_further_than_is_followed(self):
        notes = self.db.create_index("notes")
        self.pages(ids=2, lookahead=0)
        for moves, ends in ((searchdb._MOVES_FOLLOWED, None), (1, RuntimeError)):
            with mock.patch.object(searchdb, "_MOVES_FOLLOWED", moves):
                notes.add([{"id": i} for i in range(30)])
                iterator = iter(notes)
                seen = [next(iterator) for _ in range(16)]
                for doc_id in range(10):
                    del notes[doc_id]
                if ends is None:
                    self.assertEqual(seen + list(iterator), list(range(30)))
                else:
                    with self.assertRaisesRegex(RuntimeError, "changed too much"):
                        list(iterator)


class LoadingTest(DatabaseCase):
    def library_file(self):
        path = os.environ.get("SEARCHDB_LIBRARY")
        if not path:
            self.skipTest("SEARCHDB_LIBRARY is not set")
        return os.path.realpath(path)

    def copy_package(self, into):
        shutil.copytree(os.path.join(PACKAGE_DIR, "searchdb"), os.path.join(into, "searchdb"))
        return os.path.join(into, "searchdb")

    def test_library_next_to_the_package_is_found(self):
        lib = self.library_file()
        package = self.copy_package(os.path.join(self.tmp, "site"))
        shutil.copy(lib, os.path.join(package, "libsearchdb.so"))
        env = {k: v for k, v in os.environ.items() if k != "SEARCHDB_LIBRARY"}
        env["PYTHONPATH"] = os.path.join(self.tmp, "site")
        code = ("import searchdb, searchdb._library as l\n"
                f"with searchdb.Database({self.path!r}) as db: db.create_index('x')\n"
                "print(l.path())")
        result = self.python(code, env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), os.path.join(package, "libsearchdb.so"))

    def test_unloadable_library_is_reported(self):
        env = dict(os.environ, SEARCHDB_LIBRARY=os.path.join(self.tmp, "missing.so"),
                   PYTHONPATH=PACKAGE_DIR)
        result = self.python(f"import searchdb; searchdb.Database({self.path!r}).open()", env)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("cannot load the searchdb library", result.stderr)
        self.assertIn("missing.so", result.stderr)


if __name__ == "__main__":
    unittest.main()
