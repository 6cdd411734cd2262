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
 * family is counted from the index's term statistics, so it is always that
 * of the documents stored now: at search time, or, in an index that stores
 * priors (layout.h, kPriorSlot), by every write for the names its
 * documents bear (PriorKeeper), so that a search reads a page's priors
 * from one short value stream.
 *
 * The prior reorders the kPriorWindow best documents by text weight; the
 * matches after them keep their text order. Every page of one query is
 * thus a slice of one order, and a document far down by its text cannot
 * overtake the ones that match much better.
 */
#ifndef LMX_ENGINE_PRIOR_H
#define LMX_ENGINE_PRIOR_H

#include <xapian.h>

#include <set>
#include <string>
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
 * search of db. stored: db's layout stores the priors (layout.h,
 * kPriorSlot), which are then read from there. Otherwise each name's
 * prior is looked for in stats first and kept there, and so is each
 * document's prior, when stats is not null (synced to db's revision by the
 * caller). */
std::vector<Xapian::doccount> ranked_order(const Xapian::Database &db,
                                           const Xapian::MSet &mset,
                                           StatsCache *stats = nullptr,
                                           bool stored = false);

/* The prior of the documents whose name (kNameSlot) is name, from the
 * index's frequencies of the name's word (kNameWordPrefix) and of the name
 * as a whole value (kWholeValuePrefix). 1 for an empty name. */
double name_prior(const Xapian::Database &db, const std::string &name);

/* The stored form of a prior (kPriorSlot): its 8 bytes, big-endian, so
 * that index files read the same on every machine. decode_prior gives 1
 * for a value of any other size (none stored). */
std::string encode_prior(double prior);
double decode_prior(const std::string &value);

/* Keeps the stored priors (kPriorSlot) of an index whose layout has them
 * through one write transaction. The writer tells it of every document it
 * is about to remove or replace (note_stored, while it is still stored),
 * of every document it is about to add (note_new), or that every document
 * was written again, none of them with a stored prior (note_all); before
 * the commit, store() writes the
 * prior of every document named by a name word of any of them as it is
 * now, in the same transaction. Inactive (constructed with false), it
 * does nothing: the index does not store priors. */
class PriorKeeper {
 public:
  explicit PriorKeeper(bool active) : active_(active) {}
  bool active() const { return active_; }
  /* The document did of db. */
  void note_stored(const Xapian::Database &db, Xapian::docid did);
  /* The document of db that holds id_term (its primary key's term), if
   * any. */
  void note_stored(const Xapian::Database &db, const std::string &id_term);
  void note_new(const Xapian::Document &doc);
  void note_all() { all_ = active_; }
  /* Writes the priors that may have changed; throws what Xapian throws. */
  void store(Xapian::WritableDatabase &db);

 private:
  void note_terms(Xapian::TermIterator it, Xapian::TermIterator end);
  bool active_;
  bool all_ = false;
  std::set<std::string> words_;
};

}  // namespace lmx

#endif
