#include "store_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/limits.h"
#include "storage/layout.h"

namespace cli {
namespace {

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

struct fd_closer {
  int fd = -1;
  explicit fd_closer(int f) : fd(f) {}
  ~fd_closer() {
    if (fd >= 0) close(fd);
  }
  fd_closer(const fd_closer &) = delete;
  fd_closer &operator=(const fd_closer &) = delete;
};

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool is_regular_file(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> split(const std::string &name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t slash = name.find('/', start);
    parts.push_back(name.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

// The names of a directory's entries but "." and "..", in byte order.
std::vector<std::string> sorted_entries(DIR *d) {
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void walk(const std::string &dir, const std::string &rel, const std::vector<std::string> &listed,
          bool one_index, store_findings *found) {
  dir_ptr d(opendir(dir.c_str()));
  if (!d) return;
  for (const std::string &name : sorted_entries(d.get())) {
    std::string path = dir + "/" + name;
    std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      bool is_listed = std::find(listed.begin(), listed.end(), child) != listed.end();
      if (one_index && is_listed) continue;
      if (child != SDB_LIST_DIR && !is_listed && is_regular_file(path + "/" + SDB_SETTINGS_FILE))
        found->unlisted.push_back(child);
      walk(path, child, listed, one_index, found);
    } else if (S_ISREG(st.st_mode) && is_set_aside_name(name, rel == SDB_LIST_DIR)) {
      found->set_aside.push_back(child);
    }
  }
}

// Opens the directory rel of the store without following a link on the
// way; -1 with a message when it cannot be.
int open_store_dir(const std::string &store, const std::string &rel, std::string *error) {
  for (const std::string &part : split(rel)) {
    if (!rel.empty() && (part.empty() || part == "." || part == "..")) {
      *error = "'" + rel + "' is not a directory of the store";
      return -1;
    }
  }
  int fd = open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = store + ": " + strerror(errno);
    return -1;
  }
  if (rel.empty()) return fd;
  for (const std::string &part : split(rel)) {
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    close(fd);
    if (next < 0) {
      *error = "'" + rel + "': " +
               (err == ELOOP || err == ENOTDIR ? std::string("not a directory of the store")
                                               : std::string(strerror(err)));
      return -1;
    }
    fd = next;
  }
  return fd;
}

bool is_set_aside_at(int dir_fd, const std::string &rel, const std::string &name) {
  struct stat st;
  return is_set_aside_name(name, rel == SDB_LIST_DIR) &&
         fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool is_store(const std::string &dir) {
  struct stat st;
  return stat((dir + "/" + SDB_LIST_DIR).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool enclosing_store(const std::string &dir, std::string *store, std::string *index) {
  if (!is_regular_file(dir + "/" + SDB_SETTINGS_FILE)) return false;
  std::unique_ptr<char, decltype(&free)> real(realpath(dir.c_str(), nullptr), free);
  if (!real) return false;
  std::string path = real.get();
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    std::string parent = path.substr(0, slash);
    if (!is_store(parent)) continue;
    *index = path.substr(slash + 1);
    // Said as the user said dir when dir ends with the index's name.
    std::string spelt = dir;
    while (spelt.size() > 1 && spelt.back() == '/') spelt.pop_back();
    if (spelt == *index) {
      *store = ".";
    } else if (ends_with(spelt, "/" + *index)) {
      *store = spelt.substr(0, spelt.size() - index->size() - 1);
      if (store->empty()) *store = "/";
    } else {
      *store = parent;
    }
    return true;
  }
  return false;
}

bool is_set_aside_name(const std::string &name, bool in_list_dir) {
  return sdb_file_set_aside(sdb_file_type_of(name.data(), name.size(), in_list_dir));
}

store_findings find_in_store(const std::string &store, const std::string &rel,
                             const std::vector<std::string> &listed, bool one_index) {
  store_findings found;
  walk(rel.empty() ? store : store + "/" + rel, rel, listed, one_index, &found);
  return found;
}

size_t count_set_aside(const std::string &store) {
  return find_in_store(store, "", {}, false).set_aside.size();
}

bool list_set_aside(const std::string &store, const std::string &rel,
                    std::vector<std::string> *names, std::string *error) {
  names->clear();
  fd_closer dir(open_store_dir(store, rel, error));
  if (dir.fd < 0) return false;
  int copy = dup(dir.fd);
  dir_ptr d(copy < 0 ? nullptr : fdopendir(copy));
  if (!d) {
    if (copy >= 0) close(copy);
    *error = "'" + rel + "': " + strerror(errno);
    return false;
  }
  for (const std::string &name : sorted_entries(d.get())) {
    if (is_set_aside_at(dir.fd, rel, name)) names->push_back(name);
  }
  return true;
}

bool remove_set_aside(const std::string &store, const std::string &rel,
                      const std::vector<std::string> &names, std::vector<std::string> *removed,
                      std::string *error) {
  removed->clear();
  fd_closer dir(open_store_dir(store, rel, error));
  if (dir.fd < 0) return false;
  for (const std::string &name : names) {
    if (!is_set_aside_at(dir.fd, rel, name)) continue;
    if (unlinkat(dir.fd, name.c_str(), 0) != 0) {
      *error = (rel.empty() ? name : rel + "/" + name) + ": " + strerror(errno);
      return false;
    }
    removed->push_back(name);
  }
  return true;
}

std::string index_name_rule_broken(const std::string &name) {
  const sdb_name_check check = sdb_index_name_check(name.c_str(), true);
  const std::string part = name.substr(check.part, check.part_len);
  switch (check.fault) {
    case SDB_NAME_OK:
      return "";
    case SDB_NAME_TOO_LONG:
      return "a name has at most " + std::to_string(SDB_INDEX_NAME_MAX) + " bytes; this one has " +
             std::to_string(name.size());
    case SDB_NAME_EMPTY:
      return "a name may not be empty";
    case SDB_NAME_EDGE_SLASH:
      return "a name may not begin or end with '/'";
    case SDB_NAME_LIST_DIR:
      return std::string("a name may not begin with '") + SDB_LIST_DIR +
             "', the directory of the store's own files";
    case SDB_NAME_EMPTY_PART:
      return "a name may not hold '//': each part between slashes names a folder";
    case SDB_NAME_DOT_PART:
      return "a part between slashes may not be '" + part +
             "': each part names a folder of its own below the store";
    case SDB_NAME_FILE_PART:
      return "'" + part + "' is the name of a file the store keeps in an index's folder";
  }
  return "";
}

}  // namespace cli
