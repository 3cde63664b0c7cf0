// The conditions `searchdb search --where` takes: a small syntax a shell user
// can type, translated to the library's JSON filter.
//
//   [!]PATH OP VALUE        OP: = (or ==), !=, <, <=, >, >=
//   [!]PATH:in:LIST         LIST: VALUE,VALUE,...  (empty: no value)
//   [!]PATH:not_in:LIST
//   [!]PATH:exists
//
// PATH is a member name, '.' stepping into an object, up to the first of
// = ! < > :; a path holding one of those is written as a JSON string
// ("a:b"). A VALUE that reads as a JSON number, true, false or null is
// taken as such, anything else as a string; a JSON string ("10", "a,b")
// is always a string, and a string that begins with = ! < or > must be
// one. A leading '!' negates the whole condition. Blanks
// around the path, the operator and unquoted values are left out.
#pragma once

#include <yyjson.h>

#include <string>
#include <string_view>

namespace cli {

// The filter of one condition, made in doc; nullptr with *error saying
// what is wrong with it.
yyjson_mut_val *where_filter(yyjson_mut_doc *doc, std::string_view condition, std::string *error);

}  // namespace cli
