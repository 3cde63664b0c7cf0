#!/usr/bin/env python3
"""searchdb_search_request against a plain evaluation of the same request in
Python, over random corpora, random changes, restarts and random requests.

The library is loaded with ctypes. Each round makes a fresh store, fills one
index with random documents (numbers, strings with capitals, Latin-1 and
Cyrillic letters, long words and NULs, arrays that mix kinds and pass the
2047 bytes an array's text is cut at, nested objects, arrays of objects,
repeated keys, missing members) and then alternates changes (adds,
replacements, revivals, deletions, refused batches, batches large enough to
drop the columns, restarts) with random requests, good and bad. Every
answer is compared with the reference's, answer for answer.

The reference reads the documents as the store holds them
(searchdb_document_get) and restates the request's rules plainly. Only the
BM25 order is taken from the library: searchdb_search(q, 0, 0) gives every
hit in score order (ties by the order ids were first added), which is the
relevance order; everything else (which query token matched which term,
phrases, the all-words rule, filters, sorting, facets, fields, paging,
highlights and snippets) is evaluated here. Scores themselves cannot be
seen, so a request with a query puts "relevance" in its sort keys only where
no field key follows it (browsing scores everything 0, so there it goes
anywhere). A rank rule is one function of RANK_RULES.

What the header leaves open, as the library answers it (pinned here):
  - A facet's number is written as an integer when it is whole and at most
    2^53 in magnitude, else as a real; -0 counts as 0.
  - "highlight": [] gives every hit an empty "_highlight" object; a member
    holding anything but a string or an array is left out of it, a member
    missing too. A string is highlighted up to its first NUL, as indexed.
    Browsing marks nothing.
  - A snippet runs from the first kept token's first byte to the last one's
    last byte; a text without tokens gives "". Where an array's joined text
    was cut inside a character, that character is left out (and a token
    that lies wholly in it is not kept).
  - "fields" may name a member twice; a document that holds a key twice
    gives every member of that key.
  - Paths, filters, sorting and facets read the first member of a key held
    twice; values keep their NUL bytes ("a\\u0000b" is its own string).
  - "query" echoes q up to its first NUL ("" when browsing).
  - Messages: "request: <reason> at byte N" for text that is not JSON (the
    reason is the JSON reader's), "request: expected an object", "request
    has unknown member 'X'", "request has duplicate member 'X'", and
    "<where>: <fault>" with <where> the member path ("filter.and[0].not",
    "sort[1].field"), as validate() states them; the first fault in member
    order (filters in pre-order) is the one reported.

Environment:
  SEARCHDB_BUILT_LIBRARY     the library to test (set by CTest)
  SEARCHDB_REFERENCE_SEED    seed of the first round (default 1); round k
                             runs with seed + k, and a failure names it
  SEARCHDB_REFERENCE_ROUNDS  rounds (default 60); a soak sets thousands
  SEARCHDB_REFERENCE_ONLY    run only the round of this seed
  SEARCHDB_REFERENCE_TRACE   a file that receives, as JSON, the calls of the
                             round up to its last request (for replaying)

    SEARCHDB_BUILT_LIBRARY=build/libsearchdb.so tests/request_reference_test.py
"""
import collections
import ctypes
import functools
import json
import math
import os
import random
import re
import shutil
import tempfile
import unittest
from fractions import Fraction

# ---- JSON as the store holds it: objects keep order and repeated keys ----


class Obj(list):
    """A JSON object: its (key, value) members in order, repeats included."""

    def get(self, key, default=None):
        for k, v in self:
            if k == key:
                return v
        return default


class Raw:
    """A number written as given ("1.0", "2.50", "-0", "1E2")."""

    def __init__(self, text):
        self.text = text
        self.value = json.loads(text)


def dumps(v):
    if isinstance(v, Obj):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + dumps(x) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(dumps(x) for x in v) + "]"
    if isinstance(v, Raw):
        return v.text
    return json.dumps(v, ensure_ascii=False)


def loads(text):
    return json.loads(text, object_pairs_hook=Obj)


def is_num(v):
    return isinstance(v, (int, float, Raw)) and not isinstance(v, bool)


def num(v):
    return float(v.value if isinstance(v, Raw) else v)


def canon(v, strict):
    """A comparable form: numbers by value (strict: integers apart from
    reals), true never equal to 1, objects in order."""
    if isinstance(v, Obj):
        return ("O", tuple((k, canon(x, strict)) for k, x in v))
    if isinstance(v, list):
        return ("A", tuple(canon(x, strict) for x in v))
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return (type(v).__name__, v)
    if strict:
        return (type(v).__name__, v)
    return ("#", float(v))


# ---- Text as the index reads it ----

TOKEN = re.compile(rb"[0-9A-Za-z_\x80-\xff]+")
TERM_MAX = 255
JOINED_MAX = 2047


def fold(token):
    b = bytearray(token)
    i = 0
    while i < len(b):
        c = b[i]
        if 0x41 <= c <= 0x5A:
            b[i] = c + 0x20
            i += 1
        elif c < 0x80 or 0x80 <= c <= 0xBF or c >= 0xF8:
            i += 1
        elif c <= 0xDF:
            if i + 1 >= len(b):
                break
            cp = ((c & 0x1F) << 6) | (b[i + 1] & 0x3F)
            if 0xC0 <= cp <= 0xDE or 0x410 <= cp <= 0x42F:
                cp += 0x20
                b[i], b[i + 1] = 0xC0 | (cp >> 6), 0x80 | (cp & 0x3F)
            i += 2
        else:
            i += 3 if c <= 0xEF else 4
    return bytes(b)


def spans(text):
    return [(m.start(), m.end()) for m in TOKEN.finditer(text)]


def tokens(text):
    """Folded tokens, each as the term it is (cut to TERM_MAX bytes)."""
    return [fold(text[s:e])[:TERM_MAX] for s, e in spans(text)]


def up_to_nul(s):
    return s.encode().split(b"\0")[0]


def number_text(v):
    return ("%.10g" % num(v)).encode()


def joined(arr):
    out = b""
    for e in arr:
        if isinstance(e, str):
            word = up_to_nul(e)
        elif is_num(e):
            word = number_text(e)
        else:
            continue
        if out:
            out = (out + b" ")[:JOINED_MAX]
        out = (out + word)[:JOINED_MAX]
    return out


def member_text(v):
    """The text a member gives the index, or None."""
    if isinstance(v, str):
        return up_to_nul(v)
    if isinstance(v, bool):
        return b"true" if v else b"false"
    if is_num(v):
        return number_text(v)
    if isinstance(v, list) and not isinstance(v, Obj):
        return joined(v)
    return None


def budget(n):
    return 0 if n <= 3 else 1 if n <= 7 else 2


def within(a, b, most):
    """Whether the byte edit distance of a and b is at most `most`."""
    if abs(len(a) - len(b)) > most:
        return False
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        cur = [i]
        for j, y in enumerate(b, 1):
            cur.append(min(row[j] + 1, cur[j - 1] + 1, row[j - 1] + (x != y)))
        if min(cur) > most:
            return False
        row = cur
    return row[-1] <= most


def matches(token, terms):
    """The terms one query token stands for: itself when it is a term, else
    the longer terms it begins (2 bytes at least) and those within its
    typo budget."""
    q = token[:TERM_MAX]
    if q in terms:
        return {q}
    b = budget(len(q))
    return {t for t in terms
            if (len(q) >= 2 and len(t) > len(q) and t.startswith(q)) or (b and within(q, t, b))}


def phrases_of(q):
    """The phrases of a query: runs of its token positions between one
    double quote and the next (a last unpaired quote opens nothing)."""
    quotes = q.count(b'"')
    runs = {}
    for i, (s, _) in enumerate(spans(q)):
        before = q[:s].count(b'"')
        if before % 2 == 1 and before < quotes:
            runs.setdefault(before, []).append(i)
    return list(runs.values())


def valid_prefix(text):
    """Where text ends once a character cut short at its end is left out."""
    for end in range(len(text), max(len(text) - 4, 0) - 1, -1):
        try:
            text[:end].decode()
            return end
        except UnicodeDecodeError:
            pass
    return len(text)


def highlight(text, marked_terms, phrases, tags, snippet):
    sp = spans(text)
    toks = [fold(text[s:e])[:TERM_MAX] for s, e in sp]
    marked = [t in marked_terms for t in toks]
    for words in phrases:
        for at in range(len(toks) - len(words) + 1):
            if toks[at:at + len(words)] == words:
                marked[at:at + len(words)] = [True] * len(words)
    end_text = valid_prefix(text)
    first, last = 0, len(sp)
    if snippet:
        hit = marked.index(True) if True in marked else None
        before = (snippet - 1) // 2
        if hit is not None and hit > before:
            first = hit - before
        last = min(len(sp), first + snippet)
    out, at = [], sp[first][0] if snippet and sp else 0
    for i in range(first, last):
        s, e = sp[i]
        if s >= end_text:
            break
        e = min(e, end_text)
        out.append(text[at:s])
        out.append(tags[0] + text[s:e] + tags[1] if marked[i] else text[s:e])
        at = e
    if not snippet:
        out.append(text[at:end_text])
    ellipsis = "\u2026".encode()
    body = b"".join(out)
    if snippet:
        body = (ellipsis if first > 0 else b"") + body + (ellipsis if last < len(sp) else b"")
    return body.decode()


# ---- Values as filters, sorting and facets read them ----

NUMBER, STRING, FALSE, TRUE, NULL = range(5)


def value(v):
    """A scalar as (kind, comparable value); -0 is 0."""
    if isinstance(v, bool):
        return (TRUE if v else FALSE, 0)
    if v is None:
        return (NULL, 0)
    if isinstance(v, str):
        return (STRING, v.encode())
    return (NUMBER, num(v) + 0.0)


def walk(root, path):
    """(present, scalar values) of a path in a document: '.' steps into an
    object, and into each object of an array; the first member of a key."""
    steps = path.split(".")
    found = {"present": False, "values": []}

    def go(obj, i):
        member = next((v for k, v in obj if k == steps[i]), _MISSING)
        if member is _MISSING:
            return
        if i == len(steps) - 1:
            found["present"] = True
            if isinstance(member, Obj):
                return
            items = member if isinstance(member, list) else [member]
            found["values"] += [value(x) for x in items if not isinstance(x, list)]
        elif isinstance(member, Obj):
            go(member, i + 1)
        elif isinstance(member, list):
            for e in member:
                if isinstance(e, Obj):
                    go(e, i + 1)

    go(root, 0)
    return found["present"], set(found["values"])


_MISSING = object()

ORDER_OPS = {"lt": lambda a, b: a < b, "lte": lambda a, b: a <= b,
             "gt": lambda a, b: a > b, "gte": lambda a, b: a >= b}


def passes(f, root):
    kind = f["kind"]
    if kind == "and":
        return all(passes(c, root) for c in f["children"])
    if kind == "or":
        return any(passes(c, root) for c in f["children"])
    if kind == "not":
        return not passes(f["child"], root)
    present, values = walk(root, f["field"])
    op = f["op"]
    if op == "exists":
        return present
    if op in ("eq", "ne"):
        return (value(f["value"]) in values) == (op == "eq")
    if op in ("in", "not_in"):
        return any(value(x) in values for x in f["value"]) == (op == "in")
    want = value(f["value"])
    return any(k == want[0] and ORDER_OPS[op](x, want[1]) for k, x in values)


def sort_value(root, path, desc):
    """The value a document sorts by: its least number or string (numbers
    first) for asc, its greatest for desc; None sorts last."""
    _, values = walk(root, path)
    sortable = [v for v in values if v[0] in (NUMBER, STRING)]
    if not sortable:
        return None
    return max(sortable) if desc else min(sortable)


def facet_value(v):
    kind, x = v
    if kind == NUMBER:
        return int(x) if x.is_integer() and abs(x) <= 2 ** 53 else x
    if kind == STRING:
        return x.decode()
    return {FALSE: False, TRUE: True, NULL: None}[kind]


# ---- Rank rules: the relevance order of the documents a query matched ----


def rank_bm25(ctx, doc_id):
    # searchdb_search's own order: score descending, then slot.
    return ctx["plain"].get(doc_id, 0)


K1, B = 1.2, 0.75
TYPO_RATIO, TYPO_BAND = 64, 4  # an edit more: this many times as common; a level's width


def edits(a, b):
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        cur = [i]
        for j, y in enumerate(b, 1):
            cur.append(min(row[j] + 1, cur[j - 1] + 1, row[j - 1] + (x != y)))
        row = cur
    return row[-1]


def typo_order(store, qtokens):
    """{id: key} of the typo-aware order: more of the query's words first,
    then closer readings (levels of df / 64^edits in bands of 4; a longer
    word begun by the token costs no edit), then documents titled the
    query as they read it (title word j one of the closest readings of
    query word j that the document holds), then the sum of each word's
    closest reading's BM25, every reading of a word weighing as its
    commonest."""
    live = store.live()
    postings = {}  # term: {id: [tf, in title]}
    length, title = {}, {}
    for i in live:
        root = store.docs[i]["root"]
        first = next((n for n, (k, _) in enumerate(root) if k in ("title", "name")), None)
        title[i] = []
        length[i] = 0
        for n, (_, v) in enumerate(root):
            text = member_text(v)
            if text is None:
                continue
            ts = tokens(text)
            length[i] += len(ts)
            if n == first:
                title[i] = ts
            for t in ts:
                p = postings.setdefault(t, {}).setdefault(i, [0, False])
                p[0] += 1
                p[1] |= n == first
    avgdl = max(sum(length.values()) / len(live), 1.0)
    sums = {}  # id: [words, closeness, score]
    read = []  # per query word: its readings' levels, and per id its closest
    for token in qtokens:
        q = token[:TERM_MAX]
        readings = sorted(((Fraction(len(postings[t]), TYPO_RATIO ** (
            0 if len(t) > len(q) >= 2 and t.startswith(q) else edits(q, t))), t)
            for t in store.matches(token)), reverse=True, key=lambda r: r[0])
        if not readings:
            read.append(({}, {}))
            continue
        level, lead, levels = 0, readings[0][0], {}
        for like, t in readings:
            if lead > TYPO_BAND * like:
                level, lead = level + 1, like
            levels[t] = level
        df = max(len(postings[t]) for _, t in readings)
        weight = max(math.log(((len(live) - df) + 0.5) / (df + 0.5) + 1.0), 0.0)
        closest = {}
        for _, t in readings:
            for i, (tf, in_title) in postings[t].items():
                dl = max(float(length[i]), 1.0)
                norm = ((dl / avgdl) * B + (1.0 - B)) * K1
                c = (tf * (K1 + 1.0)) / (norm + tf) * weight
                c = c + c if in_title else c
                closest[i] = min(closest.get(i, (levels[t], -c)), (levels[t], -c))
        read.append((levels, closest))
        for i, (lv, minus_c) in closest.items():
            s = sums.setdefault(i, [0, 0, 0.0])
            s[0], s[1], s[2] = s[0] + 1, s[1] + lv, -minus_c + s[2]

    def titled(i):
        return len(title[i]) == len(read) and all(
            i in closest and levels.get(t) == closest[i][0]
            for t, (levels, closest) in zip(title[i], read))

    return {i: (-w, lv, not titled(i), -score) for i, (w, lv, score) in sums.items()}


def rank_typo_aware(ctx, doc_id):
    if "store" not in ctx:  # browsing: every document ranks alike
        return ()
    if "typo" not in ctx:
        ctx["typo"] = typo_order(ctx["store"], ctx["qtokens"])
    return ctx["typo"].get(doc_id, ())


RANK_RULES = {"bm25": rank_bm25, "typo_aware": rank_typo_aware}

# ---- Requests: validation, with the messages of bad ones ----

MEMBERS = ["q", "limit", "offset", "filter", "sort", "facets", "facet_size", "fields",
           "operator", "highlight", "highlight_tags", "snippet_words", "rank"]
PATH_FAULT = "expected a path: member names joined by '.'"
OPS = ["eq", "ne", "lt", "lte", "gt", "gte", "in", "not_in", "exists"]
FILTER_MEMBERS = ["field", "op", "value", "and", "or", "not"]
INT32 = (-2 ** 31, 2 ** 31 - 1)


class Refused(Exception):
    pass


def c_text(s):
    """A name as the library's messages print it: up to its first NUL."""
    return s.split("\0")[0]


def is_int(v, lo, hi):
    return type(v) is int and lo <= v <= hi


def is_scalar(v):
    return not isinstance(v, list)


def valid_path(p):
    return isinstance(p, str) and p != "" and "\0" not in p and "" not in p.split(".")


class Validator:
    def __init__(self):
        self.paths = []
        self.nodes = 0

    def path(self, p, where):
        if p not in self.paths:
            if len(self.paths) == 64:
                raise Refused(f"{where}: more than 64 distinct field paths in one request")
            self.paths.append(p)

    def filter(self, node, where, depth):
        if depth > 32:
            raise Refused(f"{where}: nested deeper than 32")
        if self.nodes == 1024:
            raise Refused("filter: more than 1024 nodes")
        if not isinstance(node, Obj):
            raise Refused(f"{where}: expected a filter object")
        self.nodes += 1
        got = {}
        for k, v in node:
            if k not in FILTER_MEMBERS:
                raise Refused(f"{where}: unknown member '{c_text(k)}'")
            if k in got:
                raise Refused(f"{where}: duplicate member '{k}'")
            got[k] = v
        leaf = any(k in got for k in ("field", "op", "value"))
        if leaf + sum(k in got for k in ("and", "or", "not")) != 1:
            raise Refused(f"{where}: expected field and op, or one of and, or, not")
        for kind in ("and", "or"):
            if kind in got:
                if not isinstance(got[kind], list) or isinstance(got[kind], Obj):
                    raise Refused(f"{where}.{kind}: expected an array of filters")
                return {"kind": kind, "children": [
                    self.filter(c, f"{where}.{kind}[{i}]", depth + 1)
                    for i, c in enumerate(got[kind])]}
        if "not" in got:
            return {"kind": "not", "child": self.filter(got["not"], where + ".not", depth + 1)}
        if "field" not in got or "op" not in got:
            raise Refused(f"{where}: expected field and op, or one of and, or, not")
        field, op = got["field"], got["op"]
        if not valid_path(field):
            raise Refused(f"{where}.field: {PATH_FAULT}")
        if not isinstance(op, str):
            raise Refused(f"{where}.op: expected a string")
        if op not in OPS:
            raise Refused(f"{where}: unknown op '{c_text(op)}'")
        if op == "exists":
            if "value" in got:
                raise Refused(f"{where}: op 'exists' takes no value")
        elif "value" not in got:
            raise Refused(f"{where}: op '{op}' needs a value")
        else:
            v = got["value"]
            if op in ("eq", "ne") and not is_scalar(v):
                raise Refused(f"{where}.value: expected a string, number, true, false or null")
            if op in ("in", "not_in"):
                if not isinstance(v, list) or isinstance(v, Obj) or not all(map(is_scalar, v)):
                    raise Refused(f"{where}.value: expected an array of strings, numbers, "
                                  "true, false or null")
                if len(v) > 10000:
                    raise Refused(f"{where}.value: more than 10000 values")
            if op in ORDER_OPS and not (isinstance(v, str) or is_num(v)):
                raise Refused(f"{where}.value: op '{op}' takes a string or a number")
        self.path(field, where + ".field")
        return {"kind": "leaf", "field": field, "op": op, "value": got.get("value")}

    def names(self, v, member, non_empty, most, unique):
        if not isinstance(v, list) or isinstance(v, Obj) or (non_empty and not v):
            raise Refused(f"{member}: expected {'a non-empty' if non_empty else 'an'} array "
                          "of member names")
        if len(v) > most:
            raise Refused(f"{member}: more than {most} members")
        for i, name in enumerate(v):
            if not isinstance(name, str):
                raise Refused(f"{member}[{i}]: expected a member name")
            if unique and name in v[:i]:
                raise Refused(f"{member}[{i}]: '{c_text(name)}' is listed twice")
        return list(v)

    def request(self, req):
        if not isinstance(req, Obj):
            raise Refused("request: expected an object")
        r = {"q": None, "limit": 20, "offset": 0, "filter": None, "sort": [], "facets": None,
             "facet_size": 100, "fields": None, "all_words": False, "highlight": None,
             "tags": ("<mark>", "</mark>"), "snippet": 0, "rank": "bm25"}
        seen = set()
        for k, v in req:
            if k not in MEMBERS:
                raise Refused(f"request has unknown member '{c_text(k)}'")
            if k in seen:
                raise Refused(f"request has duplicate member '{k}'")
            seen.add(k)
            if k == "q":
                if v is not None and not isinstance(v, str):
                    raise Refused("q: expected a string or null")
                if v is not None:
                    q = up_to_nul(v)
                    n = len(spans(q))
                    if n > 1024:
                        raise Refused(f"q: query has {n} tokens, over the limit of 1024")
                    if any(len(p) > 64 for p in phrases_of(q)):
                        raise Refused("q: a phrase of more than 64 words")
                    r["q"] = q
            elif k in ("limit", "offset"):
                if not is_int(v, *INT32):
                    raise Refused(f"{k}: expected an integer from -2147483648 to 2147483647")
                r[k] = v
            elif k == "filter":
                r["filter"] = self.filter(v, "filter", 1)
            elif k == "sort":
                r["sort"] = self.sort(v)
            elif k == "facets":
                if not isinstance(v, list) or isinstance(v, Obj):
                    raise Refused("facets: expected an array of field paths")
                if len(v) > 32:
                    raise Refused("facets: more than 32 fields")
                for i, p in enumerate(v):
                    if not valid_path(p):
                        raise Refused(f"facets[{i}]: {PATH_FAULT}")
                    self.path(p, f"facets[{i}]")
                    if p in v[:i]:
                        raise Refused(f"facets[{i}]: '{p}' is listed twice")
                r["facets"] = list(v)
            elif k == "facet_size":
                if not is_int(v, 0, INT32[1]):
                    raise Refused("facet_size: expected an integer from 0 to 2147483647")
                r["facet_size"] = v
            elif k == "fields":
                r["fields"] = self.names(v, "fields", True, 256, False)
            elif k == "operator":
                if v not in ("or", "and") or not isinstance(v, str):
                    raise Refused('operator: expected "or" or "and"')
                r["all_words"] = v == "and"
            elif k == "highlight":
                r["highlight"] = self.names(v, "highlight", False, 32, True)
            elif k == "highlight_tags":
                if (not isinstance(v, list) or isinstance(v, Obj) or len(v) != 2
                        or not all(isinstance(t, str) for t in v)):
                    raise Refused("highlight_tags: expected an array of two strings")
                r["tags"] = tuple(v)
            elif k == "snippet_words":
                if not is_int(v, 1, INT32[1]):
                    raise Refused("snippet_words: expected an integer from 1 to 2147483647")
                r["snippet"] = v
            elif k == "rank":
                if not isinstance(v, str):
                    raise Refused("rank: expected a string")
                if v not in RANK_RULES:
                    raise Refused(f"rank: unknown rank '{c_text(v)}'")
                r["rank"] = v
        return r

    def sort(self, v):
        if not isinstance(v, list) or isinstance(v, Obj):
            raise Refused("sort: expected an array")
        if len(v) > 32:
            raise Refused("sort: more than 32 keys")
        keys = []
        shape = "expected a string or an object with field and order"
        for i, key in enumerate(v):
            if isinstance(key, str):
                if key != "relevance":
                    raise Refused(f"sort[{i}]: unknown sort '{c_text(key)}'")
                keys.append(None)
                continue
            if not isinstance(key, Obj):
                raise Refused(f"sort[{i}]: {shape}")
            got = {}
            for k, x in key:
                if k not in ("field", "order"):
                    raise Refused(f"sort[{i}]: unknown member '{c_text(k)}'")
                if k in got:
                    raise Refused(f"sort[{i}]: duplicate member '{k}'")
                got[k] = x
            if len(got) != 2:
                raise Refused(f"sort[{i}]: {shape}")
            if not valid_path(got["field"]):
                raise Refused(f"sort[{i}].field: {PATH_FAULT}")
            if got["order"] not in ("asc", "desc") or not isinstance(got["order"], str):
                raise Refused(f'sort[{i}].order: expected "asc" or "desc"')
            self.path(got["field"], f"sort[{i}].field")
            keys.append((got["field"], got["order"] == "desc"))
        return keys


def validate(req):
    """(normalized request, None) or (None, the message)."""
    try:
        return Validator().request(req), None
    except Refused as fault:
        return None, str(fault).encode()[:1023]


# ---- The library ----


class Library:
    def __init__(self, path):
        self.c = ctypes.CDLL(path)
        for name in ("searchdb_search", "searchdb_search_request", "searchdb_document_get",
                     "searchdb_last_error"):
            getattr(self.c, name).restype = ctypes.c_char_p
        self.c.searchdb_search.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                           ctypes.c_int]

    def error(self):
        return self.c.searchdb_last_error()


def raw_hits(answer):
    """The hits of an answer as the texts they are written as."""
    decoder, text = json.JSONDecoder(object_pairs_hook=Obj), answer.decode()
    assert text.startswith('{"hits":['), text[:80]
    at, out = len('{"hits":['), []
    while text[at] != "]":
        _, end = decoder.raw_decode(text, at)
        out.append(text[at:end])
        at = end + (text[end] == ",")
    return out


def mask_time(answer):
    return re.sub(rb'"processingTimeMs":[^,]*,', b'"processingTimeMs":0,', answer)


# ---- The store as the reference sees it ----


class Store:
    """One index: its documents as stored, by id, and their slot order."""

    def __init__(self, lib, directory, name, key):
        self.lib, self.dir, self.name, self.key = lib, directory, name.encode(), key
        self.slots = []       # ids in slot order, dead ones included
        self.docs = {}        # live id -> parsed stored document
        self.rendered = {}    # id -> its text in searchdb_search's hits
        self.terms_cache = None
        self.match_cache = {}
        self.trace = []       # the calls made, for SEARCHDB_REFERENCE_TRACE

    def id_of(self, doc):
        v = doc.get(self.key)
        return v if isinstance(v, str) else "%.0f" % num(v)

    def open(self):
        assert self.lib.c.searchdb_init(self.dir.encode()) == 0, self.lib.error()
        assert self.lib.error() == b"", self.lib.error()

    def restart(self):
        self.trace.append(["restart"])
        self.lib.c.searchdb_cleanup()
        self.open()
        self.slots = [i for i in self.slots if i in self.docs]

    def changed(self, ids):
        for i in ids:
            self.rendered.pop(i, None)
            text = self.lib.c.searchdb_document_get(self.name, i.encode())
            if i in self.docs:
                assert text is not None, f"document {i} lost: {self.lib.error()}"
                self.docs[i] = {"root": loads(text.decode())}
            else:
                assert text is None, f"deleted document {i} still answers {text}"
        self.terms_cache = None
        self.match_cache = {}

    def add(self, batch, text=None):
        text = text or dumps(batch)
        self.trace.append(["add", text])
        n = self.lib.c.searchdb_documents_add(self.name, text.encode())
        ids = [self.id_of(d) if isinstance(d, Obj) and d.get(self.key) is not None else None
               for d in batch]
        if None in ids:
            assert n == -1 and self.lib.error() == (
                f"document missing primary key '{self.key}'".encode()), (n, self.lib.error())
            return
        assert n == len(batch), (n, self.lib.error())
        for i in ids:
            if i not in self.slots:
                self.slots.append(i)
            self.docs[i] = None
        self.changed(set(ids))

    def delete(self, i):
        self.trace.append(["delete", i])
        rc = self.lib.c.searchdb_document_delete(self.name, i.encode())
        assert rc == (0 if i in self.slots else -1), (i, rc, self.lib.error())
        if i in self.docs:
            del self.docs[i]
            self.changed([i])

    def live(self):
        return [i for i in self.slots if i in self.docs]

    def member_tokens(self, i):
        d = self.docs[i]
        if "members" not in d:
            d["members"] = [tokens(t) for t in (member_text(v) for _, v in d["root"])
                            if t is not None]
            d["terms"] = {t for m in d["members"] for t in m}
        return d["members"]

    def terms(self, i):
        self.member_tokens(i)
        return self.docs[i]["terms"]

    def all_terms(self):
        if self.terms_cache is None:
            self.terms_cache = set().union(*(self.terms(i) for i in self.docs))
        return self.terms_cache

    def matches(self, token):
        if token not in self.match_cache:
            self.match_cache[token] = matches(token, self.all_terms())
        return self.match_cache[token]

    def plain_order(self, q):
        """Every hit of searchdb_search(q), ids in its order."""
        answer = self.lib.c.searchdb_search(self.name, q, 0, 0)
        assert answer != b"null", self.lib.error()
        ids = []
        for text in raw_hits(answer):
            i = self.id_of(loads(text))
            self.rendered[i] = text
            ids.append(i)
        assert loads(answer.decode()).get("totalHits") == len(ids)
        return ids


def holds_phrase(store, i, words):
    return any(m[at:at + len(words)] == words
               for m in store.member_tokens(i) for at in range(len(m) - len(words) + 1))


def evaluate(store, r):
    """The answer the request r (validated) must give, hits compared by
    value, with the raw text each unshaped hit must have where known."""
    live = store.live()
    slot = {i: n for n, i in enumerate(store.slots)}
    ctx = {"plain": {}}
    phrases, marked = [], set()
    q = r["q"]
    if q is None:
        matched = live
    else:
        qtokens = [fold(q[s:e]) for s, e in spans(q)]
        matched = store.plain_order(q) if qtokens and live else []
        ctx.update(plain={i: n for n, i in enumerate(matched)}, store=store, qtokens=qtokens)
        # The hit set is exactly the documents holding a term some token matched.
        reached = set().union(*(store.matches(t) for t in qtokens))
        expected = {i for i in live if store.terms(i) & reached}
        assert set(matched) == expected, (
            f"searchdb_search({q!r}) hits {sorted(set(matched) ^ expected)} "
            "against the matching rule")
        words = [t[:TERM_MAX] for t in qtokens]
        phrases = [[words[k] for k in run] for run in phrases_of(q)]
        inside = {k for run in phrases_of(q) for k in run}
        for k, t in enumerate(qtokens):
            if k not in inside:
                marked |= store.matches(t)
        if r["all_words"]:
            wanted = [store.matches(t) for t in set(qtokens)]
            matched = [i for i in matched if all(store.terms(i) & m for m in wanted)]
        matched = [i for i in matched if all(holds_phrase(store, i, p) for p in phrases)]
    if r["filter"] is not None:
        matched = [i for i in matched if passes(r["filter"], store.docs[i]["root"])]
    rule = RANK_RULES[r["rank"]]

    def before(a, b):
        for key in r["sort"]:
            if key is None:
                x, y = rule(ctx, a), rule(ctx, b)
            else:
                x = sort_value(store.docs[a]["root"], *key)
                y = sort_value(store.docs[b]["root"], *key)
                if x is None or y is None:
                    x, y = x is None, y is None
                elif key[1]:
                    x, y = y, x
            if x != y:
                return -1 if x < y else 1
        x, y = (rule(ctx, a), slot[a]), (rule(ctx, b), slot[b])
        return -1 if x < y else 1 if x > y else 0

    kept = sorted(matched, key=functools.cmp_to_key(before))
    limit, offset = max(r["limit"], 0), max(r["offset"], 0)
    page = kept[offset:offset + limit] if limit else kept[offset:]
    hits, raws = [], []
    for i in page:
        root = store.docs[i]["root"]
        shaped = r["fields"] is not None or r["highlight"] is not None
        hit = Obj(m for m in root if m[0] in r["fields"]) if r["fields"] is not None else Obj(root)
        if r["highlight"] is not None:
            marks = Obj()
            tags = tuple(t.encode() for t in r["tags"])
            for name in r["highlight"]:
                v = root.get(name, _MISSING)
                if isinstance(v, str) or (isinstance(v, list) and not isinstance(v, Obj)):
                    text = up_to_nul(v) if isinstance(v, str) else joined(v)
                    marks.append((name, highlight(text, marked, phrases, tags, r["snippet"])))
            hit.append(("_highlight", marks))
        hits.append(hit)
        raws.append(None if shaped else store.rendered.get(i))
    answer = Obj([("hits", hits), ("query", q.decode() if q is not None else ""),
                  ("processingTimeMs", None), ("limit", limit), ("offset", offset),
                  ("totalHits", len(kept))])
    if r["facets"] is not None:
        facets = Obj()
        for path in r["facets"]:
            counts = {}
            for i in kept:
                for v in walk(store.docs[i]["root"], path)[1]:
                    counts[v] = counts.get(v, 0) + 1
            order = sorted(counts, key=lambda v: (-counts[v], v))
            if r["facet_size"]:
                order = order[:r["facet_size"]]
            facets.append((path, [Obj([("value", facet_value(v)), ("count", counts[v])])
                                  for v in order]))
        answer.append(("facets", facets))
    return answer, raws


# ---- Random corpora, changes and requests ----

WORDS = ["apple", "apples", "apply", "Apple", "banana", "band", "bandana", "red", "Red", "green",
         "sky", "night", "data", "database", "databases", "databse", "search", "serch",
         "searching", "run", "running", "ru", "x", "x1", "Äpfel", "äpfel", "ÀÉÎ", "ПРИВЕТ",
         "привет", "мир", "Ёж", "foo_bar", "3", "14", "e", "Ωmega", "café", "naïve", "日本語",
         "über", "zz", "10", "1e"]
SEPARATORS = [" ", " ", " ", ", ", "-", "  ", ". ", "/", "\t"]
STRINGS = ["a", "b", "B", "apple", "Apple", "", "10", "2", "ab c", "a\u0000b", "Äpfel", "z"]
NUMBERS = [0, 1, 2, 3, 10, -2, 1.5, 0.1, 100, 2.5, -0.0, 1e20, 12345678901, 9007199254740993]
TOP = ["title", "name", "body", "tags", "price", "meta", "items", "mixed", "flag", "nul"]
PATHS = ["price", "tags", "meta", "meta.a", "meta.b", "meta.b.c", "items", "items.k", "items.v",
         "items.k.z", "mixed", "flag", "nul", "title", "name", "nope", "meta.a.x", "body"]


class Gen:
    def __init__(self, rng, store):
        self.rng, self.store = rng, store
        self.next_id = 0

    def words(self, most):
        rng = self.rng
        out = []
        for _ in range(rng.randint(1, most)):
            w = rng.choice(WORDS)
            if rng.random() < 0.1:
                w = w.upper()
            out.append(w)
        if rng.random() < 0.02:
            out.append(rng.choice("ab") * rng.randint(250, 300))
        text = ""
        for w in out:
            text += (rng.choice(SEPARATORS) if text else "") + w
        if rng.random() < 0.03:
            text = text.replace(" ", "\u0000", 1)
        return text

    def scalar(self):
        rng = self.rng
        r = rng.random()
        if r < 0.4:
            return rng.choice(NUMBERS) if rng.random() < 0.8 else Raw(rng.choice(
                ["1.0", "2.50", "-0", "1E2", "1e0", "0.10"]))
        if r < 0.8:
            return rng.choice(STRINGS) if rng.random() < 0.7 else self.words(2)
        return rng.choice([True, False, None])

    def array(self):
        rng = self.rng
        out = []
        for _ in range(rng.randint(0, 5) if rng.random() < 0.9 else rng.randint(17, 30)):
            r = rng.random()
            out.append(self.scalar() if r < 0.75 else [self.scalar()] if r < 0.85
                       else Obj([("k", self.scalar())]))
        if rng.random() < 0.05:  # past the cut of an array's text, sometimes inside a letter
            pad = rng.randint(2030, 2046)
            out = ["y" * pad] + [rng.choice(["Äpfel", "日本語 red", "apple", "ΩΩΩ"])] * 3
        return out

    def meta(self):
        rng = self.rng
        m = Obj()
        for k in rng.sample(["a", "b", "c"], rng.randint(0, 3)):
            m.append((k, self.array() if rng.random() < 0.3 else
                      Obj([("c", self.scalar())]) if k == "b" else self.scalar()))
        if m and rng.random() < 0.1:
            m.append((m[0][0], self.scalar()))
        return m

    def doc(self, ident):
        rng = self.rng
        d = Obj()
        members = [k for k in TOP if rng.random() < 0.6]
        rng.shuffle(members)
        for k in members:
            if k in ("title", "name", "body"):
                v = self.words(6 if k == "body" else 3) if rng.random() < 0.85 else self.scalar()
            elif k == "tags":
                v = self.array()
            elif k == "meta":
                v = self.meta() if rng.random() < 0.85 else self.scalar()
            elif k == "items":
                v = [Obj([("k", self.scalar()), ("v", self.array() if rng.random() < 0.3
                                                   else self.scalar())])
                     if rng.random() < 0.8 else self.scalar() for _ in range(rng.randint(0, 4))]
            elif k == "flag":
                v = rng.choice([True, False])
            elif k == "nul":
                v = None
            else:
                v = rng.choice([self.scalar(), self.array(), self.meta()])
            d.append((k, v))
        for p in range(80):
            if rng.random() < 0.01:
                d.append((f"p{p}", rng.randint(0, 3)))
        if d and rng.random() < 0.05:
            d.append((rng.choice(d)[0], self.scalar()))
        if rng.random() < 0.03:
            d.append((rng.choice(["_highlight", "k\u0000z", "id" if self.store.key != "id"
                                  else "sku"]), self.scalar()))
        d.insert(rng.randint(0, len(d)), (self.store.key, ident))
        return d

    def new_id(self):
        self.next_id += 1
        return self.next_id if self.rng.random() < 0.2 else f"d{self.next_id}"

    def some_id(self):
        ids = self.store.slots
        i = self.rng.choice(ids) if ids else "none"
        return int(i) if i.isdigit() and self.rng.random() < 0.5 else i

    # ---- requests ----

    def query(self):
        rng = self.rng
        parts = []
        for _ in range(rng.randint(1, 4)):
            r = rng.random()
            live = self.store.live()
            if r < 0.2 and live:  # a run of a member's tokens, as a phrase
                members = [m for m in self.store.member_tokens(rng.choice(live)) if m]
                if members:
                    m = rng.choice(members)
                    at = rng.randrange(len(m))
                    run = b" ".join(m[at:at + rng.randint(1, 3)]).decode(errors="replace")
                    parts.append('"' + run + '"')
                    continue
            w = rng.choice(WORDS)
            if r < 0.3:
                parts.append('"' + w + " " + rng.choice(WORDS) + '"')
                continue
            if r < 0.45 and live:
                terms = sorted(self.store.terms(rng.choice(live)))
                if terms:
                    w = rng.choice(terms).decode(errors="replace")
            r = rng.random()
            if r < 0.15 and len(w) > 3:
                w = w[:rng.randint(2, len(w) - 1)]
            elif r < 0.35 and len(w) > 3:
                at = rng.randrange(len(w))
                w = rng.choice([w[:at] + w[at + 1:], w[:at] + rng.choice("aexz") + w[at:],
                                w[:at] + rng.choice("aexz") + w[at + 1:]])
            elif r < 0.4:
                w = w.upper()
            parts.append(w)
        q = rng.choice([" ", " ", ", ", "-"]).join(parts)
        r = rng.random()
        if r < 0.05:  # a quote no other closes
            at = rng.randint(0, len(q))
            q = q[:at] + '"' + q[at:]
        elif r < 0.08:
            q = '"' + q + '"'
        elif r < 0.1:
            q = rng.choice(["", " ", "--", '""', "\u0000apple"])
        return q

    def filter_value(self, path, order):
        rng = self.rng
        live = self.store.live()
        if live and rng.random() < 0.6:
            doc = self.store.docs[rng.choice(live)]["root"]
            _, values = walk(doc, path)
            values = [v for v in values if not order or v[0] in (NUMBER, STRING)]
            if values:
                kind, x = rng.choice(sorted(values))
                return (x if kind == NUMBER else x.decode() if kind == STRING
                        else facet_value((kind, x)))
        v = self.scalar()
        while order and not (isinstance(v, str) or is_num(v)):
            v = self.scalar()
        return v

    def filter(self, depth=1):
        rng = self.rng
        r = rng.random()
        if depth < 4 and r < 0.3:
            kind = rng.choice(["and", "or"])
            return Obj([(kind, [self.filter(depth + 1) for _ in range(rng.randint(0, 3))])])
        if depth < 4 and r < 0.4:
            return Obj([("not", self.filter(depth + 1))])
        path, op = rng.choice(PATHS), rng.choice(OPS)
        f = [("field", path), ("op", op)]
        if op in ("in", "not_in"):
            n = rng.randint(0, 4) if rng.random() < 0.8 else rng.randint(17, 40)
            f.append(("value", [self.filter_value(path, False) for _ in range(n)]))
        elif op != "exists":
            f.append(("value", self.filter_value(path, op in ORDER_OPS)))
        rng.shuffle(f)
        return Obj(f)

    def request(self):
        rng = self.rng
        req = Obj()
        browse = rng.random() < 0.3
        if not browse:
            req.append(("q", self.query()))
        elif rng.random() < 0.3:
            req.append(("q", None))
        if rng.random() < 0.5:
            req.append(("limit", rng.choice([-1, 0, 1, 2, 3, 5, 10, 20])))
        if rng.random() < 0.4:
            req.append(("offset", rng.choice([-1, 0, 1, 2, 5, 15])))
        r = rng.random()
        if r < 0.45:
            req.append(("filter", self.filter()))
        elif r < 0.55:  # many paths, so that columns come and go
            req.append(("filter", Obj([("or", [Obj([("field", f"p{rng.randrange(80)}"),
                                                    ("op", "exists")]) for _ in range(50)])])))
        if rng.random() < 0.4:
            keys = []
            for _ in range(rng.randint(1, 3)):
                if rng.random() < 0.2:
                    keys.append("relevance")
                else:
                    key = [("field", rng.choice(PATHS)), ("order", rng.choice(["asc", "desc"]))]
                    rng.shuffle(key)
                    keys.append(Obj(key))
            if not browse:  # scores are not seen: nothing but relevance after relevance
                keys = [k for k in keys if k != "relevance"] + ["relevance"] * keys.count(
                    "relevance")
            req.append(("sort", keys))
        if rng.random() < 0.4:
            req.append(("facets", rng.sample(PATHS, rng.randint(0, 3))))
            if rng.random() < 0.4:
                req.append(("facet_size", rng.choice([0, 1, 2, 3, 5])))
        if rng.random() < 0.3:
            names = TOP + [self.store.key, "nope", "_highlight"]
            req.append(("fields", [rng.choice(names) for _ in range(rng.randint(1, 4))]))
        if rng.random() < 0.3:
            req.append(("operator", rng.choice(["or", "and", "and"])))
        if rng.random() < 0.4:
            req.append(("highlight", rng.sample(TOP + ["nope"], rng.randint(0, 3))))
            if rng.random() < 0.3:
                req.append(("highlight_tags", rng.choice([["[", "]"], ["", ""], ["<b>", "</b>"],
                                                          ["\u00ab", "\u00bb"]])))
            if rng.random() < 0.4:
                req.append(("snippet_words", rng.choice([1, 2, 3, 4, 5, 8, 12])))
        if rng.random() < 0.4:
            req.append(("rank", rng.choice(list(RANK_RULES))))
        rng.shuffle(req)
        return req

    def fault(self, req):
        """The request with one random fault (which may leave it valid)."""
        rng = self.rng
        many = lambda make, n: [make(i) for i in range(n)]  # noqa: E731
        bad_members = [
            ("fitler", Obj()), ("Q", "x"), ("", 1), ("k\u0000z", 1),
            ("q", 5), ("q", True), ("q", ["a"]), ("q", Obj()),
            ("q", " ".join(["w"] * 1025)), ("q", '"' + " w" * 65 + '"'),
            ("q", '"' + " w" * 64 + '" "a b"'),
            ("limit", "5"), ("limit", 1.0), ("limit", 2 ** 31), ("limit", -2 ** 31 - 1),
            ("limit", -2 ** 31), ("offset", None), ("offset", True), ("offset", 2 ** 31 - 1),
            ("filter", []), ("filter", "x"), ("filter", Obj()), ("filter", Obj([("and", Obj())])),
            ("sort", "price"), ("sort", Obj()), ("sort", [3]), ("sort", ["score"]),
            ("sort", [Obj([("field", "a")])]), ("sort", [Obj([("field", "a"), ("order", "up")])]),
            ("sort", [Obj([("field", "a"), ("order", 1)])]),
            ("sort", [Obj([("field", "a..b"), ("order", "asc")])]),
            ("sort", [Obj([("field", "a"), ("order", "asc"), ("dir", 1)])]),
            ("sort", [Obj([("field", "a"), ("field", "b"), ("order", "asc")])]),
            ("sort", ["relevance"] * rng.choice([32, 33])),
            ("facets", "price"), ("facets", [""]), ("facets", ["a", "b", "a"]), ("facets", [3]),
            ("facets", many(lambda i: f"f{i}", rng.choice([32, 33]))), ("facets", [".a"]),
            ("facet_size", -1), ("facet_size", 1.0), ("facet_size", "3"),
            ("fields", []), ("fields", "id"), ("fields", ["id", 7]),
            ("fields", many(lambda i: f"f{i}", rng.choice([256, 257]))),
            ("operator", "xor"), ("operator", 1), ("operator", None), ("operator", "AND"),
            ("highlight", "title"), ("highlight", [1]), ("highlight", ["title", "title"]),
            ("highlight", many(lambda i: f"h{i}", rng.choice([32, 33]))),
            ("highlight_tags", ["<b>"]), ("highlight_tags", ["a", 1]), ("highlight_tags", "x"),
            ("highlight_tags", ["a", "b", "c"]), ("snippet_words", 0), ("snippet_words", -1),
            ("snippet_words", 1.5), ("rank", "typo"), ("rank", 1), ("rank", "BM25"),
            ("filter", Obj([("or", many(lambda i: Obj([("field", f"p{i}"), ("op", "exists")]),
                                        rng.choice([63, 64, 65])))])),
        ]
        r = rng.random()
        if r < 0.03:
            return rng.choice([[req], 3, "q", None, True])
        if r < 0.5 or not req:
            at = rng.randint(0, len(req))
            req.insert(at, rng.choice(bad_members))
        elif r < 0.6:
            m = rng.choice(req)
            req.insert(rng.randint(req.index(m) + 1, len(req)), m)
        else:
            req.append(("filter", self.bad_filter()))
        return req

    def bad_filter(self):
        rng = self.rng
        f = self.filter()
        nodes = []

        def collect(n):
            nodes.append(n)
            for k, v in n:
                if k in ("and", "or"):
                    for c in v:
                        collect(c)
                elif k == "not":
                    collect(v)

        collect(f)
        node = rng.choice(nodes)
        leaf = node.get("field") is not None
        faults = [
            lambda n: n.append(("feld", 1)),
            lambda n: n.append((n[0][0], n[0][1])),
            lambda n: n.clear() or n.append(("field", "price")),
            lambda n: n.append(("and", [])),
            lambda n: n.clear(),
        ]

        def put(k, v):
            node[:] = [m for m in node if m[0] != k] + [(k, v)]

        if leaf:
            faults += [
                lambda n: put("op", rng.choice(["regex", "EQ", "", 1, None])),
                lambda n: put("field", rng.choice(["", "a..b", ".a", "a.", 3, "a\u0000b"])),
                lambda n: put("value", rng.choice([[1], Obj(), 1, None, True, "x",
                                                   [1, Obj()], [[1]]])),
                lambda n: n.__setitem__(slice(None), [m for m in n if m[0] != "value"]),
                lambda n: put("op", "in") or put("value", list(range(rng.choice([10000, 10001])))),
            ]
        else:
            kind = node[0][0]
            faults.append(lambda n: put(kind, rng.choice([Obj(), "x", 3, [3]])))
            if kind != "not":  # an or of that many empty ands
                faults.append(lambda n: put(kind, [Obj([("and", [])])] * rng.choice([1022, 1023])))
        rng.choice(faults)(node)
        if rng.random() < 0.1:  # deep
            for _ in range(rng.choice([30, 31, 32])):
                f = Obj([("not", f)])
        return f


# ---- The test ----


class RequestReferenceTest(unittest.TestCase):
    def setUp(self):
        self.counts = collections.Counter()
        self.lib = Library(os.environ["SEARCHDB_BUILT_LIBRARY"])
        # Every change is synced to disk; in memory that costs nothing.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.tmp = tempfile.mkdtemp(prefix="searchdb-reference-", dir=shm)

    def tearDown(self):
        print("\n" + ", ".join(f"{k}: {v}" for k, v in sorted(self.counts.items())))
        self.lib.c.searchdb_cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def check(self, store, req, where):
        text = dumps(req)
        store.trace.append(["request", text])
        trace = os.environ.get("SEARCHDB_REFERENCE_TRACE")
        if trace:
            with open(trace, "w") as f:
                json.dump({"key": store.key, "name": store.name.decode(), "calls": store.trace}, f)
        answer = self.lib.c.searchdb_search_request(store.name, text.encode())
        r, fault = validate(req)
        context = f"{where}\nrequest: {text[:2000]}"
        self.counts["requests"] += 1
        if fault is not None:
            self.counts["refused"] += 1
            self.assertEqual((answer, self.lib.error()), (b"null", fault), context)
            return
        self.assertNotEqual(answer, b"null", f"{context}\nrefused: {self.lib.error()}")
        expected, raws = evaluate(store, r)
        total = expected.get("totalHits")
        self.counts["with hits"] += total > 0
        self.counts["hits"] += len(expected.get("hits"))
        for k in ("q", "filter", "sort", "facets", "fields", "highlight"):
            self.counts[k + " and hits"] += r[k] not in (None, []) and total > 0
        self.counts["phrases and hits"] += r["q"] is not None and bool(phrases_of(r["q"])) and total > 0
        self.counts["and and hits"] += r["all_words"] and total > 0
        self.counts["snippets"] += bool(r["snippet"]) and total > 0
        got = loads(answer.decode())
        self.assertIsInstance(got.get("processingTimeMs"), float, context)
        self.assertGreaterEqual(got.get("processingTimeMs"), 0.0, context)
        got[:] = [(k, None if k == "processingTimeMs" else v) for k, v in got]
        want_hits, got_hits = expected[0][1], got[0][1] if got and got[0][0] == "hits" else None
        self.assertEqual(canon(Obj(expected[1:]), True), canon(Obj(got[1:]), True), context)
        self.assertEqual([canon(h, False) for h in want_hits],
                         [canon(h, False) for h in got_hits or []],
                         f"{context}\nwant {dumps(want_hits)[:3000]}\ngot  {dumps(got_hits)[:3000]}")
        for want, have in zip(raws, raw_hits(answer)):
            if want is not None:
                self.assertEqual(want, have, context)
        if (isinstance(req.get("q"), str) and '"' not in req.get("q")
                and {k for k, _ in req} <= {"q", "limit", "offset"} and len(req) == len(
                    {k for k, _ in req})):
            plain = self.lib.c.searchdb_search(store.name, up_to_nul(req.get("q")),
                                               req.get("limit", 20), req.get("offset", 0))
            self.assertEqual(mask_time(plain), mask_time(answer), context)

    def change(self, store, gen, rng):
        r = rng.random()
        live = store.live()
        if r < 0.3 or not live:
            store.add([gen.doc(gen.new_id()) for _ in range(rng.randint(1, 3))])
        elif r < 0.5:
            store.add([gen.doc(gen.some_id()) for _ in range(rng.randint(1, 2))])
        elif r < 0.55:  # one id twice in a batch: the later text wins
            i = gen.some_id()
            store.add([gen.doc(i), gen.doc(i)])
        elif r < 0.7:
            store.delete(rng.choice(live))
        elif r < 0.74:
            store.delete(rng.choice(store.slots + ["never"]))
        elif r < 0.8:  # a batch refused whole changes nothing
            batch = [gen.doc(gen.new_id()), Obj([("title", "no id")])]
            rng.shuffle(batch)
            store.add(batch)
        elif r < 0.84:  # large enough to build the columns again
            store.add([gen.doc(gen.new_id() if rng.random() < 0.5 else gen.some_id())
                       for _ in range(len(live) // 3 + 2)])
        elif r < 0.88:  # one at a time, so that kept columns pile up values let go
            for _ in range(rng.randint(5, 40)):
                store.add([gen.doc(gen.some_id())])
        elif r < 0.92 and set(store.slots) - set(live):  # revived in its old slot
            dead = sorted(set(store.slots) - set(live))
            store.add([gen.doc(rng.choice(dead))])
        else:
            store.restart()

    def run_round(self, seed):
        self.lib.c.searchdb_cleanup()  # after a round that failed
        rng = random.Random(seed)
        directory = os.path.join(self.tmp, str(seed))
        key = rng.choice(["id", "id", "sku"])
        store = Store(self.lib, directory, rng.choice(["i", "shop/books"]), key)
        store.open()
        self.assertEqual(self.lib.c.searchdb_index_create(store.name, key.encode()), 0)
        gen = Gen(rng, store)
        for name, text, fault in ((store.name, None, b"request_json NULL"),
                                  (b"nope", b"{}", b"index 'nope' not found")):
            self.assertEqual(self.lib.c.searchdb_search_request(name, text), b"null")
            self.assertEqual(self.lib.error(), fault)
        store.add([gen.doc(gen.new_id()) for _ in range(rng.randint(0, 50))])
        for step in range(rng.randint(10, 30)):
            for n in range(rng.randint(1, 6)):
                req = gen.request()
                if rng.random() < 0.3:
                    req = gen.fault(req)
                self.check(store, req, f"SEARCHDB_REFERENCE_ONLY={seed} step {step}.{n}")
            if rng.random() < 0.05:
                text = dumps(gen.request())
                text = text[:rng.randrange(len(text))] if len(text) > 2 else "[1]"
                answer = self.lib.c.searchdb_search_request(store.name, text.encode())
                self.assertEqual(answer, b"null", text)
                self.assertTrue(self.lib.error().startswith(b"request: "), self.lib.error())
            self.change(store, gen, rng)
        self.lib.c.searchdb_cleanup()
        shutil.rmtree(directory, ignore_errors=True)

    def test_requests_answer_as_the_reference(self):
        only = os.environ.get("SEARCHDB_REFERENCE_ONLY")
        if only:
            self.run_round(int(only))
            return
        seed = int(os.environ.get("SEARCHDB_REFERENCE_SEED", "1"))
        rounds = int(os.environ.get("SEARCHDB_REFERENCE_ROUNDS", "60"))
        for k in range(rounds):
            with self.subTest(SEARCHDB_REFERENCE_ONLY=seed + k):
                self.run_round(seed + k)


if __name__ == "__main__":
    unittest.main()
