#include "storage/derived.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/checksum.h"
#include "base/error.h"
#include "base/hashing.h"
#include "base/holders.h"
#include "base/memory.h"
#include "index/build.h"
#include "index/index.h"
#include "index/terms.h"
#include "index/walk_order.h"
#include "storage/catchup.h"
#include "storage/change_record.h"
#include "storage/derived_format.h"
#include "storage/derived_ids.h"
#include "storage/derived_map.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/lock.h"
#include "storage/store.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the derived file is written in the host's order, which must be little-endian");

namespace {

using namespace sdb_derived;

// Whether a file's section s is checked as it is first read rather than
// before the dictionary is taken: the postings, by chunks, and what only a
// catch-up, the documents' load or an id lookup reads (which check it
// themselves).
bool checked_later(uint32_t s) {
  return chunked(s) || s == S_ENTRY_SUMS || s == S_DOCS || s == S_IDS || s == S_ID_SUMS;
}

// The header, when it is whole, of this version and intact, and its
// sections lie within the file with their lengths and checksums right
// (but for those checked_later, with lazy). The documents' sections of a
// file ix took its documents from were checked then
// (sdb_docs_load_mapped), and their pages given back: they are not read
// again.
bool read_header(const sdb_index *ix, const unsigned char *bytes, uint64_t size, header *h,
                 bool lazy) {
  if (!sdb_derived_header_read(bytes, size, h)) return false;
  const bool documents_checked =
      h->id_bytes > 0 &&
      ix->lent_ids == reinterpret_cast<const char *>(bytes + h->sections[S_IDS].offset);
  for (uint32_t s = 0; s < kSections; s++) {
    if ((lazy && checked_later(s)) || (documents_checked && (s == S_DOCS || s == S_IDS))) continue;
    if (!sdb_derived_section_intact(bytes, *h, s)) return false;
  }
  return true;
}

template <typename T>
const T *at(const unsigned char *bytes, const header &h, uint32_t s) {
  return reinterpret_cast<const T *>(bytes + h.sections[s].offset);
}

// Leading bytes two term texts share.
uint8_t shared_bytes(const char *a, const char *b) {
  const uint32_t n = std::min(sdb_text_len(a), sdb_text_len(b));
  uint32_t i = 0;
  while (i < n && a[i] == b[i]) i++;
  return static_cast<uint8_t>(i);
}

// Whether slot lies among the count postings at docs (ascending); its
// position goes to *pos.
bool find_posting(const uint32_t *docs, uint32_t count, uint32_t slot, uint32_t *pos) {
  const uint32_t *p = std::lower_bound(docs, docs + count, slot);
  *pos = static_cast<uint32_t>(p - docs);
  return p != docs + count && *p == slot;
}

// How the file's documents become ix's when the file describes another
// docs.json (catchup.h): per file slot its slot in ix or SDB_NO_SLOT, and
// what taking the dictionary tells the catch-up: the terms whose first
// posting went with a document (their ids in *d).
struct renumbering {
  const uint32_t *slots;
  uint32_t same_below;  // the slots below it keep their numbers
  uint32_t *moved;      // room for every term
  uint32_t moved_count;
};

// Term id as the file's record r gives it, into *t: false when its text or
// postings do not lie within the file's texts and postings, its text with
// its length byte and NUL, or it has no postings.
bool make_term(const term_record &r, uint32_t id, const char *texts, uint64_t text_bytes,
               uint32_t *slots, uint8_t *tfs, uint64_t postings, sdb_term *t) {
  if (r.text >= text_bytes) return false;
  const uint32_t len = static_cast<uint8_t>(texts[r.text]);
  if (uint64_t{r.text} + len + 2 > text_bytes || texts[r.text + 1 + len] != '\0') return false;
  if (r.count == 0 || r.start > postings || r.count > postings - r.start) return false;
  const char *text = texts + r.text + 1;
  *t = sdb_term{sdb_hash(text, len), text,         len, r.first_pos, id, r.count, 0,
                slots + r.start,     tfs + r.start};
  return true;
}

// Walks the file's byte order, checking it as a build makes it: each id
// once, its text where its record and the order's offset say, the texts
// one after another and strictly ascending, and each lcp right. Without
// re the dictionary (lent) reads the file's order as it lies; with re the
// kept terms (ids: file term to its id in *d, or SDB_NO_TERM) are put into
// d's own lists. False when anything is out of place or memory ran out.
bool order_intact(const unsigned char *bytes, const header &h, const renumbering *re,
                  const uint32_t *ids, sdb_terms *d) {
  const uint32_t tc = h.term_count;
  const auto *records = at<term_record>(bytes, h, S_TERMS);
  const char *texts = at<char>(bytes, h, S_TEXTS);
  const auto *order = at<uint32_t>(bytes, h, S_ORDER);
  const auto *text_at = at<uint32_t>(bytes, h, S_ORDER_TEXTS);
  const auto *lcp = at<uint8_t>(bytes, h, S_LCP);
  std::unique_ptr<uint8_t[], decltype(&free)> seen(
      static_cast<uint8_t *>(sdb_alloc_touched(tc ? tc : 1)), free);
  if (!seen) return false;
  memset(seen.get(), 0, tc);
  // The texts lie in byte order, one after another: the order is checked
  // by walking them, each term's record pinned to its place.
  uint64_t running = 0;
  const char *prev = nullptr, *prev_kept = nullptr;
  uint32_t w = 0, last_kept = SDB_NO_TERM;
  for (uint32_t i = 0; i < tc; i++) {
    const uint32_t id = order[i];
    if (id >= tc || seen[id] || text_at[i] != running || records[id].text != running ||
        running >= h.text_bytes)
      return false;
    seen[id] = 1;
    const char *text = texts + running + 1;
    const uint32_t len = sdb_text_len(text);
    if (running + len + 2 > h.text_bytes) return false;
    running += len + 2;
    uint32_t common = 0;
    if (prev != nullptr) {
      if (sdb_text_compare(prev, text, len) >= 0) return false;
      const uint32_t n = std::min(sdb_text_len(prev), len);
      while (common < n && prev[common] == text[common]) common++;
    }
    if (lcp[i] != common) return false;
    prev = text;
    if (re == nullptr) continue;
    const uint32_t to = ids[id];
    if (to == SDB_NO_TERM) continue;
    d->order_text[w] = text;
    // A neighbour that went leaves the bytes shared with the one before to
    // be counted again.
    d->lcp[w] = w == 0 ? 0 : (last_kept + 1 == i ? lcp[i] : shared_bytes(prev_kept, text));
    d->order[w] = to;
    prev_kept = text;
    last_kept = i;
    w++;
  }
  return running == h.text_bytes;
}

// Checks what the sections hold against ix and each other, and builds the
// dictionary over them into *d (texts and postings stay where they lie).
// With re, the postings are those of the file's slots, renumbered (written
// where they lie) to ix's, those of documents gone dropped, and the terms
// left without any too; the ids of the others keep their order. With lazy
// (and no re) nothing of the terms is read: each record is made and
// checked the first time it is read (sdb_terms_fill), and the rest of the
// checks wait for check_all. False when anything is out of place or memory
// ran out (*d then holds what it got, for sdb_terms_free).
bool adopt_terms(const sdb_index *ix, unsigned char *bytes, const header &h, renumbering *re,
                 bool lazy, sdb_terms *d) {
  const uint32_t tc = h.term_count;
  const uint32_t slot_limit = re ? h.doc_count : ix->doc_count;
  const auto *records = at<term_record>(bytes, h, S_TERMS);
  const char *texts = at<char>(bytes, h, S_TEXTS);
  auto *slots = reinterpret_cast<uint32_t *>(bytes + h.sections[S_SLOTS].offset);
  auto *tfs = bytes + h.sections[S_TFS].offset;
  const auto *big = at<big_record>(bytes, h, S_BIG);
  lazy = lazy && re == nullptr;
  // Read once per posting: a byte per slot stays in cache where the slots
  // themselves would not.
  std::unique_ptr<uint8_t[], decltype(&free)> alive(
      static_cast<uint8_t *>(malloc(slot_limit && !lazy ? slot_limit : 1)), free);
  // With re: per file term, its id in *d, or SDB_NO_TERM when it goes.
  std::unique_ptr<uint32_t[], decltype(&free)> ids(
      static_cast<uint32_t *>(sdb_alloc_touched(re && tc ? tc * sizeof(uint32_t) : 1)), free);
  if (!alive || !ids) return false;
  if (re == nullptr) {
    // Zeros, not yet made: untouched pages of a fresh allocation cost
    // nothing until a record on them is made.
    const size_t n = tc ? tc : 1;
    d->terms = static_cast<sdb_term *>(calloc(n, sizeof(sdb_term)));
    d->free_ids = static_cast<uint32_t *>(malloc(n * sizeof(uint32_t)));
    // The near-spelling walk reads lcp in a tight loop, measurably
    // slower from the mapping than from a heap copy.
    d->lcp = static_cast<uint8_t *>(malloc(n));
    if (d->terms == nullptr || d->free_ids == nullptr || d->lcp == nullptr) return false;
    d->cap = tc;
    d->ids = d->count = tc;
    memcpy(d->lcp, at<uint8_t>(bytes, h, S_LCP), tc);
    d->order = const_cast<uint32_t *>(at<uint32_t>(bytes, h, S_ORDER));
    d->lent = true;
    d->lent_texts = texts;
    d->lent_text_at = at<uint32_t>(bytes, h, S_ORDER_TEXTS);
    d->lent_text_bytes = h.text_bytes;
  } else if (!sdb_terms_reserve_records(d, tc)) {
    return false;
  }
  if (lazy) {
    d->unchecked->records = records;
  } else {
    for (uint32_t slot = 0; slot < slot_limit; slot++)
      alive[slot] = re != nullptr || ix->docs[slot].alive != 0;
    uint64_t placed = 0, overflows = 0;
    uint32_t kept = 0;
    for (uint32_t id = 0; id < tc; id++) {
      const term_record &r = records[id];
      sdb_term t;
      if (r.start != placed || !make_term(r, id, texts, h.text_bytes, slots, tfs, h.postings, &t))
        return false;
      uint32_t *docs = t.docs;
      for (uint32_t i = 0; i < r.count; i++) {
        const uint32_t slot = docs[i];
        if (slot >= slot_limit || !alive[slot] || (i > 0 && slot <= docs[i - 1]) ||
            (tfs[placed + i] & SDB_TF_MASK) == 0)
          return false;
        overflows += (tfs[placed + i] & SDB_TF_MASK) == SDB_TF_OVERFLOW;
      }
      placed += r.count;
      if (re == nullptr) {
        d->terms[id] = t;
        continue;
      }
      const bool first_gone = re->slots[docs[0]] == SDB_NO_SLOT;
      // Written only where a posting changes, so that the pages of terms
      // the change left alone stay shared with the file; the postings of
      // the slots that keep their numbers are not even read again.
      uint32_t count =
          static_cast<uint32_t>(std::lower_bound(docs, docs + r.count, re->same_below) - docs);
      for (uint32_t i = count; i < r.count; i++) {
        const uint32_t now = re->slots[docs[i]];
        if (now == SDB_NO_SLOT) continue;
        if (count != i || now != docs[i]) {
          docs[count] = now;
          t.tfs[count] = t.tfs[i];
        }
        count++;
      }
      ids[id] = count ? kept : SDB_NO_TERM;
      if (count == 0) continue;
      const uint32_t to = kept++;
      if (first_gone) re->moved[re->moved_count++] = to;
      t.rank = to;
      t.count = count;
      d->terms[to] = t;
    }
    if (placed != h.postings || overflows != h.big_count) return false;
    if (re != nullptr) {
      d->ids = d->count = kept;
      if (!sdb_terms_reserve_lists(d, 0)) return false;
    }
    if (!order_intact(bytes, h, re, ids.get(), d)) return false;
  }
  if (re != nullptr) {
    for (uint32_t id = 0; id < d->count; id++) d->by_first[id] = id;
    if (!sdb_terms_enter_all(d)) return false;
  }
  if (!sdb_terms_reserve_big_tfs(d, h.big_count)) return false;
  for (uint32_t i = 0; i < h.big_count; i++) {
    const big_record &b = big[i];
    uint32_t pos;
    if (b.term >= tc || b.tf < SDB_TF_OVERFLOW || b.slot >= slot_limit) return false;
    // In (term, slot) order, each once: so a term whose every overflowing
    // posting finds one, and as many as there are, has them all its own.
    if (i > 0 &&
        (b.term < big[i - 1].term || (b.term == big[i - 1].term && b.slot <= big[i - 1].slot)))
      return false;
    if (lazy) {
      sdb_terms_set_big_tf(d, b.term, b.slot, b.tf);
      continue;
    }
    const uint32_t term = re ? ids[b.term] : b.term;
    const uint32_t slot = re ? re->slots[b.slot] : b.slot;
    if (slot == SDB_NO_SLOT) continue;  // its document went
    if (term == SDB_NO_TERM) return false;
    const sdb_term *t = &d->terms[term];
    if (!find_posting(t->docs, t->count, slot, &pos) ||
        (t->tfs[pos] & SDB_TF_MASK) != SDB_TF_OVERFLOW)
      return false;
    // Each overflowing posting has one record: a repeated one would leave
    // another without its tf.
    if (sdb_posting_tf(d, term, pos) != 0) return false;
    sdb_terms_set_big_tf(d, term, slot, b.tf);
  }
  return true;
}

bool bit(const uint64_t *bits, uint64_t i) {
  return (bits[i >> 6] >> (i & 63)) & 1;
}

void set_bit(uint64_t *bits, uint64_t i) {
  bits[i >> 6] |= uint64_t{1} << (i & 63);
}

// The header of the file a lazily taken dictionary reads: copied once, as
// every record made and every term checked reads it.
const header &head_of(const sdb_unchecked *u) {
  return *static_cast<const header *>(u->head);
}

// Whether the chunks holding bytes [from, to) of the chunked section s
// are intact, each read whole the first time only.
bool chunks_intact(sdb_unchecked *u, const header &h, uint32_t s, uint64_t from, uint64_t to) {
  const uint64_t first = sdb_derived_first_chunk(h, s), step = kPageChunk;
  for (uint64_t c = first + from / step; from < to && c <= first + (to - 1) / step; c++) {
    if (bit(u->chunks_done, c)) continue;
    if (!sdb_derived_chunk_intact(u->file, h, c)) return false;
    set_bit(u->chunks_done, c);
  }
  return true;
}

// Checks the postings of term id (of a dictionary taken lazily) as taking
// it eagerly would: their bytes intact, every slot in range, alive and
// above the one before, every tf non-zero, and every tf that overflowed
// its byte in the side table, which holds no more of the term's than
// those; *overflows counts them. alive, when given, holds a byte per slot:
// whether it is alive (read once per posting, it stays in cache where the
// document table would not).
bool check_term(const sdb_index *ix, uint32_t id, uint64_t *overflows,
                const uint8_t *alive = nullptr) {
  const sdb_terms *d = &ix->terms;
  sdb_unchecked *u = d->unchecked;
  const header &h = head_of(u);
  const sdb_term &t = sdb_term_at(d, id);
  if (u->failed) return false;
  const uint64_t at = static_cast<uint64_t>(t.docs - u->slots);
  uint64_t own = 0;
  if (!chunks_intact(u, h, S_SLOTS, at * sizeof(uint32_t), (at + t.count) * sizeof(uint32_t)) ||
      !chunks_intact(u, h, S_TFS, at, at + t.count))
    return false;
  for (uint32_t i = 0; i < t.count; i++) {
    const uint32_t slot = t.docs[i];
    const uint8_t tf = t.tfs[i] & SDB_TF_MASK;
    if (slot >= ix->doc_count || !(alive ? alive[slot] : ix->docs[slot].alive) ||
        (i > 0 && slot <= t.docs[i - 1]) || tf == 0)
      return false;
    if (tf != SDB_TF_OVERFLOW) continue;
    if (d->big_tfs.count == 0 || sdb_posting_tf(d, id, i) == 0) return false;
    ++own;
  }
  // The file's big tfs are in (term, slot) order, each once (checked as
  // they were taken): so as many of them as the postings that overflowed
  // are theirs, and no posting that fits its byte has one besides.
  const auto *big = reinterpret_cast<const big_record *>(u->file + h.sections[S_BIG].offset);
  const auto [from, to] =
      std::equal_range(big, big + h.big_count, big_record{id, 0, 0},
                       [](const big_record &a, const big_record &b) { return a.term < b.term; });
  if (static_cast<uint64_t>(to - from) != own) return false;
  *overflows += own;
  return true;
}

// ---- Writing ----

// The sections of a built index, laid out for writing. The large ones are
// the dictionary's own arrays; the others are made here.
struct image {
  header h;
  const void *data[kSections];
  std::unique_ptr<uint32_t[], decltype(&free)> tokens{nullptr, free};
  std::unique_ptr<term_record[], decltype(&free)> records{nullptr, free};
  std::unique_ptr<char[], decltype(&free)> texts{nullptr, free};
  std::unique_ptr<big_record[], decltype(&free)> big{nullptr, free};
  std::unique_ptr<uint64_t[], decltype(&free)> sums{nullptr, free};
  // For a dictionary not laid out whole: the order by rank, and the
  // postings gathered in rank order.
  std::unique_ptr<uint32_t[], decltype(&free)> order{nullptr, free};
  std::unique_ptr<uint32_t[], decltype(&free)> slots{nullptr, free};
  std::unique_ptr<uint8_t[], decltype(&free)> tfs{nullptr, free};
  std::unique_ptr<doc_record[], decltype(&free)> docs{nullptr, free};
  std::unique_ptr<char[], decltype(&free)> ids{nullptr, free};
  std::unique_ptr<uint64_t[], decltype(&free)> chunk_sums{nullptr, free};
  std::unique_ptr<uint32_t[], decltype(&free)> text_at{nullptr, free};
  std::unique_ptr<uint32_t[], decltype(&free)> id_table{nullptr, free};
  std::unique_ptr<uint64_t[], decltype(&free)> id_sums{nullptr, free};
};

// The checksums of the chunks of the chunked sections, section s's bytes
// at data[s] and len[s] of them (sdb_derived_chunk_count of them).
void sum_chunks(const void *const (&data)[kSections], const uint64_t (&len)[kSections],
                uint64_t *out) {
  for (const uint32_t s : kChunked) {
    const auto *bytes = static_cast<const unsigned char *>(data[s]);
    for (uint64_t at = 0, step = kPageChunk; at < len[s]; at += step)
      *out++ = sdb_checksum(bytes + at, std::min(step, len[s] - at));
  }
}

// Whether the dictionary is as a full build lays it out: every id live,
// in first-occurrence order, the postings in one pool in id order.
bool laid_out_whole(const sdb_terms *d) {
  if (d->count != d->ids || d->free_count != 0) return false;
  uint64_t at = 0;
  for (uint32_t id = 0; id < d->ids; id++) {
    const sdb_term &t = d->terms[id];
    if (t.cap != 0 || t.rank != id || t.docs != d->pool_docs + at || t.tfs != d->pool_tfs + at)
      return false;
    at += t.count;
  }
  return true;
}

// What an image is made from: ix's own dictionary and figures, or those of
// a fresh build of its documents (tokens per slot, nullptr: ix's own).
struct image_source {
  const sdb_terms *d;
  const uint32_t *tokens;
  uint64_t total_tokens;
  uint32_t live_count;
};

image_source source_of(const sdb_index *ix) {
  return image_source{&ix->terms, nullptr, ix->total_tokens, ix->live_count};
}

// Puts the identity of the docs.json a load read (or mapped) into h.
void record_identity(const sdb_file_identity &f, header *h) {
  h->docs_dev = f.dev;
  h->docs_ino = f.ino;
  h->docs_mtime_ns = f.mtime_ns;
  h->docs_ctime_ns = f.ctime_ns;
  h->docs_stat_ns = f.stat_ns;
}

// Fills the docs, ids and id table sections of img (its header's counts,
// the identity of docs.json and the table's key) from ix, as loaded: where
// each slot's entry lies in docs.json, when every one lies there, and the
// table that finds a slot by its id, keyed with key. False when memory ran
// out.
bool locate_documents(const sdb_index *ix, const sdb_table_key &key, image *img) {
  header &h = img->h;
  record_identity(ix->docs_identity, &h);
  h.located = ix->doc_count;
  uint64_t id_bytes = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc &d = ix->docs[slot];
    if (!d.alive || d.block != ix->docs_block) h.located = 0;
    id_bytes += strlen(d.id) + 1;
  }
  h.id_bytes = h.located ? id_bytes : 0;
  h.id_positions = id_positions_for(h.located);
  memcpy(h.id_key, key.k, sizeof h.id_key);
  const uint64_t table_len = h.id_positions * sizeof(uint32_t);
  img->docs.reset(static_cast<doc_record *>(malloc((h.located + 1) * sizeof(doc_record))));
  img->ids.reset(static_cast<char *>(malloc(h.id_bytes + 1)));
  img->id_table.reset(static_cast<uint32_t *>(malloc(table_len + 1)));
  img->id_sums.reset(
      static_cast<uint64_t *>(malloc((chunks_of(table_len) + 1) * sizeof(uint64_t))));
  if (!img->docs || !img->ids || !img->id_table || !img->id_sums) return false;
  if (h.located == 0) return true;
  sdb_id_table_fill(ix, h.located, key, h.id_positions, img->id_table.get());
  sdb_id_table_sum(img->id_table.get(), table_len, img->id_sums.get());
  const char *text = ix->blocks[ix->docs_block].bytes;
  char *id_at = img->ids.get();
  for (uint32_t slot = 0; slot < h.located; slot++) {
    const sdb_doc &d = ix->docs[slot];
    const size_t n = strlen(d.id);
    img->docs[slot] = doc_record{static_cast<uint64_t>(d.entry - text), d.entry_len, d.raw_len,
                                 d.raw_off, static_cast<uint32_t>(n)};
    memcpy(id_at, d.id, n + 1);
    id_at += n + 1;
  }
  return true;
}

// Fills img from ix's documents as src describes them, its id table keyed
// with key (drawn anew when nullptr). False when memory ran out.
bool make_image(const sdb_index *ix, const image_source &src, image *img,
                const sdb_table_key *key = nullptr) {
  const sdb_terms *d = src.d;
  header &h = img->h;
  h = header{};
  memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.byte_order = kByteOrder;
  h.docs_size = ix->docs_size;
  h.docs_sum = ix->docs_sum;
  h.doc_count = ix->doc_count;
  h.live_count = src.live_count;
  h.term_count = d->count;
  h.start_buckets = d->start_buckets;
  h.bucket_count = d->bucket_count;
  h.total_tokens = src.total_tokens;
  uint64_t postings = 0, text_bytes = 0;
  for (uint32_t id = 0; id < d->ids; id++) {
    if (d->terms[id].count == 0) continue;  // a free id
    postings += d->terms[id].count;
    text_bytes += d->terms[id].len + 2;
  }
  h.postings = postings;
  h.text_bytes = text_bytes;
  h.big_count = static_cast<uint32_t>(d->big_tfs.count);
  if (!locate_documents(ix, key ? *key : sdb_table_key_draw(), img)) return false;
  img->tokens.reset(static_cast<uint32_t *>(malloc((h.doc_count + 1) * sizeof(uint32_t))));
  img->records.reset(static_cast<term_record *>(malloc((h.term_count + 1) * sizeof(term_record))));
  img->texts.reset(static_cast<char *>(malloc(text_bytes + 1)));
  img->text_at.reset(static_cast<uint32_t *>(malloc((h.term_count + 1) * sizeof(uint32_t))));
  img->big.reset(static_cast<big_record *>(malloc((h.big_count + 1) * sizeof(big_record))));
  img->sums.reset(static_cast<uint64_t *>(malloc((h.doc_count + 1) * sizeof(uint64_t))));
  if (!img->tokens || !img->records || !img->texts || !img->text_at || !img->big || !img->sums)
    return false;
  // The file's term ids are the ranks: a full build hands ids out in that
  // order, and a dictionary changed since then is written as one would.
  const bool whole = laid_out_whole(d);
  if (!whole) {
    img->order.reset(static_cast<uint32_t *>(malloc((h.term_count + 1) * sizeof(uint32_t))));
    img->slots.reset(static_cast<uint32_t *>(malloc((postings + 1) * sizeof(uint32_t))));
    img->tfs.reset(static_cast<uint8_t *>(malloc(postings + 1)));
    if (!img->order || !img->slots || !img->tfs) return false;
    uint64_t at = 0;
    for (uint32_t r = 0; r < d->count; r++) {
      const sdb_term &t = d->terms[sdb_terms_by_first(d, r)];
      memcpy(img->slots.get() + at, t.docs, t.count * sizeof(uint32_t));
      memcpy(img->tfs.get() + at, t.tfs, t.count);
      at += t.count;
    }
    for (uint32_t i = 0; i < d->count; i++) img->order[i] = d->terms[d->order[i]].rank;
  }
  for (uint32_t slot = 0; slot < h.doc_count; slot++) {
    const sdb_doc &doc = ix->docs[slot];
    img->tokens[slot] = src.tokens ? src.tokens[slot] : doc.token_count;
    img->sums[slot] = doc.alive ? sdb_entry_sum(doc) : 0;
  }
  // Postings in rank order, one term's after another's.
  uint64_t start = 0;
  for (uint32_t r = 0; r < d->count; r++) {
    img->records[r].start = static_cast<uint32_t>(start);
    start += d->terms[sdb_terms_by_first(d, r)].count;
  }
  // Texts in byte order, so that walks of the order read them in a row.
  uint64_t text_at = 0;
  for (uint32_t i = 0; i < d->count; i++) {
    const uint32_t id = d->order[i];
    const sdb_term &t = d->terms[id];
    term_record &r = img->records[t.rank];
    r = term_record{static_cast<uint32_t>(text_at), t.first_pos, t.count, r.start};
    img->text_at[i] = static_cast<uint32_t>(text_at);
    memcpy(img->texts.get() + text_at, t.text - 1, t.len + 2);
    text_at += t.len + 2;
  }
  uint32_t n = 0;
  for (uint64_t p = 0; d->big_tfs.slots != nullptr && p <= d->big_tfs.mask; p++) {
    const sdb_big_tf &b = d->big_tfs.slots[p];
    if (b.key == 0) continue;
    const uint64_t key = b.key - 1;
    img->big[n++] = big_record{d->terms[key >> 32].rank, static_cast<uint32_t>(key), b.tf};
  }
  // In (term, slot) order: where the table puts them differs per process.
  std::sort(img->big.get(), img->big.get() + n, [](const big_record &a, const big_record &b) {
    return a.term != b.term ? a.term < b.term : a.slot < b.slot;
  });
  img->data[S_TOKENS] = img->tokens.get();
  img->data[S_TERMS] = img->records.get();
  img->data[S_TEXTS] = img->texts.get();
  img->data[S_ORDER] = whole ? d->order : img->order.get();
  img->data[S_LCP] = d->lcp;
  img->data[S_SLOTS] = whole ? d->pool_docs : img->slots.get();
  img->data[S_TFS] = whole ? d->pool_tfs : img->tfs.get();
  img->data[S_BIG] = img->big.get();
  img->data[S_ENTRY_SUMS] = img->sums.get();
  img->data[S_DOCS] = img->docs.get();
  img->data[S_IDS] = img->ids.get();
  img->chunk_sums.reset(
      static_cast<uint64_t *>(malloc((sdb_derived_chunk_count(h) + 1) * sizeof(uint64_t))));
  if (!img->chunk_sums) return false;
  uint64_t lengths[kSections];
  for (uint32_t s = 0; s < kSections; s++) lengths[s] = sdb_derived_section_length(h, s);
  sum_chunks(img->data, lengths, img->chunk_sums.get());
  img->data[S_CHUNK_SUMS] = img->chunk_sums.get();
  img->data[S_ORDER_TEXTS] = img->text_at.get();
  img->data[S_ID_TABLE] = img->id_table.get();
  img->data[S_ID_SUMS] = img->id_sums.get();
  uint64_t offset = kHeaderSize;
  for (uint32_t s = 0; s < kSections; s++) {
    section &sec = h.sections[s];
    sec.offset = offset;
    sec.length = sdb_derived_section_length(h, s);
    sec.sum = chunked(s) ? 0 : sdb_checksum(img->data[s], sec.length);
    offset = (offset + sec.length + kAlign - 1) / kAlign * kAlign;
  }
  h.file_size = h.sections[kSections - 1].offset + h.sections[kSections - 1].length;
  return true;
}

const unsigned char k_zeros[kAlign] = {};

// The header as it is written: its fields, zeros, and its checksum.
void header_bytes(const header &h, unsigned char (&head)[kHeaderSize]) {
  memset(head, 0, sizeof head);
  memcpy(head, &h, sizeof h);
  const uint64_t sum = sdb_checksum(head, sizeof head);
  memcpy(head + offsetof(header, header_sum), &sum, sizeof sum);
}

// Once a derived file describing docs.json as ix loaded it is in place
// (rc of its commit not negative), the change record leading there serves
// no one: a fresh load takes the file as it is.
int forget_changes_after(const sdb_index *ix, int rc) {
  if (rc >= 0) sdb_changes_forget(ix->name);
  return rc;
}

// Writes the derived file of ix's documents as src describes them (as
// loaded, laid out whole).
int write_image(const sdb_index *ix, const image_source &src) {
  char rel[SDB_REL_PATH_SIZE];
  if (!sdb_file_path(rel, ix->name, SDB_DERIVED_FILE)) return -1;
  image img;
  if (!make_image(ix, src, &img)) {
    sdb_error(SEARCHDB_NOMEM, "oom: %s", SDB_DERIVED_FILE);
    return -1;
  }
  if (img.h.postings > kMaxOffset || img.h.text_bytes > kMaxOffset) {
    sdb_error(SEARCHDB_TOOBIG, "index '%s' is too large for its %s", ix->name, SDB_DERIVED_FILE);
    return -1;
  }
  static unsigned char head[kHeaderSize];
  const unsigned char *zeros = k_zeros;
  header_bytes(img.h, head);
  sdb_replace r;
  if (sdb_replace_begin(&r, rel) != 0) return -1;
  struct iovec pieces[2 * kSections + 1];
  int count = 0;
  pieces[count++] = iovec{head, kHeaderSize};
  uint64_t at = kHeaderSize;
  for (uint32_t s = 0; s < kSections; s++) {
    const section &sec = img.h.sections[s];
    if (sec.offset > at)
      pieces[count++] = iovec{const_cast<unsigned char *>(zeros), sec.offset - at};
    pieces[count++] = iovec{const_cast<void *>(img.data[s]), sec.length};
    at = sec.offset + sec.length;
  }
  sdb_replace_write(&r, pieces, count);
  return forget_changes_after(ix, sdb_replace_commit(&r));
}

// Whether the disk holding the store has room for the derived file with
// plenty to spare: at least twice the documents.
bool room_for(const sdb_index *ix) {
  struct statvfs fs;
  if (fstatvfs(sdb_store_fd(), &fs) != 0 || fs.f_frsize == 0) return false;
  const uint64_t need = ix->docs_size * 2 / fs.f_frsize + 1;  // in blocks
  return fs.f_bavail >= need;
}

// Writes the derived file after a build, when the store may be written,
// its lock is free, the index has not moved on in another process and
// the disk has room; quietly: whatever happens, the call's outcome and
// message stay as they were.
template <typename F>
void write_when_allowed(const sdb_index *ix, F write) {
  if (sdb_store_read_only() || !room_for(ix)) return;
  if (!sdb_lock_try_exclusive()) return;
  static sdb_generations g;
  uint64_t gen = 0;
  if (sdb_generations_read(&g) && sdb_index_generation(&g, ix->name, &gen) && gen == ix->gen) {
    const sdb_first_failure before;
    (void)write();
    before.restore();
  }
  sdb_lock_release();
}

// Writes the size bytes at bytes, a derived file describing ix's
// documents as loaded, anew with ix's identity of docs.json in place of
// the one it records: the same dictionary and places, which a later load
// can now trust without reading docs.json. Returns 0 or -1 with a message.
int write_identity(const sdb_index *ix, const unsigned char *bytes, uint64_t size) {
  char rel[SDB_REL_PATH_SIZE];
  if (!sdb_file_path(rel, ix->name, SDB_DERIVED_FILE)) return -1;
  header h;
  memcpy(&h, bytes, sizeof h);
  record_identity(ix->docs_identity, &h);
  h.header_sum = 0;
  static unsigned char head[kHeaderSize];
  header_bytes(h, head);
  sdb_replace r;
  if (sdb_replace_begin(&r, rel) != 0) return -1;
  struct iovec pieces[2] = {{head, kHeaderSize},
                            {const_cast<unsigned char *>(bytes) + kHeaderSize, size - kHeaderSize}};
  sdb_replace_write(&r, pieces, 2);
  return forget_changes_after(ix, sdb_replace_commit(&r));
}

// Whether the derived file at bytes, from which ix took its dictionary
// after reading docs.json, is to be written again with ix's identity of
// docs.json: when it locates the documents but does not prove docs.json
// unchanged (written too soon after it changed, or docs.json since copied
// or touched without a change of its bytes), and ix's load does.
bool identity_worth_writing(const sdb_index *ix, const unsigned char *bytes) {
  header h;
  memcpy(&h, bytes, sizeof h);
  const sdb_file_identity &f = ix->docs_identity;
  const sdb_file_identity recorded = sdb_recorded_identity(h);
  const bool proves = sdb_file_identity_same(recorded, f) && sdb_file_identity_settled(recorded);
  // Only a file that describes these very bytes may be made to prove
  // them (one caught up describes the docs.json before).
  return h.located != 0 && h.docs_size == ix->docs_size && h.docs_sum == ix->docs_sum && !proves &&
         sdb_file_identity_settled(f);
}

}  // namespace

namespace {

// Takes the dictionary from a file (its header h checked) that describes
// the documents as loaded. With lazy, the postings are left to be checked
// a term at a time as searches read them (sdb_derived_usable).
bool adopt_described(sdb_index *ix, unsigned char *bytes, const header &h, bool lazy) {
  if (h.doc_count != ix->doc_count) return false;
  const auto *tokens = at<uint32_t>(bytes, h, S_TOKENS);
  uint64_t total = 0;
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < h.doc_count; slot++) {
    if (!ix->docs[slot].alive && tokens[slot] != 0) return false;
    live += ix->docs[slot].alive;
    total += tokens[slot];
  }
  if (total != h.total_tokens || live != h.live_count) return false;
  sdb_terms d{};
  d.bucket_count = d.start_buckets = h.start_buckets;
  if (lazy) {
    const uint64_t chunk_words = (sdb_derived_chunk_count(h) + 63) / 64;
    const uint64_t term_words = (uint64_t{h.term_count} + 63) / 64;
    static_assert(sizeof(sdb_unchecked) % alignof(header) == 0 && sizeof(header) % 8 == 0);
    auto *u = static_cast<sdb_unchecked *>(calloc(
        1, sizeof(sdb_unchecked) + sizeof(header) + (chunk_words + term_words) * sizeof(uint64_t)));
    if (u == nullptr) return false;
    auto *head = reinterpret_cast<unsigned char *>(u + 1);
    memcpy(head, &h, sizeof h);
    u->file = bytes;
    u->head = head;
    u->slots = at<uint32_t>(bytes, h, S_SLOTS);
    u->tfs = at<uint8_t>(bytes, h, S_TFS);
    u->postings = h.postings;
    u->chunks_done = reinterpret_cast<uint64_t *>(head + sizeof h);
    u->order_chunk = sdb_derived_first_chunk(h, S_ORDER);
    u->terms_done = u->chunks_done + chunk_words;
    d.unchecked = u;
  }
  if (!adopt_terms(ix, bytes, h, nullptr, lazy, &d)) {
    sdb_terms_free(&d);
    return false;
  }
  d.bucket_count = h.bucket_count;
  sdb_terms_free(&ix->terms);
  ix->terms = d;
  ix->total_tokens = h.total_tokens;
  ix->live_count = h.live_count;
  ix->built = true;
  sdb_index_refresh_norms(ix, tokens);
  return true;
}

// Leaves ix as loaded: not built, its dictionary empty.
void unbuild(sdb_index *ix, uint32_t start_buckets) {
  sdb_terms_free(&ix->terms);
  ix->terms = sdb_terms{};
  ix->terms.bucket_count = ix->terms.start_buckets = start_buckets;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) ix->docs[slot].token_count = 0;
  ix->total_tokens = 0;
  ix->live_count = 0;
  ix->built = false;
  ix->matches_build = false;
}

// Takes the dictionary from a file (its header h checked) that describes
// another docs.json, caught up with the documents as loaded (catchup.h).
// *changed receives the documents it caught up with (new or changed, and
// gone).
bool adopt_caught_up(sdb_index *ix, unsigned char *bytes, const header &h, uint32_t *changed) {
  sdb_catch_up c;
  // The load may have found the mapping from the change record already.
  if (!sdb_changes_take_catch_up(ix, bytes, h.doc_count, &c) &&
      !sdb_catch_up_match(ix, at<uint64_t>(bytes, h, S_ENTRY_SUMS), h.doc_count, &c))
    return false;
  std::unique_ptr<sdb_catch_up, void (*)(sdb_catch_up *)> hold(&c, sdb_catch_up_free);
  const auto *tokens = at<uint32_t>(bytes, h, S_TOKENS);
  uint64_t total = 0;
  for (uint32_t slot = 0; slot < h.doc_count; slot++) total += tokens[slot];
  std::unique_ptr<uint32_t[], decltype(&free)> moved(
      static_cast<uint32_t *>(malloc((h.term_count + 1) * sizeof(uint32_t))), free);
  if (total != h.total_tokens || !moved) return false;
  renumbering re{c.slots, c.same_below, moved.get(), 0};
  sdb_terms d{};
  d.bucket_count = d.start_buckets = h.start_buckets;
  if (!adopt_terms(ix, bytes, h, &re, false, &d)) {
    sdb_terms_free(&d);
    return false;
  }
  sdb_terms_free(&ix->terms);
  ix->terms = d;
  uint64_t kept_tokens = 0;
  for (uint32_t slot = 0; slot < h.doc_count; slot++) {
    if (c.slots[slot] == SDB_NO_SLOT) continue;
    ix->docs[c.slots[slot]].token_count = tokens[slot];
    kept_tokens += tokens[slot];
  }
  ix->total_tokens = kept_tokens;
  ix->live_count = c.kept;
  ix->built = true;
  // Whatever stops the catch-up, a build follows: its outcome is the one
  // the caller sees.
  const sdb_first_failure before;
  if (!sdb_catch_up_finish(ix, &c, moved.get(), re.moved_count, h.start_buckets)) {
    before.restore();
    unbuild(ix, h.start_buckets);
    return false;
  }
  sdb_index_refresh_norms(ix);
  *changed = c.added_count + (h.doc_count - c.kept);
  return true;
}

}  // namespace

bool sdb_derived_adopt(sdb_index *ix, unsigned char *bytes, uint64_t size, uint32_t *caught_up,
                       bool lazy) {
  header h;
  if (caught_up != nullptr) *caught_up = 0;
  if (ix->built || !ix->docs_known || !sdb_derived_header_read(bytes, size, &h) ||
      h.start_buckets != ix->terms.bucket_count ||
      h.bucket_count != sdb_buckets_after(h.start_buckets, h.term_count))
    return false;
  // A catch-up reads every posting (and writes some): it checks them all,
  // the file read into memory first, or at least its pages mapped in one
  // call. The documents' sections between are left out of the latter: the
  // load checked them.
  const bool described = h.docs_size == ix->docs_size && h.docs_sum == ix->docs_sum;
  char rel[SDB_REL_PATH_SIZE];
  if (!described && !(sdb_file_path(rel, ix->name, SDB_DERIVED_FILE) &&
                      sdb_map_copy_in(rel, bytes, size, kHeaderSize))) {
    sdb_map_read_ahead(bytes, std::min(h.sections[S_DOCS].offset, size));
    const uint64_t rest = std::min(h.sections[S_CHUNK_SUMS].offset, size);
    sdb_map_read_ahead(bytes + rest, size - rest);
  }
  if (!read_header(ix, bytes, size, &h, lazy && described)) return false;
  if (described) return adopt_described(ix, bytes, h, lazy);
  uint32_t changed = 0;
  if (!adopt_caught_up(ix, bytes, h, &changed)) return false;
  if (caught_up != nullptr) *caught_up = changed;
  return true;
}

void sdb_derived_seal(unsigned char *bytes, uint64_t size, uint64_t docs_size, uint64_t docs_sum) {
  if (size < kHeaderSize) return;
  header h;
  memcpy(&h, bytes, sizeof h);
  h.docs_size = docs_size;
  h.docs_sum = docs_sum;
  h.file_size = size;
  auto inside = [&](const section &sec) {
    return sec.offset <= size && sec.length <= size - sec.offset;
  };
  const section &sums = h.sections[S_CHUNK_SUMS];
  const void *data[kSections] = {};
  uint64_t lengths[kSections] = {}, chunks = 0;
  bool all_inside = inside(sums) && sums.offset % alignof(uint64_t) == 0;
  for (const uint32_t s : kChunked) {
    all_inside = all_inside && inside(h.sections[s]);
    data[s] = bytes + h.sections[s].offset;
    lengths[s] = h.sections[s].length;
    chunks += chunks_of(lengths[s]);
  }
  if (all_inside && sums.length == chunks * sizeof(uint64_t))
    sum_chunks(data, lengths, reinterpret_cast<uint64_t *>(bytes + sums.offset));
  const section &table = h.sections[S_ID_TABLE], &id_sums = h.sections[S_ID_SUMS];
  if (inside(table) && inside(id_sums) && table.offset % alignof(uint32_t) == 0 &&
      id_sums.offset % alignof(uint64_t) == 0 &&
      id_sums.length == chunks_of(table.length) * sizeof(uint64_t))
    sdb_id_table_sum(reinterpret_cast<const uint32_t *>(bytes + table.offset), table.length,
                     reinterpret_cast<uint64_t *>(bytes + id_sums.offset));
  for (uint32_t s = 0; s < kSections; s++) {
    section &sec = h.sections[s];
    if (inside(sec)) sec.sum = chunked(s) ? 0 : sdb_checksum(bytes + sec.offset, sec.length);
  }
  h.header_sum = 0;
  memcpy(bytes, &h, sizeof h);
  const uint64_t sum = sdb_checksum(bytes, kHeaderSize);
  memcpy(bytes + offsetof(header, header_sum), &sum, sizeof sum);
}

void sdb_terms_fill(const sdb_terms *d, uint32_t id) {
  sdb_unchecked *u = d->unchecked;
  if (u == nullptr || u->records == nullptr || id >= d->ids) return;
  const auto *records = static_cast<const term_record *>(u->records);
  sdb_term *t = &d->terms[id];
  const header &h = head_of(u);
  const uint64_t at = uint64_t{id} * sizeof(term_record);
  if (!chunks_intact(u, h, S_TERMS, at, at + sizeof(term_record)) ||
      !make_term(records[id], id, d->lent_texts, d->lent_text_bytes,
                 const_cast<uint32_t *>(u->slots), const_cast<uint8_t *>(u->tfs), u->postings, t))
    *t = sdb_term{0, sdb_terms_bad_text(d), 0, 0, id, 0, 0, nullptr, nullptr};
}

uint32_t sdb_terms_checked_order_id(const sdb_terms *d, uint32_t i) {
  sdb_unchecked *u = d->unchecked;
  if (!bit(u->chunks_done, u->order_chunk + uint64_t{i} * sizeof(uint32_t) / kPageChunk)) {
    const header &h = head_of(u);
    const uint64_t at = uint64_t{i} * sizeof(uint32_t);
    if (!chunks_intact(u, h, S_ORDER, at, at + sizeof(uint32_t))) return sdb_terms_bad_id(d);
  }
  const uint32_t id = d->order[i];
  return __builtin_expect(id < d->ids, 1) ? id : sdb_terms_bad_id(d);
}

bool sdb_derived_usable(const sdb_index *ix, uint32_t id) {
  sdb_unchecked *u = ix->terms.unchecked;
  if (u == nullptr || (!u->failed && bit(u->terms_done, id))) return true;
  uint64_t overflows = 0;
  if (u->failed || !check_term(ix, id, &overflows)) {
    u->failed = true;
    return false;
  }
  set_bit(u->terms_done, id);
  return true;
}

bool sdb_derived_rejected(const sdb_index *ix) {
  return ix->terms.unchecked != nullptr && ix->terms.unchecked->failed;
}

namespace {

// Checks all that a dictionary taken lazily left unchecked, as taking it
// eagerly would have; the dictionary is then as one taken so. False when
// anything is out of place.
bool check_all(sdb_index *ix) {
  sdb_unchecked *u = ix->terms.unchecked;
  const header &h = head_of(u);
  // All of the file is read below, and every record made: the file read
  // into memory and the records' pages mapped first cost less than a fault
  // or a first touch a page.
  char rel[SDB_REL_PATH_SIZE];
  if (u->file == ix->mapped && sdb_file_path(rel, ix->name, SDB_DERIVED_FILE))
    (void)sdb_map_copy_in(rel, static_cast<unsigned char *>(ix->mapped), ix->mapped_len,
                          kHeaderSize);
  sdb_touch_all(ix->terms.terms, ix->terms.ids * sizeof(sdb_term));
  // Every record made (and the chunk it lies in checked), their postings
  // one after another in id order, and the byte order as a build makes it
  // (each place pinned to the one record whose text lies there, so that no
  // change of it passes): what taking it eagerly checks.
  uint64_t placed = 0;
  for (uint32_t id = 0; !u->failed && id < ix->terms.ids; id++) {
    const sdb_term &t = sdb_term_at(&ix->terms, id);
    u->failed = u->failed || t.docs != u->slots + placed;
    placed += t.count;
  }
  u->failed =
      u->failed || placed != h.postings || !order_intact(u->file, h, nullptr, nullptr, &ix->terms);
  u->records = nullptr;
  uint64_t overflows = 0;
  std::unique_ptr<uint8_t[], decltype(&free)> alive(
      static_cast<uint8_t *>(sdb_alloc_touched(ix->doc_count ? ix->doc_count : 1)), free);
  // Without the room, the document table serves as well, slower.
  for (uint32_t slot = 0; alive && slot < ix->doc_count; slot++)
    alive[slot] = ix->docs[slot].alive != 0;
  for (uint32_t id = 0; !u->failed && id < ix->terms.ids; id++)
    u->failed = !check_term(ix, id, &overflows, alive.get());
  // The postings were checked term by term above.
  for (uint32_t s = 0; !u->failed && s < kSections; s++)
    u->failed = checked_later(s) && s != S_SLOTS && s != S_TFS &&
                !sdb_derived_section_intact(u->file, h, s);
  if (u->failed || overflows != h.big_count) return false;
  free(u);
  ix->terms.unchecked = nullptr;
  return true;
}

// Builds ix's dictionary (not built), and with may_write writes the
// derived file after, when that is allowed.
bool build(sdb_index *ix, bool may_write) {
  if (!sdb_index_ensure_built(ix)) return false;
  if (may_write && ix->docs_known && laid_out_whole(&ix->terms))
    write_when_allowed(ix, [&] { return write_image(ix, source_of(ix)); });
  return true;
}

// Makes ix's dictionary wholly checked: checks what is left, and builds
// when a check fails. False, with "oom: rebuild", when memory ran out.
bool settle_checks(sdb_index *ix) {
  if (ix->terms.unchecked == nullptr || check_all(ix)) return true;
  return sdb_derived_rebuild(ix, false);
}

}  // namespace

bool sdb_derived_rebuild(sdb_index *ix, bool may_write) {
  unbuild(ix, ix->terms.start_buckets);
  return build(ix, may_write);
}

bool sdb_derived_install(sdb_index *ix, uint32_t *caught_up, bool lazy) {
  if (ix->built || !ix->docs_known) return false;
  // Mapped already when the load took the documents from it.
  uint64_t size = ix->mapped_len;
  auto *map = static_cast<unsigned char *>(ix->mapped);
  if (map == nullptr && (map = sdb_derived_map(ix->name, &size)) == nullptr) return false;
  const bool lent = ix->mapped != nullptr;
  ix->mapped = nullptr;
  ix->mapped_len = 0;
  if (!sdb_derived_adopt(ix, map, size, caught_up, lazy)) {
    // The ids of a load that took the documents from it lie there.
    if (!lent) {
      munmap(map, size);
      return false;
    }
    ix->mapped = map;
    ix->mapped_len = size;
    return false;
  }
  ix->mapped = map;
  ix->mapped_len = size;
  return true;
}

bool sdb_index_ready(sdb_index *ix, bool may_write) {
  if (ix->built) return may_write || settle_checks(ix);
  uint32_t caught_up = 0;
  if (sdb_derived_install(ix, &caught_up, may_write)) {
    if (!may_write) return true;
    // A catch-up changed the mapping where it lies: the file is written
    // anew from the dictionary, once enough has changed to be worth it.
    if (caught_up > 0) {
      if (sdb_catch_up_worth_writing(caught_up, ix->doc_count))
        write_when_allowed(ix, [&] { return write_image(ix, source_of(ix)); });
      return true;
    }
    // Taken, untouched as yet, after reading docs.json: once per
    // docs.json, the file is made to prove it so that later loads need
    // not read it.
    const auto *bytes = static_cast<const unsigned char *>(ix->mapped);
    if (identity_worth_writing(ix, bytes))
      write_when_allowed(ix, [&] { return write_identity(ix, bytes, ix->mapped_len); });
    return true;
  }
  return build(ix, may_write);
}

void sdb_cache_write_when_allowed(const sdb_index *ix, int (*write)(const sdb_index *, void *),
                                  void *arg) {
  write_when_allowed(ix, [&] { return write(ix, arg); });
}

int sdb_derived_write(sdb_index *ix) {
  if (!ix->built || !ix->docs_known) return 1;
  return write_image(ix, source_of(ix));
}

namespace {

// Calls use(src) with the figures a full build of ix's documents as
// loaded (docs_known) makes: ix's own when it built them itself or the
// index check found them equal to a build's, else a fresh build's. Returns what use returned, or -1
// with "oom: rebuild".
template <typename F>
int with_full_build(sdb_index *ix, F use) {
  if (!ix->built && !sdb_index_ensure_built(ix)) return -1;
  if (laid_out_whole(&ix->terms) || ix->matches_build) return use(source_of(ix));
  sdb_fresh_build fresh;
  if (!sdb_fresh_build_make(ix, &fresh)) return -1;
  const int rc =
      use(image_source{&fresh.terms, fresh.token_counts, fresh.total_tokens, fresh.live_count});
  sdb_fresh_build_free(&fresh);
  return rc;
}

// Whether the size bytes at bytes are exactly those img would write.
bool same_bytes(const image &img, const unsigned char *bytes, uint64_t size) {
  if (size != img.h.file_size) return false;
  unsigned char head[kHeaderSize];
  header_bytes(img.h, head);
  if (memcmp(bytes, head, kHeaderSize) != 0) return false;
  uint64_t at = kHeaderSize;
  for (uint32_t s = 0; s < kSections; s++) {
    const section &sec = img.h.sections[s];
    for (; at < sec.offset; at++)
      if (bytes[at] != 0) return false;
    if (sec.length > 0 && memcmp(bytes + sec.offset, img.data[s], sec.length) != 0) return false;
    at = sec.offset + sec.length;
  }
  return true;
}

// The state of the file at rel against src: current when its bytes are
// those src writes, else stale. -1 with a message when memory ran out.
int compare_file(const sdb_index *ix, const char *rel, const image_source &src) {
  errno = 0;
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return errno == ENOENT ? SEARCHDB_DERIVED_MISSING : SEARCHDB_DERIVED_STALE;
  struct stat st;
  void *map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kHeaderSize))
    map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return SEARCHDB_DERIVED_STALE;
  // The id table is placed by the file's own key.
  sdb_table_key key;
  memcpy(key.k, static_cast<const unsigned char *>(map) + offsetof(header, id_key), sizeof key.k);
  image img;
  const bool made = make_image(ix, src, &img, &key);
  // The clock of the load that wrote it is not part of what it describes.
  if (made)
    memcpy(&img.h.docs_stat_ns,
           static_cast<const unsigned char *>(map) + offsetof(header, docs_stat_ns),
           sizeof img.h.docs_stat_ns);
  const bool same =
      made && same_bytes(img, static_cast<const unsigned char *>(map), uint64_t(st.st_size));
  munmap(map, static_cast<size_t>(st.st_size));
  if (!made) {
    sdb_error(SEARCHDB_NOMEM, "oom: %s", SDB_DERIVED_FILE);
    return -1;
  }
  return same ? SEARCHDB_DERIVED_CURRENT : SEARCHDB_DERIVED_STALE;
}

}  // namespace

int sdb_derived_state(sdb_index *ix) {
  char rel[SDB_REL_PATH_SIZE];
  if (!sdb_file_path(rel, ix->name, SDB_DERIVED_FILE)) return SEARCHDB_DERIVED_MISSING;
  errno = 0;
  const int fd = sdb_open_regular(rel);
  if (fd < 0 && errno == ENOENT) return SEARCHDB_DERIVED_MISSING;
  if (fd >= 0) close(fd);
  // Documents changed in this process since they were loaded: no load
  // here can take the file, whatever it holds.
  if (!ix->docs_known) return SEARCHDB_DERIVED_STALE;
  // Taken as a search would take it, so that a file a search would pass
  // over is not reported current; one a search took is checked whole.
  if (ix->built && !settle_checks(ix)) return -1;
  if (!ix->built && !sdb_derived_install(ix)) return SEARCHDB_DERIVED_STALE;
  return with_full_build(ix, [&](const image_source &src) { return compare_file(ix, rel, src); });
}

int sdb_derived_rewrite(sdb_index *ix) {
  if (!ix->docs_known) {
    sdb_error(SEARCHDB_INVALID,
              "index '%s' changed in this process since it was loaded: only a fresh load can "
              "write its %s",
              ix->name, SDB_DERIVED_FILE);
    return -1;
  }
  return with_full_build(ix, [&](const image_source &src) { return write_image(ix, src); });
}
