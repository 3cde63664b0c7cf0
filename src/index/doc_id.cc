#include <cstring>

#include "index/doc_id.h"
#include "base/number_text.h"

sdb_id_status sdb_doc_id_of(yyjson_val *doc, const char *primary_key,
                            char number_buf[SDB_NUMBER_ID_SIZE], const char **id) {
  if (!yyjson_is_obj(doc)) return SDB_ID_MISSING;
  yyjson_val *value = yyjson_obj_getn(doc, primary_key, strlen(primary_key));
  if (yyjson_is_str(value)) {
    *id = yyjson_get_str(value);
    return strlen(*id) == yyjson_get_len(value) ? SDB_ID_OK : SDB_ID_HAS_NUL;
  }
  if (yyjson_is_num(value)) {
    sdb_print_fixed(number_buf, SDB_NUMBER_ID_SIZE, yyjson_get_num(value), 0);
    *id = number_buf;
    return SDB_ID_OK;
  }
  return SDB_ID_MISSING;
}
