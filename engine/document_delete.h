/*
 * document_delete.h: deleting many documents of an index in one
 * transaction: those named by a list of ids, or all of them
 * (lumidex_documents_delete_ids, lumidex_documents_delete_filter,
 * lumidex_documents_delete_all in include/lumidex_documents.h).
 *
 * The whole deletion is one transaction committed before returning: until
 * it commits readers see every document, and a process killed midway
 * leaves them all. Every function may throw lmx::Error or Xapian::Error.
 */
#ifndef LMX_ENGINE_DOCUMENT_DELETE_H
#define LMX_ENGINE_DOCUMENT_DELETE_H

#include <string>
#include <string_view>

#include "catalog.h"
#include "documents.h"

namespace lmx {

/* Deletes the documents of index named by ids_json, a JSON array of ids
 * (documents.h: strings or integers). Ids of no document and repeated ids
 * are skipped. A body that is no array, or an element that is no id,
 * throws lmx::Error (LUMIDEX_ERROR_INVALID_BODY, with the element's
 * 1-based position) before the index is opened for writing. progress (may
 * be empty) counts the ids. Returns how many documents were deleted. */
long long delete_ids(Catalog &catalog, const std::string &index,
                     std::string_view ids_json,
                     const RewriteProgress &progress);

/* Deletes the documents of index that match the filter of request_json, a
 * JSON object {"filter": F} with F a filter expression or the array form
 * (filter.h), matched as the documents listing matches it
 * (document_list.h: on the filter terms, no document read to decide). A
 * body that is not such an object throws lmx::Error
 * (LUMIDEX_ERROR_INVALID_BODY); a malformed filter, or one naming an
 * attribute that is not filterable, LUMIDEX_ERROR_INVALID_FILTER. progress
 * counts the matching documents. Returns how many were deleted. */
long long delete_matching(Catalog &catalog, const std::string &index,
                          std::string_view request_json,
                          const RewriteProgress &progress);

/* Deletes every document of index, keeping the index, its metadata and
 * its docid counter. progress counts the documents. Returns how many were
 * deleted. */
long long delete_all(Catalog &catalog, const std::string &index,
                     const RewriteProgress &progress);

}  // namespace lmx

#endif
