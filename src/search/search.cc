#include "search/search.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "documents/canonical.h"
#include "documents/number_text.h"
#include "frame/frame.h"
#include "frame/holders.h"
#include "frame/registry.h"
#include "index/build.h"
#include "index/tokenizer.h"
#include "search/bm25.h"
#include "search/match.h"
#include "search/rank.h"
#include "searchdb.h"
#include "storage/entries.h"

static const char k_null[] = "null";

// How much of a page's stored texts is fetched ahead: enough for a page of
// the usual size, not so much that it pushes itself out of the caches.
static constexpr uint32_t kPrefetchHits = 64;
static constexpr uint64_t kPrefetchBytes = 4096;

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

// The term ids a token matched, kept for the repeats of that token.
struct matched_terms {
  uint32_t *ids = nullptr;
  uint64_t count = 0, cap = 0;
  matched_terms() = default;
  matched_terms(const matched_terms &) = delete;
  matched_terms &operator=(const matched_terms &) = delete;
  ~matched_terms() { free(ids); }
  bool add(uint32_t id) {
    if (!sdb_reserve(&ids, &cap, count + 1)) return false;
    ids[count++] = id;
    return true;
  }
};

// For each token, the index of the first token equal to it (itself when
// it is the first), and whether a later token repeats it. False when
// memory ran out.
static bool find_repeats(char *const *tokens, const uint64_t *lens, uint64_t count, uint32_t *first,
                         bool *repeated) {
  auto *order = (uint32_t *)malloc(count * sizeof(uint32_t));
  if (!order) return false;
  for (uint32_t i = 0; i < count; i++) order[i] = i, repeated[i] = false;
  struct by_text {
    char *const *tokens;
    const uint64_t *lens;
    bool operator()(uint32_t a, uint32_t b) const {
      const int c = memcmp(tokens[a], tokens[b], lens[a] < lens[b] ? lens[a] : lens[b]);
      if (c != 0) return c < 0;
      return lens[a] != lens[b] ? lens[a] < lens[b] : a < b;
    }
  };
  std::sort(order, order + count, by_text{tokens, lens});
  for (uint64_t k = 0; k < count; k++) {
    const uint32_t i = order[k];
    const uint32_t prev = k ? order[k - 1] : i;
    const bool same =
        k > 0 && lens[prev] == lens[i] && memcmp(tokens[prev], tokens[i], lens[i]) == 0;
    first[i] = same ? first[prev] : i;
    if (same) repeated[first[i]] = true;
  }
  free(order);
  return true;
}

// Matches every query token, in order and repeats included, and scores
// each matched term the moment it is found. A repeated token scores the
// terms its first occurrence matched, in the same order, without walking
// the dictionary again. False when memory ran out.
static bool score_tokens(sdb_scoring *sc, char *const *tokens, const uint64_t *lens,
                         uint64_t count) {
  sdb_text_ptr first_hold((char *)malloc(count * (sizeof(uint32_t) + sizeof(bool))));
  if (!first_hold) return false;
  auto *first = (uint32_t *)first_hold.get();
  auto *repeated = (bool *)(first + count);
  if (!find_repeats(tokens, lens, count, first, repeated)) return false;
  // The terms of each repeated token: a run of kept.ids per token.
  matched_terms kept;
  sdb_text_ptr runs_hold((char *)malloc(count * 2 * sizeof(uint64_t)));
  if (!runs_hold) return false;
  auto *runs = (uint64_t *)runs_hold.get();
  for (uint64_t i = 0; i < count; i++) {
    if (first[i] != i) {
      const uint64_t *run = runs + 2 * first[i];
      for (uint64_t k = run[0]; k < run[1]; k++) sdb_score_term(sc, kept.ids[k]);
      continue;
    }
    sdb_match m;
    if (!sdb_match_start(&m, &sc->ix->terms, tokens[i], lens[i])) return false;
    runs[2 * i] = kept.count;
    bool ok = true;
    for (uint32_t id = sdb_match_next(&m); ok && id != SDB_NO_TERM; id = sdb_match_next(&m)) {
      sdb_score_term(sc, id);
      ok = !repeated[i] || kept.add(id);
    }
    sdb_match_end(&m);
    if (!ok) return false;
    runs[2 * i + 1] = kept.count;
  }
  return true;
}

// Every failure for lack of memory gives "null" with this message: an
// answer missing what memory could not hold would be a wrong answer.
static const char *no_memory(void) {
  sdb_error("oom: search");
  return nullptr;
}

// The number of tokens in text.
static uint64_t count_tokens(const char *text) {
  const size_t n = strlen(text);
  size_t pos = 0, start, len;
  uint64_t count = 0;
  while (sdb_next_token(text, n, &pos, &start, &len)) count++;
  return count;
}

// True when the search refuses the query, with the message saying why;
// else *tokens receives its number of tokens.
static bool query_refused(const char *query, uint64_t *tokens) {
  *tokens = 0;
  if (!query) return false;
  if (!sdb_utf8_valid(query, strlen(query))) {
    sdb_error("query is not valid UTF-8");
    return true;
  }
  *tokens = count_tokens(query);
  if (*tokens > SDB_QUERY_TOKEN_MAX) {
    sdb_error("query has %llu tokens, over the limit of %llu", (unsigned long long)*tokens,
              (unsigned long long)SDB_QUERY_TOKEN_MAX);
    return true;
  }
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
  const bool scored = score_tokens(&sc, tokens, lens, count);
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

// The stored text of a hit, decoded from its entry into memory reused from
// hit to hit, with the padding the JSON reader needs to parse it in place.
struct hit_text {
  char *bytes;
  uint64_t cap;
};

// The answer being written: a heap text that grows, released with it.
struct answer {
  char *bytes = nullptr;
  size_t len = 0;
  size_t cap = 0;
  answer() = default;
  answer(const answer &) = delete;
  answer &operator=(const answer &) = delete;
  ~answer() { free(bytes); }
};

static bool append(answer *a, const char *bytes, size_t n) {
  if (!sdb_reserve(&a->bytes, &a->cap, a->len + n, 4096)) return false;
  memcpy(a->bytes + a->len, bytes, n);
  a->len += n;
  return true;
}

// Appends the JSON writer's rendering of the stored document d (a comma
// first unless it is the first hit). A text that does not parse is left
// out. False when memory ran out.
static bool append_hit(answer *a, bool *first, const sdb_doc *d, hit_text *text) {
  if (!d->alive) return true;
  const uint64_t need =
      sdb_entry_escaped_length(d->entry_len, d->raw_off) + 1 + YYJSON_PADDING_SIZE;
  if (need > text->cap) {
    auto *bytes = (char *)realloc(text->bytes, need);
    if (!bytes) return false;
    text->bytes = bytes;
    text->cap = need;
  }
  const uint64_t len = sdb_entry_decode(d->entry, d->entry_len, d->raw_off, text->bytes, text->cap);
  memset(text->bytes + len, 0, YYJSON_PADDING_SIZE);
  yyjson_read_err err;
  sdb_doc_ptr parsed(yyjson_read_opts(text->bytes, len, YYJSON_READ_INSITU, nullptr, &err));
  if (!parsed) return err.code != YYJSON_READ_ERROR_MEMORY_ALLOCATION;
  size_t n = 0;
  sdb_text_ptr written(
      yyjson_val_write_opts(yyjson_doc_get_root(parsed.get()), 0, nullptr, &n, nullptr));
  if (!written || (!*first && !append(a, ",", 1)) || !append(a, written.get(), n)) return false;
  *first = false;
  return true;
}

// Writes the answer into s_result: {"hits":[...], then the query and the
// figures, as the JSON writer renders them. Each hit is written straight
// from its parsed stored text, so nothing of it is copied into the answer
// but its text. "null" when the answer cannot be built or held (with a
// message).
static const char *respond(const sdb_index *ix, const char *query, uint32_t limit, uint32_t offset,
                           double ms, const sdb_ranking *r) {
  // The members after the hits, written first: the query may not be
  // writable at all.
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return no_memory();
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_obj(d);
  if (!root) return no_memory();
  yyjson_mut_doc_set_root(d, root);
  const bool ok = yyjson_mut_obj_add_str(d, root, "query", query ? query : "") &&
                  yyjson_mut_obj_add_real(d, root, "processingTimeMs", ms) &&
                  yyjson_mut_obj_add_int(d, root, "limit", limit) &&
                  yyjson_mut_obj_add_int(d, root, "offset", offset) &&
                  yyjson_mut_obj_add_int(d, root, "totalHits", (int32_t)r->total);
  if (!ok) return no_memory();
  size_t tail_len = 0;
  yyjson_write_err err;
  sdb_text_ptr tail(yyjson_mut_write_opts(d, 0, nullptr, &tail_len, &err));
  if (!tail) return err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION ? no_memory() : nullptr;
  answer a;
  bool first = true, built = append(&a, "{\"hits\":[", 9);
  // The page's stored texts lie scattered through memory, mostly out of the
  // caches: asking for all of them at once overlaps the waits that reading
  // them one after another would add up.
  for (uint32_t i = r->page_start; i < r->page_end && i < r->page_start + kPrefetchHits; i++) {
    const sdb_doc &d = ix->docs[r->hits[i].doc];
    for (uint64_t at = 0; d.alive && at < d.entry_len && at < kPrefetchBytes; at += 64)
      __builtin_prefetch(d.entry + at);
  }
  hit_text stored{nullptr, 0};
  for (uint32_t i = r->page_start; built && i < r->page_end; i++)
    built = append_hit(&a, &first, &ix->docs[r->hits[i].doc], &stored);
  free(stored.bytes);
  // The tail begins with the brace of its object, which the comma replaces.
  built = built && append(&a, "],", 2) && append(&a, tail.get() + 1, tail_len - 1);
  if (!built) return no_memory();
  return sdb_result_set(a.bytes, a.len);
}

static uint32_t at_least_zero(int v) {
  return v < 0 ? 0u : (uint32_t)v;
}

extern "C" SEARCHDB_API const char *searchdb_search(const char *index_name, const char *query,
                                                    int limit, int offset) {
  sdb_index *ix = sdb_index_lookup(index_name);
  uint64_t tokens;
  if (!ix || query_refused(query, &tokens) || !sdb_index_ensure_built(ix)) return k_null;
  const uint32_t lim = at_least_zero(limit), off = at_least_zero(offset);
  const timespec start = clock_now();
  timespec end;
  sdb_ranking ranking;
  const char *result = nullptr;
  if (run_query(ix, query, tokens, off, lim, &end, &ranking))
    result = respond(ix, query, lim, off, sdb_elapsed_ms(&start, &end), &ranking);
  sdb_ranking_free(&ranking);
  return result ? result : k_null;
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
  const uint32_t live = sdb_live_count(ix);
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

extern "C" SEARCHDB_API const char *searchdb_index_stats_json(const char *index_name) {
  sdb_index *ix = sdb_index_lookup(index_name);
  if (!ix || !sdb_index_ensure_built(ix)) return k_null;
  uint64_t len = 0;
  sdb_text_ptr line(sdb_stats_line(ix, &len));
  if (!line) {
    sdb_error("oom: stats");
    return k_null;
  }
  const char *result = sdb_result_set(line.get(), len);
  return result ? result : k_null;
}
