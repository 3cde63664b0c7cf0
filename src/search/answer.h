// Writing a search's answer: the hits straight from their parsed stored
// texts, then the members after them as the JSON writer renders them.
// Shared by searchdb_search and searchdb_search_request, so that the same
// page gives the same bytes.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

#include "index/index.h"
#include "index/stored_doc.h"
#include "search/rank.h"

// The answer being written: a heap text that grows, released with it.
struct sdb_answer {
  char *bytes = nullptr;
  size_t len = 0;
  size_t cap = 0;
  sdb_answer() = default;
  sdb_answer(const sdb_answer &) = delete;
  sdb_answer &operator=(const sdb_answer &) = delete;
  ~sdb_answer();
};

// False when memory ran out.
bool sdb_answer_append(sdb_answer *a, const char *bytes, size_t n);

// The stored texts of hits, parsed one after another in memory reused from
// hit to hit (index/stored_doc.h).
struct sdb_hit_text {
  sdb_doc_reader reader{};
  sdb_hit_text() = default;
  sdb_hit_text(const sdb_hit_text &) = delete;
  sdb_hit_text &operator=(const sdb_hit_text &) = delete;
  ~sdb_hit_text();
};

// Parses the stored text of the live document d (free the result before
// the next parse). nullptr when it does not parse (*oom false) or memory
// ran out (*oom true).
inline yyjson_doc *sdb_hit_parse(const sdb_doc *d, sdb_hit_text *text, bool *oom) {
  return sdb_doc_read(&text->reader, d, oom);
}

// Appends the JSON writer's rendering of the stored document d (a comma
// first unless it is the first hit). A dead slot or a text that does not
// parse is left out. False when memory ran out.
bool sdb_answer_hit(sdb_answer *a, bool *first, const sdb_doc *d, sdb_hit_text *text);

// Asks for the stored texts of hits[start .. end) ahead of their reading:
// they lie scattered through memory, mostly out of the caches, and asking
// for all of them at once overlaps the waits.
void sdb_answer_prefetch(const sdb_index *ix, const sdb_hit *hits, uint32_t start, uint32_t end);

// The members after the hits, in this order: query, processingTimeMs,
// limit, offset, totalHits, in a new document whose root is their object;
// a caller may add more. nullptr when memory ran out.
yyjson_mut_doc *sdb_answer_tail(const char *query, double ms, uint32_t limit, uint32_t offset,
                                uint32_t total);

enum sdb_answer_status { SDB_ANSWER_OK, SDB_ANSWER_NO_MEMORY, SDB_ANSWER_NOT_WRITABLE };

// Closes the hits of a (begun with {"hits":[) and appends the members of
// tail. NOT_WRITABLE when the writer refuses them.
sdb_answer_status sdb_answer_finish(sdb_answer *a, yyjson_mut_doc *tail);
