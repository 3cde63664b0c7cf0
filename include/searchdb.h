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
 *  - After a failure, searchdb_last_error() tells why. A successful call does
 *    not clear the message, so read it only right after a failure.
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

/* ---- Indexes ---- */

/* Creates an index whose documents are identified by their member
 * primary_key ("id" when NULL, at most 127 bytes). Names may nest with '/',
 * as in "shop/books"; "_indexes" first and the store's own file names
 * ("docs.json", "meta.json" and their ".tmp", ".corrupt" and ".found"
 * forms) are refused. Files found where the new index is written are set
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
 * -1. */
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

/* One line of JSON with the index's counts, average document length and
 * ranking parameters. Failure value: "null". */
SEARCHDB_API const char *searchdb_index_stats_json(const char *index_name);

#ifdef __cplusplus
}
#endif

#endif /* SEARCHDB_H */
