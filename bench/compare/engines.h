// The engines compared: searchdb and the embedded peers a user would pick
// instead. Each builds a persisted index in a folder of its own, reopens
// it, and answers the top 20 of a query of each class with the stored
// documents, as close to searchdb's kind of query as it has.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "corpus.h"
#include "requests.h"

// The index searchdb's engine builds and searches.
inline constexpr char kSearchdbIndex[] = "bench";

struct Engine {
  virtual ~Engine() = default;
  // Called once with every document before the build is timed, to put it in
  // the form the engine takes.
  virtual void Stage(const std::string &json) = 0;
  // Builds the persisted, searchable index in dir from the staged documents.
  virtual bool Build(const std::string &dir) = 0;
  // Opens the index that Build left in dir.
  virtual bool Open(const std::string &dir) = 0;
  // Answers the top 20 for q, fetching the stored documents.
  virtual void Search(const Query &q) = 0;
  // The ids of the last answer, in rank order (read after the timing).
  virtual std::vector<std::string> LastIds() = 0;
  virtual std::string Error() = 0;
  // Answers a request in the engine's own form of it; false when the engine
  // failed or cannot answer it. The answer is kept as the engine gives it
  // and read by LastOutcome, after the timing.
  virtual bool Run(const Request &r) = 0;
  // Keeps in r->prepared what the engine can make of a request ahead of
  // time, as a host keeps its requests in whatever form it likes.
  virtual void Prepare(Request *) {}
  virtual Outcome LastOutcome() = 0;
  // The text of the last answer, for engines that answer in text.
  virtual std::string LastText() { return ""; }
  // Adds one document to the open index, in place of the one with its id;
  // false when the engine failed or cannot.
  virtual bool Add(const std::string &) { return false; }
};

std::unique_ptr<Engine> NewSearchdbEngine();
// searchdb as built from the commit the current work started from, loaded
// with dlopen from ReferenceLibraryPath(); null when there is none.
std::unique_ptr<Engine> NewSearchdbBeforeEngine();
// SEARCHDB_REFERENCE_LIB, else the library the build made from that commit
// (the CMake target searchdb_reference), else "".
std::string ReferenceLibraryPath();
std::unique_ptr<Engine> NewFts5Engine();
std::unique_ptr<Engine> NewXapianEngine();
