#include "index/canonical.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

// The test that makes the buffer fail to grow asks for an impossible block;
// under AddressSanitizer that must come back as a null pointer too.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

// The canonical text of the JSON text in, which must parse.
std::string Canon(const std::string &in) {
  yyjson_doc *doc = yyjson_read(in.data(), in.size(), 0);
  EXPECT_NE(doc, nullptr) << in;
  if (doc == nullptr) return "<unparsed>";
  uint64_t len = 0;
  char *text = sdb_val_to_json(yyjson_doc_get_root(doc), &len);
  yyjson_doc_free(doc);
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return "<oom>";
  EXPECT_EQ(text[len], '\0');
  std::string out(text, len);
  free(text);
  return out;
}

TEST(CanonicalWriter, RemovesWhitespaceAndKeepsOrderAndDuplicateKeys) {
  EXPECT_EQ(Canon(" {\n \"b\" : 1 ,\t\"a\" : [ true , false , null ] , \"b\" : \"x\" }\r\n"),
            R"({"b":1,"a":[true,false,null],"b":"x"})");
}

TEST(CanonicalWriter, WritesEmptyContainersAndScalarRoots) {
  EXPECT_EQ(Canon("{}"), "{}");
  EXPECT_EQ(Canon("[]"), "[]");
  EXPECT_EQ(Canon("[{},[],[[]],{\"a\":{}}]"), R"([{},[],[[]],{"a":{}}])");
  EXPECT_EQ(Canon("null"), "null");
  EXPECT_EQ(Canon("\"s\""), "\"s\"");
}

TEST(CanonicalWriter, PrintsRealsWithSeventeenDigits) {
  EXPECT_EQ(Canon("[1.0,1e0,2.50,0.1,1.5e-7,3.0,-0.0,1e21,1e16,1e17,123.456]"),
            "[1,1,2.5,0.10000000000000001,1.4999999999999999e-07,3,-0,1e+21,10000000000000000,"
            "1e+17,123.456]");
}

TEST(CanonicalWriter, PrintsIntegersThroughADouble) {
  EXPECT_EQ(Canon("[100,0,-7,9007199254740993,-9223372036854775808]"),
            "[100,0,-7,9007199254740992,-9223372036854775808]");
  // Unsigned values of 2^63 and above stay positive.
  EXPECT_EQ(Canon("[9223372036854775808,12345678901234567890,18446744073709551615]"),
            "[9223372036854775808,12345678901234567168,18446744073709551616]");
}

TEST(CanonicalWriter, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(Canon(R"(["q\"b\\s\/e"])"), R"(["q\"b\\s/e"])");
  EXPECT_EQ(Canon(R"(["\b\t\n\f\r"])"), R"(["\b\t\n\f\r"])");
  EXPECT_EQ(Canon(R"(["\u0001\u001F\u001f\u000B"])"), R"(["\u0001\u001f\u001f\u000b"])");
  // 0x7F and every non-ASCII character come out as raw bytes.
  EXPECT_EQ(Canon(R"(["\u007f\u00e9\u20AC\ud83d\ude00"])"),
            "[\"\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]");
  EXPECT_EQ(Canon(R"({"k\ty":"v"})"), R"({"k\ty":"v"})");
}

TEST(CanonicalWriter, KeepsNulBytesInsideStrings) {
  EXPECT_EQ(Canon(R"(["a\u0000b"])"), R"(["a\u0000b"])");
  EXPECT_EQ(Canon(R"({"\u0000":"\u0000\u0000"})"), R"({"\u0000":"\u0000\u0000"})");
}

TEST(CanonicalWriter, ItsOutputIsAFixedPoint) {
  std::string once =
      Canon(R"({"id": 12, "title": "Caf\u00e9 \"x\"", "tags": ["a", 1.25e3, {"n": null}],)"
            R"( "deep": [[[{"k": -0.5}]]], "ctl": "\u0002\n"})");
  EXPECT_EQ(Canon(once), once);
}

TEST(CanonicalWriter, WritesVeryDeepNesting) {
  const int depth = 100000;
  std::string arrays = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_EQ(Canon(arrays), arrays);
  std::string objects;
  for (int i = 0; i < depth; i++) objects += "{\"a\":";
  objects += "1" + std::string(depth, '}');
  EXPECT_EQ(Canon(objects), objects);
}

TEST(CanonicalWriter, EmitAppendsAndKeepsRoomForTheTerminator) {
  yyjson_doc *doc = yyjson_read("[1,\"x\"]", 7, 0);
  ASSERT_NE(doc, nullptr);
  char *text = nullptr;
  uint64_t len = 0, cap = 0;
  ASSERT_TRUE(sdb_json_emit(yyjson_doc_get_root(doc), &text, &len, &cap));
  EXPECT_EQ(cap, 256u);
  ASSERT_TRUE(sdb_json_emit(yyjson_doc_get_root(doc), &text, &len, &cap));
  EXPECT_EQ(std::string(text, len), "[1,\"x\"][1,\"x\"]");
  // A string that needs more than twice the block doubles it until it fits.
  std::string big(600, 'b');
  ASSERT_TRUE(sdb_json_emit_string(big.data(), big.size(), &text, &len, &cap));
  EXPECT_EQ(len, 14u + 602u);
  EXPECT_EQ(cap, 1024u);
  free(text);
  yyjson_doc_free(doc);
}

TEST(CanonicalWriter, EmitStringEscapesArbitraryBytes) {
  char *text = nullptr;
  uint64_t len = 0, cap = 0;
  const char bytes[] = "a\0\x1f\"\\\xff/";
  ASSERT_TRUE(sdb_json_emit_string(bytes, sizeof bytes - 1, &text, &len, &cap));
  EXPECT_EQ(std::string(text, len), "\"a\\u0000\\u001f\\\"\\\\\xff/\"");
  EXPECT_GE(cap, len + 2);
  free(text);
}

TEST(CanonicalWriter, EmitReportsABufferThatCannotGrow) {
  char *text = nullptr;
  uint64_t len = uint64_t{1} << 62;  // no block of that size can be had
  uint64_t cap = 0;
  EXPECT_FALSE(sdb_json_emit_string("x", 1, &text, &len, &cap));
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(cap, 0u);
  EXPECT_EQ(len, uint64_t{1} << 62);
}

}  // namespace
