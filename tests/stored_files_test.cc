// Stored files as this library writes them and as people and other programs
// leave them. A documents file is read exactly as a plain reading with the
// JSON library reads it (the first "__id" and "raw" string members of each
// object; a later id replaces an earlier one's text in its place); its
// elements in the writer's form are kept byte for byte, every other one is
// made again in that form at the next save; a file that is not an array, or
// holds an element that is not a document, is set aside and says so.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"
#include "api/registry.h"
#include "index/index.h"
#include "index/entry.h"
#include "storage/docs_scan.h"

namespace fs = std::filesystem;

namespace {

using doc = std::pair<std::string, std::string>;  // id, text
using doc_list = std::vector<doc>;

// ---- a plain reading with the JSON library ----

std::optional<std::string> PlainString(yyjson_val *v) {
  if (!yyjson_is_str(v)) return std::nullopt;
  std::string s(yyjson_get_str(v), yyjson_get_len(v));
  if (s.find('\0') != std::string::npos) return std::nullopt;
  return s;
}

// The elements of a documents file, each a document or nothing; nullopt
// when the file is not a JSON array.
std::optional<std::vector<std::optional<doc>>> PlainElements(const std::string &text) {
  yyjson_doc *d = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(d);
  std::optional<std::vector<std::optional<doc>>> out;
  if (yyjson_is_arr(root)) {
    out.emplace();
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(root, i, n, e) {
      auto id = PlainString(yyjson_obj_get(e, "__id"));
      auto raw = PlainString(yyjson_obj_get(e, "raw"));
      if (id && raw) {
        out->emplace_back(doc{*id, *raw});
      } else {
        out->emplace_back(std::nullopt);
      }
    }
  }
  yyjson_doc_free(d);
  return out;
}

// The documents the elements give, in the order of their first element.
doc_list Merge(const std::vector<std::optional<doc>> &elements) {
  doc_list docs;
  std::map<std::string, size_t> place;
  for (const auto &e : elements) {
    if (!e) continue;
    auto [it, fresh] = place.emplace(e->first, docs.size());
    if (fresh) {
      docs.push_back(*e);
    } else {
      docs[it->second].second = e->second;
    }
  }
  return docs;
}

std::string Write(yyjson_mut_doc *d, yyjson_mut_val *root) {
  yyjson_mut_doc_set_root(d, root);
  size_t len = 0;
  char *text = yyjson_mut_write(d, 0, &len);
  std::string out(text, len);
  free(text);
  yyjson_mut_doc_free(d);
  return out;
}

yyjson_mut_val *DocObject(yyjson_mut_doc *d, const doc &x) {
  yyjson_mut_val *obj = yyjson_mut_obj(d);
  yyjson_mut_obj_add(obj, yyjson_mut_str(d, "__id"),
                     yyjson_mut_strncpy(d, x.first.data(), x.first.size()));
  yyjson_mut_obj_add(obj, yyjson_mut_str(d, "raw"),
                     yyjson_mut_strncpy(d, x.second.data(), x.second.size()));
  return obj;
}

// The documents file the JSON library's writer makes for docs.
std::string WriterForm(const doc_list &docs) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *arr = yyjson_mut_arr(d);
  for (const doc &x : docs) yyjson_mut_arr_append(arr, DocObject(d, x));
  return Write(d, arr);
}

// One element as the JSON library's writer makes it.
std::string WriterElement(const doc &x) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  return Write(d, DocObject(d, x));
}

std::string JsonString(const std::string &s) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  return Write(d, yyjson_mut_strncpy(d, s.data(), s.size()));
}

// ---- random files ----

// The characters of random texts, one each: every control byte, the bytes
// with escapes of their own, and characters of every UTF-8 length at the
// bounds of their ranges; a run of plain letters moves the others across
// sixteen-byte boundaries.
// clang-format off
const char *const kNotControls[] = {
    "\"", "\"", "\"", "\\", "\\", "/", "a", "Z", " ", "\x7f",
    "\xc2\x80", "\xc3\xa9", "\xdf\xbf",
    "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
    "\xf0\x90\x80\x80", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
    "abcdefghijklmnopq", "{\"k\":\""};
// clang-format on

const std::vector<std::string> &Characters() {
  static const std::vector<std::string> chars = [] {
    std::vector<std::string> c;
    for (char b = 1; b < 0x20; b++) c.emplace_back(1, b);
    for (const char *s : kNotControls) c.emplace_back(s);
    return c;
  }();
  return chars;
}

std::string RandomText(std::mt19937 &rng, int most) {
  std::string text;
  const int n = static_cast<int>(rng() % (most + 1));
  for (int i = 0; i < n; i++) text += Characters()[rng() % Characters().size()];
  return text;
}

// The code point of the well-formed UTF-8 character at s[i]; *len gets its
// length.
uint32_t CodePoint(const std::string &s, size_t i, int *len) {
  const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
  const uint32_t c = b(i);
  if (c < 0x80) return *len = 1, c;
  if (c < 0xE0) return *len = 2, (c & 0x1F) << 6 | (b(i + 1) & 0x3F);
  if (c < 0xF0) return *len = 3, (c & 0x0F) << 12 | (b(i + 1) & 0x3F) << 6 | (b(i + 2) & 0x3F);
  return *len = 4,
         (c & 0x07) << 18 | (b(i + 1) & 0x3F) << 12 | (b(i + 2) & 0x3F) << 6 | (b(i + 3) & 0x3F);
}

// "\uXXXX" with each hex digit in either case.
std::string UnicodeEscape(std::mt19937 &rng, uint32_t unit) {
  static const char kLower[] = "0123456789abcdef", kUpper[] = "0123456789ABCDEF";
  std::string out = "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) {
    // Picked apart from the indexing: GCC 12 with the sanitizers reads the
    // wrong digits when a conditional string literal is indexed directly.
    const char *digits = rng() & 1 ? kLower : kUpper;
    out += digits[(unit >> shift) & 0xF];
  }
  return out;
}

// What breaks a string body, or nearly does: the UTF-8 bounds on both
// sides, lone and misordered surrogates, broken escapes, bare control bytes.
// clang-format off
const char *const kBreakers[] = {
    "\xe0\x9f\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
    "\xf0\x8f\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xf4\x90\x80\x80",
    "\xc0\x80", "\xc1\xbf", "\xc2\x80", "\xf5\x80\x80\x80", "\x80", "\xbf", "\xff",
    "\xe0\xa0", "\xf0\x90\x80", "\xc2", "\xe1\x80\xc0",
    "\\ud800", "\\udc00", "\\ud800\\u0041", "\\uD800\\uDBFF", "\\uDBFF\\uDFFF",
    "\\udc00\\ud800", "\\uD7FF", "\\uE000", "\\u12G4", "\\x", "\\U0041", "\\u00", "\\'",
    "\x01", "\x1f", "\t"};
// clang-format on

// text as a string body written by hand: every character as itself, by
// its letter or as a \u escape (a surrogate pair above U+FFFF), each form
// as likely. With breakers, one of them may go in somewhere.
std::string HandBody(std::mt19937 &rng, const std::string &text, bool breakers) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    int len;
    const uint32_t cp = CodePoint(text, i, &len);
    std::vector<std::string> forms;
    if (cp >= 0x20 && cp != '"' && cp != '\\') forms.push_back(text.substr(i, len));
    const char *letters = "\"\"\\\\//\bb\ff\nn\rr\tt";
    for (const char *l = letters; *l; l += 2)
      if (cp == static_cast<unsigned char>(l[0])) forms.push_back(std::string("\\") + l[1]);
    if (cp < 0x10000) {
      forms.push_back(UnicodeEscape(rng, cp));
    } else {
      forms.push_back(UnicodeEscape(rng, 0xD800 + ((cp - 0x10000) >> 10)) +
                      UnicodeEscape(rng, 0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    out += forms[rng() % forms.size()];
    i += static_cast<size_t>(len);
  }
  if (breakers && rng() % 6 == 0) {
    // At a character boundary of what was written.
    size_t at = out.size() ? rng() % out.size() : 0;
    while (at > 0 && (static_cast<unsigned char>(out[at]) & 0xC0) == 0x80) at--;
    out.insert(at, kBreakers[rng() % std::size(kBreakers)]);
  }
  return out;
}

std::string Space(std::mt19937 &rng) {
  static const char *const kSpace[] = {"", "", "", " ", "\n", "\t", "\r\n  "};
  return kSpace[rng() % std::size(kSpace)];
}

std::string HandString(std::mt19937 &rng, const std::string &text, bool breakers) {
  return "\"" + HandBody(rng, text, breakers) + "\"";
}

// Any JSON value, small; with breakers, perhaps one that is not JSON.
std::string RandomValue(std::mt19937 &rng, bool breakers, int depth = 0) {
  static const char *const kNumbers[] = {
      "0", "-0", "1.5", "-1.5e-3", "1E+2", "1e308", "2.5e-400", "123456789012345678901234567890"};
  static const char *const kBroken[] = {"1e400", "-1e309", "01",  "1.",   "-",   ".5",     "1e",
                                        "+1",    "tru",    "nul", "[1,]", "{,}", "{\"a\"}"};
  if (breakers && rng() % 12 == 0) return kBroken[rng() % std::size(kBroken)];
  switch (rng() % (depth < 2 ? 6 : 4)) {
    case 0:
      return kNumbers[rng() % std::size(kNumbers)];
    case 1:
      return HandString(rng, RandomText(rng, 6), breakers);
    case 2:
      return rng() % 3 == 0 ? "null" : (rng() & 1 ? "true" : "false");
    case 3:
      return "[]";
    case 4:
      return "[" + Space(rng) + RandomValue(rng, breakers, depth + 1) + Space(rng) + "," +
             Space(rng) + RandomValue(rng, breakers, depth + 1) + "]";
    default:
      return "{" + HandString(rng, RandomText(rng, 3), breakers) + Space(rng) + ":" + Space(rng) +
             RandomValue(rng, breakers, depth + 1) + Space(rng) + "}";
  }
}

std::string RandomId(std::mt19937 &rng) {
  // Often one met before in the file, so that a later element replaces it.
  static const char *const kPool[] = {"1", "2", "\x01", "a\"b", "\xc3\xa9"};
  return rng() % 3 == 0 ? kPool[rng() % std::size(kPool)] : RandomText(rng, 5);
}

// The body of a JSON string as the writer writes it.
std::string WriterBody(const std::string &text) {
  const std::string quoted = JsonString(text);
  return quoted.substr(1, quoted.size() - 2);
}

// x in the writer's form but for one thing: a character of the id or the
// text in another of its forms, white space, or one more member.
std::string NearlyWriterElement(std::mt19937 &rng, const doc &x) {
  std::string id = WriterBody(x.first), raw = WriterBody(x.second);
  const unsigned how = rng() % 6;
  if (how < 4) {
    const std::string &text = how & 1 ? x.first : x.second;
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size();) {
      int len;
      CodePoint(text, i, &len);
      starts.push_back(i);
      i += static_cast<size_t>(len);
    }
    if (starts.empty()) return WriterElement(x);
    const size_t at = starts[rng() % starts.size()];
    int len;
    CodePoint(text, at, &len);
    const std::string c = text.substr(at, static_cast<size_t>(len));
    std::string other = WriterBody(c);
    for (int tries = 0; tries < 8 && other == WriterBody(c); tries++)
      other = HandBody(rng, c, false);
    (how & 1 ? id : raw) = WriterBody(text.substr(0, at)) + other +
                           WriterBody(text.substr(at + static_cast<size_t>(len)));
  }
  std::string out = "{\"__id\":\"" + id + "\",\"raw\":\"" + raw + "\"}";
  if (how == 4) {
    static const size_t kPlaces[] = {1, 7, 8};  // after the brace, before and after the colon
    out.insert(kPlaces[rng() % std::size(kPlaces)], Space(rng) + " ");
  } else if (how == 5) {
    out.insert(out.size() - 1, ",\"x\":1");
  }
  return out;
}

// A documents file element: in the writer's form or nearly so, a document
// written by hand (members in any order, others around them, keys and
// strings in any escapes, white space anywhere), or an element that is not
// a document.
std::string RandomElement(std::mt19937 &rng, bool breakers) {
  const std::string id = RandomId(rng);
  const std::string raw = RandomText(rng, rng() % 4 == 0 ? 300 : 40);
  const unsigned kind = rng() % 20;
  if (kind < 6) return WriterElement({id, raw});
  if (kind < 10) return NearlyWriterElement(rng, {id, raw});
  auto member = [&](const std::string &key, const std::string &value) {
    return HandString(rng, key, false) + Space(rng) + ":" + Space(rng) + value;
  };
  std::vector<std::string> members;
  if (kind < 16) {
    members = {member("__id", HandString(rng, id, breakers)),
               member("raw", HandString(rng, raw, breakers))};
  } else {
    // Not a document: a member missing, not a string, or holding a NUL.
    switch (rng() % 6) {
      case 0:
        members = {member("__id", HandString(rng, id, breakers))};
        break;
      case 1:
        members = {member("raw", HandString(rng, raw, breakers))};
        break;
      case 2:
        members = {member("__id", "7"), member("raw", HandString(rng, raw, breakers))};
        break;
      case 3:
        members = {member("__id", HandString(rng, id, breakers)),
                   member("raw", "\"a\\u0000" + HandBody(rng, raw, breakers) + "\"")};
        break;
      case 4:
        return WriterElement(rng() & 1 ? doc{id + '\0', raw} : doc{id, '\0' + raw});
      default:
        return RandomValue(rng, breakers);
    }
  }
  // Keys that nearly read "__id" or "raw", and other members.
  static const char *const kOtherKeys[] = {"__iD", "_id",     "__id ", "rav",
                                           "RAW",  "raw\x01", "x",     ""};
  for (unsigned n = rng() % 3; n > 0; n--)
    members.push_back(
        member(kOtherKeys[rng() % std::size(kOtherKeys)], RandomValue(rng, breakers)));
  for (size_t i = members.size(); i > 1; i--) std::swap(members[i - 1], members[rng() % i]);
  // A second "__id" or "raw" after the first: the first decides.
  if (rng() % 4 == 0)
    members.push_back(member(rng() & 1 ? "__id" : "raw", RandomValue(rng, breakers)));
  std::string out = "{" + Space(rng);
  for (size_t i = 0; i < members.size(); i++)
    out += (i ? Space(rng) + "," + Space(rng) : "") + members[i];
  return out + Space(rng) + "}";
}

struct random_file {
  std::string text;
  std::vector<std::string> elements;  // as they lie in text
};

random_file RandomFile(std::mt19937 &rng, bool breakers) {
  random_file f;
  for (unsigned n = rng() % 8; n > 0; n--) f.elements.push_back(RandomElement(rng, breakers));
  f.text = Space(rng) + "[" + Space(rng);
  for (size_t i = 0; i < f.elements.size(); i++)
    f.text += (i ? Space(rng) + "," + Space(rng) : "") + f.elements[i];
  f.text += Space(rng) + "]" + Space(rng);
  if (breakers && rng() % 16 == 0) {
    static const char *const kAround[] = {"\xef\xbb\xbf", ",", "x", "[", "\x0b", "]"};
    const std::string bad = kAround[rng() % std::size(kAround)];
    f.text = rng() & 1 ? bad + f.text : f.text + bad;
  }
  return f;
}

// ---- the loader's scanner against the plain reading ----

std::string DecodeString(const char *s, uint64_t n) {
  uint64_t len = 0;
  char *text = sdb_decode_string(s, n, &len);
  std::string out(text, len);
  free(text);
  return out;
}

std::string DecodeEntry(const sdb_stored_doc &d, uint64_t cap) {
  std::string out(cap, '\0');
  out.resize(sdb_entry_decode(d.entry, d.entry_len, d.raw_off, out.data(), out.size()));
  return out;
}

TEST(StoredFileScan, TakesWhatAPlainReadingTakesAndKeepsOnlyTheWritersForm) {
  std::mt19937 rng(19);
  int damaged = 0, kept = 0, remade = 0, not_docs = 0;
  for (int round = 0; round < 6000; round++) {
    const random_file f = RandomFile(rng, round % 2 == 1);
    SCOPED_TRACE(testing::Message() << "round " << round << ": " << f.text);
    const auto plain = PlainElements(f.text);
    sdb_stored_docs docs;
    const sdb_scan_status status = sdb_scan_stored_docs(f.text.c_str(), f.text.size(), &docs);
    if (!plain) {
      ASSERT_EQ(status, SDB_SCAN_DAMAGED);
      damaged++;
      continue;
    }
    ASSERT_EQ(status, SDB_SCAN_OK);
    ASSERT_EQ(plain->size(), f.elements.size());
    uint64_t count = 0, skipped = 0;
    for (size_t e = 0; e < plain->size(); e++) {
      const std::optional<doc> &want = (*plain)[e];
      if (!want) {
        skipped++;
        continue;
      }
      ASSERT_LT(count, docs.count);
      const sdb_stored_doc &d = docs.docs[count++];
      EXPECT_EQ(DecodeString(d.id, d.id_len), want->first) << "element " << e;
      if (d.id_plain) {
        EXPECT_EQ(std::string(d.id, d.id_len), want->first);
      }
      EXPECT_EQ(d.raw_len, want->second.size());
      const bool writers_form = f.elements[e] == WriterElement(*want);
      ASSERT_EQ(d.entry != nullptr, writers_form) << "element " << e;
      if (writers_form) {
        kept++;
        EXPECT_EQ(std::string(d.entry, d.entry_len), f.elements[e]);
        // With the room that copies fast, and with no more than the text needs.
        EXPECT_EQ(DecodeEntry(d, sdb_entry_escaped_length(d.entry_len, d.raw_off) + 1),
                  want->second);
        EXPECT_EQ(DecodeEntry(d, want->second.size() + 1), want->second);
      } else {
        remade++;
        EXPECT_EQ(DecodeString(d.raw, d.raw_escaped_len), want->second) << "element " << e;
      }
    }
    not_docs += static_cast<int>(skipped);
    EXPECT_EQ(docs.count, count);
    EXPECT_EQ(docs.skipped, skipped);
    sdb_stored_docs_free(&docs);
  }
  // Every kind of outcome was met often.
  EXPECT_GT(damaged, 1000);
  EXPECT_GT(kept, 3000);
  EXPECT_GT(remade, 3000);
  EXPECT_GT(not_docs, 1500);
}

// ---- whole stores ----

// The entry blocks hold exactly what the slots use: each live entry lies
// inside its block, a block's live count is the sum of its entries, and
// the index's totals are the sums over its blocks.
void ExpectEntriesAccounted(const sdb_index *ix) {
  std::vector<uint64_t> live(ix->block_count);
  uint64_t all_live = 0, sizes = 0;
  uint32_t free_blocks = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    const sdb_doc &d = ix->docs[slot];
    if (!d.alive) continue;
    ASSERT_LT(d.block, ix->block_count) << d.id;
    const sdb_entry_block &b = ix->blocks[d.block];
    ASSERT_NE(b.bytes, nullptr) << d.id;
    ASSERT_TRUE(d.entry >= b.bytes && d.entry + d.entry_len < b.bytes + b.size) << d.id;
    live[d.block] += d.entry_len + 1;
    all_live += d.entry_len + 1;
  }
  for (uint32_t i = 0; i < ix->block_count; i++) {
    const sdb_entry_block &b = ix->blocks[i];
    if (b.bytes == nullptr) {
      free_blocks++;
      continue;
    }
    EXPECT_EQ(b.live, live[i]) << "block " << i;
    EXPECT_NE(b.live, 0u) << "block " << i << " is held but unused";
    sizes += b.size;
  }
  EXPECT_EQ(ix->live_bytes, all_live);
  EXPECT_EQ(ix->entry_bytes, sizes);
  EXPECT_EQ(ix->blocks_free, free_blocks);
}

class StoredFilesTest : public StorageTest {
 protected:
  void Put(const std::string &rel, const std::string &data) {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    WriteFile(Path(rel), data);
  }
  // A stored index "ix" keyed by "id" whose documents file holds docs.
  void PutIndex(const std::string &docs) {
    Put("_indexes/list.json", R"(["ix"])");
    Put("ix/meta.json", R"({"name":"ix","primary_key":"id"})");
    Put("ix/docs.json", docs);
  }
  // The live documents of "ix" in slot order, their texts as fetched.
  static doc_list Loaded() {
    doc_list docs;
    const sdb_index *ix = sdb_index_find("ix");
    for (uint32_t slot = 0; ix != nullptr && slot < ix->doc_count; slot++) {
      if (!ix->docs[slot].alive) continue;
      const char *text = searchdb_document_get("ix", ix->docs[slot].id);
      docs.emplace_back(ix->docs[slot].id, text ? text : "<none: " + LastError() + ">");
    }
    return docs;
  }
  std::string Docs() const { return ReadFile(Path("ix/docs.json")); }
  static constexpr const char *kSetAside =
      "set aside 1 file(s): ix/docs.json -> ix/docs.json.corrupt";
};

TEST_F(StoredFilesTest, HandWrittenDocumentsLoadAsReadPlainlyAndAreSavedInTheWritersForm) {
  std::mt19937 rng(23);
  for (int round = 0; round < 120; round++) {
    searchdb_cleanup();
    fs::remove_all(dir_);
    const random_file f = RandomFile(rng, round % 3 == 2);
    SCOPED_TRACE(testing::Message() << "round " << round << ": " << f.text);
    PutIndex(f.text);
    Open();
    const auto plain = PlainElements(f.text);
    doc_list want;
    if (!plain) {
      EXPECT_EQ(LastError(), kSetAside);
      EXPECT_FALSE(Exists(Path("ix/docs.json")));
    } else {
      want = Merge(*plain);
      bool whole = true;
      for (const auto &e : *plain) whole = whole && e.has_value();
      // One element that is not a document sets the file aside, and the
      // documents are written again at once, without it.
      EXPECT_EQ(LastError(), whole ? "" : kSetAside);
      EXPECT_EQ(Docs(), whole ? f.text : WriterForm(want));
    }
    if (!plain || LastError() != "") {
      EXPECT_EQ(ReadFile(Path("ix/docs.json.corrupt")), f.text);
    }
    ASSERT_EQ(Loaded(), want);
    ExpectEntriesAccounted(sdb_index_find("ix"));
    ASSERT_EQ(searchdb_documents_add("ix", "[]"), 0) << LastError();
    ASSERT_EQ(Docs(), WriterForm(want));
    Reopen();
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(Loaded(), want);
    EXPECT_EQ(Docs(), WriterForm(want));
    EXPECT_FALSE(Exists(Path("ix/docs.json.corrupt.2")));
  }
}

TEST_F(StoredFilesTest, LowerCaseHexEscapesAreSavedAgainInTheWritersForm) {
  // Each of a-f, control bytes that have a letter of their own, and
  // characters that need no escape at all.
  const std::string hand =
      R"([{"__id":"\u001f","raw":"\u001a\u001b\u001c\u001d\u001e\u001f\u000a\u0008\u000c\u000d\u0009\u000b\u007f\u00e9\u002f"},)"
      R"({"__id":"k\u001A","raw":"\u000E\u000f"}])";
  PutIndex(hand);
  Open();
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(Docs(), hand);  // nothing is written while nothing changes
  EXPECT_EQ(Loaded(), (doc_list{{"\x1f", "\x1a\x1b\x1c\x1d\x1e\x1f\n\b\f\r\t\x0b\x7f\xc3\xa9/"},
                                {"k\x1a", "\x0e\x0f"}}));
  ASSERT_EQ(searchdb_documents_add("ix", "[]"), 0);
  EXPECT_EQ(Docs(),
            R"([{"__id":"\u001F","raw":"\u001A\u001B\u001C\u001D\u001E\u001F\n\b\f\r\t\u000B)"
            "\x7f\xc3\xa9/"
            R"("},{"__id":"k\u001A","raw":"\u000E\u000F"}])");
}

TEST_F(StoredFilesTest, ASingleElementThatIsNotADocumentIsSetAsideAndSavedWithout) {
  const std::string good = R"({"__id":"1","raw":"{\"id\":\"1\"}"})";
  const std::string hand = R"({ "raw" : "{\"id\":\"3\"}", "__id" : "3" })";
  for (const std::string bad : {R"({"__id":"2"})", "7", R"({"__id":"2","raw":null})"}) {
    for (bool last : {false, true}) {
      searchdb_cleanup();
      fs::remove_all(dir_);
      const std::string file = last ? "[" + good + "," + hand + "," + bad + "]"
                                    : "[" + bad + "," + good + "," + hand + "]";
      SCOPED_TRACE(file);
      PutIndex(file);
      Open();
      EXPECT_EQ(LastError(), kSetAside);
      EXPECT_EQ(ReadFile(Path("ix/docs.json.corrupt")), file);
      EXPECT_EQ(Docs(), "[" + good + R"(,{"__id":"3","raw":"{\"id\":\"3\"}"}])");
      EXPECT_EQ(Loaded(), (doc_list{{"1", R"({"id":"1"})"}, {"3", R"({"id":"3"})"}}));
      Reopen();
      EXPECT_EQ(LastError(), "");
      EXPECT_EQ(Loaded().size(), 2u);
    }
  }
}

// Documents taken from a stored file as written keep their bytes in the
// file's text; one written otherwise gets bytes of its own. Such a one that
// replaces every document taken so far must not release the file's text:
// the documents after it still lie there.
TEST_F(StoredFilesTest, ADocumentWrittenByHandReplacingAllBeforeItLeavesTheFileToTheRest) {
  const std::string large(300 * 1024, 'x');  // a text the allocator gives back to the system
  PutIndex(R"([{"__id":"a","raw":"1"},{ "__id":"a","raw":"2"},{"__id":"b","raw":")" + large +
           R"("}])");
  Open();
  EXPECT_EQ(LastError(), "");
  ExpectEntriesAccounted(sdb_index_find("ix"));
  const doc_list want = {{"a", "2"}, {"b", large}, {"c", R"({"id":"c"})"}};
  ASSERT_EQ(searchdb_documents_add("ix", R"({"id":"c"})"), 1) << LastError();
  ExpectEntriesAccounted(sdb_index_find("ix"));
  // (Compared whole: the large text is not worth printing.)
  EXPECT_TRUE(Loaded() == want);
  EXPECT_TRUE(Docs() == WriterForm(want));
  Reopen();
  EXPECT_TRUE(Loaded() == want);
}

TEST_F(StoredFilesTest, APrimaryKeyTooLongIsCutAndTheSettingsSetAsideAndSavedAgain) {
  const std::string euro = "\xe2\x82\xac";
  std::string euros;
  for (int i = 0; i < 43; i++) euros += euro;
  struct {
    std::string stored, kept;
  } cases[] = {
      {std::string(127, 'k'), std::string(127, 'k')},
      {std::string(128, 'k'), std::string(127, 'k')},
      // 1 + 3 * 43 = 130 bytes; the character that crosses 127 goes whole.
      {"x" + euros, "x" + euros.substr(0, 126)},
      {std::string(125, 'k') + "\xc3\xa9", std::string(125, 'k') + "\xc3\xa9"},
      {std::string(126, 'k') + "\xc3\xa9", std::string(126, 'k')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.stored.size());
    searchdb_cleanup();
    fs::remove_all(dir_);
    const std::string meta = R"({"name":"ix","primary_key":)" + JsonString(c.stored) + "}";
    PutIndex("[]");
    Put("ix/meta.json", meta);
    Open();
    EXPECT_STREQ(sdb_index_find("ix")->primary_key, c.kept.c_str());
    if (c.stored == c.kept) {
      EXPECT_EQ(LastError(), "");
      EXPECT_EQ(ReadFile(Path("ix/meta.json")), meta);
      EXPECT_FALSE(Exists(Path("ix/meta.json.corrupt")));
      continue;
    }
    EXPECT_EQ(LastError(), "set aside 1 file(s): ix/meta.json -> ix/meta.json.corrupt");
    EXPECT_EQ(ReadFile(Path("ix/meta.json.corrupt")), meta);
    EXPECT_EQ(ReadFile(Path("ix/meta.json")), R"({"name":"ix","primary_key":")" + c.kept + "\"}");
    Reopen();
    EXPECT_EQ(LastError(), "");
    EXPECT_STREQ(sdb_index_find("ix")->primary_key, c.kept.c_str());
  }
}

// ---- documents changed through the interface ----

// Builds a batch of documents {"id": id, "t": text}.
std::string Batch(const std::vector<std::pair<std::string, std::string>> &docs) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *arr = yyjson_mut_arr(d);
  for (const auto &[id, text] : docs) {
    yyjson_mut_val *obj = yyjson_mut_obj(d);
    yyjson_mut_obj_add(obj, yyjson_mut_str(d, "id"), yyjson_mut_strncpy(d, id.data(), id.size()));
    yyjson_mut_obj_add(obj, yyjson_mut_str(d, "t"),
                       yyjson_mut_strncpy(d, text.data(), text.size()));
    yyjson_mut_arr_append(arr, obj);
  }
  return Write(d, arr);
}

// What a fetched document's member holds.
std::optional<std::string> Member(const std::string &text, const char *key) {
  yyjson_doc *d = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *v = yyjson_obj_get(yyjson_doc_get_root(d), key);
  std::optional<std::string> out;
  if (yyjson_is_str(v)) out.emplace(yyjson_get_str(v), yyjson_get_len(v));
  yyjson_doc_free(d);
  return out;
}

// Ids and texts kept by the test beside the library: slots in the order
// ids first came, the text of each live one.
struct model {
  std::vector<std::string> slots;
  std::map<std::string, std::string> live;
  void put(const std::string &id, const std::string &text) {
    if (std::find(slots.begin(), slots.end(), id) == slots.end()) slots.push_back(id);
    live[id] = text;
  }
};

TEST_F(StoredFilesTest, IdsAndTextsWithEveryControlByteSurviveSavesAndRestarts) {
  Open();
  ASSERT_EQ(searchdb_index_create("ix", nullptr), 0);
  std::string controls;
  for (char c = 1; c < 0x20; c++) controls += c;
  model m;
  std::vector<std::pair<std::string, std::string>> first = {
      {controls, std::string(1, '\0') + controls}, {"\b\f\r", "\b\f\r"}};
  ASSERT_EQ(searchdb_documents_add("ix", Batch(first).c_str()), 2) << LastError();
  for (const auto &[id, text] : first) m.put(id, text);
  std::mt19937 rng(29);
  for (int batch = 0; batch < 30; batch++) {
    std::vector<std::pair<std::string, std::string>> docs;
    for (unsigned n = 1 + rng() % 12; n > 0; n--) {
      std::string id =
          rng() % 4 == 0 && !m.slots.empty() ? m.slots[rng() % m.slots.size()] : RandomText(rng, 6);
      if (id.empty()) id = "e";
      docs.emplace_back(id, RandomText(rng, 80));
    }
    ASSERT_EQ(searchdb_documents_add("ix", Batch(docs).c_str()), static_cast<int>(docs.size()))
        << LastError();
    for (const auto &[id, text] : docs) m.put(id, text);
    if (batch % 3 == 2) {
      const std::string gone = m.slots[rng() % m.slots.size()];
      ASSERT_EQ(searchdb_document_delete("ix", gone.c_str()), 0) << LastError();
      m.live.erase(gone);
    }
  }
  // Every live document as fetched: the library's own canonical text, with
  // the id and text the test gave.
  doc_list want;
  for (const std::string &id : m.slots) {
    if (!m.live.count(id)) continue;
    const char *text = searchdb_document_get("ix", id.c_str());
    ASSERT_NE(text, nullptr) << LastError();
    EXPECT_EQ(Member(text, "id"), id);
    EXPECT_EQ(Member(text, "t"), m.live[id]);
    want.emplace_back(id, text);
  }
  EXPECT_EQ(Docs(), WriterForm(want));
  Reopen();
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(Loaded(), want);
  ASSERT_EQ(searchdb_documents_add("ix", "[]"), 0);
  EXPECT_EQ(Docs(), WriterForm(want));
}

TEST_F(StoredFilesTest, ChangesUntilEntriesAreCompactedLoseNothingAcrossARestart) {
  std::mt19937 rng(31);
  // A document {"id":id,"t":...} of about size bytes, in the text the
  // library stores for it: no control byte it would write as \u00xx, so
  // that the JSON library's writer gives the same text.
  auto doc_text = [&](const std::string &id, size_t size) {
    std::string t;
    while (t.size() < size) {
      const std::string &c = Characters()[rng() % Characters().size()];
      if (c.size() > 1 || static_cast<unsigned char>(c[0]) >= 0x20 || strchr("\b\t\n\f\r", c[0]))
        t += c;
    }
    const std::string batch = Batch({{id, t}});
    return batch.substr(1, batch.size() - 2);
  };
  // A stored file: 1500 small documents in the writer's form, some written
  // by hand, and one of 1.5 MB among them.
  model m;
  std::string file = "[";
  for (int i = 0; i < 1500; i++) {
    const std::string id = i == 700 ? "big" : "d" + std::to_string(i);
    const std::string raw = doc_text(id, i == 700 ? 1536 * 1024 : rng() % 60);
    m.put(id, raw);
    file += i ? "," : "";
    file += i % 97 == 5 ? "{ \"raw\" : " + JsonString(raw) + " ,\"__id\":" + JsonString(id) + "}"
                        : WriterElement({id, raw});
  }
  PutIndex(file + "]");
  Open();
  auto expect_stored = [&](const char *step) {
    SCOPED_TRACE(step);
    doc_list want;
    for (const std::string &id : m.slots)
      if (m.live.count(id)) want.emplace_back(id, m.live[id]);
    EXPECT_EQ(Loaded(), want);
    EXPECT_EQ(Docs(), WriterForm(want));
    ExpectEntriesAccounted(sdb_index_find("ix"));
  };
  auto change = [&](const std::vector<std::pair<std::string, size_t>> &docs) {
    std::string batch = "[";
    for (const auto &[id, size] : docs) {
      const std::string raw = doc_text(id, size);
      batch += (batch.size() > 1 ? "," : "") + raw;
      m.put(id, raw);
    }
    ASSERT_EQ(searchdb_documents_add("ix", (batch + "]").c_str()), static_cast<int>(docs.size()))
        << LastError();
  };
  ASSERT_EQ(LastError(), "");
  ExpectEntriesAccounted(sdb_index_find("ix"));

  // Every other document replaced in one batch: the file goes out in more
  // pieces than one write takes.
  std::vector<std::pair<std::string, size_t>> every_other;
  for (int i = 0; i < 1500; i += 2)
    if (i != 700) every_other.emplace_back("d" + std::to_string(i), rng() % 60);
  change(every_other);
  expect_stored("every other document replaced");
  change({{"big", 1536 * 1024}});
  expect_stored("the large document replaced by another");
  change({{"big", 10}});
  ASSERT_EQ(sdb_index_find("ix")->block_count, 1u) << "the entries were not compacted";
  expect_stored("the large document replaced by a small one");

  // After compaction: replaced, deleted and new documents.
  std::vector<std::pair<std::string, size_t>> more;
  for (int i = 1; i < 200; i += 2) more.emplace_back("d" + std::to_string(i), rng() % 60);
  for (int i = 0; i < 50; i++) more.emplace_back("n" + std::to_string(i), rng() % 60);
  change(more);
  for (int i = 3; i < 1500; i += 150) {
    const std::string id = "d" + std::to_string(i);
    ASSERT_EQ(searchdb_document_delete("ix", id.c_str()), 0);
    m.live.erase(id);
  }
  expect_stored("changes after compaction");
  Reopen();
  EXPECT_EQ(LastError(), "");
  expect_stored("after a restart");
}

}  // namespace
