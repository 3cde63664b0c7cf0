// The API's routes: one per library function, the arguments each takes, the
// call it makes and the status a refusal gets. Adding a library function to
// the API is one entry in kRoutes and one case in run_call.
#include <climits>
#include <cstring>
#include <string>

#include "cli.h"
#include "searchdb.h"
#include "serve.h"

namespace serve {
namespace {

// ---- The route table ----

constexpr param kIndex = {"index", true, &call_args::index, nullptr, nullptr};
constexpr param kId = {"id", true, &call_args::id, nullptr, nullptr};

const std::vector<route> kRoutes = {
    {"indexes_list", call_kind::indexes_list, false, false, {}},
    {"index_stats", call_kind::index_stats, false, false, {kIndex}},
    {"document_get", call_kind::document_get, false, false, {kIndex, kId}},
    {"search",
     call_kind::search,
     false,
     false,
     {kIndex,
      {"query", true, &call_args::query, nullptr, nullptr},
      {"limit", false, nullptr, &call_args::limit, &call_args::has_limit},
      {"offset", false, nullptr, &call_args::offset, nullptr}}},
    {"search_request", call_kind::search_request, false, true, {kIndex}},
    {"index_create",
     call_kind::index_create,
     true,
     false,
     {kIndex,
      {"primary_key", false, &call_args::primary_key, nullptr, &call_args::has_primary_key}}},
    {"index_delete", call_kind::index_delete, true, false, {kIndex}},
    {"documents_add", call_kind::documents_add, true, true, {kIndex}},
    {"document_delete", call_kind::document_delete, true, false, {kIndex, kId}},
};

template <typename F>
void for_each_param(const route &r, F f) {
  for (const param &p : r.params) {
    if (p.name == nullptr) break;
    f(p);
  }
}

// ---- Refusals ----

bool starts_with(const std::string &text, const char *prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

bool ends_with(const std::string &text, const char *suffix) {
  size_t n = strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Messages of a store that could not do what it was asked: it ran out of
// memory, or a file could not be read, written or locked.
const char *const kStorageFailures[] = {
    "oom",   "fopen ",   "fwrite ",    "fsync ", "fclose ",          "rename ",
    "read ", "storage ", "set aside ", "lock ",  "result too large", "yyjson: ",
};

// The status of a refused call, from the library's message: the messages
// are a contract, and those naming an argument are matched whole.
int refusal_status(const call_args &a, const std::string &message) {
  if (message == "index '" + a.index + "' not found") return 404;
  if (message == "document '" + a.id + "' not found" ||
      message == "document '" + a.id + "' deleted")
    return 404;
  if (message == "index '" + a.index + "' already exists") return 409;
  if (starts_with(message, "storage '") && ends_with(message, "' is locked")) return 409;
  for (const char *prefix : kStorageFailures) {
    if (starts_with(message, prefix)) return 500;
  }
  return 400;
}

answer refused(const call_args &a) {
  std::string message = searchdb_last_error();
  if (message.empty()) message = "the library refused without giving a reason";
  return {refusal_status(a, message), error_body(message)};
}

// A text the library returned, copied, or its refusal when the text is the
// call's failure value.
answer text_answer(const char *text, const char *failure, const call_args &a) {
  if (text == nullptr || (failure != nullptr && strcmp(text, failure) == 0)) return refused(a);
  return {200, text};
}

// What a change reports: a member saying what was done, and the library's
// note when the change succeeded but left one (a file set aside, say).
answer change_answer(const char *member, const std::string &value, const std::string &before) {
  std::string body = "{" + json_quote(member) + ":" + value;
  std::string now = searchdb_last_error();
  if (!now.empty() && now != before) body += ",\"warning\":" + json_quote(now);
  return {200, body + "}"};
}

}  // namespace

const route *find_route(std::string_view name) {
  for (const route &r : kRoutes) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

bool set_argument(const route &r, std::string_view name, std::string_view value, call_args *args,
                  std::vector<const param *> *seen, std::string *problem) {
  const param *found = nullptr;
  for_each_param(r, [&](const param &p) {
    if (name == p.name) found = &p;
  });
  std::string quoted = "'" + std::string(name) + "'";
  if (found == nullptr) {
    *problem = "unknown parameter " + quoted + " for " + r.name;
    return false;
  }
  for (const param *p : *seen) {
    if (p == found) {
      *problem = "parameter " + quoted + " given twice";
      return false;
    }
  }
  if (value.find('\0') != std::string_view::npos) {
    *problem = "parameter " + quoted + " holds a NUL byte";
    return false;
  }
  if (found->count != nullptr) {
    long long n = 0;
    bool digits = !value.empty() && value.size() <= 10;
    for (char c : value) {
      digits = digits && c >= '0' && c <= '9';
      if (digits) n = n * 10 + (c - '0');
    }
    if (!digits || n > INT_MAX) {
      *problem =
          "parameter " + quoted + " must be a whole number from 0 to " + std::to_string(INT_MAX);
      return false;
    }
    args->*(found->count) = static_cast<int>(n);
  } else {
    args->*(found->text) = std::string(value);
  }
  if (found->given != nullptr) args->*(found->given) = true;
  seen->push_back(found);
  return true;
}

const param *missing_argument(const route &r, const std::vector<const param *> &seen) {
  const param *missing = nullptr;
  for_each_param(r, [&](const param &p) {
    bool given = false;
    for (const param *s : seen) given = given || s == &p;
    if (p.required && !given && missing == nullptr) missing = &p;
  });
  return missing;
}

answer run_call(const route &r, const call_args &a) {
  const char *index = a.index.c_str();
  // Only a change reports a note; a read's answer is the library's text alone.
  std::string before = r.changes ? searchdb_last_error() : "";
  switch (r.call) {
    case call_kind::indexes_list:
      return {200, searchdb_indexes_list_json()};
    case call_kind::index_stats:
      return text_answer(searchdb_index_stats_json(index), "null", a);
    case call_kind::document_get:
      return text_answer(searchdb_document_get(index, a.id.c_str()), nullptr, a);
    case call_kind::search: {
      // A page holds as many hits as the tool's search shows by default.
      int limit = a.has_limit ? a.limit : cli::invocation{}.limit;
      return text_answer(searchdb_search(index, a.query.c_str(), limit, a.offset), "null", a);
    }
    case call_kind::search_request:
      return text_answer(searchdb_search_request(index, a.body.c_str()), "null", a);
    case call_kind::index_create: {
      const char *key = a.has_primary_key ? a.primary_key.c_str() : nullptr;
      if (searchdb_index_create(index, key) != 0) return refused(a);
      return change_answer("created", json_quote(a.index), before);
    }
    case call_kind::index_delete:
      if (searchdb_index_delete(index) != 0) return refused(a);
      return change_answer("deleted", json_quote(a.index), before);
    case call_kind::documents_add: {
      int added = searchdb_documents_add(index, a.body.c_str());
      if (added < 0) return refused(a);
      return change_answer("added", std::to_string(added), before);
    }
    case call_kind::document_delete:
      if (searchdb_document_delete(index, a.id.c_str()) != 0) return refused(a);
      return change_answer("deleted", json_quote(a.id), before);
  }
  return {500, error_body("no call for this route")};
}

std::string error_body(std::string_view message) {
  return "{\"error\":" + json_quote(message) + "}";
}

std::string json_quote(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A well-formed sequence: the lead's length, continuation bytes, and no
    // overlong form, surrogate or code point past U+10FFFF.
    size_t len = c >= 0xC2 && c <= 0xDF   ? 2
                 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4
                                          : 0;
    bool ok = len != 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k)
      ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok && len > 2) {
      unsigned char second = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second > 0x9F) &&
           !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second > 0x8F);
    }
    if (ok) {
      out.append(text.data() + i, len);
      i += len;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  out += '"';
  return out;
}

}  // namespace serve
