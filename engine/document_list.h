/*
 * document_list.h: the documents listing of lumidex_documents_list_json
 * (include/lumidex_documents.h): reading its request, and listing a page of
 * an index's documents in insertion order.
 *
 * What each listed document shows is shown.h's, as for a search hit. The
 * request is read strictly, as a search request is (request.h): a member
 * this engine does not know, or of the wrong type or range, is refused
 * with LUMIDEX_ERROR_INVALID_LIST_PARAMETER and a text naming it.
 */
#ifndef LMX_ENGINE_DOCUMENT_LIST_H
#define LMX_ENGINE_DOCUMENT_LIST_H

#include <xapian.h>

#include <string>
#include <string_view>
#include <vector>

#include "catalog.h"

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
};

/* The request of the JSON object text ("" and "{}" are the defaults).
 * Throws lmx::Error (LUMIDEX_ERROR_INVALID_LIST_PARAMETER) naming the
 * member and what it takes. */
ListRequest parse_list_request(std::string_view text);

/* {"documents":[...],"next":P} for request on index (see
 * lumidex_documents_list_json). Throws lmx::Error
 * (LUMIDEX_ERROR_INDEX_NOT_FOUND) when there is no such index. */
std::string list_documents(Catalog &catalog, const std::string &index,
                           const ListRequest &request);

}  // namespace lmx

#endif
