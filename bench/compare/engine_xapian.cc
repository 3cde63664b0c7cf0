#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <map>

#include "engines.h"

namespace {

// Value slots and boolean term prefixes of the filtered members.
enum Slot : Xapian::valueno { kIdSlot = 0, kSectionSlot = 1, kSizeSlot = 2, kTagsSlot = 3 };
const char kSectionPrefix[] = "XS:", kTagPrefix[] = "XT:";
const char kTagSeparator = '\n';
const Xapian::doccount kFacetSize = 100;

// Counts each tag of the matching documents: the tags of a document are
// one value, joined, since a value slot holds one string per document.
struct TagCountSpy : Xapian::MatchSpy {
  std::map<std::string, Xapian::doccount> counts;
  void operator()(const Xapian::Document &doc, double) override {
    const std::string tags = doc.get_value(kTagsSlot);
    for (size_t at = 0; at < tags.size();) {
      size_t end = tags.find(kTagSeparator, at);
      if (end == std::string::npos) end = tags.size();
      counts[tags.substr(at, end - at)]++;
      at = end + 1;
    }
  }
  Xapian::MatchSpy *clone() const override { return new TagCountSpy; }
  std::string name() const override { return "TagCountSpy"; }
};

// One database: the name indexed with double within-document frequency, the
// other members after it, every term also fed to the spelling table; the
// document text as the data; the id, the section, installed_size (sortable)
// and the tags as values; the section and each tag also as boolean terms.
// Queries are parsed with OR as the default operator. A request filters with
// OP_FILTER over boolean terms and value ranges, counts every match
// (check_at_least of the whole database, so the count is exact), counts
// facets with ValueCountMatchSpy (section) and a spy of its own for the tags,
// sorts with set_sort_by_value_then_relevance and highlights with
// MSet::snippet.
struct XapianEngine : Engine {
  std::vector<FlatDocument> flat;
  std::vector<FilteredMembers> members;
  std::vector<std::string> json;
  Xapian::Database db;
  Xapian::QueryParser parser;
  std::vector<std::string> ids, docs, snippets;
  int64_t total = -1;
  std::map<std::string, std::vector<std::pair<std::string, int64_t>>> facets;
  std::string error;

  void Stage(const std::string &text) override {
    FlatDocument d;
    FilteredMembers m;
    if (!Flatten(text, &d) || !ReadFilteredMembers(text, &m)) return;
    flat.push_back(std::move(d));
    members.push_back(std::move(m));
    json.push_back(text);
  }
  bool Build(const std::string &dir) override {
    try {
      Xapian::WritableDatabase w(dir + "/xapian", Xapian::DB_CREATE_OR_OVERWRITE);
      Xapian::TermGenerator gen;
      gen.set_database(w);
      gen.set_flags(Xapian::TermGenerator::FLAG_SPELLING);
      for (size_t i = 0; i < flat.size(); i++) {
        Xapian::Document doc;
        gen.set_document(doc);
        gen.index_text(flat[i].name, 2);
        gen.increase_termpos();
        gen.index_text(flat[i].body);
        doc.set_data(json[i]);
        doc.add_value(kIdSlot, flat[i].id);
        const FilteredMembers &m = members[i];
        if (m.has_section) {
          doc.add_value(kSectionSlot, m.section);
          doc.add_boolean_term(kSectionPrefix + m.section);
        }
        if (m.has_size) doc.add_value(kSizeSlot, Xapian::sortable_serialise(m.size));
        std::string tags;
        for (const std::string &t : m.tags) {
          tags += (tags.empty() ? "" : std::string(1, kTagSeparator)) + t;
          doc.add_boolean_term(kTagPrefix + t);
        }
        if (!tags.empty()) doc.add_value(kTagsSlot, tags);
        w.add_document(doc);
      }
      w.commit();
      w.close();
      return true;
    } catch (const Xapian::Error &e) {
      error = e.get_description();
      return false;
    }
  }
  bool Open(const std::string &dir) override {
    try {
      db = Xapian::Database(dir + "/xapian");
      parser.set_database(db);
      parser.set_default_op(Xapian::Query::OP_OR);
      return true;
    } catch (const Xapian::Error &e) {
      error = e.get_description();
      return false;
    }
  }
  Xapian::Query Parse(const Query &q) {
    const unsigned base = Xapian::QueryParser::FLAG_DEFAULT;
    if (q.cls == kPrefix)
      return parser.parse_query(q.text, base | Xapian::QueryParser::FLAG_PARTIAL);
    if (q.cls == kWords) return parser.parse_query(q.text, base);
    Xapian::Query parsed =
        parser.parse_query(q.text, base | Xapian::QueryParser::FLAG_SPELLING_CORRECTION);
    const std::string corrected = parser.get_corrected_query_string();
    return corrected.empty() ? parsed : parser.parse_query(corrected, base);
  }
  void Search(const Query &q) override {
    ids.clear();
    docs.clear();
    Xapian::Enquire enquire(db);
    enquire.set_query(Parse(q));
    Xapian::MSet mset = enquire.get_mset(0, 20);
    for (Xapian::MSetIterator it = mset.begin(); it != mset.end(); ++it) {
      Xapian::Document doc = it.get_document();
      docs.push_back(doc.get_data());
      ids.push_back(doc.get_value(kIdSlot));
    }
  }
  std::vector<std::string> LastIds() override { return ids; }
  std::string Error() override { return error; }

  static Xapian::Query Terms(const char *prefix, const std::vector<std::string> &values) {
    std::vector<Xapian::Query> terms;
    for (const std::string &v : values) terms.emplace_back(prefix + v);
    return Xapian::Query(Xapian::Query::OP_OR, terms.begin(), terms.end());
  }
  static Xapian::Query FilterQuery(const Filter &f) {
    switch (f.kind) {
      case Filter::kAny: {
        std::vector<Xapian::Query> any;
        for (const Filter &k : f.any) any.push_back(FilterQuery(k));
        return Xapian::Query(Xapian::Query::OP_OR, any.begin(), any.end());
      }
      case Filter::kAtLeast:
        return Xapian::Query(Xapian::Query::OP_VALUE_GE, kSizeSlot,
                             Xapian::sortable_serialise(f.number));
      case Filter::kIn:
        return Terms(f.field == kTagsField ? kTagPrefix : kSectionPrefix, f.values);
      case Filter::kNotIn:
        return Xapian::Query(Xapian::Query::OP_AND_NOT, Xapian::Query::MatchAll,
                             Terms(f.field == kTagsField ? kTagPrefix : kSectionPrefix, f.values));
    }
    return Xapian::Query::MatchAll;
  }
  static std::string Description(const std::string &data) {
    yyjson_doc *doc = yyjson_read(data.data(), data.size(), 0);
    const char *s = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), kHighlightField));
    std::string out = s ? s : "";
    yyjson_doc_free(doc);
    return out;
  }
  bool Run(const Request &r) override {
    ids.clear();
    docs.clear();
    snippets.clear();
    facets.clear();
    total = -1;
    error.clear();
    if (r.searchdb_only) return false;
    try {
      Xapian::Enquire enquire(db);
      std::string words;
      for (const std::string &w : Words(r.q)) words += (words.empty() ? "" : " ") + w;
      Xapian::Query q = r.has_q ? parser.parse_query(words, Xapian::QueryParser::FLAG_DEFAULT)
                                : Xapian::Query::MatchAll;
      if (!r.filter.empty())
        q = Xapian::Query(Xapian::Query::OP_FILTER, q, FilterQuery(r.filter[0]));
      enquire.set_query(q);
      if (!r.has_q) enquire.set_weighting_scheme(Xapian::BoolWeight());
      if (r.sort_by_size) {
        if (r.has_q)
          enquire.set_sort_by_value_then_relevance(kSizeSlot, true);
        else
          enquire.set_sort_by_value(kSizeSlot, true);
      }
      Xapian::ValueCountMatchSpy sections(kSectionSlot);
      TagCountSpy tags;
      if (r.facets) {
        enquire.add_matchspy(&sections);
        enquire.add_matchspy(&tags);
      }
      Xapian::MSet mset = enquire.get_mset(r.offset, kPageSize, db.get_doccount());
      total = mset.get_matches_estimated();
      for (Xapian::MSetIterator it = mset.begin(); it != mset.end(); ++it) {
        Xapian::Document doc = it.get_document();
        docs.push_back(doc.get_data());
        ids.push_back(doc.get_value(kIdSlot));
        if (r.highlight)
          snippets.push_back(mset.snippet(
              Description(docs.back()), kSnippetBytes, Xapian::Stem(),
              Xapian::MSet::SNIPPET_BACKGROUND_MODEL | Xapian::MSet::SNIPPET_EXHAUSTIVE, kMarkStart,
              kMarkEnd, "…"));
      }
      if (r.facets) {
        auto &section_counts = facets[kSectionField];
        for (Xapian::TermIterator t = sections.top_values_begin(kFacetSize);
             t != sections.top_values_end(kFacetSize); ++t)
          section_counts.emplace_back(*t, t.get_termfreq());
        auto &tag_counts = facets[kTagsField];
        for (const auto &[tag, n] : tags.counts) tag_counts.emplace_back(tag, n);
        std::sort(tag_counts.begin(), tag_counts.end(), [](const auto &a, const auto &b) {
          return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        if (tag_counts.size() > kFacetSize) tag_counts.resize(kFacetSize);
      }
      return true;
    } catch (const Xapian::Error &e) {
      error = e.get_description();
      return false;
    }
  }
  Outcome LastOutcome() override {
    Outcome out;
    out.ok = error.empty();
    out.error = error;
    out.total = total;
    out.ids = ids;
    out.facets = facets;
    ReadStoredHits(docs, snippets, &out);
    return out;
  }
};

}  // namespace

std::unique_ptr<Engine> NewXapianEngine() {
  return std::make_unique<XapianEngine>();
}
