/*
 * lumidex_search.h: the engine's search with the whole request as one JSON
 * object, for programs that pass on what a client sent (api_router's search
 * route) and for search options beyond lumidex_search's four arguments.
 *
 * Same conventions as lumidex_core.h: texts are NUL-terminated UTF-8, a
 * returned text belongs to the library and stays valid until the next call
 * into it, failures come back as null and are described by
 * lumidex_last_error() and, as a value, lumidex_last_error_code()
 * (lumidex_admin.h). Needs lumidex_init().
 */
#ifndef LUMIDEX_SEARCH_H
#define LUMIDEX_SEARCH_H

#ifdef __cplusplus
extern "C" {
#endif

/* Searches index with the request request_json, a JSON object of these
 * members, each optional:
 *   "q"                 string, at most 4096 bytes: the query text, in the
 *                       query language of lumidex_search (default "": every
 *                       document in insertion order);
 *   "limit"             integer >= 0: hits per page (default 20; above 1000
 *                       taken as 1000);
 *   "offset"            integer >= 0: hits skipped (default 0);
 *   "matchingStrategy"  "most" (default): the documents holding every word
 *                       first, then those holding some of them, ranked by
 *                       how much of the query they hold; "all": only the
 *                       documents holding every word.
 * index null reads as "" (no such index); request_json null or "" is the
 * empty request (every default).
 *
 * Returns the same JSON answer as lumidex_search:
 * {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,"elapsed_ms":N}
 * (lumidex_search is this search with the default strategy). On failure
 * returns null; lumidex_last_error_code() then gives
 *  - LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER: request_json is not a JSON
 *    object, or a member is unknown, given twice, of the wrong type or out
 *    of range (a negative limit, a "q" beyond 4096 bytes);
 *  - LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY: "matchingStrategy" is neither
 *    "most" nor "all";
 *  - LUMIDEX_ERROR_INDEX_NOT_FOUND: there is no index named index;
 *  - LUMIDEX_ERROR_INTERNAL: the engine is not open, or the index cannot be
 *    read;
 * and lumidex_last_error() a text naming the member and what it takes. The
 * request is checked before the index is looked up. */
const char *lumidex_search_request(const char *index, const char *request_json);

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_SEARCH_H */
