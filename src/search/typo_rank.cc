#include "search/typo_rank.h"

#include <algorithm>
#include <cstdlib>

#include "frame/holders.h"
#include "index/title_column.h"
#include "search/bm25.h"
#include "search/search.h"
#include "search/typo.h"

namespace {

// A reading one edit further must be 2^kRatioBits times as common to be as
// likely; readings within kBand of their level's leader share its level.
constexpr int kRatioBits = 6;
constexpr uint64_t kBand = 4;
// The comparisons' largest side: a df, the band and the widest cost gap.
static_assert(32 + 2 + kRatioBits * SDB_TYPO_BUDGET_MAX < 64, "likelihoods overflow 64 bits");
static_assert(22 * SDB_QUERY_TOKEN_MAX < (1u << (SDB_TYPO_MISSED_SHIFT - 1)),
              "closeness overflows its bits");
static_assert(SDB_QUERY_TOKEN_MAX < (1u << (32 - SDB_TYPO_MISSED_SHIFT)),
              "missed words overflow their bits");

constexpr uint32_t kWord = uint32_t{1} << SDB_TYPO_MISSED_SHIFT;
constexpr uint32_t kUntitled = 1;

// Per slot, kept from one search to the next as the score arrays are
// (rank.cc): keys for every search; for tokens of several terms, where a
// document's closest term is gathered before it is added, the place of its
// entry in list (a sparse set: valid only where list points back, so it is
// never cleared) and, per entry, the slot and the best contribution so far.
struct {
  uint32_t *keys;
  uint32_t *pos;  // zeroed when allocated
  uint32_t *list;
  double *best;
  uint32_t cap;
  uint32_t gather_cap;
} s_typo;

bool reserve_keys(uint32_t slots) {
  if (slots <= s_typo.cap && s_typo.keys != nullptr) return true;
  const uint32_t cap = std::max<uint32_t>(slots, 64);
  auto *keys = static_cast<uint32_t *>(malloc(cap * sizeof(uint32_t)));
  if (keys == nullptr) return false;
  free(s_typo.keys);
  s_typo.keys = keys;
  s_typo.cap = cap;
  return true;
}

bool reserve_gather(uint32_t slots) {
  if (slots <= s_typo.gather_cap && s_typo.pos != nullptr) return true;
  const uint32_t cap = std::max<uint32_t>(slots, 64);
  auto *pos = static_cast<uint32_t *>(calloc(cap, sizeof(uint32_t)));
  auto *list = static_cast<uint32_t *>(malloc(cap * sizeof(uint32_t)));
  auto *best = static_cast<double *>(malloc(cap * sizeof(double)));
  if (pos == nullptr || list == nullptr || best == nullptr) {
    free(pos);
    free(list);
    free(best);
    return false;
  }
  free(s_typo.pos);
  free(s_typo.list);
  free(s_typo.best);
  s_typo.pos = pos;
  s_typo.list = list;
  s_typo.best = best;
  s_typo.gather_cap = cap;
  return true;
}

// One reading of a token: a df and a cost in edits.
struct reading {
  uint32_t df;
  uint32_t cost;
};

// Whether a is more than f times as likely as b, in integers.
bool likelier(reading a, reading b, uint64_t f) {
  uint64_t x = a.df, y = f * b.df;
  if (b.cost > a.cost) {
    x <<= kRatioBits * (b.cost - a.cost);
  } else {
    y <<= kRatioBits * (a.cost - b.cost);
  }
  return x > y;
}

// What the rule needs of each distinct token: its weight, and its terms'
// positions in the kept list in walk order (likeliest first) with their
// levels.
struct token_plan {
  double *weight;   // per token (the first of its kind)
  uint32_t *order;  // per kept term: positions of a token's run, likeliest first
  uint8_t *level;   // per kept term position
};

void plan_token(const sdb_index *ix, const sdb_query_terms *t, uint64_t i, double live,
                token_plan *p) {
  const uint64_t r0 = t->runs[2 * i], r1 = t->runs[2 * i + 1];
  auto of = [&](uint32_t k) { return reading{ix->terms.terms[t->ids[k]].count, t->edits[k]}; };
  uint32_t commonest = 0;
  for (uint64_t k = r0; k < r1; k++) {
    commonest = std::max(commonest, ix->terms.terms[t->ids[k]].count);
    p->order[k] = static_cast<uint32_t>(k);
  }
  p->weight[i] = sdb_bm25_weight(live, commonest);
  // Equal likelihoods compare as not likelier, so ties may sort either way.
  std::sort(p->order + r0, p->order + r1,
            [&](uint32_t a, uint32_t b) { return likelier(of(a), of(b), 1); });
  uint32_t level = 0;
  uint64_t lead = r0;
  for (uint64_t k = r0; k < r1; k++) {
    if (likelier(of(p->order[lead]), of(p->order[k]), kBand)) level++, lead = k;
    p->level[p->order[k]] = static_cast<uint8_t>(level);
  }
}

// The walk of one search.
struct walk {
  sdb_scoring *sc;
  uint32_t *keys;
  uint32_t first_key;  // a document's key when the first token reaches it
};

// One posting's contribution.
inline double contribution(const sdb_terms *d, const sdb_term *term, uint32_t id, uint32_t p,
                           double norm, double w) {
  const uint8_t tf = term->tfs[p];
  const uint32_t exact =
      (tf & SDB_TF_MASK) != SDB_TF_OVERFLOW ? tf & SDB_TF_MASK : sdb_posting_tf(d, id, p);
  return sdb_bm25_contribution(exact, norm, w, (tf & SDB_TF_TITLE) != 0);
}

// Adds a token's contribution c at level to the document in slot; returns
// its key (not titled until the titles are settled).
inline uint32_t add(walk *wk, uint32_t slot, double c, uint32_t level) {
  sdb_scoring *sc = wk->sc;
  uint64_t *word = &sc->seen[slot / 64];
  const uint64_t bit = uint64_t{1} << (slot % 64);
  uint32_t &key = wk->keys[slot];
  if (*word & bit) {
    sc->score[slot] = c + sc->score[slot];
    key = key - kWord + (level << 1);
  } else {
    *word |= bit;
    sc->score[slot] = c;
    sc->touched[sc->touched_count++] = slot;
    key = wk->first_key | level << 1 | kUntitled;
  }
  return key;
}

// A token of one term: each posting is a document the token reaches once,
// at level 0. With titles, a document every token has reached (which only
// the last can complete) is a title candidate when the last token's term
// is in its title member.
bool walk_one_term(walk *wk, uint32_t id, double w, bool titles, sdb_typo_order *out) {
  const sdb_index *ix = wk->sc->ix;
  const sdb_terms *d = &ix->terms;
  const sdb_term *term = &d->terms[id];
  for (uint32_t p = 0; p < term->count; p++) {
    const uint32_t slot = term->docs[p];
    const double norm = ix->norms[slot];
    if (norm < 0.0) continue;  // a dead slot
    const uint32_t key = add(wk, slot, contribution(d, term, id, p, norm, w), 0);
    if (titles && key == kUntitled && (term->tfs[p] & SDB_TF_TITLE)) {
      if (!sdb_reserve(&out->titled, &out->titled_cap, out->titled_count + 1)) return false;
      out->titled[out->titled_count++] = slot;
    }
  }
  return true;
}

// A token of several terms, walked likeliest first: a document's first
// entry is made at its closest level, and holds that level's best
// contribution once the level is walked; then it is added.
void walk_terms(walk *wk, const sdb_query_terms *t, const token_plan *p, uint64_t r0, uint64_t r1,
                double w) {
  const sdb_index *ix = wk->sc->ix;
  const sdb_terms *d = &ix->terms;
  uint32_t *pos = s_typo.pos, *list = s_typo.list;
  double *best = s_typo.best;
  uint32_t len = 0, level_start = 0, level = 0;
  auto add_level = [&] {
    for (uint32_t e = level_start; e < len; e++) add(wk, list[e], best[e], level);
    level_start = len;
  };
  for (uint64_t k = r0; k < r1; k++) {
    const uint32_t at = p->order[k];
    if (p->level[at] != level) {
      add_level();
      level = p->level[at];
    }
    const uint32_t id = t->ids[at];
    const sdb_term *term = &d->terms[id];
    for (uint32_t q = 0; q < term->count; q++) {
      const uint32_t slot = term->docs[q];
      const double norm = ix->norms[slot];
      if (norm < 0.0) continue;
      const double c = contribution(d, term, id, q, norm, w);
      const uint32_t e = pos[slot];
      if (e < len && list[e] == slot) {  // entries of lower levels are added already
        if (c > best[e]) best[e] = c;
        continue;
      }
      pos[slot] = len;
      list[len] = slot;
      best[len++] = c;
    }
  }
  add_level();
}

// Whether every token is a term found whole: only then may a title be the
// query.
bool all_terms(const sdb_index *ix, const sdb_query_terms *t, const uint64_t *lens) {
  for (uint64_t i = 0; i < t->count; i++) {
    const uint64_t i0 = t->first[i], r0 = t->runs[2 * i0], r1 = t->runs[2 * i0 + 1];
    if (r1 - r0 != 1 ||
        ix->terms.terms[t->ids[r0]].len != std::min<uint64_t>(lens[i], SDB_TERM_MAX))
      return false;
  }
  return true;
}

}  // namespace

bool sdb_typo_score(sdb_scoring *sc, const sdb_query_terms *t, const uint64_t *lens,
                    sdb_typo_order *out) {
  *out = sdb_typo_order{};
  const sdb_index *ix = sc->ix;
  const uint64_t n = t->count;
  bool several = false;
  for (uint64_t i = 0; i < n; i++) several |= t->runs[2 * i + 1] - t->runs[2 * i] > 1;
  if (!reserve_keys(ix->doc_count) || (several && !reserve_gather(ix->doc_count))) return false;
  out->keys = s_typo.keys;
  const uint64_t terms = t->id_count ? t->id_count : 1;
  sdb_text_ptr weights(static_cast<char *>(malloc(n * sizeof(double))));
  sdb_text_ptr order(static_cast<char *>(malloc(terms * sizeof(uint32_t))));
  sdb_text_ptr levels(static_cast<char *>(malloc(terms)));
  if (!weights || !order || !levels) return false;
  token_plan plan{reinterpret_cast<double *>(weights.get()),
                  reinterpret_cast<uint32_t *>(order.get()),
                  reinterpret_cast<uint8_t *>(levels.get())};
  for (uint64_t i = 0; i < n; i++)
    if (t->first[i] == i) plan_token(ix, t, i, sc->live, &plan);
  const bool titles = all_terms(ix, t, lens);
  walk wk{sc, out->keys, static_cast<uint32_t>(n - 1) * kWord};
  for (uint64_t i = 0; i < n; i++) {
    const uint64_t first = t->first[i], r0 = t->runs[2 * first], r1 = t->runs[2 * first + 1];
    const double w = plan.weight[first];
    if (r1 - r0 == 1) {
      if (!walk_one_term(&wk, t->ids[r0], w, titles, out)) return false;
    } else if (r1 > r0) {
      walk_terms(&wk, t, &plan, r0, r1, w);
    }
  }
  return true;
}

bool sdb_typo_settle_titles(sdb_typo_order *o, const sdb_column *titles, char *const *tokens,
                            const uint64_t *lens, uint64_t count) {
  sdb_title_text query{};
  bool ok = true;
  for (uint64_t i = 0; ok && i < count; i++) ok = sdb_title_text_add(&query, tokens[i], lens[i]);
  const sdb_value v{SDB_VALUE_STRING, 0.0, query.bytes, static_cast<uint32_t>(query.len)};
  const uint32_t value = ok ? sdb_column_find(titles, &v) : SDB_NO_VALUE;
  free(query.bytes);
  if (!ok) return false;
  for (uint64_t i = 0; i < o->titled_count; i++) {
    const uint32_t slot = o->titled[i];
    uint32_t n;
    const uint32_t *ids = sdb_cell_ids(titles, slot, &n);
    if (value != SDB_NO_VALUE && n == 1 && ids[0] == value) o->keys[slot] &= ~kUntitled;
  }
  return true;
}

void sdb_typo_order_free(sdb_typo_order *o) {
  free(o->titled);
  *o = sdb_typo_order{};
}

void sdb_typo_release(void) {
  free(s_typo.keys);
  free(s_typo.pos);
  free(s_typo.list);
  free(s_typo.best);
  s_typo = {};
}
