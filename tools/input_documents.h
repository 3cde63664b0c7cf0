// The input of `searchdb add`: one JSON array of objects, or objects one
// after another (JSON Lines, or the pretty-printed objects jq writes). The
// whole input is checked, with the library's own rules, before anything is
// sent: every document parses, is an object, has an id the library takes
// and stores under the number it names, and is not too long to store. So a
// bad document stops the load before anything is stored, and the message
// names where it is, as compilers do: "books.jsonl:12: primary key 'id' is
// missing".
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

struct input_rules {
  std::string source;  // the input's name in messages: a file, "<stdin>"...
  std::string primary_key;
  // Takes number ids that the library stores as another number's text
  // (1.5 as "2", 2^53 + 1 as "9007199254740992").
  bool allow_rounded_ids = false;
};

// A document whose id an earlier document of the same input has: the
// library keeps the later one, in the earlier one's place.
struct repeated_id {
  size_t later;  // indexes into the documents
  size_t earlier;
};

// Splits text into checked documents (views into text, which must outlive
// them) and lists the repeated ids. Returns false with a message that
// names the place and the problem. The check stops early, returning false
// with "interrupted", when Ctrl-C is pressed.
bool read_documents(const std::string &text, const input_rules &rules,
                    std::vector<input_document> *docs, std::vector<repeated_id> *repeats,
                    std::string *error);

// Where a document is, for messages: "FILE:12" or "FILE:7: element 3".
std::string document_place(const std::string &source, const input_document &doc);

// How a repeat is reported: "id 1 repeats line 4; the later document is
// kept", after the later document's place.
std::string repeat_message(const std::string &source, const std::vector<input_document> &docs,
                           const repeated_id &repeat);

// The decimal text of the whole number a JSON number literal names
// ("1e2" -> "100", "-0.0" -> "0"), or "" when it names no whole number or
// one of more than max_digits digits.
std::string whole_number_text(std::string_view literal, size_t max_digits);

}  // namespace cli
