/*
 * lmx_documents_bulk.cpp: the documents requests only api_router serves
 * (lmx_execute_documents_bulk): the listing with its query-string
 * parameters, partial updates (PATCH), and deletions of many documents,
 * through the engine's lumidex_documents.h.
 *
 * Routes, below /indexes/{uid}/documents:
 *   GET                    the listing: limit, offset, fields, filter
 *   PATCH                  partial documents of the body
 *   DELETE                 every document
 *   POST .../delete-batch  the documents of a JSON array of ids
 *   POST .../delete        the documents matching {"filter": F}
 * A document whose id is "delete" or "delete-batch" is still reached by GET
 * and DELETE on its own route; only a POST there means the deletion.
 *
 * The listing's parameters become one JSON request for the engine, which
 * checks every member (lmx_request_of_query_string), so a parameter it
 * does not know is refused, naming it, instead of ignored. The answer is
 * the engine's "documents" array written compact with numbers as raw
 * text, as the specified listing writes the hits of its search: with no
 * parameter both give the same bytes. Like that listing, a missing index
 * lists "[]".
 *
 * A deletion or an update takes no query-string parameter; one given is
 * refused rather than ignored. Bodies go to the engine as NUL-terminated
 * text, so a body holding a NUL byte is refused first.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_documents.h"
#include "nl_cgi.h"

/* The listing's parameters whose values are comma-separated lists. */
static const char *const kListParameters[] = {"fields", NULL};
/* ("filter" stays one text: a filter expression holds commas itself.) */

/* Parameter names are cut to this in messages. */
#define BULK_NAME_SIZE 128

/* The deletion answer; the longest (a 19-digit count) is 95 bytes. */
#define BULK_ANSWER_SIZE 160

/* 1 when the query string holds no parameter; otherwise answers 400
 * "invalid_document_parameter" naming the first and returns 0. */
static int no_query_parameters(void) {
  char name[BULK_NAME_SIZE], value[1], message[BULK_NAME_SIZE + 96];
  size_t pos = 0;

  if (!cgi_query_next(&pos, name, sizeof name, NULL, value, sizeof value, NULL))
    return 1;
  for (char *c = name; *c; c++)
    if (*c < '!' || *c > '~' || *c == '`') *c = '?';
  nl_snprintf(message, sizeof message,
              "Unknown documents parameter `%s`: this request takes no "
              "query-string parameters.",
              name);
  lmx_respond_error(400, "invalid_document_parameter", message);
  return 0;
}

/* The engine's "documents" array of page, compact, numbers as raw text;
 * malloc'd, null when it cannot be written. */
static char *documents_of(const char *page) {
  yyjson_doc *doc = yyjson_read_opts((char *)page, strlen(page),
                                     YYJSON_READ_NUMBER_AS_RAW, NULL, NULL);
  yyjson_val *docs = yyjson_obj_get(yyjson_doc_get_root(doc), "documents");
  char *text = docs ? yyjson_val_write_opts(docs, 0, NULL, NULL, NULL) : NULL;
  yyjson_doc_free(doc);
  return text;
}

/* GET of the collection. */
static void list_documents(const char *index) {
  char *request = lmx_request_of_query_string(kListParameters);
  if (!request) {
    lmx_respond_error(500, "internal_error", "Out of memory");
    return;
  }
  const char *page = lumidex_documents_list_json(index, request);
  free(request);
  if (!page) {
    int code = lumidex_last_error_code();
    if (code == LUMIDEX_ERROR_INVALID_LIST_PARAMETER)
      lmx_respond_error(400, "invalid_document_parameter",
                        lmx_engine_error_or("Invalid documents parameter"));
    else if (code == LUMIDEX_ERROR_INVALID_FILTER)
      lmx_respond_error(400, "invalid_document_filter",
                        lmx_engine_error_or("Invalid filter"));
    else
      lmx_respond_json(200, "[]");
    return;
  }
  char *text = documents_of(page);
  lmx_respond_json(200, text ? text : "[]");
  free(text);
}

/* Answers a deletion that removed deleted documents (-1: the engine
 * failed); a refused body is body_code. */
static void respond_deleted(long long deleted, const char *body_code) {
  char answer[BULK_ANSWER_SIZE];

  if (deleted >= 0) {
    snprintf(answer, sizeof answer,
             "{\"status\":\"succeeded\",\"type\":\"documentDeletion\","
             "\"taskUid\":1,\"deleted\":%lld}",
             deleted);
    lmx_respond_json(200, answer);
    return;
  }
  const char *reason = lmx_engine_error_or("Deletion failed");
  switch (lumidex_last_error_code()) {
    case LUMIDEX_ERROR_INDEX_NOT_FOUND:
    case LUMIDEX_ERROR_INVALID_ARGUMENT:
      lmx_respond_error(404, "index_not_found", reason);
      break;
    case LUMIDEX_ERROR_INVALID_BODY:
      lmx_respond_error(400, body_code, reason);
      break;
    case LUMIDEX_ERROR_INVALID_FILTER:
      lmx_respond_error(400, "invalid_document_filter", reason);
      break;
    default:
      lmx_log_reason(reason);
      lmx_respond_error(500, "internal_error", reason);
      break;
  }
}

/* POST .../delete-batch (by_filter 0): the ids of the body, a JSON
 * array; POST .../delete (by_filter 1): the documents matching the filter
 * of the body, {"filter": F}. */
static void delete_posted(const char *index, int by_filter) {
  const char *code =
      by_filter ? "invalid_document_filter" : "invalid_document_ids";
  uint64_t body_len = 0;
  char *body = cgi_read_post(&body_len);

  if (!body || body_len == 0) {
    free(body);
    lmx_respond_error(400, "missing_payload",
                      by_filter ? "Payload is required: {\"filter\": ...}"
                                : "Payload is required: a JSON array of "
                                  "document ids");
    return;
  }
  if (strlen(body) != body_len) {
    free(body);
    lmx_respond_error(400, code, "Payload holds a NUL byte");
    return;
  }
  long long deleted =
      by_filter ? lumidex_documents_delete_filter(index, body, NULL, NULL)
                : lumidex_documents_delete_ids(index, body, NULL, NULL);
  free(body);
  respond_deleted(deleted, code);
}

int lmx_execute_documents_bulk(const char *index, const char *doc_id) {
  const char *method = cgi_method();
  int collection = !doc_id || !doc_id[0];

  if (collection && strcmp(method, "GET") == 0) {
    list_documents(index);
  } else if (collection && strcmp(method, "PATCH") == 0) {
    if (no_query_parameters()) lmx_update_documents(index);
  } else if (collection && strcmp(method, "DELETE") == 0) {
    if (no_query_parameters())
      respond_deleted(lumidex_documents_delete_all(index, NULL, NULL),
                      "invalid_document_ids");
  } else if (!collection && strcmp(method, "POST") == 0 &&
             (strcmp(doc_id, "delete-batch") == 0 ||
              strcmp(doc_id, "delete") == 0)) {
    if (no_query_parameters())
      delete_posted(index, strcmp(doc_id, "delete") == 0);
  } else {
    return 0;
  }
  return 1;
}
