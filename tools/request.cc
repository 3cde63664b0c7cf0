#include "request.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "where.h"

namespace cli {
namespace {

using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, decltype(&yyjson_mut_doc_free)>;
using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

// The library's tags when a request names none.
const char kDefaultOpen[] = "<mark>";
const char kDefaultClose[] = "</mark>";

yyjson_mut_val *checked(yyjson_mut_val *value) {
  if (value == nullptr) throw std::bad_alloc();
  return value;
}

void add(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key, yyjson_mut_val *value) {
  if (!yyjson_mut_obj_add(object, checked(yyjson_mut_str(doc, key)), value)) throw std::bad_alloc();
}

yyjson_mut_val *text(yyjson_mut_doc *doc, const std::string &value) {
  return checked(yyjson_mut_strncpy(doc, value.data(), value.size()));
}

yyjson_mut_val *texts(yyjson_mut_doc *doc, const std::vector<std::string> &values) {
  yyjson_mut_val *array = checked(yyjson_mut_arr(doc));
  for (const std::string &value : values) {
    if (!yyjson_mut_arr_append(array, text(doc, value))) throw std::bad_alloc();
  }
  return array;
}

// "relevance", PATH (ascending), PATH:asc or PATH:desc.
yyjson_mut_val *sort_key(yyjson_mut_doc *doc, const std::string &key, std::string *error) {
  if (key == "relevance") return text(doc, key);
  std::string path = key, order = "asc";
  size_t colon = key.rfind(':');
  if (colon != std::string::npos && (key.compare(colon + 1, std::string::npos, "asc") == 0 ||
                                     key.compare(colon + 1, std::string::npos, "desc") == 0)) {
    path = key.substr(0, colon);
    order = key.substr(colon + 1);
  }
  if (path.empty()) {
    *error = "--sort '" + key + "': no field before ':" + order + "'";
    return nullptr;
  }
  yyjson_mut_val *object = checked(yyjson_mut_obj(doc));
  add(doc, object, "field", text(doc, path));
  add(doc, object, "order", text(doc, order));
  return object;
}

yyjson_mut_val *filter_of(yyjson_mut_doc *doc, const std::vector<std::string> &conditions,
                          std::string *error) {
  yyjson_mut_val *all = checked(yyjson_mut_arr(doc));
  for (const std::string &condition : conditions) {
    yyjson_mut_val *filter = where_filter(doc, condition, error);
    if (!filter) {
      *error = "--where '" + condition + "': " + *error;
      return nullptr;
    }
    if (conditions.size() == 1) return filter;
    if (!yyjson_mut_arr_append(all, filter)) throw std::bad_alloc();
  }
  yyjson_mut_val *both = checked(yyjson_mut_obj(doc));
  add(doc, both, "and", all);
  return both;
}

}  // namespace

bool is_request_search(const invocation &inv) {
  return !inv.where.empty() || !inv.sort.empty() || !inv.facets.empty() || !inv.fields.empty() ||
         inv.all_words || !inv.highlight.empty() || !inv.rank.empty() || inv.request_given ||
         inv.show_request;
}

bool build_request(const invocation &inv, const request_choices &choices, std::string *json,
                   std::string *error) {
  mut_doc_ptr owner(yyjson_mut_doc_new(nullptr), yyjson_mut_doc_free);
  yyjson_mut_doc *doc = owner.get();
  if (!doc) throw std::bad_alloc();
  yyjson_mut_val *root = checked(yyjson_mut_obj(doc));
  yyjson_mut_doc_set_root(doc, root);

  if (!inv.words.empty()) {
    std::string query;
    for (const std::string &word : inv.words) query += (query.empty() ? "" : " ") + word;
    add(doc, root, "q", text(doc, query));
  }
  add(doc, root, "limit", checked(yyjson_mut_sint(doc, inv.limit)));
  add(doc, root, "offset", checked(yyjson_mut_sint(doc, inv.offset)));
  if (!inv.where.empty()) {
    yyjson_mut_val *filter = filter_of(doc, inv.where, error);
    if (!filter) return false;
    add(doc, root, "filter", filter);
  }
  if (!inv.sort.empty()) {
    yyjson_mut_val *keys = checked(yyjson_mut_arr(doc));
    for (const std::string &key : inv.sort) {
      yyjson_mut_val *value = sort_key(doc, key, error);
      if (!value) return false;
      if (!yyjson_mut_arr_append(keys, value)) throw std::bad_alloc();
    }
    add(doc, root, "sort", keys);
  }
  if (!inv.facets.empty()) add(doc, root, "facets", texts(doc, inv.facets));
  if (!inv.fields.empty()) {
    std::vector<std::string> fields = inv.fields;
    if (!choices.id_field.empty() &&
        std::find(fields.begin(), fields.end(), choices.id_field) == fields.end())
      fields.insert(fields.begin(), choices.id_field);
    add(doc, root, "fields", texts(doc, fields));
  }
  if (inv.all_words) add(doc, root, "operator", text(doc, "and"));
  if (!inv.highlight.empty()) {
    add(doc, root, "highlight", texts(doc, inv.highlight));
    if (!choices.mark_open.empty())
      add(doc, root, "highlight_tags", texts(doc, {choices.mark_open, choices.mark_close}));
    if (inv.snippet > 0)
      add(doc, root, "snippet_words", checked(yyjson_mut_sint(doc, inv.snippet)));
  }
  if (!inv.rank.empty()) {
    // Rules are named with '_' in requests; "typo-aware" is easier to type.
    std::string rank = inv.rank;
    std::replace(rank.begin(), rank.end(), '-', '_');
    add(doc, root, "rank", text(doc, rank));
  }

  size_t len = 0;
  yyjson_write_err err;
  std::unique_ptr<char, decltype(&free)> written(yyjson_mut_write_opts(doc, 0, nullptr, &len, &err),
                                                 free);
  if (!written) {
    if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
    *error = "the query or an option is not valid UTF-8";
    return false;
  }
  json->assign(written.get(), len);
  return true;
}

hits_request display_of(const std::string &request_json) {
  hits_request shown;
  shown.mark_open = kDefaultOpen;
  shown.mark_close = kDefaultClose;
  doc_ptr doc(yyjson_read(request_json.data(), request_json.size(), 0), yyjson_doc_free);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) return shown;
  yyjson_val *query = yyjson_obj_get(root, "q");
  shown.browsing = query == nullptr || yyjson_is_null(query);
  size_t index, count;
  yyjson_val *member;
  yyjson_arr_foreach(yyjson_obj_get(root, "highlight"), index, count, member) {
    if (yyjson_is_str(member))
      shown.highlighted.emplace_back(yyjson_get_str(member), yyjson_get_len(member));
  }
  yyjson_val *tags = yyjson_obj_get(root, "highlight_tags");
  yyjson_val *open = yyjson_arr_get(tags, 0), *close = yyjson_arr_get(tags, 1);
  if (yyjson_is_str(open) && yyjson_is_str(close)) {
    shown.mark_open.assign(yyjson_get_str(open), yyjson_get_len(open));
    shown.mark_close.assign(yyjson_get_str(close), yyjson_get_len(close));
  }
  return shown;
}

}  // namespace cli
