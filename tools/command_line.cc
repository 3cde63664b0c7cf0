#include "command_line.h"

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <memory>

namespace cli {
namespace {

const std::vector<command_summary> kCommands = {
    {"create", false}, {"drop", true},   {"list", false}, {"add", true},    {"get", true},
    {"delete", true},  {"search", true}, {"stats", true}, {"export", true}, {"check", true},
    {"shell", false},  {"serve", false}, {"help", false},
};

const char kToolFooter[] =
    "DIR holds the indexes: --dir, else $SEARCHDB_DIR, else ./searchdb-data.\n"
    "Output is a table on a terminal and the library's JSON otherwise; --table and\n"
    "--json choose. 'searchdb help COMMAND' explains a command.\n"
    "Exit status: 0 success, 1 refused by the library, bad input or problems found,\n"
    "2 usage error, 130 stopped by Ctrl-C.";

const char kShellFooter[] =
    "Type a command as on the command line, without 'searchdb'; 'help COMMAND'\n"
    "explains one. Tab completes commands and index names, Ctrl-R searches the\n"
    "history, Ctrl-C stops a command, Ctrl-D or 'exit' leaves.";

// A count option: a whole number within [min, INT_MAX].
void count_option(CLI::App *command, const char *name, int *value, int min, const char *what) {
  command->add_option(name, *value, what)
      ->type_name("N")
      ->check(CLI::Range(min, INT_MAX).description(""));
}

// The whole command tree, writing into *inv. In the shell, "shell" and
// --version are left out; --dir stays so that using it can be explained.
std::unique_ptr<CLI::App> make_app(invocation *inv, bool in_shell) {
  auto app =
      std::make_unique<CLI::App>("A full-text search engine on the command line.", "searchdb");
  app->get_formatter()->column_width(28);
  app->footer(in_shell ? kShellFooter : kToolFooter);
  app->add_option("--dir", inv->dir, "The storage directory")->type_name("DIR");
  CLI::Option *json = app->add_flag("--json", inv->json, "Print the library's JSON");
  CLI::Option *table = app->add_flag("--table", inv->table, "Print a table");
  json->excludes(table);
  if (!in_shell) app->set_version_flag("--version", "searchdb " SEARCHDB_VERSION);
  // Global options may also follow the command and its arguments.
  app->fallthrough();
  app->require_subcommand(0, 1);

  auto command = [&](const char *name, const char *summary) {
    CLI::App *c = app->add_subcommand(name, summary);
    c->callback([inv, name] { inv->command = name; });
    return c;
  };
  auto index = [&](CLI::App *c, const char *what) {
    return c->add_option("NAME", inv->index, what)->type_name("")->required();
  };

  CLI::App *c = command("create", "Create an index");
  index(c, "The new index; names may nest with '/', as in shop/books");
  c->add_option("--primary-key", inv->primary_key,
                "The member that identifies a document (default \"id\")")
      ->type_name("KEY");

  index(command("drop", "Delete an index with all its documents"), "The index");
  command("list", "List the indexes (with their document counts in a table)");

  c = command("add", "Add or replace documents");
  c->footer(
      "The input is FILE, standard input (FILE '-' or none; on a terminal it ends at\n"
      "Ctrl-D), or JSON text given in place of FILE. It holds one JSON object, a JSON\n"
      "array of objects, or JSON Lines (one object a line). The whole input is read\n"
      "and checked before anything is stored: a bad document stops the load with its\n"
      "line and the reason, and nothing is stored. Documents then go to the library\n"
      "in batches of at most 64 MiB of JSON; a refused batch stops the load and says\n"
      "how many documents were stored.");
  index(c, "The index");
  c->add_option("FILE", inv->argument, "A file of documents, '-', or JSON text")->type_name("");
  count_option(c, "--batch", &inv->batch, 1, "Send at most N documents per batch");

  c = command("get", "Print one document");
  index(c, "The index");
  c->add_option("ID", inv->argument, "The document's id")->type_name("")->required();

  c = command("delete", "Delete one document");
  index(c, "The index");
  c->add_option("ID", inv->argument, "The document's id")->type_name("")->required();

  c = command("search", "Search an index");
  c->footer(
      "The words of QUERY match exactly, by prefix, or despite a typo or two in longer\n"
      "words. '--' ends the options, so that a query may begin with '-'.");
  index(c, "The index");
  c->add_option("QUERY", inv->words, "The words to look for")->type_name("")->required();
  count_option(c, "--limit", &inv->limit, 0, "Show N hits (default 20; 0 for all)");
  count_option(c, "--offset", &inv->offset, 0, "Skip the first N hits");

  index(command("stats", "Print an index's counts and ranking parameters"), "The index");

  c = command("export", "Write every document of an index as JSON Lines");
  c->footer(
      "Writes each document's stored text, one a line, in stored order, to FILE or to\n"
      "standard output. 'add' reads it back into an index with the same primary key.");
  index(c, "The index");
  c->add_option("FILE", inv->argument, "The file to write")->type_name("");

  c = command("check", "Report on the stored indexes and files left aside");
  c->footer(
      "Loads the store and reports, per index, its documents and terms, and every\n"
      "damaged file set aside (*.corrupt, *.found) and index directory that is not\n"
      "in the index list. Exit status 0 when there is nothing to report, 1 otherwise.");
  c->add_option("NAME", inv->index, "Only this index")->type_name("");

  if (!in_shell) command("shell", "Run commands typed at a prompt, in one session");
  add_serve_options(command("serve", "Serve the store over HTTP, with a search page"), &inv->serve);
  c = command("help", "Explain a command");
  c->add_option("COMMAND", inv->index, "The command")->type_name("");
  return app;
}

void usage_hint(const std::string &command, bool in_shell) {
  std::string about = command.empty() ? "" : " " + command;
  if (in_shell) {
    fprintf(stderr, "Type 'help%s' for help.\n", about.c_str());
  } else {
    fprintf(stderr, "Try 'searchdb%s --help'.\n", about.c_str());
  }
}

}  // namespace

const std::vector<command_summary> &command_summaries() {
  return kCommands;
}

parse_result parse_command_line(const std::vector<std::string> &words, bool in_shell,
                                invocation *inv) {
  *inv = invocation{};
  std::unique_ptr<CLI::App> app = make_app(inv, in_shell);
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  std::string problem;
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp &) {
    std::vector<CLI::App *> chosen = app->get_subcommands();
    print_help(chosen.empty() ? "" : chosen[0]->get_name(), in_shell);
    return parse_result::answered;
  } catch (const CLI::CallForVersion &e) {
    printf("%s\n", e.what());
    return parse_result::answered;
  } catch (const CLI::ExtrasError &e) {
    problem = e.what();
    // A first word that is no command and no option was meant as a command.
    std::vector<std::string> left = app->remaining();
    if (app->get_subcommands().empty() && !left.empty() && left[0][0] != '-') {
      fprintf(stderr, "searchdb: unknown command '%s'; '%shelp' lists the commands\n",
              left[0].c_str(), in_shell ? "" : "searchdb ");
      return parse_result::refused;
    }
  } catch (const CLI::ParseError &e) {
    problem = e.what();
  }
  if (problem.empty()) {
    inv->dir_given = app->count("--dir") > 0;
    if (inv->command.empty()) {
      problem = "no command given";
    } else if (in_shell && inv->dir_given) {
      problem =
          "the shell's storage directory is fixed; '" + inv->command + "' takes no option '--dir'";
    } else {
      const CLI::App *sub = app->get_subcommand(inv->command);
      const CLI::Option *file = sub->get_option_no_throw("FILE");
      const CLI::Option *key = sub->get_option_no_throw("--primary-key");
      inv->has_argument = file && file->count() > 0;
      inv->primary_key_given = key && key->count() > 0;
      return parse_result::run;
    }
  }
  std::vector<CLI::App *> chosen = app->get_subcommands();
  fprintf(stderr, "searchdb: %s\n", problem.c_str());
  usage_hint(chosen.empty() ? "" : chosen[0]->get_name(), in_shell);
  return parse_result::refused;
}

bool print_help(const std::string &command, bool in_shell) {
  invocation unused;
  std::unique_ptr<CLI::App> app = make_app(&unused, in_shell);
  if (command.empty()) {
    print_text(app->help());
    return true;
  }
  try {
    print_text(app->get_subcommand(command)->help(in_shell ? "" : "searchdb"));
    return true;
  } catch (const CLI::OptionNotFound &) {
    return false;
  }
}

}  // namespace cli
