#include "search/typo_rank.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/holders.h"
#include "index/bm25.h"
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
// (rank.cc): keys for every search; for a token of several terms, a bit
// for each document it has reached (reached), and what it has gathered for
// a document an earlier token reached (the closest level and that level's
// best contribution, held apart until the token is walked, while the
// score holds the earlier tokens' sum), valid where its bit in gathered is
// set. The bits are cleared after each token.
struct {
  uint32_t *keys;
  double *best;
  uint8_t *level;
  uint64_t *gathered;
  uint64_t *reached;
  uint32_t cap, gather_cap;
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
  if (slots <= s_typo.gather_cap && s_typo.best != nullptr) return true;
  const uint32_t cap = std::max<uint32_t>(slots, 64);
  auto *best = static_cast<double *>(malloc(cap * sizeof(double)));
  auto *level = static_cast<uint8_t *>(malloc(cap));
  auto *gathered = static_cast<uint64_t *>(calloc(cap / 64 + 1, sizeof(uint64_t)));
  auto *reached = static_cast<uint64_t *>(calloc(cap / 64 + 1, sizeof(uint64_t)));
  if (best == nullptr || level == nullptr || gathered == nullptr || reached == nullptr) {
    free(best);
    free(level);
    free(gathered);
    free(reached);
    return false;
  }
  free(s_typo.best);
  free(s_typo.level);
  free(s_typo.gathered);
  free(s_typo.reached);
  s_typo = {s_typo.keys, best, level, gathered, reached, s_typo.cap, cap};
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

// What the rule needs of each distinct token: its weight and its terms'
// levels.
struct token_plan {
  double *weight;   // per token (the first of its kind)
  uint8_t *level;   // per term, beside t->ids
  uint32_t *order;  // a token's terms, likeliest first; after the walk, by id
};

void plan_token(const sdb_index *ix, const sdb_query_terms *t, uint64_t i, double live,
                token_plan *p) {
  const uint64_t r0 = t->runs[2 * i], r1 = t->runs[2 * i + 1];
  auto of = [&](uint32_t k) {
    return reading{sdb_term_at(&ix->terms, t->ids[k]).count, t->edits[k]};
  };
  uint32_t commonest = 0;
  for (uint64_t k = r0; k < r1; k++) {
    commonest = std::max(commonest, sdb_term_at(&ix->terms, t->ids[k]).count);
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

// Notes slot as a title candidate.
bool note_title(sdb_typo_order *out, uint32_t slot) {
  if (!sdb_reserve(&out->titled, &out->titled_cap, out->titled_count + 1)) return false;
  out->titled[out->titled_count++] = slot;
  return true;
}

// A token of one term: each posting is a document the token reaches once,
// at level 0. For the last token, a document every token has reached is a
// title candidate when the term is in its title member.
bool walk_one_term(walk *wk, uint32_t id, double w, bool last, sdb_typo_order *out) {
  const sdb_index *ix = wk->sc->ix;
  const sdb_terms *d = &ix->terms;
  const sdb_term *term = &sdb_term_at(d, id);
  for (uint32_t p = 0; p < term->count; p++) {
    const uint32_t slot = term->docs[p];
    const double norm = ix->norms[slot];
    if (norm < 0.0) continue;  // a dead slot
    const uint32_t key = add(wk, slot, contribution(d, term, id, p, norm, w), 0);
    if (last && key < kWord && (term->tfs[p] & SDB_TF_TITLE) && !note_title(out, slot))
      return false;
  }
  return true;
}

// Whether (level a, contribution x) is closer than (b, y): a lower level,
// or the same with a higher contribution.
inline bool closer(uint32_t a, double x, uint32_t b, double y) {
  return a < b || (a == b && x > y);
}

// A token of several terms, whose postings may reach a document more than
// once. A document no earlier token reached keeps its closest term so far
// in place, as the score and the key's closeness (its only level yet); one
// an earlier token reached has it gathered apart and added once the token
// is walked. For the query's first token, reached is the seen bits. For
// the last, every document with one of its terms in its title member is a
// title candidate (the words it matched are known only once the settling
// looks at it).
bool walk_terms(walk *wk, const sdb_query_terms *t, const token_plan *p, uint64_t r0, uint64_t r1,
                double w, bool first, bool last, sdb_typo_order *out) {
  sdb_scoring *sc = wk->sc;
  const sdb_index *ix = sc->ix;
  const sdb_terms *d = &ix->terms;
  double *best = s_typo.best;
  uint8_t *level = s_typo.level;
  uint64_t *gathered = s_typo.gathered;
  uint64_t *reached = first ? sc->seen : s_typo.reached;
  uint32_t lo = UINT32_MAX, hi = 0;    // the slots gathered lie in [lo, hi]
  uint32_t rlo = UINT32_MAX, rhi = 0;  // and those reached
  for (uint64_t k = r0; k < r1; k++) {
    const uint32_t id = t->ids[k], at = p->level[k];
    const sdb_term *term = &sdb_term_at(d, id);
    if (term->count > 0) {
      rlo = std::min(rlo, term->docs[0]);
      rhi = std::max(rhi, term->docs[term->count - 1]);
    }
    for (uint32_t q = 0; q < term->count; q++) {
      const uint32_t slot = term->docs[q];
      const double norm = ix->norms[slot];
      if (norm < 0.0) continue;
      if (last && (term->tfs[q] & SDB_TF_TITLE) && !note_title(out, slot)) return false;
      const double c = contribution(d, term, id, q, norm, w);
      const uint64_t bit = uint64_t{1} << (slot % 64);
      uint64_t &mine = reached[slot / 64];
      uint32_t &key = wk->keys[slot];
      if (!(mine & bit)) {
        mine |= bit;
        uint64_t &seen = sc->seen[slot / 64];
        if (first || !(seen & bit)) {
          seen |= bit;
          sc->score[slot] = c;
          sc->touched[sc->touched_count++] = slot;
          key = wk->first_key | at << 1 | kUntitled;
        } else {
          gathered[slot / 64] |= bit;
          best[slot] = c;
          level[slot] = static_cast<uint8_t>(at);
          lo = std::min(lo, slot);
          hi = std::max(hi, slot);
        }
      } else if (!first && (gathered[slot / 64] & bit)) {
        if (closer(at, c, level[slot], best[slot])) {
          best[slot] = c;
          level[slot] = static_cast<uint8_t>(at);
        }
      } else if (closer(at, c, (key & ~wk->first_key) >> 1, sc->score[slot])) {
        sc->score[slot] = c;
        key = wk->first_key | at << 1 | kUntitled;
      }
    }
  }
  for (uint32_t i = lo / 64; lo <= hi && i <= hi / 64; i++) {
    for (uint64_t bits = gathered[i]; bits != 0; bits &= bits - 1) {
      const uint32_t slot = i * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
      add(wk, slot, best[slot], level[slot]);
    }
    gathered[i] = 0;
  }
  if (!first && rlo <= rhi) memset(reached + rlo / 64, 0, (rhi / 64 - rlo / 64 + 1) * 8);
  return true;
}

}  // namespace

bool sdb_typo_score(sdb_scoring *sc, const sdb_query_terms *t, sdb_typo_order *out) {
  *out = sdb_typo_order{};
  const sdb_index *ix = sc->ix;
  const uint64_t n = t->count;
  bool several = false;
  for (uint64_t i = 0; i < n; i++) several |= t->runs[2 * i + 1] - t->runs[2 * i] > 1;
  if (!reserve_keys(ix->doc_count) || (several && !reserve_gather(ix->doc_count))) return false;
  out->keys = s_typo.keys;
  const uint64_t terms = t->id_count ? t->id_count : 1;
  sdb_text_ptr weights(static_cast<char *>(malloc(n * sizeof(double))));
  out->by_id = static_cast<uint32_t *>(malloc(terms * sizeof(uint32_t)));
  out->levels = static_cast<uint8_t *>(malloc(terms));
  if (!weights || !out->by_id || !out->levels) return false;
  out->ix = ix;
  out->terms = t;
  token_plan plan{reinterpret_cast<double *>(weights.get()), out->levels, out->by_id};
  for (uint64_t i = 0; i < n; i++)
    if (t->first[i] == i) plan_token(ix, t, i, sc->live, &plan);
  walk wk{sc, out->keys, static_cast<uint32_t>(n - 1) * kWord};
  for (uint64_t i = 0; i < n; i++) {
    const uint64_t first = t->first[i], r0 = t->runs[2 * first], r1 = t->runs[2 * first + 1];
    const double w = plan.weight[first];
    const bool last = i + 1 == n;
    if (r1 - r0 == 1) {
      if (!walk_one_term(&wk, t->ids[r0], w, last, out)) return false;
    } else if (r1 > r0 && !walk_terms(&wk, t, &plan, r0, r1, w, i == 0, last, out)) {
      return false;
    }
  }
  // The settling looks a title's words up among each token's terms by id.
  if (out->titled_count > 0)
    for (uint64_t i = 0; i < n; i++)
      if (t->first[i] == i)
        std::sort(out->by_id + t->runs[2 * i], out->by_id + t->runs[2 * i + 1],
                  [t](uint32_t a, uint32_t b) { return t->ids[a] < t->ids[b]; });
  return true;
}

namespace {

// The sum of the levels the title's words have as readings of the query's
// tokens, word j of token j; UINT32_MAX when the title has another number
// of words or one is no reading of its token.
uint32_t title_closeness(const sdb_typo_order *o, const char *bytes, uint32_t len) {
  const sdb_query_terms *t = o->terms;
  // Most candidates' titles have more words than the query: counted first,
  // they cost no look-up in the dictionary.
  if (static_cast<uint64_t>(std::count(bytes, bytes + len, ' ')) + 1 != t->count) return UINT32_MAX;
  uint32_t sum = 0;
  uint64_t j = 0;
  for (uint32_t at = 0; at < len; j++) {
    const char *end = static_cast<const char *>(memchr(bytes + at, ' ', len - at));
    const uint32_t stop = end ? static_cast<uint32_t>(end - bytes) : len;
    if (j == t->count) return UINT32_MAX;
    const uint32_t id = sdb_terms_find(&o->ix->terms, bytes + at, stop - at);
    if (id == SDB_NO_TERM) return UINT32_MAX;
    const uint64_t first = t->first[j];
    const uint32_t *lo = o->by_id + t->runs[2 * first], *hi = o->by_id + t->runs[2 * first + 1];
    const uint32_t *k =
        std::lower_bound(lo, hi, id, [t](uint32_t a, uint32_t v) { return t->ids[a] < v; });
    if (k == hi || t->ids[*k] != id) return UINT32_MAX;
    sum += o->levels[*k];
    at = stop + 1;
  }
  return j == t->count ? sum : UINT32_MAX;
}

}  // namespace

void sdb_typo_settle_titles(sdb_typo_order *o, const sdb_column *titles) {
  for (uint64_t i = 0; i < o->titled_count; i++) {
    const uint32_t slot = o->titled[i];
    uint32_t &key = o->keys[slot];
    // A document that missed a word, or one settled already.
    if (key >= kWord || !(key & kUntitled)) continue;
    uint32_t n;
    const uint32_t *ids = sdb_cell_ids(titles, slot, &n);
    if (n == 0) continue;  // a title of no words
    const sdb_value v = sdb_column_value_of(titles, ids[0]);
    if (title_closeness(o, v.str, v.len) == key >> 1) key &= ~kUntitled;
  }
}

void sdb_typo_order_free(sdb_typo_order *o) {
  free(o->titled);
  free(o->by_id);
  free(o->levels);
  *o = sdb_typo_order{};
}

void sdb_typo_release(void) {
  free(s_typo.keys);
  free(s_typo.best);
  free(s_typo.level);
  free(s_typo.gathered);
  free(s_typo.reached);
  s_typo = {};
}
