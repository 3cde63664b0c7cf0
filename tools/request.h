// A search that asks for more than searchdb_search can (conditions, order,
// counts, chosen members, all words, the library's marks, a ranking rule,
// browsing without a query) goes to searchdb_search_request as one JSON
// request, made here from the command line's options or read whole with
// --request.
#pragma once

#include <string>

#include "cli.h"
#include "render.h"

namespace cli {

// Whether the search has options that need the request call; one without
// them, and with a query, keeps to searchdb_search.
bool is_request_search(const invocation &inv);

struct request_choices {
  // The tags the library puts around marked words, for a display that
  // finds them again; empty for the library's default.
  std::string mark_open, mark_close;
  // A member added to "fields" when they leave it out (the table's ids).
  std::string id_field;
};

// The request the options describe. False with *error when a condition or
// a sort key cannot be read, or a text is not UTF-8.
bool build_request(const invocation &inv, const request_choices &choices, std::string *json,
                   std::string *error);

// What the table needs to know of a request to show its answer; a request
// that does not parse is shown as having asked for nothing.
hits_request display_of(const std::string &request_json);

}  // namespace cli
