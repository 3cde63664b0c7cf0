#include "requests.h"

#include <yyjson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <unordered_map>

namespace {

std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::string Number(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string StringArray(const std::vector<std::string> &values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); i++) out += (i ? "," : "") + JsonString(values[i]);
  return out + "]";
}

const char *Str(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s ? s : "";
}

bool Filled(yyjson_val *obj, const char *key) {
  return yyjson_get_bool(yyjson_obj_get(obj, key));
}

// The subset of searchdb's filter syntax that FilterJson writes.
bool ParseFilter(yyjson_val *v, Filter *out) {
  if (yyjson_val *any = yyjson_obj_get(v, "or")) {
    out->kind = Filter::kAny;
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(any, i, n, e) {
      out->any.emplace_back();
      if (!ParseFilter(e, &out->any.back())) return false;
    }
    return true;
  }
  out->field = Str(v, "field");
  const std::string op = Str(v, "op");
  yyjson_val *value = yyjson_obj_get(v, "value");
  if (op == "gte") {
    out->kind = Filter::kAtLeast;
    out->number = yyjson_get_num(value);
    return true;
  }
  if (op == "eq" || op == "in")
    out->kind = Filter::kIn;
  else if (op == "ne" || op == "not_in")
    out->kind = Filter::kNotIn;
  else
    return false;
  if (yyjson_is_str(value)) {
    out->values.push_back(yyjson_get_str(value));
  } else {
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(value, i, n, e) out->values.push_back(yyjson_get_str(e));
  }
  return true;
}

// ---- Sets of documents, one bit each ----

struct Bits {
  std::vector<uint64_t> w;
  explicit Bits(size_t n = 0) : w((n + 63) / 64) {}
  void Set(size_t i) { w[i / 64] |= uint64_t{1} << (i % 64); }
  Bits &operator|=(const Bits &o) {
    for (size_t i = 0; i < w.size(); i++) w[i] |= o.w[i];
    return *this;
  }
  // Documents [0, limit) in the set; limit 0: all.
  uint64_t Count(uint64_t limit = 0) const {
    uint64_t n = 0;
    const size_t full = limit ? std::min(w.size(), (size_t)(limit / 64)) : w.size();
    for (size_t i = 0; i < full; i++) n += std::popcount(w[i]);
    if (limit && full < w.size() && limit % 64)
      n += std::popcount(w[full] & ((uint64_t{1} << (limit % 64)) - 1));
    return n;
  }
  uint64_t CountUnion(const Bits &o) const {
    uint64_t n = 0;
    for (size_t i = 0; i < w.size(); i++) n += std::popcount(w[i] | o.w[i]);
    return n;
  }
};

// Each value of a string field (or of the strings of an array field) and
// the documents holding it.
std::map<std::string, Bits> ValueSets(const CorpusFacts &f, const std::string &field) {
  const size_t n = f.ids.size();
  std::map<std::string, Bits> out;
  auto add = [&](const std::string &v, size_t doc) {
    auto it = out.find(v);
    if (it == out.end()) it = out.emplace(v, Bits(n)).first;
    it->second.Set(doc);
  };
  for (size_t d = 0; d < n; d++) {
    if (field == kSectionField && !f.section[d].empty()) add(f.section[d], d);
    if (field == kTagsField)
      for (const std::string &t : f.tags[d]) add(t, d);
  }
  return out;
}

Bits FilterBits(const CorpusFacts &f, const Filter &filter) {
  const size_t n = f.ids.size();
  Bits out(n);
  switch (filter.kind) {
    case Filter::kAny:
      for (const Filter &k : filter.any) out |= FilterBits(f, k);
      break;
    case Filter::kAtLeast:
      for (size_t d = 0; d < n; d++)
        if (filter.field == kSizeField && f.size[d] >= filter.number) out.Set(d);
      break;
    case Filter::kIn:
    case Filter::kNotIn: {
      const std::set<std::string> values(filter.values.begin(), filter.values.end());
      for (size_t d = 0; d < n; d++) {
        bool any = false;
        if (filter.field == kSectionField) any = values.count(f.section[d]) > 0;
        if (filter.field == kTagsField)
          for (const std::string &t : f.tags[d]) any |= values.count(t) > 0;
        if (any == (filter.kind == Filter::kIn)) out.Set(d);
      }
      break;
    }
  }
  return out;
}

// A set of values of field whose documents are about `share` of the corpus:
// values added one at a time, each the one that brings the share closest,
// until none brings it closer. Above one half the set covers the rest and
// the filter keeps the documents holding none of it.
Filter ValueSetFilter(const std::map<std::string, Bits> &sets, const std::string &field,
                      double share, size_t n) {
  Filter f;
  f.field = field;
  f.kind = share <= 0.5 ? Filter::kIn : Filter::kNotIn;
  const double goal = (share <= 0.5 ? share : 1 - share) * (double)n;
  Bits cur(n);
  double have = 0;
  std::set<std::string> chosen;
  for (;;) {
    const std::string *best = nullptr;
    double best_gap = std::fabs(have - goal);
    for (const auto &[value, bits] : sets) {
      if (chosen.count(value)) continue;
      const double gap = std::fabs((double)cur.CountUnion(bits) - goal);
      if (gap < best_gap) best_gap = gap, best = &value;
    }
    if (!best || chosen.size() >= 64) break;
    chosen.insert(*best);
    cur |= sets.at(*best);
    have = (double)cur.Count();
  }
  f.values.assign(chosen.begin(), chosen.end());
  return f;
}

// installed_size at least the value that brings the union of `have` and
// the documents of that size or more closest to `share` of the corpus (with
// `have` empty: a size range alone).
Filter UnionSizeFilter(const CorpusFacts &facts, const Bits &have, double share) {
  const size_t n = facts.size.size();
  std::vector<double> rest;  // sizes of the documents not yet kept
  for (size_t d = 0; d < n; d++)
    if (!(have.w[d / 64] >> (d % 64) & 1) && !std::isnan(facts.size[d]))
      rest.push_back(facts.size[d]);
  std::sort(rest.begin(), rest.end());
  Filter f;
  f.kind = Filter::kAtLeast;
  f.field = kSizeField;
  f.number = rest.empty() ? 0 : rest.back() + 1;
  const double kept = (double)have.Count();
  double best_gap = std::fabs(kept / (double)n - share);
  for (size_t i = 0; i < rest.size(); i++) {
    if (i && rest[i] == rest[i - 1]) continue;
    const double gap = std::fabs((kept + (double)(rest.size() - i)) / (double)n - share);
    if (gap < best_gap) best_gap = gap, f.number = rest[i];
  }
  return f;
}

}  // namespace

void ReadStoredHits(const std::vector<std::string> &docs, const std::vector<std::string> &snippets,
                    Outcome *out) {
  for (const std::string &d : docs) {
    yyjson_doc *doc = yyjson_read(d.data(), d.size(), 0);
    yyjson_val *size = yyjson_obj_get(yyjson_doc_get_root(doc), kSizeField);
    out->sizes.push_back(yyjson_is_num(size) ? yyjson_get_num(size) : -1);
    yyjson_doc_free(doc);
  }
  for (const std::string &s : snippets) out->marked += s.find(kMarkStart) != std::string::npos;
}

std::string FilterJson(const Filter &f) {
  switch (f.kind) {
    case Filter::kAny: {
      std::string out = "{\"or\":[";
      for (size_t i = 0; i < f.any.size(); i++) out += (i ? "," : "") + FilterJson(f.any[i]);
      return out + "]}";
    }
    case Filter::kAtLeast:
      return "{\"field\":" + JsonString(f.field) + ",\"op\":\"gte\",\"value\":" + Number(f.number) +
             "}";
    case Filter::kIn:
    case Filter::kNotIn: {
      const bool one = f.values.size() == 1, in = f.kind == Filter::kIn;
      return "{\"field\":" + JsonString(f.field) + ",\"op\":\"" +
             (one ? (in ? "eq" : "ne") : (in ? "in" : "not_in")) +
             "\",\"value\":" + (one ? JsonString(f.values[0]) : StringArray(f.values)) + "}";
    }
  }
  return "";
}

std::string DescribeFilter(const Filter &f) {
  switch (f.kind) {
    case Filter::kAny: {
      std::string out;
      for (size_t i = 0; i < f.any.size(); i++) out += (i ? " or " : "") + DescribeFilter(f.any[i]);
      return out;
    }
    case Filter::kAtLeast:
      return f.field + " >= " + Number(f.number);
    case Filter::kIn:
    case Filter::kNotIn: {
      std::string values;
      const size_t shown = std::min<size_t>(f.values.size(), 3);
      for (size_t i = 0; i < shown; i++) values += (i ? ", " : "") + f.values[i];
      if (shown < f.values.size())
        values += ", ... (" + std::to_string(f.values.size()) + " values)";
      return f.field + (f.kind == Filter::kIn ? " in [" : " not in [") + values + "]";
    }
  }
  return "";
}

std::string SearchdbRequestJson(const Request &r) {
  std::string out = "{";
  if (r.has_q) out += "\"q\":" + JsonString(r.q) + ",";
  out += "\"limit\":" + std::to_string(kPageSize);
  if (r.offset) out += ",\"offset\":" + std::to_string(r.offset);
  if (!r.filter.empty()) out += ",\"filter\":" + FilterJson(r.filter[0]);
  if (r.facets)
    out += std::string(",\"facets\":[\"") + kSectionField + "\",\"" + kTagsField + "\"]";
  if (r.sort_by_size)
    out += std::string(",\"sort\":[{\"field\":\"") + kSizeField + "\",\"order\":\"desc\"}]";
  if (r.highlight)
    out += std::string(",\"highlight\":[\"") + kHighlightField +
           "\"],\"snippet_words\":" + std::to_string(kSnippetWords);
  if (r.typo_aware) out += ",\"rank\":\"typo_aware\"";
  return out + "}";
}

bool WriteRequests(const std::string &path, const std::vector<Request> &requests) {
  std::ofstream out(path);
  for (const Request &r : requests) {
    out << "{\"class\":" << JsonString(r.cls);
    if (r.has_q) out << ",\"q\":" << JsonString(r.q);
    if (!r.filter.empty()) out << ",\"filter\":" << FilterJson(r.filter[0]);
    if (r.facets) out << ",\"facets\":true";
    if (r.sort_by_size) out << ",\"sort\":true";
    if (r.offset) out << ",\"offset\":" << r.offset;
    if (r.highlight) out << ",\"highlight\":true";
    if (r.typo_aware) out << ",\"typo_aware\":true";
    if (r.searchdb_only) out << ",\"searchdb_only\":true";
    if (r.check_only) out << ",\"check_only\":true";
    if (r.expect_kind != Request::kNone)
      out << ",\"expect\":" << JsonString(r.expect) << ",\"expect_kind\":" << r.expect_kind
          << ",\"doc\":" << r.doc;
    out << "}\n";
  }
  return (bool)out;
}

std::vector<Request> ReadRequests(const std::string &path) {
  std::vector<Request> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    yyjson_val *v = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(v)) {
      yyjson_doc_free(doc);
      return {};
    }
    Request r;
    r.cls = Str(v, "class");
    yyjson_val *q = yyjson_obj_get(v, "q");
    r.has_q = q != nullptr;
    r.q = Str(v, "q");
    if (yyjson_val *f = yyjson_obj_get(v, "filter")) {
      r.filter.emplace_back();
      if (!ParseFilter(f, &r.filter[0])) {
        yyjson_doc_free(doc);
        return {};
      }
    }
    r.facets = Filled(v, "facets");
    r.sort_by_size = Filled(v, "sort");
    r.offset = (int)yyjson_get_int(yyjson_obj_get(v, "offset"));
    r.highlight = Filled(v, "highlight");
    r.typo_aware = Filled(v, "typo_aware");
    r.searchdb_only = Filled(v, "searchdb_only");
    r.check_only = Filled(v, "check_only");
    r.expect = Str(v, "expect");
    r.expect_kind = (Request::Expect)yyjson_get_int(yyjson_obj_get(v, "expect_kind"));
    r.doc = yyjson_get_sint(yyjson_obj_get(v, "doc"));
    out.push_back(std::move(r));
    yyjson_doc_free(doc);
  }
  return out;
}

std::vector<std::string> RequestClasses(const std::vector<Request> &requests) {
  std::vector<std::string> out;
  for (const Request &r : requests)
    if (std::find(out.begin(), out.end(), r.cls) == out.end()) out.push_back(r.cls);
  return out;
}

CorpusFacts ReadCorpusFacts(const CorpusSource &src) {
  CorpusFacts f;
  CorpusSource base = src;
  base.repeat = 1;
  base.limit = 0;
  std::unordered_map<std::string, uint64_t> df;
  ForEachDocument(base, [&](const std::string &json) {
    FlatDocument flat;
    FilteredMembers members;
    if (!Flatten(json, &flat) || !ReadFilteredMembers(json, &members)) return;
    std::vector<std::string> words = Words(flat.name + " " + flat.body);
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    for (const std::string &w : words) df[w]++;
    f.ids.push_back(flat.id);
    f.names.push_back(flat.name);
    f.name_words.push_back(Words(flat.name));
    f.section.push_back(members.has_section ? members.section : "");
    f.size.push_back(members.has_size ? members.size : NAN);
    f.tags.push_back(std::move(members.tags));
  });
  // Broad words: letters only, 4 or more, in at least a fifth of the documents.
  for (const auto &[w, n] : df) {
    if (w.size() < 4 || (double)n < 0.2 * (double)f.ids.size()) continue;
    if (std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
      f.broad.emplace_back(n, w);
  }
  std::sort(f.broad.begin(), f.broad.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  return f;
}

uint64_t CountKept(const CorpusFacts &facts, const Filter &f, uint64_t limit) {
  return FilterBits(facts, f).Count(limit);
}

Workload MakeWorkload(const CorpusFacts &facts, const std::vector<Query> &queries,
                      size_t per_filter, size_t broad, size_t names, uint64_t seed) {
  Workload w;
  const size_t n = facts.ids.size();
  if (n == 0) return w;
  const std::map<std::string, Bits> sections = ValueSets(facts, kSectionField),
                                    tags = ValueSets(facts, kTagsField);
  auto kept = [&](const Filter &f) { return (double)FilterBits(facts, f).Count() / (double)n; };
  for (const double target : {0.01, 0.30, 0.90}) {
    const std::string pct = std::to_string((int)std::lround(target * 100)) + "%";
    w.filters.push_back(
        {"section " + pct, target, ValueSetFilter(sections, kSectionField, target, n)});
    w.filters.push_back({"size " + pct, target, UnionSizeFilter(facts, Bits(n), target)});
    w.filters.push_back({"tags " + pct, target, ValueSetFilter(tags, kTagsField, target, n)});
    // A set of sections and a set of tags each aimed at a third of the
    // target, and the size range that brings their union closest to it.
    Filter any{Filter::kAny,
               "",
               {},
               0,
               {ValueSetFilter(sections, kSectionField, target / 3, n), Filter{},
                ValueSetFilter(tags, kTagsField, target / 3, n)}};
    Bits have = FilterBits(facts, any.any[0]);
    have |= FilterBits(facts, any.any[2]);
    any.any[1] = UnionSizeFilter(facts, have, target);
    w.filters.push_back({"or " + pct, target, any});
  }
  for (TargetFilter &f : w.filters) f.kept = kept(f.filter);
  // By kind (section, size, tags, or), then by share.
  auto kind = [](const TargetFilter &f) {
    static const std::vector<std::string> kKinds = {"section", "size", "tags", "or"};
    return std::find(kKinds.begin(), kKinds.end(), f.label.substr(0, f.label.find(' '))) -
           kKinds.begin();
  };
  std::stable_sort(w.filters.begin(), w.filters.end(),
                   [&](const TargetFilter &a, const TargetFilter &b) { return kind(a) < kind(b); });

  std::vector<std::string> words_queries;
  for (const Query &q : queries)
    if (q.cls == kWords && words_queries.size() < per_filter) words_queries.push_back(q.text);
  auto add = [&](Request r) { w.requests.push_back(std::move(r)); };
  for (const std::string &q : words_queries) add({.cls = "unfiltered", .q = q});
  for (const TargetFilter &f : w.filters)
    for (const std::string &q : words_queries)
      add({.cls = "filter " + f.label, .q = q, .filter = {f.filter}});

  std::mt19937_64 rng(seed);
  std::vector<std::string> broad_queries;
  for (const auto &[df, word] : facts.broad) w.broad_words.push_back(word);
  for (const std::string &b : w.broad_words)
    if (broad_queries.size() < broad) broad_queries.push_back(b);
  for (size_t tries = 0; broad_queries.size() < broad && w.broad_words.size() > 1 && tries < 1000;
       tries++) {
    const std::string &a = w.broad_words[rng() % w.broad_words.size()],
                      &b = w.broad_words[rng() % w.broad_words.size()];
    const std::string q = a + " " + b;
    if (a != b && std::find(broad_queries.begin(), broad_queries.end(), q) == broad_queries.end())
      broad_queries.push_back(q);
  }
  for (const std::string &q : broad_queries) add({.cls = "facets", .q = q, .facets = true});
  for (const std::string &q : broad_queries)
    add({.cls = "sort by size", .q = q, .sort_by_size = true});
  for (const int page : {1, 50})
    for (const TargetFilter &f : w.filters)
      add({.cls = "browse page " + std::to_string(page),
           .has_q = false,
           .filter = {f.filter},
           .sort_by_size = true,
           .offset = (page - 1) * kPageSize});
  add({.cls = "browse facets", .has_q = false, .facets = true, .check_only = true});
  for (const TargetFilter &f : w.filters)
    add({.cls = "browse facets",
         .has_q = false,
         .filter = {f.filter},
         .facets = true,
         .check_only = true});
  for (const std::string &q : words_queries) add({.cls = "highlight", .q = q, .highlight = true});
  for (const Query &q : queries)
    if (q.cls == kMisspelt)
      add({.cls = "misspelt typo-aware",
           .q = q.text,
           .typo_aware = true,
           .searchdb_only = true,
           .expect = q.original,
           .expect_kind = Request::kBestDocOf});

  // Names that no other document's name shares word for word.
  std::map<std::vector<std::string>, size_t> seen;
  for (const auto &words : facts.name_words) seen[words]++;
  std::vector<size_t> unique;
  for (size_t d = 0; d < n; d++)
    if (!facts.name_words[d].empty() && seen[facts.name_words[d]] == 1) unique.push_back(d);
  w.names_unique = unique.size();
  std::shuffle(unique.begin(), unique.end(), rng);
  unique.resize(std::min(unique.size(), names));
  std::sort(unique.begin(), unique.end());
  w.names_drawn = unique.size();
  for (const bool typo : {false, true})
    for (size_t d : unique)
      add({.cls = typo ? "names typo-aware" : "names",
           .q = facts.names[d],
           .typo_aware = typo,
           .searchdb_only = typo,
           .check_only = true,
           .expect = facts.ids[d],
           .expect_kind = Request::kFirstHit,
           .doc = (int64_t)d});
  return w;
}
