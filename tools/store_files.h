// What the tool finds in a storage directory by looking at its files, where
// the library has no call that tells: whether a directory is a store at
// all, the files a load set aside, index directories the list forgot, and
// which naming rule an index name breaks. Nothing here follows a link.
#pragma once

#include <string>
#include <vector>

namespace cli {

// A store is a directory the library has opened before: it holds _indexes.
bool is_store(const std::string &dir);

// When dir is an index directory (it holds the settings file) inside a
// store: the store's path, as close to dir's own spelling as it can be,
// and the index's name.
bool enclosing_store(const std::string &dir, std::string *store, std::string *index);

// Whether a file name is one a load gives a file it sets aside, in the
// list's directory or else an index's (storage/layout.h).
bool is_set_aside_name(const std::string &name, bool in_list_dir);

struct store_findings {
  std::vector<std::string> set_aside;  // regular files, paths relative to the store
  std::vector<std::string> unlisted;   // index directories that are not in the list
};

// Walks the directory rel of the store ("" for the whole store), in byte
// order. With one_index, the directories of the other listed indexes below
// rel are left out.
store_findings find_in_store(const std::string &store, const std::string &rel,
                             const std::vector<std::string> &listed, bool one_index);

// The number of set-aside files in the whole store.
size_t count_set_aside(const std::string &store);

// The set-aside files right in the directory rel of the store (names, in
// byte order), reached without following a link. False with a message when
// rel is not such a directory.
bool list_set_aside(const std::string &store, const std::string &rel,
                    std::vector<std::string> *names, std::string *error);

// Removes the named files from the directory rel of the store, reached as
// list_set_aside reaches it; a name that is no longer a set-aside regular
// file there is left alone. Returns the names removed; false with a
// message on the first failure.
bool remove_set_aside(const std::string &store, const std::string &rel,
                      const std::vector<std::string> &names, std::vector<std::string> *removed,
                      std::string *error);

// Which rule an index name breaks, for explaining a refusal of the
// library's; "" when the name breaks none of them.
std::string index_name_rule_broken(const std::string &name);

}  // namespace cli
