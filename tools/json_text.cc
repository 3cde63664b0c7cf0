#include "json_text.h"

#include <cstdlib>
#include <memory>
#include <new>

namespace cli {
namespace {

// yyjson copies keys and strings it is given with these calls, so the
// caller's texts may go away first; a failed allocation is the tool's
// out-of-memory exit.
yyjson_mut_val *checked(yyjson_mut_val *value) {
  if (value == nullptr) throw std::bad_alloc();
  return value;
}

void put(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key, yyjson_mut_val *value) {
  if (!yyjson_mut_obj_add(object, checked(yyjson_mut_strcpy(doc, key)), value))
    throw std::bad_alloc();
}

}  // namespace

json_object::json_object() : doc_(yyjson_mut_doc_new(nullptr)) {
  if (doc_ == nullptr) throw std::bad_alloc();
  root_ = checked(yyjson_mut_obj(doc_));
  yyjson_mut_doc_set_root(doc_, root_);
}

json_object::~json_object() {
  yyjson_mut_doc_free(doc_);
}

json_object &json_object::set(const char *key, const std::string &value) {
  set_in(root_, key, value);
  return *this;
}

json_object &json_object::set(const char *key, int64_t value) {
  set_in(root_, key, value);
  return *this;
}

json_object &json_object::set_real(const char *key, double value) {
  put(doc_, root_, key, checked(yyjson_mut_real(doc_, value)));
  return *this;
}

json_object &json_object::set_bool(const char *key, bool value) {
  put(doc_, root_, key, checked(yyjson_mut_bool(doc_, value)));
  return *this;
}

json_object &json_object::set_strings(const char *key, const std::vector<std::string> &values) {
  yyjson_mut_val *array = set_array(key);
  for (const std::string &value : values) {
    if (!yyjson_mut_arr_append(array,
                               checked(yyjson_mut_strncpy(doc_, value.data(), value.size()))))
      throw std::bad_alloc();
  }
  return *this;
}

yyjson_mut_val *json_object::set_array(const char *key) {
  yyjson_mut_val *array = checked(yyjson_mut_arr(doc_));
  put(doc_, root_, key, array);
  return array;
}

yyjson_mut_val *json_object::add_object(yyjson_mut_val *array) {
  yyjson_mut_val *object = checked(yyjson_mut_obj(doc_));
  if (!yyjson_mut_arr_append(array, object)) throw std::bad_alloc();
  return object;
}

void json_object::set_in(yyjson_mut_val *object, const char *key, const std::string &value) {
  put(doc_, object, key, checked(yyjson_mut_strncpy(doc_, value.data(), value.size())));
}

void json_object::set_in(yyjson_mut_val *object, const char *key, int64_t value) {
  put(doc_, object, key, checked(yyjson_mut_sint(doc_, value)));
}

void json_object::set_bool_in(yyjson_mut_val *object, const char *key, bool value) {
  put(doc_, object, key, checked(yyjson_mut_bool(doc_, value)));
}

std::string json_object::text() const {
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(yyjson_mut_write(doc_, 0, &len), free);
  if (!text) throw std::bad_alloc();
  return std::string(text.get(), len);
}

}  // namespace cli
