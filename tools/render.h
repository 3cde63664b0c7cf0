// Human-readable output of the library's JSON answers: the hits table, the
// statistics, the index list and single documents. Every function takes the
// JSON text exactly as the library returned it and returns the text to print
// (newline-terminated), or an empty string when the JSON cannot be read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

struct table_style {
  bool ansi = false;   // bold and colour escapes; otherwise matches are shown [like this]
  size_t width = 100;  // columns of the terminal
};

// How a page of hits was asked for, where the table shows it differently.
struct hits_request {
  bool browsing = false;  // no query: the footer counts documents
  // The members the library marked in each hit's "_highlight", and the
  // tags it put around each marked word. With none, the table marks the
  // query words itself.
  std::vector<std::string> highlighted;
  std::string mark_open, mark_close;
};

// One page of search results: rank, id, title, and a snippet of the member
// that matches the most query words, with the query words marked; or, when
// the library marked members, of the marked member with the most marks.
std::string render_hits(const std::string &response_json, const std::string &primary_key,
                        const table_style &style, const hits_request &request = {});

// The answer's facets, a small table of values and counts per path; ""
// when it has none.
std::string render_facets(const std::string &response_json, const table_style &style);

std::string render_stats(const std::string &stats_json, const table_style &style);

struct index_row {
  std::string name;
  std::string primary_key;
  std::string documents;  // the live document count, or "?" when unknown
};

std::string render_index_list(const std::vector<index_row> &rows, const table_style &style);

// The document count of a statistics line, or "?" when it cannot be read.
std::string stats_document_count(const std::string &stats_json);

// Parses the index list the library returns into rows without counts.
bool parse_index_list(const std::string &list_json, std::vector<index_row> *rows);

// The document indented for reading.
std::string render_document(const std::string &document_json);

}  // namespace cli
