/*
 * lumidex_documents.h: the engine's bulk document operations: listing with
 * paging, a filter and a choice of fields, partial updates, and deleting
 * many documents (by id, by filter, or all of them) in one transaction
 * each.
 *
 * They serve api_router's documents routes and the `lumidex` tool; the
 * specified handlers use only lumidex_core.h. Same conventions as
 * lumidex_core.h: texts are NUL-terminated UTF-8, a returned text belongs
 * to the library and stays valid until the next call into it, failures
 * come back as null or -1 and are described by lumidex_last_error() and,
 * as a value, lumidex_last_error_code() (lumidex_admin.h). Every function
 * needs lumidex_init().
 *
 * Ids are primary-key values as lumidex_documents_add takes them: a string
 * of 1 to 127 bytes of A-Z a-z 0-9 - _, or an integer, which is the same
 * id as its decimal text (7 and "7" name one document).
 */
#ifndef LUMIDEX_DOCUMENTS_H
#define LUMIDEX_DOCUMENTS_H

#include "lumidex_admin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Most documents one listing request returns. */
#define LUMIDEX_LIST_LIMIT_MAX 1000
/* Documents a listing request returns when it names no limit. */
#define LUMIDEX_LIST_LIMIT_DEFAULT 20

/* Lists documents of index in insertion order. request_json is a JSON
 * object of these members, each optional (null or "" is the empty request):
 *   "offset"  integer >= 0: documents skipped first (default 0);
 *   "limit"   integer 1..LUMIDEX_LIST_LIMIT_MAX: documents returned at most
 *             (default LUMIDEX_LIST_LIMIT_DEFAULT);
 *   "after"   integer >= 0: start after this position (a "next" of an
 *             earlier answer), so that pages of a long walk each cost the
 *             same; the offset then counts from there (default 0: the
 *             beginning);
 *   "fields"  array of field names (dotted paths reach into objects; "*"
 *             means every field): each document carries only these
 *             members, within the index's displayedAttributes, and always
 *             its primary key;
 *   "filter"  a filter expression, or an array of them, as a search's
 *             "filter" (lumidex_search.h): only the documents it matches
 *             are listed, on the attributes of the index's
 *             filterableAttributes setting.
 * Each document is what a search hit shows of it (the stored document, cut
 * to the displayed attributes), numbers exactly as they were sent. Skipping
 * an offset steps over document ids only; no document is read but those
 * returned.
 *
 * Returns {"documents":[...],"next":P}: P is the position to pass as
 * "after" for the following page, or 0 when no document follows. Null on
 * failure; lumidex_last_error_code() then gives
 *  - LUMIDEX_ERROR_INVALID_LIST_PARAMETER: request_json is not a JSON
 *    object, or a member is unknown, given twice, of the wrong type or out
 *    of range (the text names it and what it takes);
 *  - LUMIDEX_ERROR_INVALID_FILTER: the filter is malformed (the text says
 *    where and what was expected) or names an attribute that is not
 *    filterable (the text lists those that are);
 *  - LUMIDEX_ERROR_INDEX_NOT_FOUND, LUMIDEX_ERROR_INVALID_ARGUMENT (an
 *    invalid index name), LUMIDEX_ERROR_INTERNAL.
 * The request is checked before the index is looked up. */
const char *lumidex_documents_list_json(const char *index,
                                        const char *request_json);

/* Updates documents of index in part. body is a JSON array of objects, one
 * object, or NDJSON (as lumidex_documents_add reads it); each object holds
 * the primary key and the top-level members to change. A member given
 * replaces the stored member of that name (null stores null), members not
 * given stay as stored, and a document that does not exist is added as
 * given; a document named several times in the body takes each change in
 * body order. The index is created, with primary key "id", when it does not
 * exist. Every document is checked and written in one transaction: nothing
 * is written unless all are. progress (may be null) is called with user as
 * the documents are written, as lumidex_settings_update_json calls it.
 *
 * Returns the number of documents in body, or -1 on failure with
 * lumidex_last_error_code() LUMIDEX_ERROR_INVALID_BODY (the body, or a
 * document in it, is not what is taken: lumidex_last_error_position() says
 * which), LUMIDEX_ERROR_DOCUMENT_TOO_LARGE (a document, once merged, is
 * beyond the engine's limits), LUMIDEX_ERROR_INVALID_ARGUMENT (an invalid
 * index name) or LUMIDEX_ERROR_INTERNAL. body null reads as "". */
long long lumidex_documents_update(const char *index, const char *body,
                                   lumidex_progress_fn progress, void *user);

/* Deletes the documents of index named by ids_json, a JSON array of ids
 * (strings or integers; [] deletes nothing), in one transaction. Ids of no
 * document, and ids given again, are skipped. progress (may be null) is
 * called with user as the documents are deleted, done and total counting
 * the ids of the array.
 *
 * Returns how many documents existed and are gone, or -1 on failure with
 * lumidex_last_error_code() LUMIDEX_ERROR_INVALID_BODY (ids_json is not a
 * JSON array, or an element is not an id: lumidex_last_error_position()
 * gives its 1-based position), LUMIDEX_ERROR_INDEX_NOT_FOUND,
 * LUMIDEX_ERROR_INVALID_ARGUMENT or LUMIDEX_ERROR_INTERNAL; nothing is
 * deleted then. ids_json null reads as "". Holds the index's write lock while
 * it works (waiting for it first). */
long long lumidex_documents_delete_ids(const char *index, const char *ids_json,
                                       lumidex_progress_fn progress,
                                       void *user);

/* Deletes the documents of index that match a filter, in one transaction.
 * request_json is the JSON object {"filter": F}, F a filter expression or
 * an array of them as lumidex_documents_list_json takes it. progress as
 * for lumidex_documents_delete_ids, counting the matching documents.
 *
 * Returns how many documents were deleted, or -1 on failure, nothing
 * deleted: LUMIDEX_ERROR_INVALID_BODY (request_json is not such an
 * object), LUMIDEX_ERROR_INVALID_FILTER (malformed, or an attribute that
 * is not filterable), LUMIDEX_ERROR_INDEX_NOT_FOUND,
 * LUMIDEX_ERROR_INVALID_ARGUMENT or LUMIDEX_ERROR_INTERNAL. request_json
 * null reads as "". */
long long lumidex_documents_delete_filter(const char *index,
                                          const char *request_json,
                                          lumidex_progress_fn progress,
                                          void *user);

/* One page of the documents of index that match filter_json, for exports:
 * as lumidex_documents_page_json (lumidex_admin.h), each document exactly
 * as stored, in insertion order, strictly after position after, at most
 * limit (1..LUMIDEX_LIST_LIMIT_MAX) of them, and {"documents":[...],
 * "next":P} with P the position for the following page or 0. filter_json
 * is a JSON filter (a string expression or the array form); null lists
 * every document. Each page costs its own documents, however deep it is.
 * Null on failure, with the codes of lumidex_documents_list_json. */
const char *lumidex_documents_export_page_json(const char *index,
                                               unsigned long long after,
                                               int limit,
                                               const char *filter_json);

/* Deletes every document of index in one transaction; the index, its
 * primary key and its settings stay, and documents added later still list
 * after those deleted would have. progress as for
 * lumidex_documents_delete_ids, counting the documents.
 *
 * Returns how many documents were deleted, or -1 on failure
 * (LUMIDEX_ERROR_INDEX_NOT_FOUND, LUMIDEX_ERROR_INVALID_ARGUMENT,
 * LUMIDEX_ERROR_INTERNAL), nothing deleted. */
long long lumidex_documents_delete_all(const char *index,
                                       lumidex_progress_fn progress,
                                       void *user);

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_DOCUMENTS_H */
