// Differential test: the library under test against the reference library,
// the same code as it stood at the commit the speed work started from
// (built by cmake/reference.cmake and loaded with dlopen). Both get the same
// random sequence of calls, each on a storage directory of its own, and
// after every call must agree byte for byte on everything a host can see:
// return values, last-error texts (storage paths masked), the index list,
// statistics, every document id ever used, a fixed set of searches at
// several pages (the "processingTimeMs" value masked) and every file and
// directory below the storage directory. Failed saves are forced alike in
// both by a file size limit. The reference always writes and reads numbers
// in the C locale's form; the library under test runs in whatever locale the
// program was started under (see host_locale.h), so a run under a locale
// that writes decimal commas shows that the library's numbers do not follow
// it. The C library's messages (the reasons of failed storage calls) follow
// the program's locale in both. Each session keys the lookup tables of the
// library under test afresh (base/hashing.h), one in four of them with the
// key of all zeros, under which every text hashes alike and every table is
// one long probe: no answer, no stored byte and no order may follow from
// where a table puts things.
//
// Environment:
//   SEARCHDB_DIFF_SEED     seed of the first session (default 1); session k
//                          runs with seed + k, and a failure names its seed
//   SEARCHDB_DIFF_STEPS    calls in all (default 6000, 750 under sanitizers)
//   SEARCHDB_DIFF_SESSION  calls per session, each on fresh directories
//                          (default 250)
// A long soak: SEARCHDB_DIFF_STEPS=200000 build/tests/differential_test
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/hashing.h"
#include "host_locale.h"
#include "reference_library.h"
#include "searchdb.h"
#include "storage/derived.h"
#include "storage/derived_format.h"
#include "storage/derived_map.h"
#include "storage/layout.h"
#include "storage/lock.h"

// Durability is not what is compared here, and a flush per file on a disk
// would stretch thousands of calls into minutes. Both libraries' flushes
// land here: the one under test is linked in, and the reference finds this
// program's definition first (see tests/CMakeLists.txt).
extern "C" int fsync(int fd) {
  return fcntl(fd, F_GETFD) == -1 ? -1 : 0;
}

namespace {

// Sanitizers make every call several times slower.
#if defined(__SANITIZE_ADDRESS__)
#define SDB_DIFF_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SDB_DIFF_SANITIZED 1
#endif
#endif
#ifdef SDB_DIFF_SANITIZED
constexpr long kDefaultSteps = 750;
#else
constexpr long kDefaultSteps = 6000;
#endif

long EnvLong(const char *name, long fallback) {
  const char *v = getenv(name);
  return v && *v ? atol(v) : fallback;
}

// The eleven functions of one library.
struct library {
  int (*init)(const char *);
  void (*cleanup)();
  const char *(*last_error)();
  int (*index_create)(const char *, const char *);
  int (*index_delete)(const char *);
  const char *(*indexes_list_json)();
  int (*documents_add)(const char *, const char *);
  const char *(*document_get)(const char *, const char *);
  int (*document_delete)(const char *, const char *);
  const char *(*search)(const char *, const char *, int, int);
  const char *(*index_stats_json)(const char *);
};

const library kUnderTest = {
    searchdb_init,          searchdb_cleanup,         searchdb_last_error,
    searchdb_index_create,  searchdb_index_delete,    searchdb_indexes_list_json,
    searchdb_documents_add, searchdb_document_get,    searchdb_document_delete,
    searchdb_search,        searchdb_index_stats_json};

// The reference, or a reason why there is none.
std::optional<library> LoadReference(std::string *why) {
  if (*SEARCHDB_REFERENCE_REASON) {
    *why = SEARCHDB_REFERENCE_REASON;
    return std::nullopt;
  }
  // Never closed: the process keeps it to the end, as sanitizers prefer.
  void *handle = dlopen(SEARCHDB_REFERENCE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    *why = std::string("cannot load ") + SEARCHDB_REFERENCE_PATH + ": " + dlerror();
    return std::nullopt;
  }
  library lib;
  bool ok = true;
  auto take = [&](auto &fn, const char *name) {
    void *sym = dlsym(handle, name);
    ok = ok && sym;
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(sym);
  };
  take(lib.init, "searchdb_init");
  take(lib.cleanup, "searchdb_cleanup");
  take(lib.last_error, "searchdb_last_error");
  take(lib.index_create, "searchdb_index_create");
  take(lib.index_delete, "searchdb_index_delete");
  take(lib.indexes_list_json, "searchdb_indexes_list_json");
  take(lib.documents_add, "searchdb_documents_add");
  take(lib.document_get, "searchdb_document_get");
  take(lib.document_delete, "searchdb_document_delete");
  take(lib.search, "searchdb_search");
  take(lib.index_stats_json, "searchdb_index_stats_json");
  if (!ok) {
    *why = std::string(SEARCHDB_REFERENCE_PATH) + " lacks a searchdb_* function";
    return std::nullopt;
  }
  if (lib.init == searchdb_init) {
    *why = "dlsym found the library under test instead of the reference";
    return std::nullopt;
  }
  return lib;
}

// ---- inputs ----

// Words that are prefixes and misspellings of one another, short words,
// words of exactly 7 and 8 bytes with their one- and two-edit variants,
// case and Unicode folding (Latin-1 and Cyrillic capitals, U+00D7, U+0401,
// characters that do not fold, 3- and 4-byte characters) and number texts.
const char *const kWords[] = {
    "data", "datab", "database", "databases", "databse", "dtabase", "databaes", "datum", "dat",
    "da", "d", "a", "ab", "abc", "at", "cat", "cats", "ca", "c", "cat_dog", "x1", "kitchen",
    "kitchens", "kitchne", "kitcen", "kitchem", "itchen", "kitchenware", "kitten", "mitten",
    "mountain", "mountains", "mountian", "muontain", "montain", "fountain", "mounta1n", "passage",
    "passages", "pasage", "message", "massage", "passager", "psasage", "search", "searched",
    "serach", "seach", "engine", "engines", "engnie", "engin", "Ёлка", "ёлка", "ЁЛКА", "елка",
    "ПРИВЕТ", "привет", "приветы", "Ждать", "àçcént", "ÀÇCÉNT", "naïve", "NAÏVE", "straße",
    "STRASSE", "þorn", "Þorn", "×", "a×b", "Œuvre", "œuvre", "ÿ", "Ÿ", "Über", "über", "ÜBER",
    "日本語", "日本", "😀", "😀smile", "𝔘𝔫", "42", "3.5", "1e+300", "007", "1_000", "-0",
    // Just inside and outside the ranges that fold.
    "ß", "straÿe", "÷", "Ѐ", "ѐ", "Я", "я", "а", "À", "à", "Þ", "þ", "@A[`a{"};

// Separators and punctuation between words.
const char *const kGaps[] = {" ", " ", " ", ", ", "-", "  ", ". ", "/", "\t", "!?", "'"};

// Ids of every kind a document can have, as JSON; the id text a number
// gives is computed the way the library prints it.
const char *const kSpecialIds[] = {R"("")",
                                   R"("\u0401\u043b")",
                                   R"("q\"uote")",
                                   R"("back\\slash")",
                                   R"("sl/ash")",
                                   R"("sl\/ash2")",
                                   R"("tab\there")",
                                   R"("日本")",
                                   R"("😀")",
                                   R"("UPPER")",
                                   R"("4")",
                                   "42",
                                   "-7",
                                   "3.7",
                                   "1e300",
                                   "9007199254740993",
                                   "-0.0",
                                   "0",
                                   "1.5e3",
                                   "12345678901234567890",
                                   "123456789012345678901234567"};

// Other members ("Title" is not a title: the member names match exactly).
const char *const kKeys[] = {"body", "tags", "n", "x", "meta", "Title", "note", "v", "été"};

struct id_choice {
  std::string json;  // as written in a document
  std::string key;   // as passed to get and delete
};

std::string NumberKey(const std::string &json) {
  CNumericScope c_numeric;
  char buf[512];
  snprintf(buf, sizeof buf, "%.0f", strtod(json.c_str(), nullptr));
  return buf;
}

// The text a JSON string literal stands for (only the escapes used here).
std::string Unquote(const std::string &json) {
  std::string out;
  for (size_t i = 1; i + 1 < json.size(); i++) {
    if (json[i] != '\\') {
      out += json[i];
      continue;
    }
    char c = json[++i];
    if (c == 't') {
      out += '\t';
    } else if (c == 'u') {
      unsigned cp = static_cast<unsigned>(strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16));
      i += 4;
      if (cp < 0x80) {
        out += static_cast<char>(cp);
      } else {  // below U+0800 in this file
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      }
    } else {
      out += c;
    }
  }
  return out;
}

id_choice SpecialId(const std::string &json) {
  return {json, json[0] == '"' ? Unquote(json) : NumberKey(json)};
}

// Everything a session knows of one index name.
struct name_state {
  std::string name;
  bool exists = false;
  std::string key = "id";                  // primary key while it exists
  std::map<std::string, std::string> ids;  // id ever used here -> a JSON that gives it
  std::map<std::string, bool> live;        // ids added since the index was created
};

const std::pair<int, int> kPages[] = {{1, 0}, {3, 2}, {10, 0}, {-1, -5}, {2, 1000}, {0, 4}};

class Session {
 public:
  Session(const library *libs[2], unsigned seed, std::string root) : rng_(seed), seed_(seed) {
    for (int i = 0; i < 2; i++) {
      libs_[i] = libs[i];
      dirs_[i] = root + (i == 0 ? "/new" : "/ref");
    }
    MakeVocabulary();
    for (const char *n : {"books", "a", "a/b", "shop/items", "Ёлка", "x y", "A"})
      names_.emplace_back().name = n;
    MakeQueries();
  }

  // Runs steps calls; false after the first difference (reported).
  // *done counts the calls on which the libraries agreed.
  bool Run(int steps, long *done) {
    if (!Both("init", [&](const library &l, int i) { return l.init(dirs_[i].c_str()); }))
      return false;
    for (step_ = 1; step_ <= steps; step_++) {
      if (!Step() || !CompareState()) return false;
      ++*done;
    }
    return true;
  }

 private:
  // ---- random choices ----
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  template <typename T, size_t N>
  const T &Pick(const T (&items)[N]) {
    return items[Below(N)];
  }
  template <typename T>
  const T &Pick(const std::vector<T> &items) {
    return items[Below(items.size())];
  }

  std::string RandomLetters(size_t n, const char *alphabet) {
    std::string s;
    size_t k = strlen(alphabet);
    for (size_t i = 0; i < n; i++) s += alphabet[Below(k)];
    return s;
  }

  // One edit: a byte replaced, inserted or left out.
  std::string Edit(std::string w) {
    size_t at = Below(w.size() + 1);
    switch (Below(3)) {
      case 0:
        if (at < w.size()) {
          w[at] = static_cast<char>(w[at] == 'z' ? 'q' : w[at] + 1);
          break;
        }
        [[fallthrough]];
      case 1:
        w.insert(at, 1, "aeiosz"[Below(6)]);
        break;
      default:
        if (w.size() > 1) w.erase(at < w.size() ? at : at - 1, 1);
        break;
    }
    return w;
  }

  void MakeVocabulary() {
    for (const char *w : kWords) vocab_.push_back(w);
    // Near spellings of generated words over a small alphabet, many of
    // them exactly 7 or 8 bytes long.
    for (int i = 0; i < 40; i++) {
      size_t len = i % 3 == 0 ? 7 : i % 3 == 1 ? 8 : 2 + Below(9);
      std::string w = RandomLetters(len, "abdeilnorst");
      vocab_.push_back(w);
      vocab_.push_back(Edit(w));
      vocab_.push_back(Edit(Edit(w)));
    }
    // Tokens around the 255-byte cut, some sharing their first 255 bytes,
    // one cut inside a two-byte character.
    std::string base = "long" + std::string(251, 'n');
    for (size_t extra : {0, 1, 2, 45, 60}) {
      longs_.push_back(base + std::string(extra, 'g'));
      longs_.push_back("Lm" + std::string(253 + extra, 'm'));
    }
    longs_.push_back(base.substr(0, 254) + "ééx");
    std::string accents;
    for (int i = 0; i < 130; i++) accents += "É";
    longs_.push_back(accents);
    // The words whose documents tie: one family of extensions and near
    // spellings, documents of equal length.
    const std::vector<std::vector<std::string>> families = {
        {"data", "datab", "database", "databse", "databases", "datum"},
        {"kitchen", "kitchens", "kitchne", "kitcen", "kitchem", "kitten"},
        {"mountain", "mountains", "mountian", "montain", "mounta1n", "muontain"},
        {"passage", "passages", "pasage", "passager", "psasage", "massage"}};
    family_ = families[Below(families.size())];
    tie_length_ = 3 + Below(3);
  }

  // The searches run after every call.
  void MakeQueries() {
    queries_ = {std::nullopt,
                std::string(""),
                std::string("!!! ,,, ..."),
                std::string("cat cat"),
                std::string("DATABASE kitchen"),
                std::string("dat"),
                std::string("da"),
                std::string("kit mou pas"),
                std::string("databse dtabase"),
                std::string("ЁЛКА прив"),
                std::string("ÀÇCÉNT × ÞORN ждать"),
                std::string("日本 😀"),
                std::string("ß ÷ Ѐ Я"),
                std::string("k"),
                std::string("42 3 5 1e"),
                longs_[1],
                longs_[4] + " " + longs_[9],
                std::string("TRUE false null")};
    // From the family that ties: its beginnings, the words, misspellings.
    for (size_t n : {2, 3, 4, 5}) queries_.push_back(family_[0].substr(0, n));
    queries_.push_back(family_[2]);
    queries_.push_back(Edit(family_[0]));
    queries_.push_back(Edit(family_[2]));
    queries_.push_back(Edit(Edit(family_[2])) + " " + family_[1].substr(0, 3));
    // Repeated tokens, each scored again.
    const std::string prefix = family_[0].substr(0, 3), typo = Edit(family_[2]);
    queries_.push_back(typo + " " + prefix + " " + family_[0] + " " + typo + " " + prefix + " " +
                       typo);
    // Generated words: 7 and 8 bytes with one and two edits, beginnings.
    for (int i = 0; i < 6; i++) {
      const std::string &w = vocab_[std::size(kWords) + 3 * Below(40)];
      std::string q = i % 3 == 0 ? w.substr(0, 2 + Below(2)) : i % 3 == 1 ? Edit(w) : Edit(Edit(w));
      if (Chance(0.3)) q += " " + Pick(vocab_);
      queries_.push_back(q);
    }
  }

  // A text of n words, in mixed case and with varied gaps.
  std::string Text(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) {
      if (i) s += Pick(kGaps);
      std::string w = Chance(0.03) ? Pick(longs_) : Pick(vocab_);
      if (Chance(0.1)) {
        for (char &c : w)
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      } else if (Chance(0.1) && w[0] >= 'a' && w[0] <= 'z') {
        w[0] = static_cast<char>(w[0] - 32);
      }
      s += w;
    }
    return s;
  }

  // A JSON string literal of s. Bytes that must be escaped are; others
  // sometimes are, in every form the format allows.
  std::string Quote(const std::string &s) {
    std::string out = "\"";
    char buf[16];
    for (size_t i = 0; i < s.size(); i++) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '/' && Chance(0.5)) {
        out += "\\/";
      } else if (c == '\n' || c == '\t') {
        out += c == '\n' ? "\\n" : "\\t";
      } else if (c < 0x20) {
        snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else if (c >= 0xC0 && Chance(0.2)) {
        size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        unsigned cp = c & (0x7F >> n);
        for (size_t k = 1; k < n; k++) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp >= 0x10000) {
          cp -= 0x10000;
          snprintf(buf, sizeof buf, "\\ud%03x\\ud%03x", 0x800 | (cp >> 10), 0xC00 | (cp & 0x3FF));
        } else {
          snprintf(buf, sizeof buf, Chance(0.5) ? "\\u%04x" : "\\u%04X", cp);
        }
        out += buf;
        i += n - 1;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  }

  std::string Number() {
    static const char *const kNumbers[] = {
        "3.5",          "1e300", "-0.0",  "9007199254740993",    "-12", "0", "2.5e-7",
        "123456789012", "1E+2",  "-3.25", "18446744073709551615"};
    return Chance(0.5) ? std::to_string(Below(1000)) : Pick(kNumbers);
  }

  // A member value of any kind; depth bounds the nesting.
  std::string Value(int depth) {
    switch (Below(depth > 0 ? 10 : 7)) {
      case 0:
      case 1:
      case 2:
        return Quote(Text(1 + Below(8)));
      case 3:
        return Number();
      case 4:
        return Chance(0.5) ? "true" : Chance(0.5) ? "false" : "null";
      case 5: {  // what must be escaped
        static const char *const kOdd[] = {"say \"hi\"",  "C:\\dir\\file", "a/b//c",
                                           "line\nbreak", "nul\0byte",     "\x01\x1f ctrl"};
        size_t k = Below(std::size(kOdd));
        std::string odd = k == 4 ? std::string("nul\0byte", 8) : kOdd[k];
        return Quote(odd + " " + Text(1 + Below(3)));
      }
      case 6:
        return Quote(Pick(longs_) + " " + Text(1));
      case 7:
      case 8: {  // an array mixing everything, now and then long enough to be cut
        std::string a = "[";
        size_t n = Chance(0.05) ? 40 + Below(40) : 1 + Below(5);
        for (size_t i = 0; i < n; i++) {
          if (i) a += ",";
          a += Below(4) == 0 ? Value(depth - 1)
               : Chance(0.3) ? Number()
                             : Quote(Text(1 + Below(3)));
        }
        return a + "]";
      }
      default: {
        std::string o = "{";
        size_t n = 1 + Below(3);
        for (size_t i = 0; i < n; i++) {
          if (i) o += ",";
          o += Quote(Chance(0.3) ? "title" : Text(1)) + ":" + Value(depth - 1);
        }
        return o + "}";
      }
    }
  }

  // A document whose id member is id (or is left out when id is empty).
  std::string Document(const std::string &key, const std::string &id_json) {
    std::vector<std::string> members;
    if (Chance(0.3)) {
      // Equal lengths from one family of words: scores that tie, or
      // differ only in how their sums were rounded.
      std::string body;
      for (size_t i = 0; i < tie_length_; i++) body += (i ? " " : "") + Pick(family_);
      members.push_back("\"body\":\"" + body + "\"");
      if (Chance(0.3)) members.push_back("\"title\":\"" + Pick(family_) + "\"");
    } else if (Chance(0.15)) {
      // Many terms seen nowhere else, so tables grow.
      std::string body;
      for (int i = 0; i < 30; i++)
        body += (i ? " " : "") + RandomLetters(5 + Below(4), "abcdefghijklmnopqrstuvwxyz");
      members.push_back("\"body\":\"" + body + "\"");
    } else {
      int titles = static_cast<int>(Below(4));  // none, title, name, both
      if (titles & 1)
        members.push_back("\"title\":" + (Chance(0.8) ? Quote(Text(1 + Below(4))) : Value(1)));
      if (titles & 2)
        members.push_back("\"name\":" + (Chance(0.8) ? Quote(Text(1 + Below(3))) : Value(1)));
      if (titles == 3 && Chance(0.5)) std::swap(members[0], members[1]);
      size_t extra = Below(5);
      for (size_t i = 0; i < extra; i++) members.push_back(Quote(Pick(kKeys)) + ":" + Value(2));
      if (Chance(0.05) && !members.empty()) members.push_back(members[0]);  // a duplicate key
    }
    if (!id_json.empty()) {
      size_t at = Chance(0.7) ? 0 : Below(members.size() + 1);
      members.insert(members.begin() + static_cast<long>(at), Quote(key) + ":" + id_json);
    }
    std::string doc = "{";
    for (size_t i = 0; i < members.size(); i++)
      doc += (i ? (Chance(0.1) ? " , " : ",") : "") + members[i];
    return doc + "}";
  }

  // An id for an add to st: a new one, or one used before (live or not).
  id_choice PickId(name_state &st, double fresh) {
    if (st.ids.empty() || Chance(fresh)) {
      if (Chance(0.1)) return SpecialId(Pick(kSpecialIds));
      std::string key = "d" + std::to_string(next_id_++);
      return {"\"" + key + "\"", key};
    }
    auto it = std::next(st.ids.begin(), static_cast<long>(Below(st.ids.size())));
    return {it->second, it->first};
  }

  // A key to get or delete: mostly one used in st, sometimes unknown.
  std::string PickKey(const name_state &st) {
    if (st.ids.empty() || Chance(0.1)) return Chance(0.5) ? "never" : "";
    return std::next(st.ids.begin(), static_cast<long>(Below(st.ids.size())))->first;
  }

  // A batch for st and the ids it would add when taken.
  std::string Batch(name_state &st, size_t count, double fresh, std::vector<id_choice> *ids) {
    std::string batch = "[";
    for (size_t i = 0; i < count; i++) {
      id_choice id = i > 0 && Chance(0.1) ? (*ids)[Below(ids->size())] : PickId(st, fresh);
      ids->push_back(id);
      batch += (i ? "," : "") + Document(st.key, id.json);
    }
    return batch + "]";
  }

  // ---- one random call on both libraries ----

  bool Step() {
    name_state &st = Chance(0.05) ? names_[Below(names_.size())] : names_[Below(4)];
    size_t roll = Below(1000);
    if (roll < 30 || (!st.exists && Chance(0.6))) return Create(st);
    if (roll < 50) return DeleteIndex(st);
    if (roll < 200) return AddOne(st);
    if (roll < 500) return AddBatch(st);
    if (roll < 560) return FailingBatch(st);
    if (roll < 700) return DeleteDocument(st);
    if (roll < 830) return SaveFailure(st);
    if (roll < 850) return Restart();
    if (roll < 870) return DerivedRestart(st);
    if (roll < 885) return Uninitialized(st);
    return Odd(st);
  }

  bool Create(name_state &st) {
    std::optional<std::string> key;
    static const char *const kPrimaryKeys[] = {"id", "sku", "ключ", "", "k\"q", "ID", "name"};
    if (Chance(0.6)) key = Pick(kPrimaryKeys);
    bool ok = Both("create " + st.name + " " + key.value_or("NULL"), [&](const library &l, int) {
      return l.index_create(st.name.c_str(), key ? key->c_str() : nullptr);
    });
    if (ok && last_ == 0) Created(st, key.value_or("id"));
    return ok;
  }

  void Created(name_state &st, const std::string &key) {
    st.exists = true;
    st.key = key;
    st.live.clear();
  }

  bool DeleteIndex(name_state &st) {
    bool ok = Both("delete index " + st.name,
                   [&](const library &l, int) { return l.index_delete(st.name.c_str()); });
    if (ok && last_ == 0) st.exists = false;
    return ok;
  }

  // Adds json, whose ids are in pending_, to both.
  bool Add(name_state &st, const std::string &json) {
    bool ok = Both("add " + st.name + " " + json, [&](const library &l, int) {
      return l.documents_add(st.name.c_str(), json.c_str());
    });
    if (ok && last_ >= 0) {
      for (const id_choice &id : pending_) {
        st.ids.emplace(id.key, id.json);
        st.live[id.key] = true;
      }
    }
    pending_.clear();
    return ok;
  }

  bool AddOne(name_state &st) {
    pending_ = {PickId(st, 0.5)};
    return Add(st, Document(st.key, pending_[0].json));
  }

  bool AddBatch(name_state &st) {
    pending_.clear();
    size_t count = 1 + Below(12);
    double fresh = st.ids.size() > 300 ? 0.02 : 0.4;
    // Now and then enough new ids at once to grow the id map.
    if (Chance(0.04) && st.ids.size() < 400) count = 150 + Below(100), fresh = 0.95;
    return Add(st, Batch(st, count, fresh, &pending_));
  }

  // Batches refused whole, for their content or their text.
  bool FailingBatch(name_state &st) {
    std::vector<id_choice> ids;
    std::string batch;
    switch (Below(8)) {
      case 0:
        batch = "[]";  // taken: no document, but the index is saved again
        break;
      case 1: {
        static const char *const kBad[] = {"{\"a\":1}",
                                           "[1]",
                                           "\"text\"",
                                           "null",
                                           "true",
                                           "[{\"id\":\"x\"",
                                           "",
                                           "{\"id\":\"a\"}{}",
                                           "[{\"id\":\"\xff\"}]",
                                           "  "};
        batch = Pick(kBad);
        break;
      }
      default: {
        batch = Batch(st, 1 + Below(6), 0.3, &ids);
        // One element without a usable id, somewhere in the batch.
        static const char *const kBadIds[] = {"{\"k\":1}", "[\"a\"]",          "true",
                                              "null",      "\"nul\\u0000id\"", ""};
        std::string bad = Document(st.key, Pick(kBadIds));
        size_t at = 1 + Below(batch.size() > 2 ? 2 : 1);
        if (Chance(0.5)) at = batch.size() - 1;
        bool empty = batch.size() == 2;
        if (at == batch.size() - 1) {
          batch.insert(at, (empty ? "" : ",") + bad);
        } else {
          batch.insert(at, bad + (empty ? "" : ","));
        }
        if (Chance(0.2)) batch = "[1," + batch.substr(1);
      }
    }
    pending_ = ids;
    return Add(st, batch);
  }

  bool DeleteDocument(name_state &st) {
    std::string key = PickKey(st);
    // Mostly a live one, so the index does not only grow.
    for (int tries = 0; tries < 4 && !st.live.empty() && !st.live[key]; tries++) key = PickKey(st);
    bool ok = Both("delete " + st.name + " " + key, [&](const library &l, int) {
      return l.document_delete(st.name.c_str(), key.c_str());
    });
    if (ok && last_ == 0) st.live[key] = false;
    return ok;
  }

  // A change whose save fails in both: the file size limit is set below
  // what the change writes (or only some of its files), and the library
  // must take the change back.
  bool SaveFailure(name_state &st) {
    std::error_code ec;
    auto docs = std::filesystem::file_size(dirs_[0] + "/" + st.name + "/docs.json", ec);
    rlim_t limit;
    if (ec || Chance(0.3)) {
      limit = Below(3) == 0 ? 0 : Below(300);
    } else {
      long l = static_cast<long>(docs) + static_cast<long>(Below(500)) - 100;
      limit = static_cast<rlim_t>(l < 0 ? 0 : l);
    }
    // A change raises its generations in the lock file, which the
    // reference does not have, and may append a slot record to it: a limit
    // below that would fail every change of the library under test alone.
    const auto lock = std::filesystem::file_size(dirs_[0] + "/_indexes/lock", ec);
    limit_ = std::max<rlim_t>(limit, (ec ? 0 : lock) + SDB_GEN_SLOT_MAX);
    bool ok;
    switch (Below(6)) {
      case 0:
        ok = Create(st);
        break;
      case 1:
        ok = DeleteIndex(st);
        break;
      case 2:
        ok = DeleteDocument(st);
        break;
      default: {
        // Replacements, revivals, new ids; now and then enough to grow the
        // id map.
        pending_.clear();
        size_t count = Chance(0.15) ? 150 + Below(100) : 1 + Below(12);
        ok = Add(st, Batch(st, count, count > 100 ? 0.95 : 0.3, &pending_));
      }
    }
    limit_.reset();
    return ok;
  }

  bool Restart() {
    return Both("restart", [&](const library &l, int i) {
      l.cleanup();
      return l.init(dirs_[i].c_str());
    });
  }

  static std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  static void Spill(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  static void SpillByRename(const std::string &path, const std::string &bytes) {
    Spill(path + ".spill", bytes);
    std::filesystem::rename(path + ".spill", path);
  }

  // A restart that finds st's derived file (which only the library under
  // test writes) in some state: kept, deleted, cut short, with bytes
  // changed, of another version, set aside and put back stale later, or
  // left describing newer documents than a docs.json put back in both
  // stores. None of it may change an answer, a message or a stored byte.
  bool DerivedRestart(name_state &st) {
    const std::string dir = dirs_[0] + "/" + st.name + "/";
    const std::string path = dir + SDB_DERIVED_FILE;
    std::error_code ec;
    const bool present = std::filesystem::is_regular_file(path, ec);
    std::string bytes = present ? Slurp(path) : "";
    std::string what, settled;
    switch (Below(12)) {
      case 0:
        what = "kept";
        break;
      case 1:
        what = "deleted";
        std::filesystem::remove(path, ec);
        break;
      case 2:
        what = "cut short";
        if (present) Spill(path, bytes.substr(0, Below(bytes.size() + 1)));
        break;
      case 3:
        what = "with bytes changed";
        for (size_t k = Below(3); present && !bytes.empty() && k < 3; k++)
          bytes[Below(bytes.size())] ^= static_cast<char>(1 + Below(255));
        if (present) Spill(path, bytes);
        break;
      case 4:
        what = "of another version";
        if (present && bytes.size() >= sdb_derived::kHeaderSize) {
          sdb_derived::header h;
          memcpy(&h, bytes.data(), sizeof h);
          h.version += 1 + static_cast<uint32_t>(Below(3));
          memcpy(bytes.data(), &h, sizeof h);
          sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(),
                           h.docs_size, h.docs_sum);
          Spill(path, bytes);
        }
        break;
      case 5:
        what = "set aside";
        if (present) aside_[st.name] = {bytes, Slurp(dir + SDB_DOCUMENTS_FILE)};
        break;
      case 6:
        what = "put back";
        if (aside_.count(st.name) && std::filesystem::is_directory(dir, ec))
          Spill(path, aside_[st.name].first);
        break;
      case 7:
      case 8:
      case 9:
      case 10:
        // As if written long after docs.json last changed, so that a load
        // takes the documents where they lie. Only for this start: left in
        // place, it would claim as much of a docs.json replaced within the
        // same clock tick, which only a true margin rules out.
        what = "settled";
        // A start whose searches write the file describing docs.json as
        // it is, first.
        if (!Restart() || !CompareState()) return false;
        bytes = std::filesystem::is_regular_file(path, ec) ? Slurp(path) : "";
        if (bytes.size() >= sdb_derived::kHeaderSize) {
          settled = bytes;
          sdb_derived::header h;
          memcpy(&h, settled.data(), sizeof h);
          h.docs_stat_ns = h.docs_ctime_ns + SDB_SETTLED_NS + 1;
          memcpy(settled.data(), &h, sizeof h);
          sdb_derived_seal(reinterpret_cast<unsigned char *>(settled.data()), settled.size(),
                           h.docs_size, h.docs_sum);
          SpillByRename(path, settled);
        }
        break;
      default:
        what = "kept, docs.json put back";
        if (aside_.count(st.name)) {
          for (const std::string &d : dirs_) {
            const std::string docs = d + "/" + st.name + "/" + SDB_DOCUMENTS_FILE;
            if (std::filesystem::is_regular_file(docs, ec)) Spill(docs, aside_[st.name].second);
          }
        }
        break;
    }
    const bool same =
        Both("restart, " + st.name + " derived file " + what, [&](const library &l, int i) {
          l.cleanup();
          return l.init(dirs_[i].c_str());
        });
    // Replaced, not written over: the library may have it mapped.
    if (!settled.empty() && Slurp(path) == settled) SpillByRename(path, bytes);
    return same;
  }

  // A call between cleanup and init.
  bool Uninitialized(name_state &st) {
    return Both("uninitialized calls, then init", [&](const library &l, int i) {
      l.cleanup();
      std::string seen = l.indexes_list_json();
      seen += l.search(st.name.c_str(), "data", 0, 0);
      seen += l.index_stats_json(st.name.c_str());
      int rc = l.documents_add(st.name.c_str(), "{\"id\":1}") * 1000 +
               l.index_create("books", nullptr) * 100 + l.index_delete(st.name.c_str()) * 10 +
               l.document_delete(st.name.c_str(), "1");
      seen += l.last_error();
      seen += l.document_get(st.name.c_str(), "1") ? "text" : "NULL";
      note_ = seen;
      return rc + l.init(dirs_[i].c_str()) * 10000;
    });
  }

  // Arguments a host should not pass, and names that are refused.
  bool Odd(name_state &st) {
    switch (Below(6)) {
      case 0:
        return Both("init again",
                    [&](const library &l, int i) { return l.init(dirs_[i].c_str()); });
      case 1:
        return Both("NULL names", [&](const library &l, int) {
          note_ = std::string(l.search(nullptr, "x", 0, 0)) + l.index_stats_json(nullptr) +
                  (l.document_get(nullptr, "x") ? "text" : "NULL") + l.last_error();
          return l.index_create(nullptr, nullptr) * 1000 + l.index_delete(nullptr) * 100 +
                 l.documents_add(nullptr, "{}") * 10 + l.document_delete(nullptr, "x");
        });
      case 2:
        return Both("NULL ids and texts in " + st.name, [&](const library &l, int) {
          note_ = std::string(l.document_get(st.name.c_str(), nullptr) ? "text" : "NULL") +
                  l.last_error();
          return l.documents_add(st.name.c_str(), nullptr) * 10 +
                 l.document_delete(st.name.c_str(), nullptr);
        });
      default: {
        static const char *const kRefused[] = {"",     "a//b",   "../x",    ".",   "a/./b",
                                               "/abs", "trail/", "bad\xff", "x/.."};
        std::string name = Chance(0.2) ? std::string(256, 'n') : Pick(kRefused);
        const char *key = nullptr;
        if (Chance(0.2)) {
          name = st.name;
          key = "k\xc3";  // not UTF-8
        }
        return Both("create " + name + " with a refused name or key",
                    [&](const library &l, int) { return l.index_create(name.c_str(), key); });
      }
    }
  }

  // ---- running and comparing ----

  std::string Masked(std::string text, int i) const {
    const std::string &dir = dirs_[i];
    for (size_t at; (at = text.find(dir)) != std::string::npos;)
      text.replace(at, dir.size(), "<dir>");
    if (i == 1) {
      // The reference gave no reason for a failed write; the only one
      // forced here is the file size limit's.
      const std::string failed = " failed", reason = std::string(": ") + strerror(EFBIG);
      for (size_t at = 0; (at = text.find("fwrite <dir>", at)) != std::string::npos;) {
        at = text.find(failed, at);
        if (at == std::string::npos) break;
        text.replace(at, failed.size(), reason);
      }
    }
    return text;
  }

  // Calls op on both libraries, under the file size limit when one is set,
  // and compares the return values and the last-error texts. The return
  // value is kept in last_.
  template <typename Op>
  bool Both(const std::string &what, Op op) {
    history_.push_back(std::to_string(step_) + ": " + what.substr(0, 400) +
                       (limit_ ? " [file size limit " + std::to_string(*limit_) + "]" : ""));
    if (history_.size() > 12) history_.pop_front();
    std::string seen[2];
    int rc[2];
    for (int i = 0; i < 2; i++) {
      note_.clear();
      if (limit_) SetFileSizeLimit(*limit_);
      // Random choices inside op must be the same for both.
      std::mt19937_64 saved = rng_;
      const auto locale = LocaleOf(i);
      rc[i] = op(*libs_[i], i);
      if (i == 0) after_first_ = rng_;
      rng_ = saved;
      if (limit_) SetFileSizeLimit(std::nullopt);
      seen[i] = "returned " + std::to_string(rc[i]) + ", last error \"" +
                Masked(libs_[i]->last_error(), i) + "\"" + Masked(note_, i);
    }
    rng_ = after_first_;
    last_ = rc[0];
    if (trace_)
      printf("%s\n  %s\n", history_.back().substr(0, 160).c_str(), seen[0].substr(0, 200).c_str());
    return Same({{"call", seen[0]}}, {{"call", seen[1]}});
  }

  // Sets the soft limit to limit, or back to what it was with nullopt.
  static void SetFileSizeLimit(std::optional<rlim_t> limit) {
    static const rlimit original = [] {
      rlimit rl;
      getrlimit(RLIMIT_FSIZE, &rl);
      return rl;
    }();
    rlimit rl = original;
    if (limit && *limit < rl.rlim_cur) rl.rlim_cur = *limit;
    setrlimit(RLIMIT_FSIZE, &rl);
  }

  using observations = std::vector<std::pair<std::string, std::string>>;

  static std::string MaskTime(std::string text) {
    static const std::string kTime = "\"processingTimeMs\":";
    size_t at = text.find(kTime);
    if (at == std::string::npos) return text;
    size_t from = at + kTime.size(), to = from;
    while (to < text.size() && strchr("0123456789.eE+-", text[to])) to++;
    return text.replace(from, to - from, "#");
  }

  // Everything library i answers about the session's names and ids, and
  // its storage directory.
  observations Observe(int i) {
    const auto locale = LocaleOf(i);
    const library &l = *libs_[i];
    observations out;
    auto or_error = [&](const char *value) {
      return value ? std::string(value) : "NULL, last error \"" + Masked(l.last_error(), i) + "\"";
    };
    out.emplace_back("index list", l.indexes_list_json());
    for (const name_state &st : names_) {
      const char *stats = l.index_stats_json(st.name.c_str());
      bool absent = strcmp(stats, "null") == 0;
      out.emplace_back("stats " + st.name,
                       absent ? "null, last error \"" + Masked(l.last_error(), i) + "\"" : stats);
      for (const auto &[key, json] : st.ids) {
        out.emplace_back("get " + st.name + " \"" + key + "\"",
                         or_error(l.document_get(st.name.c_str(), key.c_str())));
        if (absent) break;
      }
      out.emplace_back("get " + st.name + " \"never\"",
                       or_error(l.document_get(st.name.c_str(), "never")));
      for (size_t q = 0; q < queries_.size(); q++) {
        const char *text = queries_[q] ? queries_[q]->c_str() : nullptr;
        std::string label =
            "search " + st.name + " " + (text ? "\"" + *queries_[q] + "\"" : "NULL");
        out.emplace_back(label + " 0 0", MaskTime(l.search(st.name.c_str(), text, 0, 0)));
        if (absent) break;
        auto [limit, offset] = kPages[(step_ + q) % std::size(kPages)];
        out.emplace_back(label + " " + std::to_string(limit) + " " + std::to_string(offset),
                         MaskTime(l.search(st.name.c_str(), text, limit, offset)));
      }
    }
    out.emplace_back("last error", Masked(l.last_error(), i));
    Files(dirs_[i], &out);
    return out;
  }

  // Paths left out of the comparison of stored files, relative to the
  // storage directory: files that may differ by design. The lock file
  // holds this process's generations, which the library under test keeps
  // and the reference does not; the derived files (and their temporaries)
  // and the change records are its cache.
  static bool Uncompared(const std::string &rel) {
    const std::string name = std::filesystem::path(rel).filename().string();
    return rel == "_indexes/lock" || name == SDB_DERIVED_FILE ||
           name == std::string(SDB_DERIVED_FILE) + SDB_TEMPORARY_SUFFIX || name == SDB_CHANGES_FILE;
  }

  static void Files(const std::string &dir, observations *out) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::string rel = it->path().lexically_relative(dir).string();
      if (Uncompared(rel)) continue;
      if (it->is_directory()) {
        files[rel + "/"] = "(directory)";
      } else {
        std::ifstream in(it->path(), std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        files[rel] = ss.str();
      }
    }
    std::string listing;
    for (const auto &[rel, bytes] : files) listing += rel + "\n";
    out->emplace_back("stored files", listing);
    for (auto &[rel, bytes] : files) out->emplace_back("file " + rel, std::move(bytes));
  }

  bool CompareState() { return Same(Observe(0), Observe(1)); }

  // The reference (library 1) writes numbers as in the C locale, the
  // library under test in the program's locale.
  static std::unique_ptr<CNumericScope> LocaleOf(int i) {
    return i == 1 ? std::make_unique<CNumericScope>() : nullptr;
  }

  static std::string Around(const std::string &s, size_t at) {
    size_t from = at > 150 ? at - 150 : 0;
    return (from ? "..." : "") + s.substr(from, 300) + (from + 300 < s.size() ? "..." : "");
  }

  bool Same(const observations &got, const observations &want) {
    for (size_t k = 0; k < got.size() || k < want.size(); k++) {
      if (k < got.size() && k < want.size() && got[k] == want[k]) continue;
      std::ostringstream msg;
      msg << "the libraries differ (session seed " << seed_ << ", call " << step_
          << "; rerun with SEARCHDB_DIFF_SEED=" << seed_ << " SEARCHDB_DIFF_STEPS=" << step_
          << ")\n";
      msg << "last calls:\n";
      for (const std::string &h : history_) msg << "  " << h << "\n";
      if (k >= got.size() || k >= want.size()) {
        msg << "one library has more to show: " << (k < got.size() ? got[k].first : want[k].first)
            << "\n";
      } else if (got[k].first != want[k].first) {
        msg << "under test: " << got[k].first << "\nreference:  " << want[k].first << "\n";
      } else {
        const std::string &a = got[k].second, &b = want[k].second;
        size_t at = 0;
        while (at < a.size() && at < b.size() && a[at] == b[at]) at++;
        msg << got[k].first << ", first difference at byte " << at
            << ":\n  under test: " << Around(a, at) << "\n  reference:  " << Around(b, at) << "\n";
      }
      ADD_FAILURE() << msg.str();
      return false;
    }
    return true;
  }

  const library *libs_[2];
  std::mt19937_64 rng_, after_first_;
  unsigned seed_;
  std::string dirs_[2];
  int step_ = 0;
  int last_ = 0;
  std::string note_;
  std::optional<rlim_t> limit_;
  std::deque<std::string> history_;
  bool trace_ = getenv("SEARCHDB_DIFF_TRACE") != nullptr;
  std::vector<name_state> names_;
  std::vector<std::string> vocab_, longs_, family_;
  size_t tie_length_ = 4;
  std::vector<std::optional<std::string>> queries_;
  std::vector<id_choice> pending_;
  long next_id_ = 0;
  // Per index name, a derived file and the docs.json it was beside.
  std::map<std::string, std::pair<std::string, std::string>> aside_;
};

TEST(DifferentialTest, EveryAnswerAndFileMatchesTheReference) {
  std::string why;
  std::optional<library> reference = LoadReference(&why);
  if (!reference)
    GTEST_SKIP() << "no reference library (commit " << SEARCHDB_REFERENCE_COMMIT << "): " << why;
  const library *libs[2] = {&kUnderTest, &*reference};

  const unsigned seed = static_cast<unsigned>(EnvLong("SEARCHDB_DIFF_SEED", 1));
  const long steps = EnvLong("SEARCHDB_DIFF_STEPS", kDefaultSteps);
  const long per_session = std::max(1L, EnvLong("SEARCHDB_DIFF_SESSION", 250));
  printf("seed %u, %ld calls in sessions of %ld\n", seed, steps, per_session);

  // A write beyond the file size limit must fail, not end the process.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);

  auto started = std::chrono::steady_clock::now();
  long done = 0;
  for (unsigned k = 0; done < steps; k++) {
    char tmpl[] = "/tmp/searchdb-diff-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    int n = static_cast<int>(std::min(per_session, steps - done));
    // No table exists between sessions, so the key may change.
    std::mt19937_64 key_rng(seed + k);
    sdb_table_key &key = sdb_table_key_of_process();
    for (uint64_t &word : key.k) word = k % 4 == 0 ? 0 : key_rng();
    bool same = Session(libs, seed + k, tmpl).Run(n, &done);
    searchdb_cleanup();
    reference->cleanup();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    if (!same) break;
  }
  sigaction(SIGXFSZ, &old, nullptr);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("%ld calls compared in %.1f s\n", done, seconds);
}

}  // namespace
