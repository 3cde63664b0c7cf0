// Damaged and crafted columns files (storage/column_file.h) of an index
// whose document table has a dead slot among its live ones.
//
// The input edits the columns file the index's requests wrote (as
// fuzz_support.h's damaged_copy reads it); flags byte 1 seals the result
// (its checksums made to match, and the documents it was written for made
// these), so that the checks of each column behind them are reached.
//
// Properties checked for every input:
//  - taking columns from the bytes never reads outside them (the
//    sanitizers' part) and every request still answers, as does every
//    request after a change that carried them along (a document replaced
//    by itself, so that the documents stay those the reference saw);
//  - bytes not sealed, unless they are the good file's, are passed over:
//    the answers are exactly those of columns built from the documents;
//  - the good file, sealed or not, answers exactly as a build too.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/registry.h"
#include "fuzz_support.h"
#include "index/columns.h"
#include "index/index.h"
#include "storage/column_file.h"

namespace {

std::string g_dir;
std::string g_good;
std::string g_reference;

// Every kind of value a column holds, repeated and nested, strings with
// escapes and without bytes; "d3" is deleted, leaving a dead slot.
const char *const kDocs =
    R"([{"id":"d1","title":"red apple","n":1,"s":"a\"b","tags":["x","y",2],"o":{"k":"v"}},)"
    R"({"id":"d2","title":"green apple","n":2.5,"s":"","tags":"x","o":[{"k":1},{"k":"v"}]},)"
    R"({"id":"d3","title":"gone","n":9},)"
    R"({"id":"d4","title":"stone","n":-1,"s":"\u00e9","tags":[],"o":{"k":null},"b":true},)"
    R"({"id":"d5","title":"red stone","n":null,"tags":[true,false,null],"b":false}])";

// The stored text of d4, added again as it is.
const char *const kSame =
    R"({"id":"d4","title":"stone","n":-1,"s":"\u00e9","tags":[],"o":{"k":null},"b":true})";

const char *const kRequests[] = {
    R"({"fields":["id"],"filter":{"field":"n","op":"gte","value":0},"facets":["tags","s"],)"
    R"("sort":[{"field":"n","order":"desc"}]})",
    R"({"q":"red","fields":["id"],"filter":{"field":"o.k","op":"exists"},"facets":["b"],)"
    R"("sort":[{"field":"s","order":"asc"}]})",
    R"({"q":"stone aple","rank":"typo_aware","fields":["id"],"facets":["o.k","n"]})",
    R"({"fields":["id"],"filter":{"field":"tags","op":"in","value":["x",2,null]}})",
};

// The answers of every request; *unanswered tells whether one failed.
std::string answers(bool *unanswered) {
  *unanswered = false;
  std::string seen;
  for (const char *r : kRequests) {
    const char *answer = searchdb_search_request("a", r);
    *unanswered = *unanswered || strcmp(answer, "null") == 0;
    seen += answer;
  }
  return fuzz::without_time(seen);
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_dir = fuzz::make_storage_root("column_file");
  FUZZ_CHECK(searchdb_init(g_dir.c_str()) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_index_create("a", nullptr) == 0, searchdb_last_error());
  FUZZ_CHECK(searchdb_documents_add("a", kDocs) == 5, searchdb_last_error());
  FUZZ_CHECK(searchdb_document_delete("a", "d3") == 0, searchdb_last_error());
  // Columns built from the documents, which the requests write.
  bool unanswered;
  g_reference = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  std::ifstream in(g_dir + "/a/docs.cols", std::ios::binary);
  g_good.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  FUZZ_CHECK(!g_good.empty(), "no columns file written");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags;
  std::vector<unsigned char> bytes = fuzz::damaged_copy(data, size, g_good, &flags);
  sdb_index *ix = sdb_index_find("a");
  FUZZ_CHECK(ix != nullptr && ix->file_known, "index a lost its documents file");
  uint32_t live = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) live += ix->docs[slot].alive != 0;
  if (flags & 1)
    sdb_column_file_seal(bytes.data(), bytes.size(), ix->file_size, ix->file_sum, live);
  const bool good = std::string(bytes.begin(), bytes.end()) == g_good;
  write_file(g_dir + "/a/docs.cols", bytes);
  // The next request takes every column it names from the file, or builds.
  sdb_columns_drop(ix);
  bool unanswered;
  const std::string seen = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  if (good || !(flags & 1)) FUZZ_CHECK(seen == g_reference, "answers differ from a build's");
  // Again with the file, through a change that takes every column from it.
  write_file(g_dir + "/a/docs.cols", bytes);
  sdb_columns_drop(ix);
  FUZZ_CHECK(searchdb_documents_add("a", kSame) == 1, searchdb_last_error());
  const std::string after = answers(&unanswered);
  FUZZ_CHECK(!unanswered, searchdb_last_error());
  if (good || !(flags & 1)) FUZZ_CHECK(after == g_reference, "answers differ after a change");
  return 0;
}
