#include "index/check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "index/build.h"
#include "index/walk_order.h"

namespace {

// Reports the first difference found; returns false for the caller to pass on.
bool differs(const sdb_index *ix, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

bool differs(const sdb_index *ix, const char *fmt, ...) {
  char what[SDB_ERROR_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  sdb_error(SEARCHDB_CORRUPT, "index '%s' differs from a rebuild: %s", ix->name, what);
  return false;
}

bool same_text(const char *a, const char *b) {
  return sdb_text_len(a) == sdb_text_len(b) && memcmp(a, b, sdb_text_len(a)) == 0;
}

bool same_figures(const sdb_index *ix, const sdb_fresh_build &fresh) {
  if (ix->live_count != fresh.live_count)
    return differs(ix, "%u live documents, a rebuild has %u", ix->live_count, fresh.live_count);
  if (ix->total_tokens != fresh.total_tokens) {
    return differs(ix, "%llu tokens, a rebuild has %llu", (unsigned long long)ix->total_tokens,
                   (unsigned long long)fresh.total_tokens);
  }
  // The map itself, not what stands in for it while it is pending.
  sdb_id_map_make(ix);
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc &d = ix->docs[slot];
    if ((d.alive != 0) != (d.entry != nullptr))
      return differs(ix, "slot %u is %s without an entry", slot, d.alive ? "live" : "dead");
    if (d.token_count != fresh.token_counts[slot]) {
      return differs(ix, "slot %u has %u tokens, a rebuild has %u", slot, d.token_count,
                     fresh.token_counts[slot]);
    }
    const double norm =
        d.alive ? sdb_index_norm(d.token_count, fresh.total_tokens, fresh.live_count) : -1.0;
    if (memcmp(&ix->norms[slot], &norm, sizeof norm) != 0)
      return differs(ix, "slot %u has norm %.17g, a rebuild has %.17g", slot, ix->norms[slot],
                     norm);
    if (sdb_id_map_find(ix, d.id) != slot) return differs(ix, "the id map loses slot %u", slot);
  }
  if (ix->ids.count != ix->doc_count)
    return differs(ix, "the id map holds %u ids for %u slots", ix->ids.count, ix->doc_count);
  return true;
}

// The term text for a message.
#define TERM_ARGS(text) static_cast<int>(sdb_text_len(text)), (text)

bool same_term(const sdb_index *ix, const sdb_terms *d, uint32_t id, const sdb_terms *f,
               uint32_t fid) {
  const sdb_term &t = sdb_term_at(d, id), &u = f->terms[fid];
  const char *text = t.text;
  if (t.hash != u.hash) return differs(ix, "term '%.*s' has another hash", TERM_ARGS(text));
  if (t.rank != u.rank || sdb_scan_key(d, &t) != sdb_scan_key(f, &u)) {
    return differs(ix, "term '%.*s' has walk rank %u, a rebuild has %u", TERM_ARGS(text), t.rank,
                   u.rank);
  }
  if (t.first_pos != u.first_pos) {
    return differs(ix, "term '%.*s' first occurs at %u, a rebuild has %u", TERM_ARGS(text),
                   t.first_pos, u.first_pos);
  }
  if (t.count != u.count)
    return differs(ix, "term '%.*s' has df %u, a rebuild has %u", TERM_ARGS(text), t.count,
                   u.count);
  for (uint32_t i = 0; i < t.count; i++) {
    if (t.docs[i] != u.docs[i]) {
      return differs(ix, "term '%.*s': posting %u is slot %u, a rebuild has %u", TERM_ARGS(text), i,
                     t.docs[i], u.docs[i]);
    }
    const bool title = t.tfs[i] & SDB_TF_TITLE, fresh_title = u.tfs[i] & SDB_TF_TITLE;
    const uint32_t tf = sdb_posting_tf(d, id, i), fresh_tf = sdb_posting_tf(f, fid, i);
    if (tf != fresh_tf || title != fresh_title) {
      return differs(ix, "term '%.*s': slot %u has tf %u%s, a rebuild has %u%s", TERM_ARGS(text),
                     t.docs[i], tf, title ? " (title)" : "", fresh_tf,
                     fresh_title ? " (title)" : "");
    }
  }
  if (sdb_terms_find(d, text, t.len) != id)
    return differs(ix, "term '%.*s' is not found by its text", TERM_ARGS(text));
  return true;
}

bool same_terms(const sdb_index *ix, const sdb_terms *f) {
  const sdb_terms *d = &ix->terms;
  if (d->count != f->count) return differs(ix, "%u terms, a rebuild has %u", d->count, f->count);
  if (d->start_buckets != f->start_buckets || d->bucket_count != f->bucket_count) {
    return differs(ix, "the walk has %u buckets from %u, a rebuild %u from %u", d->bucket_count,
                   d->start_buckets, f->bucket_count, f->start_buckets);
  }
  for (uint32_t i = 0; i < d->count; i++) {
    const uint32_t id = d->order[i], fid = f->order[i];
    const char *text = sdb_term_at(d, id).text;
    if (sdb_order_text(d, i) != text || !same_text(text, f->terms[fid].text)) {
      return differs(ix, "term %u in byte order is '%.*s', a rebuild has '%.*s'", i,
                     TERM_ARGS(sdb_order_text(d, i)), TERM_ARGS(f->terms[fid].text));
    }
    if (i > 0 && d->lcp[i] != f->lcp[i])
      return differs(ix, "term '%.*s' shares %u bytes with the one before it, not %u",
                     TERM_ARGS(text), d->lcp[i], f->lcp[i]);
    if (!same_term(ix, d, id, f, fid)) return false;
  }
  for (uint32_t r = 0; r < d->count; r++) {
    const uint32_t id = sdb_terms_by_first(d, r), fid = f->by_first[r];
    const sdb_term &t = sdb_term_at(d, id);
    if (t.rank != r || !same_text(t.text, f->terms[fid].text)) {
      return differs(ix, "term %u in first-occurrence order is '%.*s', a rebuild has '%.*s'", r,
                     TERM_ARGS(t.text), TERM_ARGS(f->terms[fid].text));
    }
  }
  return true;
}

#undef TERM_ARGS

}  // namespace

bool sdb_index_check(const sdb_index *ix) {
  sdb_fresh_build fresh;
  if (!sdb_fresh_build_make(ix, &fresh)) return false;
  const bool same = same_figures(ix, fresh) && same_terms(ix, &fresh.terms);
  sdb_fresh_build_free(&fresh);
  return same;
}
