// `searchdb export`: every document's stored text, one a line, in stored
// order. No export lists documents and a search reaches only documents that
// hold a query word, so the documents are read from the index's stored file.
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cli.h"
#include "interrupt.h"

namespace cli {
namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;
using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

// A member that is a string without a NUL byte, as the loader takes it.
const char *stored_string(yyjson_val *value) {
  const char *text = yyjson_get_str(value);
  return text && strlen(text) == yyjson_get_len(value) ? text : nullptr;
}

// Reads the texts of the documents an index holds from its docs.json, the
// way the library loads them: entries that are not objects with string
// "__id" and "raw" are passed over, and a later entry with an id seen
// before replaces the earlier one's text in its place. A missing file is
// an index without documents. Returns false with a message.
bool read_stored_documents(const std::string &path, std::vector<std::string_view> *texts,
                           doc_ptr *doc, std::string *error) {
  yyjson_read_err err;
  doc->reset(yyjson_read_file(path.c_str(), 0, nullptr, &err));
  if (!*doc) {
    if (err.code == YYJSON_READ_ERROR_FILE_OPEN && errno == ENOENT) return true;
    *error = path + ": " + err.msg;
    return false;
  }
  yyjson_val *root = yyjson_doc_get_root(doc->get());
  if (!yyjson_is_arr(root)) {
    *error = path + ": not a JSON array";
    return false;
  }
  std::unordered_map<std::string_view, size_t> place_of;
  size_t index, count;
  yyjson_val *entry;
  yyjson_arr_foreach(root, index, count, entry) {
    const char *id = stored_string(yyjson_obj_get(entry, "__id"));
    yyjson_val *raw = yyjson_obj_get(entry, "raw");
    if (!id || !stored_string(raw)) continue;
    std::string_view text(yyjson_get_str(raw), yyjson_get_len(raw));
    auto [place, is_new] = place_of.emplace(id, texts->size());
    if (is_new) {
      texts->push_back(text);
    } else {
      (*texts)[place->second] = text;
    }
  }
  return true;
}

}  // namespace

int run_export(session *s, const invocation &inv) {
  std::string unused;
  if (!primary_key_of(inv.index, &unused)) {
    fprintf(stderr, "searchdb: export: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  doc_ptr doc(nullptr, yyjson_doc_free);
  std::vector<std::string_view> texts;
  std::string error;
  if (!read_stored_documents(s->dir + "/" + inv.index + "/docs.json", &texts, &doc, &error)) {
    fprintf(stderr, "searchdb: export: %s\n", error.c_str());
    return exit_refused;
  }
  bool to_stdout = !inv.has_argument || inv.argument == "-";
  file_ptr file(to_stdout ? nullptr : fopen(inv.argument.c_str(), "wb"), fclose);
  if (!to_stdout && !file) {
    fprintf(stderr, "searchdb: export: %s: %s\n", inv.argument.c_str(), strerror(errno));
    return exit_refused;
  }
  FILE *out = to_stdout ? stdout : file.get();
  size_t written = 0;
  for (std::string_view text : texts) {
    if (interrupted()) return stopped(inv);
    fwrite(text.data(), 1, text.size(), out);
    fputc('\n', out);
    ++written;
  }
  if (fflush(out) != 0 || ferror(out)) {
    fprintf(stderr, "searchdb: export: %s: %s\n",
            to_stdout ? "standard output" : inv.argument.c_str(), strerror(errno));
    return exit_refused;
  }
  if (!to_stdout) {
    if (fclose(file.release()) != 0) {
      fprintf(stderr, "searchdb: export: %s: %s\n", inv.argument.c_str(), strerror(errno));
      return exit_refused;
    }
    printf("exported %zu document%s from '%s' to %s\n", written, written == 1 ? "" : "s",
           inv.index.c_str(), inv.argument.c_str());
  }
  return exit_ok;
}

}  // namespace cli
