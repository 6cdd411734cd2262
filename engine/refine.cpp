/*
 * refine.cpp: a search request's filter and sort checked against the
 * index's settings and turned into the matcher's options (refine.h).
 */
#include "refine.h"

#include "error.h"
#include "messages.h"

namespace lmx {

std::unique_ptr<Refinement> refinement_of(const IndexSettings &settings,
                                          const SearchRequest &request) {
  auto out = std::make_unique<Refinement>();
  out->filters = FilterLayout(settings.filterable);
  out->sorts = SortLayout(settings.sortable);
  if (request.has_filter) {
    FilterError e = check_filter(request.filter, out->filters);
    if (e.code != LUMIDEX_ERROR_NONE) throw Error(e.message, e.code);
    out->filter = filter_query(request.filter, out->filters);
  }
  if (!request.sort.empty()) {
    if (const SortCriterion *bad = first_unsortable(request.sort, out->sorts))
      throw Error("Invalid search parameter `sort`: " +
                      msg::not_sortable(bad->attribute, settings.sortable),
                  LUMIDEX_ERROR_INVALID_SORT);
    out->sorter = sort_key_maker(request.sort, out->sorts);
  }
  const bool every = request.facets.size() == 1 && request.facets[0] == "*";
  out->facets = every ? settings.filterable : request.facets;
  for (const std::string &name : out->facets)
    if (!out->filters.find(name))
      throw Error("Invalid search parameter `facets`: " +
                      msg::not_filterable(name, settings.filterable),
                  LUMIDEX_ERROR_INVALID_FACETS);
  return out;
}

}  // namespace lmx
