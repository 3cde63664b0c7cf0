#include "lazy_library.h"

#include <dlfcn.h>

namespace cli {

namespace {

std::string loader_error() {
  const char *error = dlerror();
  return error ? error : "no reason given";
}

}  // namespace

void *open_library(const char *soname, std::string *problem) {
  // Bound now, so that a library that does not fit this system fails here,
  // with its reason, rather than at its first call.
  void *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) *problem = std::string("cannot load ") + soname + ": " + loader_error();
  return library;
}

void *library_symbol(void *library, const char *soname, const char *name, std::string *problem) {
  dlerror();
  void *address = dlsym(library, name);
  if (address == nullptr) *problem = std::string("cannot use ") + soname + ": " + loader_error();
  return address;
}

}  // namespace cli
