// Shared libraries that only one command needs (the HTTP server's for
// serve, the line editor's for the shell) are opened when that command
// starts instead of being linked into the tool: linked, they and their own
// dependencies would be loaded, relocated and initialised at the start of
// every command, which on a virtual machine costs more than a search.
#pragma once

#include <string>

namespace cli {

// The library of that soname, opened now or by an earlier call; nullptr,
// with *problem naming the library and the loader's reason, when it cannot
// be loaded.
void *open_library(const char *soname, std::string *problem);

// The address of a library's symbol; nullptr, with *problem naming the
// library and the loader's reason (which names the symbol), when the library
// has none of that name.
void *library_symbol(void *library, const char *soname, const char *name, std::string *problem);

// Sets *function to the library's function name. F comes from the library's
// own declaration (decltype(&name)), so that only the signature its header
// gives can be called.
template <typename F>
bool find_function(void *library, const char *soname, const char *name, F *function,
                   std::string *problem) {
  void *address = library_symbol(library, soname, name, problem);
  *function = reinterpret_cast<F>(address);
  return address != nullptr;
}

}  // namespace cli
