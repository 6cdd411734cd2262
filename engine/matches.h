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

namespace lmx {

/* The matcher looks at this many documents at least, so counts below it
 * are exact while a common word still stops early. */
inline constexpr Xapian::doccount kExactCountBelow = 100;

/* One search's matches: the built query (its matched terms serve
 * highlighting), the matcher's result set, and the page in its final order
 * as indexes into mset. */
struct Matches {
  BuiltQuery built;
  Xapian::MSet mset;
  std::vector<Xapian::doccount> page;
};

/* Matches query on db and orders them: a ranked query by text weight times
 * the name-family prior over at least the prior's window (prior.h), so
 * every page is a slice of one final order; an unranked one (no words) in
 * docid order. page holds the hits offset .. offset+limit-1 of that order
 * (fewer at the end). mset.get_matches_estimated() is the total, exact
 * below kExactCountBelow. Never throws for any query text; Xapian errors
 * propagate. */
Matches find_matches(Xapian::Database &db, std::string_view query,
                     Xapian::doccount offset, Xapian::doccount limit);

}  // namespace lmx

#endif
