// The input of `searchdb add`: one JSON object, a JSON array of objects, or
// JSON Lines (one object a line). The whole input is checked, with the
// library's own rules, before anything is sent: every document parses, is
// an object, has an id the library takes, and is not too long to store.
// So a bad document stops the load before anything is stored, and the
// message names where it is and what is wrong with it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct input_document {
  std::string_view json;  // its text, as written in the input
  std::string id;         // its id, as the library will take it
  size_t line;            // the input line it starts on
  size_t element;         // its element number in an array; 0 otherwise
};

// Splits text into checked documents (views into text, which must outlive
// them). Returns false with a message that names the document and the
// problem, such as "line 12: primary key 'id' is missing". The check
// stops early, returning false with "interrupted", when Ctrl-C is pressed.
bool read_documents(const std::string &text, const std::string &primary_key,
                    std::vector<input_document> *docs, std::string *error);

// Where a document is, for messages: "line 12" or "element 3 (line 7)".
std::string document_place(const input_document &doc);

}  // namespace cli
