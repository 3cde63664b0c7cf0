// The derived file (storage/derived.h) is a cache: whatever state it is
// in, every answer, message and stored byte is what a build from docs.json
// gives, and a file that does not describe docs.json whole is replaced by
// the one a build writes.
#include "storage/derived.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "api/registry.h"
#include "base/checksum.h"
#include "fixture.h"
#include "index/build.h"
#include "index/index.h"
#include "index/terms.h"
#include "search/match.h"
#include "searchdb.h"
#include "storage/change_record.h"
#include "storage/derived_format.h"
#include "storage/derived_map.h"
#include "storage/layout.h"

namespace {

class DerivedFileTest : public StorageTest {
 protected:
  std::string Derived(const std::string &index) const {
    return Path(index + "/" + SDB_DERIVED_FILE);
  }

  // Random documents with shared words, words sharing beginnings, a title
  // member, numbers to filter, sort and count by, now and then a word
  // repeated past what a posting's byte holds, and rare words (enough of
  // them make the table walk double its buckets).
  std::string Document(std::mt19937_64 &rng, int id, int rare = 1) {
    static const char *const kWords[] = {"red",   "read",  "reader", "green", "grey",   "blue",
                                         "bluer", "apple", "apply",  "stone", "store",  "story",
                                         "x",     "zebra", "zero",   "kind",  "kinder", "ünïcode"};
    auto word = [&] { return std::string(kWords[rng() % std::size(kWords)]); };
    std::string body;
    const int words = 1 + static_cast<int>(rng() % 30);
    for (int w = 0; w < words; w++) body += (w ? " " : "") + word();
    if (rng() % 10 == 0) {
      const std::string many = rare > 1 && rng() % 2 ? "v" + std::to_string(rng() % 5000) : word();
      for (int k = 0; k < 130 + static_cast<int>(rng() % 200); k++) body += " " + many;
    }
    body += " w" + std::to_string(rng() % 500);  // rare words
    for (int k = 1; k < rare; k++) body += " v" + std::to_string(rng() % 5000);
    return "{\"id\":\"d" + std::to_string(id) + "\",\"title\":\"" + word() + " " + word() +
           "\",\"body\":\"" + body + "\",\"n\":" + std::to_string(rng() % 100) + ",\"tag\":\"" +
           word() + "\"}";
  }

  // Adds, replaces and deletes documents at random.
  void Fill(std::mt19937_64 &rng, const char *index, int rounds) {
    for (int r = 0; r < rounds; r++) {
      std::string batch = "[";
      const int count = 1 + static_cast<int>(rng() % 60);
      for (int i = 0; i < count; i++)
        batch += (i ? "," : "") + Document(rng, static_cast<int>(rng() % 400));
      ASSERT_GE(searchdb_documents_add(index, (batch + "]").c_str()), 0) << LastError();
      for (int k = 0; k < 5; k++)
        searchdb_document_delete(index, ("d" + std::to_string(rng() % 400)).c_str());
    }
  }

  // The file as it describes its documents: the clock of the load that
  // wrote it and the key its id table is placed by, which differ from
  // process to process, left out, and with the key the table.
  static std::string Described(std::string bytes) {
    if (bytes.size() < sdb_derived::kHeaderSize) return bytes;
    sdb_derived::header h;
    memcpy(&h, bytes.data(), sizeof h);
    h.docs_stat_ns = 0;
    h.header_sum = 0;
    memset(h.id_key, 0, sizeof h.id_key);
    for (uint32_t s : {sdb_derived::S_ID_TABLE, sdb_derived::S_ID_SUMS}) {
      sdb_derived::section &sec = h.sections[s];
      if (sec.offset <= bytes.size() && sec.length <= bytes.size() - sec.offset)
        memset(bytes.data() + sec.offset, 0, sec.length);
      sec.sum = 0;
    }
    memcpy(bytes.data(), &h, sizeof h);
    return bytes;
  }

  // What the file holds of the documents, without the identity of the
  // docs.json file it was made beside: for files of two stores.
  static std::string Content(std::string bytes) {
    if (bytes.size() < sdb_derived::kHeaderSize) return bytes;
    sdb_derived::header h;
    memcpy(&h, bytes.data(), sizeof h);
    h.docs_dev = h.docs_ino = 0;
    h.docs_mtime_ns = h.docs_ctime_ns = 0;
    memcpy(bytes.data(), &h, sizeof h);
    return Described(bytes);
  }

  // The file as a load would have written it at ns past docs.json's last
  // change: past SDB_SETTLED_NS, docs.json's metadata stands for its bytes.
  static std::string LoadedAt(std::string bytes, int64_t ns) {
    sdb_derived::header h;
    memcpy(&h, bytes.data(), sizeof h);
    h.docs_stat_ns = h.docs_ctime_ns + ns;
    memcpy(bytes.data(), &h, sizeof h);
    sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                     h.docs_sum);
    return bytes;
  }

  static int64_t Clock() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
  }

  // When shop/items' docs.json last changed.
  int64_t DocsChanged() const {
    struct stat st {};
    stat(Path("shop/items/docs.json").c_str(), &st);
    return int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec;
  }

  // Whether index's documents were loaded where they lie in docs.json.
  static bool DocumentsMapped(const char *index) {
    const sdb_index *ix = sdb_index_find(index);
    return ix != nullptr && ix->doc_count > 0 && ix->blocks[ix->docs[0].block].mapped;
  }

  // Whether the load took docs.json as the derived file describes it on
  // the strength of its identity alone, without reading it: the identity
  // it keeps is then the one the file recorded, time of taking included.
  static bool ProvenUnread(const char *index, const std::string &file) {
    const sdb_index *ix = sdb_index_find(index);
    sdb_derived::header h;
    memcpy(&h, file.data(), sizeof h);
    return DocumentsMapped(index) && ix->docs_identity.stat_ns == h.docs_stat_ns;
  }

  // Whether byte at of a file laid out as good lies in a section checked
  // only as a process reads it.
  static bool ReadLate(const std::string &good, size_t at) {
    sdb_derived::header h;
    memcpy(&h, good.data(), sizeof h);
    for (uint32_t s :
         {sdb_derived::S_SLOTS, sdb_derived::S_TFS, sdb_derived::S_ENTRY_SUMS, sdb_derived::S_DOCS,
          sdb_derived::S_IDS, sdb_derived::S_ID_TABLE, sdb_derived::S_ID_SUMS})
      if (at >= h.sections[s].offset && at < h.sections[s].offset + h.sections[s].length)
        return true;
    return false;
  }

  static std::string Masked(std::string answer) {
    const size_t at = answer.find("\"processingTimeMs\":");
    if (at != std::string::npos) answer.erase(at, answer.find_first_of(",}", at) - at);
    return answer;
  }

  // Everything a host sees of the index: statistics, searches of every
  // kind at several pages, requests with a filter, a sort, facets and the
  // typo-aware rank, fetches, and the messages of each.
  std::string Observe(const char *index) {
    static const char *const kQueries[] = {"red",        "re",          "read*",   "blue stone",
                                           "\"kind x\"", "zer",         "st",      "w7",
                                           "apple -red", "story store", "unicode", "ünï"};
    std::string seen = Masked(searchdb_index_stats_json(index));
    for (const char *q : kQueries) {
      seen += Masked(searchdb_search(index, q, 10, 0)) + searchdb_last_error();
      seen += Masked(searchdb_search(index, q, 3, 4));
      const std::string request = std::string("{\"q\":\"") + (q[0] == '"' ? "kind" : q) +
                                  "\",\"filter\":{\"field\":\"n\",\"op\":\"gte\",\"value\":40},"
                                  "\"sort\":[{\"field\":\"n\",\"order\":\"desc\"}],"
                                  "\"facets\":[\"tag\"],\"limit\":7}";
      seen += Masked(searchdb_search_request(index, request.c_str()));
      seen += Masked(
          searchdb_search_request(index, (std::string("{\"q\":\"") + (q[0] == '"' ? "kind" : q) +
                                          "\",\"rank\":\"typo_aware\",\"limit\":5}")
                                             .c_str()));
    }
    for (int id = 0; id < 400; id += 37) {
      const char *doc = searchdb_document_get(index, ("d" + std::to_string(id)).c_str());
      seen += doc ? doc : searchdb_last_error();
    }
    return seen;
  }
};

TEST_F(DerivedFileTest, AnswersAsBuiltWhateverStateTheFileIsIn) {
  std::mt19937_64 rng(7);
  Open();
  ASSERT_EQ(searchdb_index_create("shop/items", nullptr), 0);
  Fill(rng, "shop/items", 8);
  // A file describing these documents, kept to be put back stale later.
  Reopen();
  ASSERT_NE(std::string(searchdb_search("shop/items", "red", 1, 0)), "null");
  const std::string older = ReadFile(Derived("shop/items"));
  ASSERT_FALSE(older.empty());
  Fill(rng, "shop/items", 4);
  searchdb_cleanup();

  // The reference: a build, with no derived file. Its first search writes
  // the file.
  std::filesystem::remove(Derived("shop/items"));
  const std::string docs = ReadFile(Path("shop/items/docs.json"));
  const std::string meta = ReadFile(Path("shop/items/meta.json"));
  Open();
  const std::string reference = Observe("shop/items");
  searchdb_cleanup();
  const std::string good = ReadFile(Derived("shop/items"));
  ASSERT_GT(good.size(), sdb_derived::kHeaderSize);

  struct stat before {};
  for (int variant = 0; variant < 60; variant++) {
    // Half the time as if written long enough after docs.json changed
    // that its metadata proves it unchanged, so that the documents are
    // taken where they lie.
    const bool settled = variant % 4 < 2;
    std::string bytes = settled ? LoadedAt(good, SDB_SETTLED_NS + 1) : good;
    bool usable = false;
    // Damaged only where a file is checked as it is read: a process that
    // never reads there keeps the file.
    bool read_late = variant % 7 == 2;
    switch (variant % 7) {
      case 0:  // intact
        usable = true;
        break;
      case 1:  // cut short
        bytes.resize(rng() % bytes.size());
        break;
      case 2: {  // bytes changed by accident, anywhere or in a section picked alike
        sdb_derived::header h;
        memcpy(&h, bytes.data(), sizeof h);
        for (int k = 0; k < 1 + variant % 3; k++) {
          const uint64_t s = rng() % (sdb_derived::kSections + 1);
          const bool whole = s == sdb_derived::kSections || h.sections[s].length == 0;
          const uint64_t at =
              whole ? rng() % bytes.size() : h.sections[s].offset + rng() % h.sections[s].length;
          bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
          read_late = read_late && ReadLate(good, at);
        }
        break;
      }
      case 3: {  // another version, otherwise intact
        sdb_derived::header h;
        memcpy(&h, bytes.data(), sizeof h);
        h.version++;
        memcpy(bytes.data(), &h, sizeof h);
        sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                         h.docs_sum);
        break;
      }
      case 4:  // built from the documents as they were before the last changes
        bytes = settled ? LoadedAt(older, SDB_SETTLED_NS + 1) : older;
        break;
      case 5:  // gone
        bytes.clear();
        break;
      default:  // something else in its place
        bytes = "{}";
        break;
    }
    if (variant % 7 == 5) {
      std::filesystem::remove(Derived("shop/items"));
    } else {
      WriteFile(Derived("shop/items"), bytes);
    }
    stat(Derived("shop/items").c_str(), &before);
    // A load that may find docs.json settled writes an unsettled file
    // again, once, with what proves it: half a second of leeway.
    const bool may_settle = Clock() + 500'000'000 > DocsChanged() + SDB_SETTLED_NS;
    Open();
    // Told as it is, taken as a search takes it, and nothing written.
    const int state = variant % 7 == 5 ? SEARCHDB_DERIVED_MISSING
                      : usable         ? SEARCHDB_DERIVED_CURRENT
                                       : SEARCHDB_DERIVED_STALE;
    // Documents are taken where they lie from a file that describes
    // docs.json (proven by its identity when settled, else by reading
    // docs.json once), always from one that is intact (a file damaged in
    // its dictionary alone still locates them).
    if (variant % 7 != 2) {
      EXPECT_EQ(DocumentsMapped("shop/items"), usable) << "variant " << variant;
    }
    if (variant % 2 == 0) {
      ASSERT_EQ(searchdb_index_derived_state("shop/items"), state) << "variant " << variant;
    }
    ASSERT_EQ(Observe("shop/items"), reference) << "variant " << variant;
    searchdb_cleanup();
    // A usable file is kept as it is; any other is replaced by the one a
    // build writes, and the stored documents are never touched.
    struct stat after {};
    ASSERT_EQ(stat(Derived("shop/items").c_str(), &after), 0) << "variant " << variant;
    if (usable && (settled || !may_settle)) {
      EXPECT_EQ(after.st_ino, before.st_ino) << "variant " << variant;
    }
    const std::string kept = ReadFile(Derived("shop/items"));
    EXPECT_TRUE(Described(kept) == Described(good) ||
                (read_late &&
                 kept.substr(sdb_derived::kHeaderSize) == bytes.substr(sdb_derived::kHeaderSize)))
        << "variant " << variant;
    EXPECT_EQ(ReadFile(Path("shop/items/docs.json")), docs);
    EXPECT_EQ(ReadFile(Path("shop/items/meta.json")), meta);
  }

  // A tf changed and the checksums made to match: a load takes the file,
  // but it is not what a build writes, and writing it anew mends it.
  {
    std::string bytes = good;
    sdb_derived::header h;
    memcpy(&h, bytes.data(), sizeof h);
    const sdb_derived::section &tfs = h.sections[sdb_derived::S_TFS];
    uint64_t at = tfs.offset;
    while (at < tfs.offset + tfs.length && (bytes[at] & SDB_TF_MASK) != 1) at++;
    ASSERT_LT(at, tfs.offset + tfs.length);
    bytes[at] = static_cast<char>(bytes[at] + 1);
    sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                     h.docs_sum);
    WriteFile(Derived("shop/items"), bytes);
    Open();
    // In the order `searchdb check` asks: a check that finds the difference
    // leaves the state to a build of its own, not to the file's dictionary.
    EXPECT_EQ(searchdb_index_check("shop/items"), -1);
    EXPECT_EQ(searchdb_index_derived_state("shop/items"), SEARCHDB_DERIVED_STALE);
    ASSERT_EQ(searchdb_index_write_derived("shop/items"), 0) << LastError();
    EXPECT_TRUE(Described(ReadFile(Derived("shop/items"))) == Described(good));
    EXPECT_EQ(searchdb_index_derived_state("shop/items"), SEARCHDB_DERIVED_CURRENT);
    // Every byte counts, those between the sections too.
    bytes = good;
    uint64_t gap = sdb_derived::kHeaderSize;
    for (uint32_t k = 0; k < sdb_derived::kSections && gap == h.sections[k].offset; k++)
      gap = h.sections[k].offset + h.sections[k].length;
    ASSERT_LT(gap, h.sections[sdb_derived::kSections - 1].offset);
    bytes[gap] = 1;
    WriteFile(Derived("shop/items"), bytes);
    EXPECT_EQ(searchdb_index_derived_state("shop/items"), SEARCHDB_DERIVED_STALE);
    ASSERT_EQ(searchdb_index_write_derived("shop/items"), 0) << LastError();
    EXPECT_FALSE(std::filesystem::exists(Derived("shop/items") + ".tmp"));
    EXPECT_EQ(searchdb_index_derived_state("shop/items"), SEARCHDB_DERIVED_CURRENT);
    // Documents changed here since the load: only a fresh load can
    // describe them.
    ASSERT_EQ(searchdb_documents_add("shop/items", R"([{"id":"new","body":"red"}])"), 1)
        << LastError();
    EXPECT_EQ(searchdb_index_derived_state("shop/items"), SEARCHDB_DERIVED_STALE);
    EXPECT_EQ(searchdb_index_write_derived("shop/items"), -1);
    EXPECT_EQ(searchdb_last_error_code(), SEARCHDB_INVALID);
    searchdb_cleanup();
    WriteFile(Path("shop/items/docs.json"), docs);
    WriteFile(Derived("shop/items"), good);
    Open();
    EXPECT_EQ(Observe("shop/items"), reference);
    searchdb_cleanup();
  }

  // docs.json edited by hand to the same size and document count: only
  // its bytes tell that the file describes other documents.
  std::string edited = docs;
  for (size_t at = edited.find("apple"); at != std::string::npos; at = edited.find("apple", at))
    edited.replace(at, 5, "maple");
  ASSERT_NE(edited, docs);
  WriteFile(Path("shop/items/docs.json"), edited);
  std::filesystem::remove(Derived("shop/items"));
  Open();
  const std::string edited_reference = Observe("shop/items");
  searchdb_cleanup();
  ASSERT_NE(edited_reference, reference);
  WriteFile(Derived("shop/items"), good);
  Open();
  EXPECT_EQ(Observe("shop/items"), edited_reference);
  searchdb_cleanup();

  // Edited in place with its modification time put back: only its change
  // time tells, and within a tick of the recorded one only the margin
  // between that time and the load that wrote the file does.
  struct stat original {
  }, now{};
  WriteFile(Path("shop/items/docs.json"), docs);
  ASSERT_EQ(stat(Path("shop/items/docs.json").c_str(), &original), 0);
  std::filesystem::remove(Derived("shop/items"));
  Open();
  ASSERT_EQ(Observe("shop/items"), reference);
  searchdb_cleanup();
  const std::string recorded = ReadFile(Derived("shop/items"));
  WriteFile(Path("shop/items/docs.json"), edited);
  const struct timespec times[2] = {original.st_atim, original.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("shop/items/docs.json").c_str(), times, 0), 0);
  ASSERT_EQ(stat(Path("shop/items/docs.json").c_str(), &now), 0);
  ASSERT_EQ(now.st_ino, original.st_ino);
  ASSERT_EQ(now.st_size, original.st_size);
  const int64_t ctime = int64_t{now.st_ctim.tv_sec} * 1'000'000'000 + now.st_ctim.tv_nsec;
  for (int64_t past : {SDB_SETTLED_NS + 1, int64_t{0}, SDB_SETTLED_NS - 1, SDB_SETTLED_NS}) {
    WriteFile(Derived("shop/items"), LoadedAt(recorded, past));
    Open();
    EXPECT_FALSE(DocumentsMapped("shop/items")) << past;
    EXPECT_EQ(Observe("shop/items"), edited_reference) << past;
    searchdb_cleanup();
  }
  // The same, as if the edit fell within the recorded change time's tick.
  std::string same_tick = recorded;
  sdb_derived::header h;
  memcpy(&h, same_tick.data(), sizeof h);
  h.docs_ctime_ns = ctime;
  memcpy(same_tick.data(), &h, sizeof h);
  for (int64_t past : {int64_t{0}, SDB_SETTLED_NS - 1, SDB_SETTLED_NS}) {
    WriteFile(Derived("shop/items"), LoadedAt(same_tick, past));
    Open();
    EXPECT_FALSE(DocumentsMapped("shop/items")) << past;
    EXPECT_EQ(Observe("shop/items"), edited_reference) << past;
    searchdb_cleanup();
  }
  // Past the margin the metadata is taken as proof, which is what the
  // margin is for.
  WriteFile(Derived("shop/items"), LoadedAt(same_tick, SDB_SETTLED_NS + 1));
  Open();
  EXPECT_TRUE(DocumentsMapped("shop/items"));
  searchdb_cleanup();
  // Replaced by another file, its times as recorded but for the inode.
  WriteFile(Path("shop/items/docs.json.new"), edited);
  ASSERT_EQ(utimensat(AT_FDCWD, Path("shop/items/docs.json.new").c_str(), times, 0), 0);
  std::filesystem::rename(Path("shop/items/docs.json.new"), Path("shop/items/docs.json"));
  ASSERT_EQ(stat(Path("shop/items/docs.json").c_str(), &now), 0);
  ASSERT_NE(now.st_ino, original.st_ino);
  h.docs_ctime_ns = int64_t{now.st_ctim.tv_sec} * 1'000'000'000 + now.st_ctim.tv_nsec;
  memcpy(same_tick.data(), &h, sizeof h);
  WriteFile(Derived("shop/items"), LoadedAt(same_tick, SDB_SETTLED_NS + 1));
  Open();
  EXPECT_FALSE(DocumentsMapped("shop/items"));
  EXPECT_EQ(Observe("shop/items"), edited_reference);
}

// A file written too soon after docs.json changed cannot prove it
// unchanged by its identity: each load reads docs.json once to prove it,
// the first one late enough writes the file again with what does, and
// every later one takes the documents unread, until docs.json changes.
TEST_F(DerivedFileTest, AFileThatCannotProveDocsUnchangedIsWrittenAgainOnceALoadCan) {
  std::mt19937_64 rng(5);
  Open();
  ASSERT_EQ(searchdb_index_create("shop/items", nullptr), 0);
  Fill(rng, "shop/items", 3);
  Reopen();
  const std::string reference = Observe("shop/items");
  searchdb_cleanup();
  const std::string first = ReadFile(Derived("shop/items"));
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(Derived("shop/items").c_str(), &before), 0);
  // Still too soon: read, taken, and kept as it is.
  if (Clock() + 500'000'000 < DocsChanged() + SDB_SETTLED_NS) {
    Open();
    EXPECT_TRUE(DocumentsMapped("shop/items"));
    EXPECT_FALSE(ProvenUnread("shop/items", first));
    EXPECT_EQ(Observe("shop/items"), reference);
    searchdb_cleanup();
    ASSERT_EQ(stat(Derived("shop/items").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
  while (Clock() < DocsChanged() + SDB_SETTLED_NS + 100'000'000) usleep(50'000);
  Open();
  EXPECT_TRUE(DocumentsMapped("shop/items"));
  EXPECT_FALSE(ProvenUnread("shop/items", first));
  EXPECT_EQ(Observe("shop/items"), reference);
  searchdb_cleanup();
  const std::string proving = ReadFile(Derived("shop/items"));
  EXPECT_TRUE(Described(proving) == Described(first));
  EXPECT_NE(proving, first);
  ASSERT_EQ(stat(Derived("shop/items").c_str(), &before), 0);
  for (int round = 0; round < 2; round++) {
    Open();
    EXPECT_TRUE(ProvenUnread("shop/items", proving));
    EXPECT_EQ(Observe("shop/items"), reference);
    searchdb_cleanup();
    ASSERT_EQ(stat(Derived("shop/items").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
  EXPECT_TRUE(ReadFile(Derived("shop/items")) == proving);
  // Ids the file makes to run on past their record's length, or past the
  // section, even with checksums to match: the documents are read from
  // docs.json instead, never an id from beyond its place.
  {
    sdb_derived::header h;
    memcpy(&h, proving.data(), sizeof h);
    const sdb_derived::section &ids = h.sections[sdb_derived::S_IDS];
    const sdb_derived::section &recs = h.sections[sdb_derived::S_DOCS];
    const size_t last_nul = ids.offset + h.id_bytes - 1;
    const size_t first_len = recs.offset + offsetof(sdb_derived::doc_record, id_len);
    for (int crafted = 0; crafted < 3; crafted++) {
      std::string bytes = proving;
      uint32_t len;
      memcpy(&len, bytes.data() + first_len, sizeof len);
      if (crafted == 0) bytes[last_nul] = 'x';
      if (crafted == 1) len = static_cast<uint32_t>(h.id_bytes);
      if (crafted == 2) len++;
      memcpy(bytes.data() + first_len, &len, sizeof len);
      sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                       h.docs_sum);
      WriteFile(Derived("shop/items"), bytes);
      Open();
      EXPECT_FALSE(DocumentsMapped("shop/items")) << crafted;
      EXPECT_EQ(Observe("shop/items"), reference) << crafted;
      searchdb_cleanup();
    }
    WriteFile(Derived("shop/items"), proving);
  }
  // Times set to what they were: the change time moves, so docs.json is
  // read again, and is too fresh for the file to be written again.
  struct stat docs {};
  ASSERT_EQ(stat(Path("shop/items/docs.json").c_str(), &docs), 0);
  const struct timespec times[2] = {docs.st_atim, docs.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("shop/items/docs.json").c_str(), times, 0), 0);
  Open();
  EXPECT_TRUE(DocumentsMapped("shop/items"));
  EXPECT_FALSE(ProvenUnread("shop/items", proving));
  EXPECT_EQ(Observe("shop/items"), reference);
  searchdb_cleanup();
  ASSERT_EQ(stat(Derived("shop/items").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  // The same entries in other bytes: the file is taken, caught up with no
  // document, but describes another docs.json, so it is never made to
  // prove this one, however late the load.
  const std::string docs_text = ReadFile(Path("shop/items/docs.json"));
  WriteFile(Path("shop/items/docs.json"), "[ " + docs_text.substr(1));
  while (Clock() < DocsChanged() + SDB_SETTLED_NS + 100'000'000) usleep(50'000);
  Open();
  EXPECT_EQ(Observe("shop/items"), reference);
  searchdb_cleanup();
  EXPECT_TRUE(ReadFile(Derived("shop/items")) == proving);
}

// A load led by the change record reads docs.json through a buffer of a
// few hundred kilobytes: in a store several times that size the bytes
// that close entries fall in every piece and across their edges, and the
// load still takes the documents where they lie and answers as a build.
TEST_F(DerivedFileTest, ACatchUpThatReadsDocsJsonInPiecesAnswersAsABuild) {
  std::mt19937_64 rng(31);
  Open();
  ASSERT_EQ(searchdb_index_create("big", nullptr), 0);
  for (int batch = 0; batch < 8; batch++) {
    std::string docs = "[";
    for (int i = 0; i < 500; i++) docs += (i ? "," : "") + Document(rng, batch * 500 + i, 8);
    ASSERT_EQ(searchdb_documents_add("big", (docs + "]").c_str()), 500) << LastError();
  }
  searchdb_cleanup();
  Open();
  ASSERT_NE(std::string(searchdb_search("big", "red", 1, 0)), "null");
  searchdb_cleanup();
  ASSERT_TRUE(Exists(Derived("big")));
  ASSERT_GT(ReadFile(Path("big/docs.json")).size(), size_t{3} << 20 >> 2);
  // Another process replaces, deletes and adds a few.
  Open();
  for (int k = 0; k < 6; k++) {
    const int id = static_cast<int>(rng() % 4000);
    if (k % 3 == 1) {
      searchdb_document_delete("big", ("d" + std::to_string(id)).c_str());
    } else {
      ASSERT_EQ(searchdb_documents_add("big", Document(rng, k % 3 ? 4000 + k : id, 8).c_str()), 1)
          << LastError();
    }
  }
  searchdb_cleanup();
  const std::string ref = root_ + "/reference";
  std::filesystem::copy(dir_, ref, std::filesystem::copy_options::recursive);
  std::filesystem::remove(ref + "/big/" + SDB_DERIVED_FILE);
  ASSERT_EQ(searchdb_init(ref.c_str()), 0);
  const std::string reference = Observe("big");
  searchdb_cleanup();
  Open();
  EXPECT_TRUE(DocumentsMapped("big"));
  EXPECT_EQ(Observe("big"), reference);
}

// Changes made on a dictionary and documents taken from the file (its
// postings written where they lie in the private mapping, its ids used
// where they lie) answer as those made on a built one, call by call.
TEST_F(DerivedFileTest, ChangesOnTheMappedDictionaryAnswerAsOnABuiltOne) {
  std::mt19937_64 seed_rng(11);
  Open();
  ASSERT_EQ(searchdb_index_create("a", nullptr), 0);
  Fill(seed_rng, "a", 6);
  // The first search of a process that loaded the documents writes the
  // file.
  Reopen();
  ASSERT_NE(std::string(searchdb_search("a", "red", 1, 0)), "null");
  searchdb_cleanup();
  ASSERT_TRUE(Exists(Derived("a")));
  WriteFile(Derived("a"), LoadedAt(ReadFile(Derived("a")), SDB_SETTLED_NS + 1));
  const std::string copy = root_ + "/built";
  std::filesystem::copy(dir_, copy, std::filesystem::copy_options::recursive);
  std::filesystem::remove(copy + "/a/" + SDB_DERIVED_FILE);

  auto session = [&](const std::string &dir) {
    std::vector<std::string> seen;
    std::mt19937_64 rng(12);
    EXPECT_EQ(searchdb_init(dir.c_str()), 0) << LastError();
    // Reading first, so that one store answers from the file and the other
    // from a build when the changes begin.
    seen.push_back(Observe("a"));
    EXPECT_EQ(DocumentsMapped("a"), dir == dir_);
    EXPECT_EQ(searchdb_index_check("a"), 0) << LastError();
    for (int step = 0; step < 12; step++) {
      if (step % 3 == 2) {
        searchdb_document_delete("a", ("d" + std::to_string(rng() % 400)).c_str());
      } else {
        const std::string doc = Document(rng, static_cast<int>(rng() % 400));
        EXPECT_GE(searchdb_documents_add("a", doc.c_str()), 0) << LastError();
      }
      seen.push_back(Observe("a") + searchdb_last_error());
      // The dictionary changed where it lies stays what a rebuild makes.
      EXPECT_EQ(searchdb_index_check("a"), 0) << step << ": " << LastError();
    }
    searchdb_cleanup();
    return seen;
  };
  const std::vector<std::string> mapped = session(dir_);
  const std::vector<std::string> built = session(copy);
  ASSERT_EQ(mapped.size(), built.size());
  for (size_t i = 0; i < mapped.size(); i++) EXPECT_EQ(mapped[i], built[i]) << "after call " << i;
  EXPECT_EQ(ReadFile(Path("a/docs.json")), ReadFile(copy + "/a/docs.json"));
}

// The entries of a docs.json as it stores them, and the file they make.
std::vector<std::string> Entries(const std::string &docs) {
  std::vector<std::string> out;
  bool in_string = false, escaped = false;
  int depth = 0;
  size_t from = 1;
  for (size_t i = 1; i + 1 < docs.size(); i++) {
    const char c = docs[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    depth += c == '{' ? 1 : c == '}' ? -1 : 0;
    if (depth == 0 && c == ',') {
      out.push_back(docs.substr(from, i - from));
      from = i + 1;
    }
  }
  if (docs.size() > 2) out.push_back(docs.substr(from, docs.size() - 1 - from));
  return out;
}

std::string Joined(const std::vector<std::string> &entries) {
  std::string docs = "[";
  for (size_t i = 0; i < entries.size(); i++) docs += (i ? "," : "") + entries[i];
  return docs + "]";
}

// A process that finds the file built from a docs.json another process
// (or a hand) changed since answers, checks and writes the file exactly as
// a build of the new docs.json does, whether it caught up with the change
// (led there by the change record, or matching every entry) or built:
// documents added, replaced, deleted and revived at their old place by the
// library, and entries dropped, swapped and repeated by hand; with the
// change record torn, damaged, missing the append of a writer that died
// after its rename, or naming a docs.json edited in place since (its
// identity kept, as an edit within the clock's tick would) or restored
// from before.
TEST_F(DerivedFileTest, AFreshProcessCatchesUpWithAnothersChangesAsABuildWould) {
  std::mt19937_64 rng(23);
  Open();
  ASSERT_EQ(searchdb_index_create("c", nullptr), 0);
  std::string batch = "[";
  for (int i = 0; i < 160; i++) batch += (i ? "," : "") + Document(rng, i, 8);
  ASSERT_EQ(searchdb_documents_add("c", (batch + "]").c_str()), 160) << LastError();
  searchdb_cleanup();
  const std::string docs_path = Path("c/docs.json"), ref = root_ + "/reference";
  const std::string record_path = Path(std::string("c/") + SDB_CHANGES_FILE);
  int caught = 0, rewritten = 0, led = 0;
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    // 0-2 changed by the library, 3 and 9 by hand; the record then 4 torn,
    // 5 damaged, 6 without a writer's append, or docs.json 7 restored, 8
    // edited in place.
    const int kind = round % 10;
    // A file that describes the documents as they stand.
    std::filesystem::remove(Derived("c"));
    Open();
    ASSERT_NE(std::string(searchdb_search("c", "red", 1, 0)), "null");
    searchdb_cleanup();
    ASSERT_TRUE(Exists(Derived("c")));
    const std::string before = ReadFile(docs_path);
    const bool by_hand = kind == 3 || kind == 9;
    const int changes = 1 + static_cast<int>(rng() % (round % 3 == 0   ? 1
                                                      : round % 3 == 1 ? 6
                                                                       : 40));
    if (by_hand) {
      std::vector<std::string> entries = Entries(before);
      ASSERT_EQ(Joined(entries), before);
      for (int k = 0; k < changes && entries.size() > 2; k++) {
        const size_t a = rng() % entries.size(), b = rng() % entries.size();
        switch (rng() % 3) {
          case 0:
            entries.erase(entries.begin() + static_cast<long>(a));
            break;
          case 1:
            std::swap(entries[a], entries[b]);
            break;
          default:
            entries.insert(entries.begin() + static_cast<long>(b), entries[a]);
            break;
        }
      }
      WriteFile(docs_path, Joined(entries));
    } else {
      Open();
      std::string record_before_last;
      for (int k = 0; k < changes; k++) {
        // The record as a writer that died between its rename and its
        // append left it.
        if (k == changes - 1 && kind == 6) record_before_last = ReadFile(record_path);
        const int id = static_cast<int>(rng() % 240);
        const std::string name = "d" + std::to_string(id);
        switch (rng() % 3) {
          case 0: {  // revived with others added or replaced at once
            searchdb_document_delete("c", name.c_str());
            const int n = 2 + static_cast<int>(rng() % 2);
            std::string batch = "[" + Document(rng, id, 8);
            for (int i = 1; i < n; i++)
              batch += "," + Document(rng, static_cast<int>(rng() % 250), 8);
            ASSERT_EQ(searchdb_documents_add("c", (batch + "]").c_str()), n) << LastError();
            break;
          }
          case 1:
            searchdb_document_delete("c", name.c_str());
            break;
          default:  // revived where it was
            searchdb_document_delete("c", name.c_str());
            ASSERT_EQ(searchdb_documents_add("c", Document(rng, id, 8).c_str()), 1) << LastError();
            break;
        }
      }
      if (kind == 6) {
        WriteFile(record_path, record_before_last);
        ASSERT_EQ(searchdb_documents_add("c", Document(rng, 250, 8).c_str()), 1) << LastError();
        // The next writer starts the record anew rather than go on from a
        // docs.json that is not its own.
        const std::string now = ReadFile(record_path);
        if (record_before_last.size() > 8) {
          EXPECT_NE(now.substr(0, record_before_last.size()), record_before_last);
        }
      }
      searchdb_cleanup();
      std::string record = ReadFile(record_path);
      if (kind == 4 && !record.empty()) {
        record.resize(rng() % record.size());
      } else if (kind == 5 && !record.empty()) {
        record[rng() % record.size()] ^= static_cast<char>(1 + rng() % 255);
      } else if (kind == 7) {
        WriteFile(docs_path, before);
      } else if (kind == 8) {
        // One letter of a text changed in place, every length kept, and
        // the record made to name the file as it now stands.
        std::string docs = ReadFile(docs_path);
        const size_t at = docs.find("green");
        ASSERT_NE(at, std::string::npos);
        docs[at + 4] = 'd';
        WriteFile(docs_path, docs);
        struct stat st {};
        ASSERT_EQ(stat(docs_path.c_str(), &st), 0);
        sdb_file_identity now;
        sdb_file_identity_of(st, 0, &now);
        sdb_changes_seal(reinterpret_cast<unsigned char *>(record.data()), record.size(), &now);
      }
      if (kind == 4 || kind == 5 || kind == 8) WriteFile(record_path, record);
    }
    const bool changed = ReadFile(docs_path) != before;
    // The reference: a build of the same documents, with no file.
    std::filesystem::remove_all(ref);
    std::filesystem::copy(dir_, ref, std::filesystem::copy_options::recursive);
    std::filesystem::remove(ref + "/c/" + SDB_DERIVED_FILE);
    ASSERT_EQ(searchdb_init(ref.c_str()), 0);
    const std::string reference = Observe("c");
    searchdb_cleanup();
    const std::string good = ReadFile(ref + "/c/" + SDB_DERIVED_FILE);
    ASSERT_FALSE(good.empty());

    const std::string stale = ReadFile(Derived("c"));
    Open();
    // Led by the record to the new docs.json, the load maps it rather than
    // reading it.
    const bool mapped = DocumentsMapped("c");
    led += mapped;
    if (kind <= 2 && changes <= 6 && changed) {
      EXPECT_TRUE(mapped);
    }
    // Not when the record misses a change, or names bytes docs.json no
    // longer holds.
    if (kind == 6 || kind == 8) {
      EXPECT_FALSE(mapped);
    }
    if (round % 2 == 0) {
      // Taken here, to see which way.
      uint32_t caught_up = 0;
      sdb_index *ix = sdb_index_find("c");
      ASSERT_NE(ix, nullptr);
      const bool taken = sdb_derived_install(ix, &caught_up);
      EXPECT_EQ(taken, caught_up > 0 || !changed);
      // Whenever matching every entry would catch up, so does the record.
      if (kind <= 2) {
        EXPECT_EQ(mapped, caught_up > 0);
      }
      if (changed && !by_hand && changes <= 6) {
        EXPECT_GT(caught_up, 0u);
      }
      caught += caught_up > 0;
      EXPECT_EQ(Observe("c"), reference);
      EXPECT_EQ(searchdb_index_check("c"), 0) << LastError();
      if (caught_up > 0) {
        ASSERT_EQ(sdb_derived_write(ix), 0) << LastError();
      }
      searchdb_cleanup();
      EXPECT_TRUE(Content(ReadFile(Derived("c"))) == Content(good));
      continue;
    }
    // As a search takes it, which writes it anew after a build or a
    // catch-up of enough documents, and else leaves it for the next
    // process to catch up with again.
    EXPECT_EQ(Observe("c"), reference);
    EXPECT_EQ(searchdb_index_check("c"), 0) << LastError();
    searchdb_cleanup();
    const std::string after = ReadFile(Derived("c"));
    if (after == stale && changed) {
      Open();
      EXPECT_EQ(Observe("c"), reference);
      searchdb_cleanup();
    } else {
      EXPECT_TRUE(Content(after) == Content(good));
      rewritten++;
    }
  }
  EXPECT_GE(caught, 6);
  EXPECT_GE(rewritten, 4);
  EXPECT_GE(led, 6);
}

// The derived file's and the change record's names are among an index
// directory's files: a new index may not be named with them, and an index
// stored where one would lie from before still loads and keeps its
// documents, its neighbour simply going without the file (changed, too).
TEST_F(DerivedFileTest, TheNameIsTakenButAnOldIndexThereStillLoads) {
  Open();
  for (const char *file : {SDB_DERIVED_FILE, SDB_CHANGES_FILE}) {
    EXPECT_EQ(searchdb_index_create((std::string("a/") + file).c_str(), nullptr), -1);
    EXPECT_EQ(LastError(), "index name invalid");
  }
  EXPECT_EQ(searchdb_index_create((std::string(SDB_DERIVED_FILE) + ".tmp").c_str(), nullptr), -1);
  searchdb_cleanup();

  const std::string inner = std::string("a/") + SDB_DERIVED_FILE;
  const std::string record = std::string("a/") + SDB_CHANGES_FILE;
  std::filesystem::create_directories(Path(inner));
  WriteFile(Path("_indexes/list.json"), "[\"a\",\"" + inner + "\",\"" + record + "\"]");
  WriteFile(Path("a/meta.json"), "{\"name\":\"a\",\"primary_key\":\"id\"}");
  WriteFile(Path("a/docs.json"), R"([{"__id":"1","raw":"{\"id\":\"1\",\"t\":\"red apple\"}"}])");
  for (const std::string &name : {inner, record}) {
    std::filesystem::create_directories(Path(name));
    WriteFile(Path(name + "/meta.json"), "{\"name\":\"" + name + "\",\"primary_key\":\"id\"}");
    WriteFile(Path(name + "/docs.json"), R"([{"__id":"2","raw":"{\"id\":\"2\",\"t\":\"red\"}"}])");
  }
  for (int round = 0; round < 2; round++) {
    Open();
    EXPECT_NE(std::string(searchdb_search("a", "apple", 10, 0)).find("\"totalHits\":1"),
              std::string::npos);
    ASSERT_EQ(searchdb_documents_add("a", ("{\"id\":\"n" + std::to_string(round) + "\"}").c_str()),
              1)
        << LastError();
    for (const std::string &name : {inner, record})
      EXPECT_NE(std::string(searchdb_search(name.c_str(), "red", 10, 0)).find("\"totalHits\":1"),
                std::string::npos);
    searchdb_cleanup();
    EXPECT_TRUE(std::filesystem::is_directory(Path(inner)));
    EXPECT_TRUE(std::filesystem::is_directory(Path(record)));
    EXPECT_TRUE(Exists(Path(inner + "/" + SDB_DERIVED_FILE)));
  }
}

}  // namespace

namespace {

// The documents of a rotation: document d<i> holds the word "u<(i + n) %
// count>" and says n, so that any one hit tells whether the dictionary
// that found it describes the text the hit shows.
std::string Rotation(int n, int count) {
  std::string batch = "[";
  for (int i = 0; i < count; i++)
    batch += std::string(i ? "," : "") + "{\"id\":\"d" + std::to_string(i) + "\",\"t\":\"common u" +
             std::to_string((i + n) % count) + "\",\"n\":" + std::to_string(n) + "}";
  return batch + "]";
}

}  // namespace

// Readers starting in fresh processes while a writer rotates the words
// among the documents: whichever file each finds (current, stale, being
// replaced, written by another reader), every answer describes the
// documents it shows.
TEST_F(DerivedFileTest, FreshReadersBesideAWriterAnswerFromTheDocumentsTheyShow) {
  constexpr int kDocs = 60;
  Open();
  ASSERT_EQ(searchdb_index_create("r", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("r", Rotation(0, kDocs).c_str()), kDocs);
  searchdb_cleanup();
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    if (searchdb_init(dir_.c_str()) != 0) _exit(2);
    for (int n = 1; n <= 40; n++)
      if (searchdb_documents_add("r", Rotation(n, kDocs).c_str()) != kDocs) _exit(3);
    _exit(0);
  }
  auto start_reader = [&](int r) {
    const pid_t reader = fork();
    EXPECT_GE(reader, 0);
    if (reader == 0) {
      if (searchdb_init(dir_.c_str()) != 0) _exit(2);
      for (int k = 0; k < 5; k++) {
        const int j = (r * 7 + k * 13) % kDocs;
        const std::string hits = searchdb_search("r", ("u" + std::to_string(j)).c_str(), 5, 0);
        if (hits.find("\"totalHits\":1}") == std::string::npos) _exit(4);
        // The one hit: its id and its rotation must put u<j> in it.
        const size_t id_at = hits.find("\"id\":\"d");
        const size_t n_at = hits.find("\"n\":");
        if (id_at == std::string::npos || n_at == std::string::npos) _exit(5);
        const int i = atoi(hits.c_str() + id_at + 7), n = atoi(hits.c_str() + n_at + 4);
        if ((i + n) % kDocs != j) _exit(6);
        if (std::string(searchdb_search("r", "common", 0, 0)).find("\"totalHits\":60}") ==
            std::string::npos)
          _exit(7);
      }
      searchdb_cleanup();
      _exit(0);
    }
    return reader;
  };
  auto wait_for = [](pid_t reader) {
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader status " << status;
  };
  std::vector<pid_t> readers;
  for (int r = 0; r < 16; r++) readers.push_back(start_reader(r));
  for (pid_t reader : readers) wait_for(reader);
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  // Then readers one after another, the first finding the file the last of
  // the others wrote, which may describe an earlier rotation.
  for (int r = 16; r < 19; r++) wait_for(start_reader(r));
}

namespace {

// A dictionary taken from the file, its terms made only as they are read,
// finds for any token the terms a build finds, in the same order (the one
// scores are summed in) and with the same edits, and reads each as a build
// holds it.
TEST_F(DerivedFileTest, TermsMadeAsTheyAreReadMatchAsInABuild) {
  std::mt19937_64 rng(23);
  Open();
  ASSERT_EQ(searchdb_index_create("shop/items", nullptr), 0);
  std::string docs = "[";
  for (int i = 0; i < 1500; i++) docs += (i ? "," : "") + Document(rng, i, 4);
  ASSERT_EQ(searchdb_documents_add("shop/items", (docs + "]").c_str()), 1500) << LastError();
  for (int k = 0; k < 40; k++)
    searchdb_document_delete("shop/items", ("d" + std::to_string(rng() % 1500)).c_str());
  searchdb_cleanup();
  std::filesystem::remove(Derived("shop/items"));
  Open();
  ASSERT_STRNE(searchdb_index_stats_json("shop/items"), "null");  // builds, writes the file
  searchdb_cleanup();
  Open();
  ASSERT_STRNE(searchdb_index_stats_json("shop/items"), "null");
  const sdb_index *ix = sdb_index_find("shop/items");
  ASSERT_TRUE(ix->terms.lent && ix->terms.unchecked != nullptr);
  sdb_fresh_build fresh;
  ASSERT_TRUE(sdb_fresh_build_make(ix, &fresh));
  static const char *const kStems[] = {"re",    "red", "read", "reader", "blu", "bluer", "app",
                                       "story", "ünï", "kind", "zeb",    "x",   "v",     "w"};
  auto match = [](const sdb_terms *d, const std::string &q) {
    std::vector<std::pair<uint32_t, uint32_t>> found;
    sdb_match m;
    EXPECT_TRUE(sdb_match_start(&m, d, q.data(), q.size()));
    for (uint32_t id = sdb_match_next(&m); id != SDB_NO_TERM; id = sdb_match_next(&m))
      found.emplace_back(id, m.edits);
    sdb_match_end(&m);
    return found;
  };
  for (int k = 0; k < 600; k++) {
    std::string q = kStems[rng() % std::size(kStems)];
    if (q == "v" || q == "w") q += std::to_string(rng() % (q == "v" ? 5000 : 500));
    if (rng() % 2 && q.size() > 1) q.resize(1 + rng() % q.size());
    if (rng() % 3 == 0) {  // a typo
      const size_t at = rng() % (q.size() + 1);
      const char c = static_cast<char>('0' + rng() % 43);
      switch (rng() % 3) {
        case 0:
          q.insert(at, 1, c);
          break;
        case 1:
          if (at < q.size()) q.erase(at, 1);
          break;
        default:
          if (at < q.size()) q[at] = c;
      }
    }
    if (q.empty()) continue;
    const auto lazy = match(&ix->terms, q), built = match(&fresh.terms, q);
    ASSERT_EQ(lazy, built) << q;
    for (const auto &[id, edits] : lazy) {
      const sdb_term &t = sdb_term_at(&ix->terms, id), &u = fresh.terms.terms[id];
      ASSERT_EQ(std::string(t.text, t.len), std::string(u.text, u.len));
      ASSERT_EQ(t.hash, u.hash);
      ASSERT_EQ(t.rank, u.rank);
      ASSERT_EQ(t.first_pos, u.first_pos);
      ASSERT_EQ(std::vector<uint32_t>(t.docs, t.docs + t.count),
                std::vector<uint32_t>(u.docs, u.docs + u.count));
    }
  }
  EXPECT_FALSE(sdb_derived_rejected(ix));
  sdb_fresh_build_free(&fresh);
}

// A search checks the postings it reads the first time it reads them:
// damage that only a later search reaches is found then, by that search,
// and every answer, before and after, is a build's; a change, the check
// and the file's state check everything first.
TEST_F(DerivedFileTest, DamageFoundOnlyByALaterSearchStillAnswersAsBuilt) {
  std::mt19937_64 rng(11);
  Open();
  ASSERT_EQ(searchdb_index_create("shop/items", nullptr), 0);
  // Postings enough for several chunks of each postings section.
  for (int batch = 0; batch < 7; batch++) {
    std::string docs = "[";
    for (int i = 0; i < 500; i++) docs += (i ? "," : "") + Document(rng, batch * 500 + i, 8);
    ASSERT_EQ(searchdb_documents_add("shop/items", (docs + "]").c_str()), 500) << LastError();
  }
  for (int k = 0; k < 60; k++)
    searchdb_document_delete("shop/items", ("d" + std::to_string(rng() % 3000)).c_str());
  searchdb_cleanup();
  std::filesystem::remove(Derived("shop/items"));

  std::vector<std::string> pool = {"red", "re", "read*",      "blue stone", "\"kind x\"",
                                   "zer", "st", "apple -red", "ünï",        "bluee"};
  for (int k = 0; k < 40; k++) pool.push_back("v" + std::to_string(rng() % 5000));
  for (int k = 0; k < 20; k++) pool.push_back("w" + std::to_string(rng() % 500) + " red");
  for (int k = 0; k < 10; k++) pool.push_back("v" + std::to_string(1 + rng() % 99));
  auto ask = [&](const std::string &q) {
    const std::string plain = q[0] == '"' ? "kind" : q;
    return Masked(searchdb_search("shop/items", q.c_str(), 10, 0)) + searchdb_last_error() +
           Masked(searchdb_search_request(
               "shop/items",
               ("{\"q\":\"" + plain + "\",\"rank\":\"typo_aware\",\"limit\":5}").c_str())) +
           Masked(searchdb_search_request(
               "shop/items", ("{\"q\":\"" + plain + " \\\"red apple\\\"\",\"limit\":5}").c_str()));
  };
  Open();
  std::vector<std::string> reference;
  for (const std::string &q : pool) reference.push_back(ask(q));
  searchdb_cleanup();
  const std::string good = ReadFile(Derived("shop/items"));
  sdb_derived::header h;
  ASSERT_TRUE(sdb_derived_header_read(reinterpret_cast<const unsigned char *>(good.data()),
                                      good.size(), &h));
  ASSERT_GT(h.postings, sdb_derived::kPageChunk);
  const uint64_t slots = h.sections[sdb_derived::S_SLOTS].offset;
  const uint64_t tfs = h.sections[sdb_derived::S_TFS].offset;
  // Where each term's postings begin, and each term's id by its text.
  std::vector<uint64_t> first = {0};
  std::map<std::string, uint64_t> id_of;
  for (uint32_t id = 0; id < h.term_count; id++) {
    sdb_derived::term_record r;
    memcpy(&r, good.data() + h.sections[sdb_derived::S_TERMS].offset + id * sizeof r, sizeof r);
    first.push_back(first.back() + r.count);
    const uint64_t text = h.sections[sdb_derived::S_TEXTS].offset + r.text;
    id_of[good.substr(text + 1, static_cast<uint8_t>(good[text]))] = id;
  }
  std::vector<std::string> text_of(h.term_count);
  for (const auto &[text, id] : id_of) text_of[id] = text;

  // The postings whose tf overflowed its byte, of words the pool asks for
  // as they are (and the query that does).
  std::vector<std::pair<uint64_t, size_t>> overflowing;
  for (uint32_t i = 0; i < h.big_count; i++) {
    sdb_derived::big_record b;
    memcpy(&b, good.data() + h.sections[sdb_derived::S_BIG].offset + i * sizeof b, sizeof b);
    for (size_t q = 0; q < pool.size(); q++) {
      if (!id_of.count(pool[q]) || id_of[pool[q]] != b.term) continue;
      uint64_t at = first[b.term];
      while (memcmp(good.data() + slots + 4 * at, &b.slot, 4) != 0) at++;
      overflowing.emplace_back(at, q);
    }
  }
  ASSERT_FALSE(overflowing.empty());
  int found_late = 0, never_found = 0;
  const uint64_t records = h.sections[sdb_derived::S_TERMS].offset;
  const uint64_t order = h.sections[sdb_derived::S_ORDER].offset;
  const uint64_t text_at = h.sections[sdb_derived::S_ORDER_TEXTS].offset;
  // Eight kinds of damage (round / 2 % 8), each in six variants (round /
  // 16) where a kind has them, once on a term the session reads and once
  // on any.
  const uint64_t lcp = h.sections[sdb_derived::S_LCP].offset;
  for (int round = 0; round < 96; round++) {
    const int kind = round / 2 % 8, variant = round / 16;
    std::string bytes = round % 8 < 4 ? LoadedAt(good, SDB_SETTLED_NS + 1) : good;
    // Half the rounds damage a term one search of the session reads (at a
    // random turn), the others any term: its postings, its record or where
    // its text lies in byte order.
    std::vector<size_t> session(12);
    for (size_t &q : session) q = rng() % pool.size();
    // Among the rare words, which no other search reads as such.
    size_t target = 10 + rng() % 40;
    while (!id_of.count(pool[target])) target = 10 + rng() % 40;
    if (round % 2) session[rng() % session.size()] = target;
    const uint64_t id = round % 2 ? id_of[pool[target]] : rng() % h.term_count;
    const uint64_t count = first[id + 1] - first[id];
    const uint64_t p = first[id] + rng() % count;
    auto slot_at = [&](uint64_t i) {
      uint32_t v;
      memcpy(&v, bytes.data() + slots + 4 * i, 4);
      return v;
    };
    auto set_slot = [&](uint64_t i, uint32_t v) { memcpy(bytes.data() + slots + 4 * i, &v, 4); };
    // The place of term t in byte order.
    auto place_of = [&](uint64_t t) {
      uint64_t i = 0;
      for (uint32_t v = 0; memcpy(&v, bytes.data() + order + 4 * i, 4), v != t;) i++;
      return i;
    };
    // The term's record given another term's postings, as many (variants 0
    // and 1), or its place i in byte order swapped with a neighbour's.
    auto misplace = [&](uint64_t i) {
      if (variant < 2) {
        uint64_t other = (id + 1) % h.term_count;
        while (other != id && first[other + 1] - first[other] != count)
          other = (other + 1) % h.term_count;
        other = other == id ? (id + 1) % h.term_count : other;
        sdb_derived::term_record r;
        memcpy(&r, bytes.data() + records + id * sizeof r, sizeof r);
        r.start = static_cast<uint32_t>(first[other]);
        r.count = static_cast<uint32_t>(first[other + 1] - first[other]);
        memcpy(bytes.data() + records + id * sizeof r, &r, sizeof r);
        return;
      }
      const uint64_t j = i + 1 < h.term_count ? i + 1 : i - 1;
      char a[4], b[4];
      memcpy(a, bytes.data() + order + 4 * i, 4);
      memcpy(b, bytes.data() + order + 4 * j, 4);
      memcpy(bytes.data() + order + 4 * i, b, 4);
      memcpy(bytes.data() + order + 4 * j, a, 4);
    };
    switch (kind) {
      case 0:  // bytes changed by accident: the chunk's checksum tells
        bytes[(rng() % 2 ? slots + 4 * p + rng() % 4 : tfs + p)] ^=
            static_cast<char>(1 + rng() % 255);
        break;
      case 1:  // a slot past the documents
        set_slot(p, h.doc_count + static_cast<uint32_t>(rng() % 3));
        break;
      case 2: {  // a tf of nothing, or one said to be too large with none kept
        const bool overflows = (bytes[tfs + p] & SDB_TF_MASK) == SDB_TF_OVERFLOW;
        if (rng() % 3 == 0) {  // or one too large said to fit its byte
          const auto [at, q] = overflowing[rng() % overflowing.size()];
          bytes[tfs + at] = static_cast<char>((bytes[tfs + at] & SDB_TF_TITLE) | (1 + rng() % 9));
          session[rng() % session.size()] = q;
          break;
        }
        bytes[tfs + p] = static_cast<char>(rng() % 3 == 0            ? 0
                                           : rng() % 2 && !overflows ? SDB_TF_OVERFLOW
                                                                     : SDB_TF_TITLE);
        break;
      }
      case 4: {  // a term record whose text or postings lie outside the file's
        sdb_derived::term_record r;
        memcpy(&r, bytes.data() + records + id * sizeof r, sizeof r);
        const auto texts = static_cast<uint32_t>(h.text_bytes);
        const auto postings = static_cast<uint32_t>(h.postings);
        switch (variant) {
          case 0:
            r.text = round % 2 ? ~0u : texts;
            break;
          case 1:  // its length byte inside, its bytes or NUL past the end
            r.text = texts - 1 - static_cast<uint32_t>(rng() % 2);
            break;
          case 2:
            r.count = 0;
            break;
          case 3:  // one posting past the end
            r.start = postings - r.count + 1;
            break;
          case 4:
            r.count = postings - r.start + 1;
            break;
          default:
            r.start = ~0u - static_cast<uint32_t>(rng() % 2);
            break;
        }
        memcpy(bytes.data() + records + id * sizeof r, &r, sizeof r);
        break;
      }
      case 5: {  // where its text lies in byte order, outside the texts
        const uint64_t i = place_of(id);
        const uint32_t bad[] = {static_cast<uint32_t>(h.text_bytes),
                                static_cast<uint32_t>(h.text_bytes - 1), ~0u};
        if (variant % 4 == 3) {  // or the id there past the terms
          const uint32_t past = h.term_count + static_cast<uint32_t>(rng() % 2);
          memcpy(bytes.data() + order + 4 * i, &past, 4);
        } else {
          memcpy(bytes.data() + text_at + 4 * i, &bad[variant % 3], 4);
        }
        break;
      }
      case 6: {  // in bounds but not as a build makes it: only a whole check tells
        const uint64_t i = place_of(id);
        if (variant < 4) {
          misplace(i);
        } else {  // the bytes it shares with the one before miscounted
          bytes[lcp + i] = static_cast<char>(bytes[lcp + i] + 1);
        }
        break;
      }
      case 7: {  // its record or place in byte order changed by accident, and
                 // only the chunk's checksum tells
        const uint64_t i = place_of(id);
        if (variant < 4) {
          misplace(i);
        } else {  // where it first occurs, which nothing else tells; any byte of the order
          const uint64_t at = variant == 4
                                  ? records + id * sizeof(sdb_derived::term_record) +
                                        offsetof(sdb_derived::term_record, first_pos) + rng() % 4
                                  : order + 4 * i + rng() % 4;
          bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
        }
        break;
      }
      default: {  // a posting out of order, or repeated
        if (count < 2) {
          set_slot(p, h.doc_count);
          break;
        }
        const uint64_t at = first[id] + rng() % (count - 1);
        const uint32_t later = slot_at(at + 1);
        set_slot(at + 1, rng() % 2 ? slot_at(at) : slot_at(at) - 1);
        if (slot_at(at + 1) != slot_at(at)) set_slot(at, later);
        break;
      }
    }
    if (kind != 0 && kind != 7)
      sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(), h.docs_size,
                       h.docs_sum);
    WriteFile(Derived("shop/items"), bytes);
    Open();
    // A damaged record, or a place in byte order whose text or id lies
    // outside the file or whose chunk is damaged, is refused the first
    // time it is read, whatever reads it (for the chunks, in half the
    // variants: the others leave it to a search).
    const bool read_first = kind == 4 || kind == 5 || (kind == 7 && variant % 2 == 1);
    if (read_first) {
      ASSERT_STRNE(searchdb_index_stats_json("shop/items"), "null");
      const sdb_index *ix = sdb_index_find("shop/items");
      ASSERT_NE(ix->terms.unchecked, nullptr);
      ASSERT_FALSE(sdb_derived_rejected(ix));
      if (kind == 7) {
        // Every term, by its text from the last in byte order to the
        // first, then by its id from the last: a chunk checked after
        // another says nothing of the one before it.
        for (auto it = id_of.rbegin(); it != id_of.rend(); ++it)
          (void)sdb_terms_find(&ix->terms, it->first.data(),
                               static_cast<uint32_t>(it->first.size()));
        for (uint32_t k = h.term_count; k-- > 0;) (void)sdb_term_at(&ix->terms, k);
      } else if (kind == 4) {
        (void)sdb_term_at(&ix->terms, static_cast<uint32_t>(id));
      } else {
        const std::string &text = text_of[id];
        (void)sdb_terms_find(&ix->terms, text.data(), static_cast<uint32_t>(text.size()));
      }
      EXPECT_TRUE(sdb_derived_rejected(ix)) << "round " << round;
    }
    bool found = false, by_search = false;
    if (read_first) {
      // The next search answers from a build, even one that reads no term.
      EXPECT_STRNE(searchdb_search("shop/items", "qqqq", 10, 0), "null");
      EXPECT_EQ(sdb_index_find("shop/items")->terms.unchecked, nullptr) << "round " << round;
      found = by_search = true;
    }
    const bool checked_whole = kind == 6 || (kind == 7 && variant == 4);
    if (checked_whole) {
      // Checked whole before any answer: as a change or check takes it
      // (every record at once), or after a search took it a term at a time.
      if (variant % 2 == 0) {
        ASSERT_STRNE(searchdb_index_stats_json("shop/items"), "null");
      }
      EXPECT_EQ(searchdb_index_check("shop/items"), 0) << "round " << round << ": " << LastError();
      EXPECT_EQ(sdb_index_find("shop/items")->terms.unchecked, nullptr);
      found = true;
    }
    for (size_t q : session) {
      const sdb_index *ix = sdb_index_find("shop/items");
      const bool taken = ix != nullptr && ix->built && ix->terms.unchecked != nullptr;
      const bool unchecked = taken || ix == nullptr || !ix->built;
      ASSERT_EQ(ask(pool[q]), reference[q]) << "round " << round << ": " << pool[q];
      ix = sdb_index_find("shop/items");
      if (unchecked && ix->terms.unchecked == nullptr) {
        found = by_search = true;
        found_late += taken;
      }
    }
    EXPECT_TRUE(by_search || round % 2 == 0 || checked_whole) << "round " << round;
    // Whatever is left unchecked, a check of the index sees no damage.
    if ((kind + variant) % 2 == 1) {
      found = found || sdb_index_find("shop/items")->terms.unchecked != nullptr;
      EXPECT_EQ(searchdb_index_check("shop/items"), 0) << LastError();
      EXPECT_EQ(sdb_index_find("shop/items")->terms.unchecked, nullptr);
    }
    never_found += !found;
    EXPECT_EQ(ask(pool[0]), reference[0]);
    searchdb_cleanup();
    // A search that found the damage wrote the file anew.
    const std::string kept = ReadFile(Derived("shop/items"));
    if (by_search) {
      EXPECT_TRUE(Described(kept) == Described(good)) << "round " << round;
    } else {
      EXPECT_EQ(kept.substr(sdb_derived::kHeaderSize), bytes.substr(sdb_derived::kHeaderSize))
          << "round " << round;
    }
  }
  // Found late at times, and at times never: each search checks what it
  // reads, and only that.
  EXPECT_GT(found_late, 0);
  EXPECT_GT(never_found, 0);
}

// Ids looked up in a fresh process that took its documents from the file,
// through the file's id table while the id map is not made, answer every
// get, delete and add exactly as a store without the file, call by call:
// ids short, long, repeated by hand, deleted, revived and never added, with
// the file intact, stale, or damaged in its table or its key, with and
// without the checksums made to match (a table with no empty position, or
// of slots no document has, among them).
TEST_F(DerivedFileTest, IdsFoundThroughTheFileAnswerAsThroughTheMap) {
  std::mt19937_64 rng(31);
  std::vector<std::string> pool;
  for (int i = 0; i < 240; i++) {
    switch (i % 4) {
      case 0:
        pool.push_back(std::to_string(i));
        break;
      case 1:
        pool.push_back("a-package-name-longer-than-sixteen-bytes-" + std::to_string(i));
        break;
      case 2:
        pool.push_back("ünï" + std::to_string(i));
        break;
      default:
        pool.push_back(std::string(1 + i % 7, static_cast<char>('a' + i % 26)) + std::to_string(i));
    }
  }
  auto document = [&](const std::string &id) {
    return "{\"id\":\"" + id + "\",\"body\":\"red " + std::to_string(rng() % 1000) + "\"}";
  };
  // Adds a batch, which replaces some, and deletes a few.
  auto change = [&](int range) {
    std::string batch = "[";
    for (int k = 0; k < 80; k++) batch += (k ? "," : "") + document(pool[rng() % range]);
    ASSERT_GE(searchdb_documents_add("i", (batch + "]").c_str()), 0) << LastError();
    for (int k = 0; k < 10; k++) searchdb_document_delete("i", pool[rng() % range].c_str());
  };
  Open();
  ASSERT_EQ(searchdb_index_create("i", nullptr), 0);
  std::string stale;
  enum { kIntact, kUnsettled, kStale, kDamaged, kDamagedSealed, kFull, kOutOfRange, kVariants };
  for (int round = 0; round < 4; round++) {
    change(static_cast<int>(pool.size() / 2 + 30 * round));
    if (round % 2 == 1) {
      // A live id repeated by hand at the end of docs.json, with its
      // earlier text: a load keeps the later.
      const std::string before = ReadFile(Path("i/docs.json"));
      std::string id;
      for (int k = 0; id.empty(); k++)
        if (searchdb_document_get("i", pool[k].c_str()) != nullptr) id = pool[k];
      ASSERT_EQ(searchdb_documents_add("i", document(id).c_str()), 1) << LastError();
      searchdb_cleanup();
      std::vector<std::string> entries = Entries(ReadFile(Path("i/docs.json")));
      for (const std::string &e : Entries(before))
        if (e.find("\"__id\":\"" + id + "\"") != std::string::npos) entries.push_back(e);
      WriteFile(Path("i/docs.json"), Joined(entries));
      Open();
    }
    searchdb_cleanup();
    const std::string store = root_ + "/round";
    for (int variant = 0; variant < kVariants; variant++) {
      SCOPED_TRACE("round " + std::to_string(round) + ", variant " + std::to_string(variant));
      // The store as it stands, copied twice: one given a derived file
      // of its own, the other none.
      const std::string with = store + "-with", without = store + "-without";
      for (const std::string &dir : {with, without}) {
        std::filesystem::remove_all(dir);
        std::filesystem::copy(dir_, dir, std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir + "/i/" + SDB_DERIVED_FILE);
      }
      ASSERT_EQ(searchdb_init(with.c_str()), 0);
      ASSERT_NE(std::string(searchdb_search("i", "red", 1, 0)), "null");
      searchdb_cleanup();
      const std::string file = with + "/i/" + SDB_DERIVED_FILE;
      std::string bytes = ReadFile(file);
      ASSERT_GT(bytes.size(), sdb_derived::kHeaderSize);
      if (variant == kIntact && round == 0) stale = bytes;
      sdb_derived::header h;
      memcpy(&h, bytes.data(), sizeof h);
      const sdb_derived::section &table = h.sections[sdb_derived::S_ID_TABLE];
      const sdb_derived::section &sums = h.sections[sdb_derived::S_ID_SUMS];
      ASSERT_GT(table.length, 0u);
      auto *positions = reinterpret_cast<uint32_t *>(bytes.data() + table.offset);
      switch (variant) {
        case kStale:
          bytes = stale;
          break;
        case kDamaged:
        case kDamagedSealed: {
          for (int k = 0; k < 3; k++) {
            const uint64_t at =
                rng() % 2 ? table.offset + rng() % table.length : sums.offset + rng() % sums.length;
            bytes[at] = static_cast<char>(bytes[at] ^ (1 + rng() % 255));
          }
          if (variant == kDamagedSealed && round % 2 == 0) h.id_key[rng() % 4] ^= 1 + rng() % 255;
          memcpy(bytes.data(), &h, sizeof h);
          break;
        }
        case kFull:  // every position one live document's slot
          for (uint64_t p = 0; p < h.id_positions; p++) positions[p] = 0;
          break;
        case kOutOfRange:
          for (uint64_t p = 0; p < h.id_positions; p++)
            positions[p] = h.doc_count + static_cast<uint32_t>(rng() % 3 ? p : rng());
          break;
        default:
          break;
      }
      // Read as written long after docs.json changed, so that the
      // documents are taken where they lie; sealed, but for damage that
      // happened by chance.
      sdb_derived::header now;
      memcpy(&now, bytes.data(), sizeof now);
      if (variant != kUnsettled) {
        now.docs_stat_ns = now.docs_ctime_ns + SDB_SETTLED_NS + 1;
        memcpy(bytes.data(), &now, sizeof now);
      }
      if (variant == kDamaged) {
        // Only the header's checksum made to match: the table's own sums
        // must tell.
        now.header_sum = 0;
        memcpy(bytes.data(), &now, sizeof now);
        const uint64_t sum = sdb_checksum(bytes.data(), sdb_derived::kHeaderSize);
        memcpy(bytes.data() + offsetof(sdb_derived::header, header_sum), &sum, sizeof sum);
      } else if (variant != kUnsettled) {
        sdb_derived_seal(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(),
                         now.docs_size, now.docs_sum);
      }
      WriteFile(file, bytes);

      // The same calls on both: gets of ids it holds first, then gets of
      // any, deletes, and adds that revive or replace.
      auto session = [&](const std::string &dir, bool through_file) {
        std::mt19937_64 calls(round * 100 + variant);
        std::string seen;
        EXPECT_EQ(searchdb_init(dir.c_str()), 0) << LastError();
        const sdb_index *ix = sdb_index_find("i");
        // An unsettled docs.json is read once to prove it; a stale file
        // describes other documents, but for the round it was taken in.
        const bool mapped = variant != kStale || round == 0;
        if (through_file) {
          EXPECT_EQ(ix->id_finder != nullptr, mapped);
        }
        for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
          const char *id = ix->docs[slot].id;
          const char *doc = searchdb_document_get("i", id);
          seen += std::string(id) + ": " + (doc ? doc : LastError()) + "\n";
        }
        // Found without the map from an intact table.
        if (through_file && variant == kIntact) {
          EXPECT_TRUE(ix->ids_pending);
        }
        for (int k = 0; k < 60; k++) {
          const std::string id = pool[calls() % pool.size()];
          const uint64_t what = calls() % 16;
          if (what == 0) {
            seen +=
                "delete " + id + ": " + std::to_string(searchdb_document_delete("i", id.c_str()));
          } else if (what == 1 && k > 40) {
            seen +=
                "add " + id + ": " +
                std::to_string(searchdb_documents_add(
                    "i",
                    ("{\"id\":\"" + id + "\",\"body\":\"" + std::to_string(k) + "\"}").c_str()));
          } else {
            const char *doc = searchdb_document_get("i", id.c_str());
            seen += id + ": " + (doc ? doc : "");
          }
          seen += std::string(" ") + LastError() + "\n";
        }
        searchdb_cleanup();
        return seen;
      };
      ASSERT_EQ(session(with, true), session(without, false));
      EXPECT_EQ(ReadFile(with + "/i/docs.json"), ReadFile(without + "/i/docs.json"));
    }
    Open();
  }

  // A file made to repeat an id (one slot's id written over another's of
  // the same length) lends its ids to a load, whose file written anew
  // places each id at the first slot that holds it: the slot the map
  // gives it.
  ASSERT_NE(std::string(searchdb_search("i", "red", 1, 0)), "null");
  searchdb_cleanup();
  std::string bytes = ReadFile(Derived("i"));
  sdb_derived::header h;
  memcpy(&h, bytes.data(), sizeof h);
  const auto *records = reinterpret_cast<const sdb_derived::doc_record *>(
      bytes.data() + h.sections[sdb_derived::S_DOCS].offset);
  std::vector<uint64_t> id_at{0};
  for (uint32_t slot = 0; slot < h.doc_count; slot++)
    id_at.push_back(id_at.back() + records[slot].id_len + 1);
  uint32_t repeats = 0;
  for (uint32_t j = h.doc_count / 2; j < h.doc_count && repeats < 3; j++) {
    const uint32_t i = static_cast<uint32_t>(rng() % j);
    if (records[i].id_len != records[j].id_len) continue;
    const uint64_t ids = h.sections[sdb_derived::S_IDS].offset;
    bytes.replace(ids + id_at[j], records[j].id_len,
                  bytes.substr(ids + id_at[i], records[i].id_len));
    repeats++;
  }
  ASSERT_GT(repeats, 0u);
  WriteFile(Derived("i"), LoadedAt(bytes, SDB_SETTLED_NS + 1));
  Open();
  ASSERT_TRUE(DocumentsMapped("i"));
  ASSERT_EQ(searchdb_index_write_derived("i"), 0) << LastError();
  searchdb_cleanup();
  WriteFile(Derived("i"), LoadedAt(ReadFile(Derived("i")), SDB_SETTLED_NS + 1));
  Open();
  const sdb_index *ix = sdb_index_find("i");
  ASSERT_NE(ix->id_finder, nullptr);
  std::map<std::string, uint32_t> first;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) first.emplace(ix->docs[slot].id, slot);
  ASSERT_LT(first.size(), ix->doc_count);
  uint32_t later = 0;
  for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
    EXPECT_EQ(sdb_id_map_find(ix, ix->docs[slot].id), first[ix->docs[slot].id]) << slot;
    if (first[ix->docs[slot].id] != slot) later = slot;
  }
  EXPECT_TRUE(ix->ids_pending);
  // Its table damaged by chance to place a repeated id at its later slot:
  // the table's sums tell, and the map answers.
  const uint32_t earlier = first[ix->docs[later].id];
  searchdb_cleanup();
  bytes = ReadFile(Derived("i"));
  memcpy(&h, bytes.data(), sizeof h);
  auto *positions =
      reinterpret_cast<uint32_t *>(bytes.data() + h.sections[sdb_derived::S_ID_TABLE].offset);
  uint64_t p = 0;
  while (p < h.id_positions && positions[p] != earlier) p++;
  ASSERT_LT(p, h.id_positions);
  positions[p] = later;
  WriteFile(Derived("i"), bytes);
  Open();
  ix = sdb_index_find("i");
  ASSERT_NE(ix->id_finder, nullptr);
  EXPECT_EQ(sdb_id_map_find(ix, ix->docs[later].id), earlier);
  // The same with its chunk's sum made to match: the sums' own checksum
  // tells.
  searchdb_cleanup();
  const sdb_derived::section &table = h.sections[sdb_derived::S_ID_TABLE];
  const uint64_t chunk = p * sizeof(uint32_t) / sdb_derived::kPageChunk;
  const uint64_t from = chunk * sdb_derived::kPageChunk;
  const uint64_t sum = sdb_checksum(bytes.data() + table.offset + from,
                                    std::min(sdb_derived::kPageChunk, table.length - from));
  memcpy(bytes.data() + h.sections[sdb_derived::S_ID_SUMS].offset + chunk * sizeof sum, &sum,
         sizeof sum);
  WriteFile(Derived("i"), bytes);
  Open();
  ix = sdb_index_find("i");
  ASSERT_NE(ix->id_finder, nullptr);
  EXPECT_EQ(sdb_id_map_find(ix, ix->docs[later].id), earlier);
}

}  // namespace
