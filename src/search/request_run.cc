// A search with the members of a request (request.h), as
// searchdb_search_request runs it: the query is matched and scored as searchdb_search scores
// it; the documents it matches (every live one when browsing) are kept by
// the phrases, the all-words rule and the filter; the facets count what is
// kept; the page is ordered by the sort keys and written with the chosen
// fields and the highlights.
#include "search/request_run.h"

#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/error.h"
#include "base/holders.h"
#include "index/build.h"
#include "index/columns.h"
#include "index/flatten.h"
#include "index/title_column.h"
#include "index/tokenizer.h"
#include "search/answer.h"
#include "search/filter.h"
#include "search/highlight.h"
#include "search/phrase.h"
#include "search/query.h"
#include "search/rank.h"
#include "search/request.h"
#include "search/search.h"
#include "search/typo_rank.h"
#include "searchdb.h"
#include "storage/column_file.h"

namespace {

timespec clock_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// Every failure for lack of memory fails the whole request: an answer
// missing what memory could not hold would be a wrong answer.
bool no_memory() {
  sdb_error(SEARCHDB_NOMEM, "oom: search_request");
  return false;
}

// One counted value of a facet.
struct facet_entry {
  uint32_t id;
  uint32_t count;
};

struct facet_result {
  facet_entry *entries;
  uint32_t count;
};

// Everything one request holds while it runs, released with it.
struct request_run {
  sdb_index *ix;
  sdb_request *req;
  // The query.
  char **tokens = nullptr;
  uint64_t *lens = nullptr;
  uint64_t token_count = 0;
  sdb_scoring sc{};
  bool scoring = false;
  sdb_query_terms terms{};
  bool *in_phrase = nullptr;
  sdb_phrase *phrases = nullptr;
  uint32_t phrase_count = 0;
  bool long_phrases = false;  // one holds more than one token
  sdb_word *words = nullptr;
  // What keeps a matched document.
  sdb_column **columns = nullptr;     // per request path
  uint64_t *phrase_slots = nullptr;   // a bit per slot
  uint16_t *words_matched = nullptr;  // per slot: leading distinct tokens matched
  uint16_t distinct_tokens = 0;
  // The rank rule's per-slot key, computed while scoring (none for BM25).
  const uint32_t *rule_keys = nullptr;
  sdb_typo_order typo{};
  // The kept documents, and what was counted over them.
  sdb_hit *hits = nullptr;
  uint32_t total = 0;
  facet_result *facets = nullptr;

  request_run(sdb_index *index, sdb_request *request) : ix(index), req(request) {}
  request_run(const request_run &) = delete;
  request_run &operator=(const request_run &) = delete;
  ~request_run() {
    if (scoring) sdb_scoring_end(&sc);
    sdb_tokens_free(tokens, lens, token_count);
    sdb_query_terms_free(&terms);
    sdb_typo_order_free(&typo);
    free(in_phrase);
    free(phrases);
    free(words);
    free(columns);
    free(phrase_slots);
    free(words_matched);
    free(hits);
    if (facets != nullptr)
      for (uint32_t f = 0; f < req->facet_count; f++) free(facets[f].entries);
    free(facets);
  }
};

// ---- The query ----

// Tokenizes and scores the query, and finds its phrases. *none is set when
// it can match nothing (an empty or token-less query, an empty index).
bool score_query(request_run *run, bool *none) {
  const sdb_request *req = run->req;
  *none = !*req->q || run->ix->live_count == 0;
  if (*none) return true;
  run->token_count = sdb_tokenize(req->q, &run->tokens, &run->lens);
  // The tokenizer hands back fewer tokens only when memory ran out.
  if (run->token_count != req->q_tokens) return no_memory();
  if (run->token_count == 0) {
    *none = true;
    return true;
  }
  if (!sdb_scoring_begin(&run->sc, run->ix)) return no_memory();
  run->scoring = true;
  const bool keep = req->all_words || req->highlight_count > 0;
  if (req->rank == SDB_RANK_TYPO_AWARE) {
    if (!sdb_match_tokens(run->ix, run->tokens, run->lens, run->token_count, &run->terms) ||
        !sdb_typo_score(&run->sc, &run->terms, &run->typo))
      return no_memory();
    run->rule_keys = run->typo.keys;
  } else if (!sdb_score_tokens(&run->sc, run->tokens, run->lens, run->token_count,
                               keep ? &run->terms : nullptr)) {
    return no_memory();
  }
  const uint64_t n = run->token_count;
  run->in_phrase = static_cast<bool *>(malloc(n * sizeof(bool)));
  run->phrases = static_cast<sdb_phrase *>(malloc(n * sizeof(sdb_phrase)));
  run->words = static_cast<sdb_word *>(malloc(n * sizeof(sdb_word)));
  if (!run->in_phrase || !run->phrases || !run->words) return no_memory();
  uint32_t longest = 0;
  run->phrase_count = sdb_find_phrases(req->q, run->phrases, &longest, run->in_phrase);
  run->long_phrases = longest > 1;
  for (uint64_t i = 0; i < n; i++)
    run->words[i] = sdb_word{run->tokens[i],
                             static_cast<uint32_t>(std::min<uint64_t>(run->lens[i], SDB_TERM_MAX))};
  return true;
}

// Counts, per slot, how many of the query's distinct tokens in a row,
// from the first, matched it: a document matches all words when the count
// reaches the number of distinct tokens.
bool mark_all_words(request_run *run) {
  const sdb_index *ix = run->ix;
  run->words_matched = static_cast<uint16_t *>(calloc(ix->doc_count ? ix->doc_count : 1, 2));
  if (run->words_matched == nullptr) return no_memory();
  const sdb_query_terms &t = run->terms;
  uint16_t k = 0;
  for (uint64_t i = 0; i < t.count; i++) {
    if (t.first[i] != i) continue;
    for (uint64_t r = t.runs[2 * i]; r < t.runs[2 * i + 1]; r++) {
      const sdb_term &term = sdb_term_at(&ix->terms, t.ids[r]);
      for (uint32_t p = 0; p < term.count; p++) {
        uint16_t &m = run->words_matched[term.docs[p]];
        if (m == k) m = k + 1;
      }
    }
    k++;
  }
  run->distinct_tokens = k;
  return true;
}

bool mark_phrase_candidates(request_run *run) {
  uint32_t *slots = nullptr, count = 0;
  if (!sdb_phrase_candidates(run->ix, run->words, run->phrases, run->phrase_count, &slots, &count))
    return no_memory();
  run->phrase_slots = static_cast<uint64_t *>(calloc(run->ix->doc_count / 64 + 1, 8));
  if (run->phrase_slots == nullptr) {
    free(slots);
    return no_memory();
  }
  for (uint32_t i = 0; i < count; i++)
    run->phrase_slots[slots[i] / 64] |= uint64_t{1} << (slots[i] % 64);
  free(slots);
  return true;
}

// ---- Columns ----

// Whether the request sorts or filters by the ranks of path's cells.
bool path_orders_slots(const sdb_request *req, uint32_t path) {
  for (uint32_t k = 0; k < req->sort_count; k++)
    if (req->sort[k].path == path) return true;
  return sdb_filter_needs_order(&req->filter, path);
}

// Whether it needs the order of path's values at all: facets list theirs
// in it.
bool path_used_in_order(const sdb_request *req, uint32_t path) {
  for (uint32_t f = 0; f < req->facet_count; f++)
    if (req->facets[f] == path) return true;
  return path_orders_slots(req, path);
}

// The request's columns, and the title column after them when the rank
// rule has title candidates: got in one call, so that none is let go
// while another is in use.
bool load_columns(request_run *run) {
  const sdb_request *req = run->req;
  const uint32_t n = req->paths.count;
  const bool titles = run->typo.titled_count > 0;
  if (n + titles == 0) return true;
  sdb_path *paths = req->paths.items;
  sdb_text_ptr with_title;
  if (titles) {
    with_title.reset(static_cast<char *>(malloc((n + 1) * sizeof(sdb_path))));
    if (!with_title) return no_memory();
    paths = reinterpret_cast<sdb_path *>(with_title.get());
    if (n > 0) memcpy(paths, req->paths.items, n * sizeof(sdb_path));
    paths[n] = SDB_TITLE_PATH;
  }
  run->columns = static_cast<sdb_column **>(malloc((n + titles) * sizeof(sdb_column *)));
  if (run->columns == nullptr || !sdb_columns_get_kept(run->ix, paths, n + titles, run->columns))
    return no_memory();
  if (titles) sdb_typo_settle_titles(&run->typo, run->columns[n]);
  for (uint32_t p = 0; p < n; p++)
    if (path_used_in_order(req, p) && !sdb_column_order(run->columns[p], path_orders_slots(req, p)))
      return no_memory();
  const uint32_t candidates = run->req->q ? run->sc.touched_count : run->ix->doc_count;
  if (!sdb_filter_compile(&run->req->filter, run->columns, candidates)) return no_memory();
  return true;
}

// ---- The kept documents ----

bool kept(const request_run *run, uint32_t slot) {
  if (run->phrase_slots && !((run->phrase_slots[slot / 64] >> (slot % 64)) & 1)) return false;
  if (run->words_matched && run->words_matched[slot] != run->distinct_tokens) return false;
  return sdb_filter_pass(&run->req->filter, slot);
}

// The live documents that pass keep(i, slot), with their scores: every
// live one when browsing (slot i, score 0), else the i-th touched slot.
// Every candidate is written and only those kept are counted: a filter
// that keeps a share far from all or none would mispredict a branch per
// candidate.
template <bool kBrowse, typename Keep>
void collect_kept(request_run *run, Keep keep) {
  const double *norms = run->ix->norms, *score = run->sc.score;
  const uint32_t *touched = run->sc.touched;
  const uint32_t n = kBrowse ? run->ix->doc_count : run->sc.touched_count;
  sdb_hit *hits = run->hits;
  uint32_t total = 0;
  for (uint32_t i = 0; i < n; i++) {
    const uint32_t slot = kBrowse ? i : touched[i];
    hits[total] = sdb_hit{slot, kBrowse ? 0.0 : score[slot]};
    // A dead slot's length part is negative: the norms are read already.
    total += static_cast<uint32_t>(norms[slot] >= 0.0) & static_cast<uint32_t>(keep(i, slot));
  }
  run->total = total;
}

template <bool kBrowse>
void collect_candidates(request_run *run) {
  const sdb_filter *f = &run->req->filter;
  // Where the filter alone keeps a match and it is nothing or one bit per
  // slot (the common requests), that is tested inline.
  if (run->phrase_slots == nullptr && run->words_matched == nullptr) {
    if (f->count == 0) return collect_kept<kBrowse>(run, [](uint32_t, uint32_t) { return true; });
    if (const uint64_t *bits = sdb_filter_whole_bits(f))
      return collect_kept<kBrowse>(
          run, [bits](uint32_t, uint32_t slot) { return (bits[slot / 64] >> (slot % 64)) & 1; });
  }
  if constexpr (kBrowse)
    return collect_kept<kBrowse>(run, [run](uint32_t, uint32_t slot) { return kept(run, slot); });
  // Touched slots lie scattered over columns far larger than the caches.
  constexpr uint32_t kAhead = 8;
  const uint32_t *touched = run->sc.touched;
  const uint32_t n = run->sc.touched_count;
  collect_kept<kBrowse>(run, [run, f, touched, n](uint32_t i, uint32_t slot) {
    if (i + 2 * kAhead < n) sdb_filter_prefetch_cells(f, touched[i + 2 * kAhead]);
    if (i + kAhead < n) sdb_filter_prefetch_values(f, touched[i + kAhead]);
    return kept(run, slot);
  });
}

bool collect(request_run *run, bool browse) {
  const uint32_t room = browse ? run->ix->doc_count : run->sc.touched_count;
  run->hits = static_cast<sdb_hit *>(malloc((room ? room : 1) * sizeof(sdb_hit)));
  if (run->hits == nullptr) return no_memory();
  if (browse) {
    collect_candidates<true>(run);
  } else {
    collect_candidates<false>(run);
  }
  return true;
}

// Keeps the hits whose documents hold every phrase.
bool verify_phrases(request_run *run) {
  sdb_phrase_check check{};
  uint32_t w = 0;
  bool ok = true;
  for (uint32_t i = 0; ok && i < run->total; i++) {
    const sdb_phrase_result held = sdb_phrases_held(run->ix, run->hits[i].doc, run->words,
                                                    run->phrases, run->phrase_count, &check);
    ok = held != SDB_PHRASE_NO_MEMORY;
    if (held == SDB_PHRASE_HELD) run->hits[w++] = run->hits[i];
  }
  sdb_phrase_check_free(&check);
  run->total = w;
  return ok || no_memory();
}

// ---- Facets ----

bool count_facet(request_run *run, const sdb_column *c, facet_result *out) {
  auto *counts = static_cast<uint32_t *>(calloc(c->value_count ? c->value_count : 1, 4));
  if (counts == nullptr) return no_memory();
  uint32_t distinct = 0;
  for (uint32_t i = 0; i < run->total; i++) {
    uint32_t n;
    const uint32_t *ids = sdb_cell_ids(c, run->hits[i].doc, &n);
    for (uint32_t k = 0; k < n; k++) distinct += counts[ids[k]]++ == 0;
  }
  out->entries =
      static_cast<facet_entry *>(malloc((distinct ? distinct : 1) * sizeof(facet_entry)));
  if (out->entries == nullptr) {
    free(counts);
    return no_memory();
  }
  uint32_t n = 0;
  for (uint32_t id = 0; id < c->value_count; id++)
    if (counts[id] > 0) out->entries[n++] = facet_entry{id, counts[id]};
  free(counts);
  // Count descending, then kind (numbers, strings, false, true, null),
  // then value: the rank orders numbers and strings.
  auto before = [c](const facet_entry &a, const facet_entry &b) {
    if (a.count != b.count) return a.count > b.count;
    const sdb_value_kind ka = c->values[a.id].kind, kb = c->values[b.id].kind;
    if (ka != kb) return ka < kb;
    return c->rank[a.id] < c->rank[b.id];
  };
  const int32_t size = run->req->facet_size;
  const uint32_t keep =
      size == 0 || static_cast<uint32_t>(size) >= n ? n : static_cast<uint32_t>(size);
  std::partial_sort(out->entries, out->entries + keep, out->entries + n, before);
  out->count = keep;
  return true;
}

bool count_facets(request_run *run) {
  const sdb_request *req = run->req;
  if (req->facet_count == 0) return true;
  run->facets = static_cast<facet_result *>(calloc(req->facet_count, sizeof(facet_result)));
  if (run->facets == nullptr) return no_memory();
  if (run->total == 0) return true;
  for (uint32_t f = 0; f < req->facet_count; f++)
    if (!count_facet(run, run->columns[req->facets[f]], &run->facets[f])) return false;
  return true;
}

// ---- Order ----

// The order of hits: the sort keys, each a per-slot key where smaller comes
// first (nullptr: relevance), then relevance, then slot ascending.
// Relevance is the rank rule's order: its per-slot key (nullptr for BM25,
// which has none), then score descending, as searchdb_search ranks.
struct hit_order {
  const uint32_t *const *keys;
  uint32_t count;
  const uint32_t *rule;
  // -1: a first, 1: b first, 0: as relevant.
  int relevance(const sdb_hit &a, const sdb_hit &b) const {
    if (rule != nullptr && rule[a.doc] != rule[b.doc]) return rule[a.doc] < rule[b.doc] ? -1 : 1;
    if (a.score != b.score) return a.score > b.score ? -1 : 1;
    return 0;
  }
  bool operator()(const sdb_hit &a, const sdb_hit &b) const {
    for (uint32_t k = 0; k < count; k++) {
      if (keys[k] == nullptr) {
        const int r = relevance(a, b);
        if (r != 0) return r < 0;
        continue;
      }
      const uint32_t x = keys[k][a.doc], y = keys[k][b.doc];
      if (x != y) return x < y;
    }
    const int r = relevance(a, b);
    return r != 0 ? r < 0 : a.doc < b.doc;
  }
};

// Puts the page [start, end) of the hits in order, leaving the rest in no
// particular order.
bool order_page(request_run *run, bool browse, uint32_t start, uint32_t end) {
  const sdb_request *req = run->req;
  if (start >= end) return true;
  bool by_field = false;
  for (uint32_t k = 0; k < req->sort_count; k++)
    by_field |= req->sort[k].path != SDB_SORT_RELEVANCE;
  // Browsing scores nothing: without a field to sort by, slot order stands.
  if (browse && !by_field) return true;
  // Relevance alone under BM25 is searchdb_search's order.
  if (!by_field && run->rule_keys == nullptr) {
    sdb_rank_page(run->hits, run->total, start, end);
    return true;
  }
  const uint32_t *keys[SDB_SORT_KEYS_MAX];
  for (uint32_t k = 0; k < req->sort_count; k++) {
    const sdb_sort_key &key = req->sort[k];
    keys[k] = key.path == SDB_SORT_RELEVANCE ? nullptr
              : key.desc                     ? run->columns[key.path]->desc
                                             : run->columns[key.path]->asc;
  }
  const hit_order order{keys, req->sort_count, run->rule_keys};
  sdb_hit *hits = run->hits;
  if (start > 0) std::nth_element(hits, hits + start, hits + run->total, order);
  std::partial_sort(hits + start, hits + end, hits + run->total, order);
  return true;
}

// ---- The answer ----

// Writes JSON text from the writer and releases it.
bool append_written(sdb_answer *a, char *text, size_t n) {
  sdb_text_ptr hold(text);
  return text != nullptr && sdb_answer_append(a, text, n);
}

bool append_val(sdb_answer *a, yyjson_val *v) {
  size_t n = 0;
  char *text = yyjson_val_write_opts(v, 0, nullptr, &n, nullptr);
  return append_written(a, text, n);
}

bool wanted(const sdb_request *req, yyjson_val *key) {
  const size_t len = yyjson_get_len(key);
  for (uint32_t f = 0; f < req->field_count; f++)
    if (req->fields[f].len == len && memcmp(req->fields[f].bytes, yyjson_get_str(key), len) == 0)
      return true;
  return false;
}

// The "_highlight" object of one hit, written.
bool append_highlights(sdb_answer *a, const sdb_request *req, yyjson_val *root,
                       sdb_highlighter *h) {
  sdb_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return false;
  yyjson_mut_val *obj = yyjson_mut_obj(doc.get());
  if (!obj) return false;
  char joined[SDB_JOINED_MAX];
  for (uint32_t m = 0; m < req->highlight_count; m++) {
    const sdb_name &name = req->highlight[m];
    yyjson_val *val = yyjson_is_obj(root) ? yyjson_obj_getn(root, name.bytes, name.len) : nullptr;
    const char *text;
    size_t n;
    if (yyjson_is_str(val)) {
      text = yyjson_get_str(val);
      n = strlen(text);  // up to the first NUL, as the index reads it
    } else if (yyjson_is_arr(val)) {
      n = sdb_join_array(val, joined);
      text = joined;
    } else {
      continue;
    }
    if (!sdb_highlight(h, text, n)) return false;
    yyjson_mut_val *key = yyjson_mut_strn(doc.get(), name.bytes, name.len);
    yyjson_mut_val *marked = yyjson_mut_strncpy(doc.get(), h->out ? h->out : "", h->out_len);
    if (!key || !marked || !yyjson_mut_obj_add(obj, key, marked)) return false;
  }
  size_t len = 0;
  sdb_text_ptr written(yyjson_mut_val_write_opts(obj, 0, nullptr, &len, nullptr));
  return written && sdb_answer_append(a, "\"_highlight\":", 13) &&
         sdb_answer_append(a, written.get(), len);
}

// A hit with only the chosen fields, or with its highlights, or both.
bool append_shaped_hit(sdb_answer *a, bool *first, const sdb_request *req, const sdb_doc *d,
                       sdb_hit_text *text, sdb_highlighter *h) {
  if (!d->alive) return true;
  bool oom = false;
  sdb_doc_ptr parsed(sdb_hit_parse(d, text, &oom));
  if (!parsed) return !oom;
  yyjson_val *root = yyjson_doc_get_root(parsed.get());
  if (!*first && !sdb_answer_append(a, ",", 1)) return false;
  *first = false;
  bool members = false;
  if (req->field_count > 0) {
    if (!sdb_answer_append(a, "{", 1)) return false;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(root, idx, max, key, val) {
      if (!wanted(req, key)) continue;
      if ((members && !sdb_answer_append(a, ",", 1)) || !append_val(a, key) ||
          !sdb_answer_append(a, ":", 1) || !append_val(a, val))
        return false;
      members = true;
    }
  } else {
    // The whole document, its closing brace left for the highlights.
    const size_t had = a->len;
    if (!yyjson_is_obj(root) || !append_val(a, root)) return false;
    members = a->len - had > 2;
    a->len--;
  }
  if (req->has_highlight &&
      ((members && !sdb_answer_append(a, ",", 1)) || !append_highlights(a, req, root, h)))
    return false;
  return sdb_answer_append(a, "}", 1);
}

yyjson_mut_val *facet_value(yyjson_mut_doc *doc, const sdb_column *c, uint32_t id) {
  const sdb_value v = sdb_column_value_of(c, id);
  switch (v.kind) {
    case SDB_VALUE_NUMBER:
      // Numbers are doubles; a whole one within the exact integers is
      // written as an integer.
      if (std::trunc(v.num) == v.num && std::fabs(v.num) <= 9007199254740992.0)
        return yyjson_mut_sint(doc, static_cast<int64_t>(v.num));
      return yyjson_mut_real(doc, v.num);
    case SDB_VALUE_STRING:
      return yyjson_mut_strn(doc, v.str, v.len);
    case SDB_VALUE_FALSE:
      return yyjson_mut_false(doc);
    case SDB_VALUE_TRUE:
      return yyjson_mut_true(doc);
    default:
      return yyjson_mut_null(doc);
  }
}

bool add_facets(const request_run *run, yyjson_mut_doc *doc) {
  const sdb_request *req = run->req;
  yyjson_mut_val *facets = yyjson_mut_obj(doc);
  if (!facets || !yyjson_mut_obj_add_val(doc, yyjson_mut_doc_get_root(doc), "facets", facets))
    return false;
  for (uint32_t f = 0; f < req->facet_count; f++) {
    const sdb_path &path = req->paths.items[req->facets[f]];
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_val *key = yyjson_mut_strn(doc, path.bytes, path.len);
    if (!list || !key || !yyjson_mut_obj_add(facets, key, list)) return false;
    const facet_result &r = run->facets[f];
    for (uint32_t e = 0; e < r.count; e++) {
      yyjson_mut_val *entry = yyjson_mut_obj(doc);
      yyjson_mut_val *value = facet_value(doc, run->columns[req->facets[f]], r.entries[e].id);
      if (!entry || !value || !yyjson_mut_obj_add_val(doc, entry, "value", value) ||
          !yyjson_mut_obj_add_uint(doc, entry, "count", r.entries[e].count) ||
          !yyjson_mut_arr_append(list, entry))
        return false;
    }
  }
  return true;
}

bool respond(request_run *run, uint32_t limit, uint32_t offset, double ms, uint32_t start,
             uint32_t end, sdb_answer *a) {
  const sdb_request *req = run->req;
  sdb_mut_doc_ptr tail(sdb_answer_tail(req->q ? req->q : "", ms, limit, offset, run->total));
  if (!tail || (req->has_facets && !add_facets(run, tail.get()))) return no_memory();
  bool first = true, built = sdb_answer_append(a, "{\"hits\":[", 9);
  sdb_answer_prefetch(run->ix, run->hits, start, end);
  sdb_hit_text stored;
  const bool shaped = req->field_count > 0 || req->has_highlight;
  sdb_highlighter h{};
  h.open = req->tags[0].bytes;
  h.open_len = req->tags[0].len;
  h.close = req->tags[1].bytes;
  h.close_len = req->tags[1].len;
  h.snippet = req->snippet_words;
  if (req->highlight_count > 0 && run->scoring)
    built = built && sdb_highlighter_init(&h, run->ix, &run->terms, run->in_phrase, run->words,
                                          run->phrases, run->phrase_count);
  for (uint32_t i = start; built && i < end; i++) {
    const sdb_doc *d = &run->ix->docs[run->hits[i].doc];
    built = shaped ? append_shaped_hit(a, &first, req, d, &stored, &h)
                   : sdb_answer_hit(a, &first, d, &stored);
  }
  sdb_highlighter_free(&h);
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

uint32_t at_least_zero(int32_t v) {
  return v < 0 ? 0u : static_cast<uint32_t>(v);
}

}  // namespace

bool sdb_request_answer(sdb_index *ix, sdb_request *req, sdb_answer *out) {
  const uint32_t limit = at_least_zero(req->limit), offset = at_least_zero(req->offset);
  const timespec start = clock_now();
  request_run run(ix, req);
  const bool browse = req->q == nullptr;
  bool none = browse && ix->live_count == 0;
  if (!browse && !score_query(&run, &none)) return false;
  if (!none) {
    if (!load_columns(&run)) return false;
    if (req->all_words && !mark_all_words(&run)) return false;
    if (run.phrase_count > 0 && !mark_phrase_candidates(&run)) return false;
    if (!collect(&run, browse)) return false;
    if (run.long_phrases && !verify_phrases(&run)) return false;
  }
  if (!count_facets(&run)) return false;
  const timespec end = clock_now();
  const uint32_t page_start = std::min(offset, run.total);
  const uint32_t left = run.total - page_start;
  const uint32_t page_end = (limit == 0 || limit >= left) ? run.total : page_start + limit;
  if (!none) order_page(&run, browse, page_start, page_end);
  return respond(&run, limit, offset, sdb_elapsed_ms(&start, &end), page_start, page_end, out);
}
