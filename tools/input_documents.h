// The input of `searchdb add`: one JSON value (an object, or an array of
// objects), or JSON Lines (one object a line). The whole input is checked for
// JSON syntax before anything is sent, so a syntax error never leaves half an
// input stored; what the documents must contain is left to the library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

struct input_documents {
  // True when the input is one JSON value that is not an array. It is then
  // sent unchanged in one call, so the library judges it as the user wrote it.
  bool single_value = false;
  // One JSON text per document, in input order (empty when single_value).
  std::vector<std::string> texts;
  // The input line each document starts on; 0 when not read as JSON Lines.
  std::vector<size_t> lines;
};

// Splits text into documents. Returns false with a message naming the line
// and column of the first syntax error.
bool split_documents(const std::string &text, input_documents *out, std::string *error);

// The JSON array holding texts[first, last), as one batch for the library.
std::string batch_json(const input_documents &docs, size_t first, size_t last);

}  // namespace cli
