/*
 * request.h: a search request as the engine takes it, and reading one
 * from the JSON object of lumidex_search_request (include/lumidex_search.h).
 *
 * The JSON form is read strictly: every member must be one this engine
 * knows, of the right type; anything else is refused with a text naming
 * the member and what it takes, and a code (LUMIDEX_ERROR_INVALID_SEARCH_
 * PARAMETER, or LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY for a strategy that
 * is neither "most" nor "all"), never ignored. Members are read through one
 * table (request.cpp), so a new one (filter, sort, facets, attributes to
 * retrieve or crop, highlighting) is one row and one field here.
 */
#ifndef LMX_ENGINE_REQUEST_H
#define LMX_ENGINE_REQUEST_H

#include <string>
#include <string_view>

#include "filter.h"
#include "query.h"
#include "sort.h"

namespace lmx {

/* Hits per page, at most; a larger limit is taken as this. */
inline constexpr int kMaxSearchLimit = 1000;
/* Hits per page when the request gives no limit. */
inline constexpr int kDefaultSearchLimit = 20;
/* Bytes of query text a JSON request may hold (the API's bound; the word
 * selection of query.h keeps the cost of such a text bounded). */
inline constexpr size_t kMaxRequestQueryBytes = 4096;

/* One search: what to look for, which page, how to match. */
struct SearchRequest {
  std::string q;                   /* "q": the query text (query.h) */
  int limit = kDefaultSearchLimit; /* "limit": 0 .. kMaxSearchLimit */
  int offset = 0;                  /* "offset": 0 and above */
  /* "matchingStrategy": "most" (the default) or "all". */
  MatchingStrategy strategy = MatchingStrategy::kMost;
  /* "filter" (filter.h), parsed; has_filter is false when not given. Its
   * attributes are checked against the index's settings at search time. */
  bool has_filter = false;
  FilterNode filter;
  /* "sort": the criteria in order; empty: by relevance. */
  std::vector<SortCriterion> sort;
  /* "facets": the attributes to count ({"*"}: every filterable one);
   * has_facets is false when not given (the answer then has no facet
   * members). */
  bool has_facets = false;
  std::vector<std::string> facets;
};

/* The request of the JSON object text ("" and "{}" are the defaults).
 * "q" is a string of at most kMaxRequestQueryBytes bytes, "limit" and
 * "offset" integers of 0 or more (a limit above kMaxSearchLimit is taken as
 * kMaxSearchLimit, an offset above INT_MAX as INT_MAX), "matchingStrategy"
 * "most" or "all", "filter" a string or an array (filter.h), "sort" an
 * array of distinct "attribute:asc" or "attribute:desc", "facets" ["*"] or
 * an array of distinct attribute names. Throws lmx::Error
 * with LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER when text is not a JSON
 * object, holds an unknown member or one of the wrong type or size,
 * LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY for another strategy,
 * LUMIDEX_ERROR_INVALID_FILTER for a malformed filter (the text says what
 * was expected at which byte), LUMIDEX_ERROR_INVALID_SORT for a
 * malformed sort and LUMIDEX_ERROR_INVALID_FACETS for malformed facets;
 * the text names the member and what it takes. */
SearchRequest parse_search_request(std::string_view text);

}  // namespace lmx

#endif
