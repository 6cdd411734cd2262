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
 *                       documents holding every word;
 *   "attributesToRetrieve"  ["*"] (default) or an array of distinct field
 *                       names (dotted paths reach into objects; [] is
 *                       allowed): the fields each hit carries, within the
 *                       index's displayed fields, the primary key always;
 *   "attributesToCrop"  ["*"] or an array of distinct field names (default
 *                       []): in "_highlighted", every string under those
 *                       fields is cut to about cropLength words around its
 *                       passage holding the most query words, with "…"
 *                       (U+2026) where text was left out; such a field is
 *                       carried there even when not retrieved (never the
 *                       primary key, never a field not displayed);
 *   "cropLength"        integer 1 to 1000: words a cropped field keeps
 *                       (default 10);
 *   "highlight"         true (default) or false: false leaves
 *                       "_highlighted" out, and the cropped fields are cut
 *                       in the hit itself (unescaped, unmarked). With true,
 *                       "_highlighted" is there when the query has words
 *                       or a field is cropped;
 *   "filter"            a filter expression (string), or an array of them
 *                       that must all hold, whose inner arrays hold when
 *                       one of their expressions does; only filterable
 *                       attributes (the index's filterableAttributes);
 *   "sort"              array of "attribute:asc" / "attribute:desc" on
 *                       sortable attributes (sortableAttributes): within
 *                       each part of the "most" strategy the hits come in
 *                       that order, documents without the attribute last,
 *                       ties by relevance then insertion order;
 *   "facets"            array of filterable attributes, or ["*"] for all of
 *                       them: the answer gains "facetDistribution"
 *                       {"attr":{"value":count,...},...}, counted over
 *                       every match (at most 100 values an attribute, most
 *                       frequent first), and "facetStats"
 *                       {"attr":{"min":N,"max":N},...} for attributes
 *                       holding numbers, after "elapsed_ms".
 * index null reads as "" (no such index); request_json null or "" is the
 * empty request (every default).
 *
 * Returns the JSON answer of lumidex_search with one more member:
 * {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,
 *  "total_hits_exact":B,"elapsed_ms":N}
 * (lumidex_search is this search with the default strategy, without
 * "total_hits_exact"). total_hits is the same for every limit and offset
 * of one request over unchanged data; it is exact when at most 1000
 * documents match, and then total_hits_exact is true; above that it may be
 * an estimate (always above 1000), and total_hits_exact says whether it
 * is. On failure
 * returns null; lumidex_last_error_code() then gives
 *  - LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER: request_json is not a JSON
 *    object, or a member is unknown, given twice, of the wrong type or out
 *    of range (a negative limit, a "q" beyond 4096 bytes, a cropLength of
 *    0, an empty or repeated field name);
 *  - LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY: "matchingStrategy" is neither
 *    "most" nor "all";
 *  - LUMIDEX_ERROR_INVALID_FILTER: "filter" is malformed (the text says
 *    what was expected at which byte, counted from 0, of which element) or
 *    names an attribute that is not filterable (the text names it and
 *    lists those that are);
 *  - LUMIDEX_ERROR_INVALID_SORT: "sort" is not such an array, or names an
 *    attribute that is not sortable;
 *  - LUMIDEX_ERROR_INVALID_FACETS: "facets" is not such an array, or names
 *    an attribute that is not filterable;
 *  - LUMIDEX_ERROR_INDEX_NOT_FOUND: there is no index named index;
 *  - LUMIDEX_ERROR_INTERNAL: the engine is not open, or the index cannot be
 *    read;
 * and lumidex_last_error() a text naming the member and what it takes. The
 * request's form is checked before the index is looked up; the attributes
 * it names, against the index's settings. */
const char *lumidex_search_request(const char *index, const char *request_json);

/* Whether searches keep what they look up in an index's vocabulary (term
 * frequencies, completions of the word being typed, typo candidates, the
 * names' priors) for the later searches of this process, as long as the
 * index does not change: keep non-zero (the default) or 0. A process that
 * serves one search and exits gains nothing from it and loses nothing
 * either; one that serves many (FastCGI) saves most of the dictionary
 * lookups of a repeated word or name. What is kept is bounded (a few
 * megabytes per index) and forgotten at each commit to the index, so
 * answers are the same either way. Takes effect from the next search;
 * returns the setting it replaces (1 or 0). Needs no lumidex_init(). */
int lumidex_search_keep_statistics(int keep);

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_SEARCH_H */
