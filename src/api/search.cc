// The exports that read an index: the search, the search request, the
// statistics line, the check against a rebuild and the derived file's
// state; and the one that writes that file anew.
#include "search/search.h"

#include <cstdlib>

#include "api/frame.h"
#include "api/registry.h"
#include "base/error.h"
#include "base/holders.h"
#include "index/check.h"
#include "search/answer.h"
#include "search/query.h"
#include "search/request.h"
#include "search/request_run.h"
#include "searchdb.h"
#include "storage/derived.h"

namespace {

const char k_null[] = "null";

uint32_t at_least_zero(int v) {
  return v < 0 ? 0u : static_cast<uint32_t>(v);
}

// The answer as the export's text result, or the failure value.
const char *result_of(bool answered, const sdb_answer &a) {
  const char *result = answered ? sdb_result_set(a.bytes, a.len) : nullptr;
  return result ? result : k_null;
}

// Answers by answer() into a; when it met part of the derived file that
// is not as a build makes it (and stopped there, or read it as empty),
// answers again from a build, as if the file had never been there.
template <typename F>
bool answer_checked(sdb_index *ix, sdb_answer *a, F answer) {
  const sdb_first_failure before;
  const bool answered = answer();
  if (!sdb_derived_rejected(ix)) return answered;
  before.restore();
  a->len = 0;
  return sdb_derived_rebuild(ix, true) && answer();
}

}  // namespace

extern "C" {

SEARCHDB_API const char *searchdb_search(const char *index_name, const char *query, int limit,
                                         int offset) {
  sdb_index *ix = sdb_index_lookup(index_name);
  uint64_t tokens;
  if (!ix || sdb_query_refused(query, &tokens) || !sdb_index_ready(ix, true)) return k_null;
  sdb_answer a;
  const bool answered = answer_checked(ix, &a, [&] {
    return sdb_search_answer(ix, query, tokens, at_least_zero(limit), at_least_zero(offset), &a);
  });
  return result_of(answered, a);
}

SEARCHDB_API const char *searchdb_search_request(const char *index_name, const char *request_json) {
  sdb_index *ix = sdb_index_lookup(index_name);
  if (!ix) return k_null;
  if (!request_json) {
    sdb_error(SEARCHDB_INVALID, "request_json NULL");
    return k_null;
  }
  sdb_request req;
  bool oom = false;
  if (!sdb_request_parse(request_json, &req, &oom) || !sdb_index_ready(ix, true)) return k_null;
  sdb_answer a;
  const bool answered = answer_checked(ix, &a, [&] { return sdb_request_answer(ix, &req, &a); });
  return result_of(answered, a);
}

SEARCHDB_API const char *searchdb_index_stats_json(const char *index_name) {
  sdb_index *ix = sdb_index_lookup(index_name);
  if (!ix || !sdb_index_ready(ix, true)) return k_null;
  uint64_t len = 0;
  sdb_text_ptr line(sdb_stats_line(ix, &len));
  if (!line) {
    sdb_error(SEARCHDB_NOMEM, "oom: stats");
    return k_null;
  }
  const char *result = sdb_result_set(line.get(), len);
  return result ? result : k_null;
}

SEARCHDB_API int searchdb_index_check(const char *index_name) {
  sdb_index *ix = sdb_index_lookup(index_name);
  // A dictionary taken from the derived file is checked as it was taken.
  if (!ix || !sdb_index_ready(ix, false)) return -1;
  ix->matches_build = sdb_index_check(ix);
  return ix->matches_build ? 0 : -1;
}

SEARCHDB_API int searchdb_index_derived_state(const char *index_name) {
  sdb_index *ix = sdb_index_lookup(index_name);
  return ix ? sdb_derived_state(ix) : -1;
}

SEARCHDB_API int searchdb_index_write_derived(const char *index_name) {
  sdb_index *ix = sdb_index_lookup_for_change(index_name);
  if (!ix) return -1;
  const int rc = sdb_derived_rewrite(ix);
  sdb_index_change_end();
  return rc;
}

}  // extern "C"
