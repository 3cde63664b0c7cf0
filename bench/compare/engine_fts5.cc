#include <sqlite3.h>

#include "engines.h"

namespace {

// One FTS5 table: the id and the document text stored, the name and the
// other members' text indexed; ranked by bm25() with the name weighted 2.
struct Fts5Engine : Engine {
  sqlite3 *db = nullptr;
  sqlite3_stmt *query = nullptr;
  std::vector<FlatDocument> flat;
  std::vector<std::string> json;
  std::vector<std::string> ids, docs;

  ~Fts5Engine() override {
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  void Stage(const std::string &text) override {
    FlatDocument d;
    if (!Flatten(text, &d)) return;
    flat.push_back(std::move(d));
    json.push_back(text);
  }
  bool Exec(const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  bool Build(const std::string &dir) override {
    if (sqlite3_open((dir + "/fts.db").c_str(), &db) != SQLITE_OK) return false;
    if (!Exec("BEGIN") ||
        !Exec("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, name, body, doc UNINDEXED)"))
      return false;
    sqlite3_stmt *insert = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO docs VALUES (?1, ?2, ?3, ?4)", -1, &insert, nullptr) !=
        SQLITE_OK)
      return false;
    bool ok = true;
    for (size_t i = 0; ok && i < flat.size(); i++) {
      sqlite3_bind_text(insert, 1, flat[i].id.data(), (int)flat[i].id.size(), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, flat[i].name.data(), (int)flat[i].name.size(), SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, flat[i].body.data(), (int)flat[i].body.size(), SQLITE_STATIC);
      sqlite3_bind_text(insert, 4, json[i].data(), (int)json[i].size(), SQLITE_STATIC);
      ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
    }
    sqlite3_finalize(insert);
    return ok && Exec("COMMIT");
  }
  bool Open(const std::string &dir) override {
    return sqlite3_open_v2((dir + "/fts.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
               SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "SELECT id, doc FROM docs WHERE docs MATCH ?1 "
                              "ORDER BY bm25(docs, 0.0, 2.0, 1.0, 0.0) LIMIT 20",
                              -1, &query, nullptr) == SQLITE_OK;
  }
  // Words joined with OR; a prefix as "p"*; the queries hold letters only.
  static std::string Match(const Query &q) {
    if (q.cls == kPrefix) return "\"" + q.text + "\"*";
    std::string m, w;
    for (char c : q.text + " ") {
      if (c != ' ') {
        w += c;
      } else if (!w.empty()) {
        m += (m.empty() ? "\"" : " OR \"") + w + "\"";
        w.clear();
      }
    }
    return m;
  }
  void Search(const Query &q) override {
    ids.clear();
    docs.clear();
    const std::string match = Match(q);
    sqlite3_bind_text(query, 1, match.data(), (int)match.size(), SQLITE_TRANSIENT);
    while (sqlite3_step(query) == SQLITE_ROW) {
      ids.emplace_back((const char *)sqlite3_column_text(query, 0));
      docs.emplace_back((const char *)sqlite3_column_text(query, 1));
    }
    sqlite3_reset(query);
  }
  std::vector<std::string> LastIds() override { return ids; }
  std::string Error() override { return db ? sqlite3_errmsg(db) : "sqlite3_open failed"; }
};

}  // namespace

std::unique_ptr<Engine> NewFts5Engine() {
  return std::make_unique<Fts5Engine>();
}
