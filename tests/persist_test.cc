#include "storage/persist.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "api/registry.h"
#include "base/checksum.h"
#include "fixture.h"
#include "index/index.h"
#include "memory_index.h"
#include "searchdb.h"
#include "storage/layout.h"

namespace fs = std::filesystem;

// ---- fsync and copy_file_range, in front of the C library's ----
//
// Counts the bytes it copies. With g_fail_copy set, every g_fail_copy-th
// call copies half and the one after it fails, as a file system that
// gives up part-way would.

namespace {

bool g_fail_save = false;  // fails the flush of the next docs.json written

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  const std::string name = FdPath(fd);
  if (g_fail_save && name.size() > 13 && name.compare(name.size() - 13, 13, "docs.json.tmp") == 0) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

namespace {

uint64_t g_copied = 0;
int g_copy_calls = 0;
int g_fail_copy = 0;
bool g_failing = false;

}  // namespace

extern "C" ssize_t copy_file_range(int in, off64_t *in_at, int out, off64_t *out_at, size_t len,
                                   unsigned flags) {
  static auto real =
      reinterpret_cast<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned)>(
          dlsym(RTLD_NEXT, "copy_file_range"));
  if (g_failing) {
    g_failing = false;
    errno = EXDEV;
    return -1;
  }
  if (g_fail_copy > 0 && ++g_copy_calls % g_fail_copy == 0 && len > 1) {
    g_failing = true;
    len /= 2;
  }
  const ssize_t n = real(in, in_at, out, out_at, len, flags);
  if (n > 0 && !g_failing) g_copied += static_cast<uint64_t>(n);
  return n;
}

namespace {

class PersistTest : public StorageTest {
 protected:
  // Writes a file below the storage directory, creating its directories.
  void Put(const std::string &rel, const std::string &data) {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    WriteFile(Path(rel), data);
  }
  // A stored index made by hand: its settings and, unless null, documents.
  void PutIndex(const std::string &name, const char *docs,
                const std::string &meta = R"({"name":"x","primary_key":"id"})") {
    Put(name + "/meta.json", meta);
    if (docs) Put(name + "/docs.json", docs);
  }
  std::string Get(const char *index, const char *id) {
    const char *text = searchdb_document_get(index, id);
    return text ? text : "<none: " + LastError() + ">";
  }
  static std::string List() { return searchdb_indexes_list_json(); }
  // That docs.json of index is its live entries in slot order as the index
  // holds them, and the checksum the index records for it its bytes'; after
  // a save, that its marks are all there and the checksum's.
  void SavedAsHeld(const char *index, int step, bool saved) {
    const sdb_index *ix = sdb_index_find(index);
    ASSERT_NE(ix, nullptr);
    std::string want = "[";
    for (uint32_t slot = 0; slot < ix->doc_count; slot++) {
      const sdb_doc &d = ix->docs[slot];
      if (d.alive) want += (want.size() > 1 ? "," : "") + std::string(d.entry, d.entry_len);
    }
    const std::string file = ReadFile(Path(std::string(index) + "/docs.json"));
    ASSERT_EQ(file, want + "]") << "step " << step;
    ASSERT_TRUE(ix->file_known) << "step " << step;
    ASSERT_EQ(ix->file_sum, sdb_checksum(file.data(), file.size())) << "step " << step;
    if (!saved) return;
    sdb_vec<sdb_checksum_mark> marks{};
    sdb_checksum_stream sum;
    sum.marks = &marks;
    sum.add(file.data(), file.size());
    ASSERT_EQ(ix->file_marks.count, marks.count) << "step " << step;
    for (uint64_t i = 0; i < marks.count; i++)
      ASSERT_EQ(memcmp(&ix->file_marks.items[i], &marks.items[i], sizeof marks.items[i]), 0)
          << "step " << step << ", mark " << i;
    marks.release();
  }
  // The ids of an index's live documents in slot order.
  static std::string Slots(const char *index) {
    std::string ids;
    const sdb_index *ix = sdb_index_find(index);
    for (uint32_t i = 0; ix && i < ix->doc_count; i++) {
      if (ix->docs[i].alive) ids += std::string(ids.empty() ? "" : ",") + ix->docs[i].id;
    }
    return ids;
  }
};

// ---- what the writers put on disk ----

TEST_F(PersistTest, ListNamesEveryIndexInRegistryOrderCompactly) {
  Open();
  ASSERT_EQ(searchdb_index_create("a", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("shop/b\"q", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("c", nullptr), 0);
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["a","shop/b\"q","c"])");
  ASSERT_EQ(searchdb_index_delete("a"), 0);
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["c","shop/b\"q"])");
}

TEST_F(PersistTest, SettingsAreTheNameAndKeyWithTheCanonicalEscapes) {
  Open();
  ASSERT_EQ(searchdb_index_create("plain", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("caf\xc3\xa9", "k\"e\\y\x01/\t"), 0);
  EXPECT_EQ(ReadFile(Path("plain/meta.json")), R"({"name":"plain","primary_key":"id"})");
  EXPECT_EQ(ReadFile(Path("caf\xc3\xa9/meta.json")),
            "{\"name\":\"caf\xc3\xa9\",\"primary_key\":\"k\\\"e\\\\y\\u0001/\\t\"}");
}

TEST_F(PersistTest, DocumentsAreLiveEntriesInSlotOrderWithTheTextAsAString) {
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  EXPECT_EQ(ReadFile(Path("books/docs.json")), "[]");
  ASSERT_EQ(searchdb_documents_add(
                "books", R"([{"id":"1","t":"say \"hi\""},{"id":2,"t":"a\\b"},{"id":"3"}])"),
            3);
  ASSERT_EQ(searchdb_document_delete("books", "2"), 0);
  EXPECT_EQ(ReadFile(Path("books/docs.json")),
            R"([{"__id":"1","raw":"{\"id\":\"1\",\"t\":\"say \\\"hi\\\"\"}"},)"
            R"({"__id":"3","raw":"{\"id\":\"3\"}"}])");
  EXPECT_FALSE(Exists(Path("books/docs.json.tmp")));
  EXPECT_FALSE(Exists(Path("books/meta.json.tmp")));
}

// ---- writers that fail ----

TEST_F(PersistTest, FailedListWriteKeepsTheStoredList) {
  Open();
  ASSERT_EQ(searchdb_index_create("a", nullptr), 0);
  fs::create_directory(Path("_indexes/list.json.tmp"));
  EXPECT_EQ(sdb_save_index_list(&s_registry), -1);
  EXPECT_EQ(LastError(), "fopen " + Path("_indexes/list.json.tmp") + ": Is a directory");
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["a"])");
}

TEST_F(PersistTest, FailedDocumentsWriteLeavesBothFilesAlone) {
  Open();
  ASSERT_EQ(searchdb_index_create("ix", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add("ix", R"({"id":"1"})"), 1);
  std::string docs = ReadFile(Path("ix/docs.json"));
  Put("ix/meta.json", "sentinel");
  fs::create_directory(Path("ix/docs.json.tmp"));
  sdb_index *ix = sdb_index_find("ix");
  sdb_doc_undo undo;
  ASSERT_NE(PutDocument(ix, "2", "{}", &undo), SDB_NO_SLOT);

  EXPECT_EQ(sdb_index_persist(ix), -1);
  EXPECT_EQ(LastError(), "fopen " + Path("ix/docs.json.tmp") + ": Is a directory");
  EXPECT_EQ(ReadFile(Path("ix/docs.json")), docs);
  EXPECT_EQ(ReadFile(Path("ix/meta.json")), "sentinel");
}

TEST_F(PersistTest, FailedSettingsWriteStillReplacesTheDocuments) {
  Open();
  ASSERT_EQ(searchdb_index_create("ix", "pk"), 0);
  fs::create_directory(Path("ix/meta.json.tmp"));
  sdb_index *ix = sdb_index_find("ix");
  sdb_doc_undo undo;
  ASSERT_NE(PutDocument(ix, "7", "{\"pk\":\"7\"}", &undo), SDB_NO_SLOT);

  EXPECT_EQ(sdb_index_persist(ix), 1);
  EXPECT_EQ(LastError(), "fopen " + Path("ix/meta.json.tmp") + ": Is a directory");
  EXPECT_EQ(ReadFile(Path("ix/docs.json")), R"([{"__id":"7","raw":"{\"pk\":\"7\"}"}])");
  EXPECT_EQ(ReadFile(Path("ix/meta.json")), R"({"name":"ix","primary_key":"pk"})");
}

// ---- round trips ----

TEST_F(PersistTest, IndexesAndDocumentsSurviveARestartUnchanged) {
  Open();
  ASSERT_EQ(searchdb_index_create("books", nullptr), 0);
  ASSERT_EQ(searchdb_index_create("shop/users", "e\"m\\ail"), 0);
  ASSERT_EQ(searchdb_documents_add("books", R"([{"id":"b1","title":"Dune \"1\" \\ \u00e9"},
                                                {"id":"b2","n":1.5e-7}])"),
            2);
  ASSERT_EQ(searchdb_documents_add("shop/users", R"({"e\"m\\ail":"x@y","age":30})"), 1);
  std::string list = List();
  std::string b1 = Get("books", "b1"), b2 = Get("books", "b2"), user = Get("shop/users", "x@y");

  Reopen();
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(List(), list);
  EXPECT_EQ(Get("books", "b1"), b1);
  EXPECT_EQ(Get("books", "b2"), b2);
  EXPECT_EQ(Get("shop/users", "x@y"), user);
  EXPECT_TRUE(Exists(Path("shop/users/meta.json")));
}

TEST_F(PersistTest, ReloadedDocumentsTakeConsecutiveSlotsAndAreSearchable) {
  Open();
  ASSERT_EQ(searchdb_index_create("ix", nullptr), 0);
  ASSERT_EQ(searchdb_documents_add(
                "ix", R"([{"id":"a","w":"apple"},{"id":"b"},{"id":"c","w":"cherry"},{"id":"d"}])"),
            4);
  ASSERT_EQ(searchdb_document_delete("ix", "b"), 0);
  ASSERT_EQ(searchdb_document_delete("ix", "a"), 0);
  Reopen();
  EXPECT_EQ(Slots("ix"), "c,d");
  EXPECT_EQ(sdb_index_find("ix")->doc_count, 2u);
  EXPECT_NE(std::string(searchdb_search("ix", "cherry", 10, 0)).find("\"totalHits\":1"),
            std::string::npos);
}

// ---- loading what was made or damaged by hand ----

TEST_F(PersistTest, StoredTextsAreTakenAsTheyAreWithoutParsing) {
  Put("_indexes/list.json", R"(["ix"])");
  PutIndex("ix", R"([{"__id":"1","raw":"{ \"id\" : 1.0 }"},{"__id":"2","raw":"not json"}])");
  Open();
  EXPECT_EQ(Get("ix", "1"), R"({ "id" : 1.0 })");
  EXPECT_EQ(Get("ix", "2"), "not json");
}

TEST_F(PersistTest, MalformedDocumentEntriesArePassedOver) {
  Put("_indexes/list.json", R"(["ix"])");
  PutIndex("ix", R"([{"__id":1,"raw":"{}"},{"__id":"a"},{"raw":"{}"},{},[],"x",null,)"
                 R"({"__id":"b","raw":{"id":"b"}},{"__id":"n\u0000ul","raw":"{}"},)"
                 R"({"x":0,"raw":"{\"k\":1}","__id":"ok","raw":"second"}])");
  Open();
  EXPECT_EQ(Slots("ix"), "ok");
  EXPECT_EQ(Get("ix", "ok"), R"({"k":1})");
}

TEST_F(PersistTest, ALaterEntryWithTheSameIdReplacesTheTextInItsSlot) {
  Put("_indexes/list.json", R"(["ix"])");
  PutIndex("ix", R"([{"__id":"a","raw":"1"},{"__id":"b","raw":"2"},{"__id":"a","raw":"3"}])");
  Open();
  EXPECT_EQ(Slots("ix"), "a,b");
  EXPECT_EQ(Get("ix", "a"), "3");
}

TEST_F(PersistTest, MissingOrBrokenDocumentsGiveAnEmptyIndex) {
  Put("_indexes/list.json", R"(["none","broken","object","trailing"])");
  PutIndex("none", nullptr);
  PutIndex("broken", R"([{"__id":"a","raw":"1"})");
  PutIndex("object", R"({"__id":"a","raw":"1"})");
  PutIndex("trailing", R"([{"__id":"a","raw":"1"}] x)");
  Open();
  for (const char *name : {"none", "broken", "object", "trailing"}) {
    ASSERT_NE(sdb_index_find(name), nullptr) << name;
    EXPECT_EQ(sdb_index_find(name)->doc_count, 0u) << name;
  }
}

TEST_F(PersistTest, AnIndexWithoutSettingsIsNotLoadedButGetsItsDirectory) {
  Put("_indexes/list.json", R"(["gone","kept"])");
  Put("gone/docs.json", R"([{"__id":"a","raw":"1"}])");
  PutIndex("kept", "[]");
  Open();
  EXPECT_EQ(List(), R"([{"name":"kept","primary_key":"id"}])");
  fs::remove_all(Path("gone"));
  Reopen();
  EXPECT_TRUE(fs::is_directory(Path("gone")));
  // The next list write drops the name that did not load.
  ASSERT_EQ(searchdb_index_create("new", nullptr), 0);
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["kept","new"])");
}

TEST_F(PersistTest, BadSettingsFallBackToIdAndLongKeysAreCut) {
  Put("_indexes/list.json", R"(["unparsable","array","number","long"])");
  PutIndex("unparsable", "[]", R"({"primary_key":"pk")");
  PutIndex("array", "[]", R"(["primary_key","pk"])");
  PutIndex("number", "[]", R"({"primary_key":5})");
  PutIndex("long", "[]", R"({"name":"ignored","primary_key":")" + std::string(200, 'k') + "\"}");
  Open();
  EXPECT_STREQ(sdb_index_find("unparsable")->primary_key, "id");
  EXPECT_STREQ(sdb_index_find("array")->primary_key, "id");
  EXPECT_STREQ(sdb_index_find("number")->primary_key, "id");
  EXPECT_EQ(std::string(sdb_index_find("long")->primary_key), std::string(127, 'k'));
}

TEST_F(PersistTest, ABrokenListIsRebuiltAndInitStillSucceeds) {
  for (const char *list : {"", "[", R"({"a":1})", R"("a")", "[] []"}) {
    Put("_indexes/list.json", list);
    PutIndex("a", "[]");
    Open();
    EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"}])") << list;
    searchdb_cleanup();
  }
}

TEST_F(PersistTest, ListElementsThatAreNotNamesArePassedOver) {
  Put("_indexes/list.json", R"([1,["a"],{"a":"a"},null,"a","a\u0000b","a"])");
  PutIndex("a", "[]");
  Open();
  EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"}])");
}

// A name listed again is one directory: loaded twice, a change through the
// first record and a delete of it would leave the second serving what it
// held. A name whose path runs through a file can hold nothing, and used
// to fail every start. Both are passed over with a note, and the next
// list written leaves them out.
TEST_F(PersistTest, NamesListedAgainOrBlockedByAFileAreLeftOutWithANote) {
  Put("_indexes/list.json", R"(["a","b","a/docs.json","a","b/meta.json/x","b","a"])");
  PutIndex("a", R"([{"__id":"1","raw":"{\"id\":\"1\"}"}])");
  PutIndex("b", "[]");
  const std::string stored = ReadFile(Path("_indexes/list.json"));
  Open();
  EXPECT_EQ(LastError(),
            "passed over 5 listed name(s): a (repeated), a (repeated), b (repeated), "
            "a/docs.json (not a directory), b/meta.json/x (not a directory)");
  EXPECT_EQ(List(), R"([{"name":"a","primary_key":"id"},{"name":"b","primary_key":"id"}])");
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), stored);  // until a list is saved
  EXPECT_FALSE(Exists(Path("a/docs.json/meta.json")));
  ASSERT_EQ(searchdb_documents_add("a", R"({"id":"2"})"), 1);
  ASSERT_EQ(searchdb_index_delete("a"), 0) << LastError();
  EXPECT_EQ(ReadFile(Path("_indexes/list.json")), R"(["b"])");
  EXPECT_EQ(List(), R"([{"name":"b","primary_key":"id"}])");
  EXPECT_EQ(searchdb_document_get("a", "1"), nullptr);
  Reopen();
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(List(), R"([{"name":"b","primary_key":"id"}])");
  EXPECT_FALSE(Exists(Path("a")));
}

TEST_F(PersistTest, NamesThatWouldLeaveTheStorageDirectoryAreNeverTouched) {
  std::string too_long = std::string(200, 'l') + "/" + std::string(100, 'l');
  Put("_indexes/list.json",
      R"(["../out","a/../../out","/abs","a//b","./a","",")" + too_long + R"(","ok/x"])");
  // Settings outside the storage directory must not be read either.
  fs::create_directories(root_ + "/out");
  WriteFile(root_ + "/out/meta.json", R"({"primary_key":"id"})");
  PutIndex(too_long, "[]");
  PutIndex("ok/x", "[]");
  Open();
  EXPECT_EQ(List(), R"([{"name":"ok/x","primary_key":"id"}])");
  EXPECT_FALSE(Exists(Path("a")));
  EXPECT_FALSE(Exists(Path("abs")));
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(root_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"out", "store"}));
  EXPECT_EQ(ReadFile(root_ + "/out/meta.json"), R"({"primary_key":"id"})");
}

// ---- saves that take the unchanged start of the file ----

// A save takes the checksum of what it writes unchanged from the start of
// docs.json from marks, and the first after a load that did not touch the
// file copies those bytes from it. From a docs.json written by hand with
// white space between its elements, through random changes (some whose
// save fails), reloads by each way a load takes the file, and copies that
// fail part-way: docs.json is always the live entries in slot order, the
// checksum the index records for it (which the change record, the columns
// and the derived file are keyed by) is that of its bytes, and after a
// save the marks are the checksum's at every mark of the file.
TEST_F(PersistTest, SavesThatTakeTheUnchangedStartWriteTheWholeFileAndItsChecksum) {
  std::mt19937 rng(11);
  // Some documents longer than a mark, so that marks fall inside changes.
  const auto text = [&](int id, int rev) {
    std::string t =
        R"(\"w)" + std::to_string(id % 37) + " r" + std::to_string(rev) + R"( \\ \u00e9 )";
    const size_t len = rng() % 8 ? 100 + rng() % 500 : rng() % (kChecksumMarkBytes + 8192);
    t += std::string(len, static_cast<char>('a' + rng() % 26));
    return R"({"id":")" + std::to_string(id) + R"(","t":")" + t + R"("})";
  };
  Open();
  ASSERT_EQ(searchdb_index_create("p", nullptr), 0);
  std::vector<int> ids;
  std::string batch = "[";
  for (int id = 0; id < 300; id++) {
    batch += (id ? "," : "") + text(id, 0);
    ids.push_back(id);
  }
  ASSERT_EQ(searchdb_documents_add("p", (batch + "]").c_str()), 300);
  // Entries where a load takes them, but not one right after another:
  // read whole, then mapped beside the derived file.
  const auto space_out = [&] {
    searchdb_cleanup();
    std::string spaced = ReadFile(Path("p/docs.json"));
    for (size_t at = 0; (at = spaced.find(R"(},{"__id")", at)) != std::string::npos; at += 4)
      spaced.replace(at, 2, "},\n ");
    WriteFile(Path("p/docs.json"), spaced);
    fs::remove(Path(std::string("p/") + SDB_DERIVED_FILE));
  };
  space_out();
  Open();
  ASSERT_EQ(searchdb_documents_add("p", text(150, 1).c_str()), 1);
  ASSERT_NO_FATAL_FAILURE(SavedAsHeld("p", -1, true));
  space_out();
  Open();
  ASSERT_NE(searchdb_search("p", "w3", 5, 0), nullptr);  // writes the derived file
  Reopen();
  int next = 300;
  for (int step = 0; step < 120; step++) {
    g_fail_copy = step % 4 == 3 ? 1 + static_cast<int>(rng() % 3) : 0;
    g_fail_save = rng() % 12 == 0;
    const uint32_t what = step == 0 ? 9 : rng() % 10;
    bool changed = true;
    if (what == 0) {
      Reopen();
    } else if (what == 1) {
      Reopen();
      ASSERT_NE(searchdb_search("p", "w3", 5, 0), nullptr);
    } else if (what == 2) {
      fs::remove(Path(std::string("p/") + SDB_DERIVED_FILE));
      Reopen();
    } else if (what == 3 && ids.size() > 1) {
      const size_t at = rng() % ids.size();
      changed = searchdb_document_delete("p", std::to_string(ids[at]).c_str()) == 0;
      if (changed) ids.erase(ids.begin() + static_cast<long>(at));
    } else if (what <= 5) {
      std::string added = "[";
      const uint32_t n = 1 + rng() % 3;
      for (uint32_t k = 0; k < n; k++)
        added += (k ? "," : "") + text(next + static_cast<int>(k), 0);
      changed = searchdb_documents_add("p", (added + "]").c_str()) > 0;
      for (uint32_t k = 0; changed && k < n; k++) ids.push_back(next++);
    } else {
      const int id = ids[rng() % ids.size()];
      changed = searchdb_documents_add("p", text(id, step).c_str()) == 1;
    }
    ASSERT_EQ(changed, !g_fail_save || what <= 2)
        << "step " << step << ": " << searchdb_last_error();
    g_fail_save = false;
    ASSERT_NO_FATAL_FAILURE(SavedAsHeld("p", step, what > 2 && changed));
  }
  g_fail_copy = 0;
  EXPECT_GT(g_copied, 0u);
  // A docs.json put in place by hand, of the same size, is not the file
  // the marks describe: nothing is copied from it.
  Reopen();
  ASSERT_NE(searchdb_search("p", "w3", 5, 0), nullptr);
  Reopen();
  std::string other = ReadFile(Path("p/docs.json"));
  std::replace(other.begin(), other.end(), 'p', 'q');
  WriteFile(Path("p/docs.json.hand"), other);
  fs::rename(Path("p/docs.json.hand"), Path("p/docs.json"));
  ASSERT_EQ(searchdb_documents_add("p", text(next, 0).c_str()), 1);
  SavedAsHeld("p", -1, true);
}

}  // namespace
