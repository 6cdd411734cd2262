/*
 * document_list.h: the documents listing of lumidex_documents_list_json
 * (include/lumidex_documents.h): reading its request, and listing a page of
 * an index's documents in insertion order.
 *
 * What each listed document shows is shown.h's, as for a search hit. The
 * request is read strictly, as a search request is (request.h): a member
 * this engine does not know, or of the wrong type or range, is refused
 * with LUMIDEX_ERROR_INVALID_LIST_PARAMETER and a text naming it, a
 * malformed filter with LUMIDEX_ERROR_INVALID_FILTER. The filter is checked
 * against the index's filterable attributes and matched as a search's
 * filter is (refine.h), on the index's filter terms: no document is read
 * to decide whether it matches.
 */
#ifndef LMX_ENGINE_DOCUMENT_LIST_H
#define LMX_ENGINE_DOCUMENT_LIST_H

#include <xapian.h>

#include <string>
#include <string_view>
#include <vector>

#include "catalog.h"
#include "filter.h"
#include "settings.h"

namespace lmx {

/* Most names "fields" may hold. */
inline constexpr size_t kMaxListFields = 256;

/* One listing request (lumidex_documents.h says what each member means). */
struct ListRequest {
  Xapian::doccount offset = 0;
  int limit = 20;
  Xapian::docid after = 0;
  /* The fields to show; empty: every displayed field. */
  std::vector<std::string> fields;
  /* "filter" (filter.h), parsed; has_filter is false when not given. */
  bool has_filter = false;
  FilterNode filter;
  /* Each document exactly as stored, whatever the displayed attributes
   * (for exports; no member of the JSON request sets it). */
  bool stored = false;
};

/* The request of the JSON object text ("" and "{}" are the defaults).
 * Throws lmx::Error (LUMIDEX_ERROR_INVALID_LIST_PARAMETER) naming the
 * member and what it takes. */
ListRequest parse_list_request(std::string_view text);

/* {"documents":[...],"next":P} for request on index (see
 * lumidex_documents_list_json). Throws lmx::Error
 * (LUMIDEX_ERROR_INDEX_NOT_FOUND) when there is no such index, and
 * (LUMIDEX_ERROR_INVALID_FILTER) when the filter names an attribute that
 * is not filterable. */
std::string list_documents(Catalog &catalog, const std::string &index,
                           const ListRequest &request);

/* The boolean query of the documents filter matches under settings, as a
 * search's filter (refine.h). Throws lmx::Error
 * (LUMIDEX_ERROR_INVALID_FILTER) naming an attribute filter uses that is
 * not filterable, and listing those that are. */
Xapian::Query matching(const IndexSettings &settings, const FilterNode &filter);

}  // namespace lmx

#endif
