// `searchdb export`: every document's stored text, one a line, in stored
// order. No export lists documents and a search reaches only documents that
// hold a query word, so the documents are read from the index's stored file,
// with the library's own reader of that file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli.h"
#include "frame/hashing.h"
#include "interrupt.h"
#include "storage/entries.h"
#include "storage/layout.h"

namespace cli {
namespace {

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

// Stored ids come from whoever added the documents; the standard hash of a
// text is the same in every run, so ids could be picked to share a bucket
// and make reading them quadratic.
struct id_hash {
  size_t operator()(const std::string &id) const { return sdb_table_hash(id.data(), id.size()); }
};

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

// Reads the texts of the documents an index holds from its documents file,
// the way the library loads them: elements that are not documents are
// passed over, and a later entry with an id seen before replaces the
// earlier one's text in its place. A missing file is an index without
// documents. Returns false with a message.
bool read_stored_documents(const std::string &path, std::vector<std::string> *texts,
                           std::string *error) {
  std::string file;
  bool missing;
  if (!read_whole(path, &file, &missing)) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  if (missing) return true;
  sdb_stored_docs docs{};
  switch (sdb_scan_stored_docs(file.c_str(), file.size(), &docs)) {
    case SDB_SCAN_OK:
      break;
    case SDB_SCAN_DAMAGED:
      *error = path + ": not a JSON array";
      return false;
    case SDB_SCAN_NO_MEMORY:
      throw std::bad_alloc();
  }
  std::unique_ptr<sdb_stored_docs, decltype(&sdb_stored_docs_free)> hold(&docs,
                                                                         sdb_stored_docs_free);
  std::unordered_map<std::string, size_t, id_hash> place_of;
  for (uint64_t i = 0; i < docs.count; i++) {
    const sdb_stored_doc &d = docs.docs[i];
    std::string text;
    if (d.entry != nullptr) {
      text.resize(sdb_entry_escaped_length(d.entry_len, d.raw_off) + 1);
      text.resize(sdb_entry_decode(d.entry, d.entry_len, d.raw_off, text.data(), text.size()));
    } else {
      text = decoded(d.raw, d.raw_escaped_len);
    }
    auto [place, is_new] = place_of.emplace(decoded(d.id, d.id_len), texts->size());
    if (is_new) {
      texts->push_back(std::move(text));
    } else {
      (*texts)[place->second] = std::move(text);
    }
  }
  return true;
}

}  // namespace

int run_export(session *s, const invocation &inv) {
  std::string unused;
  if (!primary_key_of(inv.index, &unused)) {
    fprintf(stderr, "searchdb: export: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  std::vector<std::string> texts;
  std::string error;
  const std::string path = s->dir + "/" + inv.index + "/" + SDB_DOCUMENTS_FILE;
  if (!read_stored_documents(path, &texts, &error)) {
    fprintf(stderr, "searchdb: export: %s\n", error.c_str());
    return exit_refused;
  }
  bool to_stdout = !inv.has_argument || inv.argument == "-";
  file_ptr file(to_stdout ? nullptr : fopen(inv.argument.c_str(), "wb"), fclose);
  if (!to_stdout && !file) {
    fprintf(stderr, "searchdb: export: %s: %s\n", inv.argument.c_str(), strerror(errno));
    return exit_refused;
  }
  FILE *out = to_stdout ? stdout : file.get();
  size_t written = 0;
  for (const std::string &text : texts) {
    if (interrupted()) return stopped(inv);
    fwrite(text.data(), 1, text.size(), out);
    fputc('\n', out);
    ++written;
  }
  if (fflush(out) != 0 || ferror(out)) {
    fprintf(stderr, "searchdb: export: %s: %s\n",
            to_stdout ? "standard output" : inv.argument.c_str(), strerror(errno));
    return exit_refused;
  }
  if (!to_stdout) {
    if (fclose(file.release()) != 0) {
      fprintf(stderr, "searchdb: export: %s: %s\n", inv.argument.c_str(), strerror(errno));
      return exit_refused;
    }
    printf("exported %zu document%s from '%s' to %s\n", written, written == 1 ? "" : "s",
           inv.index.c_str(), inv.argument.c_str());
  }
  return exit_ok;
}

}  // namespace cli
