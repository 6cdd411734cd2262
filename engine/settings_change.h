/*
 * settings_change.h: reading and changing the settings of an index in the
 * storage directory: the operations behind the C face's settings calls.
 *
 * A change is made under the index's write lock, in one transaction with
 * the settings themselves: when the new settings index other terms
 * (changes_terms: searchableAttributes, language, filterable and sortable
 * attributes), every document is
 * rewritten from its stored JSON in that transaction (rewrite_documents).
 * Readers see the old settings and the old terms until it commits; a
 * process killed before the commit leaves both whole; writers arriving
 * meanwhile wait for the lock and then write under the new settings.
 *
 * What the settings mean and how they are checked is settings.h's; how a
 * document is rewritten is documents.h's.
 */
#ifndef LMX_ENGINE_SETTINGS_CHANGE_H
#define LMX_ENGINE_SETTINGS_CHANGE_H

#include <string>
#include <string_view>

#include "catalog.h"
#include "documents.h"

namespace lmx {

/* The whole settings object of index name (settings_json, defaults filled
 * in). Throws lmx::Error "Index `NAME` not found."
 * (LUMIDEX_ERROR_INDEX_NOT_FOUND), or for an invalid name
 * (LUMIDEX_ERROR_INVALID_ARGUMENT) or unreadable stored settings. */
std::string index_settings_json(Catalog &catalog, const std::string &name);

/* Applies patch (a JSON object of some members, patched_settings' rules) to
 * the settings of index name, or, when patch is null, puts every member
 * back to its default; rewrites every document when the terms change,
 * telling progress (may be empty) how far it is, and then compacts the
 * index (compact.h; a compaction that fails leaves it uncompacted and is
 * not reported). Returns the whole settings
 * object after the change. Throws what index_settings_json throws, and
 * LUMIDEX_ERROR_INVALID_SETTINGS for a patch that is refused (nothing
 * changes then) or LUMIDEX_ERROR_DOCUMENT_TOO_LARGE when a stored document
 * would be too large under the new settings (nothing changes either). */
std::string change_index_settings(Catalog &catalog, const std::string &name,
                                  const std::string_view *patch,
                                  const RewriteProgress &progress);

/* Rewrites every document of index name from its stored JSON under its
 * settings as they stand, in one transaction under the write lock, as a
 * settings change that changes terms does, telling progress (may be
 * empty) how far it is, and then compacts the index. For an index written
 * by an earlier version of the indexer (layout.h: its pair terms). Returns
 * the number of documents rewritten. Throws what index_settings_json
 * throws, and LUMIDEX_ERROR_DOCUMENT_TOO_LARGE (nothing changes then). */
unsigned long long rewrite_index(Catalog &catalog, const std::string &name,
                                 const RewriteProgress &progress);

}  // namespace lmx

#endif
