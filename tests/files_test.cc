#include "storage/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/frame.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/searchdb-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    sdb_error("untouched");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string Path(const std::string &rel) const { return root_ + "/" + rel; }
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
  int Write(const std::string &path, const std::string &data) {
    return sdb_write_file_atomic(path.c_str(), data.data(), data.size());
  }

  std::string root_;
};

// ---- sdb_mkdir_p ----

TEST_F(FilesTest, MkdirCreatesEveryLevelAndIsQuietWhenRepeated) {
  sdb_mkdir_p(Path("a/b/c").c_str());
  EXPECT_TRUE(fs::is_directory(Path("a")));
  EXPECT_TRUE(fs::is_directory(Path("a/b")));
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  sdb_mkdir_p(Path("a/b/c").c_str());
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, MkdirIgnoresTrailingAndDoubledSlashes) {
  sdb_mkdir_p(Path("x//y/").c_str());
  sdb_mkdir_p(Path("p/q//r//").c_str());
  EXPECT_TRUE(fs::is_directory(Path("x/y")));
  EXPECT_TRUE(fs::is_directory(Path("p/q/r")));
  EXPECT_EQ(Error(), "untouched");
}

// ---- sdb_write_file_atomic ----

TEST_F(FilesTest, WriteCreatesTheTargetWithExactlyTheBytesAndNoTemporary) {
  const std::string data("a\0b\r\n\xff", 6);
  ASSERT_EQ(Write(Path("t"), data), 0) << Error();
  EXPECT_EQ(Slurp(Path("t")), data);
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, WriteReplacesALongerFileWhole) {
  Put(Path("t"), "a much longer previous content");
  ASSERT_EQ(Write(Path("t"), "new"), 0) << Error();
  EXPECT_EQ(Slurp(Path("t")), "new");
}

TEST_F(FilesTest, WriteOfNoBytesLeavesAnEmptyFile) {
  Put(Path("t"), "old");
  ASSERT_EQ(sdb_write_file_atomic(Path("t").c_str(), nullptr, 0), 0) << Error();
  EXPECT_TRUE(fs::is_regular_file(Path("t")));
  EXPECT_EQ(fs::file_size(Path("t")), 0u);
}

TEST_F(FilesTest, WriteOverwritesATemporaryLeftByAnInterruptedWrite) {
  Put(Path("t.tmp"), "stale and longer than the new data");
  ASSERT_EQ(Write(Path("t"), "fresh"), 0) << Error();
  EXPECT_EQ(Slurp(Path("t")), "fresh");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
}

TEST_F(FilesTest, WriteIntoAMissingDirectoryNamesTheTemporaryPath) {
  const std::string target = Path("missing/t");
  EXPECT_EQ(Write(target, "x"), -1);
  EXPECT_EQ(Error(), "fopen " + target + ".tmp: No such file or directory");
  EXPECT_FALSE(fs::exists(Path("missing")));
}

TEST_F(FilesTest, WriteFailsWhenADirectoryStandsWhereTheTemporaryGoes) {
  Put(Path("t"), "old");
  fs::create_directory(Path("t.tmp"));
  EXPECT_EQ(Write(Path("t"), "new"), -1);
  EXPECT_EQ(Error(), "fopen " + Path("t") + ".tmp: Is a directory");
  EXPECT_EQ(Slurp(Path("t")), "old");
}

TEST_F(FilesTest, FailedRenameRemovesTheTemporaryAndGivesTheRenameReason) {
  fs::create_directories(Path("t/inside"));
  EXPECT_EQ(Write(Path("t"), "new"), -1);
  EXPECT_EQ(Error(), "rename " + Path("t") + ": Is a directory");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
  EXPECT_TRUE(fs::is_directory(Path("t/inside")));
}

// A file size limit makes the data itself fail to reach the file.
TEST_F(FilesTest, ShortWriteRemovesTheTemporaryAndKeepsTheTarget) {
  Put(Path("t"), "old");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = Write(Path("t"), std::string(64 * 1024, 'z'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Error(), "fwrite " + Path("t") + " failed");
  EXPECT_FALSE(fs::exists(Path("t.tmp")));
  EXPECT_EQ(Slurp(Path("t")), "old");
}

TEST_F(FilesTest, PathsLongerThanTheBufferAreCutNotOverrun) {
  // The temporary path is cut to the buffer, so it differs from "<t>.tmp";
  // the write must fail cleanly rather than write past its buffer.
  std::string target = Path(std::string(SDB_PATH_SIZE, 'n'));
  EXPECT_EQ(Write(target, "x"), -1);
  EXPECT_EQ(Error().rfind("fopen " + root_ + "/nnn", 0), 0u) << Error();
}

// ---- sdb_read_file ----

TEST_F(FilesTest, ReadOfAMissingFileFailsSilentlyAndLeavesTheOutputs) {
  char *data = reinterpret_cast<char *>(0x1);
  uint64_t len = 77;
  EXPECT_EQ(sdb_read_file(Path("none").c_str(), &data, &len), -1);
  EXPECT_EQ(data, reinterpret_cast<char *>(0x1));
  EXPECT_EQ(len, 77u);
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, ReadOfADirectoryFailsSilently) {
  fs::create_directory(Path("d"));
  char *data = nullptr;
  uint64_t len = 0;
  EXPECT_EQ(sdb_read_file(Path("d").c_str(), &data, &len), -1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(Error(), "untouched");
}

TEST_F(FilesTest, ReadOfAnEmptyFileGivesOnlyTheTerminator) {
  Put(Path("e"), "");
  char *data = nullptr;
  uint64_t len = 99;
  ASSERT_EQ(sdb_read_file(Path("e").c_str(), &data, &len), 0);
  EXPECT_EQ(len, 0u);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], '\0');
  free(data);
}

TEST_F(FilesTest, ReadReturnsEveryByteIncludingNulsAndATerminator) {
  const std::string bytes("\0ab\0\0c\xfe", 7);
  Put(Path("n"), bytes);
  char *data = nullptr;
  uint64_t len = 0;
  ASSERT_EQ(sdb_read_file(Path("n").c_str(), &data, &len), 0);
  ASSERT_EQ(len, bytes.size());
  EXPECT_EQ(std::string(data, len), bytes);
  EXPECT_EQ(data[len], '\0');
  free(data);
}

// ---- sdb_remove and sdb_rmdir ----

TEST_F(FilesTest, RemoveTakesOneFileAndRmdirOnlyAnEmptyDirectory) {
  Put(Path("f"), "x");
  fs::create_directories(Path("full/sub"));
  fs::create_directory(Path("empty"));
  sdb_remove(Path("f").c_str());
  sdb_remove(Path("f").c_str());
  sdb_remove(Path("empty").c_str());
  EXPECT_FALSE(fs::exists(Path("f")));
  EXPECT_TRUE(fs::is_directory(Path("empty")));
  sdb_rmdir(Path("full").c_str());
  sdb_rmdir(Path("empty").c_str());
  EXPECT_TRUE(fs::is_directory(Path("full/sub")));
  EXPECT_FALSE(fs::exists(Path("empty")));
  EXPECT_EQ(Error(), "untouched");
}

}  // namespace
