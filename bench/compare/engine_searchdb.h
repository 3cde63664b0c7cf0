// searchdb's engine over a table of the library's functions, so that the
// same engine serves the linked library and one loaded with dlopen, and a
// program holding only one of them links nothing of the other.
#pragma once

#include <memory>

#include "engines.h"

// The library's functions, reached either through the link or through
// dlsym on a library loaded apart from the linked one (which may be older
// than searchdb_search_request: then that one is null).
struct SearchdbApi {
  int (*init)(const char *);
  void (*cleanup)(void);
  const char *(*last_error)(void);
  int (*index_create)(const char *, const char *);
  int (*index_delete)(const char *);
  const char *(*indexes_list_json)(void);
  int (*documents_add)(const char *, const char *);
  const char *(*document_get)(const char *, const char *);
  int (*document_delete)(const char *, const char *);
  const char *(*search)(const char *, const char *, int, int);
  const char *(*index_stats_json)(const char *);
  const char *(*search_request)(const char *, const char *);
};

// The engine calling api's functions.
std::unique_ptr<Engine> NewSearchdbApiEngine(const SearchdbApi &api);
