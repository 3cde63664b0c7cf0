#include "storage/derived_map.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/checksum.h"
#include "base/error.h"
#include "index/index.h"
#include "storage/files.h"
#include "storage/layout.h"

using namespace sdb_derived;

uint64_t sdb_derived_section_length(const header &h, uint32_t s) {
  switch (s) {
    case S_TOKENS:
      return uint64_t{h.doc_count} * sizeof(uint32_t);
    case S_TERMS:
      return uint64_t{h.term_count} * sizeof(term_record);
    case S_TEXTS:
      return h.text_bytes;
    case S_ORDER:
      return uint64_t{h.term_count} * sizeof(uint32_t);
    case S_LCP:
      return h.term_count;
    case S_SLOTS:
      return h.postings * sizeof(uint32_t);
    case S_TFS:
      return h.postings;
    case S_BIG:
      return uint64_t{h.big_count} * sizeof(big_record);
    case S_ENTRY_SUMS:
      return uint64_t{h.doc_count} * sizeof(uint64_t);
    case S_DOCS:
      return uint64_t{h.located} * sizeof(doc_record);
    case S_IDS:
      return h.id_bytes;
    case S_ORDER_TEXTS:
      return uint64_t{h.term_count} * sizeof(uint32_t);
    case S_ID_TABLE:
      return h.id_positions * sizeof(uint32_t);
    case S_ID_SUMS:
      return chunks_of(h.id_positions * sizeof(uint32_t)) * sizeof(uint64_t);
    default:
      return sdb_derived_chunk_count(h) * sizeof(uint64_t);
  }
}

bool sdb_derived_header_read(const unsigned char *bytes, uint64_t size, header *h) {
  if (size < kHeaderSize) return false;
  unsigned char copy[kHeaderSize];
  memcpy(copy, bytes, kHeaderSize);
  memcpy(h, copy, sizeof *h);
  memset(copy + offsetof(header, header_sum), 0, sizeof h->header_sum);
  if (memcmp(h->magic, kMagic, sizeof kMagic) != 0 || h->version != kVersion ||
      h->byte_order != kByteOrder || h->header_sum != sdb_checksum(copy, kHeaderSize) ||
      h->file_size != size || h->postings > size || h->text_bytes > size || h->id_bytes > size ||
      (h->located != 0 && h->located != h->doc_count) || h->id_positions > size ||
      (h->id_positions & (h->id_positions - 1)) != 0)
    return false;
  // The sections follow one another, with nothing but zeros between
  // them: every byte of the file is checked by a checksum or is a zero.
  uint64_t at = kHeaderSize;
  for (uint32_t s = 0; s < kSections; s++) {
    const section &sec = h->sections[s];
    if (sec.offset % kAlign != 0 || sec.offset < at || sec.offset > size ||
        sec.length > size - sec.offset || sec.length != sdb_derived_section_length(*h, s))
      return false;
    for (; at < sec.offset; at++)
      if (bytes[at] != 0) return false;
    at = sec.offset + sec.length;
  }
  return at == size;
}

uint64_t sdb_derived_first_chunk(const header &h, uint32_t s) {
  uint64_t first = 0;
  for (const uint32_t c : kChunked) {
    if (c == s) break;
    first += chunks_of(sdb_derived_section_length(h, c));
  }
  return first;
}

uint64_t sdb_derived_chunk_count(const header &h) {
  uint64_t count = 0;
  for (const uint32_t s : kChunked) count += chunks_of(sdb_derived_section_length(h, s));
  return count;
}

bool sdb_derived_chunk_intact(const unsigned char *bytes, const header &h, uint64_t chunk) {
  uint64_t first = 0;
  for (const uint32_t s : kChunked) {
    const section &sec = h.sections[s];
    const uint64_t n = chunks_of(sec.length);
    if (chunk >= first + n) {
      first += n;
      continue;
    }
    const uint64_t at = (chunk - first) * kPageChunk;
    uint64_t sum;
    memcpy(&sum, bytes + h.sections[S_CHUNK_SUMS].offset + chunk * sizeof sum, sizeof sum);
    return sum == sdb_checksum(bytes + sec.offset + at, std::min(kPageChunk, sec.length - at));
  }
  return false;
}

bool sdb_derived_id_chunk_intact(const unsigned char *bytes, const header &h, uint64_t chunk) {
  const section &table = h.sections[S_ID_TABLE];
  const uint64_t at = chunk * kPageChunk;
  uint64_t sum;
  memcpy(&sum, bytes + h.sections[S_ID_SUMS].offset + chunk * sizeof sum, sizeof sum);
  return sum == sdb_checksum(bytes + table.offset + at, std::min(kPageChunk, table.length - at));
}

bool sdb_derived_section_intact(const unsigned char *bytes, const header &h, uint32_t s) {
  const section &sec = h.sections[s];
  if (!chunked(s)) {
    sdb_map_read_ahead(bytes + sec.offset, sec.length);
    return sec.sum == sdb_checksum(bytes + sec.offset, sec.length);
  }
  if (s == S_ID_TABLE) {
    if (!sdb_derived_section_intact(bytes, h, S_ID_SUMS)) return false;
    for (uint64_t c = 0; c < chunks_of(sec.length); c++)
      if (!sdb_derived_id_chunk_intact(bytes, h, c)) return false;
    return true;
  }
  if (!sdb_derived_section_intact(bytes, h, S_CHUNK_SUMS)) return false;
  const uint64_t first = sdb_derived_first_chunk(h, s);
  for (uint64_t c = first; c < first + chunks_of(sec.length); c++)
    if (!sdb_derived_chunk_intact(bytes, h, c)) return false;
  return true;
}

unsigned char *sdb_derived_map(const char *name, uint64_t *size) {
  char rel[SDB_REL_PATH_SIZE];
  if (!sdb_file_path(rel, name, SDB_DERIVED_FILE)) return nullptr;
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return nullptr;
  struct stat st;
  void *map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kHeaderSize))
    map = sdb_map_file(fd, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE);
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  *size = static_cast<uint64_t>(st.st_size);
  return static_cast<unsigned char *>(map);
}

bool sdb_file_identity_settled(const sdb_file_identity &f) {
  // Unsigned, as a crafted file may hold any two times.
  const uint64_t since = static_cast<uint64_t>(f.stat_ns) - static_cast<uint64_t>(f.ctime_ns);
  return f.ctime_ns < f.stat_ns && since > static_cast<uint64_t>(SDB_SETTLED_NS);
}

bool sdb_file_identity_same(const sdb_file_identity &a, const sdb_file_identity &b) {
  return a.dev == b.dev && a.ino == b.ino && a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

sdb_file_identity sdb_recorded_identity(const header &h) {
  return sdb_file_identity{h.docs_dev, h.docs_ino, h.docs_mtime_ns, h.docs_ctime_ns,
                           h.docs_stat_ns};
}

int64_t sdb_clock_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void sdb_file_identity_of(const struct stat &st, int64_t stat_ns, sdb_file_identity *out) {
  *out =
      sdb_file_identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec,
                        int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec, stat_ns};
}

bool sdb_docs_take(sdb_index *ix, const unsigned char *bytes, const header &h,
                   uint32_t docs_block) {
  const sdb_entry_block &block = ix->blocks[docs_block];
  const auto *records = reinterpret_cast<const doc_record *>(bytes + h.sections[S_DOCS].offset);
  const char *ids = reinterpret_cast<const char *>(bytes + h.sections[S_IDS].offset);
  if (h.located != h.doc_count || !sdb_index_reserve(ix, h.doc_count)) return false;
  // The ids are used where they lie: the index keeps the mapping.
  ix->lent_ids = ids;
  ix->lent_ids_len = h.id_bytes;
  // Each record is checked before it is put: an entry, its byte after and
  // its text all inside docs.json, so that no use of them can reach past
  // it, and its id ending inside the section.
  uint64_t id_at = 0;
  for (uint32_t slot = 0; slot < h.doc_count; slot++) {
    const doc_record &r = records[slot];
    const uint64_t id_len = id_length(ids, h.id_bytes, id_at, r);
    if (r.entry >= block.size || r.entry_len >= block.size - r.entry ||
        uint64_t{r.raw_off} + 2 > r.entry_len || r.raw_len > r.entry_len - r.raw_off - 2 ||
        id_len == 0)
      return false;
    sdb_index_put_lent(ix, ids + id_at, block.bytes + r.entry, r.entry_len, r.raw_off, r.raw_len,
                       docs_block);
    id_at += id_len + 1;
  }
  return id_at == h.id_bytes;
}

namespace {

bool same_identity(const header &h, const sdb_file_identity &now, uint64_t size) {
  const sdb_file_identity recorded = sdb_recorded_identity(h);
  return h.docs_size == size && sdb_file_identity_same(recorded, now) &&
         sdb_file_identity_settled(recorded);
}

// Fills ix (new) from the derived file at bytes and docs.json at docs_rel,
// when one proves the other. False when they do not or memory ran out.
bool load_mapped(sdb_index *ix, unsigned char *bytes, uint64_t size, const char *docs_rel) {
  header h;
  if (!sdb_derived_header_read(bytes, size, &h) || h.doc_count == 0 || h.located != h.doc_count)
    return false;
  const int fd = sdb_open_regular(docs_rel);
  if (fd < 0) return false;
  struct stat st {};
  sdb_file_identity now{}, after{};
  void *docs = MAP_FAILED;
  const int64_t stat_ns = sdb_clock_ns();
  if (fstat(fd, &st) == 0) sdb_file_identity_of(st, stat_ns, &now);
  const auto docs_size = static_cast<uint64_t>(st.st_size);
  // Proven by its identity, or, when that cannot prove it (it changed
  // too recently, or was copied), by its checksum: read once, as it stood
  // then. The documents' sections are checked only for the docs.json they
  // describe: after a change the load goes on through the change record.
  const bool proven = st.st_size > 0 && same_identity(h, now, docs_size);
  const auto read_as_described = [&] {
    uint64_t sum = 0;
    if (!sdb_read_through(fd, docs_size, &sum, nullptr, nullptr, &ix->file_marks) ||
        sum != h.docs_sum || fstat(fd, &st) != 0)
      return false;
    sdb_file_identity_of(st, stat_ns, &after);
    return sdb_file_identity_same(now, after) && static_cast<uint64_t>(st.st_size) == docs_size;
  };
  if (st.st_size > 0 && h.docs_size == docs_size && sdb_derived_section_intact(bytes, h, S_DOCS) &&
      sdb_derived_section_intact(bytes, h, S_IDS) && (proven || read_as_described()))
    docs = sdb_map_file(fd, static_cast<size_t>(docs_size), PROT_READ);
  close(fd);
  if (docs == MAP_FAILED) return false;
  const uint32_t block = sdb_block_add(ix, static_cast<char *>(docs), h.docs_size, true);
  if (block == SDB_NO_SLOT) {
    munmap(docs, h.docs_size);
    return false;
  }
  if (!sdb_docs_take(ix, bytes, h, block)) return false;
  // The records are read only here and an id again only when it is looked
  // up: their pages go back to the page cache, to be read again when
  // touched (none of them is ever written), out of this process's memory.
  const long page = sysconf(_SC_PAGESIZE);
  const auto start = reinterpret_cast<uintptr_t>(bytes + h.sections[S_DOCS].offset);
  const auto end = reinterpret_cast<uintptr_t>(bytes + h.sections[S_IDS].offset + h.id_bytes);
  const uintptr_t from = (start + static_cast<uintptr_t>(page) - 1) & ~uintptr_t(page - 1);
  const uintptr_t to = end & ~uintptr_t(page - 1);
  if (page > 0 && to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
  ix->docs_size = h.docs_size;
  ix->docs_sum = h.docs_sum;
  // Read to prove it, it is the identity this load saw that a later write
  // may record (sdb_index_ready).
  ix->docs_identity = proven ? sdb_recorded_identity(h) : now;
  ix->docs_block = block;
  ix->docs_known = true;
  ix->built = false;
  return true;
}

}  // namespace

sdb_index *sdb_load_beside_derived(const char *name, const char *key, const char *docs_rel,
                                   sdb_derived_fill fill) {
  uint64_t size = 0;
  unsigned char *bytes = sdb_derived_map(name, &size);
  if (bytes == nullptr) return nullptr;
  // Whatever fails here only sends the load the usual way.
  const sdb_first_failure before;
  sdb_index *ix = sdb_index_new(name, key);
  if (ix == nullptr || !fill(ix, bytes, size, docs_rel)) {
    sdb_index_free(ix);
    munmap(bytes, size);
    before.restore();
    return nullptr;
  }
  // The dictionary is taken from the same mapping when it is first needed.
  ix->mapped = bytes;
  ix->mapped_len = size;
  return ix;
}

sdb_index *sdb_docs_load_mapped(const char *name, const char *key, const char *docs_rel) {
  sdb_index *ix = sdb_load_beside_derived(name, key, docs_rel, load_mapped);
  if (ix != nullptr) {
    ix->file_size = ix->docs_size;
    ix->file_sum = ix->docs_sum;
    ix->file_known = true;
    ix->file_identity = ix->docs_identity;
    ix->file_base = ix->blocks[ix->docs_block].bytes;
  }
  return ix;
}
