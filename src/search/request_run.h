// Running a search request (request.h) against an index.
#pragma once

#include "index/index.h"
#include "search/answer.h"
#include "search/request.h"

// Runs req against ix (built) and writes its answer into out: the query is
// matched and scored as searchdb_search scores it; the documents it matches
// (every live one when browsing) are kept by the phrases, the all-words
// rule and the filter; the facets count what is kept; the page is ordered
// by the sort keys and written with the chosen fields and the highlights.
// False, with the message set, when memory ran out.
bool sdb_request_answer(sdb_index *ix, sdb_request *req, sdb_answer *out);
