/*
 * lmx_common.h: the API handler module. Storage directory and engine
 * lifetime, the route parser, the JSON responders with the error envelope,
 * and one handler per resource of the API.
 *
 * Handlers see the engine only through lumidex_core.h and the request only
 * through the toolkit (nl_cgi.h). Each handler answers exactly once, through
 * lmx_respond_json or lmx_respond_error (the status page writes its HTML
 * itself), and returns; failures are never raised. The request log and the
 * cross-origin answers are for api_router; the health and settings
 * handlers also use lumidex_admin.h, and api_router's search handler
 * lumidex_search.h (and lumidex_admin.h for failure codes).
 *
 * Process-wide state of this module: the storage directory (512 bytes), the
 * engine-open flag and the keep-open setting, file-private in
 * lmx_lifetime.cpp; the request's start time and noted failure reason in
 * lmx_log.cpp.
 */
#ifndef LMX_COMMON_H
#define LMX_COMMON_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the storage-directory buffer and of path copies (511 bytes of
 * text). */
#define LMX_PATH_SIZE 512
/* Size of identifiers taken from the path (127 bytes of text). */
#define LMX_ID_SIZE 128
/* Path segments the route table ever looks at. */
#define LMX_ROUTE_SEGMENTS 4
/* Host of the documentation links in the error envelope. */
#define LMX_DOCS_HOST "docs.nolvaris.com"

/* ---- Storage directory and engine lifetime ---------------------------- */

/* The storage directory, resolved on first use from LUMIDEX_STORAGE_DIR,
 * LUMIDEX_DATA_DIR, LOCALAPPDATA (+ "/PersonalLumidex/data"), TEMP
 * (+ "/nolvaris-lumidex"), else "/tmp/nolvaris-lumidex"; empty variables are
 * skipped, values cut at 511 bytes. Resolved once per process. Never null. */
const char *lmx_get_storage_dir(void);

/* Creates path with all missing parents (one trailing separator dropped).
 * 0 for an empty path, else the result of the last mkdir (0 created, -1
 * failed, e.g. already there). path may be null (treated as empty). */
int lmx_mkdir_p(const char *path);

/* Opens the engine on the storage directory (resolving and creating it
 * first). 0 when open (now or already), -1 when lumidex_init failed. */
int lmx_init_engine(void);

/* Closes the engine if open; otherwise does nothing. While the engine is
 * kept open (lmx_keep_engine_open), does nothing at all. */
void lmx_cleanup_engine(void);

/* keep 1: the engine stays open from one request to the next in a process
 * that serves many (a FastCGI worker). lmx_cleanup_engine then leaves it
 * open, and lmx_init_engine resolves the storage directory afresh from each
 * request's environment, closing the engine and opening it on the new
 * directory when the request names another one than the open engine's (a
 * failed open is tried again by the next request). The engine's readers
 * look for newer commits on each use and its writers are closed after each
 * write, so an engine kept open sees other processes' changes and holds no
 * lock between requests. keep 0 (the default) restores one open and one
 * close per request; a caller that kept the engine open closes it with
 * lmx_keep_engine_open(0) then lmx_cleanup_engine(). */
void lmx_keep_engine_open(int keep);

/* ---- Route parser ----------------------------------------------------- */

typedef enum lmx_route_kind {
  LMX_ROUTE_UNKNOWN = 0,   /* anything else */
  LMX_ROUTE_ROOT = 1,      /* "", "/", only slashes, or first segment "index" */
  LMX_ROUTE_STATUS = 2,    /* status[/...] */
  LMX_ROUTE_INDEXES = 3,   /* indexes */
  LMX_ROUTE_INDEX = 4,     /* indexes/{uid} */
  LMX_ROUTE_SEARCH = 5,    /* indexes/{uid}/search */
  LMX_ROUTE_DOCUMENTS = 6, /* indexes/{uid}/documents */
  LMX_ROUTE_DOCUMENT = 7,  /* indexes/{uid}/documents/{id} */
  LMX_ROUTE_STATS = 8,     /* indexes/{uid}/stats */
  LMX_ROUTE_SETTINGS = 9   /* indexes/{uid}/settings: lmx_parse_router_route
                              only (lmx_parse_route gives kind 0) */
} lmx_route_kind;

typedef struct lmx_route {
  lmx_route_kind kind;
  char index_uid[LMX_ID_SIZE]; /* at most 127 bytes; "" when none */
  char doc_id[LMX_ID_SIZE];    /* at most 127 bytes; "" when none */
} lmx_route;

/* One segment of a path as it stands: not terminated, not cut. */
typedef struct lmx_segment {
  const char *start;
  size_t len;
} lmx_segment;

/* Splits path (null reads as "") at runs of '/', stopping at its NUL only
 * (a '?' is an ordinary byte here), and stores the first max non-empty
 * segments in seg[0..max-1] (seg needs room for max; max may be 0). Returns
 * how many non-empty segments the whole path has, which may exceed max.
 * The one splitter of paths: the route parser and the router's exact-path
 * check both use it, so they always agree on what a segment is. */
size_t lmx_split_path(const char *path, lmx_segment *seg, size_t max);

/* Parses path (null is the root) into *route (null: nothing happens). The
 * path is cut at 511 bytes and at '?', split at runs of '/', and each of the
 * first four segments cut at 127 bytes; nothing is decoded. */
void lmx_parse_route(const char *path, lmx_route *route);

/* lmx_parse_route for api_router, which serves more routes than the
 * specified parser knows: the same record, except that a path whose third
 * segment is "settings" below "indexes"/{uid} gives LMX_ROUTE_SETTINGS (a
 * fourth segment is kept out of the record; the router refuses such paths
 * as longer than their route). path and route as for lmx_parse_route. */
void lmx_parse_router_route(const char *path, lmx_route *route);

/* ---- Access keys ------------------------------------------------------ */

/* Message of the 401 "unauthorized" answer to a request lmx_request_allowed
 * refuses. */
#define LMX_KEY_REQUIRED_MESSAGE "A valid key is required for this request"

/* 1 when the request may go on under the access keys LUMIDEX_WRITE_KEY and
 * LUMIDEX_READ_KEY, as presented in the X-Lumidex-Key header
 * (HTTP_X_LUMIDEX_KEY); 0 when it must be refused with 401. route (not
 * null) says what the request is: the sandbox page (LMX_ROUTE_ROOT) is
 * always open; a write (any method but GET on the indexes, documents and
 * settings routes) needs the write key, or the read key when only that is set;
 * everything else needs the read or the write key once a read key is set.
 * With no key set everything is allowed. Keys are compared in constant
 * time and never written anywhere. */
int lmx_request_allowed(const lmx_route *route);

/* ---- Responders ------------------------------------------------------- */

/* Writes "Status: N", the JSON content type, the empty line, then body and a
 * line feed (a null body writes the header block alone), and flushes. */
void lmx_respond_json(int status, const char *body);

/* Writes the header block and the error envelope
 * {"message":M,"code":C,"type":"invalid_request","link":"https://HOST/errors#C"}
 * with M and C JSON-escaped; null message reads "Error", null code
 * "internal_error". Flushes. */
void lmx_respond_error(int status, const char *code, const char *message);

/* The engine's last error text (lumidex_last_error) when it has one to
 * tell, else fallback; for the message of an error answer after an engine
 * call failed. The text belongs to the engine and is valid until its next
 * call. */
const char *lmx_engine_error_or(const char *fallback);

/* ---- Handlers --------------------------------------------------------- */

/* Search in index: query text, limit and offset from a POST JSON body and
 * the query string; answers the engine's JSON unchanged, 400 for an empty
 * name, 404 when the engine fails. index (null or "" is the 400) is used
 * without copying and may be a cgi_query result: the handler makes at most
 * four further lookups ("q", "query", "limit", "offset"), so such a result
 * stays intact while it is in use. An empty name is answered before the
 * method, the body or the query string is read. */
void lmx_execute_search(const char *index);

/* Search in index as api_router answers it: the whole request through
 * the engine's JSON entry (lumidex_search.h), every parameter checked.
 * POST: the body, a JSON object (empty: the empty request), handed over as
 * it is; a query-string parameter as well, or a NUL byte in the body, is
 * 400 "invalid_search_parameter". Other methods: the query string's
 * parameters as the request's members (limit and offset in digits as
 * numbers, every other value as text). Answers the engine's JSON
 * unchanged (200), 400 "missing_index_name" for an empty name (null or ""),
 * 400 "invalid_search_parameter" or "invalid_search_matching_strategy" or
 * 404 "index_not_found" with the engine's text for any other engine
 * failure (a missing or unreadable index); 500 "internal_error" when
 * memory runs out. index is used without copying; no cgi_query lookup is
 * made. */
void lmx_execute_search_request(const char *index);

/* The request's query string as a JSON request object for one of the
 * engine's JSON entries, each parameter one member: limit and offset
 * written in decimal digits become numbers (saturated at UINT64_MAX),
 * parameters named in lists (a null-terminated array of names; null: none)
 * become arrays of the strings between their commas ("a,b" is ["a","b"],
 * "" is [""]), every other one, an unknown one included, a string, and a
 * repeated one a second member, so the engine refuses what it does not
 * take. Values are decoded as cgi_query decodes them, uncut; bytes that
 * are not UTF-8 are kept. Returns the text, malloc'd (the caller frees
 * it), or null when memory runs out. */
char *lmx_request_of_query_string(const char *const *lists);

/* Documents of index by method: POST adds (body), GET lists (doc_id empty)
 * or fetches doc_id, DELETE removes doc_id. */
void lmx_execute_documents(const char *index, const char *doc_id);

/* lmx_execute_documents as api_router serves it: every answer the same,
 * except that an addition refused for a document beyond the engine's size
 * limits (lumidex_last_error_code() is LUMIDEX_ERROR_DOCUMENT_TOO_LARGE) is
 * answered 400 "document_too_large" with the engine's text, which names the
 * limit and the document's position. */
void lmx_execute_documents_routed(const char *index, const char *doc_id);

/* The documents requests that only api_router serves, for
 * lmx_execute_documents_routed; index is not null or empty. Answers and
 * returns 1 for:
 *  - GET of the collection (doc_id null or empty): the listing, with
 *    limit (1..1000, default 20), offset, fields (comma-separated) and
 *    filter (a filter expression) from the query string: 200 with the JSON array of documents in insertion
 *    order (the specified listing's answer when none is given, and "[]"
 *    for a missing index, as it answers); a parameter that is unknown,
 *    repeated or out of range is 400 "invalid_document_parameter", a bad
 *    filter 400 "invalid_document_filter", each with the engine's text;
 *  - PATCH of the collection: lmx_update_documents;
 *  - DELETE of the collection: every document; POST with doc_id
 *    "delete-batch": those of the JSON array of ids in the body; each 200
 *    {"status":"succeeded","type":"documentDeletion","taskUid":1,
 *    "deleted":N}, 404 "index_not_found", 400 "invalid_document_ids" (the
 *    engine's text, naming the element), 400 "missing_payload";
 *  - POST with doc_id "delete": those matching the filter of the body
 *    {"filter": F}, answered as above, 400 "invalid_document_filter" for a
 *    body of another form or a bad filter (the engine's text).
 * A query-string parameter on a PATCH or on a deletion is 400
 * "invalid_document_parameter". Returns 0, answering nothing, for every
 * other request. */
int lmx_execute_documents_bulk(const char *index, const char *doc_id);

/* PATCH of the collection of index (not null or empty): the partial
 * documents of the body (lumidex_documents_update), answered 200
 * {"status":"succeeded","type":"documentAdditionOrUpdate","taskUid":1,
 * "updated":N}, or refused as lmx_execute_documents_routed refuses an
 * addition (400 "missing_payload", "document_addition_failed",
 * "document_too_large"). */
void lmx_update_documents(const char *index);

/* Indexes: GET lists (index null or empty) or looks up index, POST creates,
 * DELETE removes. */
void lmx_execute_indexes(const char *index);

/* Statistics of index wrapped with its document count. */
void lmx_execute_stats(const char *index);

/* Settings of index (not null, not empty) by method, through
 * lumidex_admin.h: GET answers 200 with the whole settings object; PATCH
 * applies the request body (a JSON object of some members) and DELETE puts
 * every member back to its default, each answering 200
 * {"status":"succeeded","type":"settingsUpdate","taskUid":1,"settings":S}
 * with S the whole object after the change. Any other method is 405. A
 * missing index is 404 "index_not_found"; a body that is not a JSON object
 * of known members of the right types is 400 "invalid_settings" with the
 * engine's text, which names the member and what it takes. */
void lmx_execute_settings(const char *index);

/* Status as JSON (format=json) or the HTML status page. */
void lmx_execute_status(void);

/* Health for load balancers: GET only (405 otherwise). Opens the engine
 * (lmx_init_engine; the caller closes it) and reads every index
 * (lumidex_storage_check): 200 {"status":"available"}, else 503
 * "storage_unavailable" (the directory cannot be opened or listed) or
 * "index_unreadable", with the engine's reason as the message, also noted
 * with lmx_log_reason. */
void lmx_execute_health(void);

/* ---- Request log ------------------------------------------------------ */
/* One line on standard error per logged request: a request answered 500 or
 * more, or every request when LUMIDEX_LOG is "requests". See lmx_log.cpp
 * for the line; it never holds a query string, a header, a key or a body. */

/* 0 when LUMIDEX_LOG is unset, empty, "errors" or "requests"; otherwise -1
 * and what it must be, written into why (size bytes, cut to fit; null or
 * size 0 writes nothing). */
int lmx_log_check(char *why, size_t size);

/* Starts a request: notes the time and forgets the previous reason. */
void lmx_log_begin(void);

/* Keeps reason (null clears it; cut at 511 bytes) for the log line of a
 * failure: the engine's reason, or what a setting lacks. */
void lmx_log_reason(const char *reason);

/* Writes the request's line when it is to be logged: method and path as
 * the toolkit reads them, the status from cgi_response_status (0 counts as
 * 200), the time since lmx_log_begin, the noted reason for a failure. Call
 * it once, after the answer. */
void lmx_log_end(void);

/* ---- Cross-origin answers --------------------------------------------- */
/* Switched on by LUMIDEX_CORS_ORIGINS: "*" or origins separated by spaces
 * ("https://app.example.com http://127.0.0.1:8080"), compared byte for byte
 * with the request's Origin header (HTTP_ORIGIN). Unset or empty, these
 * write nothing and lmx_cors_enabled is 0. */

/* 1 when LUMIDEX_CORS_ORIGINS is set and non-empty, else 0. */
int lmx_cors_enabled(void);

/* 0 when LUMIDEX_CORS_ORIGINS is unset, empty, "*" or a list of well-formed
 * origins (http:// or https://, a lower-case host or [IPv6], an optional
 * :port, nothing else); otherwise -1 and what is expected, with the first
 * bad entry, written into why (size bytes, cut to fit). */
int lmx_cors_check(char *why, size_t size);

/* The Access-Control-Allow-Origin value for this request: "*" when the
 * variable is "*", the request's Origin when listed; null when switched
 * off, without an Origin, or for an origin not listed. The text belongs to
 * the environment. */
const char *lmx_cors_allow_origin(void);

/* The lines every answer carries when switched on: Access-Control-Allow-
 * Origin for an allowed origin, and "Vary: Origin" unless the variable is
 * "*". For a header hook (cgi_on_headers_end), before the empty line. */
void lmx_cors_headers(void);

/* Answers an OPTIONS request to a route whose methods are methods (e.g.
 * "GET, POST", not null): 204 with Allow and, for an allowed origin,
 * Access-Control-Allow-Methods, -Headers (Content-Type, X-Lumidex-Key) and
 * -Max-Age; 403 "origin_not_allowed" when an Origin is given and not
 * allowed. Access-Control-Allow-Origin itself comes from lmx_cors_headers,
 * which the caller's header hook must call. */
void lmx_cors_preflight(const char *methods);

#ifdef __cplusplus
}
#endif

#endif /* LMX_COMMON_H */
