/*
 * lmx_search_request.cpp: api_router's search handler,
 * lmx_execute_search_request. The specified search handler (lmx_search.cpp)
 * stays as it is for api_search; this one passes the whole request to the
 * engine's JSON entry (lumidex_search_request, lumidex_search.h), which
 * checks every member strictly, so a parameter the engine does not know is
 * refused instead of ignored.
 *
 * Where the request comes from:
 *  - GET (and every method but POST): the query string, each parameter one
 *    member of the request object. limit, offset and cropLength take
 *    numbers: text of decimal digits becomes a number, anything else stays
 *    text and the engine refuses it as not an integer. sort, facets,
 *    attributesToRetrieve and attributesToCrop take lists: their elements
 *    joined by commas ("price:asc,title:desc") become an array of strings
 *    (an empty value is the empty list); highlight takes true or false
 *    (other text is refused as not a boolean). Every other parameter is
 *    passed as text (lmx_request_of_query_string, which the documents
 *    listing shares), an unknown one included (the engine names it in its
 *    refusal), and a repeated one twice (refused too). Values are
 *    decoded as cgi_query decodes them, uncut, so "q" may be as long as the
 *    engine takes (4096 bytes). There is no fallback to environment
 *    variables when the query string is empty.
 *  - POST: the body, a JSON object, handed over as it is; an empty body is
 *    the empty request. A parameter in the query string as well is refused
 *    (which of the two was meant cannot be known), and so is a body holding
 *    a NUL byte (the engine reads up to the first one).
 *
 * Answers: 200 with the engine's JSON unchanged; 400 "missing_index_name",
 * 400 "invalid_search_parameter", 400 "invalid_search_matching_strategy",
 * 400 "invalid_search_filter" (the message says at which byte a malformed
 * filter fails, or names the attribute that is not filterable), 400
 * "invalid_search_sort", 400 "invalid_search_facets", 404
 * "index_not_found" (the engine's texts; also for an index that cannot be
 * read, as the specified handler answers). Nothing is kept between
 * requests: a FastCGI worker serves each with fresh buffers.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_search.h"
#include "nl_cgi.h"

/* Parameter names longer than this are cut in the request (and so in the
 * engine's message naming them); no parameter the engine knows is near it. */
#define SEARCH_NAME_SIZE 256

/* 1 when text (len bytes) is one or more decimal digits. */
static int all_digits(const char *text, size_t len) {
  if (len == 0) return 0;
  for (size_t i = 0; i < len; i++)
    if (text[i] < '0' || text[i] > '9') return 0;
  return 1;
}

/* The search parameters that take lists. */
static const char *const kSearchLists[] = {
    "sort", "facets", "attributesToRetrieve", "attributesToCrop", NULL};
/* Parameters taken as numbers when written in digits (after: the documents
 * listing's position), and as booleans when "true" or "false". */
static const char *const kNumberParameters[] = {"limit", "offset",
                                                "cropLength", "after", NULL};
static const char *const kBooleanParameters[] = {"highlight", NULL};

/* 1 when name is one of the null-terminated names (null: none). */
static int named_in(const char *name, const char *const *names) {
  for (; names && *names; names++)
    if (strcmp(name, *names) == 0) return 1;
  return 0;
}

/* The comma-separated elements of value (len bytes) as a JSON array of
 * strings ("" is the empty array; an empty element stays, for the engine
 * to refuse). Null when memory runs out. */
static yyjson_mut_val *list_of(yyjson_mut_doc *doc, const char *value,
                               size_t len) {
  yyjson_mut_val *arr = yyjson_mut_arr(doc);
  size_t start = 0;
  if (arr == NULL || len == 0) return arr;
  for (size_t i = 0; i <= len; i++) {
    if (i < len && value[i] != ',') continue;
    if (!yyjson_mut_arr_add_strncpy(doc, arr, value + start, i - start))
      return NULL;
    start = i + 1;
  }
  return arr;
}

/* Adds one parameter to the request object obj: an array (list_of) for a
 * name of lists, true or false for a boolean parameter written so, a
 * number for a number parameter written in digits (saturated at
 * UINT64_MAX; the engine clamps or refuses), else the text. 0 when memory
 * runs out. */
static int add_parameter(yyjson_mut_doc *doc, yyjson_mut_val *obj,
                         const char *name, const char *value, size_t value_len,
                         const char *const *lists) {
  yyjson_mut_val *key = yyjson_mut_strcpy(doc, name);
  yyjson_mut_val *val;
  if (named_in(name, lists)) {
    val = list_of(doc, value, value_len);
  } else if (named_in(name, kBooleanParameters) &&
             (strcmp(value, "true") == 0 || strcmp(value, "false") == 0) &&
             strlen(value) == value_len) {
    val = yyjson_mut_bool(doc, value[0] == 't');
  } else if (named_in(name, kNumberParameters) &&
             all_digits(value, value_len)) {
    uint64_t n = 0;
    for (size_t i = 0; i < value_len; i++) {
      unsigned digit = (unsigned)(value[i] - '0');
      n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
    }
    val = yyjson_mut_uint(doc, n);
  } else {
    val = yyjson_mut_strncpy(doc, value, value_len);
  }
  return key && val && yyjson_mut_obj_add(obj, key, val);
}

char *lmx_request_of_query_string(const char *const *lists) {
  const char *qs = cgi_env("QUERY_STRING", "");
  size_t value_size = strlen(qs) + 1; /* decoding never lengthens */
  char name[SEARCH_NAME_SIZE];
  char *value = (char *)malloc(value_size);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(NULL);
  yyjson_mut_val *obj = doc ? yyjson_mut_obj(doc) : NULL;
  char *json = NULL;
  size_t pos = 0, value_len = 0;
  int ok = value != NULL && obj != NULL;

  if (ok) yyjson_mut_doc_set_root(doc, obj);
  while (ok && cgi_query_next(&pos, name, sizeof name, NULL, value, value_size,
                              &value_len))
    ok = add_parameter(doc, obj, name, value, value_len, lists);
  /* Query text may hold bytes that are not UTF-8; the engine reads them as
   * word separators, as lumidex_search does. */
  if (ok)
    json = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, NULL);
  yyjson_mut_doc_free(doc);
  free(value);
  return json;
}

/* 1 when name is printable ASCII other than '`', so a message may quote it
 * (a message is JSON text: raw bytes could make it invalid UTF-8). */
static int printable(const char *name) {
  for (; *name; name++)
    if (*name < '!' || *name > '~' || *name == '`') return 0;
  return 1;
}

/* The POST body as the request text, malloc'd; null after answering a
 * refusal (or when memory runs out, answered too). */
static char *request_of_body(void) {
  char name[SEARCH_NAME_SIZE], value[1], message[SEARCH_NAME_SIZE + 128];
  size_t pos = 0;
  uint64_t body_len = 0;
  char *body;

  if (cgi_query_next(&pos, name, sizeof name, NULL, value, sizeof value,
                     NULL)) {
    nl_snprintf(message, sizeof message,
                "Invalid search parameter `%s`: a POST search takes its "
                "parameters from the JSON body, not from the query string.",
                printable(name) ? name : "?");
    lmx_respond_error(400, "invalid_search_parameter", message);
    return NULL;
  }
  body = cgi_read_post(&body_len);
  if (body == NULL || body_len == 0) {
    free(body);
    body = strdup("{}");
    if (body == NULL) lmx_respond_error(500, "internal_error", "Out of memory");
    return body;
  }
  if (strlen(body) != body_len) {
    free(body);
    lmx_respond_error(400, "invalid_search_parameter",
                      "Invalid search request: the body holds a NUL byte.");
    return NULL;
  }
  return body;
}

/* Answers the engine's failure after lumidex_search_request returned null. */
static void respond_failure(void) {
  const char *reason = lmx_engine_error_or("Search failed");
  switch (lumidex_last_error_code()) {
    case LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER:
      lmx_respond_error(400, "invalid_search_parameter", reason);
      break;
    case LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY:
      lmx_respond_error(400, "invalid_search_matching_strategy", reason);
      break;
    case LUMIDEX_ERROR_INVALID_FILTER:
      lmx_respond_error(400, "invalid_search_filter", reason);
      break;
    case LUMIDEX_ERROR_INVALID_SORT:
      lmx_respond_error(400, "invalid_search_sort", reason);
      break;
    case LUMIDEX_ERROR_INVALID_FACETS:
      lmx_respond_error(400, "invalid_search_facets", reason);
      break;
    default:
      /* As the specified search handler answers every failure: a missing
       * index, or one that cannot be read (its text says which). */
      lmx_respond_error(404, "index_not_found", reason);
      break;
  }
}

void lmx_execute_search_request(const char *index) {
  int post = strcmp(cgi_method(), "POST") == 0;
  char *request;
  const char *answer;

  if (!index || index[0] == '\0') {
    lmx_respond_error(400, "missing_index_name", "Index name is required");
    return;
  }
  request = post ? request_of_body() : lmx_request_of_query_string(kSearchLists);
  if (request == NULL) {
    if (!post) lmx_respond_error(500, "internal_error", "Out of memory");
    return;
  }
  answer = lumidex_search_request(index, request);
  free(request);
  if (answer)
    lmx_respond_json(200, answer);
  else
    respond_failure();
}
