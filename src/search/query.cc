#include "search/query.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/holders.h"
#include "base/utf8.h"
#include "index/tokenizer.h"
#include "search/match.h"
#include "storage/derived.h"

namespace {

// For each token, the index of the first token equal to it (itself when
// it is the first), and whether a later token repeats it. False when
// memory ran out.
bool find_repeats(char *const *tokens, const uint64_t *lens, uint64_t count, uint32_t *first,
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

bool keep_id(sdb_query_terms *t, uint32_t id, const sdb_match &m, bool edits) {
  if (edits) {
    if (!sdb_reserve(&t->edits, &t->edit_cap, t->id_count + 1)) return false;
    t->edits[t->id_count] = static_cast<uint8_t>(m.edits);  // at most the largest typo budget
  }
  if (!sdb_reserve(&t->ids, &t->id_cap, t->id_count + 1)) return false;
  t->ids[t->id_count++] = id;
  return true;
}

// The scoring (none without sc), with the terms of the repeated tokens (of
// all tokens when all) kept in t, and their edits with edits.
bool score_into(const sdb_index *ix, sdb_scoring *sc, char *const *tokens, const uint64_t *lens,
                uint64_t count, sdb_query_terms *t, bool all, bool edits) {
  t->count = count;
  t->first = (uint32_t *)malloc(count * sizeof(uint32_t));
  t->runs = (uint64_t *)malloc(count * 2 * sizeof(uint64_t));
  sdb_text_ptr repeated_hold((char *)malloc(count * sizeof(bool)));
  if (!t->first || !t->runs || !repeated_hold) return false;
  auto *repeated = (bool *)repeated_hold.get();
  if (!find_repeats(tokens, lens, count, t->first, repeated)) return false;
  for (uint64_t i = 0; i < count; i++) {
    if (t->first[i] != i) {
      const uint64_t *run = t->runs + 2 * t->first[i];
      for (uint64_t k = run[0]; sc != nullptr && k < run[1]; k++) sdb_score_term(sc, t->ids[k]);
      continue;
    }
    sdb_match m;
    if (!sdb_match_start(&m, &ix->terms, tokens[i], lens[i])) return false;
    t->runs[2 * i] = t->id_count;
    const bool keep = all || repeated[i];
    bool ok = true;
    for (uint32_t id = sdb_match_next(&m); ok && id != SDB_NO_TERM; id = sdb_match_next(&m)) {
      // Every reader of postings after this takes its terms from here.
      ok = sdb_derived_usable(ix, id);
      if (!ok) break;
      if (sc != nullptr) sdb_score_term(sc, id);
      ok = !keep || keep_id(t, id, m, edits);
    }
    sdb_match_end(&m);
    if (!ok) return false;
    t->runs[2 * i + 1] = t->id_count;
  }
  return true;
}

}  // namespace

void sdb_query_terms_free(sdb_query_terms *t) {
  free(t->first);
  free(t->runs);
  free(t->ids);
  free(t->edits);
  *t = sdb_query_terms{};
}

bool sdb_score_tokens(sdb_scoring *sc, char *const *tokens, const uint64_t *lens, uint64_t count,
                      sdb_query_terms *keep) {
  if (keep != nullptr) return score_into(sc->ix, sc, tokens, lens, count, keep, true, false);
  sdb_query_terms own{};
  const bool ok = score_into(sc->ix, sc, tokens, lens, count, &own, false, false);
  sdb_query_terms_free(&own);
  return ok;
}

bool sdb_match_tokens(const sdb_index *ix, char *const *tokens, const uint64_t *lens,
                      uint64_t count, sdb_query_terms *out) {
  return score_into(ix, nullptr, tokens, lens, count, out, true, true);
}

uint64_t sdb_count_tokens(const char *text) {
  const size_t n = strlen(text);
  size_t pos = 0, start, len;
  uint64_t count = 0;
  while (sdb_next_token(text, n, &pos, &start, &len)) count++;
  return count;
}

bool sdb_query_refused(const char *query, uint64_t *tokens) {
  *tokens = 0;
  if (!query) return false;
  if (!sdb_utf8_valid(query, strlen(query))) {
    sdb_error(SEARCHDB_INVALID, "query is not valid UTF-8");
    return true;
  }
  *tokens = sdb_count_tokens(query);
  if (*tokens > SDB_QUERY_TOKEN_MAX) {
    sdb_error(SEARCHDB_TOOBIG, "query has %llu tokens, over the limit of %llu",
              (unsigned long long)*tokens, (unsigned long long)SDB_QUERY_TOKEN_MAX);
    return true;
  }
  return false;
}
