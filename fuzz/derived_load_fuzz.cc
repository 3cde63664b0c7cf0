// Damaged and crafted derived files (storage/derived.h) for an index
// loaded from fixed documents.
//
// The input edits the derived file a build of those documents writes:
//   byte 0, flags: 1 seal the result (checksums, size and documents
//     identity made to match, so that the checks behind them are reached);
//     16 with 1, seal it for another docs.json instead, so that the load
//     catches it up by the documents' own checksums;
//     2 cut it to the length in the next four bytes (modulo its size + 1);
//     4 the rest of the input is the file, not edits of the good one;
//     8 also take the documents it locates, from a copy of docs.json;
//     32 check every posting as the dictionary is taken, as a change does,
//     rather than a term at a time as searches first read them;
//   then five bytes per edit: a little-endian offset (modulo the size) and
//     a byte to exclusive-or there.
//
// Properties checked for every input:
//  - taking the dictionary from the bytes never reads or writes outside
//    them (the sanitizers' part) and never fails but by refusing;
//  - refused, the index is as before and answers exactly as a build;
//  - taken, and the bytes are those of the good file, it answers exactly
//    as a build; so does the good file sealed for another docs.json, which
//    is taken; taken otherwise (a crafted file), every search, request and
//    the statistics still answer, before and after the check of the index
//    has checked all that searches left unchecked;
//  - taking the documents it locates never reads outside docs.json, nor
//    does decoding, building from or compacting what was taken; from the
//    good file they are the documents a load of docs.json gives; every id
//    taken finds a slot that holds it, through the file's id table and
//    through the id map, which finds the first (so does the table of the
//    good file, and no id the index does not hold is found), and the index
//    gives back the ids it added but never those it uses where they lie
//    (the sanitizers' part).
//
// (The documents are taken only from a header that reads whole; whether
// docs.json's metadata lets a load trust the file is not the question
// here.)
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/registry.h"
#include "fuzz_support.h"
#include "index/build.h"
#include "index/index.h"
#include "storage/derived.h"
#include "storage/derived_format.h"
#include "storage/derived_ids.h"
#include "storage/derived_map.h"

namespace {

std::string g_dir;
std::string g_good;
std::string g_docs;
std::string g_reference;

const char *const kDocs =
    R"([{"id":"1","title":"red apple","body":"a red apple and a green one","n":1},)"
    R"({"id":"2","title":"green","body":"reader reads red reading","n":2},)"
    R"({"id":"3","title":"zebra","body":"x x x x x x x x x x x x x x x x x x x x x x x x x x x x x)"
    R"( x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x)"
    R"( x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x)"
    R"( x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x x)"
    R"( zero","n":3},{"id":"4","title":"stone story","body":"store stone x","n":4}])";

// The answers of the statistics, searches and requests; *unanswered
// tells whether any of them failed.
std::string answers(bool *unanswered) {
  *unanswered = false;
  auto take = [&](const char *answer) {
    *unanswered = *unanswered || strcmp(answer, "null") == 0;
    return std::string(answer);
  };
  std::string seen = take(searchdb_index_stats_json("a"));
  for (const char *id : {"1", "4", "5"}) {
    const char *doc = searchdb_document_get("a", id);
    seen += doc != nullptr ? doc : searchdb_last_error();
  }
  for (const char *q : {"red", "re", "x", "sto", "zebra apple", "\"red apple\"", "qq"}) {
    seen += take(searchdb_search("a", q, 10, 0));
    seen +=
        take(searchdb_search_request("a", (std::string("{\"q\":\"") + (q[0] == '"' ? "red" : q) +
                                           "\",\"sort\":[{\"field\":\"n\",\"order\":\"asc\"}],"
                                           "\"facets\":[\"n\"],\"rank\":\"typo_aware\"}")
                                              .c_str()));
  }
  return fuzz::without_time(seen);
}

sdb_index *loaded_index() {
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  sdb_index *ix = sdb_index_find("a");
  FUZZ_CHECK(ix != nullptr && !ix->built && ix->docs_known, "index a not loaded afresh");
  return ix;
}

// Takes the documents the derived file at bytes locates into an index of
// its own, over a copy of docs.json exactly its size (so that the
// sanitizers see a read past it), and uses each of them. From the good
// file they must be loaded's documents.
void take_documents(const std::vector<unsigned char> &bytes, const sdb_index *loaded, bool good) {
  sdb_derived::header h;
  if (!sdb_derived_header_read(bytes.data(), bytes.size(), &h)) return;
  sdb_index *ix = sdb_index_new("a", nullptr);
  FUZZ_CHECK(ix != nullptr, "no memory");
  auto *copy = static_cast<char *>(malloc(g_docs.size()));
  FUZZ_CHECK(copy != nullptr, "no memory");
  memcpy(copy, g_docs.data(), g_docs.size());
  const uint32_t block = sdb_block_add(ix, copy, g_docs.size());
  FUZZ_CHECK(block != SDB_NO_SLOT, "no memory");
  const bool taken = sdb_docs_take(ix, bytes.data(), h, block);
  FUZZ_CHECK(!good || taken, "the good file's documents were not taken");
  if (taken) {
    std::vector<char> text;
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      text.resize(sdb_entry_escaped_length(d.entry_len, d.raw_off) + 1);
      sdb_entry_decode(d.entry, d.entry_len, d.raw_off, text.data(), text.size());
      if (good) {
        const sdb_doc &want = loaded->docs[slot];
        FUZZ_CHECK(slot < loaded->doc_count && strcmp(d.id, want.id) == 0 &&
                       std::string(d.entry, d.entry_len + 1) ==
                           std::string(want.entry, want.entry_len + 1) &&
                       d.raw_off == want.raw_off && d.raw_len == want.raw_len,
                   "a document taken differs from the one loaded");
      }
    }
    FUZZ_CHECK(!good || ix->doc_count == loaded->doc_count, "documents taken differ in count");
    // The ids lie where the file has them; each finds a slot holding it
    // through the file's table (the first that holds it, but in a file
    // made to repeat one and pass its sums), then through the map, once
    // an id the table does not find made it (the first, always); and an
    // id added after them is the index's own, beside them.
    sdb_id_finder_attach(ix, bytes.data(), bytes.size());
    FUZZ_CHECK(!good || ix->id_finder != nullptr, "the good file's id table is not used");
    for (const bool through_table : {true, false}) {
      for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
        const uint32_t found = sdb_id_map_find(ix, ix->docs[slot].id);
        FUZZ_CHECK(found < ix->doc_count && strcmp(ix->docs[found].id, ix->docs[slot].id) == 0 &&
                       (through_table || found <= slot) && (!good || found == slot),
                   "an id taken is not found");
      }
      FUZZ_CHECK(!good || ix->ids_pending == through_table, "the good file's table went unused");
      for (const char *absent : {"", "absent", "an id longer than sixteen bytes"}) {
        const uint32_t found = sdb_id_map_find(ix, absent);
        FUZZ_CHECK(found == SDB_NO_SLOT || strcmp(ix->docs[found].id, absent) == 0,
                   "an id the index does not hold is found");
      }
    }
    if (ix->doc_count > 0) {
      const sdb_doc first = ix->docs[0];
      sdb_doc_undo undo{};
      const uint32_t added = sdb_index_put(ix, "added", first.entry, first.entry_len, first.raw_off,
                                           first.raw_len, first.block, &undo);
      FUZZ_CHECK(added == SDB_NO_SLOT || sdb_id_map_find(ix, "added") == added,
                 "an id added after those taken is not found");
    }
    ix->built = false;
    FUZZ_CHECK(sdb_index_ensure_built(ix), "a build of the documents taken failed");
    // Every entry copied out, as compaction does once changes left more
    // dead bytes than live ones.
    ix->entry_bytes += 2 * ix->live_bytes + (1 << 20);
    sdb_index_compact_entries(ix);
  }
  sdb_index_free(ix);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_dir = fuzz::make_storage_root("derived_load");
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_index_create("a", nullptr) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_documents_add("a", kDocs) == 4, searchdb_last_error());
  searchdb_cleanup();
  // A build, whose first search writes the file.
  loaded_index();
  bool unanswered;
  g_reference = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  searchdb_cleanup();
  std::ifstream in(g_dir + "/a/docs.idx", std::ios::binary);
  g_good.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::ifstream docs(g_dir + "/a/docs.json", std::ios::binary);
  g_docs.assign(std::istreambuf_iterator<char>(docs), std::istreambuf_iterator<char>());
  FUZZ_CHECK(!g_good.empty(), "no derived file written");
  // A directory in its place: from now on no file is read or written
  // there, so an input refused is answered by a build.
  std::filesystem::remove(g_dir + "/a/docs.idx");
  std::filesystem::create_directory(g_dir + "/a/docs.idx");
  // Nor a columns file: each input's requests build their columns.
  std::filesystem::remove(g_dir + "/a/docs.cols");
  std::filesystem::create_directory(g_dir + "/a/docs.cols");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags;
  std::vector<unsigned char> bytes = fuzz::damaged_copy(data, size, g_good, &flags);
  sdb_index *ix = loaded_index();
  const bool intact = std::string(bytes.begin(), bytes.end()) == g_good;
  const bool elsewhere = (flags & 17) == 17;
  if (flags & 1)
    sdb_derived_seal(bytes.data(), bytes.size(), ix->docs_size, ix->docs_sum ^ (elsewhere ? 1 : 0));
  const bool good = std::string(bytes.begin(), bytes.end()) == g_good || (intact && elsewhere);
  if ((flags & 8) && !elsewhere) take_documents(bytes, ix, good);
  // The bytes stay while the index does: it may point into them.
  const bool taken = sdb_derived_adopt(ix, bytes.data(), bytes.size(), nullptr, !(flags & 32));
  FUZZ_CHECK(taken == ix->built, "taken and built disagree");
  if (intact && elsewhere) FUZZ_CHECK(taken, "the good file for another docs.json not caught up");
  bool unanswered;
  const std::string seen = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  if (!taken || good) FUZZ_CHECK(seen == g_reference, "answers differ from a build's");
  const int checked = searchdb_index_check("a");
  FUZZ_CHECK(checked == 0 || !taken || !good, "the good file fails the check");
  const std::string after = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  if (!taken || good) FUZZ_CHECK(after == g_reference, "answers differ from a build's");
  searchdb_cleanup();
  return 0;
}
