// Requests beyond a query string: filters, facets, sorting, browsing,
// highlighting and the typo-aware rank, described once and handed to each
// engine, which answers them in its own natural form.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "corpus.h"

inline constexpr int kSnippetWords = 20;
inline constexpr int kPageSize = 20;
// The words of the highlighted text that the peers' snippets aim at, in
// their own units: FTS5 counts tokens, Xapian bytes (about 7 per word of a
// description, its space included).
inline constexpr int kSnippetBytes = 7 * kSnippetWords;
inline constexpr char kMarkStart[] = "<mark>";
inline constexpr char kMarkEnd[] = "</mark>";

// A filter of the three kinds every engine can express natively, and an or
// of such filters.
struct Filter {
  enum Kind { kIn, kNotIn, kAtLeast, kAny } kind = kIn;
  std::string field;                // kSectionField, kTagsField or kSizeField
  std::vector<std::string> values;  // kIn, kNotIn
  double number = 0;                // kAtLeast
  std::vector<Filter> any;          // kAny
};

struct Request {
  std::string cls{};  // the class it is timed and counted in
  bool has_q = true;
  std::string q{};
  std::vector<Filter> filter{};  // none or one
  bool facets = false;           // counts of section and tags
  bool sort_by_size = false;     // installed_size descending, then relevance
  int offset = 0;
  bool highlight = false;   // description, kSnippetWords words around the first match
  bool typo_aware = false;  // "rank": "typo_aware"
  bool searchdb_only = false;
  bool check_only = false;  // answered once, for its answer; not timed
  // A misspelling's correctly spelt word (its best document must be in the
  // top 20), or the id of the document a name query must put first.
  std::string expect{};
  enum Expect { kNone, kBestDocOf, kFirstHit } expect_kind = kNone;
  int64_t doc = -1;  // for kFirstHit: that document's place in the corpus
  // The engine's own form of the request, made by Engine::Prepare before
  // the timing (searchdb: its JSON text); empty for engines that build it
  // as they answer.
  std::string prepared{};
};

// What an engine answered to one request, read after the timing.
struct Outcome {
  bool ok = false;
  std::string error;
  int64_t total = -1;  // documents that match and pass the filter
  std::vector<std::string> ids;
  std::vector<double> sizes;  // installed_size of each hit, -1 when missing
  size_t marked = 0;          // hits whose highlighted text holds a mark
  // field -> (value, count), by count descending then value
  std::map<std::string, std::vector<std::pair<std::string, int64_t>>> facets;
};

// The sizes and marks of an answer given as stored documents and snippets.
void ReadStoredHits(const std::vector<std::string> &docs, const std::vector<std::string> &snippets,
                    Outcome *out);

// The request as searchdb_search_request takes it.
std::string SearchdbRequestJson(const Request &r);
std::string FilterJson(const Filter &f);
// A short text for tables: "section in [fonts]", "installed_size >= 85000".
std::string DescribeFilter(const Filter &f);

bool WriteRequests(const std::string &path, const std::vector<Request> &requests);
std::vector<Request> ReadRequests(const std::string &path);

// The classes of requests, in order of first appearance.
std::vector<std::string> RequestClasses(const std::vector<Request> &requests);

// The filtered members of every document of a corpus, in corpus order, and
// what each filter keeps of them.
struct CorpusFacts {
  std::vector<std::string> section;
  std::vector<double> size;  // NaN when missing
  std::vector<std::vector<std::string>> tags;
  std::vector<std::string> ids, names;
  std::vector<std::vector<std::string>> name_words;
  // Words of 4 letters or more found in at least a fifth of the documents,
  // with their document counts, most frequent first.
  std::vector<std::pair<uint64_t, std::string>> broad;
};

// One filter aimed at a share of the documents.
struct TargetFilter {
  std::string label;  // "section 1%"
  double target = 0;
  Filter filter;
  double kept = 0;  // share of the corpus it keeps
};

// The workload beside the query classes, drawn from src with fixed seeds:
//  - "unfiltered", and one class per filter of kFilterTargets: the first
//    per_filter queries of the 1-3 words class, the page of 20 with the
//    total; the filters are a set of sections, a size range, a set of tags
//    and an or of the three, each chosen from the corpus to keep about 1 %,
//    30 % and 90 % of its documents;
//  - "facets": broad queries (words of 4 letters or more found in at least
//    20 % of the documents, alone and in pairs) with the counts of section
//    and tags;
//  - "sort by size": the broad queries sorted by installed_size descending;
//  - "browse page 1", "browse page 50": no query, each filter, sorted by
//    installed_size descending;
//  - "highlight": the unfiltered requests with the description highlighted;
//  - "misspelt typo-aware" (searchdb only): the misspelt queries ranked
//    typo-aware;
//  - "names" and "names typo-aware" (answered once): names queries.
struct Workload {
  std::vector<Request> requests;
  std::vector<TargetFilter> filters;
  std::vector<std::string> broad_words;
  size_t names_drawn = 0, names_unique = 0;
};
Workload MakeWorkload(const CorpusFacts &facts, const std::vector<Query> &queries,
                      size_t per_filter, size_t broad, size_t names, uint64_t seed);

CorpusFacts ReadCorpusFacts(const CorpusSource &src);

// How many of the first `limit` documents (0: all) the filter keeps.
uint64_t CountKept(const CorpusFacts &facts, const Filter &f, uint64_t limit);
