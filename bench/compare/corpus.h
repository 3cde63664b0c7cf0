// The documents every engine indexes and the queries every engine answers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where the documents come from: a JSON Lines file (gzip-compressed when it
// ends in ".gz"), or, when path is empty, synthetic documents drawn from a
// Zipf vocabulary with a fixed seed.
struct CorpusSource {
  std::string path;
  uint64_t synthetic_docs = 20000;
  uint64_t seed = 20240611;
  uint64_t limit = 0;   // first documents taken; 0: all
  uint64_t repeat = 1;  // copies; copy k > 0 has "~k" appended to every id
};

// Calls each with every document's JSON text, in order. False when the file
// cannot be read.
bool ForEachDocument(const CorpusSource &src, const std::function<void(const std::string &)> &each);

// A document as the peers take it: its id, its name member (searchdb's
// title member, weighted double) and the text of every other member.
struct FlatDocument {
  std::string id, name, body;
};

// The fields of one document's JSON text; false when it does not parse.
bool Flatten(const std::string &json, FlatDocument *out);

// The members of a corpus document that requests filter, count and sort on.
// Every engine keeps them in its own form when it builds: searchdb reads
// them from the stored documents, FTS5 as columns and a table of tags,
// Xapian as values and boolean terms.
inline constexpr char kSectionField[] = "section";      // one string
inline constexpr char kTagsField[] = "tags";            // an array of strings
inline constexpr char kSizeField[] = "installed_size";  // a number
// The member requests highlight, a column of its own for FTS5's snippets.
inline constexpr char kHighlightField[] = "description";

// A document as a table with a column per field takes it: the name, the
// summary, the description and the text of every other member.
struct FlatColumns {
  std::string id, name, summary, description, rest;
};
bool FlattenColumns(const std::string &json, FlatColumns *out);

// The members requests filter, count and sort on: section (a string),
// installed_size (a number) and tags (the strings of an array).
struct FilteredMembers {
  std::string section;
  bool has_section = false, has_size = false;
  double size = 0;
  std::vector<std::string> tags;
};
bool ReadFilteredMembers(const std::string &json, FilteredMembers *out);

// Lower-case runs of letters, digits, '_' and bytes above 0x7F: the words
// the engines all index alike.
std::vector<std::string> Words(const std::string &text);

enum QueryClass { kWords, kPrefix, kMisspelt, kQueryClasses };
const char *QueryClassName(QueryClass c);

struct Query {
  QueryClass cls;
  std::string text;
  std::string original;  // the correctly spelt word of a misspelling
};

// Draws per_class queries of each class, with a fixed seed, from the first
// 10,000 documents of src: 1-3 words of one document; the first 3-5 letters
// of a word of at least 6 letters, that are not themselves a word of the
// corpus; and words misspelt by one insertion, deletion or substitution
// (two for words of 9 letters or more, keeping at least 8), that are not
// words of the corpus.
std::vector<Query> MakeQueries(const CorpusSource &src, size_t per_class, uint64_t seed);

bool WriteQueries(const std::string &path, const std::vector<Query> &queries);
std::vector<Query> ReadQueries(const std::string &path);

// The lines of a file of three tab-separated fields (the last may hold
// tabs); lines with fewer are skipped.
std::vector<std::array<std::string, 3>> ReadTabLines(const std::string &path);
