// Where a store keeps what, relative to its directory (persist.cc describes
// the files). The command-line tool reads the documents file through these
// names too.
#pragma once

// The list's directory, reserved: no index name may begin with it.
inline constexpr char SDB_LIST_DIR[] = "_indexes";
inline constexpr char SDB_LIST_FILE[] = "_indexes/list.json";
inline constexpr char SDB_LOCK_FILE[] = "_indexes/lock";
// The files of an index's directory, "<name>/<file>".
inline constexpr char SDB_SETTINGS_FILE[] = "meta.json";
inline constexpr char SDB_DOCUMENTS_FILE[] = "docs.json";
