// `searchdb check`: what the store holds and what loading it left aside.
// The library renames a damaged file and says so once, when it loads it;
// later loads find the file gone and the index simply smaller. This command
// keeps pointing at such files, and at index directories the list forgot.
#include <dirent.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "interrupt.h"
#include "searchdb.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};

const char kListDir[] = "_indexes";

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A file set aside by a load: "<file>.corrupt" or "<file>.found", or either
// with ".2", ".3", ... after it when an older one was kept.
bool is_set_aside(std::string name) {
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot + 1 < name.size() &&
      std::all_of(name.begin() + static_cast<long>(dot) + 1, name.end(),
                  [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; })) {
    name.erase(dot);
  }
  return ends_with(name, ".corrupt") || ends_with(name, ".found");
}

bool is_regular_file(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct findings {
  std::vector<std::string> set_aside;  // paths relative to the store
  std::vector<std::string> unlisted;   // index directories not in the list
};

// Walks the directory dir (rel from the store, "" for the store itself)
// without following symbolic links. With one_index set, the directories of
// other listed indexes below it are left out.
void walk(const std::string &dir, const std::string &rel, const std::vector<std::string> &listed,
          bool one_index, findings *found) {
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  if (!d) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(d.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string path = dir + "/" + name;
    std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      bool is_listed = std::find(listed.begin(), listed.end(), child) != listed.end();
      if (one_index && is_listed) continue;
      if (child != kListDir && !is_listed && is_regular_file(path + "/meta.json")) {
        found->unlisted.push_back(child);
      }
      walk(path, child, listed, one_index, found);
    } else if (is_set_aside(name)) {
      found->set_aside.push_back(child);
    }
  }
}

// "N documents, M terms" from an index's statistics.
std::string counts_of(const std::string &index) {
  const char *stats = searchdb_index_stats_json(index.c_str());
  if (is_null_result(stats)) return "no statistics: " + last_error();
  doc_ptr doc(yyjson_read(stats, strlen(stats), 0), yyjson_doc_free);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  auto count = [&](const char *key) {
    yyjson_val *v = yyjson_obj_get(root, key);
    return yyjson_is_num(v) ? std::to_string(static_cast<long long>(yyjson_get_num(v))) : "?";
  };
  std::string documents = count("document_count"), terms = count("term_count");
  return documents + (documents == "1" ? " document, " : " documents, ") + terms +
         (terms == "1" ? " term" : " terms");
}

}  // namespace

int run_check(session *s, const invocation &inv) {
  std::vector<index_row> rows;
  parse_index_list(searchdb_indexes_list_json(), &rows);
  std::vector<std::string> listed;
  for (const index_row &row : rows) listed.push_back(row.name);
  if (!inv.index.empty() && std::find(listed.begin(), listed.end(), inv.index) == listed.end()) {
    fprintf(stderr, "searchdb: check: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  // Opening the store may have set a file aside just now.
  bool load_warned = !s->load_warning.empty();

  for (const index_row &row : rows) {
    if (interrupted()) return stopped(inv);
    if (!inv.index.empty() && row.name != inv.index) continue;
    printf("index '%s': %s\n", row.name.c_str(), counts_of(row.name).c_str());
  }
  findings found;
  if (inv.index.empty()) {
    walk(s->dir, "", listed, false, &found);
  } else {
    walk(s->dir + "/" + inv.index, inv.index, listed, true, &found);
  }
  for (const std::string &path : found.set_aside) {
    printf("set aside: %s (a damaged file kept for recovery)\n", path.c_str());
  }
  for (const std::string &path : found.unlisted) {
    printf("not listed: %s (an index directory that is not in the index list)\n", path.c_str());
  }
  size_t problems = found.set_aside.size() + found.unlisted.size();
  if (problems == 0 && !load_warned) {
    printf("nothing to report\n");
    return exit_ok;
  }
  if (problems > 0) printf("%zu thing%s to report\n", problems, problems == 1 ? "" : "s");
  return exit_refused;
}

}  // namespace cli
