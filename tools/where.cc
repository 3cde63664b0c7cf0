#include "where.h"

#include <memory>
#include <new>

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view t) {
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    return i > start;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

yyjson_mut_val *checked(yyjson_mut_val *value) {
  if (value == nullptr) throw std::bad_alloc();
  return value;
}

yyjson_mut_val *string_value(yyjson_mut_doc *doc, std::string_view text) {
  return checked(yyjson_mut_strncpy(doc, text.data(), text.size()));
}

void add_member(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key,
                yyjson_mut_val *value) {
  if (!yyjson_mut_obj_add(object, checked(yyjson_mut_str(doc, key)), value)) throw std::bad_alloc();
}

// Reads the JSON string that starts at text[*pos] (a double quote),
// leaving *pos after its closing quote.
bool quoted_string(std::string_view text, size_t *pos, std::string *out, std::string *error) {
  size_t end = *pos + 1;
  while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
  if (end >= text.size()) {
    *error = "the quote at " + std::string(text.substr(*pos)) + " is not closed";
    return false;
  }
  std::string literal(text.substr(*pos, end + 1 - *pos));
  doc_ptr parsed(yyjson_read(literal.data(), literal.size(), 0), yyjson_doc_free);
  yyjson_val *root = yyjson_doc_get_root(parsed.get());
  if (!yyjson_is_str(root)) {
    *error = literal + " is not a JSON string";
    return false;
  }
  out->assign(yyjson_get_str(root), yyjson_get_len(root));
  *pos = end + 1;
  return true;
}

// An unquoted value: a JSON number (kept as written), true, false or null
// when it reads as one, else the text as a string.
yyjson_mut_val *bare_value(yyjson_mut_doc *doc, std::string_view text, std::string *error) {
  if (text == "true" || text == "false") return checked(yyjson_mut_bool(doc, text == "true"));
  if (text == "null") return checked(yyjson_mut_null(doc));
  if (!is_json_number(text)) return string_value(doc, text);
  std::string literal(text);
  if (!doc_ptr(yyjson_read(literal.data(), literal.size(), 0), yyjson_doc_free)) {
    *error = literal + " is beyond the range of numbers; quote it to compare a string";
    return nullptr;
  }
  return checked(yyjson_mut_rawncpy(doc, text.data(), text.size()));
}

// One value at text[*pos], ending at the end of the text or, in a list, at
// a comma (left at *pos).
yyjson_mut_val *value_at(yyjson_mut_doc *doc, std::string_view text, size_t *pos, bool in_list,
                         std::string *error) {
  while (*pos < text.size() && is_blank(text[*pos])) ++*pos;
  if (*pos < text.size() && text[*pos] == '"') {
    std::string value;
    if (!quoted_string(text, pos, &value, error)) return nullptr;
    while (*pos < text.size() && is_blank(text[*pos])) ++*pos;
    if (*pos < text.size() && !(in_list && text[*pos] == ',')) {
      *error = "unexpected " + std::string(text.substr(*pos)) + " after the quoted value";
      return nullptr;
    }
    return string_value(doc, value);
  }
  size_t end = in_list ? text.find(',', *pos) : std::string_view::npos;
  if (end == std::string_view::npos) end = text.size();
  std::string_view bare = trim(text.substr(*pos, end - *pos));
  *pos = end;
  // "size=>5" or "size<<5" is more likely a slip than a string.
  if (!bare.empty() && std::string_view("=!<>").find(bare[0]) != std::string_view::npos) {
    *error = "the value " + std::string(bare) + " begins with '" + bare[0] +
             "'; quote it to compare a string";
    return nullptr;
  }
  return bare_value(doc, bare, error);
}

yyjson_mut_val *list_value(yyjson_mut_doc *doc, std::string_view text, std::string *error) {
  yyjson_mut_val *list = checked(yyjson_mut_arr(doc));
  if (text.empty()) return list;  // the condition's end was trimmed
  size_t pos = 0;
  while (true) {
    yyjson_mut_val *value = value_at(doc, text, &pos, true, error);
    if (!value) return nullptr;
    if (!yyjson_mut_arr_append(list, value)) throw std::bad_alloc();
    if (pos >= text.size()) return list;
    ++pos;  // the comma
  }
}

struct comparison {
  const char *token;
  const char *op;
};

// Longest first, so that "<=" is not read as "<".
const comparison kComparisons[] = {{"==", "eq"}, {"!=", "ne"}, {"<=", "lte"}, {">=", "gte"},
                                   {"=", "eq"},  {"<", "lt"},  {">", "gt"}};

const char kOperators[] = "=, !=, <, <=, >, >=, :in:, :not_in: or :exists";

yyjson_mut_val *leaf(yyjson_mut_doc *doc, std::string_view text, std::string *error) {
  size_t pos = 0;
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  std::string path;
  if (pos < text.size() && text[pos] == '"') {
    if (!quoted_string(text, &pos, &path, error)) return nullptr;
  } else {
    size_t end = text.find_first_of("=!<>:", pos);
    if (end == std::string_view::npos) end = text.size();
    path = trim(text.substr(pos, end - pos));
    pos = end;
  }
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  std::string_view rest = text.substr(pos);
  if (path.empty()) {
    *error = "no field before the operator";
    return nullptr;
  }
  if (rest.empty()) {
    *error = "no operator after the field; use " + std::string(kOperators);
    return nullptr;
  }

  yyjson_mut_val *filter = checked(yyjson_mut_obj(doc));
  add_member(doc, filter, "field", string_value(doc, path));
  for (const comparison &c : kComparisons) {
    std::string_view token(c.token);
    if (rest.substr(0, token.size()) != token) continue;
    size_t at = token.size();
    yyjson_mut_val *value = value_at(doc, rest, &at, false, error);
    if (!value) return nullptr;
    add_member(doc, filter, "op", checked(yyjson_mut_str(doc, c.op)));
    add_member(doc, filter, "value", value);
    return filter;
  }
  if (rest[0] == ':') {
    if (trim(rest.substr(1)) == "exists") {
      add_member(doc, filter, "op", checked(yyjson_mut_str(doc, "exists")));
      return filter;
    }
    for (const char *op : {"in", "not_in"}) {
      std::string token = std::string(":") + op + ":";
      if (rest.substr(0, token.size()) != token) continue;
      yyjson_mut_val *list = list_value(doc, rest.substr(token.size()), error);
      if (!list) return nullptr;
      add_member(doc, filter, "op", checked(yyjson_mut_str(doc, op)));
      add_member(doc, filter, "value", list);
      return filter;
    }
  }
  *error = "unknown operator at " + std::string(rest) + "; use " + kOperators;
  return nullptr;
}

}  // namespace

yyjson_mut_val *where_filter(yyjson_mut_doc *doc, std::string_view condition, std::string *error) {
  std::string_view text = trim(condition);
  if (!text.empty() && text[0] == '!') {
    yyjson_mut_val *inner = where_filter(doc, text.substr(1), error);
    if (!inner) return nullptr;
    yyjson_mut_val *negated = checked(yyjson_mut_obj(doc));
    add_member(doc, negated, "not", inner);
    return negated;
  }
  return leaf(doc, text, error);
}

}  // namespace cli
