#include "index/tokenizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The tokens of text, checking that each handed-back length is the length
// of its string.
std::vector<std::string> Tokens(const std::string &text) {
  char **tokens = nullptr;
  uint64_t *lens = nullptr;
  uint64_t count = sdb_tokenize(text.c_str(), &tokens, &lens);
  EXPECT_NE(tokens, nullptr);
  EXPECT_NE(lens, nullptr);
  std::vector<std::string> out;
  for (uint64_t i = 0; i < count; i++) {
    EXPECT_EQ(lens[i], strlen(tokens[i]));
    out.emplace_back(tokens[i], lens[i]);
  }
  sdb_tokens_free(tokens, lens, count);
  return out;
}

using V = std::vector<std::string>;

TEST(Tokenizer, SplitsAtPunctuationAndKeepsUnderscoresAndDigits) {
  EXPECT_EQ(Tokens("Hello, World!"), (V{"hello", "world"}));
  EXPECT_EQ(Tokens("foo_bar-Baz42"), (V{"foo_bar", "baz42"}));
  EXPECT_EQ(Tokens("3.14"), (V{"3", "14"}));
  EXPECT_EQ(Tokens("e-mail"), (V{"e", "mail"}));
  EXPECT_EQ(Tokens("  __  x\ty\nz "), (V{"__", "x", "y", "z"}));
}

TEST(Tokenizer, EveryAsciiByteIsEitherPartOfATokenOrASeparator) {
  for (int c = 1; c < 0x80; c++) {
    bool joins =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    std::string text = std::string("p") + static_cast<char>(c) + "q";
    if (joins) {
      std::string folded(1, static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c));
      EXPECT_EQ(Tokens(text), (V{"p" + folded + "q"})) << "byte " << c;
    } else {
      EXPECT_EQ(Tokens(text), (V{"p", "q"})) << "byte " << c;
    }
  }
}

TEST(Tokenizer, HighBytesStayInsideTokens) {
  EXPECT_EQ(Tokens("a\x80z \xff"), (V{"a\x80z", "\xff"}));
  EXPECT_EQ(Tokens("caf\xc3\xa9-bar"), (V{"caf\xc3\xa9", "bar"}));
}

TEST(Tokenizer, EmptyTextAndSeparatorsOnlyGiveNoTokens) {
  EXPECT_EQ(Tokens(""), V{});
  EXPECT_EQ(Tokens(" ,.;!?-\x7f"), V{});
}

TEST(Tokenizer, FoldsLatin1Capitals) {
  EXPECT_EQ(Tokens("ÀÉÎ Öl"), (V{"àéî", "öl"}));
  EXPECT_EQ(Tokens("Þ"), (V{"þ"}));      // U+00DE, last of the range
  EXPECT_EQ(Tokens("a×b"), (V{"a÷b"}));  // U+00D7 becomes U+00F7
  EXPECT_EQ(Tokens("ß"), (V{"ß"}));      // U+00DF is past the range
  EXPECT_EQ(Tokens("¿"), (V{"¿"}));      // U+00BF is before it
  EXPECT_EQ(Tokens("ĀŒ"), (V{"ĀŒ"}));    // Latin Extended stays
}

TEST(Tokenizer, FoldsCyrillicCapitalsButNotTheBlockBeforeThem) {
  EXPECT_EQ(Tokens("ПРИВЕТ мир"), (V{"привет", "мир"}));
  EXPECT_EQ(Tokens("АЯ"), (V{"ая"}));  // U+0410 and U+042F, the range's ends
  EXPECT_EQ(Tokens("Ёж"), (V{"Ёж"}));  // U+0401
  EXPECT_EQ(Tokens("ΑΩ"), (V{"ΑΩ"}));  // Greek stays
}

TEST(Tokenizer, TwoByteLeadTakesTheNextByteWhateverItIs) {
  // 0xC3 followed by 'A' decodes as U+00C1 and is folded like it.
  EXPECT_EQ(Tokens(std::string("\xc3") + "A"), (V{"\xc3\xa1"}));
  // A lead byte as the token's last byte stays, and so does what precedes it.
  EXPECT_EQ(Tokens("AB\xc3"), (V{"ab\xc3"}));
  EXPECT_EQ(Tokens("\xc3 x"), (V{"\xc3", "x"}));
}

TEST(Tokenizer, LongerSequencesStepOverTheirFollowingBytes) {
  const std::string e2 = "\xe2", f0 = "\xf0";
  EXPECT_EQ(Tokens(e2 + "ABCD"), (V{e2 + "ABcd"}));
  EXPECT_EQ(Tokens(f0 + "ABCDE"), (V{f0 + "ABCde"}));
  // A stray continuation byte or 0xF8..0xFF steps over itself only.
  const std::string cont = "\x80", f8 = "\xf8";
  EXPECT_EQ(Tokens(cont + "A" + f8 + "B"), (V{cont + "a" + f8 + "b"}));
  // Three-byte capitals (U+1E00) are not folded.
  EXPECT_EQ(Tokens("Ḁ"), (V{"Ḁ"}));
}

TEST(Tokenizer, ArraysGrowPastSixteenKeepingOrder) {
  std::string text;
  V expected;
  for (int i = 0; i < 1000; i++) {
    text += "W" + std::to_string(i) + " ";
    expected.push_back("w" + std::to_string(i));
  }
  EXPECT_EQ(Tokens(text), expected);
  V first17(expected.begin(), expected.begin() + 17);
  std::string text17;
  for (const auto &t : first17) text17 += t + ";";
  text17.pop_back();  // the last token ends the text
  EXPECT_EQ(Tokens(text17), first17);
}

TEST(Tokenizer, KeepsLongTokensWhole) {
  std::string word(5000, 'Q');
  EXPECT_EQ(Tokens("a " + word + " b"), (V{"a", std::string(5000, 'q'), "b"}));
}

}  // namespace
