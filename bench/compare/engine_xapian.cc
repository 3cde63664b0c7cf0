#include <xapian.h>

#include "engines.h"

namespace {

// One database: the name indexed with double within-document frequency, the
// other members after it, every term also fed to the spelling table; the
// document text as the data and the id in value slot 0. Queries are parsed
// with OR as the default operator.
struct XapianEngine : Engine {
  std::vector<FlatDocument> flat;
  std::vector<std::string> json;
  Xapian::Database db;
  Xapian::QueryParser parser;
  std::vector<std::string> ids, docs;
  std::string error;

  void Stage(const std::string &text) override {
    FlatDocument d;
    if (!Flatten(text, &d)) return;
    flat.push_back(std::move(d));
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
        doc.add_value(0, flat[i].id);
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
      ids.push_back(doc.get_value(0));
    }
  }
  std::vector<std::string> LastIds() override { return ids; }
  std::string Error() override { return error; }
};

}  // namespace

std::unique_ptr<Engine> NewXapianEngine() {
  return std::make_unique<XapianEngine>();
}
