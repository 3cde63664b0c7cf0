#include "search/highlight.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/hashing.h"
#include "base/holders.h"
#include "base/table.h"
#include "index/tokenizer.h"

namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026

struct set_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(const sdb_word &w) { return w.bytes == nullptr; }
  static uint64_t hash(const sdb_word &w) { return sdb_table_hash(w.bytes, w.len); }
};

// The position of the term's bytes in the set, or the empty one where
// they would go.
uint32_t set_position(const sdb_highlighter *h, const char *bytes, uint32_t len) {
  return sdb_table_probe<sdb_word, set_ops>(
      h->set, sdb_table_hash(bytes, len),
      [&](const sdb_word &w) { return w.len == len && memcmp(w.bytes, bytes, len) == 0; });
}

bool in_set(const sdb_highlighter *h, const char *bytes, uint32_t len) {
  return h->set.slots != nullptr && !set_ops::empty(h->set.slots[set_position(h, bytes, len)]);
}

void set_add(sdb_highlighter *h, const char *bytes, uint32_t len) {
  const uint32_t pos = set_position(h, bytes, len);
  if (set_ops::empty(h->set.slots[pos])) sdb_table_put_at(&h->set, pos, sdb_word{bytes, len});
}

bool put(sdb_highlighter *h, const char *bytes, uint64_t n) {
  if (!sdb_reserve(&h->out, &h->out_cap, h->out_len + n, 256)) return false;
  if (n > 0) memcpy(h->out + h->out_len, bytes, n);
  h->out_len += n;
  return true;
}

// Where the text ends once an incomplete UTF-8 sequence at its end is left
// out.
size_t whole_characters(const char *text, size_t n) {
  for (size_t back = 1; back <= 4 && back <= n; back++) {
    const auto c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte
    const size_t need = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return need > back ? n - back : n;
  }
  return n;
}

}  // namespace

bool sdb_highlighter_init(sdb_highlighter *h, const sdb_index *ix, const sdb_query_terms *terms,
                          const bool *in_phrase, const sdb_word *words, const sdb_phrase *phrases,
                          uint32_t phrase_count) {
  h->words = words;
  h->phrases = phrases;
  h->phrase_count = phrase_count;
  uint64_t marked = 0;
  for (uint64_t i = 0; i < terms->count; i++) {
    if (in_phrase[i]) continue;
    const uint64_t *run = terms->runs + 2 * terms->first[i];
    marked += run[1] - run[0];
  }
  if (marked == 0) return true;
  const uint64_t cap = sdb_table_cap_for(marked, 1, 2, 16);
  if (cap > UINT32_MAX / 2 || !sdb_table_reset<sdb_word, set_ops>(&h->set, cap)) return false;
  // A token in a phrase and outside one is marked wherever its terms stand.
  for (uint64_t i = 0; i < terms->count; i++) {
    if (in_phrase[i]) continue;
    const uint64_t *run = terms->runs + 2 * terms->first[i];
    for (uint64_t k = run[0]; k < run[1]; k++) {
      const sdb_term &t = sdb_term_at(&ix->terms, terms->ids[k]);
      set_add(h, t.text, t.len);
    }
  }
  return true;
}

bool sdb_highlight(sdb_highlighter *h, const char *text, size_t n) {
  h->out_len = 0;
  // The tokens, folded as the index folds them.
  if (!sdb_reserve(&h->folded, &h->folded_cap, n + 1, 256)) return false;
  uint64_t count = 0;
  size_t pos = 0, start, len;
  while (sdb_next_token(text, n, &pos, &start, &len)) {
    if (!sdb_reserve(&h->spans, &h->span_cap, count + 1, 64) ||
        !sdb_reserve(&h->tokens, &h->token_cap, count + 1, 64))
      return false;
    memcpy(h->folded + start, text + start, len);
    sdb_fold_case(h->folded + start, len);
    const auto cut = static_cast<uint32_t>(std::min<size_t>(len, SDB_TERM_MAX));
    h->tokens[count] = sdb_word{h->folded + start, cut};
    h->spans[count] = {start, len, in_set(h, h->folded + start, cut)};
    count++;
  }
  for (uint32_t p = 0; p < h->phrase_count; p++) {
    const sdb_phrase &ph = h->phrases[p];
    for (uint64_t at = 0; at + ph.count <= count; at++) {
      if (!sdb_phrase_at(h->tokens, count, at, h->words + ph.first, ph.count)) continue;
      for (uint32_t k = 0; k < ph.count; k++) h->spans[at + k].marked = true;
    }
  }
  uint64_t first = 0, end = count;
  if (h->snippet > 0) {
    uint64_t marked = 0;
    while (marked < count && !h->spans[marked].marked) marked++;
    const uint64_t before = (h->snippet - 1) / 2;
    if (marked < count && marked > before) first = marked - before;
    end = std::min<uint64_t>(count, first + h->snippet);
  }
  const size_t text_end = whole_characters(text, n);
  bool ok = true;
  if (h->snippet > 0 && first > 0) ok = put(h, kEllipsis, sizeof kEllipsis - 1);
  uint64_t at = h->snippet > 0 && count > 0 ? h->spans[first].start : 0;
  for (uint64_t i = first; ok && i < end; i++) {
    const auto &s = h->spans[i];
    const uint64_t stop = std::min<uint64_t>(s.start + s.len, text_end);
    if (s.start >= stop) break;  // only an incomplete character is left
    ok = put(h, text + at, s.start - at);
    if (ok && s.marked) ok = put(h, h->open, h->open_len);
    if (ok) ok = put(h, text + s.start, stop - s.start);
    if (ok && s.marked) ok = put(h, h->close, h->close_len);
    at = stop;
  }
  if (ok && h->snippet == 0 && at < text_end) ok = put(h, text + at, text_end - at);
  if (ok && h->snippet > 0 && end < count) ok = put(h, kEllipsis, sizeof kEllipsis - 1);
  return ok;
}

void sdb_highlighter_free(sdb_highlighter *h) {
  sdb_table_free(&h->set);
  free(h->folded);
  free(h->spans);
  free(h->tokens);
  free(h->out);
  *h = sdb_highlighter{};
}
