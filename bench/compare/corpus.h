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
