// `searchdb check`: what the store holds, what loading it left aside, and
// what no command would otherwise point at, each with what to do about it.
// The library renames a damaged file and says so once, when it loads it;
// later loads find the file gone and the index simply smaller. A document
// whose stored text is not JSON (a host whose locale wrote a decimal
// comma could store one) gives no words and is never found. This command
// keeps pointing at both until the user has dealt with them.
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "interrupt.h"
#include "json_text.h"
#include "searchdb.h"
#include "storage/layout.h"
#include "store_files.h"
#include "stored_documents.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

// A document's text is shown up to this many bytes.
const size_t kShownText = 200;

struct index_counts {
  std::string name;
  long long documents = -1;  // -1 when the statistics could not be had
  long long terms = -1;
  std::string problem;  // why not
  // How the index held in memory differs from a rebuild of its documents
  // (searchdb_index_check), "" when it does not; asked only once the
  // statistics were had.
  std::string difference;
  // Its derived file as this command found it (searchdb_derived), -1 when
  // that could not be had; with --rebuild, whether it was written anew, or
  // why not.
  int derived = -1;
  bool rebuilt = false;
  std::string not_rebuilt;
};

struct invalid_document {
  std::string index;
  std::string id;
  std::string text;
};

struct report {
  std::vector<index_counts> indexes;
  store_findings files;
  std::vector<std::string> damaged;  // documents files a read-only load could not set aside
  std::vector<invalid_document> invalid;
  std::string not_verified;  // why the store could not be checked whole, or ""

  size_t problems() const {
    size_t inconsistent = 0;
    for (const index_counts &c : indexes)
      inconsistent += !c.difference.empty() + !c.not_rebuilt.empty();
    return inconsistent + files.set_aside.size() + files.unlisted.size() + damaged.size() +
           invalid.size() + (not_verified.empty() ? 0 : 1);
  }
};

const char *derived_name(int state) {
  switch (state) {
    case SEARCHDB_DERIVED_CURRENT:
      return "current";
    case SEARCHDB_DERIVED_MISSING:
      return "missing";
    default:
      return "stale";
  }
}

index_counts counts_of(const std::string &index, bool rebuild) {
  index_counts counts;
  counts.name = index;
  // Checked first, as a change would take the dictionary (nothing is
  // written): a check that finds it as a build makes it lets the derived
  // file's state and its rewrite compare with it instead of building
  // again. Asked before the statistics, so that they find the index ready
  // and this command writes nothing it was not asked to.
  const bool consistent = searchdb_index_check(index.c_str()) == 0;
  const std::string difference = consistent ? "" : last_error();
  counts.derived = searchdb_index_derived_state(index.c_str());
  if (rebuild) {
    counts.rebuilt = searchdb_index_write_derived(index.c_str()) == 0;
    if (!counts.rebuilt) counts.not_rebuilt = last_error();
  }
  const char *stats = searchdb_index_stats_json(index.c_str());
  if (is_null_result(stats)) {
    counts.problem = last_error();
    return counts;
  }
  doc_ptr doc(yyjson_read(stats, strlen(stats), 0), yyjson_doc_free);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  auto count = [&](const char *key) {
    yyjson_val *v = yyjson_obj_get(root, key);
    return yyjson_is_num(v) ? static_cast<long long>(yyjson_get_num(v)) : -1;
  };
  counts.documents = count("document_count");
  counts.terms = count("term_count");
  counts.difference = difference;
  return counts;
}

bool is_json(const std::string &text) {
  return doc_ptr(yyjson_read(text.data(), text.size(), 0), yyjson_doc_free) != nullptr;
}

// Reads the documents file of index: its documents whose text is not JSON,
// and whether the file itself is damaged.
void check_documents(const session &s, const std::string &index, report *r) {
  stored_file stored;
  std::string error;
  std::string rel = index + "/" + SDB_DOCUMENTS_FILE;
  if (!read_stored_documents(s.dir + "/" + rel, &stored, &error)) {
    r->damaged.push_back(rel + " (" + error + ")");
    return;
  }
  if (stored.damaged || stored.skipped > 0) r->damaged.push_back(rel);
  for (stored_document &doc : stored.documents) {
    if (!is_json(doc.text)) r->invalid.push_back({index, doc.id, std::move(doc.text)});
  }
}

// The index a path of the store belongs to: its directory.
std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string clear_command(const session &s, const std::string &dir) {
  return "'" + std::string(s.in_shell ? "" : "searchdb ") + "check --clear-set-aside " + dir + "'";
}

// What a set-aside file is and what to do with it.
std::string about_set_aside(const session &s, const std::string &path) {
  std::string dir = directory_of(path);
  std::string name = path.substr(dir.empty() ? 0 : dir.size() + 1);
  std::string then = "; then remove it with " + clear_command(s, dir.empty() ? "." : dir);
  const sdb_file_type type = sdb_file_type_of(name.data(), name.size(), dir == SDB_LIST_DIR);
  if (type.form == SDB_FORM_FOUND) {
    return "a file that stood where the index '" + dir +
           "' was created, moved out of its way; keep what you need of it" + then;
  }
  if (type.kind == SDB_FILE_LIST) {
    return "the index list, which did not load and was rebuilt from the index folders; "
           "compare it with 'list'" +
           then;
  }
  if (type.kind == SDB_FILE_DOCUMENTS) {
    return "documents of the index '" + dir +
           "' that did not load: the index answers without them; add again what you need "
           "from this file" +
           then;
  }
  if (type.kind == SDB_FILE_SETTINGS) {
    return "the settings of the index '" + dir +
           "', which did not load whole: the index kept the primary key it could read (see "
           "'stats')" +
           then;
  }
  return "a damaged file kept for review" + then;
}

std::string shown(const std::string &text) {
  if (text.size() <= kShownText) return text;
  return text.substr(0, kShownText) + "...";
}

void print_report(const session &s, const report &r) {
  for (const index_counts &c : r.indexes) {
    if (c.documents < 0) {
      printf("index '%s': no statistics: %s\n", c.name.c_str(), c.problem.c_str());
    } else {
      std::string derived;
      if (c.derived >= 0) derived = std::string(", derived file ") + derived_name(c.derived);
      if (c.rebuilt) derived += " (written anew)";
      printf("index '%s': %s, %s%s\n", c.name.c_str(),
             count_of(static_cast<size_t>(c.documents), "document").c_str(),
             count_of(static_cast<size_t>(c.terms), "term").c_str(), derived.c_str());
    }
  }
  for (const index_counts &c : r.indexes) {
    if (c.not_rebuilt.empty()) continue;
    printf(
        "not written: the derived file of index '%s': %s\n  searches answer the same without "
        "it, only a fresh process builds the index first\n",
        c.name.c_str(), c.not_rebuilt.c_str());
  }
  for (const index_counts &c : r.indexes) {
    if (c.difference.empty()) continue;
    printf(
        "not consistent: index '%s': %s\n  the index held in memory is not what its documents "
        "build, so searches may miss or misrank them; restarting rebuilds it from the stored "
        "documents (please report this fault of the library)\n",
        c.name.c_str(), c.difference.c_str());
  }
  for (const std::string &path : r.files.set_aside) {
    printf("set aside: %s\n  %s\n", path.c_str(), about_set_aside(s, path).c_str());
  }
  for (const std::string &path : r.files.unlisted) {
    printf(
        "not listed: %s\n  an index folder that is not in the index list, so no command "
        "reaches it (a create or drop that was cut short leaves one); its documents are in "
        "its %s; remove the folder once you have what you need\n",
        path.c_str(), SDB_DOCUMENTS_FILE);
  }
  for (const std::string &path : r.damaged) {
    printf(
        "damaged: %s\n  a documents file that does not load whole; the index answers "
        "without what is lost, and the next change to it writes the file anew\n",
        path.c_str());
  }
  for (const invalid_document &doc : r.invalid) {
    printf(
        "not JSON: index '%s', document '%s': %s\n  its stored text is not valid JSON, so it "
        "gives no words and no search finds it; write it out as JSON and add it again\n",
        doc.index.c_str(), doc.id.c_str(), shown(doc.text).c_str());
  }
  if (!r.not_verified.empty()) {
    printf(
        "not verified: the store is read-only (%s)\n  a damaged file is reported where it "
        "lies but cannot be set aside, and changes that other processes make meanwhile "
        "are not kept out\n",
        r.not_verified.c_str());
  }
  size_t problems = r.problems();
  if (problems == 0) {
    printf("nothing to report\n");
  } else {
    printf("%s to report\n", count_of(problems, "thing").c_str());
  }
}

void print_json_report(const report &r) {
  json_object out;
  yyjson_mut_val *indexes = out.set_array("indexes");
  for (const index_counts &c : r.indexes) {
    yyjson_mut_val *entry = out.add_object(indexes);
    out.set_in(entry, "name", c.name);
    if (c.documents >= 0) {
      out.set_in(entry, "documents", static_cast<int64_t>(c.documents));
      out.set_in(entry, "terms", static_cast<int64_t>(c.terms));
      out.set_bool_in(entry, "consistent", c.difference.empty());
      if (!c.difference.empty()) out.set_in(entry, "difference", c.difference);
      if (c.derived >= 0) out.set_in(entry, "derived", std::string(derived_name(c.derived)));
    } else {
      out.set_in(entry, "problem", c.problem);
    }
    if (c.rebuilt) out.set_bool_in(entry, "rebuilt", true);
    if (!c.not_rebuilt.empty()) out.set_in(entry, "not_rebuilt", c.not_rebuilt);
  }
  out.set_strings("set_aside", r.files.set_aside)
      .set_strings("not_listed", r.files.unlisted)
      .set_strings("damaged", r.damaged);
  yyjson_mut_val *invalid = out.set_array("not_json");
  for (const invalid_document &doc : r.invalid) {
    yyjson_mut_val *entry = out.add_object(invalid);
    out.set_in(entry, "index", doc.index);
    out.set_in(entry, "id", doc.id);
    out.set_in(entry, "text", doc.text);
  }
  if (!r.not_verified.empty()) out.set("not_verified", r.not_verified);
  out.set("problems", static_cast<int64_t>(r.problems()));
  print_text(out.text());
}

// Asks on the terminal; true for yes.
bool confirmed(size_t count) {
  fprintf(stderr, "remove %s? [y/N] ", count == 1 ? "this file" : "these files");
  fflush(stderr);
  char answer[64];
  if (!fgets(answer, sizeof answer, stdin)) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

// check --clear-set-aside INDEX: removes the set-aside files of one
// index's folder, once the user has seen which.
int clear_set_aside(const session &s, const invocation &inv) {
  std::string dir = inv.index == "." ? "" : inv.index;
  std::vector<std::string> names, removed;
  std::string error;
  if (!list_set_aside(s.dir, dir, &names, &error)) {
    fprintf(stderr, "searchdb: check: %s\n", error.c_str());
    return exit_refused;
  }
  auto path = [&](const std::string &name) { return dir.empty() ? name : dir + "/" + name; };
  if (names.empty()) {
    if (inv.json) {
      print_text(json_object().set_strings("removed", {}).text());
    } else {
      printf("nothing set aside in '%s'\n", inv.index.c_str());
    }
    return exit_ok;
  }
  if (!inv.yes) {
    if (!isatty(STDIN_FILENO)) {
      fprintf(stderr,
              "searchdb: check: %s set aside in '%s'; give --yes to remove without being "
              "asked\n",
              count_of(names.size(), "file").c_str(), inv.index.c_str());
      return exit_refused;
    }
    for (const std::string &name : names) fprintf(stderr, "will remove %s\n", path(name).c_str());
    if (!confirmed(names.size())) {
      fprintf(stderr, "searchdb: check: nothing removed\n");
      return exit_refused;
    }
  }
  bool ok = remove_set_aside(s.dir, dir, names, &removed, &error);
  std::vector<std::string> paths;
  for (const std::string &name : removed) paths.push_back(path(name));
  if (inv.json) {
    print_text(json_object().set_strings("removed", paths).text());
  } else {
    for (const std::string &p : paths) printf("removed %s\n", p.c_str());
  }
  if (!ok) {
    fprintf(stderr, "searchdb: check: %s\n", error.c_str());
    return exit_refused;
  }
  return exit_ok;
}

}  // namespace

int run_check(session *s, const invocation &inv) {
  if (inv.clear_set_aside) return clear_set_aside(*s, inv);
  std::vector<index_row> rows;
  parse_index_list(searchdb_indexes_list_json(), &rows);
  std::vector<std::string> listed;
  for (const index_row &row : rows) listed.push_back(row.name);
  if (!inv.index.empty() && std::find(listed.begin(), listed.end(), inv.index) == listed.end()) {
    fprintf(stderr, "searchdb: check: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  // Writing derived files is a change: refused up front, as any change is.
  if (inv.rebuild && !s->read_only_reason.empty()) return refuse_read_only(*s, inv.command);
  report r;
  for (const index_row &row : rows) {
    if (interrupted()) return stopped(inv);
    if (!inv.index.empty() && row.name != inv.index) continue;
    r.indexes.push_back(counts_of(row.name, inv.rebuild));
    check_documents(*s, row.name, &r);
  }
  r.files = find_in_store(s->dir, inv.index, listed, !inv.index.empty());
  r.not_verified = s->read_only_reason;
  if (inv.json) {
    print_json_report(r);
  } else {
    print_report(*s, r);
  }
  return r.problems() == 0 ? exit_ok : exit_refused;
}

}  // namespace cli
