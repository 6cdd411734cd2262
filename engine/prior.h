/*
 * prior.h: the query-independent part of ranking, a prior from the names
 * of the documents themselves.
 *
 * Text weight alone cannot tell the central document of a subject from the
 * many small ones whose short description says the same words ("web server"
 * is the whole summary of dozens of add-ons, helpers and meta packages).
 * What a collection does show is which names others build on: when nginx
 * has nginx-common, nginx-doc, nginx-light and prometheus-nginx-exporter
 * around it, the one named "nginx" is the one a user most likely means.
 * So a document whose first field (after the primary key) is one word gets
 * a prior that grows with the number of other documents whose first field
 * holds that word among other words (its name family), and its text weight
 * is multiplied by it:
 *
 *     prior = 1 + kNameFamilyFactor * ln(1 + family)
 *
 * Documents without a one-word name, and every document of an index
 * written before names were recorded (layout.h), have the prior 1. The
 * family is counted at search time from the index's term statistics, so it
 * is always that of the documents stored now.
 *
 * The prior reorders the kPriorWindow best documents by text weight; the
 * matches after them keep their text order. Every page of one query is
 * thus a slice of one order, and a document far down by its text cannot
 * overtake the ones that match much better.
 */
#ifndef LMX_ENGINE_PRIOR_H
#define LMX_ENGINE_PRIOR_H

#include <xapian.h>

#include <vector>

#include "stats_cache.h"

namespace lmx {

/* How much a name family raises the weight, per unit of its logarithm. */
inline constexpr double kNameFamilyFactor = 0.25;
/* The prior reorders this many of the best matches by text weight. */
inline constexpr Xapian::doccount kPriorWindow = 200;

/* The positions (0 ..  mset.size() - 1) of mset's documents in final
 * order: the first kPriorWindow by text weight times the prior, ties in
 * mset order, then the rest in mset order. mset must come from a weighted
 * search of db. Each name's prior is looked for in stats first and kept
 * there, and so is each document's prior, when stats is not null (synced
 * to db's revision by the caller). */
std::vector<Xapian::doccount> ranked_order(const Xapian::Database &db,
                                           const Xapian::MSet &mset,
                                           StatsCache *stats = nullptr);

}  // namespace lmx

#endif
