/*
 * search.h: the query language, expansion, ranking and the search answer.
 *
 * It reads the index layout of layout.h.
 */
#ifndef LMX_ENGINE_SEARCH_H
#define LMX_ENGINE_SEARCH_H

#include <xapian.h>

#include <chrono>
#include <string>
#include <string_view>

#include "request.h"
#include "stats_cache.h"

namespace lmx {

/* Runs request on db under the index's settings (read once) and returns
 * the whole search answer:
 * {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,
 *  "total_hits_exact":B,"elapsed_ms":N}
 * ("total_hits_exact" when request.says_exactness). Each hit is the stored
 * document (the fields the request retrieves); when the query holds words
 * or fields are cropped, each also carries "_highlighted", the document
 * with its strings HTML-escaped and the matched words wrapped in <em>
 * (answer.cpp), unless the request turns highlighting off. elapsed_ms is
 * in milliseconds rounded to 0.001.
 * limit is already clamped to 0..kMaxSearchLimit and offset to >= 0 by
 * the caller; elapsed_ms counts from started. Never throws for any query
 * text; Xapian errors (DatabaseModifiedError included) propagate to the
 * caller, which reopens and retries; settings the engine cannot read throw
 * lmx::Error. stats, when not null, is what earlier searches of db's
 * current revision looked up (stats_cache.h), used and added to. */
std::string search_json(Xapian::Database &db, const SearchRequest &request,
                        std::chrono::steady_clock::time_point started,
                        StatsCache *stats = nullptr);

}  // namespace lmx

#endif
