/* The smallest complete use of searchdb from C: open a storage directory,
 * create an index, add two documents, search them and print the answer.
 *
 *   cc -std=c11 hello.c $(pkg-config --cflags --libs searchdb) -o hello
 *   ./hello hello-store
 */
#include <searchdb.h>
#include <stdio.h>
#include <string.h>

/* Every failure is explained by searchdb_last_error(), read right after the
 * call that failed. */
static int fail(const char *call) {
  fprintf(stderr, "%s: %s\n", call, searchdb_last_error());
  searchdb_cleanup();
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s STORAGE_DIR\n", argv[0]);
    return 2;
  }
  if (searchdb_init(argv[1]) != 0) return fail("searchdb_init");
  /* A second run finds the index already there, and adding the same
   * documents again replaces them. */
  if (strcmp(searchdb_index_stats_json("books"), "null") == 0 &&
      searchdb_index_create("books", NULL) != 0)
    return fail("searchdb_index_create");

  const char *books =
      "[{\"id\":\"1\",\"title\":\"The Hobbit\",\"author\":\"J. R. R. Tolkien\",\"year\":1937},"
      " {\"id\":\"2\",\"title\":\"Dune\",\"author\":\"Frank Herbert\",\"year\":1965}]";
  int added = searchdb_documents_add("books", books);
  if (added < 0) return fail("searchdb_documents_add");
  printf("added %d documents\n", added);

  /* Text results belong to the library and are replaced by the next call
   * that returns text: print (or copy) them first. */
  const char *result = searchdb_search("books", "hobbit", 10, 0);
  if (strcmp(result, "null") == 0) return fail("searchdb_search");
  printf("%s\n", result); /* {"hits":[{"id":"1","title":"The Hobbit",...}],...,"totalHits":1} */

  searchdb_cleanup();
  return 0;
}
