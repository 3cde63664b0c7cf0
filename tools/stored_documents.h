// The documents an index holds, read from its documents file with the
// library's own reader of that file. No call lists an index's documents
// (a search reaches only those that hold a query word), so `export` and
// `check` read them here.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct stored_document {
  std::string id;
  std::string text;  // the stored (canonical) JSON text
};

struct stored_file {
  std::vector<stored_document> documents;  // in stored order
  bool damaged = false;                    // not JSON, or not an array: no document was read
  size_t skipped = 0;                      // elements that are not documents, passed over
};

// Reads the documents file at path the way the library loads it: elements
// that are not documents are passed over, and a later entry with an id
// seen before replaces the earlier one's text in its place. A missing file
// is an index without documents. Returns false with a message when the
// file cannot be read.
bool read_stored_documents(const std::string &path, stored_file *file, std::string *error);

}  // namespace cli
