// searchdb through the library the program links.
#include "engine_searchdb.h"
#include "searchdb.h"

namespace {

const SearchdbApi kLinked = {
    searchdb_init,          searchdb_cleanup,          searchdb_last_error,
    searchdb_index_create,  searchdb_index_delete,     searchdb_indexes_list_json,
    searchdb_documents_add, searchdb_document_get,     searchdb_document_delete,
    searchdb_search,        searchdb_index_stats_json, searchdb_search_request};

}  // namespace

std::unique_ptr<Engine> NewSearchdbEngine() {
  return NewSearchdbApiEngine(kLinked);
}
