#include "storage/change_record.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/checksum.h"
#include "base/error.h"
#include "base/invariant.h"
#include "base/memory.h"
#include "index/build.h"
#include "index/index.h"
#include "storage/derived_format.h"
#include "storage/derived_map.h"
#include "storage/files.h"
#include "storage/layout.h"

using namespace sdb_derived;

struct sdb_pending_catch_up {
  sdb_catch_up c;
  const unsigned char *file;  // the derived file it was found for
  uint32_t file_count;
};

namespace {

// The file begins with these bytes; another version is another magic.
constexpr unsigned char kChangesMagic[8] = {'s', 'd', 'b', 'c', 'h', 'g', '1', '\n'};

// Edits a file holds at most, against the documents of the save: a
// catch-up from more is a build (catchup.h). Never fewer than kMinEdits,
// so that a small index keeps a useful record too.
constexpr uint64_t kMinEdits = 64;

// Records a file holds at most: a reader's work grows with them, and a
// derived file older than that many changes is as well caught up by
// matching every entry.
constexpr uint32_t kMaxRecords = 1024;

// A reader reads a record file whole; one larger than this was not
// written here.
constexpr uint64_t kMaxFile = uint64_t{64} << 20;

// What docs.json was after a save.
struct docs_after {
  uint64_t size;
  uint64_t sum;
  uint64_t dev;
  uint64_t ino;
  int64_t mtime_ns;
  int64_t ctime_ns;
};

struct record_head {
  uint64_t length;  // the whole record's bytes, a multiple of 8
  uint64_t sum;     // sdb_checksum of the bytes after this field
  uint64_t before_size;
  uint64_t before_sum;
  docs_after after;
  uint32_t removed;   // u32 positions follow, then zeros to a multiple of 8
  uint32_t inserted;  // insert_records follow, then the ids (each with a NUL)
  uint64_t id_bytes;  // then zeros to a multiple of 8
};

struct insert_record {
  uint64_t entry_len;
  uint64_t entry_sum;
  uint64_t raw_len;
  uint32_t position;
  uint32_t raw_off;
};

uint64_t padded(uint64_t n) {
  return (n + 7) / 8 * 8;
}

// One record, checked whole: where its parts lie.
struct record_view {
  record_head head;
  const uint32_t *removed;
  const insert_record *inserted;
  const char *ids;
};

template <typename T>
using c_ptr = std::unique_ptr<T, decltype(&free)>;

// Every array here is filled as soon as it is made.
template <typename T>
c_ptr<T> c_array(uint64_t n) {
  return c_ptr<T>(static_cast<T *>(sdb_alloc_touched((n ? n : 1) * sizeof(T))), free);
}

// The record at p (n bytes to the end of the file), when it is whole and
// intact. Its ids are checked to be that many texts with their NULs.
bool read_record(const unsigned char *p, uint64_t n, record_view *v) {
  if (n < sizeof(record_head)) return false;
  memcpy(&v->head, p, sizeof v->head);
  const record_head &h = v->head;
  if (h.length < sizeof h || h.length % 8 != 0 || h.length > n ||
      h.sum != sdb_checksum(p + 16, h.length - 16))
    return false;
  const uint64_t removed_bytes = padded(uint64_t{h.removed} * sizeof(uint32_t));
  const uint64_t inserted_bytes = uint64_t{h.inserted} * sizeof(insert_record);
  const uint64_t room = h.length - sizeof h;
  if (removed_bytes > room || inserted_bytes > room - removed_bytes ||
      h.id_bytes > room - removed_bytes - inserted_bytes ||
      padded(h.id_bytes) != room - removed_bytes - inserted_bytes)
    return false;
  v->removed = reinterpret_cast<const uint32_t *>(p + sizeof h);
  v->inserted = reinterpret_cast<const insert_record *>(p + sizeof h + removed_bytes);
  v->ids = reinterpret_cast<const char *>(p + sizeof h + removed_bytes + inserted_bytes);
  uint64_t at = 0;
  for (uint32_t i = 0; i < h.inserted; i++) {
    const void *end = memchr(v->ids + at, '\0', h.id_bytes - at);
    if (end == nullptr || end == v->ids + at) return false;
    at = static_cast<uint64_t>(static_cast<const char *>(end) - v->ids) + 1;
  }
  return at == h.id_bytes;
}

// The records of a file's bytes, in order, up to the first that is not
// whole. *whole tells whether they reach its end. False when memory ran
// out or it is not a record file.
bool read_records(const unsigned char *bytes, uint64_t size, c_ptr<record_view> *out,
                  uint32_t *count, bool *whole) {
  *count = 0;
  *whole = false;
  if (size < sizeof kChangesMagic || memcmp(bytes, kChangesMagic, sizeof kChangesMagic) != 0)
    return false;
  // Every record takes more than a head's bytes.
  *out = c_array<record_view>((size - sizeof kChangesMagic) / sizeof(record_head));
  if (!*out) return false;
  uint64_t at = sizeof kChangesMagic;
  record_view v;
  while (at < size && read_record(bytes + at, size - at, &v)) {
    out->get()[(*count)++] = v;
    at += v.head.length;
  }
  *whole = at == size;
  return true;
}

// Removes the record at rel, when it is a file: a directory there is
// another index's, stored from before the name was taken.
void remove_record(const char *rel) {
  if (sdb_entry_kind_of(rel) == SDB_ENTRY_FILE) sdb_remove(rel);
}

// Reads the file at rel whole (at most kMaxFile bytes) into *out. False
// when it is missing, cannot be read or memory ran out.
bool read_whole(const char *rel, c_ptr<unsigned char> *out, uint64_t *size) {
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && st.st_size >= 0 && uint64_t(st.st_size) <= kMaxFile;
  if (ok) {
    *size = static_cast<uint64_t>(st.st_size);
    *out = c_array<unsigned char>(*size);
    ok = *out != nullptr;
  }
  for (uint64_t at = 0; ok && at < *size;) {
    const ssize_t n = read(fd, out->get() + at, *size - at);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    at += ok ? static_cast<uint64_t>(n) : 0;
  }
  close(fd);
  return ok;
}

// The identity of the file open as fd, and its size.
bool identity_of(int fd, sdb_file_identity *id, uint64_t *size) {
  const int64_t stat_ns = sdb_clock_ns();
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
  sdb_file_identity_of(st, stat_ns, id);
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

// The record of ix's save, from the touched slots: positions in the old
// array of the entries removed, and in the new one those inserted. Its
// "before" is ix's file as last loaded or written, its "after" the new
// one. *live receives the documents now. Empty when memory ran out.
c_ptr<unsigned char> make_record(const sdb_index *ix, const sdb_slot_change *changes,
                                 uint32_t count, const docs_after &after, uint64_t *length,
                                 uint64_t *live) {
  record_head h{};
  h.before_size = ix->file_size;
  h.before_sum = ix->file_sum;
  h.after = after;
  for (uint32_t k = 0; k < count; k++) {
    const sdb_doc &now = ix->docs[changes[k].slot];
    h.removed += changes[k].before.alive != 0;
    h.inserted += now.alive != 0;
    if (now.alive) h.id_bytes += strlen(now.id) + 1;
  }
  const uint64_t removed_bytes = padded(uint64_t{h.removed} * sizeof(uint32_t));
  h.length =
      sizeof h + removed_bytes + uint64_t{h.inserted} * sizeof(insert_record) + padded(h.id_bytes);
  auto record = c_ptr<unsigned char>(static_cast<unsigned char *>(calloc(h.length, 1)), free);
  if (!record) return record;
  auto *removed = reinterpret_cast<uint32_t *>(record.get() + sizeof h);
  auto *inserted = reinterpret_cast<insert_record *>(record.get() + sizeof h + removed_bytes);
  char *ids = reinterpret_cast<char *>(inserted + h.inserted);
  // Positions count the live slots before: in the old array those live
  // before the change, in the new one those live now.
  uint32_t old_pos = 0, new_pos = 0, r = 0, i = 0, k = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc &now = ix->docs[slot];
    const bool touched = k < count && changes[k].slot == slot;
    const bool was = touched ? changes[k].before.alive != 0 : now.alive != 0;
    if (touched) {
      if (was) removed[r++] = old_pos;
      if (now.alive) {
        inserted[i++] = insert_record{now.entry_len, sdb_checksum(now.entry, now.entry_len),
                                      now.raw_len, new_pos, now.raw_off};
        const size_t n = strlen(now.id) + 1;
        memcpy(ids, now.id, n);
        ids += n;
      }
      k++;
    }
    old_pos += was;
    new_pos += now.alive != 0;
  }
  h.sum = 0;
  memcpy(record.get(), &h, sizeof h);
  h.sum = sdb_checksum(record.get() + 16, h.length - 16);
  memcpy(record.get(), &h, sizeof h);
  *length = h.length;
  *live = new_pos;
  return record;
}

// Whether the record file's bytes may take one more record of edits
// edits after them, from a save whose docs.json before was ix's file.
bool may_append(const sdb_index *ix, const unsigned char *bytes, uint64_t size, uint64_t edits,
                uint64_t live) {
  c_ptr<record_view> records(nullptr, free);
  uint32_t count = 0;
  bool whole = false;
  if (!read_records(bytes, size, &records, &count, &whole) || !whole || count == 0 ||
      count >= kMaxRecords)
    return false;
  const record_head &last = records.get()[count - 1].head;
  if (last.after.size != ix->file_size || last.after.sum != ix->file_sum) return false;
  for (uint32_t i = 0; i < count; i++)
    edits += uint64_t{records.get()[i].head.removed} + records.get()[i].head.inserted;
  return edits <= std::max(kMinEdits, live / kCatchUpShare);
}

void append_record(const sdb_index *ix, const char *rel, const sdb_slot_change *changes,
                   uint32_t count, const docs_after &after) {
  uint64_t length = 0, live = 0;
  const c_ptr<unsigned char> record = make_record(ix, changes, count, after, &length, &live);
  if (!record) {
    remove_record(rel);
    return;
  }
  record_head h;
  memcpy(&h, record.get(), sizeof h);
  c_ptr<unsigned char> old(nullptr, free);
  uint64_t old_size = 0;
  const bool append = read_whole(rel, &old, &old_size) &&
                      may_append(ix, old.get(), old_size, uint64_t{h.removed} + h.inserted, live);
  old.reset();
  const int fd = sdb_open_append(rel, !append);
  if (fd < 0) {
    remove_record(rel);
    return;
  }
  // One write, so that a reader finds the record whole or cut short.
  struct iovec pieces[2] = {{const_cast<unsigned char *>(kChangesMagic), sizeof kChangesMagic},
                            {record.get(), length}};
  struct iovec *from = append ? pieces + 1 : pieces;
  const int n = append ? 1 : 2;
  ssize_t written;
  do written = writev(fd, from, n);
  while (written < 0 && errno == EINTR);
  close(fd);
}

}  // namespace

void sdb_changes_forget(const char *name) {
  char rel[SDB_REL_PATH_SIZE];
  if (sdb_file_path(rel, name, SDB_CHANGES_FILE)) remove_record(rel);
}

void sdb_changes_note(sdb_index *ix, const char *docs_rel, const sdb_slot_change *changes,
                      uint32_t count, uint64_t size, uint64_t sum) {
  const int saved_errno = errno;
  const sdb_first_failure before;
  char rel[SDB_REL_PATH_SIZE];
  sdb_file_identity id{};
  uint64_t on_disk = 0;
  const int fd = sdb_open_regular(docs_rel);
  const bool found = fd >= 0 && identity_of(fd, &id, &on_disk) && on_disk == size;
  if (fd >= 0) close(fd);
  if (sdb_file_path(rel, ix->name, SDB_CHANGES_FILE)) {
    if (found && ix->file_known && changes != nullptr) {
      append_record(ix, rel, changes, count,
                    docs_after{size, sum, id.dev, id.ino, id.mtime_ns, id.ctime_ns});
    } else {
      remove_record(rel);
    }
  }
  ix->file_size = size;
  ix->file_sum = sum;
  ix->file_known = found;
  ix->file_identity = id;
  before.restore();
  errno = saved_errno;
}

namespace {

// The records leading from the docs.json of size and sum from to the one
// of identity now and size now_size: records[first .. last].
bool find_chain(const record_view *records, uint32_t count, uint64_t from_size, uint64_t from_sum,
                const sdb_file_identity &now, uint64_t now_size, uint32_t *first, uint32_t *last) {
  uint32_t e = count;
  while (e > 0) {
    const docs_after &a = records[e - 1].head.after;
    if (a.size == now_size &&
        sdb_file_identity_same(sdb_file_identity{a.dev, a.ino, a.mtime_ns, a.ctime_ns, 0}, now))
      break;
    e--;
  }
  if (e == 0) return false;
  *last = e - 1;
  for (uint32_t j = e - 1;; j--) {
    const record_head &h = records[j].head;
    if (h.before_size == from_size && h.before_sum == from_sum) {
      *first = j;
      return true;
    }
    if (j == 0 || records[j - 1].head.after.size != h.before_size ||
        records[j - 1].head.after.sum != h.before_sum)
      return false;
  }
}

// The array of entries the chain leads to, in terms of the derived file's
// slots (below file_count) and the records' inserted entries (file_count
// and up, numbered in chain order). False when an edit does not fit the
// array it applies to, or memory ran out. The array is kept as runs of
// consecutive numbers, so that each record costs its edits and the runs
// the earlier ones made, not the documents.
bool compose(const record_view *records, uint32_t first, uint32_t last, uint32_t file_count,
             c_ptr<uint32_t> *out, uint32_t *out_len, c_ptr<const insert_record *> *owner,
             c_ptr<const char *> *owner_id) {
  struct run {
    uint32_t from;
    uint32_t count;
  };
  uint64_t total_inserted = 0, edits = 0;
  for (uint32_t j = first; j <= last; j++) {
    total_inserted += records[j].head.inserted;
    edits += uint64_t{records[j].head.removed} + records[j].head.inserted;
  }
  const uint64_t cap = uint64_t{file_count} + total_inserted;
  if (cap >= SDB_NO_SLOT) return false;
  // Each removal splits a run once, each insertion once and adds one.
  const uint64_t run_cap = 2 * edits + 2;
  c_ptr<run> cur = c_array<run>(run_cap), next = c_array<run>(run_cap);
  *owner = c_array<const insert_record *>(total_inserted);
  *owner_id = c_array<const char *>(total_inserted);
  if (!cur || !next || !*owner || !*owner_id) return false;
  cur.get()[0] = run{0, file_count};
  uint64_t runs = 1, len = file_count;
  uint32_t token = file_count;
  for (uint32_t j = first; j <= last; j++) {
    const record_view &v = records[j];
    const uint32_t removed = v.head.removed, inserted = v.head.inserted;
    uint64_t made = 0, old_pos = 0, new_pos = 0, ri = 0;
    uint32_t roff = 0, r = 0, i = 0;
    auto emit = [&](uint32_t from, uint32_t count) {
      run *back = made ? &next.get()[made - 1] : nullptr;
      if (back != nullptr && back->from + back->count == from) {
        back->count += count;
      } else {
        next.get()[made++] = run{from, count};
      }
      new_pos += count;
    };
    const char *id = v.ids;
    for (;;) {
      if (i < inserted && v.inserted[i].position == new_pos) {
        owner->get()[token - file_count] = &v.inserted[i];
        owner_id->get()[token - file_count] = id;
        id += strlen(id) + 1;
        emit(token++, 1);
        i++;
        continue;
      }
      if (ri == runs) break;
      const run &at = cur.get()[ri];
      uint64_t n = at.count - roff;
      if (r < removed) {
        // Ascending positions only: one behind is never reached.
        if (v.removed[r] < old_pos) return false;
        n = std::min<uint64_t>(n, v.removed[r] - old_pos);
      }
      if (i < inserted) {
        if (v.inserted[i].position < new_pos) return false;
        n = std::min<uint64_t>(n, v.inserted[i].position - new_pos);
      }
      if (n == 0) {  // the old entry at old_pos goes
        r++;
        n = 1;
      } else {
        emit(at.from + roff, static_cast<uint32_t>(n));
      }
      old_pos += n;
      roff += static_cast<uint32_t>(n);
      if (roff == at.count) {
        ri++;
        roff = 0;
      }
    }
    if (i != inserted || r != removed || old_pos != len) return false;
    std::swap(cur, next);
    runs = made;
    len = new_pos;
  }
  *out = c_array<uint32_t>(len);
  if (!*out) return false;
  uint64_t w = 0;
  for (uint64_t k = 0; k < runs; k++)
    for (uint32_t t = 0; t < cur.get()[k].count; t++) out->get()[w++] = cur.get()[k].from + t;
  *out_len = static_cast<uint32_t>(len);
  return true;
}

void pending_free(sdb_pending_catch_up *p) {
  sdb_catch_up_free(&p->c);
  free(p);
}

}  // namespace

namespace {

// Whether the size bytes of docs.json at fd (as they stand now) have
// checksum sum and hold the array of the m entries of docs in order: '['
// then each entry followed by ',' or, after the last, ']'. Read rather
// than touched where they are mapped (sdb_read_through).
bool docs_read_intact(int fd, uint64_t size, const sdb_doc *docs, uint32_t m, uint64_t sum,
                      sdb_vec<sdb_checksum_mark> *marks) {
  if (m == 0) return false;
  // Entry j's closing byte lies at next; the pieces come in order, so it
  // is never before the piece at hand.
  struct separators {
    const sdb_doc *docs;
    uint32_t m;
    uint32_t j;
    uint64_t next;
  } c{docs, m, 0, 1 + docs[0].entry_len};
  const auto see = [](void *ctx, const unsigned char *piece, size_t len, uint64_t at) {
    auto *c = static_cast<separators *>(ctx);
    if (at == 0 && piece[0] != '[') return false;
    for (; c->j < c->m && c->next < at + len; c->j++) {
      const bool last = c->j + 1 == c->m;
      if (piece[c->next - at] != (last ? ']' : ',')) return false;
      if (!last) c->next += c->docs[c->j + 1].entry_len + 1;
    }
    return true;
  };
  uint64_t got = 0;
  return sdb_read_through(fd, size, &got, see, &c, marks) && c.j == m && got == sum;
}

bool load_changed(sdb_index *ix, unsigned char *bytes, uint64_t size, const char *docs_rel) {
  header h;
  if (!sdb_derived_header_read(bytes, size, &h) || h.doc_count == 0 || h.located != h.doc_count ||
      !sdb_derived_section_intact(bytes, h, S_DOCS) || !sdb_derived_section_intact(bytes, h, S_IDS))
    return false;
  char rel[SDB_REL_PATH_SIZE];
  c_ptr<unsigned char> file(nullptr, free);
  uint64_t file_size = 0;
  if (!sdb_file_path(rel, ix->name, SDB_CHANGES_FILE) || !read_whole(rel, &file, &file_size))
    return false;
  c_ptr<record_view> records(nullptr, free);
  uint32_t count = 0, first = 0, last = 0;
  bool whole;
  if (!read_records(file.get(), file_size, &records, &count, &whole)) return false;
  // Closed on every way out; the mapping, once made, belongs to ix's block.
  const struct fd_holder {
    int fd;
    ~fd_holder() {
      if (fd >= 0) close(fd);
    }
  } docs_fd{sdb_open_regular(docs_rel)};
  const int fd = docs_fd.fd;
  if (fd < 0) return false;
  sdb_file_identity now{};
  uint64_t docs_size = 0;
  if (!identity_of(fd, &now, &docs_size) || docs_size < 2 ||
      !find_chain(records.get(), count, h.docs_size, h.docs_sum, now, docs_size, &first, &last))
    return false;
  // Not populated: its bytes are checked through a read below, and a
  // search then touches only the pages of the entries it answers with.
  void *docs = mmap(nullptr, docs_size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (docs == MAP_FAILED) return false;
  const uint32_t block = sdb_block_add(ix, static_cast<char *>(docs), docs_size, true);
  if (block == SDB_NO_SLOT) {
    munmap(docs, docs_size);
    return false;
  }
  c_ptr<uint32_t> order(nullptr, free);
  c_ptr<const insert_record *> owner(nullptr, free);
  c_ptr<const char *> owner_id(nullptr, free);
  uint32_t m = 0;
  if (!compose(records.get(), first, last, h.doc_count, &order, &m, &owner, &owner_id) || m == 0)
    return false;
  // As many may have changed as a catch-up takes on (catchup.h).
  uint32_t kept = 0;
  for (uint32_t j = 0; j < m; j++) kept += order.get()[j] < h.doc_count;
  if (kept == 0 || h.doc_count - kept > h.doc_count / kCatchUpShare || m - kept > m / kCatchUpShare)
    return false;
  // The ids of the file's slots, each checked to end within its section.
  const auto *doc_records = reinterpret_cast<const doc_record *>(bytes + h.sections[S_DOCS].offset);
  const char *ids = reinterpret_cast<const char *>(bytes + h.sections[S_IDS].offset);
  c_ptr<uint64_t> id_at = c_array<uint64_t>(h.doc_count);
  auto *pending = static_cast<sdb_pending_catch_up *>(calloc(1, sizeof(sdb_pending_catch_up)));
  if (pending != nullptr) {
    ix->catch_up = pending;
    ix->catch_up_free = pending_free;
  }
  c_ptr<uint32_t> slots = c_array<uint32_t>(h.doc_count), added = c_array<uint32_t>(m - kept);
  if (!id_at || !pending || !slots || !added || !sdb_index_reserve(ix, m)) return false;
  // The kept documents' ids are used where they lie, as a load of an
  // unchanged store uses them, and the id map is made at its first use.
  ix->lent_ids = ids;
  ix->lent_ids_len = h.id_bytes;
  for (uint64_t s = 0, at = 0; s < h.doc_count; s++) {
    const uint64_t len = id_length(ids, h.id_bytes, at, doc_records[s]);
    if (len == 0) return false;
    id_at.get()[s] = at;
    at += len + 1;
  }
  std::fill(slots.get(), slots.get() + h.doc_count, SDB_NO_SLOT);
  const char *text = static_cast<const char *>(docs);
  uint64_t at = 1;
  uint32_t added_count = 0;
  for (uint32_t j = 0; j < m; j++) {
    const uint32_t token = order.get()[j];
    uint64_t entry_len, raw_len;
    uint32_t raw_off;
    const char *id;
    if (token < h.doc_count) {
      const doc_record &r = doc_records[token];
      entry_len = r.entry_len;
      raw_len = r.raw_len;
      raw_off = r.raw_off;
      id = ids + id_at.get()[token];
      slots.get()[token] = j;
    } else {
      const insert_record &r = *owner.get()[token - h.doc_count];
      entry_len = r.entry_len;
      raw_len = r.raw_len;
      raw_off = r.raw_off;
      id = owner_id.get()[token - h.doc_count];
      added.get()[added_count++] = j;
      if (entry_len < docs_size - at && sdb_checksum(text + at, entry_len) != r.entry_sum)
        return false;
    }
    // Each entry where the lengths before it put it (the bytes between
    // are checked as the file is read, below).
    if (entry_len >= docs_size - at || uint64_t{raw_off} + 2 > entry_len ||
        raw_len > entry_len - raw_off - 2)
      return false;
    // An added id lies in the record read here: the index owns a copy.
    char *own = nullptr;
    if (token >= h.doc_count) {
      const size_t n = strlen(id) + 1;
      if ((own = static_cast<char *>(malloc(n))) == nullptr) return false;
      memcpy(own, id, n);
    }
    sdb_index_put_lent(ix, own != nullptr ? own : id, text + at, entry_len, raw_off, raw_len,
                       block);
    at += entry_len + 1;
  }
  if (at != docs_size) return false;
  sdb_file_identity after_read{};
  uint64_t size_after = 0;
  SDB_ASSERT(ix->doc_count == m);
  if (!docs_read_intact(fd, docs_size, ix->docs, m, records.get()[last].head.after.sum,
                        &ix->file_marks) ||
      !identity_of(fd, &after_read, &size_after) || !sdb_file_identity_same(now, after_read) ||
      size_after != docs_size)
    return false;
  pending->c = sdb_catch_up{slots.release(), added.release(), added_count, kept, 0};
  while (pending->c.same_below < h.doc_count &&
         pending->c.slots[pending->c.same_below] == pending->c.same_below)
    pending->c.same_below++;
  pending->file = bytes;
  pending->file_count = h.doc_count;
  const uint64_t docs_sum = records.get()[last].head.after.sum;
  ix->docs_size = docs_size;
  ix->docs_sum = docs_sum;
  ix->docs_identity = now;
  ix->docs_block = block;
  ix->docs_known = true;
  ix->built = false;
  ix->file_size = docs_size;
  ix->file_sum = docs_sum;
  ix->file_known = true;
  ix->file_identity = now;
  ix->file_base = text;
  return true;
}

}  // namespace

sdb_index *sdb_changes_load(const char *name, const char *key, const char *docs_rel) {
  return sdb_load_beside_derived(name, key, docs_rel, load_changed);
}

void sdb_changes_seal(unsigned char *bytes, uint64_t size, const sdb_file_identity *last_after) {
  uint64_t at = sizeof kChangesMagic, last = 0;
  record_head h;
  while (at < size && size - at >= sizeof h) {
    memcpy(&h, bytes + at, sizeof h);
    if (h.length < sizeof h || h.length > size - at) break;
    h.sum = sdb_checksum(bytes + at + 16, h.length - 16);
    memcpy(bytes + at, &h, sizeof h);
    last = at;
    at += h.length;
  }
  if (last_after == nullptr || last == 0) return;
  memcpy(&h, bytes + last, sizeof h);
  h.after.dev = last_after->dev;
  h.after.ino = last_after->ino;
  h.after.mtime_ns = last_after->mtime_ns;
  h.after.ctime_ns = last_after->ctime_ns;
  memcpy(bytes + last, &h, sizeof h);
  h.sum = sdb_checksum(bytes + last + 16, h.length - 16);
  memcpy(bytes + last, &h, sizeof h);
}

bool sdb_changes_take_catch_up(sdb_index *ix, const unsigned char *bytes, uint32_t file_count,
                               sdb_catch_up *c) {
  sdb_pending_catch_up *p = ix->catch_up;
  if (p == nullptr) return false;
  ix->catch_up = nullptr;
  const bool fits = p->file == bytes && p->file_count == file_count && p->c.slots != nullptr;
  if (fits) {
    *c = p->c;
    p->c = sdb_catch_up{};
  }
  pending_free(p);
  return fits;
}
