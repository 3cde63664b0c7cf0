// The header's prose states the limits in words a reader can check; the
// code takes them from base/limits.h. A limit changed in one place and not
// the other would make the header promise what the library refuses, so the
// sentences of the header are held to the constants here.
#include "base/limits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Header() {
  const auto path =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "include" / "searchdb.h";
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  // The prose is broken over comment lines: join them into one run of words.
  std::string joined;
  for (char c : text.str()) {
    if (c == '\n' || c == '*') c = ' ';
    if (c == ' ' && !joined.empty() && joined.back() == ' ') continue;
    joined += c;
  }
  return joined;
}

// n with a comma between each group of three digits, as the prose writes it.
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

TEST(Limits, TheHeaderSaysTheNumbersTheCodeUses) {
  const std::string h = Header();
  ASSERT_FALSE(h.empty());
  const std::string sentences[] = {
      "waits more than " + std::to_string(SDB_LOCK_TIMEOUT_MS / 1000) + " s for the lock",
      "at most " + std::to_string(SDB_PRIMARY_KEY_MAX) + " bytes",
      "longer than " + Grouped(SDB_TEXT_MAX) + " bytes",
      "at most " + std::to_string(SDB_QUERY_TOKEN_MAX) + " words",
      "nest at most " + std::to_string(SDB_FILTER_DEPTH_MAX) + " deep with " +
          Grouped(SDB_FILTER_NODES_MAX) + " nodes and " + Grouped(SDB_FILTER_IN_MAX) + " values",
      std::to_string(SDB_COLUMNS_KEPT) + " distinct field paths",
      std::to_string(SDB_SORT_KEYS_MAX) + " sort keys, " + std::to_string(SDB_FACETS_MAX) +
          " facets, " + std::to_string(SDB_HIGHLIGHT_MAX) + " highlighted members, " +
          std::to_string(SDB_FIELDS_MAX) + " fields, " + std::to_string(SDB_PHRASE_WORDS_MAX) +
          " words per phrase",
  };
  for (const std::string &s : sentences) EXPECT_NE(h.find(s), std::string::npos) << s;
}

}  // namespace
