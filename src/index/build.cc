#include "index/build.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/error.h"
#include "base/hashing.h"
#include "base/holders.h"
#include "base/invariant.h"
#include "base/memory.h"
#include "base/table.h"
#include "index/bm25.h"
#include "index/entry.h"
#include "index/flatten.h"
#include "index/stored_doc.h"
#include "index/walk_order.h"

namespace {

// A term id in a change that is not in the dictionary yet: the index of its
// record among the change's new terms.
constexpr uint32_t kNewTerm = 0x80000000u;
constexpr uint32_t kNone = 0xFFFFFFFFu;

// Empties the table of a document's distinct tokens (or terms) and sizes it
// for tokens of them: a power of two at least twice their count. False when
// memory ran out.
template <typename S, typename Ops>
bool reset_token_map(sdb_table<S> *map, uint64_t tokens) {
  return sdb_table_reset<S, Ops>(map, sdb_table_cap_for(tokens, 1, 2, 16));
}

uint32_t round_up_pow2(uint32_t n) {
  uint32_t cap = 8;
  while (cap < n) cap *= 2;
  return cap;
}

// ---- Reading documents ----

// Working memory for tokenizing documents one after another.
struct doc_reader {
  sdb_field_tokens list;
  sdb_doc_reader stored;
};

void reader_free(doc_reader *r) {
  sdb_field_tokens_free(&r->list);
  sdb_doc_reader_free(&r->stored);
  *r = doc_reader{};
}

// Collects the tokens of the live document d into r->list from its stored
// text; a text that does not parse gives none. Taking every document's
// tokens from the text a load will read, never from the text it was made
// from, keeps a change and a load in agreement. False when memory ran out.
bool read_doc(doc_reader *r, const sdb_doc *d) {
  sdb_field_tokens_reset(&r->list);
  bool oom = false;
  yyjson_doc *doc = sdb_doc_read(&r->stored, d, &oom);
  if (doc == nullptr) return !oom;
  sdb_collect_doc_tokens(yyjson_doc_get_root(doc), &r->list);
  yyjson_doc_free(doc);
  return !r->list.failed;
}

// Token i of the list, cut to the longest term.
struct token_ref {
  const char *bytes;
  uint32_t len;
  uint64_t key;  // sdb_term_key
  bool title;
};

// Token i without its key.
token_ref token_text(const sdb_field_tokens *list, uint64_t i) {
  const sdb_field_token &t = list->items[i];
  const auto len = static_cast<uint32_t>(std::min<uint64_t>(t.len, SDB_TERM_MAX));
  return {list->bytes + t.off, len, 0, t.tag == -1};
}

token_ref token_at(const sdb_field_tokens *list, uint64_t i) {
  token_ref tok = token_text(list, i);
  tok.key = sdb_term_key(tok.bytes, tok.len);
  return tok;
}

double average_length(uint64_t total_tokens, uint32_t live) {
  return live ? sdb_average_length(total_tokens, live) : 1.0;
}

// ---- Full build ----

// One document's occurrences of one term, gathered document by document
// before the postings are laid out term by term.
struct pair {
  uint32_t term;
  uint32_t tf;  // with kPairTitle
};
constexpr uint32_t kPairTitle = 0x80000000u;

using full_build = sdb_fresh_build;

void full_build_discard(full_build *b) {
  sdb_terms_free(&b->terms);
  free(b->token_counts);
  *b = full_build{};
}

// The distinct tokens of the document being gathered, so that a token
// repeated in it is looked up in the dictionary once: a table placed by
// sdb_term_key, each position the token's key and the pair it made (kNone:
// empty).
struct seen_slot {
  uint64_t key;
  uint32_t pair;   // relative to the document's first pair
  uint32_t token;  // the token that made it, for its bytes
};

struct seen_ops {
  static constexpr unsigned char kEmptyByte = 0xFF;
  static bool empty(const seen_slot &s) { return s.pair == kNone; }
  static uint64_t hash(const seen_slot &s) { return s.key; }
};

struct build_scratch {
  pair *pairs;
  uint64_t pair_count;
  uint64_t pair_cap;
  uint64_t *doc_start;  // per slot, its first pair; doc_count + 1 entries
  sdb_table<seen_slot> seen;
  uint64_t *keys;  // the current document's token keys
  uint64_t keys_cap;
  doc_reader reader;
};

void scratch_free(build_scratch *s) {
  free(s->pairs);
  free(s->doc_start);
  sdb_table_free(&s->seen);
  free(s->keys);
  reader_free(&s->reader);
}

// Room for need pairs, which can take tens of megabytes: as huge pages, so
// that filling them costs little more than writing them.
bool reserve_pairs(build_scratch *s, uint64_t need) {
  const uint64_t had = s->pair_cap;
  if (!sdb_reserve(&s->pairs, &s->pair_cap, need, need)) return false;
  if (s->pair_cap != had) sdb_advise_huge(s->pairs, s->pair_cap * sizeof(pair));
  return true;
}

// Enters the tokens of one document (slot) into the dictionary and its
// pairs. False when memory ran out.
bool gather_document(full_build *b, build_scratch *s, uint32_t slot) {
  sdb_terms *d = &b->terms;
  const sdb_field_tokens *list = &s->reader.list;
  const uint64_t first_pair = s->pair_count;
  if (!reset_token_map<seen_slot, seen_ops>(&s->seen, list->count)) return false;
  if (!sdb_reserve(&s->keys, &s->keys_cap, list->count, 256)) return false;
  for (uint64_t i = 0; i < list->count; i++) s->keys[i] = token_at(list, i).key;
  // The dictionary is far bigger than the caches: fetch a token's table
  // place two steps ahead and its term one step ahead of its lookup, so the
  // misses of several tokens overlap.
  constexpr uint64_t kAhead = 8;
  for (uint64_t i = 0; i < list->count; i++) {
    if (i + 2 * kAhead < list->count) sdb_terms_prefetch_slot(d, s->keys[i + 2 * kAhead]);
    if (i + kAhead < list->count) sdb_terms_prefetch_term(d, s->keys[i + kAhead]);
    token_ref tok = token_text(list, i);
    tok.key = s->keys[i];
    const uint32_t pos =
        sdb_table_probe<seen_slot, seen_ops>(s->seen, tok.key, [&](const seen_slot &seen) {
          if (seen.key != tok.key) return false;
          const token_ref first = token_text(list, seen.token);
          return first.len == tok.len && memcmp(first.bytes, tok.bytes, tok.len) == 0;
        });
    if (!seen_ops::empty(s->seen.slots[pos])) {
      pair &p = s->pairs[first_pair + s->seen.slots[pos].pair];
      p.tf++;
      if (tok.title) p.tf |= kPairTitle;
      continue;
    }
    uint32_t id = sdb_terms_find_keyed(d, tok.bytes, tok.len, tok.key);
    if (id == SDB_NO_TERM) {
      if (!sdb_terms_reserve_records(d, 1) || !sdb_terms_reserve_lookup(d, 1) ||
          !sdb_terms_reserve_text(d, tok.len + 2))
        return false;
      id = sdb_terms_add(d, tok.bytes, tok.len, tok.key);
      // Ids are handed out in the order terms first occur, which is the
      // order a rebuild enters them in.
      d->terms[id].rank = id;
      d->terms[id].first_pos = static_cast<uint32_t>(i);
    }
    if (!reserve_pairs(s, s->pair_count + 1)) return false;
    sdb_table_put_at(&s->seen, pos,
                     seen_slot{tok.key, static_cast<uint32_t>(s->pair_count - first_pair),
                               static_cast<uint32_t>(i)});
    s->pairs[s->pair_count++] = pair{id, 1u | (tok.title ? kPairTitle : 0)};
    d->terms[id].count++;
  }
  b->token_counts[slot] = static_cast<uint32_t>(list->count);
  b->total_tokens += list->count;
  return true;
}

// Lays every term's postings out in one pool, term by term, each term's in
// slot order.
bool lay_out_postings(const sdb_index *ix, full_build *b, build_scratch *s) {
  sdb_terms *d = &b->terms;
  const uint64_t n = s->pair_count;
  uint32_t big = 0;
  for (uint64_t i = 0; i < n; i++) big += (s->pairs[i].tf & ~kPairTitle) >= SDB_TF_OVERFLOW;
  d->pool_docs = static_cast<uint32_t *>(malloc((n ? n : 1) * sizeof(uint32_t)));
  d->pool_tfs = static_cast<uint8_t *>(malloc(n ? n : 1));
  if (d->pool_docs == nullptr || d->pool_tfs == nullptr || !sdb_terms_reserve_big_tfs(d, big))
    return false;
  sdb_advise_huge(d->pool_docs, n * sizeof(uint32_t));
  sdb_advise_huge(d->pool_tfs, n);
  // Each term's next free place in the pool.
  auto *next = static_cast<uint64_t *>(malloc((d->ids ? d->ids : 1) * sizeof(uint64_t)));
  if (next == nullptr) return false;
  uint64_t at = 0;
  for (uint32_t id = 0; id < d->ids; id++) {
    next[id] = at;
    d->terms[id].docs = d->pool_docs + at;
    d->terms[id].tfs = d->pool_tfs + at;
    at += d->terms[id].count;
  }
  // Each pair lands far from the last one: fetch the place of the pair a
  // few steps ahead so that the misses of several overlap.
  constexpr uint64_t kAhead = 16;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    for (uint64_t i = s->doc_start[slot]; i < s->doc_start[slot + 1]; i++) {
      if (i + kAhead < n) {
        const uint64_t ahead = next[s->pairs[i + kAhead].term];
        __builtin_prefetch(d->pool_docs + ahead, 1);
        __builtin_prefetch(d->pool_tfs + ahead, 1);
      }
      const pair &p = s->pairs[i];
      const uint64_t k = next[p.term]++;
      const uint32_t tf = p.tf & ~kPairTitle;
      d->pool_docs[k] = slot;
      d->pool_tfs[k] = sdb_tf_byte(tf, (p.tf & kPairTitle) != 0);
      if (tf >= SDB_TF_OVERFLOW) sdb_terms_set_big_tf(d, p.term, slot, tf);
    }
  }
  free(next);
  return true;
}

// The dictionary of ix's live documents, as a rebuild from start_buckets
// makes it.
bool build_full(const sdb_index *ix, uint32_t start_buckets, full_build *b) {
  *b = full_build{};
  b->terms.bucket_count = b->terms.start_buckets = start_buckets;
  build_scratch s{};
  b->token_counts =
      static_cast<uint32_t *>(calloc(ix->doc_count ? ix->doc_count : 1, sizeof(uint32_t)));
  s.doc_start = static_cast<uint64_t *>(malloc((ix->doc_count + 1) * sizeof(uint64_t)));
  // Room guessed from the stored bytes, so that the large arrays are not
  // copied as they grow: about one distinct term of a document per 8 bytes
  // of its text, and one new term per 512. Room never used costs address
  // space only.
  uint64_t stored = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) stored += ix->docs[slot].raw_len;
  bool ok = b->token_counts != nullptr && s.doc_start != nullptr &&
            reserve_pairs(&s, stored / 8 + 1024) &&
            sdb_terms_reserve_records(
                &b->terms, static_cast<uint32_t>(std::min<uint64_t>(stored / 512, 1u << 24)));
  sdb_release_cursor passed;
  for (uint32_t slot = 0; ok && slot < ix->doc_count; slot++) {
    s.doc_start[slot] = s.pair_count;
    const sdb_doc *d = &ix->docs[slot];
    if (!d->alive) continue;
    b->live_count++;
    ok = read_doc(&s.reader, d) && gather_document(b, &s, slot);
    sdb_release_behind(ix, d, &passed);
  }
  sdb_release_behind(ix, nullptr, &passed);
  if (ok) {
    s.doc_start[ix->doc_count] = s.pair_count;
    reader_free(&s.reader);
    ok = lay_out_postings(ix, b, &s);
  }
  scratch_free(&s);
  sdb_terms *d = &b->terms;
  ok = ok && sdb_terms_reserve_lists(d, 0);
  if (!ok) {
    full_build_discard(b);
    sdb_error(SEARCHDB_NOMEM, "oom: rebuild");
    return false;
  }
  for (uint32_t id = 0; id < d->ids; id++) d->by_first[id] = id;
  sdb_terms_sort_by_text(d);
  d->bucket_count = sdb_buckets_after(start_buckets, d->count);
  return true;
}

void full_build_install(sdb_index *ix, full_build *b) {
  sdb_terms_free(&ix->terms);
  ix->terms = b->terms;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++)
    ix->docs[slot].token_count = b->token_counts[slot];
  ix->total_tokens = b->total_tokens;
  ix->live_count = b->live_count;
  free(b->token_counts);
  *b = full_build{};
  ix->built = true;
  sdb_index_refresh_norms(ix);
}

// ---- Incremental change ----

// One distinct term of one document.
struct doc_term {
  uint32_t term;  // id, or kNewTerm | index of a new term
  uint32_t tf;
  uint32_t pos;  // token position of its first occurrence
  bool title;
};

// A term the change brings in.
struct new_term {
  uint64_t key;   // sdb_term_key
  uint32_t text;  // offset in the change's text bytes
  uint32_t len;
  uint32_t id;  // given at commit
  uint32_t first_slot;
  uint32_t first_pos;
  uint32_t count;
  uint32_t cap;
  uint32_t *docs;  // owned until commit
  uint8_t *tfs;
};

// One posting the change removes (tf 0) or adds.
struct posting_op {
  uint32_t term;
  uint32_t slot;
  uint32_t tf;  // 0: remove
  bool title;
};

// A term whose first occurrence moves, and where to.
struct moved_first {
  uint32_t term;  // as in doc_term
  uint32_t slot;
  uint32_t pos;
};

}  // namespace

struct sdb_update_state {
  bool full;
  full_build build;
  // Incremental:
  posting_op *ops;
  uint64_t op_count, op_cap;
  new_term *news;
  uint64_t new_count, new_cap;
  sdb_table<uint32_t> new_map;  // placed by key: new term index + 1, 0 empty
  char *new_text;
  uint64_t new_text_len, new_text_cap;
  moved_first *moved;  // in new first-occurrence order
  uint64_t moved_count, moved_cap;
  uint32_t *removed;  // ids whose last posting goes
  uint64_t removed_count, removed_cap;
  uint32_t *new_order;  // new terms (their indexes) in byte order
  uint8_t *dirty;       // scratch for the byte order, list_cap entries
  uint32_t *slots;      // changed slots and their new token counts
  uint32_t *token_counts;
  uint32_t slot_count;
  uint64_t total_tokens;
  uint32_t live_count;
};

namespace {

void state_free(sdb_update_state *st) {
  full_build_discard(&st->build);
  for (uint64_t i = 0; i < st->new_count; i++) free(st->news[i].docs);
  free(st->ops);
  free(st->news);
  sdb_table_free(&st->new_map);
  free(st->new_text);
  free(st->moved);
  free(st->removed);
  free(st->new_order);
  free(st->dirty);
  free(st->slots);
  free(st->token_counts);
  free(st);
}

// Positions of the new terms' table: index + 1, placed by key.
struct new_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(uint32_t place) { return place == 0; }
  const sdb_update_state *st;
  uint64_t hash(uint32_t place) const { return st->news[place - 1].key; }
};

// The index among the change's new terms of the token's term, added when it
// is not there yet. False when memory ran out.
bool find_or_add_new_term(sdb_update_state *st, const token_ref &tok, uint64_t *index) {
  const uint64_t room = st->new_map.slots ? uint64_t{st->new_map.mask} + 1 : 0;
  if ((st->new_count + 1) * 2 > room &&
      !sdb_table_resize(&st->new_map, room ? room * 2 : 64, new_ops{st}))
    return false;
  const uint32_t pos =
      sdb_table_probe<uint32_t, new_ops>(st->new_map, tok.key, [&](uint32_t place) {
        const new_term &n = st->news[place - 1];
        return n.key == tok.key && n.len == tok.len &&
               memcmp(st->new_text + n.text, tok.bytes, tok.len) == 0;
      });
  if (!new_ops::empty(st->new_map.slots[pos])) {
    *index = st->new_map.slots[pos] - 1;
    return true;
  }
  const uint64_t n = st->new_count;
  if (!sdb_reserve(&st->news, &st->new_cap, n + 1, 256) ||
      !sdb_reserve(&st->new_text, &st->new_text_cap, st->new_text_len + tok.len + 1, 256))
    return false;
  st->news[n] = new_term{
      tok.key, static_cast<uint32_t>(st->new_text_len), tok.len, kNone, kNone, 0, 0, 0, nullptr,
      nullptr};
  memcpy(st->new_text + st->new_text_len, tok.bytes, tok.len);
  st->new_text[st->new_text_len + tok.len] = '\0';
  st->new_text_len += tok.len + 1;
  st->new_count++;
  sdb_table_put_at(&st->new_map, pos, static_cast<uint32_t>(n + 1));
  *index = n;
  return true;
}

// Per document: its distinct terms in first-occurrence order, found through
// a small table from term to place.
struct doc_terms {
  doc_term *items;
  uint64_t count, cap;
  sdb_table<uint32_t> map;  // places + 1, 0 empty, placed by the term's table hash
};

void doc_terms_free(doc_terms *t) {
  free(t->items);
  sdb_table_free(&t->map);
  *t = doc_terms{};
}

struct place_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(uint32_t place) { return place == 0; }
  const doc_terms *t;
  uint64_t hash(uint32_t place) const { return sdb_table_hash_u64(t->items[place - 1].term); }
};

// The distinct terms of the tokens in list. Unknown terms are looked up
// among, or added to, the change's new terms when news is given; without
// it every term must be known. False when memory ran out.
bool distinct_terms(const sdb_terms *d, const sdb_field_tokens *list, sdb_update_state *news,
                    doc_terms *out) {
  out->count = 0;
  if (!reset_token_map<uint32_t, place_ops>(&out->map, list->count)) return false;
  if (!sdb_reserve(&out->items, &out->cap, list->count, 256)) return false;
  for (uint64_t i = 0; i < list->count; i++) {
    const token_ref tok = token_at(list, i);
    uint32_t key = sdb_terms_find_keyed(d, tok.bytes, tok.len, tok.key);
    if (key == SDB_NO_TERM) {
      if (news == nullptr) continue;  // cannot happen: a stored document's terms are known
      uint64_t n;
      if (!find_or_add_new_term(news, tok, &n)) return false;
      key = kNewTerm | static_cast<uint32_t>(n);
    }
    const uint32_t pos = sdb_table_probe<uint32_t, place_ops>(
        out->map, sdb_table_hash_u64(key),
        [&](uint32_t place) { return out->items[place - 1].term == key; });
    if (!place_ops::empty(out->map.slots[pos])) {
      doc_term &t = out->items[out->map.slots[pos] - 1];
      t.tf++;
      t.title |= tok.title;
      continue;
    }
    out->items[out->count] = doc_term{key, 1, static_cast<uint32_t>(i), tok.title};
    sdb_table_put_at(&out->map, pos, static_cast<uint32_t>(++out->count));
  }
  return true;
}

bool add_op(sdb_update_state *st, posting_op op) {
  if (!sdb_reserve(&st->ops, &st->op_cap, st->op_count + 1, 256)) return false;
  st->ops[st->op_count++] = op;
  return true;
}

// Position of slot among a term's postings (where it is, or would go).
uint32_t posting_position(const uint32_t *docs, uint32_t count, uint32_t slot) {
  return static_cast<uint32_t>(std::lower_bound(docs, docs + count, slot) - docs);
}

// The position of the first occurrence of each requested term in the slot's
// document; requests[i].pos receives it. False when memory ran out.
bool find_positions(const sdb_index *ix, doc_reader *r, uint32_t slot, moved_first *requests,
                    uint64_t count) {
  if (!read_doc(r, &ix->docs[slot])) return false;
  const sdb_field_tokens *list = &r->list;
  uint64_t left = count;
  for (uint64_t i = 0; i < list->count && left > 0; i++) {
    const token_ref tok = token_at(list, i);
    for (uint64_t k = 0; k < count; k++) {
      const sdb_term &t = ix->terms.terms[requests[k].term];
      if (requests[k].pos == kNone && t.len == tok.len && memcmp(t.text, tok.bytes, tok.len) == 0) {
        requests[k].pos = static_cast<uint32_t>(i);
        left--;
      }
    }
  }
  return true;
}

bool first_before(const moved_first &a, const moved_first &b) {
  return a.slot != b.slot ? a.slot < b.slot : a.pos < b.pos;
}

// Gathers the posting changes of every changed slot and the new token
// counts. False when memory ran out.
bool gather_ops(const sdb_index *ix, const sdb_slot_change *changes, uint32_t count,
                sdb_update_state *st, doc_reader *r, doc_terms *terms) {
  const sdb_terms *d = &ix->terms;
  st->total_tokens = ix->total_tokens;
  st->live_count = ix->live_count;
  for (uint32_t c = 0; c < count; c++) {
    const uint32_t slot = changes[c].slot;
    const sdb_doc &before = changes[c].before;
    st->slots[c] = slot;
    st->token_counts[c] = 0;
    if (before.alive) {
      if (!read_doc(r, &before) || !distinct_terms(d, &r->list, nullptr, terms)) return false;
      st->total_tokens -= r->list.count;
      st->live_count--;
      for (uint64_t i = 0; i < terms->count; i++)
        if (!add_op(st, posting_op{terms->items[i].term, slot, 0, false})) return false;
    }
    const sdb_doc &now = ix->docs[slot];
    if (now.alive) {
      if (!read_doc(r, &now) || !distinct_terms(d, &r->list, st, terms)) return false;
      st->total_tokens += r->list.count;
      st->live_count++;
      st->token_counts[c] = static_cast<uint32_t>(r->list.count);
      for (uint64_t i = 0; i < terms->count; i++) {
        const doc_term &t = terms->items[i];
        if (!add_op(st, posting_op{t.term, slot, t.tf, t.title})) return false;
        // A new term first occurs in the first changed slot that holds it.
        if (t.term & kNewTerm) {
          new_term &n = st->news[t.term & ~kNewTerm];
          if (n.first_slot == kNone) {
            n.first_slot = slot;
            n.first_pos = t.pos;
          }
        } else if (!sdb_reserve(&st->moved, &st->moved_cap, st->moved_count + 1, 256)) {
          return false;
        } else {
          // Where it first occurs in this slot, in case this slot becomes
          // its first; kept aside in moved until the first is known.
          st->moved[st->moved_count++] = moved_first{t.term, slot, t.pos};
        }
      }
    }
  }
  // By term, each term's removals before its additions (so that a term
  // whose count does not grow never needs more room than it has), each in
  // slot order.
  std::sort(st->ops, st->ops + st->op_count, [](const posting_op &a, const posting_op &b) {
    if (a.term != b.term) return a.term < b.term;
    if ((a.tf != 0) != (b.tf != 0)) return a.tf == 0;
    return a.slot < b.slot;
  });
  return true;
}

// For every known term the change touches: room for its postings, and
// whether it goes or its first occurrence moves. The candidate positions
// gathered in st->moved are replaced by the terms whose first occurrence
// really moves, with the new one.
bool plan_terms(sdb_index *ix, sdb_update_state *st, doc_reader *r) {
  sdb_terms *d = &ix->terms;
  // Positions of known terms in changed slots, by (term, slot).
  std::sort(st->moved, st->moved + st->moved_count, [](const moved_first &a, const moved_first &b) {
    return a.term != b.term ? a.term < b.term : a.slot < b.slot;
  });
  moved_first *candidates = st->moved;
  const uint64_t candidate_count = st->moved_count;
  st->moved = nullptr;
  st->moved_count = st->moved_cap = 0;
  uint32_t big = 0;
  bool ok = true;
  uint64_t at = 0, cand = 0;
  while (ok && at < st->op_count && !(st->ops[at].term & kNewTerm)) {
    const uint32_t id = st->ops[at].term;
    sdb_term *t = &d->terms[id];
    uint64_t end = at;
    uint32_t removes = 0, adds = 0, first_added = kNone;
    while (end < st->op_count && st->ops[end].term == id) {
      const posting_op &op = st->ops[end++];
      if (op.tf == 0) {
        removes++;
      } else {
        adds++;
        big += op.tf >= SDB_TF_OVERFLOW;
        first_added = std::min(first_added, op.slot);
      }
    }
    const uint32_t after = t->count - removes + adds;
    if (after == 0) {
      ok = sdb_reserve(&st->removed, &st->removed_cap, st->removed_count + 1, 256);
      if (ok) st->removed[st->removed_count++] = id;
      at = end;
      continue;
    }
    if (after > (t->cap ? t->cap : t->count))
      ok = sdb_terms_own_postings(d, id, round_up_pow2(after));
    // The first remaining posting of those it had.
    uint32_t kept = kNone;
    for (uint32_t i = 0, op = static_cast<uint32_t>(at); i < t->count; i++) {
      while (op < end && (st->ops[op].tf != 0 || st->ops[op].slot < t->docs[i])) op++;
      if (op < end && st->ops[op].slot == t->docs[i]) continue;  // removed
      kept = t->docs[i];
      break;
    }
    const uint32_t first = std::min(kept, first_added);
    moved_first m{id, first, kNone};
    if (first == first_added) {
      while (cand < candidate_count &&
             (candidates[cand].term < id ||
              (candidates[cand].term == id && candidates[cand].slot < first)))
        cand++;
      m.pos = candidates[cand].pos;  // the added slot's own position
    } else if (first == t->docs[0]) {
      m.pos = t->first_pos;
    }
    const bool moves = first != t->docs[0] || m.pos != t->first_pos;
    if (ok && moves) {
      ok = sdb_reserve(&st->moved, &st->moved_cap, st->moved_count + 1, 256);
      if (ok) st->moved[st->moved_count++] = m;
    }
    at = end;
  }
  free(candidates);
  // Terms whose first occurrence moved to a slot the change did not touch:
  // that document tells where in it.
  std::sort(st->moved, st->moved + st->moved_count,
            [](const moved_first &a, const moved_first &b) { return a.slot < b.slot; });
  for (uint64_t i = 0; ok && i < st->moved_count;) {
    uint64_t end = i;
    while (end < st->moved_count && st->moved[end].slot == st->moved[i].slot) end++;
    bool unknown = false;
    for (uint64_t k = i; k < end; k++) unknown |= st->moved[k].pos == kNone;
    if (unknown) ok = find_positions(ix, r, st->moved[i].slot, st->moved + i, end - i);
    i = end;
  }
  if (!ok) return false;
  return sdb_terms_reserve_big_tfs(d, big);
}

// Postings for the new terms, and room in the dictionary for them.
bool plan_new_terms(sdb_index *ix, sdb_update_state *st) {
  sdb_terms *d = &ix->terms;
  uint32_t big = 0;
  for (uint64_t at = 0; at < st->op_count; at++) {
    const posting_op &op = st->ops[at];
    if (!(op.term & kNewTerm)) continue;
    new_term &n = st->news[op.term & ~kNewTerm];
    n.count++;
    big += op.tf >= SDB_TF_OVERFLOW;
  }
  for (uint64_t i = 0; i < st->new_count; i++) {
    new_term &n = st->news[i];
    n.cap = round_up_pow2(n.count);
    n.docs = static_cast<uint32_t *>(malloc(static_cast<size_t>(n.cap) * 5));
    if (n.docs == nullptr) return false;
    n.tfs = reinterpret_cast<uint8_t *>(n.docs + n.cap);
    n.count = 0;
  }
  st->new_order =
      static_cast<uint32_t *>(malloc((st->new_count ? st->new_count : 1) * sizeof(uint32_t)));
  if (st->new_order == nullptr) return false;
  for (uint64_t i = 0; i < st->new_count; i++) st->new_order[i] = static_cast<uint32_t>(i);
  const char *text = st->new_text;
  const new_term *news = st->news;
  std::sort(st->new_order, st->new_order + st->new_count, [text, news](uint32_t a, uint32_t b) {
    const new_term &x = news[a], &y = news[b];
    const int c = memcmp(text + x.text, text + y.text, std::min(x.len, y.len));
    return c != 0 ? c < 0 : x.len < y.len;
  });
  const auto added = static_cast<uint32_t>(st->new_count);
  if (!sdb_terms_reserve(d, added) ||
      !sdb_terms_reserve_text(d, st->new_text_len + st->new_count) ||
      !sdb_terms_reserve_big_tfs(d, big))
    return false;
  st->dirty = static_cast<uint8_t *>(malloc(d->list_cap ? d->list_cap : 1));
  if (st->dirty == nullptr) return false;
  // The new terms take their places in first-occurrence order with the
  // known terms whose first occurrence moved.
  if (!sdb_reserve(&st->moved, &st->moved_cap, st->moved_count + st->new_count, 256)) return false;
  for (uint64_t i = 0; i < st->new_count; i++)
    st->moved[st->moved_count++] = moved_first{kNewTerm | static_cast<uint32_t>(i),
                                               st->news[i].first_slot, st->news[i].first_pos};
  std::sort(st->moved, st->moved + st->moved_count, first_before);
  return true;
}

bool prepare_incremental(sdb_index *ix, const sdb_slot_change *changes, uint32_t count,
                         sdb_update_state *st) {
  st->slots = static_cast<uint32_t *>(malloc((count ? count : 1) * sizeof(uint32_t)));
  st->token_counts = static_cast<uint32_t *>(malloc((count ? count : 1) * sizeof(uint32_t)));
  st->slot_count = count;
  doc_reader r{};
  doc_terms terms{};
  bool ok = st->slots != nullptr && st->token_counts != nullptr &&
            gather_ops(ix, changes, count, st, &r, &terms) && plan_terms(ix, st, &r) &&
            plan_new_terms(ix, st);
  reader_free(&r);
  doc_terms_free(&terms);
  return ok;
}

// ---- Commit of an incremental change ----

void remove_posting(sdb_terms *d, uint32_t id, uint32_t slot) {
  sdb_term *t = &d->terms[id];
  const uint32_t i = posting_position(t->docs, t->count, slot);
  if ((t->tfs[i] & SDB_TF_MASK) == SDB_TF_OVERFLOW) sdb_terms_clear_big_tf(d, id, slot);
  memmove(t->docs + i, t->docs + i + 1, (t->count - i - 1) * sizeof(uint32_t));
  memmove(t->tfs + i, t->tfs + i + 1, t->count - i - 1);
  t->count--;
}

void add_posting(sdb_terms *d, uint32_t id, uint32_t *docs, uint8_t *tfs, uint32_t *count,
                 const posting_op &op) {
  const uint32_t i = posting_position(docs, *count, op.slot);
  memmove(docs + i + 1, docs + i, (*count - i) * sizeof(uint32_t));
  memmove(tfs + i + 1, tfs + i, *count - i);
  docs[i] = op.slot;
  tfs[i] = sdb_tf_byte(op.tf, op.title);
  if (op.tf >= SDB_TF_OVERFLOW) sdb_terms_set_big_tf(d, id, op.slot, op.tf);
  (*count)++;
}

uint64_t first_key(const sdb_terms *d, uint32_t id) {
  return sdb_first_occurrence_key(&d->terms[id]);
}

// Puts the moved and new terms into first-occurrence order and renumbers
// the ranks from the first place that changed.
void reorder_by_first(sdb_terms *d, sdb_update_state *st) {
  // Out first: the moved ones (marked by their rank) and the removed ones.
  for (uint64_t i = 0; i < st->moved_count; i++) {
    uint32_t term = st->moved[i].term;
    if (term & kNewTerm) continue;
    d->terms[term].rank = kNone;
  }
  // The removed terms are still counted, the new ones already are.
  uint32_t w = 0, first_changed = kNone;
  const uint32_t listed = d->count - static_cast<uint32_t>(st->new_count);
  const uint32_t final_count = d->count - static_cast<uint32_t>(st->removed_count);
  for (uint32_t i = 0; i < listed; i++) {
    const uint32_t id = d->by_first[i];
    if (d->terms[id].rank == kNone || d->terms[id].count == 0) {
      first_changed = std::min(first_changed, i);
      continue;
    }
    d->by_first[w++] = id;
  }
  // Then in, merged from the back: st->moved holds them all, sorted.
  uint64_t j = st->moved_count;
  uint32_t out = w + static_cast<uint32_t>(st->moved_count);
  uint32_t i = w;
  while (j > 0) {
    const moved_first &m = st->moved[j - 1];
    const uint32_t id = m.term & kNewTerm ? st->news[m.term & ~kNewTerm].id : m.term;
    const uint64_t key = static_cast<uint64_t>(m.slot) << 32 | m.pos;
    if (i > 0 && first_key(d, d->by_first[i - 1]) > key) {
      d->by_first[--out] = d->by_first[--i];
    } else {
      d->by_first[--out] = id;
      j--;
      first_changed = std::min(first_changed, out);
    }
  }
  for (uint32_t r = first_changed; r < final_count && first_changed != kNone; r++)
    d->terms[d->by_first[r]].rank = r;
}

// Takes the removed terms out of the byte order and puts the new ones in,
// recomputing the shared beginnings where neighbours changed.
void reorder_by_text(sdb_terms *d, sdb_update_state *st) {
  const uint32_t listed = d->count - static_cast<uint32_t>(st->new_count);
  const uint32_t final_count = d->count - static_cast<uint32_t>(st->removed_count);
  uint8_t *dirty = st->dirty;
  uint32_t w = 0;
  bool gap = false;
  for (uint32_t i = 0; i < listed; i++) {
    const uint32_t id = d->order[i];
    if (d->terms[id].count == 0) {
      gap = true;
      continue;
    }
    d->order[w] = id;
    d->order_text[w] = d->order_text[i];
    d->lcp[w] = d->lcp[i];
    dirty[w++] = gap;
    gap = false;
  }
  uint64_t j = st->new_count;
  uint32_t out = w + static_cast<uint32_t>(st->new_count), i = w;
  while (j > 0) {
    const new_term &n = st->news[st->new_order[j - 1]];
    const sdb_term *t = &d->terms[n.id];
    out--;
    if (i > 0 && sdb_term_compare(&d->terms[d->order[i - 1]], t->text, t->len) > 0) {
      i--;
      d->order[out] = d->order[i];
      d->order_text[out] = d->order_text[i];
      d->lcp[out] = d->lcp[i];
      dirty[out] = dirty[i];
    } else {
      d->order[out] = n.id;
      d->order_text[out] = t->text;
      dirty[out] = 1;
      if (out + 1 < final_count) dirty[out + 1] = 1;
      j--;
    }
  }
  for (uint32_t k = 0; k < final_count; k++) {
    if (!dirty[k]) continue;
    d->lcp[k] =
        k == 0 ? 0 : sdb_terms_common_prefix(&d->terms[d->order[k - 1]], &d->terms[d->order[k]]);
  }
}

void commit_incremental(sdb_index *ix, sdb_update_state *st) {
  sdb_terms *d = &ix->terms;
  // New terms get their ids and postings.
  for (uint64_t i = 0; i < st->new_count; i++) {
    new_term &n = st->news[i];
    n.id = sdb_terms_add(d, st->new_text + n.text, n.len, n.key);
    sdb_term *t = &d->terms[n.id];
    t->docs = n.docs;
    t->tfs = n.tfs;
    t->cap = n.cap;
    t->first_pos = n.first_pos;
    n.docs = nullptr;
  }
  for (uint64_t at = 0; at < st->op_count; at++) {
    const posting_op &op = st->ops[at];
    if (op.term & kNewTerm) {
      sdb_term *t = &d->terms[st->news[op.term & ~kNewTerm].id];
      add_posting(d, st->news[op.term & ~kNewTerm].id, t->docs, t->tfs, &t->count, op);
    } else if (op.tf == 0) {
      remove_posting(d, op.term, op.slot);
    } else {
      sdb_term *t = &d->terms[op.term];
      add_posting(d, op.term, t->docs, t->tfs, &t->count, op);
    }
  }
  // Moved first occurrences, and the new terms, in first-occurrence order.
  for (uint64_t i = 0; i < st->moved_count; i++)
    if (!(st->moved[i].term & kNewTerm)) d->terms[st->moved[i].term].first_pos = st->moved[i].pos;
  reorder_by_first(d, st);
  reorder_by_text(d, st);
  for (uint64_t i = 0; i < st->removed_count; i++) sdb_terms_remove(d, st->removed[i]);
  for (uint32_t c = 0; c < st->slot_count; c++)
    ix->docs[st->slots[c]].token_count = st->token_counts[c];
  ix->total_tokens = st->total_tokens;
  ix->live_count = st->live_count;
  d->start_buckets = d->bucket_count;
  d->bucket_count = sdb_buckets_after(d->start_buckets, d->count);
  sdb_index_refresh_norms(ix);
}

}  // namespace

void sdb_index_refresh_norms(sdb_index *ix, const uint32_t *tokens) {
  const double avgdl = average_length(ix->total_tokens, ix->live_count);
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    sdb_doc &d = ix->docs[slot];
    if (tokens != nullptr) d.token_count = tokens[slot];
    ix->norms[slot] = d.alive ? sdb_length_norm(d.token_count, avgdl) : -1.0;
  }
}

double sdb_index_norm(uint32_t dl, uint64_t total_tokens, uint32_t live) {
  return sdb_length_norm(dl, average_length(total_tokens, live));
}

bool sdb_index_first_positions(const sdb_index *ix, uint32_t slot, const uint32_t *ids,
                               uint32_t count, uint32_t *pos) {
  for (uint32_t k = 0; k < count; k++) pos[k] = SDB_NO_TERM;
  doc_reader r{};
  const bool ok = read_doc(&r, &ix->docs[slot]);
  // Each token is looked up once, and found among the asked ids (ascending)
  // by halving: a document may hold thousands of tokens and of asked terms.
  uint32_t left = count;
  for (uint64_t i = 0; ok && i < r.list.count && left > 0; i++) {
    const token_ref tok = token_at(&r.list, i);
    const uint32_t id = sdb_terms_find_keyed(&ix->terms, tok.bytes, tok.len, tok.key);
    const uint32_t *at = std::lower_bound(ids, ids + count, id);
    if (id == SDB_NO_TERM || at == ids + count || *at != id || pos[at - ids] != SDB_NO_TERM)
      continue;
    pos[at - ids] = static_cast<uint32_t>(i);
    left--;
  }
  reader_free(&r);
  return ok;
}

bool sdb_fresh_build_make(const sdb_index *ix, sdb_fresh_build *b) {
  return build_full(ix, ix->terms.start_buckets, b);
}

void sdb_fresh_build_free(sdb_fresh_build *b) {
  full_build_discard(b);
}

bool sdb_index_ensure_built(sdb_index *ix) {
  if (ix->built) return true;
  full_build b;
  if (!build_full(ix, ix->terms.bucket_count, &b)) return false;
  full_build_install(ix, &b);
  return true;
}

namespace {

// Whether changes[0 .. count) name each slot once, ascending, as the
// incremental walk of postings relies on.
bool each_slot_once_ascending(const sdb_slot_change *changes, uint32_t count) {
  for (uint32_t i = 1; i < count; i++)
    if (changes[i - 1].slot >= changes[i].slot) return false;
  return true;
}

// A change of many documents is cheaper to build from scratch than to apply
// term by term.
bool prefer_full_build(const sdb_index *ix, uint32_t count) {
  return count > 0 && static_cast<uint64_t>(count) * 4 > ix->live_count;
}

}  // namespace

bool sdb_update_prepare(sdb_index *ix, const sdb_slot_change *changes, uint32_t count,
                        sdb_update *u) {
  SDB_ASSERT(ix->built && each_slot_once_ascending(changes, count));
  u->state = nullptr;
  auto *st = static_cast<sdb_update_state *>(calloc(1, sizeof(sdb_update_state)));
  if (st == nullptr) {
    sdb_error(SEARCHDB_NOMEM, "oom: rebuild");
    return false;
  }
  st->full = prefer_full_build(ix, count);
  bool ok;
  if (st->full) {
    ok = build_full(ix, ix->terms.bucket_count, &st->build);
  } else {
    ok = sdb_terms_own(&ix->terms) && prepare_incremental(ix, changes, count, st);
  }
  if (!ok) {
    state_free(st);
    sdb_error(SEARCHDB_NOMEM, "oom: rebuild");
    return false;
  }
  u->state = st;
  return true;
}

void sdb_update_commit(sdb_index *ix, sdb_update *u) {
  sdb_update_state *st = u->state;
  if (st->full) {
    full_build_install(ix, &st->build);
  } else {
    commit_incremental(ix, st);
  }
  state_free(st);
  u->state = nullptr;
}

void sdb_update_discard(sdb_index *ix, sdb_update *u) {
  (void)ix;
  if (u->state != nullptr) state_free(u->state);
  u->state = nullptr;
}
