#include "input_documents.h"

#include <yyjson.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

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

std::string syntax_error(size_t line, size_t column, const char *msg) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) +
         ": invalid JSON: " + msg;
}

// The message for an error at byte pos of the whole text.
std::string syntax_error_at(const std::string &text, size_t pos, const char *msg) {
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < pos && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return syntax_error(line, pos - line_start + 1, msg);
}

bool split_array(yyjson_val *array, input_documents *out, std::string *error) {
  size_t index, count;
  yyjson_val *element;
  out->texts.reserve(yyjson_arr_size(array));
  yyjson_arr_foreach(array, index, count, element) {
    size_t len = 0;
    std::unique_ptr<char, decltype(&free)> text(yyjson_val_write(element, 0, &len), free);
    if (!text) {
      *error = "element " + std::to_string(index + 1) + " of the array cannot be written";
      return false;
    }
    out->texts.emplace_back(text.get(), len);
    out->lines.push_back(0);
  }
  return true;
}

// JSON Lines: every line that is not blank holds one value. When the first
// such line is not a value by itself, the input was meant as one JSON value,
// so the error of the whole text is the one the user needs to see.
bool split_lines(const std::string &text, const yyjson_read_err &whole_err, input_documents *out,
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
    if (!parse_json(line, &err)) {
      if (out->texts.empty()) {
        *error = syntax_error_at(text, whole_err.pos, whole_err.msg);
      } else {
        size_t column = static_cast<size_t>(line.data() - text.data()) - line_start + err.pos + 1;
        *error = syntax_error(line_no, column, err.msg);
      }
      return false;
    }
    out->texts.emplace_back(line);
    out->lines.push_back(line_no);
  }
  return true;
}

}  // namespace

bool split_documents(const std::string &text, input_documents *out, std::string *error) {
  *out = input_documents{};
  if (trim(text).empty()) return true;

  yyjson_read_err err;
  doc_ptr whole = parse_json(text, &err);
  if (!whole) return split_lines(text, err, out, error);

  yyjson_val *root = yyjson_doc_get_root(whole.get());
  if (yyjson_is_arr(root)) return split_array(root, out, error);
  out->single_value = true;
  return true;
}

std::string batch_json(const input_documents &docs, size_t first, size_t last) {
  size_t size = 2;
  for (size_t i = first; i < last; ++i) size += docs.texts[i].size() + 1;
  std::string batch;
  batch.reserve(size);
  batch += '[';
  for (size_t i = first; i < last; ++i) {
    if (i > first) batch += ',';
    batch += docs.texts[i];
  }
  batch += ']';
  return batch;
}

}  // namespace cli
