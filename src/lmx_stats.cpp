/*
 * lmx_stats.cpp: the statistics handler, lmx_execute_stats.
 *
 * Fetches the engine's statistics of one index as JSON text, reads its
 * document count, and wraps count and text into one fixed object:
 *   {"numberOfDocuments":N,"document_count":N,"isIndexing":false,
 *    "fieldDistribution":{},"stats":TEXT}
 * TEXT is the engine's text unchanged. The request is not read at all, so
 * every method gets the same answer.
 *
 * The engine says "no such index" with a null result or the exact text
 * "null"; any other text is statistics. A text that does not parse as JSON is
 * answered unchanged, unwrapped. The count is the low 32 bits of an integer
 * "document_count" at the top level, else 0 (a real such as 12.0 is not an
 * integer). The answer is sized from the statistics text, so it is never
 * cut, whatever the text's length.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

/* The wrapping object; the count goes into both number slots. */
static const char stats_template[] =
    "{\"numberOfDocuments\":%u,\"document_count\":%u,\"isIndexing\":false,"
    "\"fieldDistribution\":{},\"stats\":%s}";
/* Room for the template's fixed text and two counts of up to ten digits. */
#define STATS_FIXED_ROOM (sizeof stats_template + 2 * 10)

/* The document count of a parsed statistics text, as tabled above. */
static uint32_t document_count(yyjson_doc *doc) {
  yyjson_val *count =
      yyjson_obj_get(yyjson_doc_get_root(doc), "document_count");
  /* yyjson_get_uint gives a signed integer's bits unchanged, so -1 reads as
   * 0xffffffff once cut to 32 bits. */
  if (!yyjson_is_int(count)) return 0;
  return (uint32_t)yyjson_get_uint(count);
}

void lmx_execute_stats(const char *index) {
  if (!index || !index[0]) {
    lmx_respond_error(400, "missing_index_name", "Index name is required");
    return;
  }
  const char *stats = lumidex_index_stats_json(index);
  if (!stats || strcmp(stats, "null") == 0) {
    lmx_respond_error(404, "index_not_found", "Index not found");
    return;
  }
  size_t stats_len = strlen(stats);
  /* Not read in place, so the engine's read-only text is never written. */
  yyjson_doc *doc = yyjson_read_opts((char *)stats, stats_len, 0, NULL, NULL);
  if (!doc) {
    lmx_respond_json(200, stats);
    return;
  }
  unsigned count = document_count(doc);
  yyjson_doc_free(doc);

  size_t size = STATS_FIXED_ROOM + stats_len;
  char *answer = (char *)malloc(size);
  if (!answer) {
    lmx_respond_error(500, "internal_error", "Out of memory");
    return;
  }
  snprintf(answer, size, stats_template, count, count, stats);
  lmx_respond_json(200, answer);
  free(answer);
}
