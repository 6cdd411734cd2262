/*
 * lmx_search.cpp: the search handler, the one handler the search program's
 * entry calls.
 *
 * It gathers the query text, the limit and the offset, calls lumidex_search
 * and answers the engine's JSON text unchanged (200), or the error envelope:
 * 400 "missing_index_name" for an empty name, 404 "index_not_found" for any
 * engine failure (with the engine's last error as message when it has one).
 *
 * Where the values come from, in order:
 *  - a JSON object body, read only when REQUEST_METHOD is exactly "POST":
 *    "q" (or, only when there is no "q" member at all, "query") when it is a
 *    string; "limit" and "offset" when stored as integers, keeping their low
 *    32 bits. A body that is missing, empty, not JSON or not an object is
 *    simply ignored.
 *  - the query string: "q", then "query", only while no query text was found;
 *    "limit" when it converts to 1 or more, "offset" when it converts to 0 or
 *    more (text that is no number converts to 0).
 *  - the defaults: "", 20 and 0. The engine clamps limit and offset itself.
 *
 * The index name is used as given. It may be a query-string result of the
 * entry, which lives in the toolkit's eight-slot ring: this handler makes at
 * most four lookups so that name is never overwritten while in use.
 */
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

#define SEARCH_DEFAULT_LIMIT 20
#define SEARCH_DEFAULT_OFFSET 0

typedef struct search_params {
  char query[LMX_PATH_SIZE];
  int limit;
  int offset;
} search_params;

/* Integer member key of obj as a signed 32-bit value (low 32 bits of the
 * stored 64-bit integer), or fallback when absent or not an integer. */
static int body_int(yyjson_val *obj, const char *key, int fallback) {
  yyjson_val *val = yyjson_obj_get(obj, key);
  return yyjson_is_int(val) ? yyjson_get_int(val) : fallback;
}

/* Takes what a JSON object body holds into params. */
static void read_body_object(yyjson_val *root, search_params *params) {
  yyjson_val *q = yyjson_obj_get(root, "q");

  /* A "q" of the wrong type still hides "query": the client named q. */
  if (!q) q = yyjson_obj_get(root, "query");
  if (yyjson_is_str(q))
    nl_strlcpy(params->query, yyjson_get_str(q), sizeof params->query);
  params->limit = body_int(root, "limit", SEARCH_DEFAULT_LIMIT);
  params->offset = body_int(root, "offset", SEARCH_DEFAULT_OFFSET);
}

/* Reads and parses a POST body; nothing in it is ever an error. */
static void read_body(search_params *params) {
  uint64_t body_len = 0;
  char *body = cgi_read_post(&body_len);
  yyjson_doc *doc;
  yyjson_val *root;

  if (!body) return;
  if (body_len == 0) {
    free(body);
    return;
  }
  doc = yyjson_read_opts(body, (size_t)body_len, 0, NULL, NULL);
  root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root) && yyjson_obj_size(root) > 0)
    read_body_object(root, params);
  yyjson_doc_free(doc);
  free(body);
}

/* Decimal text as an int, saturating out-of-range values instead of
 * wrapping; text that is no number gives 0. */
static int query_int(const char *text) {
  long value;

  value = strtol(text, NULL, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return (int)value;
}

/* The query-string stage: at most the four lookups q, query, limit, offset. */
static void read_query_string(search_params *params) {
  const char *text;

  if (params->query[0] == '\0') {
    text = cgi_query("q");
    if (text[0] == '\0') text = cgi_query("query");
    nl_strlcpy(params->query, text, sizeof params->query);
  }
  text = cgi_query("limit");
  if (text[0] != '\0') {
    int limit = query_int(text);
    if (limit >= 1) params->limit = limit;
  }
  text = cgi_query("offset");
  if (text[0] != '\0') {
    int offset = query_int(text);
    if (offset >= 0) params->offset = offset;
  }
}

void lmx_execute_search(const char *index) {
  search_params params;
  const char *answer;
  const char *reason;

  /* Checked before the request is looked at, so a nameless request reads
   * neither body nor query string. */
  if (!index || index[0] == '\0') {
    lmx_respond_error(400, "missing_index_name", "Index name is required");
    return;
  }
  memset(&params, 0, sizeof params);
  params.limit = SEARCH_DEFAULT_LIMIT;
  params.offset = SEARCH_DEFAULT_OFFSET;

  if (strcmp(cgi_method(), "POST") == 0) read_body(&params);
  read_query_string(&params);

  answer = lumidex_search(index, params.query, params.limit, params.offset);
  if (answer) {
    lmx_respond_json(200, answer);
    return;
  }
  reason = lumidex_last_error();
  lmx_respond_error(404, "index_not_found",
                    (reason && reason[0]) ? reason : "Index not found");
}
