// Finding the query's words in a hit, for highlighting. The library returns
// whole documents without saying which words matched, so the tool splits,
// folds and compares words with the library's own code (its tokenizer, case
// folding, typo budget and edit distance): a query word matches a document
// word that is equal to it, that begins with it (query words of two bytes
// or more), or that is within its typo budget of byte edits. When the
// document holds the query word itself, only equal words are marked, as the
// search then looks no further for that word.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct word_span {
  size_t begin;  // byte offsets into the text the word was found in
  size_t end;
  std::string folded;  // case-folded and cut to the longest term, as indexed
};

// The words of text, in order, each with its folded form.
std::vector<word_span> split_words(std::string_view text);

// Whether a folded document word matches a folded query word.
bool word_matches(std::string_view query_word, std::string_view word, bool exact_only);

// Per query word, whether a document holding these words contains it
// exactly (then only exact matches count for it).
std::vector<bool> exact_query_words(const std::vector<std::string> &query,
                                    const std::vector<word_span> &document_words);

struct word_match {
  size_t begin;  // byte offsets into the text searched
  size_t end;
  size_t query_word;  // index of the first query word it matches
};

// The words of text that match a query word, in text order.
std::vector<word_match> matching_words(std::string_view text, const std::vector<std::string> &query,
                                       const std::vector<bool> &exact_only);

}  // namespace cli
