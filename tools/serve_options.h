// The options of `searchdb serve`. They live apart from the server so that
// the tool's parsed command line can hold them without knowing HTTP.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace cli {

struct serve_options {
  std::string host = "127.0.0.1";
  int port = 8765;
  bool allow_writes = false;
  std::string key_file;
  std::string cors;  // the one other origin whose pages may call the API
  int timeout = 30;  // seconds a request may take to arrive whole
};

// Declares the serve command's options and footer on its subcommand.
void add_serve_options(CLI::App *command, serve_options *options);

}  // namespace cli
