#include "highlight.h"

#include "index/index.h"
#include "index/tokenizer.h"
#include "search/typo.h"

namespace cli {
namespace {

bool begins_with(std::string_view word, std::string_view prefix) {
  return word.size() > prefix.size() && word.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::vector<word_span> split_words(std::string_view text) {
  std::vector<word_span> words;
  size_t pos = 0, start = 0, len = 0;
  while (sdb_next_token(text.data(), text.size(), &pos, &start, &len)) {
    word_span word{start, start + len, std::string(text.substr(start, len))};
    sdb_fold_case(word.folded.data(), word.folded.size());
    if (word.folded.size() > SDB_TERM_MAX) word.folded.resize(SDB_TERM_MAX);
    words.push_back(std::move(word));
  }
  return words;
}

bool word_matches(std::string_view query_word, std::string_view word, bool exact_only) {
  if (word == query_word) return true;
  if (exact_only) return false;
  if (query_word.size() >= 2 && begins_with(word, query_word)) return true;
  int budget = sdb_typo_budget(query_word.size());
  if (budget == 0) return false;
  static sdb_edit_rows rows;
  return sdb_edit_within(query_word.data(), query_word.size(), word.data(), word.size(), budget,
                         &rows);
}

std::vector<bool> exact_query_words(const std::vector<std::string> &query,
                                    const std::vector<word_span> &document_words) {
  std::vector<bool> exact(query.size(), false);
  for (size_t q = 0; q < query.size(); ++q) {
    for (const word_span &word : document_words) {
      if (word.folded == query[q]) {
        exact[q] = true;
        break;
      }
    }
  }
  return exact;
}

std::vector<word_match> matching_words(std::string_view text, const std::vector<std::string> &query,
                                       const std::vector<bool> &exact_only) {
  std::vector<word_match> matches;
  for (const word_span &word : split_words(text)) {
    for (size_t q = 0; q < query.size(); ++q) {
      if (word_matches(query[q], word.folded, exact_only[q])) {
        matches.push_back({word.begin, word.end, q});
        break;
      }
    }
  }
  return matches;
}

}  // namespace cli
