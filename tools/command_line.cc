#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "request.h"

namespace cli {
namespace {

const std::vector<command_summary> kCommands = {
    {"create", false}, {"drop", true},   {"list", false}, {"add", true},    {"get", true},
    {"delete", true},  {"search", true}, {"stats", true}, {"export", true}, {"check", true},
    {"shell", false},  {"serve", false}, {"help", false},
};

const char kToolFooter[] =
    "DIR holds the indexes: --dir, else $SEARCHDB_DIR, else ./searchdb-data; only\n"
    "'create' makes a store there.\n"
    "Output is a table on a terminal and the library's JSON otherwise; --table and\n"
    "--json choose. 'searchdb help COMMAND' explains a command.\n"
    "Exit status: 0 success, 1 refused by the library, bad input or problems found,\n"
    "2 usage error, 130 stopped by Ctrl-C.";

const char kSearchFooter[] =
    "The words of QUERY match exactly, by prefix, or despite a typo or two in longer\n"
    "words. '--' ends the options, so that a query may begin with '-'.\n"
    "The other options make the search a request (and let QUERY be left out, to\n"
    "browse every document); in it, text in double quotes is a phrase. EXPR is\n"
    "  PATH=VALUE  PATH!=VALUE  PATH<VALUE  PATH<=VALUE  PATH>VALUE  PATH>=VALUE\n"
    "  PATH:in:V1,V2  PATH:not_in:V1,V2  PATH:exists  !EXPR (not)\n"
    "PATH is a member, '.' stepping into an object: size<1000, tags:in:a,b,\n"
    "meta.lang=en. A value that reads as a JSON number, true, false or null is one;\n"
    "anything else, or text in double quotes (section=\"10\"), is a string. A path\n"
    "holding = ! < > or : is written in double quotes too. --facet counts are shown\n"
    "after the hits; --highlight marks in colour on a terminal ([like this]\n"
    "elsewhere; <mark> tags with --json). --request takes FILE, '-' or JSON text,\n"
    "with no other option but --json and --table; --show-request prints the request\n"
    "the options make, for it.";

const char kShellFooter[] =
    "Type a command as on the command line, without 'searchdb'; 'help COMMAND'\n"
    "explains one. Tab completes commands and index names, Ctrl-R searches the\n"
    "history, Ctrl-C stops a command, Ctrl-D or 'exit' leaves.";

// A count option: a whole number within [min, INT_MAX], read the same in
// every locale, refused in plain words.
CLI::Option *count_option(CLI::App *command, const char *name, int *value, int min,
                          const char *what) {
  return command
      ->add_option_function<std::string>(
          name,
          [name, value, min](const std::string &text) {
            long long n = 0;
            const char *end = text.data() + text.size();
            auto [stop, ec] = std::from_chars(text.data(), end, n);
            if (stop != end || text.empty() ||
                (ec != std::errc() && ec != std::errc::result_out_of_range))
              throw CLI::ValidationError(name, "'" + text + "' is not a whole number");
            if (ec == std::errc::result_out_of_range || n > INT_MAX)
              throw CLI::ValidationError(name,
                                         "'" + text + "' is more than " + std::to_string(INT_MAX));
            if (n < min)
              throw CLI::ValidationError(name,
                                         "'" + text + "' is less than " + std::to_string(min));
            *value = static_cast<int>(n);
          },
          what)
      ->type_name("N");
}

// The whole command tree, writing into *inv (and every --dir given into
// *dirs). In the shell, "shell" and --version are left out; --dir is
// hidden, and kept so that using it can be explained.
std::unique_ptr<CLI::App> make_app(invocation *inv, std::vector<std::string> *dirs, bool in_shell) {
  auto app = std::make_unique<CLI::App>("A full-text search engine on the command line.",
                                        in_shell ? "" : "searchdb");
  app->get_formatter()->column_width(28);
  app->set_help_flag("-h,--help", in_shell ? "Explain the command it follows"
                                           : "Print this help message and exit");
  app->footer(in_shell ? kShellFooter : kToolFooter);
  app->add_option("--dir", *dirs, "The storage directory")
      ->type_name("DIR")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group(in_shell ? "" : "Options");
  CLI::Option *json = app->add_flag("--json", inv->json, "Print JSON (changes answer an object)");
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
      "Ctrl-D), or JSON text given in place of FILE. It holds one JSON array of\n"
      "objects, or objects one after another: JSON Lines, or objects over several\n"
      "lines as jq prints them. The whole input is read and checked before anything\n"
      "is stored: a bad document stops the load with its place (FILE:LINE) and the\n"
      "reason, and nothing is stored. A number id must name a whole number the\n"
      "library keeps exactly (1.5 would be stored as \"2\"). An id that repeats within\n"
      "the input is reported; the later document is kept. Documents then go to the\n"
      "library in batches of at most 64 MiB of JSON; a refused batch stops the load\n"
      "and says how many documents were stored.");
  index(c, "The index");
  c->add_option("FILE", inv->argument, "A file of documents, '-', or JSON text")->type_name("");
  count_option(c, "--batch", &inv->batch, 1, "Send at most N documents per batch");
  c->add_flag("--allow-rounded-ids", inv->allow_rounded_ids,
              "Store number ids as the library rounds them");

  c = command("get", "Print one document");
  index(c, "The index");
  c->add_option("ID", inv->argument, "The document's id")->type_name("")->required();

  c = command("delete", "Delete one document");
  index(c, "The index");
  c->add_option("ID", inv->argument, "The document's id")->type_name("")->required();

  c = command("search", "Search an index");
  c->footer(kSearchFooter);
  index(c, "The index");
  c->add_option("QUERY", inv->words, "The words to look for; none to browse")->type_name("");
  count_option(c, "--limit", &inv->limit, 0, "Show N hits (default 20; 0 for all)");
  count_option(c, "--offset", &inv->offset, 0, "Skip the first N hits");
  auto repeated = [&](const char *name, std::vector<std::string> *values, const char *type,
                      const char *what) {
    return c->add_option(name, *values, what)
        ->type_name(type)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  repeated("--where", &inv->where, "EXPR", "Keep the hits that meet EXPR (repeatable: all)");
  repeated("--sort", &inv->sort, "PATH[:desc]", "Order by PATH, or by relevance (repeatable)");
  repeated("--facet", &inv->facets, "PATH", "Count the hits by the values of PATH (repeatable)");
  repeated("--fields", &inv->fields, "A,B", "Show only these members of each hit")->delimiter(',');
  c->add_flag("--all-words", inv->all_words, "Match hits with every word");
  CLI::Option *highlight =
      repeated("--highlight", &inv->highlight, "MEMBER", "Mark the words that matched in MEMBER");
  count_option(c, "--snippet", &inv->snippet, 1, "Show N words of each marked member")
      ->needs(highlight);
  c->add_option("--rank", inv->rank, "Rank by RULE: bm25 (default), typo-aware")->type_name("RULE");
  c->add_option("--request", inv->request, "Search with the JSON request in FILE")
      ->type_name("FILE|-");
  c->add_flag("--show-request", inv->show_request, "Print the request, and search nothing");

  index(command("stats", "Print an index's counts and ranking parameters"), "The index");

  c = command("export", "Write every document of an index as JSON Lines");
  c->footer(
      "Writes each document's stored text, one a line, in stored order, to FILE or to\n"
      "standard output. 'add' reads it back into an index with the same primary key.");
  index(c, "The index");
  c->add_option("FILE", inv->argument, "The file to write")->type_name("");

  c = command("check", "Report on the stored indexes and files left aside");
  c->footer(
      "Loads the store and reports, per index, its documents and terms (and whether\n"
      "the index in memory equals a rebuild of its documents), and every\n"
      "damaged file set aside (*.corrupt, *.found), index folder missing from the\n"
      "index list and document whose stored text is not JSON, each with what to do.\n"
      "It says of each index's derived file (docs.idx, a cache that spares a fresh\n"
      "process the build) whether it is current, missing or stale; that is not a\n"
      "problem, as the next search writes it again. --rebuild writes it anew first.\n"
      "docs.changes, the record of changes a stale one catches up from, and\n"
      "docs.cols, the columns requests built, are caches as well.\n"
      "On a read-only store it says what it could not verify. Exit status 0 when\n"
      "there is nothing to report, 1 otherwise.\n"
      "--clear-set-aside NAME removes the set-aside files in the folder of the index\n"
      "NAME once they are reviewed: it lists them and asks on a terminal; elsewhere\n"
      "it needs --yes. It never follows a link.");
  c->add_option("NAME", inv->index, "Only this index")->type_name("");
  CLI::Option *clear = c->add_flag("--clear-set-aside", inv->clear_set_aside,
                                   "Remove the set-aside files of the index NAME");
  c->add_flag("--yes", inv->yes, "Remove without asking")->needs(clear);
  c->add_flag("--rebuild", inv->rebuild, "Write each index's derived file anew")->excludes(clear);

  if (!in_shell) command("shell", "Run commands typed at a prompt, in one session");
  add_serve_options(command("serve", "Serve the store over HTTP, with a search page"), &inv->serve);
  c = command("help", "Explain a command");
  c->add_option("COMMAND", inv->index, "The command")->type_name("");
  return app;
}

// Optimal string alignment distance: edits, a swap of two neighbours
// counting as one, as in "lsit".
size_t edit_distance(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// What a search's options ask of the request, which --request gives whole.
const char *const kRequestShapers[] = {"QUERY",       "--limit",   "--offset", "--where",
                                       "--sort",      "--facet",   "--fields", "--all-words",
                                       "--highlight", "--snippet", "--rank"};

// A search needs a query unless its options make it a browse, and its
// conditions and sort keys must read.
bool search_options_hold(const invocation &inv, std::string *problem) {
  if (inv.words.empty() && !is_request_search(inv)) {
    *problem = "QUERY is required, or an option such as --where or --sort to browse";
    return false;
  }
  std::string unused;
  return inv.request_given || !is_request_search(inv) ||
         build_request(inv, request_choices{}, &unused, problem);
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

void unknown_command(const std::string &word, bool in_shell) {
  std::string nearest;
  size_t best = SIZE_MAX;
  std::vector<std::string> names;
  for (const command_summary &c : kCommands) {
    if (!in_shell || std::string(c.name) != "shell") names.push_back(c.name);
  }
  if (in_shell) names.insert(names.end(), {"exit", "quit"});
  for (const std::string &name : names) {
    // Beyond a typo or two (one in a short name) it is another word.
    size_t distance = edit_distance(word, name);
    if (distance < best && distance <= (name.size() >= 5 ? 2u : 1u)) {
      best = distance;
      nearest = name;
    }
  }
  if (!nearest.empty()) {
    fprintf(stderr, "searchdb: unknown command '%s'; did you mean '%s'?\n", word.c_str(),
            nearest.c_str());
  } else {
    fprintf(stderr, "searchdb: unknown command '%s'; '%shelp' lists the commands\n", word.c_str(),
            in_shell ? "" : "searchdb ");
  }
}

parse_result parse_command_line(const std::vector<std::string> &words, bool in_shell,
                                invocation *inv) {
  *inv = invocation{};
  std::vector<std::string> dirs;
  std::unique_ptr<CLI::App> app = make_app(inv, &dirs, in_shell);
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
      unknown_command(left[0], in_shell);
      return parse_result::refused;
    }
  } catch (const CLI::ParseError &e) {
    problem = e.what();
  }
  if (problem.empty()) {
    inv->dir_given = !dirs.empty();
    if (inv->dir_given) inv->dir = dirs.back();
    if (inv->command.empty()) {
      problem = "no command given";
    } else if (in_shell && inv->dir_given) {
      problem =
          "the shell's storage directory is fixed; '" + inv->command + "' takes no option '--dir'";
    } else if (dirs.size() > 1) {
      problem = "--dir is given " + std::to_string(dirs.size()) +
                " times; give the storage directory once";
    } else if (inv->clear_set_aside && inv->index.empty()) {
      problem = "--clear-set-aside needs the NAME of the index whose files to remove";
    } else {
      const CLI::App *sub = app->get_subcommand(inv->command);
      const CLI::Option *file = sub->get_option_no_throw("FILE");
      const CLI::Option *key = sub->get_option_no_throw("--primary-key");
      const CLI::Option *request = sub->get_option_no_throw("--request");
      inv->has_argument = file && file->count() > 0;
      inv->primary_key_given = key && key->count() > 0;
      inv->request_given = request && request->count() > 0;
      if (inv->request_given) {
        for (const char *name : kRequestShapers) {
          if (problem.empty() && sub->get_option(name)->count() > 0)
            problem = "--request is the whole search; it takes no " + std::string(name);
        }
      }
      if (problem.empty() && (inv->command != "search" || search_options_hold(*inv, &problem)))
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
  std::vector<std::string> dirs;
  std::unique_ptr<CLI::App> app = make_app(&unused, &dirs, in_shell);
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
