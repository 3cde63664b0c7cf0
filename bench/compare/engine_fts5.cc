#include <sqlite3.h>

#include <cstdio>
#include <map>

#include "engines.h"

namespace {

// SQLite the way an application that filters, counts and sorts would lay it
// out: an FTS5 table with a column per text field (the name, the summary,
// the description, the rest), ranked by bm25() with the name weighted 2
// (the table's rank, so that ORDER BY rank LIMIT keeps only the top rows);
// a table of the filtered fields and the stored document, sharing the FTS5
// rowid and indexed on section and installed_size; a table of tags indexed
// both ways. A request is one SQL statement that matches, filters, counts
// (a scalar subquery, or a materialized CTE when facets are counted too)
// and orders.
struct Fts5Engine : Engine {
  sqlite3 *db = nullptr;
  sqlite3_stmt *query = nullptr;
  std::vector<FlatColumns> flat;
  std::vector<FilteredMembers> members;
  std::vector<std::string> json;
  std::vector<std::string> ids, docs;
  // The answer of the last request, as read from its rows.
  std::vector<std::string> snippets;
  int64_t total = -1;
  std::map<std::string, std::vector<std::pair<std::string, int64_t>>> facets;
  std::string error;
  std::map<std::string, sqlite3_stmt *> statements;  // by SQL text

  ~Fts5Engine() override {
    for (auto &[sql, st] : statements) sqlite3_finalize(st);
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  void Stage(const std::string &text) override {
    FlatColumns d;
    FilteredMembers m;
    if (!FlattenColumns(text, &d) || !ReadFilteredMembers(text, &m)) return;
    flat.push_back(std::move(d));
    members.push_back(std::move(m));
    json.push_back(text);
  }
  bool Exec(const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  static void Bind(sqlite3_stmt *st, int i, const std::string &s) {
    sqlite3_bind_text(st, i, s.data(), (int)s.size(), SQLITE_STATIC);
  }
  bool Build(const std::string &dir) override {
    if (sqlite3_open((dir + "/fts.db").c_str(), &db) != SQLITE_OK) return false;
    if (!Exec("BEGIN") ||
        !Exec("CREATE VIRTUAL TABLE docs USING fts5(name, summary, description, rest)") ||
        !Exec("INSERT INTO docs(docs, rank) VALUES('rank', 'bm25(2.0, 1.0, 1.0, 1.0)')") ||
        !Exec("CREATE TABLE meta(rowid INTEGER PRIMARY KEY, id TEXT, section TEXT, "
              "installed_size NUMERIC, doc TEXT)") ||
        !Exec("CREATE TABLE tags(tag TEXT, doc INTEGER, PRIMARY KEY(tag, doc)) WITHOUT ROWID"))
      return false;
    sqlite3_stmt *text = nullptr, *meta = nullptr, *tag = nullptr;
    bool ok =
        sqlite3_prepare_v2(db,
                           "INSERT INTO docs(rowid, name, summary, description, rest) "
                           "VALUES (?1, ?2, ?3, ?4, ?5)",
                           -1, &text, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "INSERT INTO meta VALUES (?1, ?2, ?3, ?4, ?5)", -1, &meta,
                           nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "INSERT INTO tags VALUES (?1, ?2)", -1, &tag, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < flat.size(); i++) {
      const sqlite3_int64 row = (sqlite3_int64)i + 1;
      const FlatColumns &d = flat[i];
      const FilteredMembers &m = members[i];
      sqlite3_bind_int64(text, 1, row);
      Bind(text, 2, d.name);
      Bind(text, 3, d.summary);
      Bind(text, 4, d.description);
      Bind(text, 5, d.rest);
      ok = sqlite3_step(text) == SQLITE_DONE && sqlite3_reset(text) == SQLITE_OK;
      sqlite3_bind_int64(meta, 1, row);
      Bind(meta, 2, d.id);
      if (m.has_section)
        Bind(meta, 3, m.section);
      else
        sqlite3_bind_null(meta, 3);
      if (m.has_size)
        sqlite3_bind_double(meta, 4, m.size);
      else
        sqlite3_bind_null(meta, 4);
      Bind(meta, 5, json[i]);
      ok = ok && sqlite3_step(meta) == SQLITE_DONE && sqlite3_reset(meta) == SQLITE_OK;
      for (const std::string &t : m.tags) {
        Bind(tag, 1, t);
        sqlite3_bind_int64(tag, 2, row);
        ok = ok && sqlite3_step(tag) == SQLITE_DONE && sqlite3_reset(tag) == SQLITE_OK;
      }
    }
    sqlite3_finalize(text);
    sqlite3_finalize(meta);
    sqlite3_finalize(tag);
    return ok && Exec("CREATE INDEX meta_section ON meta(section)") &&
           Exec("CREATE INDEX meta_size ON meta(installed_size)") &&
           Exec("CREATE INDEX tags_of_doc ON tags(doc, tag)") && Exec("ANALYZE") && Exec("COMMIT");
  }
  bool Open(const std::string &dir) override {
    return sqlite3_open_v2((dir + "/fts.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
               SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "SELECT m.id, m.doc FROM docs JOIN meta m ON m.rowid = docs.rowid "
                              "WHERE docs MATCH ?1 ORDER BY rank LIMIT 20",
                              -1, &query, nullptr) == SQLITE_OK;
  }
  // Words joined with OR, each quoted; a prefix as "p"*.
  static std::string Match(const std::string &text, bool prefix) {
    if (prefix) return "\"" + text + "\"*";
    std::string m;
    for (const std::string &w : Words(text)) m += (m.empty() ? "\"" : " OR \"") + w + "\"";
    return m;
  }
  void Search(const Query &q) override {
    ids.clear();
    docs.clear();
    const std::string match = Match(q.text, q.cls == kPrefix);
    sqlite3_bind_text(query, 1, match.data(), (int)match.size(), SQLITE_TRANSIENT);
    while (sqlite3_step(query) == SQLITE_ROW) {
      ids.emplace_back((const char *)sqlite3_column_text(query, 0));
      docs.emplace_back((const char *)sqlite3_column_text(query, 1));
    }
    sqlite3_reset(query);
  }
  std::vector<std::string> LastIds() override { return ids; }
  std::string Error() override { return db ? sqlite3_errmsg(db) : "sqlite3_open failed"; }

  static std::string Literal(const std::string &s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? "''" : std::string(1, c);
    return out + "'";
  }
  static std::string List(const std::vector<std::string> &values) {
    std::string out = "(";
    for (size_t i = 0; i < values.size(); i++) out += (i ? ", " : "") + Literal(values[i]);
    return out + ")";
  }
  // The filter as a condition on the row m of meta. A missing section
  // passes a not-in, as a missing member does in searchdb.
  static std::string Where(const Filter &f) {
    char num[40];
    switch (f.kind) {
      case Filter::kAny: {
        std::string out = "(";
        for (size_t i = 0; i < f.any.size(); i++) out += (i ? " OR " : "") + Where(f.any[i]);
        return out + ")";
      }
      case Filter::kAtLeast:
        snprintf(num, sizeof num, "%.17g", f.number);
        return std::string("m.installed_size >= ") + num;
      case Filter::kIn:
        if (f.field == kTagsField)
          return "m.rowid IN (SELECT doc FROM tags WHERE tag IN " + List(f.values) + ")";
        return "m.section IN " + List(f.values);
      case Filter::kNotIn:
        if (f.field == kTagsField)
          return "m.rowid NOT IN (SELECT doc FROM tags WHERE tag IN " + List(f.values) + ")";
        return "(m.section IS NULL OR m.section NOT IN " + List(f.values) + ")";
    }
    return "1";
  }
  // The page is chosen over row ids and sort keys only, and the stored
  // documents are read for its rows alone: sorting every match with its
  // document would copy them all. Ordered by rank, FTS5 hands the matches
  // over in order and the LIMIT stops the scan.
  static std::string Sql(const Request &r) {
    const std::string filter = r.filter.empty() ? "" : Where(r.filter[0]);
    // The documents that match and pass the filter: from the text index
    // (joined to meta only to filter), or, browsing, from meta.
    std::string from;
    if (r.has_q && filter.empty())
      from = "docs WHERE docs MATCH ?1";
    else if (r.has_q)
      from = "docs JOIN meta m ON m.rowid = docs.rowid WHERE docs MATCH ?1 AND " + filter;
    else
      from = "meta m WHERE " + (filter.empty() ? std::string("1") : filter);
    const std::string limit =
        " LIMIT " + std::to_string(kPageSize) + " OFFSET " + std::to_string(r.offset);
    const std::string score = r.has_q ? "docs.rank" : "0";
    const std::string doc = r.has_q ? "docs.rowid" : "m.rowid";
    if (!r.facets) {
      std::string page;
      if (r.sort_by_size) {
        const std::string src = r.has_q && filter.empty()
                                    ? "docs JOIN meta m ON m.rowid = docs.rowid WHERE docs MATCH ?1"
                                    : from;
        page = "SELECT " + doc + " AS doc, " + score + " AS score, m.installed_size AS size FROM " +
               src + " ORDER BY m.installed_size DESC, " + (r.has_q ? "docs.rank" : "m.rowid") +
               limit;
      } else {
        page = "SELECT " + doc + " AS doc, " + score + " AS score, NULL AS size FROM " + from +
               " ORDER BY " + (r.has_q ? "rank" : "m.rowid") + limit;
      }
      std::string snippet, with_text;
      if (r.highlight) {
        snippet = std::string(", snippet(docs, 2, '") + kMarkStart + "', '" + kMarkEnd +
                  "', '…', " + std::to_string(kSnippetWords) + ")";
        with_text = " JOIN docs ON docs.rowid = p.doc WHERE docs MATCH ?1";
      }
      return "SELECT m.id, m.doc, (SELECT count(*) FROM " + from + ")" + snippet + " FROM (" +
             page + ") p JOIN meta m ON m.rowid = p.doc" + with_text + " ORDER BY " +
             (r.sort_by_size ? "p.size DESC, " : "") + "p.score, p.doc";
    }
    // Facets: the hits once, then the page, the count and both facets.
    const std::string hits = "SELECT " + doc + " AS doc, " + score + " AS score FROM " + from;
    const std::string page =
        r.sort_by_size
            ? "SELECT hits.doc, hits.score, m.installed_size AS size FROM hits JOIN meta m ON "
              "m.rowid = hits.doc ORDER BY size DESC, hits.score, hits.doc" +
                  limit
            : "SELECT doc, score, NULL AS size FROM hits ORDER BY score, doc" + limit;
    return "WITH hits AS MATERIALIZED (" + hits +
           ") "
           "SELECT * FROM (SELECT 0, m.id, m.doc, NULL FROM (" +
           page + ") p JOIN meta m ON m.rowid = p.doc ORDER BY " +
           (r.sort_by_size ? "p.size DESC, " : "") +
           "p.score, p.doc) "
           "UNION ALL SELECT 1, NULL, NULL, count(*) FROM hits "
           "UNION ALL SELECT * FROM (SELECT 2, m.section, NULL, count(*) AS c FROM hits JOIN "
           "meta m ON m.rowid = hits.doc WHERE m.section IS NOT NULL GROUP BY m.section ORDER "
           "BY c DESC, m.section LIMIT 100) "
           "UNION ALL SELECT * FROM (SELECT 3, t.tag, NULL, count(*) AS c FROM hits JOIN tags "
           "t ON t.doc = hits.doc GROUP BY t.tag ORDER BY c DESC, t.tag LIMIT 100)";
  }
  sqlite3_stmt *Statement(const Request &r) {
    const std::string sql = Sql(r);
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return nullptr;
    return statements[sql] = st;
  }
  static std::string Text(sqlite3_stmt *st, int col) {
    const unsigned char *s = sqlite3_column_text(st, col);
    return s ? (const char *)s : "";
  }
  bool Run(const Request &r) override {
    ids.clear();
    docs.clear();
    snippets.clear();
    facets.clear();
    total = -1;
    error.clear();
    if (r.searchdb_only) return false;
    sqlite3_stmt *st = Statement(r);
    if (!st) {
      error = sqlite3_errmsg(db);
      return false;
    }
    std::string match;
    if (r.has_q) {
      match = Match(r.q, false);
      sqlite3_bind_text(st, 1, match.data(), (int)match.size(), SQLITE_TRANSIENT);
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (!r.facets) {
        ids.push_back(Text(st, 0));
        docs.push_back(Text(st, 1));
        total = sqlite3_column_int64(st, 2);
        if (r.highlight) snippets.push_back(Text(st, 3));
        continue;
      }
      switch (sqlite3_column_int(st, 0)) {
        case 0:
          ids.push_back(Text(st, 1));
          docs.push_back(Text(st, 2));
          break;
        case 1:
          total = sqlite3_column_int64(st, 3);
          break;
        default:
          facets[sqlite3_column_int(st, 0) == 2 ? kSectionField : kTagsField].emplace_back(
              Text(st, 1), sqlite3_column_int64(st, 3));
      }
    }
    if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
    sqlite3_reset(st);
    if (total < 0 && rc == SQLITE_DONE) {
      // A page past the last hit has no row to carry the count: count
      // apart, as an application would.
      Request counting = r;
      counting.offset = 0;
      counting.highlight = false;
      if (sqlite3_stmt *c = Statement(counting)) {
        if (r.has_q) sqlite3_bind_text(c, 1, match.data(), (int)match.size(), SQLITE_TRANSIENT);
        total = sqlite3_step(c) == SQLITE_ROW ? sqlite3_column_int64(c, 2) : 0;
        sqlite3_reset(c);
      }
    }
    return rc == SQLITE_DONE;
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

std::unique_ptr<Engine> NewFts5Engine() {
  return std::make_unique<Fts5Engine>();
}
