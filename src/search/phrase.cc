#include "search/phrase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/holders.h"
#include "index/tokenizer.h"

uint32_t sdb_find_phrases(const char *q, sdb_phrase *out, uint32_t *longest, bool *in_phrase) {
  const size_t n = strlen(q);
  uint64_t quotes = 0;
  for (size_t i = 0; i < n; i++) quotes += q[i] == '"';
  // passed: the quotes before the token at hand; a token after an odd
  // number of them lies in a phrase when another quote closes it.
  uint64_t passed = 0, open = 0;
  size_t pos = 0, start = 0, len = 0, scanned = 0;
  uint32_t token = 0, count = 0, words = 0;
  *longest = 0;
  while (sdb_next_token(q, n, &pos, &start, &len)) {
    for (; scanned < start; scanned++) passed += q[scanned] == '"';
    scanned = pos;  // a token holds no quote
    const bool inside = passed % 2 == 1 && passed < quotes;
    if (in_phrase != nullptr) in_phrase[token] = inside;
    if (inside) {
      if (open != passed) {
        open = passed;
        if (out != nullptr) out[count] = sdb_phrase{token, 0};
        count++;
        words = 0;
      }
      words++;
      if (out != nullptr) out[count - 1].count = words;
      *longest = std::max(*longest, words);
    }
    token++;
  }
  return count;
}

bool sdb_phrase_at(const sdb_word *words, uint64_t word_count, uint64_t at, const sdb_word *phrase,
                   uint32_t count) {
  if (at + count > word_count) return false;
  for (uint32_t k = 0; k < count; k++) {
    const sdb_word &w = words[at + k];
    if (w.len != phrase[k].len || memcmp(w.bytes, phrase[k].bytes, w.len) != 0) return false;
  }
  return true;
}

bool sdb_phrase_candidates(const sdb_index *ix, const sdb_word *words, const sdb_phrase *phrases,
                           uint32_t phrase_count, uint32_t **slots, uint32_t *count) {
  *slots = nullptr;
  *count = 0;
  const sdb_terms *d = &ix->terms;
  uint32_t all = 0;
  for (uint32_t p = 0; p < phrase_count; p++) all += phrases[p].count;
  sdb_text_ptr hold(static_cast<char *>(malloc((all ? all : 1) * sizeof(uint32_t))));
  if (!hold) return false;
  auto *ids = reinterpret_cast<uint32_t *>(hold.get());
  uint32_t n = 0;
  for (uint32_t p = 0; p < phrase_count; p++) {
    for (uint32_t k = 0; k < phrases[p].count; k++) {
      const uint32_t id =
          sdb_terms_find(d, words[phrases[p].first + k].bytes, words[phrases[p].first + k].len);
      if (id == SDB_NO_TERM) {  // no document holds this phrase
        *slots = static_cast<uint32_t *>(malloc(sizeof(uint32_t)));
        return *slots != nullptr;
      }
      // A phrase's words are tokens of the query: the matching checked
      // their postings (query.cc) before anything reads them here.
      ids[n++] = id;
    }
  }
  if (n == 0) {  // no phrase: not called so
    *slots = static_cast<uint32_t *>(malloc(sizeof(uint32_t)));
    return *slots != nullptr;
  }
  // The rarest term's documents, kept where every other term is too.
  std::sort(ids, ids + n, [d](uint32_t a, uint32_t b) {
    return sdb_term_at(d, a).count < sdb_term_at(d, b).count;
  });
  const sdb_term &rarest = sdb_term_at(d, ids[0]);
  *slots = static_cast<uint32_t *>(malloc((rarest.count ? rarest.count : 1) * sizeof(uint32_t)));
  if (*slots == nullptr) return false;
  for (uint32_t i = 0; i < rarest.count; i++) {
    const uint32_t slot = rarest.docs[i];
    bool all = true;
    for (uint32_t k = 1; k < n && all; k++) {
      const sdb_term &t = sdb_term_at(d, ids[k]);
      all = std::binary_search(t.docs, t.docs + t.count, slot);
    }
    if (all) (*slots)[(*count)++] = slot;
  }
  return true;
}

void sdb_phrase_check_free(sdb_phrase_check *c) {
  sdb_doc_reader_free(&c->reader);
  sdb_field_tokens_free(&c->list);
  free(c->words);
  free(c->found);
  *c = sdb_phrase_check{};
}

sdb_phrase_result sdb_phrases_held(const sdb_index *ix, uint32_t slot, const sdb_word *words,
                                   const sdb_phrase *phrases, uint32_t phrase_count,
                                   sdb_phrase_check *c) {
  if (!sdb_reserve(&c->found, &c->found_cap, phrase_count, 8)) return SDB_PHRASE_NO_MEMORY;
  // A one-token phrase is held by every candidate.
  uint32_t left = 0;
  for (uint32_t p = 0; p < phrase_count; p++) {
    c->found[p] = phrases[p].count == 1;
    left += !c->found[p];
  }
  if (left == 0) return SDB_PHRASE_HELD;
  bool oom = false;
  sdb_doc_ptr doc(sdb_doc_read(&c->reader, &ix->docs[slot], &oom));
  if (!doc) return oom ? SDB_PHRASE_NO_MEMORY : SDB_PHRASE_NOT_HELD;
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) return SDB_PHRASE_NOT_HELD;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    if (left == 0) break;
    (void)key;
    sdb_field_tokens_reset(&c->list);
    sdb_collect_tokens(val, &c->list, 0);
    if (c->list.failed) return SDB_PHRASE_NO_MEMORY;
    const uint64_t n = c->list.count;
    if (!sdb_reserve(&c->words, &c->word_cap, n, 64)) return SDB_PHRASE_NO_MEMORY;
    for (uint64_t i = 0; i < n; i++) {
      const sdb_field_token &t = c->list.items[i];
      c->words[i] = sdb_word{c->list.bytes + t.off,
                             static_cast<uint32_t>(std::min<uint64_t>(t.len, SDB_TERM_MAX))};
    }
    for (uint32_t p = 0; p < phrase_count; p++) {
      if (c->found[p]) continue;
      for (uint64_t at = 0; at + phrases[p].count <= n; at++) {
        if (!sdb_phrase_at(c->words, n, at, words + phrases[p].first, phrases[p].count)) continue;
        c->found[p] = true;
        left--;
        break;
      }
    }
  }
  return left == 0 ? SDB_PHRASE_HELD : SDB_PHRASE_NOT_HELD;
}
