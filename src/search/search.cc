#include "search/search.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/holders.h"
#include "base/number_text.h"
#include "index/bm25.h"
#include "index/build.h"
#include "index/canonical.h"
#include "index/entry.h"
#include "index/tokenizer.h"
#include "search/answer.h"
#include "search/query.h"
#include "search/rank.h"
#include "searchdb.h"

double sdb_elapsed_ms(const timespec *start, const timespec *end) {
  const int64_t sec = (int64_t)end->tv_sec - (int64_t)start->tv_sec;
  const int32_t nsec = (int32_t)end->tv_nsec - (int32_t)start->tv_nsec;
  return (double)sec * 1000.0 + (double)nsec / 1000000.0;
}

static timespec clock_now(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// Every failure for lack of memory fails the search with this message: an
// answer missing what memory could not hold would be a wrong answer.
static bool no_memory(void) {
  sdb_error(SEARCHDB_NOMEM, "oom: search");
  return false;
}

// Tokenizes, matches, scores and ranks the query; *end receives the clock
// reading that closes the timed part. Leaves *r empty when nothing matches
// or the query has no token. expected is the query's number of tokens: the
// tokenizer hands back fewer only when memory ran out. Returns false when
// memory ran out (message set).
static bool run_query(const sdb_index *ix, const char *query, uint64_t expected, uint32_t offset,
                      uint32_t limit, timespec *end, sdb_ranking *r) {
  *r = {};
  *end = clock_now();
  if (!query || !*query || ix->live_count == 0) return true;
  char **tokens = nullptr;
  uint64_t *lens = nullptr;
  const uint64_t count = sdb_tokenize(query, &tokens, &lens);
  sdb_scoring sc;
  if (count != expected || (count > 0 && !sdb_scoring_begin(&sc, ix))) {
    sdb_tokens_free(tokens, lens, count);
    return no_memory();
  }
  if (count == 0) {
    sdb_tokens_free(tokens, lens, count);
    *end = clock_now();
    return true;
  }
  const bool scored = sdb_score_tokens(&sc, tokens, lens, count, nullptr);
  sdb_tokens_free(tokens, lens, count);
  if (!scored) {
    sdb_scoring_end(&sc);
    return no_memory();
  }
  *end = clock_now();
  const bool ranked = sdb_rank(&sc, offset, limit, r);
  sdb_scoring_end(&sc);
  return ranked || no_memory();
}

// Writes the answer into a: {"hits":[...], then the query and the figures,
// as the JSON writer renders them. Each hit is written straight from its
// parsed stored text, so nothing of it is copied into the answer but its
// text. False when the answer cannot be built (with a message).
static bool respond(const sdb_index *ix, const char *query, uint32_t limit, uint32_t offset,
                    double ms, const sdb_ranking *r, sdb_answer *a) {
  sdb_mut_doc_ptr tail(sdb_answer_tail(query ? query : "", ms, limit, offset, r->total));
  if (!tail) return no_memory();
  bool first = true, built = sdb_answer_append(a, "{\"hits\":[", 9);
  sdb_answer_prefetch(ix, r->hits, r->page_start, r->page_end);
  sdb_hit_text stored;
  for (uint32_t i = r->page_start; built && i < r->page_end; i++)
    built = sdb_answer_hit(a, &first, &ix->docs[r->hits[i].doc], &stored);
  if (!built) return no_memory();
  switch (sdb_answer_finish(a, tail.get())) {
    case SDB_ANSWER_OK:
      return true;
    case SDB_ANSWER_NO_MEMORY:
      return no_memory();
    default:
      return false;
  }
}

bool sdb_search_answer(const sdb_index *ix, const char *query, uint64_t tokens, uint32_t limit,
                       uint32_t offset, sdb_answer *out) {
  const timespec start = clock_now();
  timespec end;
  sdb_ranking ranking;
  bool done = run_query(ix, query, tokens, offset, limit, &end, &ranking) &&
              respond(ix, query, limit, offset, sdb_elapsed_ms(&start, &end), &ranking, out);
  sdb_ranking_free(&ranking);
  return done;
}

// Escapes s as a quoted JSON string into a fresh heap text, or nullptr.
static char *quoted(const char *s) {
  char *text = nullptr;
  uint64_t len = 0, cap = 0;
  if (!sdb_json_emit_string(s, strlen(s), &text, &len, &cap)) {
    free(text);
    return nullptr;
  }
  text[len] = '\0';
  return text;
}

// The numbers with decimals are put in as texts: printf would write them
// in the host's locale.
#define SDB_STATS_FORMAT                                                     \
  "{\"name\":%s,\"primary_key\":%s,\"document_count\":%u,\"term_count\":%u," \
  "\"total_tokens\":%llu,\"avg_doc_len\":%s,\"bm25\":{\"k1\":%s,\"b\":%s}}"

char *sdb_stats_line(const sdb_index *ix, uint64_t *len) {
  sdb_text_ptr name(quoted(ix->name)), key(quoted(ix->primary_key));
  if (!name || !key) return nullptr;
  const uint32_t live = ix->live_count;
  // No floor here, unlike the avgdl of the ranking: an empty index shows 0.
  const double avg = live ? (double)ix->total_tokens / (double)live : 0.0;
  const unsigned long long tokens = ix->total_tokens;
  char avg_text[SDB_NUMBER_TEXT_MAX + 1], k1_text[SDB_NUMBER_TEXT_MAX + 1],
      b_text[SDB_NUMBER_TEXT_MAX + 1];
  sdb_print_fixed(avg_text, sizeof avg_text, avg, 2);
  sdb_print_fixed(k1_text, sizeof k1_text, SDB_BM25_K1, 1);
  sdb_print_fixed(b_text, sizeof b_text, SDB_BM25_B, 2);
  const int n = snprintf(nullptr, 0, SDB_STATS_FORMAT, name.get(), key.get(), live, ix->terms.count,
                         tokens, avg_text, k1_text, b_text);
  if (n < 0) return nullptr;
  char *line = (char *)malloc((size_t)n + 1);
  if (!line) return nullptr;
  snprintf(line, (size_t)n + 1, SDB_STATS_FORMAT, name.get(), key.get(), live, ix->terms.count,
           tokens, avg_text, k1_text, b_text);
  *len = (uint64_t)n;
  return line;
}
