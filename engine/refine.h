/*
 * refine.h: what a search request asks beyond its query text (a filter, a
 * sort, facets), checked against the index's settings and made ready for
 * the matcher (matches.h) and the answer (search.h).
 *
 * The request reader (request.h) checks the form of these members before
 * any index is opened; whether the attributes they name are filterable or
 * sortable can only be told from the index's settings, read once per
 * search, so that check is here.
 */
#ifndef LMX_ENGINE_REFINE_H
#define LMX_ENGINE_REFINE_H

#include <xapian.h>

#include <memory>

#include "filter.h"
#include "matches.h"
#include "request.h"
#include "settings.h"
#include "sort.h"

namespace lmx {

/* A request's filter and sort under an index's settings. Not copyable:
 * options() points into it. */
struct Refinement {
  FilterLayout filters;
  SortLayout sorts;
  /* The filter's boolean query; Xapian::Query() when the request has none. */
  Xapian::Query filter;
  /* The sort's key maker; null when the request has none. */
  std::unique_ptr<Xapian::MultiValueKeyMaker> sorter;
  /* The attributes to count facets of, "*" resolved, in order. */
  std::vector<std::string> facets;

  /* The matcher's options; valid while this lives. */
  MatchOptions options() const {
    return MatchOptions{filter, sorter.get(), nullptr};
  }
};

/* The refinement of request under settings. Throws lmx::Error with
 * LUMIDEX_ERROR_INVALID_FILTER when the filter names an attribute that is
 * not filterable, LUMIDEX_ERROR_INVALID_SORT when the sort names one that
 * is not sortable, LUMIDEX_ERROR_INVALID_FACETS when the facets name one
 * that is not filterable; the text names it and lists those that are. */
std::unique_ptr<Refinement> refinement_of(const IndexSettings &settings,
                                          const SearchRequest &request);

}  // namespace lmx

#endif
