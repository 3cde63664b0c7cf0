// Owners for the working memory of one call, so every early return releases
// it: heap text from malloc or yyjson's writer, parsed and mutable yyjson
// documents.
#pragma once

#include <yyjson.h>

#include <cstdlib>
#include <memory>

struct sdb_free_deleter {
  void operator()(void *p) const { free(p); }
};
struct sdb_doc_deleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct sdb_mut_doc_deleter {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

using sdb_text_ptr = std::unique_ptr<char, sdb_free_deleter>;
using sdb_doc_ptr = std::unique_ptr<yyjson_doc, sdb_doc_deleter>;
using sdb_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, sdb_mut_doc_deleter>;
