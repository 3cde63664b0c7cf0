// `searchdb export`: every document's stored text, one a line, in stored
// order, read from the index's stored file (stored_documents.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli.h"
#include "interrupt.h"
#include "json_text.h"
#include "storage/layout.h"
#include "stored_documents.h"

namespace cli {

int run_export(session *s, const invocation &inv) {
  std::string unused;
  if (!primary_key_of(inv.index, &unused)) {
    fprintf(stderr, "searchdb: export: index '%s' not found\n", inv.index.c_str());
    return exit_refused;
  }
  stored_file stored;
  std::string error;
  const std::string path = s->dir + "/" + inv.index + "/" + SDB_DOCUMENTS_FILE;
  if (!read_stored_documents(path, &stored, &error)) {
    fprintf(stderr, "searchdb: export: %s\n", error.c_str());
    return exit_refused;
  }
  if (stored.damaged) {
    fprintf(stderr, "searchdb: export: %s: not a JSON array\n", path.c_str());
    return exit_refused;
  }
  using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;
  bool to_stdout = !inv.has_argument || inv.argument == "-";
  file_ptr file(to_stdout ? nullptr : fopen(inv.argument.c_str(), "wb"), fclose);
  if (!to_stdout && !file) {
    fprintf(stderr, "searchdb: export: %s: %s\n", inv.argument.c_str(), strerror(errno));
    return exit_refused;
  }
  FILE *out = to_stdout ? stdout : file.get();
  size_t written = 0;
  for (const stored_document &doc : stored.documents) {
    if (interrupted()) return stopped(inv);
    fwrite(doc.text.data(), 1, doc.text.size(), out);
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
    if (inv.json) {
      print_text(json_object()
                     .set("index", inv.index)
                     .set("file", inv.argument)
                     .set("exported", static_cast<int64_t>(written))
                     .text());
    } else {
      printf("exported %s from '%s' to %s\n", count_of(written, "document").c_str(),
             inv.index.c_str(), inv.argument.c_str());
    }
  }
  return exit_ok;
}

}  // namespace cli
