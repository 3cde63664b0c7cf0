#include "stored_documents.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>

#include "index/entry.h"
#include "storage/docs_scan.h"

namespace cli {
namespace {

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

// The whole file at path, NUL-terminated as the reader needs; false with
// errno set. A missing file reads as empty with *missing set.
bool read_whole(const std::string &path, std::string *text, bool *missing) {
  *missing = false;
  file_ptr file(fopen(path.c_str(), "rb"), fclose);
  if (!file) {
    *missing = errno == ENOENT;
    return *missing;
  }
  char chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file.get())) > 0) text->append(chunk, n);
  return !ferror(file.get());
}

// A decoded string the reader's scan found, as a std::string.
std::string decoded(const char *s, uint64_t n) {
  uint64_t len = 0;
  char *text = sdb_decode_string(s, n, &len);
  if (text == nullptr) throw std::bad_alloc();
  std::string out(text, len);
  free(text);
  return out;
}

// Keeps one document per id, in the place of its first entry, with the
// text of its last. Sorting, rather than hashing, keeps the cost n log n
// whatever ids the file holds.
void settle_repeated_ids(std::vector<stored_document> *docs) {
  std::vector<size_t> order(docs->size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return (*docs)[a].id < (*docs)[b].id; });
  std::vector<bool> keep(docs->size(), true);
  for (size_t i = 1, first = 0; i < order.size(); ++i) {
    if ((*docs)[order[i]].id != (*docs)[order[first]].id) {
      first = i;
      continue;
    }
    (*docs)[order[first]].text = std::move((*docs)[order[i]].text);
    keep[order[i]] = false;
  }
  size_t kept = 0;
  for (size_t i = 0; i < docs->size(); ++i) {
    if (!keep[i]) continue;
    if (kept != i) (*docs)[kept] = std::move((*docs)[i]);
    ++kept;
  }
  docs->resize(kept);
}

}  // namespace

bool read_stored_documents(const std::string &path, stored_file *file, std::string *error) {
  *file = stored_file{};
  std::string bytes;
  bool missing;
  if (!read_whole(path, &bytes, &missing)) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  if (missing) return true;
  sdb_stored_docs docs{};
  switch (sdb_scan_stored_docs(bytes.c_str(), bytes.size(), &docs)) {
    case SDB_SCAN_OK:
      break;
    case SDB_SCAN_DAMAGED:
      file->damaged = true;
      return true;
    case SDB_SCAN_NO_MEMORY:
      throw std::bad_alloc();
  }
  std::unique_ptr<sdb_stored_docs, decltype(&sdb_stored_docs_free)> hold(&docs,
                                                                         sdb_stored_docs_free);
  file->skipped = docs.skipped;
  file->documents.reserve(docs.count);
  for (uint64_t i = 0; i < docs.count; i++) {
    const sdb_stored_doc &d = docs.docs[i];
    std::string text;
    if (d.entry != nullptr) {
      text.resize(sdb_entry_escaped_length(d.entry_len, d.raw_off) + 1);
      text.resize(sdb_entry_decode(d.entry, d.entry_len, d.raw_off, text.data(), text.size()));
    } else {
      text = decoded(d.raw, d.raw_escaped_len);
    }
    file->documents.push_back({decoded(d.id, d.id_len), std::move(text)});
  }
  settle_repeated_ids(&file->documents);
  return true;
}

}  // namespace cli
