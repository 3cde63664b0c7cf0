// The scan of stored texts for field paths against the reference it must
// answer as: parsing each text whole and walking the paths through it.
#include "index/value_scan.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/columns.h"
#include "index/entry.h"
#include "index/index.h"

namespace {

// Keys and path steps come from one small set, so that paths meet members
// often; "" and a key with a dot are keys too.
const char *const kKeys[] = {"a", "b", "c", "", "a.b", "\xC3\xA9"};

// Number texts of every form: those the parser takes, then those it refuses.
const char *const kNumbers[] = {"0",
                                "-0",
                                "1",
                                "-1",
                                "1.5",
                                "-0.25",
                                "1e5",
                                "1E+5",
                                "2e-3",
                                "0.1",
                                "1e-400",
                                "1e-5",
                                "123456789012345678901234567890",
                                "18446744073709551615",
                                "18446744073709551616",
                                "-9223372036854775808",
                                "-9223372036854775809",
                                "9007199254740993",
                                "1.7976931348623157e308",
                                "4.9e-324"};
const char *const kBadNumbers[] = {"1e400", "-1e400", "01",   "1.", ".5",  "-",
                                   "1e",    "+1",     "1.5e", "00", "-01", "1.5.2"};

// String bodies as JSON writes them: escapes of every kind, surrogates
// paired, UTF-8 of every length; then those refused: lone surrogates, bad
// escapes, UTF-8 overlong, cut short or beyond, control bytes.
const char *const kStrings[] = {"",
                                "x",
                                "y z",
                                "a\\\"b",
                                "back\\\\slash",
                                "\\/",
                                "\\b\\f\\n\\r\\t",
                                "\\u0041",
                                "\\u00e9",
                                "\\u20AC",
                                "\\uD83D\\uDE00",
                                "\\u0000",
                                "\xC3\xA9",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80",
                                "\x7F",
                                "a",
                                "b",
                                "a.b"};
const char *const kBadStrings[] = {
    "\\uD83D", "\\uDE00",  "\\uD83Dx",     "\\uD83D\\u0041",   "\\x",
    "\\u12G4", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE0\x80\x80",
    "\xC3",    "\x80",     "tab\there"};

struct generator {
  std::mt19937 rng;
  bool clean = true;  // nothing refused or beyond the scan has been written

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

  void space(std::string &out) {
    if (!chance(10)) return;
    const char *spaces[] = {" ", "\t", "\n", "\r", "  \n "};
    const bool bad = pick(50) == 0;  // a form feed is not white space to the parser
    clean &= !bad;
    out += bad ? "\f" : spaces[pick(std::size(spaces))];
  }

  void string(std::string &out) {
    const bool bad = pick(100) == 0;
    clean &= !bad;
    out += '"';
    out += bad ? kBadStrings[pick(std::size(kBadStrings))] : kStrings[pick(std::size(kStrings))];
    out += '"';
  }

  void value(std::string &out, int depth) {
    space(out);
    const size_t kind = depth > 5 ? pick(4) : pick(7);
    if (kind == 0) {
      string(out);
    } else if (kind == 1) {
      const bool bad = pick(100) == 0;
      clean &= !bad;
      out += bad ? kBadNumbers[pick(std::size(kBadNumbers))] : kNumbers[pick(std::size(kNumbers))];
    } else if (kind == 2) {
      const char *words[] = {"true", "false", "null", "tru", "nul", "falsey"};
      const size_t k = chance(90) ? pick(3) : pick(6);
      if (k >= 3) clean = false;
      out += words[k];
    } else if (kind == 3) {
      string(out);
    } else if (kind == 4 || kind == 5) {
      object(out, depth + 1);
    } else {
      out += '[';
      const size_t n = pick(4);
      for (size_t i = 0; i < n; i++) {
        if (i > 0) out += ',';
        value(out, depth + 1);
      }
      space(out);
      out += ']';
    }
    space(out);
  }

  void object(std::string &out, int depth) {
    out += '{';
    const size_t n = pick(5);
    for (size_t i = 0; i < n; i++) {
      if (i > 0) out += ',';
      space(out);
      out += '"';
      out += kKeys[pick(std::size(kKeys))];
      out += '"';
      space(out);
      out += ':';
      value(out, depth);
    }
    space(out);
    out += '}';
  }

  // A document's text: mostly an object, now and then something else,
  // nested past what the scan follows, or damaged.
  std::string document() {
    clean = true;
    std::string out;
    space(out);
    const size_t shape = pick(20);
    if (shape == 0) {
      value(out, 4);
    } else if (shape == 1) {
      // Nested around the depth the scan follows.
      const size_t deep = 55 + pick(15);
      std::string opens;
      for (size_t i = 0; i < deep; i++) opens += chance(50) ? '[' : '{';
      for (char o : opens) out += o == '[' ? "[" : "{\"a\":";
      out += "1";
      for (size_t i = deep; i-- > 0;) out += opens[i] == '[' ? ']' : '}';
      clean &= deep < 60;
    } else {
      object(out, 0);
    }
    space(out);
    if (chance(8)) {
      clean = false;
      const size_t at = pick(out.size() + 1);
      const char junk[] = {'{', '}', '[', ']', ',', ':', '"', '\\', 'x', '1', '\0'};
      switch (pick(3)) {
        case 0:
          out.insert(at, 1, junk[pick(sizeof junk)]);
          break;
        case 1:
          if (at < out.size()) out.erase(at, 1);
          break;
        default:
          out.resize(at);
      }
    }
    return out;
  }

  // The entry's escaped form of raw: as the writer escapes it, or now and
  // then with the other escapes an entry decodes (\/, \u00XX of any case
  // for a byte below 0x80), which the scan must read as the decoder does.
  std::string escaped(const std::string &raw) {
    std::string out(sdb_entry_escaped_size(raw.data(), raw.size()), '\0');
    out.resize(
        static_cast<size_t>(sdb_entry_escape(out.data(), raw.data(), raw.size()) - out.data()));
    if (!chance(20)) return out;
    std::string odd;
    for (size_t i = 0; i < raw.size(); i++) {
      const auto c = static_cast<unsigned char>(raw[i]);
      const auto next = static_cast<unsigned char>(i + 1 < raw.size() ? raw[i + 1] : 0);
      char esc[8];
      if (c < 0x80 && chance(10)) {
        snprintf(esc, sizeof esc, chance(50) ? "\\u%04x" : "\\u%04X", c);
        odd += esc;
      } else if (c >= 0xC2 && c <= 0xDF && (next & 0xC0) == 0x80 && chance(50)) {
        // A character of two bytes as one escape: the scan leaves it to
        // the parser.
        snprintf(esc, sizeof esc, "\\u%04x", ((c & 0x1Fu) << 6) | (next & 0x3Fu));
        odd += esc;
        clean = false;
        i++;
      } else if (c == '/' && chance(50)) {
        odd += "\\/";
      } else {
        std::string one(sdb_entry_escaped_size(raw.data() + i, 1), '\0');
        sdb_entry_escape(one.data(), raw.data() + i, 1);
        odd += one;
      }
    }
    return odd;
  }
};

// A cell's presence and values, as text.
std::string CellText(const sdb_column *c, uint32_t slot) {
  std::vector<std::string> values;
  uint32_t n;
  const uint32_t *ids = sdb_cell_ids(c, slot, &n);
  for (uint32_t k = 0; k < n; k++) {
    const sdb_value v = sdb_column_value_of(c, ids[k]);
    char num[40];
    snprintf(num, sizeof num, "%a", v.num);
    values.push_back(std::to_string(v.kind) + ":" + num + ":" +
                     std::string(v.str ? v.str : "", v.len));
  }
  std::sort(values.begin(), values.end());  // ids differ with the order values came in
  std::string text = sdb_cell_present(c, slot) ? "present" : "absent";
  for (const std::string &v : values) text += " " + v;
  return text;
}

// Maps bytes as a documents file lies: private and read-only.
char *MapBytes(const std::string &bytes) {
  char name[] = "/tmp/value_scan_test_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return nullptr;
  unlink(name);
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  void *map = written ? mmap(nullptr, bytes.size(), PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  close(fd);
  return map == MAP_FAILED ? nullptr : static_cast<char *>(map);
}

// Random documents (valid, damaged, nested deep, oddly escaped) and random
// paths: every cell the scanning build makes is the cell the parsing build
// makes, the scan is sure of every clean document, and a document the scan
// is sure of parses. The entries lie in a mapped block, as docs.json does,
// whose pages each build gives back behind it.
TEST(ValueScan, ColumnsAnswerAsParsingEveryTextWhole) {
  generator gen{std::mt19937(20261211)};
  uint64_t sure = 0, unsure = 0;
  for (int round = 0; round < 300; round++) {
    std::vector<std::string> raws, texts;
    std::vector<bool> clean;
    std::string file;
    std::vector<size_t> starts;
    const size_t docs = 30 + gen.pick(40);
    for (size_t i = 0; i < docs; i++) {
      raws.push_back(gen.document());
      const std::string text = gen.escaped(raws.back());
      clean.push_back(gen.clean);
      texts.push_back(text);
      starts.push_back(file.size());
      file +=
          SDB_ENTRY_ID_OPEN + std::to_string(i) + SDB_ENTRY_RAW_OPEN + text + SDB_ENTRY_CLOSE + ",";
    }
    char *map = MapBytes(file);
    ASSERT_NE(map, nullptr);
    sdb_index *ix = sdb_index_new("v", nullptr);
    ASSERT_NE(ix, nullptr);
    const uint32_t block = sdb_block_add(ix, map, file.size(), true);
    ASSERT_NE(block, SDB_NO_SLOT);
    const size_t raw_off = sizeof SDB_ENTRY_ID_OPEN - 1 + sizeof SDB_ENTRY_RAW_OPEN - 1;
    for (size_t i = 0; i < docs; i++) {
      const std::string id = std::to_string(i);
      const uint64_t len = id.size() + raw_off + texts[i].size() + sizeof SDB_ENTRY_CLOSE - 1;
      sdb_doc_undo undo;
      ASSERT_NE(
          sdb_index_put(ix, id.c_str(), map + starts[i], len,
                        static_cast<uint32_t>(id.size() + raw_off), raws[i].size(), block, &undo),
          SDB_NO_SLOT);
    }
    // Some documents are deleted: their slots keep empty cells.
    for (size_t i = 0; i < docs; i += 7) {
      sdb_doc_undo undo;
      sdb_index_kill(ix, static_cast<uint32_t>(i), &undo);
    }

    std::vector<std::string> path_texts;
    const size_t n = 1 + gen.pick(6);
    for (size_t p = 0; p < n; p++) {
      std::string path = kKeys[gen.pick(std::size(kKeys))];
      for (size_t steps = gen.pick(3); steps > 0; steps--)
        path += std::string(".") + kKeys[gen.pick(std::size(kKeys))];
      if (path.empty() || std::find(path_texts.begin(), path_texts.end(), path) != path_texts.end())
        continue;
      path_texts.push_back(path);
    }
    std::vector<sdb_path> paths;
    for (const std::string &p : path_texts)
      paths.push_back(sdb_path{p.data(), static_cast<uint32_t>(p.size())});
    const auto count = static_cast<uint32_t>(paths.size());

    // The scan alone, document by document.
    sdb_value_scan found{};
    for (size_t i = 0; i < docs; i++) {
      const sdb_scan_result r = sdb_scan_values(texts[i].data(), texts[i].data() + texts[i].size(),
                                                paths.data(), count, &found);
      ASSERT_NE(r, SDB_SCAN_NO_MEMORY);
      (r == SDB_SCAN_DONE ? sure : unsure)++;
      if (clean[i]) {
        EXPECT_EQ(r, SDB_SCAN_DONE) << raws[i];
      }
      const size_t first = raws[i].find_first_not_of(" \t\n\r");
      if (r == SDB_SCAN_DONE && first != std::string::npos && raws[i][first] == '{') {
        yyjson_doc *doc = yyjson_read(raws[i].data(), raws[i].size(), 0);
        EXPECT_NE(doc, nullptr) << "the scan is sure of a text that does not parse: " << raws[i];
        yyjson_doc_free(doc);
      }
    }
    sdb_value_scan_free(&found);

    std::vector<sdb_column *> scanned(count), parsed(count);
    ASSERT_TRUE(sdb_columns_get(ix, paths.data(), count, scanned.data(), SDB_COLUMNS_SCAN));
    std::vector<std::vector<std::string>> cells(count);
    for (uint32_t p = 0; p < count; p++)
      for (uint32_t slot = 0; slot < ix->doc_count; slot++)
        cells[p].push_back(CellText(scanned[p], slot));
    sdb_columns_drop(ix);
    ASSERT_TRUE(sdb_columns_get(ix, paths.data(), count, parsed.data(), SDB_COLUMNS_PARSE));
    for (uint32_t p = 0; p < count; p++) {
      ASSERT_EQ(parsed[p]->cell_count, ix->doc_count);
      for (uint32_t slot = 0; slot < ix->doc_count; slot++)
        EXPECT_EQ(cells[p][slot], CellText(parsed[p], slot))
            << "path " << path_texts[p] << " of " << raws[slot];
    }
    sdb_index_free(ix);
  }
  // Both ways are taken, the scan's far more often.
  EXPECT_GT(sure, unsure * 2);
  EXPECT_GT(unsure, 0u);
}

}  // namespace
