/*
 * matches.h: matching and ordering, the part of a search that decides which
 * documents a page shows and in what order. Writing the answer is
 * answer.cpp's (search.h); the engine floor (bench/floor_engine.cpp) calls
 * this same function, so it pays for exactly the engine's matching.
 */
#ifndef LMX_ENGINE_MATCHES_H
#define LMX_ENGINE_MATCHES_H

#include <xapian.h>

#include <string_view>
#include <vector>

#include "query.h"
#include "settings.h"

namespace lmx {

/* The matcher looks at this many documents at least, so counts below it
 * are exact while a common word still stops early. */
inline constexpr Xapian::doccount kExactCountBelow = 100;

/* The total of a query's matches is exact while it is at most this (a
 * result list shows "312 results" for such a query, and pages through all
 * of them); above it, it is an estimate: the matcher's, or for a query of
 * several words mostly one from their frequencies (matches.cpp). Either
 * way it does not depend on the page asked for. */
inline constexpr Xapian::doccount kExactTotalUpTo = 1000;

/* One search's matches: the built query (its matched terms serve
 * highlighting), the page in its final order, and the number of matches
 * in all. */
struct Matches {
  BuiltQuery built;
  std::vector<Xapian::MSetIterator> page;
  /* Matches of both tiers, the same for every page of one query over the
   * same data: exact when total_exact (always when there are at most
   * kExactTotalUpTo), else an estimate above kExactTotalUpTo. */
  Xapian::doccount total = 0;
  bool total_exact = false;
};

/* What narrows or orders the matches beyond the query text. */
struct MatchOptions {
  /* A boolean query every match must also match (filter.h filter_query),
   * applied to both tiers; Xapian::Query() for none. */
  Xapian::Query filter;
  /* The sort (sort.h): each tier ordered by its keys, ties by relevance,
   * then docid order, instead of by relevance and the prior; null for
   * none. Must live as long as the call. */
  const Xapian::KeyMaker *sorter = nullptr;
  /* What the query builder and the prior look up, kept for later
   * searches of the same revision (stats_cache.h, synced by the caller);
   * null for none. */
  StatsCache *stats = nullptr;
};

/* Matches query on db under settings and strategy (query.h) and orders
 * them. The documents holding every word come first: ranked by text weight
 * times the name-family prior over at least the prior's window (prior.h),
 * or, for an unranked query (no words), in docid order. With strategy
 * "most", when they are fewer than offset + limit, the documents holding
 * only some of the words follow, by text weight. Every page is thus a
 * slice of one final order; page holds the hits offset .. offset+limit-1
 * of it (fewer at the end). options (above) filter both tiers and sort
 * each of them. Never throws for any query text; Xapian errors
 * propagate. */
Matches find_matches(Xapian::Database &db, std::string_view query,
                     Xapian::doccount offset, Xapian::doccount limit,
                     const QuerySettings &settings = {},
                     MatchingStrategy strategy = MatchingStrategy::kMost,
                     const MatchOptions &options = {});

}  // namespace lmx

#endif
