/*
 * matches.cpp: runs the built query and puts the matches in their final
 * order (see matches.h). The answer around them is answer.cpp's.
 *
 * Strategy "most" runs two matches. The first tier (every word) is read as
 * before: from its first match on, at least the prior's window. Only when
 * it holds fewer than offset + limit documents has it been read whole, and
 * then its size is exact; the page goes on into the second tier at the
 * position that many documents further on. The second tier (some of the
 * words, none of the first tier's documents) is read only when the page
 * reaches it, leaving out the first tier's documents by their ids (a match
 * decider: a set lookup per match).
 *
 * The total (matches.h) is what the pages counted when they counted
 * exactly and found at most kExactTotalUpTo; otherwise one more match of
 * both tiers together counts it, unranked, apart from any page, so every
 * page of a query gives the same total over the same data. That count
 * reads no posting when the term statistics already put it past
 * kExactTotalUpTo, and leaves out a first tier known to be empty. When
 * the second tier is a disjunction of terms, the statistics are its
 * terms' frequencies (query.h, TermFreqs, mostly looked up already), so
 * no posting list is opened.
 *
 * A filter narrows both tiers (OP_FILTER: it adds no weight) and the
 * count. A sort orders each tier by its keys, ties by relevance and then
 * docid, in place of the prior's order: the documents holding every word
 * still come first, as the strategy says.
 */
#include "matches.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "layout.h"
#include "prior.h"

namespace lmx {

namespace {

/* An enquire for query on db: unranked (every match weighs 0), or ranked
 * by BM25. For an index of normalised word weights (layout.h) that is BM25
 * without length normalisation, which reads no document length, with k1
 * scaled as the weights were, and every weight scaled back by a constant,
 * so that each is what BM25 gives the raw weights (up to their rounding). */
Xapian::Enquire enquire_of(Xapian::Database &db, const Xapian::Query &query,
                           bool unranked, bool normalised,
                           const Xapian::KeyMaker *sorter = nullptr) {
  Xapian::Enquire enquire(db);
  if (unranked) {
    enquire.set_query(query);
    enquire.set_weighting_scheme(Xapian::BoolWeight());
  } else if (normalised) {
    enquire.set_query(Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, query,
                                    (kBm25K1 + 1) / (kBm25K1 * kWdfScale + 1)));
    enquire.set_weighting_scheme(
        Xapian::BM25Weight(kBm25K1 * kWdfScale, 0, 1, 0, kBm25MinNormLength));
  } else {
    enquire.set_query(query);
    enquire.set_weighting_scheme(
        Xapian::BM25Weight(kBm25K1, 0, 1, kBm25B, kBm25MinNormLength));
  }
  enquire.set_docid_order(Xapian::Enquire::ASCENDING);
  /* The key maker is not copied: sorter outlives the enquire's matches. */
  if (sorter)
    enquire.set_sort_by_key_then_relevance(
        const_cast<Xapian::KeyMaker *>(sorter), false);
  return enquire;
}

/* Refuses the documents of a set of ids. */
class NotIn : public Xapian::MatchDecider {
 public:
  explicit NotIn(std::unordered_set<Xapian::docid> ids)
      : ids_(std::move(ids)) {}
  bool operator()(const Xapian::Document &doc) const override {
    return ids_.count(doc.get_docid()) == 0;
  }

 private:
  std::unordered_set<Xapian::docid> ids_;
};

/* True when mset's count of matches is known exactly. */
bool counted(const Xapian::MSet &mset) {
  return mset.get_matches_lower_bound() == mset.get_matches_upper_bound();
}

/* The bounds and estimate of how many documents match q, from its terms'
 * frequencies alone, when q is a disjunction of terms and phrases of terms
 * (OR, SYNONYM and weight scaling; the first branch of an AND_MAYBE, whose
 * others only add weight): at least as many as hold its most frequent
 * term, at most the sum (a phrase counting as its rarest term), and the
 * number expected were the terms independent. False for any other query. */
struct Estimate {
  double lower = 0, upper = 0, none = 1;
};

/* Whether term is a heading or whole-value term, which only adds weight to
 * documents its word's term matches (except a short prefix's completions,
 * matched through their heading terms: their estimate may come out low,
 * never under the bounds). */
bool weight_only(const std::string &term) {
  return term.rfind(kHeadingPrefix, 0) == 0 ||
         term.rfind(kWholeValuePrefix, 0) == 0;
}

bool estimate_disjunction(const Xapian::Query &q, const TermFreqs &freqs,
                          double docs, Estimate &e) {
  switch (q.get_type()) {
    case Xapian::Query::LEAF_TERM: {
      const std::string &term = *q.get_terms_begin();
      double freq = freqs(term);
      e.lower = std::max(e.lower, freq);
      e.upper += freq;
      /* A heading or whole-value term's documents hold its word too
       * (layout.h): counting them again would inflate the estimate. */
      if (!weight_only(term)) e.none *= 1.0 - std::min(freq, docs) / docs;
      return true;
    }
    case Xapian::Query::OP_AND_MAYBE:
      return estimate_disjunction(q.get_subquery(0), freqs, docs, e);
    case Xapian::Query::OP_PHRASE: {
      /* A phrase of terms (a split spelling, a synonym of several words)
       * matches at most as many documents as its rarest term holds: that
       * much more at most, and nothing certain. */
      double rarest = docs;
      for (size_t k = 0; k < q.get_num_subqueries(); ++k) {
        const Xapian::Query part = q.get_subquery(k);
        if (part.get_type() != Xapian::Query::LEAF_TERM) return false;
        rarest = std::min(rarest, double(freqs(*part.get_terms_begin())));
      }
      e.upper += rarest;
      return true;
    }
    case Xapian::Query::OP_OR:
    case Xapian::Query::OP_SYNONYM:
    case Xapian::Query::OP_SCALE_WEIGHT:
      for (size_t k = 0; k < q.get_num_subqueries(); ++k)
        if (!estimate_disjunction(q.get_subquery(k), freqs, docs, e))
          return false;
      return true;
    default:
      return false;
  }
}

/* The bounds and estimate of the count of b's matches (both tiers) from
 * its terms' frequencies, into e, when the tier that holds them all is a
 * disjunction of terms: the second tier, which holds the first's documents
 * too (but the few matched through a joined spelling or a synonym of
 * several words alone, which an estimate leaves out), or the query itself
 * when it is the only one (one word, strategy "all"). False otherwise. */
bool count_bounds(const Xapian::Database &db, const BuiltQuery &b,
                  Estimate &e) {
  const double docs = db.get_doccount();
  if (docs == 0 || b.unranked) return false;
  return estimate_disjunction(b.partial.empty() ? b.query : b.partial,
                              b.freqs, docs, e);
}

/* estimate, as a count between lower and upper, given with no more digits
 * than the width of that range supports: to two significant digits of the
 * width (an estimate of 32,635 between 14,626 and 44,000 is 33,000). */
Xapian::doccount rounded(double estimate, double lower, double upper) {
  double unit = 1;
  while (unit * 100 <= upper - lower) unit *= 10;
  double r = std::floor(estimate / unit + 0.5) * unit;
  return static_cast<Xapian::doccount>(std::min(std::max(r, lower), upper));
}

/* Settles m.total: a count the pages found exactly and within
 * kExactTotalUpTo stays; otherwise the matches of both tiers are counted
 * apart from any page, with a boolean weight (nothing is ranked) up to one
 * more than kExactTotalUpTo, which is exact up to there and past it the
 * matcher's estimate after that many, the same whichever page is asked. A
 * count above kExactTotalUpTo that a page happens to know exactly is not
 * kept, as another page of the same query would give the estimate. bounds
 * is what count_bounds found, null when it found nothing. */
void settle_total(Xapian::Database &db, Matches &m, const Estimate *bounds) {
  if (m.total_exact && m.total <= kExactTotalUpTo) return;
  const BuiltQuery &b = m.built;
  /* The second tier is mostly an OR of the words, and a query of one word
   * an OR of its terms: when their frequencies (most of them already
   * looked up by the query builder) put the count past kExactTotalUpTo,
   * the estimate comes from them (count_bounds), without opening a
   * posting list (each costs a block read or two, and the first tier's
   * heading, whole-value, typo and phrase terms are many). */
  if (bounds && bounds->lower > kExactTotalUpTo) {
    const double docs = db.get_doccount();
    m.total_exact = false;
    m.total = rounded(docs * (1.0 - bounds->none), bounds->lower,
                      std::min(bounds->upper, docs));
    return;
  }
  /* A first tier known to be empty adds no document to the second's, and
   * its terms (every word's heading, whole-value and typo terms) would
   * cost more to open than the count itself. */
  Xapian::Query all = b.partial.empty()    ? b.query
                      : b.first_tier_empty ? b.partial
                                           : Xapian::Query(Xapian::Query::OP_OR,
                                                           b.query, b.partial);
  Xapian::Enquire enquire = enquire_of(db, all, true, false);
  Xapian::MSet mset;
  /* The second tier's words are alternatives, so their statistics alone
   * give a lower bound of the count: when it is past kExactTotalUpTo,
   * counting up to there would end with the same bounds and estimate (the
   * matcher's estimate of a count it stops short of is the one its
   * statistics give), and the statistics are read without a posting. A
   * disjunction of terms estimated above already showed that lower bound
   * within kExactTotalUpTo: asking the matcher again would only open every
   * posting list twice. */
  Xapian::Query::op top = b.partial.get_type();
  if (!bounds &&
      (top == Xapian::Query::OP_OR || top == Xapian::Query::OP_AND_MAYBE)) {
    mset = enquire.get_mset(0, 0, Xapian::doccount(0));
    if (mset.get_matches_lower_bound() <= kExactTotalUpTo)
      mset = enquire.get_mset(0, 0, kExactTotalUpTo + 1);
  } else {
    mset = enquire.get_mset(0, 0, kExactTotalUpTo + 1);
  }
  m.total_exact = counted(mset);
  m.total = m.total_exact ? mset.get_matches_lower_bound()
                          : mset.get_matches_estimated();
}

/* The first tier's page and count into m, and the ids of the documents it
 * read into ids; returns how many it read: all of them when they are fewer
 * than offset + limit. settings: what the index's layout holds
 * (normalised weights for enquire_of, stored priors for ranked_order).
 * bounds as for settle_total. */
Xapian::doccount first_tier(Xapian::Database &db, Matches &m,
                            Xapian::doccount offset, Xapian::doccount limit,
                            std::unordered_set<Xapian::docid> &ids,
                            const MatchOptions &options,
                            const QuerySettings &settings,
                            const Estimate *bounds) {
  const bool normalised = settings.normalised;
  const Xapian::KeyMaker *sorter = options.sorter;
  /* A question's first tier is mostly empty, and the query builder may
   * already know it for a fraction of what running it would cost. */
  if (m.built.first_tier_empty) return 0;
  Xapian::Enquire enquire =
      enquire_of(db, m.built.query, m.built.unranked, normalised, sorter);
  /* A ranked query reads its matches from the first one on, at least the
   * prior's window, so that each page is a slice of the same final order
   * (prior.h); an unranked one, or one that wants only the count, reads
   * just its page. */
  const bool page_only = m.built.unranked || limit == 0;
  /* A query of one tier whose terms hold at most kExactTotalUpTo documents
   * between them is counted whole while it is ranked, which settles its
   * total (settle_total) without matching it a second time. */
  const Xapian::doccount check =
      m.built.partial.empty() && bounds && bounds->upper <= kExactTotalUpTo
          ? kExactTotalUpTo + 1
          : kExactCountBelow;
  Xapian::MSet mset =
      page_only ? enquire.get_mset(offset, limit, check)
                : enquire.get_mset(0, std::max(offset + limit, kPriorWindow),
                                   check);
  m.total = mset.get_matches_estimated();
  m.total_exact = counted(mset);
  if (page_only) {
    for (auto it = mset.begin(); it != mset.end(); ++it) m.page.push_back(it);
    return m.total;
  }
  for (auto it = mset.begin(); it != mset.end(); ++it) ids.insert(*it);
  if (sorter) {
    /* Sorted: the keys decide, the prior has no say. */
    for (Xapian::doccount k = offset; k < mset.size() && k < offset + limit;
         ++k)
      m.page.push_back(mset[k]);
    return mset.size();
  }
  std::vector<Xapian::doccount> order =
      ranked_order(db, mset, options.stats, settings.stored_priors);
  for (Xapian::doccount k = offset; k < order.size() && k < offset + limit; ++k)
    m.page.push_back(mset[order[k]]);
  return mset.size();
}

}  // namespace

Matches find_matches(Xapian::Database &db, std::string_view query,
                     Xapian::doccount offset, Xapian::doccount limit,
                     const QuerySettings &settings, MatchingStrategy strategy,
                     const MatchOptions &options) {
  Matches m;
  m.built = build_query(db, query, settings, strategy, options.stats);
  if (!options.filter.empty()) {
    m.built.query =
        Xapian::Query(Xapian::Query::OP_FILTER, m.built.query, options.filter);
    if (!m.built.partial.empty())
      m.built.partial = Xapian::Query(Xapian::Query::OP_FILTER,
                                      m.built.partial, options.filter);
  }
  /* The count's bounds from the terms' frequencies, looked up once for
   * both the first tier and the total. */
  Estimate estimate;
  const Estimate *bounds =
      count_bounds(db, m.built, estimate) ? &estimate : nullptr;
  std::unordered_set<Xapian::docid> ids;
  Xapian::doccount read =
      first_tier(db, m, offset, limit, ids, options, settings, bounds);
  if (m.built.partial.empty()) {
    settle_total(db, m, bounds);
    return m;
  }

  /* The first tier was read whole when it ended before the page did;
   * otherwise the page holds none of the second tier, which is only
   * counted. */
  const Xapian::doccount end = offset + limit;
  if (limit == 0 || read >= end) {
    m.total_exact = false;
    settle_total(db, m, bounds);
    return m;
  }
  const Xapian::doccount first = read;
  const Xapian::doccount skip = offset > first ? offset - first : 0;
  const Xapian::doccount want = end - std::max(offset, first);
  /* A few more than the page, so a small second tier is counted here and
   * needs no count of its own. */
  const Xapian::doccount check =
      first < kExactCountBelow ? kExactCountBelow - first : 0;
  const bool none = ids.empty();
  NotIn not_first(std::move(ids));
  Xapian::Enquire enquire = enquire_of(db, m.built.partial, false,
                                       settings.normalised, options.sorter);
  Xapian::MSet mset =
      enquire.get_mset(skip, want, check, nullptr, none ? nullptr : &not_first);
  for (auto it = mset.begin(); it != mset.end(); ++it) m.page.push_back(it);
  m.total = first + mset.get_matches_estimated();
  m.total_exact = counted(mset);
  settle_total(db, m, bounds);
  return m;
}

}  // namespace lmx
