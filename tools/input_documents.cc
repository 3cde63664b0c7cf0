#include "input_documents.h"

#include <yyjson.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <numeric>

#include "index/canonical.h"
#include "index/doc_id.h"
#include "interrupt.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

// How often the long check looks for Ctrl-C.
const size_t kInterruptEvery = 1024;

// Strict standard JSON, the same reading the library applies to what it
// gets; with flags, also the reading of one value of several.
doc_ptr parse_json(std::string_view text, yyjson_read_flag flags, yyjson_read_err *err) {
  return doc_ptr(
      yyjson_read_opts(const_cast<char *>(text.data()), text.size(), flags, nullptr, err),
      yyjson_doc_free);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

size_t skip_space(const std::string &text, size_t pos) {
  while (pos < text.size() && is_space(text[pos])) ++pos;
  return pos;
}

template <typename Number>
std::string decimal(Number n) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, n).ptr);
}

// Counts lines forward through one text, for positions that only grow.
struct line_counter {
  const std::string &text;
  size_t pos = 0;
  size_t line = 1;
  size_t line_start = 0;

  size_t line_of(size_t offset) {
    for (; pos < offset && pos < text.size(); ++pos) {
      if (text[pos] == '\n') {
        ++line;
        line_start = pos + 1;
      }
    }
    return line;
  }
};

const char *kind_of(yyjson_val *value) {
  switch (yyjson_get_type(value)) {
    case YYJSON_TYPE_OBJ:
      return "an object";
    case YYJSON_TYPE_ARR:
      return "an array";
    case YYJSON_TYPE_STR:
      return "a string";
    case YYJSON_TYPE_NUM:
      return "a number";
    case YYJSON_TYPE_BOOL:
      return "a boolean";
    default:
      return "null";
  }
}

// The number id of doc as written. Integers are read exactly; a real is
// read again as its literal, since its double may have lost digits.
std::string id_literal(yyjson_val *id, std::string_view doc_text, const std::string &key) {
  if (yyjson_is_uint(id)) return decimal(yyjson_get_uint(id));
  if (yyjson_is_sint(id)) return decimal(yyjson_get_sint(id));
  yyjson_read_err err;
  doc_ptr raw = parse_json(doc_text, YYJSON_READ_NUMBER_AS_RAW, &err);
  yyjson_val *literal = yyjson_obj_getn(yyjson_doc_get_root(raw.get()), key.data(), key.size());
  if (!yyjson_is_raw(literal)) throw std::bad_alloc();  // parsed once already
  return std::string(yyjson_get_raw(literal), yyjson_get_len(literal));
}

// Checks one document by the library's rules; returns "" when it may be
// stored, else what is wrong with it.
std::string check_document(yyjson_val *doc, std::string_view text, const input_rules &rules,
                           std::string *id) {
  if (!yyjson_is_obj(doc))
    return std::string("the document is ") + kind_of(doc) + ", not a JSON object";
  const std::string &primary_key = rules.primary_key;
  char number_buf[SDB_NUMBER_ID_SIZE];
  const char *id_text = nullptr;
  std::string key = "primary key '" + primary_key + "'";
  yyjson_val *value = yyjson_obj_getn(doc, primary_key.data(), primary_key.size());
  switch (sdb_doc_id_of(doc, primary_key.c_str(), number_buf, &id_text)) {
    case SDB_ID_OK:
      break;
    case SDB_ID_HAS_NUL:
      return key + " holds a string with a NUL byte";
    case SDB_ID_MISSING:
      if (!value) return key + " is missing";
      return key + " holds " + kind_of(value) + ", not a string or a number";
  }
  // The library names a number id by the "%.0f" text of its double: 1.5
  // and 2 would be one document, as would 2^53 and 2^53 + 1.
  if (yyjson_is_num(value) && !rules.allow_rounded_ids) {
    std::string literal = id_literal(value, text, primary_key);
    if (whole_number_text(literal, SDB_NUMBER_ID_SIZE) != id_text) {
      return "id " + literal + " would be stored as \"" + id_text +
             "\"; use a string or a whole number";
    }
  }
  uint64_t len = 0;
  std::unique_ptr<char, decltype(&free)> canonical(sdb_val_to_json(doc, &len), free);
  if (!canonical) throw std::bad_alloc();
  if (len > SDB_DOC_TEXT_MAX) {
    return "document '" + std::string(id_text) + "' is " + decimal(len) +
           " bytes as stored, over the limit of " + decimal(SDB_DOC_TEXT_MAX) + " bytes";
  }
  *id = id_text;
  return "";
}

// The texts of the count elements of the array that text holds from
// start on. The text is known to be valid JSON, so only strings and
// nesting need care.
std::vector<std::string_view> array_elements(const std::string &text, size_t start, size_t count) {
  std::vector<std::string_view> elements;
  if (count == 0) return elements;
  elements.reserve(count);
  start = text.find('[', start) + 1;
  int depth = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      for (++i; text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if ((c == ',' || c == ']') && depth == 0) {
      elements.push_back(trim(std::string_view(text).substr(start, i - start)));
      if (c == ']') break;
      start = i + 1;
    }
  }
  return elements;
}

class reader {
 public:
  reader(const std::string &text, const input_rules &rules, std::vector<input_document> *docs,
         std::string *error)
      : text_(text), rules_(rules), docs_(docs), error_(error), lines_{text} {}

  bool read() {
    size_t pos = skip_space(text_, 0);
    if (pos == text_.size()) return true;
    yyjson_read_err err;
    doc_ptr first = parse_value(pos, &err);
    if (!first) return syntax_error(pos + err.pos, err.msg);
    size_t end = pos + yyjson_doc_get_read_size(first.get());
    yyjson_val *root = yyjson_doc_get_root(first.get());
    if (yyjson_is_arr(root) && skip_space(text_, end) == text_.size()) return read_array(pos, root);
    return read_values(pos, std::move(first));
  }

 private:
  std::string place(size_t line) const { return rules_.source + ":" + decimal(line); }

  // The end of the line that holds at least `bytes` bytes from pos on.
  size_t line_end(size_t pos, size_t bytes) const {
    size_t end = text_.find('\n', std::min(pos + bytes, text_.size()));
    return end == std::string::npos ? text_.size() : end + 1;
  }

  // The value that starts at pos, read from as few whole lines as hold it:
  // the reader sizes its memory by the text it is given, so handing it the
  // rest of a long input for each of many small values would cost the
  // square of the input. A cut at a line's end cannot cut a number, so a
  // value that is not whole there reports the end of its text.
  doc_ptr parse_value(size_t pos, yyjson_read_err *err) {
    for (size_t bytes = 1;; bytes *= 2) {
      size_t end = line_end(pos, bytes);
      doc_ptr doc = parse_json(std::string_view(text_).substr(pos, end - pos),
                               YYJSON_READ_STOP_WHEN_DONE, err);
      if (doc || end == text_.size() || err->code != YYJSON_READ_ERROR_UNEXPECTED_END) return doc;
    }
  }

  bool syntax_error(size_t pos, const char *msg) {
    // Data that ends too soon ends where its last line does, not on the
    // blank lines after it.
    pos = std::min(pos, trim(text_).data() - text_.data() + trim(text_).size());
    size_t line = lines_.line_of(pos);
    *error_ = place(line) + ":" + decimal(pos - lines_.line_start + 1) + ": invalid JSON: " + msg;
    return false;
  }

  bool accept(yyjson_val *value, input_document doc) {
    std::string problem = check_document(value, doc.json, rules_, &doc.id);
    if (!problem.empty()) {
      *error_ = document_place(rules_.source, doc) + ": " + problem;
      return false;
    }
    docs_->push_back(std::move(doc));
    if (docs_->size() % kInterruptEvery == 0 && interrupted()) {
      *error_ = "interrupted";
      return false;
    }
    return true;
  }

  // One array, the whole input: its elements are the documents.
  bool read_array(size_t start, yyjson_val *array) {
    std::vector<std::string_view> elements = array_elements(text_, start, yyjson_arr_size(array));
    docs_->reserve(elements.size());
    size_t index, count;
    yyjson_val *element;
    yyjson_arr_foreach(array, index, count, element) {
      std::string_view json = elements[index];
      size_t line = lines_.line_of(static_cast<size_t>(json.data() - text_.data()));
      if (!accept(element, input_document{json, "", line, index + 1})) return false;
    }
    return true;
  }

  // Values one after another, whatever white space parts them: JSON Lines,
  // or objects printed over several lines each.
  bool read_values(size_t pos, doc_ptr parsed) {
    while (true) {
      size_t size = yyjson_doc_get_read_size(parsed.get());
      std::string_view json = trim(std::string_view(text_).substr(pos, size));
      yyjson_val *root = yyjson_doc_get_root(parsed.get());
      input_document doc{json, "", lines_.line_of(pos), 0};
      if (yyjson_is_arr(root)) {
        *error_ = document_place(rules_.source, doc) +
                  ": an array of documents must be the whole input, not one of several values";
        return false;
      }
      if (!accept(root, doc)) return false;
      pos = skip_space(text_, pos + size);
      if (pos == text_.size()) return true;
      yyjson_read_err err;
      parsed = parse_value(pos, &err);
      if (!parsed) return syntax_error(pos + err.pos, err.msg);
    }
  }

  const std::string &text_;
  const input_rules &rules_;
  std::vector<input_document> *docs_;
  std::string *error_;
  line_counter lines_;
};

// The documents whose id an earlier one has, each with the first document
// of that id. Sorting, rather than hashing, keeps the cost n log n whatever
// ids an input holds.
std::vector<repeated_id> find_repeats(const std::vector<input_document> &docs) {
  std::vector<size_t> order(docs.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return docs[a].id < docs[b].id; });
  std::vector<repeated_id> repeats;
  for (size_t i = 1, first = 0; i < order.size(); ++i) {
    if (docs[order[i]].id != docs[order[first]].id) {
      first = i;
    } else {
      repeats.push_back({order[i], order[first]});
    }
  }
  std::sort(repeats.begin(), repeats.end(),
            [](const repeated_id &a, const repeated_id &b) { return a.later < b.later; });
  return repeats;
}

}  // namespace

std::string whole_number_text(std::string_view literal, size_t max_digits) {
  size_t i = 0;
  bool negative = !literal.empty() && literal[0] == '-';
  if (negative) ++i;
  std::string digits;
  long long exponent = 0;
  bool fraction = false;
  for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
    char c = literal[i];
    if (c == '.' && !fraction) {
      fraction = true;
    } else if (c >= '0' && c <= '9') {
      digits += c;
      if (fraction) --exponent;
    } else {
      return "";
    }
  }
  if (i < literal.size()) {
    ++i;
    bool exponent_negative = i < literal.size() && literal[i] == '-';
    if (i < literal.size() && (literal[i] == '-' || literal[i] == '+')) ++i;
    if (i == literal.size()) return "";
    long long value = 0;
    for (; i < literal.size(); ++i) {
      if (literal[i] < '0' || literal[i] > '9') return "";
      // Past this the number has more digits than any id.
      value = std::min<long long>(value * 10 + (literal[i] - '0'), 1000000);
    }
    exponent += exponent_negative ? -value : value;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return "0";
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (exponent < 0 || digits.size() + static_cast<size_t>(exponent) > max_digits) return "";
  return (negative ? "-" : "") + digits + std::string(static_cast<size_t>(exponent), '0');
}

std::string document_place(const std::string &source, const input_document &doc) {
  std::string place = source + ":" + decimal(doc.line);
  if (doc.element == 0) return place;
  return place + ": element " + decimal(doc.element);
}

std::string repeat_message(const std::string &source, const std::vector<input_document> &docs,
                           const repeated_id &repeat) {
  const input_document &earlier = docs[repeat.earlier];
  std::string where = "line " + decimal(earlier.line);
  if (earlier.element > 0) where = "element " + decimal(earlier.element) + " (" + where + ")";
  return document_place(source, docs[repeat.later]) + ": id " + earlier.id + " repeats " + where +
         "; the later document is kept";
}

bool read_documents(const std::string &text, const input_rules &rules,
                    std::vector<input_document> *docs, std::vector<repeated_id> *repeats,
                    std::string *error) {
  docs->clear();
  repeats->clear();
  if (!reader(text, rules, docs, error).read()) return false;
  *repeats = find_repeats(*docs);
  return true;
}

}  // namespace cli
