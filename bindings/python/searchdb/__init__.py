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
from typing import (Any, Dict, ItemsView, Iterator, List, Mapping, Optional, Sequence, Tuple,
                    TypeVar, Union, ValuesView)

from . import _library

__version__ = "1.0.0"
__all__ = ["Database", "Index", "SearchdbError", "IndexNotFound", "DocumentNotFound",
           "SearchdbWarning"]

#: A document: a JSON object as a dict.
Document = Dict[str, Any]
#: A document id: a str, or a number that names itself exactly (see Index).
DocumentId = Union[str, int, float]
_Default = TypeVar("_Default")
#: A filter in the library's form, such as {"field": "year", "op": "lt",
#: "value": 1900} (see Index.search).
Filter = Dict[str, Any]
#: A sort key: "relevance", "PATH", "PATH:desc", (PATH, ORDER) or
#: {"field": PATH, "order": ORDER}.
SortKey = Union[str, Tuple[str, str], Dict[str, str]]

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
# Iterating an index reads pages of about this much JSON, at most this many
# ids or documents a page, starting with a page of this many: each page
# costs the library a walk over the whole index, which large pages spread
# over many documents, and a page is all an iteration holds.
_PAGE_BYTES = 1 << 20
_ID_PAGE = 10000
_DOCUMENT_PAGE = 10000
_FIRST_PAGE = 100
# An iteration reads this many documents past each page, to go on from
# when the last one it gave is deleted. When documents before its place are
# deleted or come back, the place is looked for this many places either way,
# and this many times in a row at most.
_LOOKAHEAD = 16
_MOVES_FOLLOWED = 1000
_SEARCHES_IN_A_ROW = 3


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


def _names(value: object, what: str) -> List[str]:
    """One member name or path, or a list of them, as a list."""
    names = [value] if isinstance(value, str) else value
    if not isinstance(names, (list, tuple)) or not all(isinstance(n, str) for n in names):
        raise TypeError(f"{what} must be a str or a list of str, not {type(value).__name__}")
    return list(names)


def _sort_key(key: object) -> Union[str, Dict[str, str]]:
    if isinstance(key, dict):
        return key
    if isinstance(key, tuple) and len(key) == 2:
        return {"field": key[0], "order": key[1]}
    if not isinstance(key, str):
        raise TypeError(f"a sort key must be a str, a (path, order) tuple or a dict, not "
                        f"{type(key).__name__}")
    if key == "relevance":
        return key
    path, _, order = key.rpartition(":")
    if order in ("asc", "desc") and path:
        return {"field": path, "order": order}
    return {"field": key, "order": "asc"}


def _request(query: Optional[str], limit: int, offset: int, *, filter: Optional[Filter],
             sort: object, facets: object, fields: object, operator: str, highlight: object,
             snippet_words: Optional[int], rank: str, highlight_tags: Optional[Tuple[str, str]],
             facet_size: Optional[int]) -> Optional[Dict[str, Any]]:
    """The request of a search's arguments, or None when the plain search
    answers it (a query, and no option but limit and offset)."""
    request: Dict[str, Any] = {}
    if query is not None:
        _text(query, "query")
        request["q"] = query
    request["limit"] = _page_value(limit, "limit")
    request["offset"] = _page_value(offset, "offset")
    if filter is not None:
        if not isinstance(filter, dict):
            raise TypeError(f"filter must be a dict, not {type(filter).__name__}")
        request["filter"] = filter
    if sort is not None:
        keys = sort if isinstance(sort, list) else [sort]
        request["sort"] = [_sort_key(key) for key in keys]
    if facets is not None:
        request["facets"] = _names(facets, "facets")
    if facet_size is not None:
        request["facet_size"] = _page_value(facet_size, "facet_size")
    if fields is not None:
        request["fields"] = _names(fields, "fields")
    if operator != "or":
        request["operator"] = operator
    if highlight is not None:
        request["highlight"] = _names(highlight, "highlight")
    if highlight_tags is not None:
        request["highlight_tags"] = _names(list(highlight_tags), "highlight_tags")
    if snippet_words is not None:
        request["snippet_words"] = _page_value(snippet_words, "snippet_words")
    if rank != "bm25":
        request["rank"] = rank
    if query is not None and len(request) == 3:
        return None
    return request


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


class Index(Mapping[DocumentId, Document]):
    """A named index of a Database. Its methods need the Database open.

    Documents are dicts; a document's id is its primary-key member, a str or
    a number. A number id is kept by the library as the text of the nearest
    double, so an id that text would not name exactly (1.5, 2 ** 53 + 1, a
    bool) is refused with ValueError instead of being stored under another.
    index[doc_id] and index.get(doc_id) accept the same ids.

    An index is a collections.abc.Mapping of id to document: index[doc_id],
    get(), `in`, len(), iteration over its ids, keys(), values(), items()
    and == (which compares every document, so an Index is not hashable),
    and also del index[doc_id],
    with DocumentNotFound (a KeyError) for an id no live document has. Ids
    come back as documents hold them (a number id as a number).

    Iteration goes through the ids, documents or pairs in the order their
    ids were first added, a page at a time, so that it holds one page
    however large the index. The index may change meanwhile, here or in
    another process: every document that stays in it throughout is given
    exactly once, and no id is given twice. A document added meanwhile is
    given when its place is reached after it came (a new id is appended, a
    deleted id that comes back returns to its first place); one deleted
    meanwhile is not given once it has gone, unless its page was read
    before; a document is given as its page read it. Deleting documents as
    you go, even every one, is safe. Only when the last document given and
    the sixteen read after it are all deleted between two pages, or more
    than a thousand documents come or go before it, does iteration stop
    with RuntimeError."""

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

    # ---- Searching ----

    def search(self, query: Optional[str] = None, limit: int = 20, offset: int = 0, *,
               filter: Optional[Filter] = None,
               sort: Optional[Union[SortKey, Sequence[SortKey]]] = None,
               facets: Optional[Union[str, Sequence[str]]] = None,
               fields: Optional[Union[str, Sequence[str]]] = None,
               operator: str = "or",
               highlight: Optional[Union[str, Sequence[str]]] = None,
               snippet_words: Optional[int] = None,
               rank: str = "bm25",
               highlight_tags: Optional[Tuple[str, str]] = None,
               facet_size: Optional[int] = None) -> Dict[str, Any]:
        """One page of a search: the library's answer, {"hits": [...],
        "query", "processingTimeMs", "limit", "offset", "totalHits"}, with
        "facets" after them when asked for.

        query is matched word by word, exactly, by prefix or despite a typo;
        None browses every document, in the order their ids were first added
        unless sorted. limit hits are returned from offset on; a limit of 0
        asks for every hit in one answer, which the library refuses past
        32 MiB (SearchdbError "result too large"); hits() reads any number
        of them a page at a time.

        The keyword arguments make the search a request (a call with none of
        them, and a query, is the plain search):

        - filter: which hits are kept, in the library's form:
          {"field": PATH, "op": OP, "value": V} with OP one of "eq", "ne",
          "lt", "lte", "gt", "gte", "in", "not_in" (V a list) or "exists"
          (no value), or {"and": [...]}, {"or": [...]}, {"not": FILTER}.
          PATH names a member, "." stepping into an object.
        - sort: a key or a list of keys: "relevance", "PATH" (ascending),
          "PATH:desc", a tuple (PATH, "asc" or "desc"), or the library's
          {"field": PATH, "order": ...}.
        - facets: paths whose values are counted over every hit (not just
          the page): answer["facets"][PATH] is a list of {"value", "count"},
          the most frequent first, at most facet_size (100 by default) of
          them.
        - fields: the members each hit keeps.
        - operator: "and" to require every word of the query.
        - highlight: members in which the words that matched are wrapped in
          highlight_tags (("<mark>", "</mark>") by default; the text is not
          escaped for HTML); each hit gains "_highlight": {MEMBER: text}.
          snippet_words keeps that many words of each, around the first
          mark.
        - rank: the ranking rule, "bm25" by default, passed to the library
          as given.

        In a request, text of the query between double quotes is a phrase.
        Members and strings may be given as one str or a list of them. A
        request the library refuses raises SearchdbError with its message,
        which names the member at fault."""
        request = _request(query, limit, offset, filter=filter, sort=sort, facets=facets,
                           fields=fields, operator=operator, highlight=highlight,
                           snippet_words=snippet_words, rank=rank,
                           highlight_tags=highlight_tags, facet_size=facet_size)
        if request is None:
            return self.database._json(
                "searchdb_search", "null", self._name, _text(query, "query"),
                _page_value(limit, "limit"), _page_value(offset, "offset"))
        return self._request(request)

    def hits(self, query: Optional[str] = None, page_size: int = 100, *,
             filter: Optional[Filter] = None,
             sort: Optional[Union[SortKey, Sequence[SortKey]]] = None,
             fields: Optional[Union[str, Sequence[str]]] = None,
             operator: str = "or",
             highlight: Optional[Union[str, Sequence[str]]] = None,
             snippet_words: Optional[int] = None,
             rank: str = "bm25",
             highlight_tags: Optional[Tuple[str, str]] = None) -> Iterator[Document]:
        """Every hit of a search, in the order search() gives them, fetched
        page_size at a time with search()'s options (facets aside: use
        search() for them), so that no single answer has to hold them all.
        Each page is a search of its own, so changes made to the index while
        iterating may shift the pages still to come: a hit may be missed or
        seen twice. Iterating the index itself does not have that fault."""
        if _page_value(page_size, "page_size") < 1:
            raise ValueError("page_size must be at least 1")
        offset = 0
        while True:
            page = self.search(query, page_size, offset, filter=filter, sort=sort,
                               fields=fields, operator=operator, highlight=highlight,
                               snippet_words=snippet_words, rank=rank,
                               highlight_tags=highlight_tags)["hits"]
            yield from page
            if len(page) < page_size:
                return
            offset += len(page)

    def _request(self, request: Dict[str, Any],
                 sizes: Optional[List[int]] = None) -> Dict[str, Any]:
        """The library's answer to a request; with sizes, the length of its
        text is appended to them."""
        text = json.dumps(request, allow_nan=False, ensure_ascii=False).encode("utf-8")
        with _lock:
            answer = self.database._call("searchdb_search_request", self._name, text)
            if answer == "null":
                raise _failure()
        if sizes is not None:
            sizes.append(len(answer))
        return json.loads(answer)

    # ---- The mapping of ids to documents ----

    def _browse(self, fields: Optional[List[str]], largest: int) -> Iterator[List[Document]]:
        """Every live document, or its fields, in stored order, in pages of
        about _PAGE_BYTES of JSON and at most largest documents (each call
        costs the library a walk over the whole index, so pages are made as
        large as memory allows).

        Pages are asked for by offset, each from the last document given:
        that it is still at the place before the new page proves that as
        many documents stand before it as when it was read, so the new page
        follows on exactly. When documents before it were deleted or came
        back (to their first place), the place is looked for again
        (_find_place). The iteration only ever goes on after the last
        document given, or at one read after it, so it never gives a
        document twice, and never skips one that stays in the index
        throughout. A page is read with _LOOKAHEAD more documents than it
        gives, for when the last one given has gone. A document added later
        is appended in stored order and is reached in turn (the iteration
        ends only when a page brings nothing new); a replaced one keeps its
        place."""
        key = self.primary_key
        request: Dict[str, Any] = {} if fields is None else {"fields": fields}
        offset = 0  # the place of the first document not given
        # The id the next page must begin with, and whether it was given
        # (then the page begins one place before offset).
        expected: Any = None
        given = False
        ahead: List[Any] = []  # ids read after the last one given
        ended = False  # nothing stood after them when they were read
        searches = 0
        page_size = min(largest, _FIRST_PAGE)
        sizes: List[int] = []
        while True:
            start = offset - 1 if given else offset
            request.update(limit=offset - start + page_size + _LOOKAHEAD, offset=start)
            page = self._request(request, sizes)["hits"]
            if expected is not None and (not page or page[0].get(key) != expected):
                searches += 1
                place = self._find_place(key, expected if given else None, ahead, ended,
                                         offset, searches)
                if place is None:
                    return
                offset, expected, given = place
                continue
            searches = 0
            giving = page[offset - start:offset - start + page_size]
            if not giving:
                return
            ahead = [hit.get(key) for hit in page[offset - start + page_size:]]
            ended = len(page) < request["limit"]
            page_size = max(1, min(largest, len(page) * _PAGE_BYTES // sizes[-1]))
            yield giving
            offset += len(giving)
            expected, given = giving[-1].get(key), True

    def _find_place(self, key: str, last: Any, ahead: List[Any], ended: bool, offset: int,
                    searches: int) -> Optional[Tuple[int, Any, bool]]:
        """Where an iteration goes on when the documents before its place
        have moved: after the last id given, if it is still there, else at
        the first id read after it that is; each is looked for up to
        _MOVES_FOLLOWED places either way of where it was. Returns the new
        offset, the id the next page begins with and whether it was given;
        None, for the end, when neither is there but nothing stood after
        them when they were read (what came since was added meanwhile).
        RuntimeError when there is no place to go on from, or the index
        keeps moving."""
        window = _MOVES_FOLLOWED + len(ahead) + 1
        start = max(0, offset - window)
        hits = self._request({"fields": [key], "limit": 2 * window, "offset": start})["hits"]
        places = {hit.get(key): start + n for n, hit in enumerate(hits)}
        if searches <= _SEARCHES_IN_A_ROW:
            if last is not None and last in places:
                return places[last] + 1, last, True
            for doc_id in ahead:
                if doc_id in places:
                    return places[doc_id], doc_id, False
            if ended:
                return None
        raise RuntimeError(
            f"index '{self.name}' changed too much during iteration to find the place reached "
            "again: the documents about it were deleted, or documents before it keep coming "
            "and going")

    def __iter__(self) -> Iterator[DocumentId]:
        """The ids of the live documents, in the order they were first added,
        read a page of ids at a time (so that iterating a million documents
        never holds more than a page). See Index for changes made while
        iterating."""
        key = self.primary_key
        for page in self._browse([key], _ID_PAGE):
            yield from [hit[key] for hit in page]

    def _documents(self) -> Iterator[Document]:
        for page in self._browse(None, _DOCUMENT_PAGE):
            yield from page

    def values(self) -> ValuesView[Document]:
        """The live documents, in the order they were first added, read a
        page at a time as the iteration goes."""
        return _IndexValues(self)

    def items(self) -> ItemsView[DocumentId, Document]:
        """(id, document) pairs of the live documents, in the order they were
        first added, read a page at a time as the iteration goes."""
        return _IndexItems(self)

    def stats(self) -> Dict[str, Any]:
        """Counts and averages of the index, and its ranking parameters."""
        return self.database._json("searchdb_index_stats_json", "null", self._name)

    def __len__(self) -> int:
        """The number of live documents."""
        return self.stats()["document_count"]


class _IndexValues(ValuesView[Document]):
    """An index's documents, read a page at a time when iterated."""

    _mapping: Index

    def __iter__(self) -> Iterator[Document]:
        return self._mapping._documents()


class _IndexItems(ItemsView[DocumentId, Document]):
    """An index's (id, document) pairs, read a page at a time when iterated."""

    _mapping: Index

    def __iter__(self) -> Iterator[Tuple[DocumentId, Document]]:
        key = self._mapping.primary_key
        return ((document[key], document) for document in self._mapping._documents())
