#include "storage/column_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "base/holders.h"
#include "base/memory.h"
#include "index/columns.h"
#include "index/index.h"
#include "storage/derived.h"
#include "storage/files.h"
#include "storage/layout.h"
#include "storage/store.h"

namespace {

constexpr unsigned char kMagic[8] = {'s', 'd', 'b', 'c', 'o', 'l', 's', '\n'};
constexpr uint32_t kVersion = 1;

// A change carries the columns along (reads and writes them) only while
// they come to at most one part in kCarryShare of docs.json, which it
// writes whole anyway (a few columns cost a change a few percent), or to
// kCarryAlways bytes, which cost next to nothing.
constexpr uint64_t kCarryShare = 4;
constexpr uint64_t kCarryAlways = 1 << 20;

uint64_t carried_at_most(const sdb_index *ix) {
  return std::max(ix->file_size / kCarryShare, kCarryAlways);
}

struct columns_header {
  unsigned char magic[8];
  uint32_t version;
  uint32_t columns;
  uint64_t docs_size;
  uint64_t docs_sum;
  uint32_t live;
  uint32_t zero;
  uint64_t body_len;
  uint64_t body_sum;
  uint64_t header_sum;  // of the header with this field 0
};
constexpr uint64_t kColumnsHeader = sizeof(columns_header);

uint64_t header_sum_of(columns_header h) {
  h.header_sum = 0;
  return sdb_checksum(&h, sizeof h);
}

// Reads n bytes at offset at of fd into to; false on any failure or a
// short file.
bool read_at(int fd, void *to, uint64_t n, uint64_t at) {
  auto *p = static_cast<unsigned char *>(to);
  while (n > 0) {
    const ssize_t got = pread(fd, p, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    at += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

// The body of ix's columns file (*len bytes, from malloc), when the file is
// intact, written for ix's documents as they are, and its body at most
// max_len bytes; nullptr otherwise, *count receiving its columns.
unsigned char *read_body(const sdb_index *ix, uint64_t max_len, uint64_t *len, uint32_t *count) {
  char rel[SDB_REL_PATH_SIZE];
  if (!ix->file_known || !sdb_file_path(rel, ix->name, SDB_COLUMNS_FILE)) return nullptr;
  const int fd = sdb_open_regular(rel);
  if (fd < 0) return nullptr;
  columns_header h{};
  struct stat st;
  unsigned char *body = nullptr;
  const bool described = fstat(fd, &st) == 0 && read_at(fd, &h, sizeof h, 0) &&
                         memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version == kVersion &&
                         h.header_sum == header_sum_of(h) && h.docs_size == ix->file_size &&
                         h.docs_sum == ix->file_sum && h.live == sdb_index_live_slots(ix) &&
                         static_cast<uint64_t>(st.st_size) == kColumnsHeader + h.body_len &&
                         h.body_len > 0 && h.body_len <= max_len;
  if (described &&
      (body = static_cast<unsigned char *>(sdb_alloc_touched(h.body_len))) != nullptr &&
      (!read_at(fd, body, h.body_len, kColumnsHeader) ||
       sdb_checksum(body, h.body_len) != h.body_sum)) {
    free(body);
    body = nullptr;
  }
  close(fd);
  *len = h.body_len;
  *count = h.columns;
  return body;
}

// Takes from ix's columns file those of paths[0 .. n) that ix lacks (with
// paths nullptr, every column in it), when its body is at most max_len
// bytes. False when memory ran out.
bool take_kept(sdb_index *ix, const sdb_path *paths, uint32_t n, uint64_t max_len) {
  uint32_t lacking = 0;
  for (uint32_t i = 0; paths != nullptr && i < n; i++) lacking += !sdb_columns_has(ix, paths[i]);
  if (paths != nullptr && lacking == 0) return true;
  uint64_t len = 0;
  uint32_t count = 0;
  sdb_text_ptr held(reinterpret_cast<char *>(read_body(ix, max_len, &len, &count)));
  const auto *body = reinterpret_cast<const unsigned char *>(held.get());
  if (body == nullptr) return true;
  uint64_t at = 0;
  for (uint32_t k = 0; k < count; k++) {
    uint64_t size;
    if (len - at < sizeof size) return true;
    memcpy(&size, body + at, sizeof size);
    at += sizeof size;
    if (len - at < size) return true;
    const unsigned char *packed = body + at;
    at += size;
    sdb_path path;
    if (!sdb_packed_path(packed, size, &path)) return true;
    bool wanted = paths == nullptr;
    for (uint32_t i = 0; i < n && !wanted; i++)
      wanted = paths[i].len == path.len && memcmp(paths[i].bytes, path.bytes, path.len) == 0;
    if (!wanted || sdb_columns_has(ix, path)) continue;
    bool oom = false;
    sdb_column *c = sdb_column_unpack(ix, packed, size, &oom);
    if (oom) return false;
    // A column that does not unpack is built, as are all after it.
    if (c == nullptr) return true;
    if (!sdb_columns_adopt(ix, c)) {
      sdb_column_free(c);
      return true;
    }
  }
  return true;
}

// Writes every column ix keeps as its columns file, when they come to at
// most max_len bytes. Returns 0, -1 or 1 as a commit.
int write_kept(const sdb_index *ix, uint64_t max_len) {
  char rel[SDB_REL_PATH_SIZE];
  const sdb_columns *cols = ix->columns;
  if (cols == nullptr || cols->count == 0 || !sdb_file_path(rel, ix->name, SDB_COLUMNS_FILE))
    return -1;
  unsigned char *packed[SDB_COLUMNS_KEPT] = {};
  uint64_t sizes[SDB_COLUMNS_KEPT];
  columns_header h{};
  memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.columns = cols->count;
  h.docs_size = ix->file_size;
  h.docs_sum = ix->file_sum;
  h.live = sdb_index_live_slots(ix);
  sdb_checksum_stream sum;
  bool ok = true;
  for (uint32_t k = 0; ok && k < cols->count; k++) {
    ok = (packed[k] = sdb_column_pack(ix, cols->items[k], &sizes[k])) != nullptr;
    if (!ok) break;
    sum.add(&sizes[k], sizeof sizes[k]);
    sum.add(packed[k], sizes[k]);
    h.body_len += sizeof sizes[k] + sizes[k];
  }
  int rc = -1;
  ok = ok && h.body_len <= max_len;
  sdb_replace r;
  if (ok && sdb_replace_begin(&r, rel) == 0) {
    h.body_sum = sum.value();
    h.header_sum = header_sum_of(h);
    struct iovec pieces[1 + 2 * SDB_COLUMNS_KEPT];
    int count = 0;
    pieces[count++] = iovec{&h, sizeof h};
    for (uint32_t k = 0; k < cols->count; k++) {
      pieces[count++] = iovec{&sizes[k], sizeof sizes[k]};
      pieces[count++] = iovec{packed[k], sizes[k]};
    }
    sdb_replace_write(&r, pieces, count);
    // A file cut short by a power cut fails its checksums and is built again.
    rc = sdb_replace_commit(&r, false);
  }
  for (uint32_t k = 0; k < cols->count; k++) free(packed[k]);
  return rc;
}

}  // namespace

bool sdb_columns_get_kept(sdb_index *ix, const sdb_path *paths, uint32_t n, sdb_column **out) {
  if (!take_kept(ix, paths, n, UINT64_MAX)) return false;
  uint32_t built = 0;
  if (!sdb_columns_get(ix, paths, n, out, SDB_COLUMNS_SCAN, &built)) return false;
  // A request writes the columns whatever their size: it is done once.
  auto write_all = [](const sdb_index *of, void *) { return write_kept(of, UINT64_MAX); };
  if (built > 0 && ix->file_known) sdb_cache_write_when_allowed(ix, write_all, nullptr);
  return true;
}

void sdb_column_file_carry(sdb_index *ix) {
  if ((ix->columns != nullptr && ix->columns->count > 0) || sdb_store_read_only()) return;
  const sdb_first_failure before;
  (void)take_kept(ix, nullptr, 0, carried_at_most(ix));
  before.restore();
}

void sdb_column_file_follow(const sdb_index *ix) {
  if (ix->columns == nullptr || ix->columns->count == 0 || !ix->file_known || sdb_store_read_only())
    return;
  const sdb_first_failure before;
  (void)write_kept(ix, carried_at_most(ix));
  before.restore();
}

void sdb_column_file_seal(unsigned char *bytes, uint64_t size, uint64_t docs_size,
                          uint64_t docs_sum, uint32_t live) {
  if (size < kColumnsHeader) return;
  columns_header h;
  memcpy(&h, bytes, sizeof h);
  h.docs_size = docs_size;
  h.docs_sum = docs_sum;
  h.live = live;
  h.body_len = size - kColumnsHeader;
  h.body_sum = sdb_checksum(bytes + kColumnsHeader, h.body_len);
  h.header_sum = header_sum_of(h);
  memcpy(bytes, &h, sizeof h);
}
