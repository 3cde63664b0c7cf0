// Parsing the stored text of one document, in memory reused from document
// to document: the text is decoded from its entry into a buffer with the
// padding the JSON reader needs to parse it in place.
#pragma once

#include <yyjson.h>

#include <cstdint>

#include "index/index.h"

struct sdb_doc_reader {
  char *text;
  uint64_t cap;
  yyjson_alc *alc;  // reused by every parse; nullptr until the first
};

// Parses the stored text of the live document d. The result points into the
// reader's memory: free it (yyjson_doc_free) before the next read. nullptr
// when the text does not parse (*oom false) or memory ran out (*oom true).
yyjson_doc *sdb_doc_read(sdb_doc_reader *r, const sdb_doc *d, bool *oom);

void sdb_doc_reader_free(sdb_doc_reader *r);
