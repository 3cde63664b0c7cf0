#include "input_documents.h"

#include <yyjson.h>

#include <cstdlib>
#include <memory>

#include "documents/canonical.h"
#include "documents/documents.h"
#include "interrupt.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

// How often the long check looks for Ctrl-C.
const size_t kInterruptEvery = 1024;

// Strict standard JSON, the same reading the library applies to what it gets.
doc_ptr parse_json(std::string_view text, yyjson_read_err *err) {
  return doc_ptr(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, err),
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

std::string syntax_error(size_t line, size_t column, const char *msg) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) +
         ": invalid JSON: " + msg;
}

std::string syntax_error_at(const std::string &text, size_t pos, const char *msg) {
  line_counter lines{text};
  size_t line = lines.line_of(pos);
  return syntax_error(line, pos - lines.line_start + 1, msg);
}

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

// Checks one document by the library's rules; returns "" when it may be
// stored, else what is wrong with it.
std::string check_document(yyjson_val *doc, const std::string &primary_key, std::string *id) {
  if (!yyjson_is_obj(doc))
    return std::string("the document is ") + kind_of(doc) + ", not a JSON object";
  char number_buf[SDB_NUMBER_ID_SIZE];
  const char *id_text = nullptr;
  std::string key = "primary key '" + primary_key + "'";
  switch (sdb_doc_id_of(doc, primary_key.c_str(), number_buf, &id_text)) {
    case SDB_ID_OK:
      break;
    case SDB_ID_HAS_NUL:
      return key + " holds a string with a NUL byte";
    case SDB_ID_MISSING: {
      yyjson_val *value = yyjson_obj_getn(doc, primary_key.data(), primary_key.size());
      if (!value) return key + " is missing";
      return key + " holds " + kind_of(value) + ", not a string or a number";
    }
  }
  uint64_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(sdb_val_to_json(doc, &len), free);
  if (!text) throw std::bad_alloc();
  if (len > SDB_DOC_TEXT_MAX) {
    return "document '" + std::string(id_text) + "' is " + std::to_string(len) +
           " bytes as stored, over the limit of " + std::to_string(SDB_DOC_TEXT_MAX) + " bytes";
  }
  *id = id_text;
  return "";
}

bool accept(yyjson_val *value, const std::string &primary_key, input_document doc,
            std::vector<input_document> *docs, std::string *error) {
  std::string problem = check_document(value, primary_key, &doc.id);
  if (!problem.empty()) {
    *error = document_place(doc) + ": " + problem;
    return false;
  }
  docs->push_back(std::move(doc));
  if (docs->size() % kInterruptEvery == 0 && interrupted()) {
    *error = "interrupted";
    return false;
  }
  return true;
}

// The texts of the count elements of the array that text holds, in order.
// The text is known to be valid JSON, so only strings and nesting need care.
std::vector<std::string_view> array_elements(const std::string &text, size_t count) {
  std::vector<std::string_view> elements;
  if (count == 0) return elements;
  elements.reserve(count);
  size_t start = text.find('[') + 1;
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

bool read_array(const std::string &text, yyjson_val *array, const std::string &primary_key,
                std::vector<input_document> *docs, std::string *error) {
  std::vector<std::string_view> elements = array_elements(text, yyjson_arr_size(array));
  line_counter lines{text};
  docs->reserve(elements.size());
  size_t index, count;
  yyjson_val *element;
  yyjson_arr_foreach(array, index, count, element) {
    std::string_view json = elements[index];
    input_document doc{json, "", lines.line_of(static_cast<size_t>(json.data() - text.data())),
                       index + 1};
    if (!accept(element, primary_key, std::move(doc), docs, error)) return false;
  }
  return true;
}

// JSON Lines: every line that is not blank holds one value. When the first
// such line is not a value by itself, the input was meant as one JSON value,
// so the error of the whole text is the one the user needs to see.
bool read_lines(const std::string &text, const yyjson_read_err &whole_err,
                const std::string &primary_key, std::vector<input_document> *docs,
                std::string *error) {
  size_t line_no = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++line_no;
    std::string_view line = trim(std::string_view(text).substr(start, end - start));
    size_t line_start = start;
    start = end + 1;
    if (line.empty()) continue;

    yyjson_read_err err;
    doc_ptr parsed = parse_json(line, &err);
    if (!parsed) {
      if (docs->empty()) {
        *error = syntax_error_at(text, whole_err.pos, whole_err.msg);
      } else {
        size_t column = static_cast<size_t>(line.data() - text.data()) - line_start + err.pos + 1;
        *error = syntax_error(line_no, column, err.msg);
      }
      return false;
    }
    input_document doc{line, "", line_no, 0};
    if (!accept(yyjson_doc_get_root(parsed.get()), primary_key, std::move(doc), docs, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string document_place(const input_document &doc) {
  std::string line = "line " + std::to_string(doc.line);
  if (doc.element == 0) return line;
  return "element " + std::to_string(doc.element) + " (" + line + ")";
}

bool read_documents(const std::string &text, const std::string &primary_key,
                    std::vector<input_document> *docs, std::string *error) {
  docs->clear();
  std::string_view content = trim(text);
  if (content.empty()) return true;

  yyjson_read_err err;
  doc_ptr whole = parse_json(text, &err);
  if (!whole) return read_lines(text, err, primary_key, docs, error);

  yyjson_val *root = yyjson_doc_get_root(whole.get());
  if (yyjson_is_arr(root)) return read_array(text, root, primary_key, docs, error);
  if (!yyjson_is_obj(root)) {
    *error = std::string("the input is ") + kind_of(root) +
             ", not a JSON object, an array of objects or JSON Lines";
    return false;
  }
  line_counter lines{text};
  input_document doc{content, "", lines.line_of(static_cast<size_t>(content.data() - text.data())),
                     0};
  return accept(root, primary_key, std::move(doc), docs, error);
}

}  // namespace cli
