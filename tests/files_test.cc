#include "storage/files.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "api/frame.h"

namespace fs = std::filesystem;

// ---- fsync, in front of the C library's ----
//
// Counts the flushes, notes what each flushed, and fails the one numbered
// g_fail_fsync (from 1), as a disk that cannot flush would.

namespace {

int g_fsyncs = 0;
int g_fail_fsync = 0;
std::vector<ino_t> g_flushed;  // the inode of each file or directory flushed

}  // namespace

extern "C" int fsync(int fd) noexcept {
  static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  struct stat st;
  g_flushed.push_back(fstat(fd, &st) == 0 ? st.st_ino : 0);
  if (++g_fsyncs == g_fail_fsync) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

// ---- writev, in front of the C library's ----
//
// Fails the write numbered g_fail_writev (from 1) as a full disk would.

namespace {

int g_writevs = 0;
int g_fail_writev = 0;

}  // namespace

extern "C" ssize_t writev(int fd, const struct iovec *iov, int count) {
  static auto real =
      reinterpret_cast<ssize_t (*)(int, const struct iovec *, int)>(dlsym(RTLD_NEXT, "writev"));
  if (++g_writevs == g_fail_writev) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, iov, count);
}

namespace {

// Every test works in a store of its own; paths below it are relative.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/searchdb-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    outside_ = root_ + "-outside";
    fs::create_directory(outside_);
    snprintf(s_storage_dir, sizeof s_storage_dir, "%s/store", root_.c_str());
    ASSERT_EQ(sdb_store_open(s_storage_dir), 0) << s_error;
    store_ = s_storage_dir;
    sdb_error(SEARCHDB_IO, "untouched");
    g_fsyncs = 0;
    g_fail_fsync = 0;
    g_writevs = 0;
    g_fail_writev = 0;
    g_flushed.clear();
  }
  void TearDown() override {
    sdb_store_close();
    s_storage_dir[0] = '\0';
    std::error_code ec;
    fs::remove_all(root_, ec);
    fs::remove_all(outside_, ec);
  }

  std::string Path(const std::string &rel) const { return store_ + "/" + rel; }
  static std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Put(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  }
  static std::string Error() { return s_error; }
  int Write(const std::string &rel, const std::string &data) {
    return sdb_write_file_atomic(rel.c_str(), data.data(), data.size());
  }
  sdb_read_status Read(const std::string &rel, std::string *out) {
    char *data = nullptr;
    uint64_t len = 0;
    const sdb_read_status st = sdb_read_file(rel.c_str(), &data, &len);
    if (st == SDB_READ_OK) {
      out->assign(data, len);
      EXPECT_EQ(data[len], '\0');
      free(data);
    }
    return st;
  }

  std::string root_, outside_, store_;
};

// A new directory lasts through a power cut once its parent is flushed:
// each level made flushes the one above it, and a level that was there
// costs nothing.
TEST_F(FilesTest, DirectoriesAreMadeLevelByLevelEachFlushedInItsParent) {
  auto inode = [&](const std::string &rel) {
    struct stat st;
    EXPECT_EQ(stat(Path(rel).c_str(), &st), 0) << rel;
    return st.st_ino;
  };
  sdb_make_dirs("a/b/c");
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  EXPECT_EQ(g_flushed, (std::vector<ino_t>{inode(""), inode("a"), inode("a/b")}));
  g_flushed.clear();
  sdb_make_dirs("a/b/c");
  sdb_make_dirs("a/b/c/d");
  EXPECT_EQ(g_flushed, std::vector<ino_t>{inode("a/b/c")});
  sdb_make_dirs("x//y/");
  EXPECT_TRUE(fs::is_directory(Path("x/y")));
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, AWriteLeavesExactlyTheBytesAndNoTemporary) {
  const std::string data("a\0b\r\n\xff", 6);
  ASSERT_EQ(Write("t", data), 0) << Error();
  EXPECT_EQ(Slurp(Path("t")), data);
  ASSERT_EQ(Write("t", ""), 0) << Error();
  EXPECT_EQ(fs::file_size(Path("t")), 0u);
  Put(Path("t.tmp"), "stale and longer than the new data");
  ASSERT_EQ(Write("t", "fresh"), 0) << Error();
  EXPECT_EQ(Slurp(Path("t")), "fresh");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, FailedWritesNameTheirStepAndKeepTheTarget) {
  EXPECT_EQ(Write("missing/t", "x"), -1);
  EXPECT_EQ(Error(), "fopen " + Path("missing/t") + ".tmp: No such file or directory");
  EXPECT_FALSE(fs::exists(Path("missing")));

  Put(Path("t"), "old");
  fs::create_directory(Path("t.tmp"));
  EXPECT_EQ(Write("t", "new"), -1);
  EXPECT_EQ(Error(), "fopen " + Path("t") + ".tmp: Is a directory");
  EXPECT_EQ(Slurp(Path("t")), "old");

  fs::create_directories(Path("d/inside"));
  EXPECT_EQ(Write("d", "new"), -1);
  EXPECT_EQ(Error(), "rename " + Path("d") + ": Is a directory");
  EXPECT_FALSE(fs::exists(Path("d.tmp")));

  // A file size limit makes the data itself fail to reach the file.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = Write("u", std::string(64 * 1024, 'z'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Error(), "fwrite " + Path("u") + ": File too large");
  EXPECT_FALSE(fs::exists(Path("u")));
  EXPECT_FALSE(fs::exists(Path("u.tmp")));

  // A full disk is named as the reason.
  Put(Path("v"), "old");
  g_writevs = 0;
  g_fail_writev = 1;
  EXPECT_EQ(Write("v", "new"), -1);
  EXPECT_EQ(Error(), "fwrite " + Path("v") + ": No space left on device");
  EXPECT_EQ(Slurp(Path("v")), "old");
  EXPECT_FALSE(fs::exists(Path("v.tmp")));
}

// The file is flushed before the rename and its directory after it: a
// failure of the first keeps the old bytes, of the second reports that the
// new bytes are there but not known to last. A cache's flushes neither.
TEST_F(FilesTest, BothFlushesOfAReplacementAreMadeAndChecked) {
  Put(Path("t"), "old");
  ASSERT_EQ(Write("t", "new"), 0);
  EXPECT_EQ(g_fsyncs, 2);
  g_fsyncs = 0;
  g_fail_fsync = 1;
  EXPECT_EQ(Write("t", "newer"), -1);
  EXPECT_EQ(Error(), "fsync " + Path("t") + ": Input/output error");
  EXPECT_EQ(Slurp(Path("t")), "new");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
  g_fsyncs = 0;
  g_fail_fsync = 2;
  EXPECT_EQ(Write("t", "newest"), 1);
  EXPECT_EQ(Error(), "fsync " + Path("t") + ": Input/output error");
  EXPECT_EQ(Slurp(Path("t")), "newest");
  // A cache's replacement makes neither.
  g_fsyncs = 0;
  g_fail_fsync = 0;
  sdb_replace r;
  ASSERT_EQ(sdb_replace_begin(&r, "t"), 0);
  struct iovec piece = {const_cast<char *>("cached"), 6};
  sdb_replace_write(&r, &piece, 1);
  EXPECT_EQ(sdb_replace_commit(&r, false), 0);
  EXPECT_EQ(g_fsyncs, 0);
  EXPECT_EQ(Slurp(Path("t")), "cached");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
}

TEST_F(FilesTest, NothingIsReachedThroughALink) {
  Put(outside_ + "/victim", "keep me");
  // A link where the temporary goes is replaced, not written through.
  fs::create_symlink(outside_ + "/victim", Path("t.tmp"));
  ASSERT_EQ(Write("t", "mine"), 0) << Error();
  EXPECT_EQ(Slurp(outside_ + "/victim"), "keep me");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path("t"))));
  // A directory that is a link is not entered, for writing nor reading.
  fs::create_directory_symlink(outside_, Path("linked"));
  EXPECT_EQ(Write("linked/victim", "x"), -1);
  std::string text;
  EXPECT_EQ(Read("linked/victim", &text), SDB_READ_FAILED);
  EXPECT_EQ(Slurp(outside_ + "/victim"), "keep me");
  fs::create_symlink(outside_ + "/victim", Path("l"));
  EXPECT_EQ(Read("l", &text), SDB_READ_FAILED);
  sdb_make_dirs("linked/sub");
  EXPECT_FALSE(fs::exists(outside_ + "/sub"));
}

TEST_F(FilesTest, OnlyAMissingFileCountsAsMissing) {
  std::string text;
  EXPECT_EQ(Read("none", &text), SDB_READ_MISSING);
  EXPECT_EQ(Error(), "untouched");
  fs::create_directory(Path("d"));
  EXPECT_EQ(Read("d", &text), SDB_READ_FAILED);
  EXPECT_EQ(Error(), "read " + Path("d") + ": not a regular file");
  // A FIFO is refused without waiting for a writer that never comes.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Read("fifo", &text), SDB_READ_FAILED);
  Put(Path("locked"), "x");
  chmod(Path("locked").c_str(), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(Read("locked", &text), SDB_READ_FAILED);
    EXPECT_EQ(Error(), "read " + Path("locked") + ": Permission denied");
  }
  const std::string bytes("\0ab\0\0c\xfe", 7);
  Put(Path("n"), bytes);
  ASSERT_EQ(Read("n", &text), SDB_READ_OK);
  EXPECT_EQ(text, bytes);
  Put(Path("e"), "");
  ASSERT_EQ(Read("e", &text), SDB_READ_OK);
  EXPECT_EQ(text, "");
}

TEST_F(FilesTest, SettingAsideNeverReplacesAndMayKeepTheFile) {
  Put(Path("f"), "one");
  char aside[SDB_REL_PATH_SIZE];
  ASSERT_EQ(sdb_set_aside("f", ".corrupt", true, aside, sizeof aside), 0);
  EXPECT_STREQ(aside, "f.corrupt");
  // The kept copy is a link: it keeps its bytes when the file is replaced,
  // as every save replaces it.
  ASSERT_EQ(Write("f", "two"), 0);
  ASSERT_EQ(sdb_set_aside("f", ".corrupt", false, aside, sizeof aside), 0);
  EXPECT_STREQ(aside, "f.corrupt.2");
  EXPECT_FALSE(fs::exists(Path("f")));
  EXPECT_EQ(Slurp(Path("f.corrupt")), "one");
  EXPECT_EQ(Slurp(Path("f.corrupt.2")), "two");
}

TEST_F(FilesTest, RemoveTakesOneFileAndRmdirOnlyAnEmptyDirectory) {
  Put(Path("f"), "x");
  fs::create_directories(Path("full/sub"));
  fs::create_directory(Path("empty"));
  sdb_remove("f");
  sdb_remove("f");
  sdb_remove("empty");
  EXPECT_FALSE(fs::exists(Path("f")));
  EXPECT_TRUE(fs::is_directory(Path("empty")));
  sdb_rmdir("full");
  sdb_rmdir("empty");
  EXPECT_TRUE(fs::is_directory(Path("full/sub")));
  EXPECT_FALSE(fs::exists(Path("empty")));
  EXPECT_EQ(Error(), "untouched");
}

// A copy put in place of a mapping holds the file's bytes at the same
// addresses, whatever the size (small files past their head, large ones
// from a huge page boundary), the pages already touched or not; a file
// that no longer begins as the mapping does, or has another size, leaves
// the mapping as it was.
TEST_F(FilesTest, ACopyInPlaceOfAMappingHoldsTheFilesBytes) {
  std::mt19937_64 rng(7);
  constexpr size_t kHuge = size_t{2} << 20;
  const size_t sizes[] = {
      5000, 4096 * 3 + 17, kHuge - 4096, kHuge + 4096 * 2, 3 * kHuge + 123, 2 * kHuge - 1};
  for (size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string data(size, '\0');
    for (char &c : data) c = static_cast<char>(rng());
    Put(Path("m"), data);
    const int fd = sdb_open_regular("m");
    ASSERT_GE(fd, 0);
    auto *map = static_cast<unsigned char *>(sdb_map_file(fd, size, PROT_READ | PROT_WRITE));
    close(fd);
    ASSERT_NE(map, MAP_FAILED);
    // Some pages touched before, as a load leaves them.
    for (int k = 0; k < 8; k++) {
      const size_t at = rng() % size;
      ASSERT_EQ(map[at], static_cast<unsigned char>(data[at]));
    }
    // Files replaced as the library replaces them: the mapping keeps the
    // bytes it was made of.
    const auto replace = [&](const std::string &bytes) {
      Put(Path("m.new"), bytes);
      fs::rename(Path("m.new"), Path("m"));
    };
    std::string other = data;
    other[rng() % 64] ^= 1;
    replace(other);
    EXPECT_FALSE(sdb_map_copy_in("m", map, size, 64));
    replace(data + "x");
    EXPECT_FALSE(sdb_map_copy_in("m", map, size, 64));
    other = data;
    other[size - 1] ^= 1;  // past the head: the caller's checks find it
    replace(other);
    ASSERT_TRUE(sdb_map_copy_in("m", map, size, 64));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(map), size - 1), data.substr(0, size - 1));
    EXPECT_EQ(map[size - 1], static_cast<unsigned char>(other[size - 1]));
    // Writable and private, as the mapping was.
    map[size / 2] ^= 1;
    EXPECT_EQ(Slurp(Path("m")), other);
    munmap(map, size);
  }
  EXPECT_EQ(Error(), "untouched");
}

}  // namespace
