#include "storage/catchup.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "base/hashing.h"
#include "base/holders.h"
#include "base/table.h"
#include "index/build.h"
#include "index/walk_order.h"

namespace {

constexpr uint32_t kNone = SDB_NO_SLOT;

// Positions of the file's sums: file slot + 1, 0 empty, placed by the sum.
struct sum_ops {
  static constexpr unsigned char kEmptyByte = 0;
  static bool empty(uint32_t place) { return place == 0; }
  const uint64_t *sums;
  uint64_t hash(uint32_t place) const { return sdb_table_hash_u64(sums[place - 1]); }
};

using u32_ptr = std::unique_ptr<uint32_t[], decltype(&free)>;

u32_ptr u32_array(uint64_t n) {
  return u32_ptr(static_cast<uint32_t *>(malloc((n ? n : 1) * sizeof(uint32_t))), free);
}

}  // namespace

void sdb_catch_up_free(sdb_catch_up *c) {
  free(c->slots);
  free(c->added);
  *c = sdb_catch_up{};
}

bool sdb_catch_up_match(const sdb_index *ix, const uint64_t *sums, uint32_t old_count,
                        sdb_catch_up *c) {
  *c = sdb_catch_up{};
  const uint32_t n = ix->doc_count;
  // A change of more documents is built about as quickly as caught up
  // with.
  const uint32_t most = n / kCatchUpShare, most_gone = old_count / kCatchUpShare;
  if (old_count == 0 || n == 0 || (old_count > n && old_count - n > most_gone) ||
      (n > old_count && n - old_count > most))
    return false;
  sdb_table<uint32_t> places{};
  const sum_ops ops{sums};
  if (!sdb_table_resize(&places, sdb_table_cap_for(old_count, 1, 2, 16), ops)) return false;
  std::unique_ptr<sdb_table<uint32_t>, void (*)(sdb_table<uint32_t> *)> hold(
      &places, [](sdb_table<uint32_t> *t) { sdb_table_free(t); });
  for (uint32_t i = 0; i < old_count; i++) {
    const uint32_t pos = sdb_table_probe<uint32_t, sum_ops>(
        places, sdb_table_hash_u64(sums[i]),
        [&](uint32_t place) { return sums[place - 1] == sums[i]; });
    // Two documents of one file are never the same bytes (each holds its
    // own id): a file that says so is not trusted to tell them apart.
    if (!sum_ops::empty(places.slots[pos])) return false;
    sdb_table_put_at(&places, pos, i + 1);
  }
  u32_ptr slots = u32_array(old_count), added = u32_array(uint64_t{most} + 1);
  if (!slots || !added) return false;
  std::fill(slots.get(), slots.get() + old_count, kNone);
  // Each document found is kept when it comes after the last one kept, so
  // that the kept ones stay in order; one found before it (moved by hand)
  // counts as added, its old place as gone.
  uint32_t last = kNone, kept = 0, added_count = 0;
  for (uint32_t slot = 0; slot < n; slot++) {
    const sdb_doc &d = ix->docs[slot];
    if (!d.alive) return false;
    const uint64_t sum = sdb_entry_sum(d);
    const uint32_t pos = sdb_table_probe<uint32_t, sum_ops>(
        places, sdb_table_hash_u64(sum), [&](uint32_t place) { return sums[place - 1] == sum; });
    const uint32_t place = places.slots[pos];
    if (place != 0 && (last == kNone || place - 1 > last)) {
      last = place - 1;
      slots[last] = slot;
      kept++;
      continue;
    }
    if (added_count == most) return false;
    added[added_count++] = slot;
  }
  if (kept == 0 || old_count - kept > most_gone) return false;
  c->slots = slots.release();
  c->added = added.release();
  c->added_count = added_count;
  c->kept = kept;
  c->same_below = 0;
  while (c->same_below < old_count && c->slots[c->same_below] == c->same_below) c->same_below++;
  return true;
}

namespace {

// Gives each term of moved[] (whose first posting now lies in a kept
// document other than the one it first occurred in) the position of its
// first occurrence there. False when memory ran out or a document does not
// hold a term its postings say it does.
bool find_moved_positions(sdb_index *ix, uint32_t *moved, uint32_t count) {
  sdb_terms *d = &ix->terms;
  std::sort(moved, moved + count, [d](uint32_t a, uint32_t b) {
    const uint32_t x = d->terms[a].docs[0], y = d->terms[b].docs[0];
    return x != y ? x < y : a < b;
  });
  u32_ptr pos = u32_array(count);
  if (!pos) return false;
  for (uint32_t i = 0; i < count;) {
    const uint32_t slot = d->terms[moved[i]].docs[0];
    uint32_t end = i;
    while (end < count && d->terms[moved[end]].docs[0] == slot) end++;
    if (!sdb_index_first_positions(ix, slot, moved + i, end - i, pos.get() + i)) return false;
    for (uint32_t k = i; k < end; k++) {
      if (pos[k] == SDB_NO_TERM) return false;
      d->terms[moved[k]].first_pos = pos[k];
    }
    i = end;
  }
  return true;
}

// Puts the moved terms into first-occurrence order among the others, which
// kept theirs (their ids are in it, renumbering keeps it), and numbers the
// ranks. moved[] is sorted by first occurrence on the way.
void rank_terms(sdb_terms *d, uint32_t *moved, uint32_t count) {
  std::sort(moved, moved + count, [d](uint32_t a, uint32_t b) {
    return sdb_first_occurrence_key(&d->terms[a]) < sdb_first_occurrence_key(&d->terms[b]);
  });
  for (uint32_t k = 0; k < count; k++) d->terms[moved[k]].rank = kNone;
  uint32_t w = 0;
  for (uint32_t id = 0; id < d->ids; id++)
    if (d->terms[id].rank != kNone) d->by_first[w++] = id;
  // Merged from the back, into the same list.
  uint32_t i = w, j = count, out = w + count;
  while (j > 0) {
    const uint64_t key = sdb_first_occurrence_key(&d->terms[moved[j - 1]]);
    if (i > 0 && sdb_first_occurrence_key(&d->terms[d->by_first[i - 1]]) > key) {
      d->by_first[--out] = d->by_first[--i];
    } else {
      d->by_first[--out] = moved[--j];
    }
  }
  for (uint32_t r = 0; r < d->count; r++) d->terms[d->by_first[r]].rank = r;
}

}  // namespace

bool sdb_catch_up_finish(sdb_index *ix, const sdb_catch_up *c, uint32_t *moved,
                         uint32_t moved_count, uint32_t start_buckets) {
  if (!find_moved_positions(ix, moved, moved_count)) return false;
  rank_terms(&ix->terms, moved, moved_count);
  if (c->added_count > 0) {
    // The added documents come in as new ones of a change: their slots held
    // nothing the dictionary knows.
    std::unique_ptr<sdb_slot_change[], decltype(&free)> changes(
        static_cast<sdb_slot_change *>(calloc(c->added_count, sizeof(sdb_slot_change))), free);
    if (!changes) return false;
    for (uint32_t k = 0; k < c->added_count; k++) changes[k].slot = c->added[k];
    sdb_update u;
    if (!sdb_update_prepare(ix, changes.get(), c->added_count, &u)) return false;
    sdb_update_commit(ix, &u);
  }
  sdb_terms *d = &ix->terms;
  d->start_buckets = start_buckets;
  d->bucket_count = sdb_buckets_after(start_buckets, d->count);
  return true;
}
