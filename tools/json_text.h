// One JSON object for --json answers, built with yyjson so that its text
// follows no locale and escapes what it must.
#pragma once

#include <yyjson.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

class json_object {
 public:
  json_object();
  ~json_object();
  json_object(const json_object &) = delete;
  json_object &operator=(const json_object &) = delete;

  json_object &set(const char *key, const std::string &value);
  json_object &set(const char *key, int64_t value);
  json_object &set_real(const char *key, double value);
  json_object &set_bool(const char *key, bool value);
  json_object &set_strings(const char *key, const std::vector<std::string> &values);
  // A new array member, for the caller to fill with add_object().
  yyjson_mut_val *set_array(const char *key);
  // A new object appended to array.
  yyjson_mut_val *add_object(yyjson_mut_val *array);
  // Members of an object made by add_object().
  void set_in(yyjson_mut_val *object, const char *key, const std::string &value);
  void set_in(yyjson_mut_val *object, const char *key, int64_t value);
  void set_bool_in(yyjson_mut_val *object, const char *key, bool value);

  // The compact text, one line.
  std::string text() const;

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *root_;
};

}  // namespace cli
