/*
 * lmx_documents.cpp: the documents handler, lmx_execute_documents.
 *
 * One index's documents, chosen by the exact, case-sensitive request method:
 * POST adds the documents of the request body, GET without a document
 * identifier lists the first 20 documents, GET with one fetches it, DELETE
 * removes it. The engine does the work; this file only turns the request
 * into one engine call and the result into one answer through the
 * responders (lmx_respond.cpp).
 *
 * Neither the index name nor the identifier is validated or decoded here;
 * both reach the engine unchanged. The body is never parsed here either: the
 * engine takes it as a NUL-terminated text, so a body holding a NUL byte is
 * refused before the engine is called (the engine would see only the part
 * before the NUL and add a partial batch). Listing never fails: whatever goes
 * wrong, the answer is the empty array. The listing re-writes the engine's
 * hits with their numbers as raw text, so every document is listed exactly
 * as it was stored.
 *
 * lmx_execute_documents_routed, api_router's entry, answers the same except
 * that a document beyond the engine's size limits (error code
 * LUMIDEX_ERROR_DOCUMENT_TOO_LARGE, lumidex_admin.h) is answered 400
 * "document_too_large", so a client can tell a body to split or shrink from
 * one to correct; the message is the engine's text, which names the limit.
 * The requests only api_router serves (the listing's parameters, partial
 * updates, bulk deletions) are lmx_documents_bulk.cpp's.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"
#include "nl_cgi.h"

/* Listing size: the first page of the engine's unranked listing. */
#define DOCS_LIST_LIMIT 20
/* Addition answer buffer; the longest answer (a 19-digit count with its
 * sign, "updated") is 98 bytes. */
#define DOCS_ADD_ANSWER_SIZE 256

/* The error code of a failed addition: "document_too_large" for a document
 * beyond the engine's limits when name_too_large is set, else
 * "document_addition_failed". */
static const char *addition_error_code(int name_too_large) {
  if (name_too_large &&
      lumidex_last_error_code() == LUMIDEX_ERROR_DOCUMENT_TOO_LARGE)
    return "document_too_large";
  return "document_addition_failed";
}

/* POST: adds the documents of the request body; partial (api_router's
 * PATCH): updates them in part, answering "updated" for "added". */
static void write_documents(const char *index, int name_too_large,
                            int partial) {
  uint64_t body_len = 0;
  char *body = cgi_read_post(&body_len);
  if (!body || body_len == 0) {
    free(body);
    lmx_respond_error(400, "missing_payload", "Payload is required");
    return;
  }
  /* The engine reads the body up to its first NUL; a body with a NUL inside
   * would be added in part and reported as a success. */
  if (strlen(body) != body_len) {
    free(body);
    lmx_respond_error(400, "document_addition_failed",
                      "Payload holds a NUL byte");
    return;
  }
  long long added = partial
                        ? lumidex_documents_update(index, body, NULL, NULL)
                        : lumidex_documents_add(index, body);
  free(body);
  if (added < 0) {
    const char *code = addition_error_code(name_too_large);
    lmx_respond_error(400, code,
                      lmx_engine_error_or("Failed to add documents"));
    return;
  }
  char answer[DOCS_ADD_ANSWER_SIZE];
  snprintf(answer, sizeof answer,
           "{\"status\":\"succeeded\",\"type\":\"documentAdditionOrUpdate\","
           "\"taskUid\":1,\"%s\":%lld}",
           partial ? "updated" : "added", added);
  lmx_respond_json(200, answer);
}

/* GET without identifier: the "hits" of an empty-query search, compact.
 * Every failure gives the empty array; the engine's error is not consulted. */
static void list_documents(const char *index) {
  const char *found = lumidex_search(index, "", DOCS_LIST_LIMIT, 0);
  if (!found) {
    lmx_respond_json(200, "[]");
    return;
  }
  /* Without YYJSON_READ_INSITU the reader never writes into the text, so the
   * engine's read-only text may be handed over. Numbers are kept as their
   * raw text: read as doubles, a 30-digit id would be rounded, 1.50 written
   * as 1.5, and one number beyond a double's range (1e400, which the engine
   * stores as sent) would fail the whole read and list nothing. */
  yyjson_doc *doc = yyjson_read_opts((char *)found, strlen(found),
                                     YYJSON_READ_NUMBER_AS_RAW, NULL, NULL);
  yyjson_val *hits = yyjson_obj_get(yyjson_doc_get_root(doc), "hits");
  char *text = hits ? yyjson_val_write_opts(hits, 0, NULL, NULL, NULL) : NULL;
  lmx_respond_json(200, text ? text : "[]");
  free(text);
  yyjson_doc_free(doc);
}

/* GET with identifier: the engine's document text unchanged. */
static void fetch_document(const char *index, const char *doc_id) {
  const char *doc = lumidex_document_get(index, doc_id);
  if (!doc) {
    lmx_respond_error(404, "document_not_found", "Document not found");
    return;
  }
  lmx_respond_json(200, doc);
}

/* DELETE: removes one document. */
static void delete_document(const char *index, const char *doc_id) {
  if (!doc_id || !doc_id[0]) {
    lmx_respond_error(400, "missing_document_id",
                      "Document ID is required for deletion");
    return;
  }
  if (lumidex_document_delete(index, doc_id) != 0) {
    lmx_respond_error(404, "document_not_found",
                      lmx_engine_error_or("Document not found"));
    return;
  }
  lmx_respond_json(200,
                   "{\"status\":\"succeeded\",\"taskUid\":1,"
                   "\"type\":\"documentDeletion\"}");
}

static void execute(const char *index, const char *doc_id, int name_too_large) {
  /* The name is checked before the method so that every method reports a
   * missing name the same way. */
  if (!index || !index[0]) {
    lmx_respond_error(400, "missing_index_name", "Index name is required");
    return;
  }
  const char *method = cgi_method();
  if (strcmp(method, "POST") == 0) {
    write_documents(index, name_too_large, 0);
  } else if (strcmp(method, "GET") == 0) {
    if (doc_id && doc_id[0])
      fetch_document(index, doc_id);
    else
      list_documents(index);
  } else if (strcmp(method, "DELETE") == 0) {
    delete_document(index, doc_id);
  } else {
    lmx_respond_error(405, "method_not_allowed", "Method not allowed");
  }
}

void lmx_execute_documents(const char *index, const char *doc_id) {
  execute(index, doc_id, 0);
}

void lmx_update_documents(const char *index) { write_documents(index, 1, 1); }

void lmx_execute_documents_routed(const char *index, const char *doc_id) {
  if (index && index[0] && lmx_execute_documents_bulk(index, doc_id)) return;
  execute(index, doc_id, 1);
}
