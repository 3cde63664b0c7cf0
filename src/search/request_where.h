// Where in a request a fault lies, for messages: a member path such as
// "filter.and[0].not", grown and cut back as the parser steps in and out.
// A path too long for the message is cut, as the message would be.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

struct sdb_where {
  char text[1024];
  size_t len;
};

// Appends a member name (".name", or "name" at the start).
inline size_t sdb_where_member(sdb_where *w, const char *name) {
  const size_t had = w->len;
  const int n =
      snprintf(w->text + w->len, sizeof w->text - w->len, "%s%s", w->len ? "." : "", name);
  if (n > 0) w->len += static_cast<size_t>(n);
  if (w->len >= sizeof w->text) w->len = sizeof w->text - 1;
  return had;
}

// Appends an element index ("[3]").
inline size_t sdb_where_index(sdb_where *w, size_t index) {
  const size_t had = w->len;
  const int n = snprintf(w->text + w->len, sizeof w->text - w->len, "[%zu]", index);
  if (n > 0) w->len += static_cast<size_t>(n);
  if (w->len >= sizeof w->text) w->len = sizeof w->text - 1;
  return had;
}

// Cuts back to a length an append returned.
inline void sdb_where_back(sdb_where *w, size_t len) {
  w->len = len;
  w->text[len] = '\0';
}
