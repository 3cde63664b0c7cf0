"""searchdb: an embeddable full-text search engine, from Python.

    import searchdb

    with searchdb.Database("books-data") as db:
        books = db.create_index("books")          # or db["books"] when it exists
        books.add([{"id": 1, "title": "Dune", "author": "Frank Herbert"}])
        for hit in books.search("dune")["hits"]:
            print(hit["title"])

The library keeps one storage directory per process, so only one Database
can be open at a time; opening a second one raises SearchdbError. Every
change is on disk when its call returns. Calls are serialised with a lock,
so a Database may be shared between threads.

Every failure the library reports is raised as SearchdbError with the
library's message. Wrong argument types raise TypeError, texts holding a NUL
character ValueError, and a library that cannot be loaded OSError.
"""
import json
import os
import threading

from . import _library

__all__ = ["Database", "Index", "SearchdbError"]

# The library allows one call at a time in the whole process, and its text
# results live in one shared buffer until the next call: each call and the
# copy of its result happen under this lock.
_lock = threading.RLock()
# The Database that holds the library's storage directory, or None.
_open_database = None

_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1


class SearchdbError(Exception):
    """A failure reported by the library; str(error) is its message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain a NUL character")
    return value.encode("utf-8")


def _doc_id(value):
    # Numbers name documents by their decimal text, as the library does.
    if isinstance(value, int) and not isinstance(value, bool):
        value = str(value)
    return _text(value, "document id")


def _page_value(value, what):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{what} must fit in 32 bits")
    return value


def _failure():
    message = _library.library().searchdb_last_error().decode("utf-8", "replace")
    return SearchdbError(message or "the library refused without giving a reason")


class Database:
    """A storage directory of indexes, open between open() and close() or for
    the body of a with statement."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self._open = False

    def __repr__(self):
        return f"Database({self.path!r}{'' if self._open else ', closed'})"

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc_info):
        self.close()

    @property
    def closed(self):
        return not self._open

    def open(self):
        """Loads every index stored in the directory (created if missing)."""
        global _open_database
        path = _text(self.path, "path")
        with _lock:
            if self._open:
                raise SearchdbError(f"the database at {self.path!r} is already open")
            if _open_database is not None:
                raise SearchdbError(
                    f"another Database is open in this process (at {_open_database.path!r}); "
                    "the library serves one storage directory per process, so close it first")
            lib = _library.library()
            if lib.searchdb_init(path) != 0:
                raise _failure()
            self._open = True
            _open_database = self
        return self

    def close(self):
        """Releases the library's memory; every change is already stored.
        Closing a closed Database does nothing."""
        global _open_database
        with _lock:
            if not self._open:
                return
            _library.library().searchdb_cleanup()
            self._open = False
            _open_database = None

    def _call(self, function, *args):
        """Calls a library function while this Database is open; text
        results come back as str, None for a null pointer."""
        with _lock:
            if not self._open:
                raise SearchdbError(f"the database at {self.path!r} is closed")
            result = getattr(_library.library(), function)(*args)
        return result.decode("utf-8") if isinstance(result, bytes) else result

    def _check(self, function, *args):
        """Calls a function that returns -1 on failure; returns its result."""
        with _lock:
            result = self._call(function, *args)
            if result < 0:
                raise _failure()
        return result

    def _json(self, function, failure_value, *args):
        """Calls a function that returns JSON text, or failure_value on failure."""
        with _lock:
            text = self._call(function, *args)
            if text == failure_value:
                raise _failure()
        return json.loads(text)

    def indexes(self):
        """The indexes, as a list of {"name": ..., "primary_key": ...}."""
        return self._json("searchdb_indexes_list_json", None)

    def __contains__(self, name):
        return any(entry["name"] == name for entry in self.indexes())

    def create_index(self, name, primary_key=None):
        """Creates an index whose documents are identified by their member
        primary_key ("id" by default) and returns it."""
        key = None if primary_key is None else _text(primary_key, "primary key")
        self._check("searchdb_index_create", _text(name, "index name"), key)
        return Index(self, name)

    def drop_index(self, name):
        """Deletes an index with all its documents."""
        self._check("searchdb_index_delete", _text(name, "index name"))

    def index(self, name):
        """The existing index of that name."""
        self._json("searchdb_index_stats_json", "null", _text(name, "index name"))
        return Index(self, name)

    __getitem__ = index


class Index:
    """A named index of a Database. Its methods need the Database open."""

    def __init__(self, database, name):
        self.database = database
        self.name = name
        self._name = _text(name, "index name")

    def __repr__(self):
        return f"Index({self.name!r})"

    @property
    def primary_key(self):
        for entry in self.database.indexes():
            if entry["name"] == self.name:
                return entry["primary_key"]
        raise SearchdbError(f"index '{self.name}' not found")

    def add(self, documents):
        """Adds or replaces one document (a dict) or several (a list of
        dicts) as one batch that is stored whole or not at all. Returns the
        number of documents taken."""
        if not isinstance(documents, (dict, list, tuple)):
            raise TypeError("documents must be a dict or a list of dicts, not "
                            + type(documents).__name__)
        text = json.dumps(documents, allow_nan=False).encode("utf-8")
        return self.database._check("searchdb_documents_add", self._name, text)

    def get(self, doc_id):
        """The stored document with that id."""
        return self.database._json("searchdb_document_get", None, self._name, _doc_id(doc_id))

    def delete(self, doc_id):
        """Deletes the document with that id."""
        self.database._check("searchdb_document_delete", self._name, _doc_id(doc_id))

    def search(self, query, limit=20, offset=0):
        """Ranked search. Returns the library's response: {"hits": [...],
        "query", "processingTimeMs", "limit", "offset", "totalHits"}. A limit
        of 0 returns every hit from offset on."""
        return self.database._json(
            "searchdb_search", "null", self._name, _text(query, "query"),
            _page_value(limit, "limit"), _page_value(offset, "offset"))

    def stats(self):
        """Counts and averages of the index, and its ranking parameters."""
        return self.database._json("searchdb_index_stats_json", "null", self._name)

    def __len__(self):
        return self.stats()["document_count"]
