#include "storage/change.h"

namespace {

struct {
  sdb_generations gens;
  bool list_raised;
} s_change;

}  // namespace

void sdb_change_reset(void) {
  s_change.list_raised = false;
  sdb_generations_forget_raises();
}

sdb_generations *sdb_change_generations(void) {
  return &s_change.gens;
}

bool sdb_change_list_raised(void) {
  return s_change.list_raised;
}

bool sdb_change_raise(bool list, const char *index_name) {
  if (list && !s_change.list_raised) {
    if (!sdb_generations_raise_list(&s_change.gens)) return false;
    s_change.list_raised = true;
  }
  return index_name == nullptr || sdb_generations_raise_index(&s_change.gens, index_name);
}

uint64_t sdb_change_generation(const char *index_name) {
  uint64_t gen = 0;
  sdb_index_generation(&s_change.gens, index_name, &gen);
  return gen;
}
