"""searchdb: an embeddable full-text search engine, from Python.

    import searchdb

    with searchdb.Database("books-data") as db:
        books = db.create_index("books", exist_ok=True)
        books.add([{"id": 1, "title": "Dune", "author": "Frank Herbert"}])
        for hit in books.hits("dune"):
            print(hit["title"])

Database(path) opens the directory, as sqlite3.connect(path) does; close()
or the end of a with statement closes it. The library keeps one storage
directory per process, so only one Database can be open at a time; opening
a second one raises SearchdbError. Every change is on disk when its call
returns. Calls are serialised with a lock, so a Database and its indexes may
be shared between threads.

Every failure the library reports is raised as SearchdbError with the
library's message. A name or id that is not there raises a KeyError, as a
missing key of a mapping does: IndexNotFound for an index, DocumentNotFound
for a document, both also SearchdbError. Wrong argument types raise
TypeError; texts holding a NUL character, and number ids the library would
store under another id, ValueError; a library that cannot be loaded OSError.
"""
from __future__ import annotations

import json
import math
import os
import threading
import warnings
from typing import Any, Dict, Iterator, List, Optional, Sequence, TypeVar, Union

from . import _library

__version__ = "1.0.0"
__all__ = ["Database", "Index", "SearchdbError", "IndexNotFound", "DocumentNotFound",
           "SearchdbWarning"]

#: A document: a JSON object as a dict.
Document = Dict[str, Any]
#: A document id: a str, or a number that names itself exactly (see Index).
DocumentId = Union[str, int, float]
_Default = TypeVar("_Default")

# The library allows one call at a time in the whole process, and its text
# results and last error live in shared buffers until the next call: each
# call and the copy of what it left happen under this lock.
_lock = threading.RLock()
# The Database that holds the library's storage directory, or None.
_open_database: Optional[Database] = None

_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1
# The library stores a number id as the "%.0f" text of its double, cut to
# this many characters.
_NUMBER_ID_MAX = 255


class SearchdbError(Exception):
    """A failure reported by the library; str(error) is its message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class IndexNotFound(SearchdbError, KeyError):
    """No index has the name asked for. Also a KeyError, as a missing key of
    a mapping is."""


class DocumentNotFound(SearchdbError, KeyError):
    """No live document has the id asked for: it was never added, or it was
    deleted. Also a KeyError, as a missing key of a mapping is."""


class SearchdbWarning(UserWarning):
    """Something the library noted while opening a storage directory, such as
    a damaged file it set aside; the directory opened all the same."""


def _text(value: object, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain a NUL character")
    return value.encode("utf-8")


def _number_id(value: Union[int, float]) -> str:
    """The text the library stores a number id under, when it names that
    number and no other; else ValueError."""
    if isinstance(value, bool):
        raise ValueError(f"document id {value!r} is a bool; the library takes no id from it")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"document id {value!r} is not a finite number")
    try:
        stored = ("%.0f" % float(value))[:_NUMBER_ID_MAX]
    except OverflowError:
        raise ValueError(f"document id {value} is beyond the range of the library's "
                         "numbers; pass it as a str") from None
    if (isinstance(value, float) and not value.is_integer()) or stored != str(int(value)):
        raise ValueError(f"document id {value!r} would be stored by the library as "
                         f"'{stored}'; pass the id as a str")
    return stored


def _doc_id(value: object) -> bytes:
    # Numbers name documents by the text the library keeps for them.
    if isinstance(value, (int, float)):
        value = _number_id(value)
    elif not isinstance(value, str):
        raise TypeError(f"document id must be a str or a number, not {type(value).__name__}")
    return _text(value, "document id")


def _page_value(value: object, what: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{what} must fit in 32 bits")
    return value


def _failure(document: bool = False) -> SearchdbError:
    """The error for the failure the library just reported. With document,
    the call was about one document id: of its failures only a missing
    document ("document '...' not found" or "document '...' deleted") begins
    with "document '", the others (no such index, a failed write) do not, and
    the prefix survives the library cutting a long id out of its message."""
    message = _library.library().searchdb_last_error().decode("utf-8", "replace")
    if not message:
        message = "the library refused without giving a reason"
    if document and message.startswith("document '"):
        return DocumentNotFound(message)
    return SearchdbError(message)


class Database:
    """A storage directory of indexes, opened (created if missing) by
    Database(path) and open until close() or the end of a with statement.
    Iterating gives the names of its indexes; db[name] is one of them.

    A note from the library about what it found in the directory, such as a
    damaged file set aside, is issued as a SearchdbWarning."""

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self.path: str = os.fspath(path)
        self._open = False
        self._start(warning_stacklevel=3)

    def __repr__(self) -> str:
        return f"Database({self.path!r}{'' if self._open else ', closed'})"

    def __enter__(self) -> Database:
        return self._start(warning_stacklevel=3)

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        """Whether the Database is closed (after close())."""
        return not self._open

    def open(self) -> Database:
        """Opens a closed Database again, loading every index stored in the
        directory; on an open one it does nothing. Returns the Database."""
        return self._start(warning_stacklevel=3)

    def _start(self, warning_stacklevel: int) -> Database:
        global _open_database
        path = _text(self.path, "path")
        with _lock:
            if self._open:
                return self
            if _open_database is not None:
                raise SearchdbError(
                    f"another Database is open in this process (at {_open_database.path!r}); "
                    "the library serves one storage directory per process, so close it first")
            lib = _library.library()
            if lib.searchdb_init(path) != 0:
                raise _failure()
            note = lib.searchdb_last_error().decode("utf-8", "replace")
            self._open = True
            _open_database = self
        if note:
            # Attributed to the caller's Database(), open() or with statement.
            warnings.warn(note, SearchdbWarning, stacklevel=warning_stacklevel)
        return self

    def close(self) -> None:
        """Releases the library's memory; every change is already stored.
        Closing a closed Database does nothing."""
        global _open_database
        with _lock:
            if not self._open:
                return
            _library.library().searchdb_cleanup()
            self._open = False
            _open_database = None

    def _call(self, function: str, *args: Any) -> Any:
        """Calls a library function while this Database is open; text
        results come back as str, None for a null pointer."""
        with _lock:
            if not self._open:
                raise SearchdbError(f"the database at {self.path!r} is closed")
            result = getattr(_library.library(), function)(*args)
        return result.decode("utf-8") if isinstance(result, bytes) else result

    def _check(self, function: str, *args: Any, document: bool = False) -> int:
        """Calls a function that returns -1 on failure; returns its result."""
        with _lock:
            result = self._call(function, *args)
            if result < 0:
                raise _failure(document)
        return result

    def _json(self, function: str, failure_value: Optional[str], *args: Any,
              document: bool = False) -> Any:
        """Calls a function that returns JSON text, or failure_value on failure."""
        with _lock:
            text = self._call(function, *args)
            if text == failure_value:
                raise _failure(document)
        return json.loads(text)

    def indexes(self) -> List[Dict[str, str]]:
        """The indexes, as a list of {"name": ..., "primary_key": ...}."""
        return self._json("searchdb_indexes_list_json", None)

    def _primary_key(self, name: str) -> Optional[str]:
        return next((e["primary_key"] for e in self.indexes() if e["name"] == name), None)

    def __iter__(self) -> Iterator[str]:
        """The names of the indexes."""
        return iter([entry["name"] for entry in self.indexes()])

    def __len__(self) -> int:
        """The number of indexes."""
        return len(self.indexes())

    def __contains__(self, name: object) -> bool:
        """Whether an index of that name exists."""
        return any(entry["name"] == name for entry in self.indexes())

    def create_index(self, name: str, primary_key: Optional[str] = None,
                     exist_ok: bool = False) -> Index:
        """Creates an index whose documents are identified by their member
        primary_key ("id" by default) and returns it. With exist_ok, an
        index of that name with the same primary key is returned as it is;
        one with another primary key raises SearchdbError all the same."""
        key = None if primary_key is None else _text(primary_key, "primary key")
        with _lock:
            existing = self._primary_key(name) if exist_ok else None
            if existing is None:
                self._check("searchdb_index_create", _text(name, "index name"), key)
            elif existing != ("id" if primary_key is None else primary_key):
                raise SearchdbError(f"index '{name}' already exists with primary key "
                                    f"'{existing}'")
        return Index(self, name)

    def drop_index(self, name: str) -> None:
        """Deletes an index with all its documents; IndexNotFound when there
        is no index of that name."""
        encoded = _text(name, "index name")
        with _lock:
            if self._call("searchdb_index_delete", encoded) < 0:
                raise self._index_failure(name)

    def index(self, name: str) -> Index:
        """The existing index of that name; db[name] is the same.
        IndexNotFound when there is none."""
        encoded = _text(name, "index name")
        with _lock:
            if self._call("searchdb_index_stats_json", encoded) == "null":
                raise self._index_failure(name)
        return Index(self, name)

    def _index_failure(self, name: str) -> SearchdbError:
        """The error for a failed call about the index name: IndexNotFound
        when the store lists no such index (the library's message may cut a
        long name, so the list decides), else the library's failure."""
        error = _failure()
        if name not in self:
            return IndexNotFound(error.message)
        return error

    __getitem__ = index


class Index:
    """A named index of a Database. Its methods need the Database open.

    Documents are dicts; a document's id is its primary-key member, a str or
    a number. A number id is kept by the library as the text of the nearest
    double, so an id that text would not name exactly (1.5, 2 ** 53 + 1, a
    bool) is refused with ValueError instead of being stored under another.
    index[doc_id] and index.get(doc_id) accept the same ids.

    An index answers as a mapping of id to document does: index[doc_id],
    get(), `in`, len() and del index[doc_id], with DocumentNotFound (a
    KeyError) for an id no live document has."""

    def __init__(self, database: Database, name: str) -> None:
        self.database = database
        self.name = name
        self._name = _text(name, "index name")

    def __repr__(self) -> str:
        return f"Index({self.name!r})"

    @property
    def primary_key(self) -> str:
        """The member that holds each document's id."""
        key = self.database._primary_key(self.name)
        if key is None:
            raise SearchdbError(f"index '{self.name}' not found")
        return key

    def add(self, documents: Union[Document, Sequence[Document]]) -> int:
        """Adds or replaces one document (a dict) or several (a list of
        dicts) as one batch that is stored whole or not at all. Returns the
        number of documents taken: every document of the batch, those that
        replaced a stored document with the same id included (so adding the
        same documents twice returns the same count twice)."""
        if isinstance(documents, dict):
            batch: Sequence[Any] = [documents]
        elif isinstance(documents, (list, tuple)):
            batch = documents
        else:
            raise TypeError("documents must be a dict or a list of dicts, not "
                            + type(documents).__name__)
        text = json.dumps(documents, allow_nan=False).encode("utf-8")
        with _lock:
            key = self.primary_key
            for document in batch:
                value = document.get(key) if isinstance(document, dict) else None
                if isinstance(value, (int, float)):
                    _number_id(value)
            return self.database._check("searchdb_documents_add", self._name, text)

    def __getitem__(self, doc_id: DocumentId) -> Document:
        """The stored document with that id; DocumentNotFound when there is none."""
        return self.database._json("searchdb_document_get", None, self._name, _doc_id(doc_id),
                                   document=True)

    def get(self, doc_id: DocumentId, default: _Default = None) -> Union[Document, _Default]:
        """The stored document with that id, or default when there is none."""
        try:
            return self[doc_id]
        except DocumentNotFound:
            return default

    def __contains__(self, doc_id: object) -> bool:
        """Whether a live document has that id."""
        return self.get(doc_id) is not None  # type: ignore[arg-type]

    def delete(self, doc_id: DocumentId) -> None:
        """Deletes the document with that id; del index[doc_id] is the same.
        DocumentNotFound when no live document has that id: it was never
        added, or it was deleted already (in this process or another)."""
        encoded = _doc_id(doc_id)
        with _lock:
            # The library answers a second delete in the process that made
            # the first with success, and one in any other process with
            # "not found"; a mapping's del is the same in every process.
            if self.database._call("searchdb_document_get", self._name, encoded) is None:
                raise _failure(document=True)
            self.database._check("searchdb_document_delete", self._name, encoded, document=True)

    __delitem__ = delete

    # Iterating an index needs a request that pages through its documents,
    # which the library does not offer yet; None keeps Python from falling
    # back to index[0], index[1], ... (a lookup of ids "0", "1", ...).
    __iter__ = None

    def search(self, query: str, limit: int = 20, offset: int = 0) -> Dict[str, Any]:
        """Ranked search. Returns the library's response: {"hits": [...],
        "query", "processingTimeMs", "limit", "offset", "totalHits"}. A limit
        of 0 asks for every hit from offset on in one answer, which the
        library refuses past 32 MiB (SearchdbError "result too large");
        hits() reads any number of them a page at a time."""
        return self.database._json(
            "searchdb_search", "null", self._name, _text(query, "query"),
            _page_value(limit, "limit"), _page_value(offset, "offset"))

    def hits(self, query: str, page_size: int = 100) -> Iterator[Document]:
        """Every hit of a search, best first, fetched page_size at a time, so
        that no single answer has to hold them all. Changes made to the index
        while iterating may shift the pages still to come."""
        if _page_value(page_size, "page_size") < 1:
            raise ValueError("page_size must be at least 1")
        offset = 0
        while True:
            page = self.search(query, limit=page_size, offset=offset)["hits"]
            yield from page
            if len(page) < page_size:
                return
            offset += len(page)

    def stats(self) -> Dict[str, Any]:
        """Counts and averages of the index, and its ranking parameters."""
        return self.database._json("searchdb_index_stats_json", "null", self._name)

    def __len__(self) -> int:
        """The number of live documents."""
        return self.stats()["document_count"]
