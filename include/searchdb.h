/*
 * searchdb — an embeddable full-text search engine.
 *
 * Conventions shared by every function below:
 *
 *  - Call searchdb_init() once with a storage directory before anything else;
 *    every other function (but searchdb_cleanup and searchdb_last_error)
 *    fails with "not initialized" until then.
 *  - Integer results: 0 (or a count) on success, -1 on failure.
 *    Text results: a NUL-terminated string on success; on failure the value
 *    documented beside each function ("[]", "null" or NULL).
 *  - After a failure, searchdb_last_error() tells why and
 *    searchdb_last_error_code() what kind of failure it is (the codes
 *    below), so that a host can act on it without comparing texts. A
 *    successful call clears neither, so read them only right after a
 *    failure.
 *  - Returned text is owned by the library. It stays valid until the next
 *    call that returns text (any of the four text-returning functions, on
 *    any index); copy it if you need it longer. Never free it.
 *  - Every change is written to the storage directory before its call
 *    returns; searchdb_cleanup() writes nothing.
 *  - Numbers are read and written as in the C locale ("1.5"), whatever
 *    locale the host has set with setlocale().
 *  - Threading: the library keeps process-wide state without locks. The host
 *    makes one call at a time, across all of its threads, and copies a
 *    returned text before its next call.
 *  - Processes: several processes may open the same storage directory. Each
 *    call that changes it holds the lock file "_indexes/lock" for its
 *    length, and every call sees every change another process completed
 *    before the call began. A call that waits more than 10 s for the lock
 *    fails with "storage '<dir>' is locked" and changes nothing.
 *  - Derived files: beside an index's "docs.json" the library keeps
 *    "docs.idx", its search dictionary as a build of "docs.json" makes it,
 *    so that a fresh process maps it instead of building (written by the
 *    first search of a process that had to build, when the store is
 *    writable and its lock free). It is a cache: "docs.json" stays the one
 *    source of truth, deleting "docs.idx" loses nothing, and a "docs.idx"
 *    that is missing, damaged, of another version or built from other
 *    documents is ignored (and replaced) without a word. It also records
 *    where each document lies in "docs.json" and that file's device, inode,
 *    size and times, so that a process maps "docs.json" instead of reading
 *    it while they are unchanged (and it last changed more than 2 s before
 *    the load that recorded them), and otherwise after only checksumming
 *    it, when its size is the one recorded. The library only ever replaces either
 *    file by a rename; editing one in place can crash a process that has
 *    it mapped. A change also appends what it changed to "docs.changes",
 *    so that a process whose "docs.idx" describes an older "docs.json"
 *    catches up from it without reading every document: a cache as well,
 *    deleting it loses nothing. A search request that had to build the
 *    columns of the fields it filters, sorts or counts by writes them to
 *    "docs.cols" (under the same rule as "docs.idx"), and every change
 *    writes them again brought up to date (while they are at most a
 *    quarter of "docs.json", or 1 MB), so that later processes read them
 *    instead of every document: a cache too.
 *  - fork: a child made after searchdb_init would share its parent's lock,
 *    so there every call but searchdb_cleanup and searchdb_last_error fails
 *    with "searchdb_init was called in process <pid>; call searchdb_cleanup
 *    and searchdb_init in this one" and touches nothing. searchdb_cleanup in
 *    the child lets go of the parent's store without unlocking or writing
 *    anything; a searchdb_init after it opens the store for the child.
 */
#ifndef SEARCHDB_H
#define SEARCHDB_H

#if defined(_WIN32)
#define SEARCHDB_API __declspec(dllexport)
#elif defined(__GNUC__)
#define SEARCHDB_API __attribute__((visibility("default")))
#else
#define SEARCHDB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lifecycle and errors ---- */

/* What searchdb_last_error_code() returns: the kind of the failure (or of
 * the warning) whose message searchdb_last_error() holds. */
typedef enum searchdb_code {
  SEARCHDB_OK = 0,       /* no failure: the message is "" */
  SEARCHDB_MISUSE = 1,   /* "not initialized", "already initialized", or a call
                            in a child of fork (see above) */
  SEARCHDB_INVALID = 2,  /* an argument the call does not take: NULL, an empty
                            or invalid name, text that is not UTF-8 or not
                            JSON, a document without its key, a bad request */
  SEARCHDB_TOOBIG = 3,   /* over a limit: a path, name or key too long, a
                            document, query, answer or request beyond its
                            limit */
  SEARCHDB_NOTFOUND = 4, /* no such index, or no such (live) document */
  SEARCHDB_EXISTS = 5,   /* an index of that name exists; as a warning: files
                            found where a new index was written were set aside */
  SEARCHDB_LOCKED = 6,   /* "storage '<dir>' is locked": another process held
                            the lock all along; the call changed nothing and
                            may be tried again */
  SEARCHDB_READONLY = 7, /* the store was loaded read-only (as a warning of
                            searchdb_init too): no change can be made */
  SEARCHDB_IO = 8,       /* a file or directory could not be read, written,
                            flushed, renamed, set aside or locked */
  SEARCHDB_CORRUPT = 9,  /* as a warning of searchdb_init: stored files that did
                            not load whole were set aside, a list rebuilt, or
                            listed names passed over */
  SEARCHDB_NOMEM = 10    /* memory ran out ("oom: ..."); nothing changed */
} searchdb_code;

/* Opens storage_dir (created if missing) and loads every stored index.
 * Returns 0, or -1 when storage_dir is NULL, empty or too long, when the
 * library is already initialised, when a stored file exists but cannot be
 * read (the message names it and why), when the storage directory is
 * locked, or when memory ran out while loading; nothing stays loaded then
 * and the call may be tried again.
 *
 * A non-empty searchdb_last_error() after a return of 0 is a warning:
 *  - "set aside N file(s): a -> b, ...": stored files that did not load
 *    whole were renamed "<file>.corrupt" (or ".corrupt.2", ...) rather than
 *    overwritten later; "N indexes recovered": a damaged index list was
 *    rebuilt from the index directories; "passed over N listed name(s):
 *    <name> (repeated), <name> (not a directory), ...": names the list
 *    holds again, or whose path runs through a file, were not loaded and
 *    are left out of the list written next.
 *  - "... loaded read-only: lock <file>: <reason>": the lock cannot be had
 *    (a read-only file system, no file locks); the indexes answer reads and
 *    every change fails with "lock <file>: <reason>". */
SEARCHDB_API int searchdb_init(const char *storage_dir);

/* Releases every index and all memory; safe to call at any time, twice or
 * before searchdb_init. Writes nothing. */
SEARCHDB_API void searchdb_cleanup(void);

/* The message of the most recent failure, or "" (never NULL). */
SEARCHDB_API const char *searchdb_last_error(void);

/* The code of the message searchdb_last_error() returns: set with it,
 * cleared with it (SEARCHDB_OK then). A warning left by a successful
 * searchdb_init or searchdb_index_create carries the code of what it
 * reports; searchdb_init's "loaded read-only" SEARCHDB_READONLY. */
SEARCHDB_API int searchdb_last_error_code(void);

/* ---- Indexes ---- */

/* Creates an index whose documents are identified by their member
 * primary_key ("id" when NULL, at most 127 bytes). Names may nest with '/',
 * as in "shop/books"; "_indexes" first and the store's own file names
 * ("docs.json", "meta.json" and their ".tmp", ".corrupt" and ".found"
 * forms, "docs.idx", "docs.idx.tmp", "docs.changes", "docs.cols" and
 * "docs.cols.tmp") are refused. An index stored from before under a name
 * with "docs.idx", "docs.changes" or "docs.cols" in it still loads; the
 * index whose derived file, change record or columns file it stands in
 * place of goes without one. Files found where the new index is written are set
 * aside as "<file>.found", with a note in searchdb_last_error().
 * Returns 0 or -1. */
SEARCHDB_API int searchdb_index_create(const char *name, const char *primary_key);

/* Deletes an index with its documents and files. Returns 0 or -1. */
SEARCHDB_API int searchdb_index_delete(const char *name);

/* A JSON array of {"name":..,"primary_key":..}, one object per index.
 * Failure value: "[]". */
SEARCHDB_API const char *searchdb_indexes_list_json(void);

/* ---- Documents ---- */

/* Adds or replaces one JSON object, or every object of a JSON array, as one
 * all-or-nothing batch. A document whose compact text is longer than
 * 33,554,431 bytes is refused. Returns the number of documents taken, or
 * -1 (a document replaced within the batch counts each time).
 * A document's id is its primary-key member: a string as it is, or a number
 * as the "%.0f" text of its double. So 1.5 and 2 name the same document
 * ("2"), as do 2^53 and 2^53 + 1; pass ids that are not whole numbers below
 * 2^53 as strings. */
SEARCHDB_API int searchdb_documents_add(const char *index_name, const char *documents_json);

/* The stored (compact) JSON text of one document. Failure value: NULL. */
SEARCHDB_API const char *searchdb_document_get(const char *index_name, const char *doc_id);

/* Deletes one document by id. Returns 0 or -1. */
SEARCHDB_API int searchdb_document_delete(const char *index_name, const char *doc_id);

/* ---- Search ---- */

/* Ranked search: a JSON object with "hits" (documents of the page),
 * "query", "processingTimeMs", "limit", "offset" and "totalHits".
 * A limit of 0 asks for every hit from offset on in one answer; negative
 * values count as 0. An answer longer than 33,554,431 bytes (32 MiB) is not
 * given: the call fails with "result too large". To read more hits than
 * fit, page through them: a positive limit, and offset raised by limit at
 * each call until a page holds fewer than limit hits.
 * A query must be valid UTF-8 and hold at most 1024 words.
 * Failure value: "null". */
SEARCHDB_API const char *searchdb_search(const char *index_name, const char *query, int limit,
                                         int offset);

/* A search described by one JSON object, every member optional (none may
 * appear twice, at any level):
 *  "q": a query, matched and scored as searchdb_search does (its text ends
 *     at a NUL); absent or null browses: every live document matches with
 *     score 0, in the order their ids were first added unless sorted.
 *     Text between one double quote and the next is a phrase (a final
 *     unpaired quote is ignored): its words must stand next to each other,
 *     in order, in one member (an array's joined text included); every
 *     phrase is required, and its words also match as words do.
 *  "limit" (default 20), "offset": integers, as for searchdb_search.
 *  "filter": {"field": PATH, "op": OP, "value": V}, {"and": [FILTER, ...]},
 *     {"or": [FILTER, ...]} or {"not": FILTER}. PATH names a member, "."
 *     stepping into an object (and into each object of an array; of a
 *     key held twice, the first member). OP is
 *     "eq", "ne", "lt", "lte", "gt", "gte" (V a string, number, true, false
 *     or null; the order comparisons only with a string or a number), "in",
 *     "not_in" (V an array of such scalars) or "exists" (no value; true for
 *     null and [] too). Numbers compare as doubles, strings byte for byte;
 *     a number never equals a string and an order comparison between them
 *     is false. An array field matches when any element does ("ne" and
 *     "not_in": when none is equal); a missing field matches only "ne",
 *     "not_in" and a negated "exists". Values are read from the stored
 *     documents, not from their words.
 *  "sort": an array of {"field": PATH, "order": "asc"|"desc"} and
 *     "relevance". asc puts numbers first, ascending, then strings by
 *     bytes; desc is its exact reverse; an array sorts by its least element
 *     for asc, its greatest for desc; other values and missing fields come
 *     last either way. Ties go to the next key, then to searchdb_search's
 *     order (score descending, then the order ids were first added).
 *  "facets": an array of PATHs. The answer gains "facets": {"PATH":
 *     [{"value": V, "count": N}, ...]}, counting each distinct scalar value
 *     once per document over every document that matches and passes the
 *     filter, 1 and 1.0 being one value; by count descending, then numbers,
 *     strings, false, true, null, then by value. "facet_size": entries per
 *     PATH (default 100; 0: all).
 *  "fields": a non-empty array of top-level member names: each hit holds
 *     only those, in stored order (the primary key only if named).
 *  "operator": "or" (default) or "and": a document must match every word.
 *  "highlight": an array of top-level member names. Each hit gains, last,
 *     "_highlight": {"MEMBER": "text", ...} for each named member holding a
 *     string or an array (joined as it is indexed): every word that matched
 *     (a phrase's words only where they form it) wrapped in
 *     "highlight_tags" (default ["<mark>", "</mark>"]), inserted as given:
 *     the text is NOT escaped for HTML. "snippet_words": N keeps N words,
 *     from (N - 1) / 2 words before the first match, with "…" where cut.
 *  "rank": "bm25" (the default: searchdb_search's order) or "typo_aware",
 *     which ranks the word a user most likely meant first. Each query word
 *     q_i (repeats counted) matches the terms searchdb_search matches; a
 *     term costs 0 edits when it is q_i or a longer word beginning with it,
 *     else its byte edits from q_i, and is as likely as df / 64^cost (df:
 *     the documents holding it). So a prefix comes before a typo unless the
 *     typo's reading is 64 times as common: strictly prefix first, "deban"
 *     would read as a rare "debani" rather than "debian". A word's terms,
 *     likeliest first, form levels: the first leads level 0; each next one
 *     stays on the level while its leader is at most 4 times as likely,
 *     else it leads the next level. Each word weighs the idf of its most
 *     common term, and counts in a document its lowest-level term there
 *     (of those, the one of highest BM25). Documents rank by words matched
 *     (more first), the sum of their levels (less first), then those whose
 *     title (the first member keyed "title" or "name") reads as the query:
 *     as many words, word i one of q_i's terms on the level the document
 *     counts for q_i (for words found whole: exactly the query's words, in
 *     order; for "gnme", a document titled "gnome" when gnome is as close
 *     as any term of q_i it holds), then by those BM25 contributions
 *     summed, then as searchdb_search breaks ties. The hits and totalHits
 *     are bm25's.
 * Limits: filters nest at most 32 deep with 1,024 nodes and 10,000 values
 * per list; 64 distinct field paths in all (an index keeps the values of
 * the 64 it was last asked for); 32 sort keys, 32 facets, 32 highlighted
 * members, 256 fields, 64 words per phrase; the query as for
 * searchdb_search.
 * The answer holds searchdb_search's members in the same order, then
 * "facets" when asked. A request without a double quote in "q" and with no
 * member but "limit" and "offset" answers exactly as searchdb_search.
 * A bad request fails with a message naming the member and the fault
 * ("filter.and[0]: unknown op 'regex'"). Failure value: "null". */
SEARCHDB_API const char *searchdb_search_request(const char *index_name, const char *request_json);

/* One line of JSON with the index's counts, average document length and
 * ranking parameters. Failure value: "null". */
SEARCHDB_API const char *searchdb_index_stats_json(const char *index_name);

/* Checks the index as it is held in memory against a rebuild from scratch
 * of its documents: its terms, postings, term orders, document lengths and
 * id map must all be what the rebuild makes. It changes nothing; it takes
 * time and memory in proportion to the index, so it is meant for tools and
 * tests rather than every request. Returns 0 when they agree; -1 otherwise,
 * with a message naming the first difference ("index '<name>' differs from
 * a rebuild: ...", SEARCHDB_CORRUPT), or when the call fails as a search
 * would (no such index, memory ran out). */
SEARCHDB_API int searchdb_index_check(const char *index_name);

/* The state of the index's derived file ("<name>/docs.idx"), a cache
 * that lets a fresh process take the term dictionary without building it:
 * 0 (SEARCHDB_DERIVED_CURRENT) when it holds exactly what a full build of
 * the documents as loaded writes, so the next load uses it;
 * 1 (SEARCHDB_DERIVED_MISSING) when there is none; 2 (SEARCHDB_DERIVED_STALE)
 * when it is of no use: built from other documents, cut short, damaged, or
 * documents changed in this process since they were loaded. A missing or
 * stale file is not a fault: the next search that builds writes it again
 * when it may. It writes nothing; it may build the dictionary, as a search
 * does, so it takes time in proportion to the index. -1 when the call fails
 * as a search would (no such index, memory ran out). */
typedef enum searchdb_derived {
  SEARCHDB_DERIVED_CURRENT = 0,
  SEARCHDB_DERIVED_MISSING = 1,
  SEARCHDB_DERIVED_STALE = 2
} searchdb_derived;
SEARCHDB_API int searchdb_index_derived_state(const char *index_name);

/* Writes the index's derived file anew from a full build of its documents
 * as loaded, whatever stands there, through a temporary file and a rename
 * (never in place), under the store's lock as a change is. Returns 0;
 * -1 with a message when the file could not be written, when the store is
 * read-only or locked as for any change, or when the index's documents
 * changed in this process since they were loaded (SEARCHDB_INVALID: only a
 * fresh load can describe them), or when the index is too large for the
 * file's 32-bit offsets: more than 2^32 postings or bytes of term texts
 * (SEARCHDB_TOOBIG; such an index is built in memory at every load). */
SEARCHDB_API int searchdb_index_write_derived(const char *index_name);

#ifdef __cplusplus
}
#endif

#endif /* SEARCHDB_H */
