#include "highlight.h"

#include "index/index.h"
#include "index/tokenizer.h"
#include "search/typo.h"

namespace cli {
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
  static sdb_edit_rows rows;
  return sdb_token_matches(query_word.data(), query_word.size(), exact_only, word.data(),
                           word.size(), &rows);
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
