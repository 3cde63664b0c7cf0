// Finding the query's words in a hit, for highlighting. The library returns
// whole documents without saying which words matched, so the tool splits and
// compares words the way the library's search does: words are runs of ASCII
// letters, digits, '_' and non-ASCII bytes, compared case-folded; a query word
// matches a document word that is equal to it, that begins with it (query
// words of two bytes or more), or that is within its typo budget of byte
// edits. When the document holds the query word itself, only equal words are
// marked, as the search then looks no further for that word.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct word_span {
  size_t begin;  // byte offsets into the text the word was found in
  size_t end;
  std::string folded;
};

// The words of text, in order, each with its case-folded form.
std::vector<word_span> split_words(std::string_view text);

// The byte edits a query word of this length may differ by: 0 up to 3 bytes,
// 1 up to 7, 2 from 8 on.
size_t typo_budget(size_t query_len);

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
