#include "highlight.h"

#include <algorithm>

namespace cli {
namespace {

bool is_word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
         c >= 0x80;
}

// Lower-cases ASCII capitals and the two-byte capitals U+00C0..U+00DE and
// U+0410..U+042F; longer sequences are stepped over whole, untouched.
void fold_case(std::string *word) {
  std::string &w = *word;
  size_t i = 0;
  while (i < w.size()) {
    unsigned char c = static_cast<unsigned char>(w[i]);
    if (c >= 'A' && c <= 'Z') {
      w[i] = static_cast<char>(c + 0x20);
      i += 1;
    } else if (c >= 0xC0 && c <= 0xDF) {
      if (i + 1 >= w.size()) return;
      unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(w[i + 1]) & 0x3Fu);
      if ((cp >= 0xC0 && cp <= 0xDE) || (cp >= 0x410 && cp <= 0x42F)) {
        cp += 0x20;
        w[i] = static_cast<char>(0xC0 | (cp >> 6));
        w[i + 1] = static_cast<char>(0x80 | (cp & 0x3F));
      }
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF7) {
      i += 4;
    } else {
      i += 1;
    }
  }
}

// Levenshtein distance over bytes, given up as soon as every entry of a row
// exceeds the budget.
bool within_edits(std::string_view a, std::string_view b, size_t budget) {
  std::string_view s = a.size() <= b.size() ? a : b;
  std::string_view l = a.size() <= b.size() ? b : a;
  std::vector<size_t> prev(s.size() + 1), row(s.size() + 1);
  for (size_t j = 0; j <= s.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= l.size(); ++i) {
    row[0] = i;
    size_t row_min = row[0];
    for (size_t j = 1; j <= s.size(); ++j) {
      size_t substitute = prev[j - 1] + (s[j - 1] == l[i - 1] ? 0 : 1);
      row[j] = std::min({prev[j] + 1, row[j - 1] + 1, substitute});
      row_min = std::min(row_min, row[j]);
    }
    if (row_min > budget) return false;
    prev.swap(row);
  }
  return prev[s.size()] <= budget;
}

}  // namespace

std::vector<word_span> split_words(std::string_view text) {
  std::vector<word_span> words;
  size_t i = 0;
  while (i < text.size()) {
    if (!is_word_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    size_t begin = i;
    while (i < text.size() && is_word_byte(static_cast<unsigned char>(text[i]))) ++i;
    word_span word{begin, i, std::string(text.substr(begin, i - begin))};
    fold_case(&word.folded);
    words.push_back(std::move(word));
  }
  return words;
}

size_t typo_budget(size_t query_len) {
  return query_len <= 3 ? 0 : query_len <= 7 ? 1 : 2;
}

bool word_matches(std::string_view query_word, std::string_view word, bool exact_only) {
  if (word == query_word) return true;
  if (exact_only) return false;
  size_t qlen = query_word.size();
  if (qlen >= 2 && word.size() > qlen && word.substr(0, qlen) == query_word) return true;
  size_t budget = typo_budget(qlen);
  if (budget == 0) return false;
  size_t gap = word.size() > qlen ? word.size() - qlen : qlen - word.size();
  return gap <= budget && within_edits(query_word, word, budget);
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
