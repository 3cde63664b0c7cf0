// A fresh storage directory for every test, removed afterwards, and the
// library cleaned up whatever the test did.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "searchdb.h"

// The path the open file descriptor fd names, or "" when it cannot be told.
inline std::string FdPath(int fd) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    searchdb_cleanup();
    char tmpl[] = "/tmp/searchdb-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ + "/store";
  }
  void TearDown() override {
    searchdb_cleanup();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // Initialises the library on this test's storage directory.
  void Open() { ASSERT_EQ(searchdb_init(dir_.c_str()), 0) << searchdb_last_error(); }
  // Cleans up and initialises again: everything is loaded from disk.
  void Reopen() {
    searchdb_cleanup();
    Open();
  }

  std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
  // An answer with its "processingTimeMs" member left out.
  static std::string Untimed(std::string answer) {
    const size_t at = answer.find("\"processingTimeMs\":");
    if (at != std::string::npos) answer.erase(at, answer.find(',', at) + 1 - at);
    return answer;
  }
  static std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
  }
  static bool Exists(const std::string &path) { return std::filesystem::exists(path); }
  static std::string LastError() { return searchdb_last_error(); }

  std::string root_;
  std::string dir_;
};
