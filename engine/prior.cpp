/*
 * prior.cpp: the name-family prior and the final order of a page of
 * matches (prior.h).
 *
 * It reads two statistics per name, the number of documents holding the
 * name as one of the words of their first field and the number whose first
 * field is exactly that word; their difference is the family. Both are
 * term frequencies, so the cost is at most two dictionary lookups per
 * distinct name in the window, made in term order, and nothing at write
 * time. The names of the
 * window's documents are read from their value stream in docid order, which
 * decodes each stored chunk of names once instead of once per document.
 */
#include "prior.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <string>
#include <utility>

#include "layout.h"

namespace lmx {

namespace {

/* The prior of a name held as one of the words of with_word documents'
 * first fields, and as the whole first field of same_name of them. */
double prior_from(Xapian::doccount with_word, Xapian::doccount same_name) {
  double family = with_word > same_name ? with_word - same_name : 0;
  return 1.0 + kNameFamilyFactor * std::log1p(family);
}

/* The prior of each distinct non-empty name of names: from stats when it
 * holds it (kept there otherwise), else read from the dictionary, in term
 * order, all the name-word terms first and then the whole-value ones, each
 * name once: consecutive lookups of nearby terms find their block already
 * read, where lookups in match order would jump between the two ranges and
 * read most blocks again (a search pays for every block it reads). */
std::map<std::string, double> priors_of(const Xapian::Database &db,
                                        const std::vector<std::string> &names,
                                        StatsCache *stats) {
  std::map<std::string, double> priors;
  for (const auto &name : names)
    if (!name.empty()) priors.emplace(name, 1.0);
  std::vector<std::pair<const std::string *, Xapian::doccount>> families;
  std::vector<const std::string *> looked_up;
  for (auto &[name, prior] : priors) {
    if (stats) {
      auto kept = stats->priors.find(name);
      if (kept != stats->priors.end()) {
        prior = kept->second;
        continue;
      }
    }
    looked_up.push_back(&name);
    Xapian::doccount with_word = db.get_termfreq(kNameWordPrefix + name);
    /* Only the document itself: no family, and no need to count twins. */
    if (with_word > 1) families.emplace_back(&name, with_word);
  }
  for (const auto &[name, with_word] : families)
    priors[*name] =
        prior_from(with_word, db.get_termfreq(kWholeValuePrefix + *name));
  if (stats)
    for (const std::string *name : looked_up)
      StatsCache::put(stats->priors, kMaxCachedStatistics, *name,
                      priors[*name]);
  return priors;
}

/* The names of the first count documents of mset, in mset order. */
std::vector<std::string> window_names(const Xapian::Database &db,
                                      const Xapian::MSet &mset,
                                      Xapian::doccount count) {
  std::vector<std::pair<Xapian::docid, Xapian::doccount>> by_docid;
  by_docid.reserve(count);
  for (Xapian::doccount k = 0; k < count; ++k)
    by_docid.emplace_back(*mset[k], k);
  std::sort(by_docid.begin(), by_docid.end());
  std::vector<std::string> names(count);
  Xapian::ValueIterator value = db.valuestream_begin(kNameSlot);
  const Xapian::ValueIterator end = db.valuestream_end(kNameSlot);
  for (const auto &[docid, k] : by_docid) {
    if (value == end) break;
    value.skip_to(docid);
    if (value != end && value.get_docid() == docid) names[k] = *value;
  }
  return names;
}

}  // namespace

std::vector<Xapian::doccount> ranked_order(const Xapian::Database &db,
                                           const Xapian::MSet &mset,
                                           StatsCache *stats) {
  std::vector<Xapian::doccount> order(mset.size());
  std::iota(order.begin(), order.end(), 0);
  const Xapian::doccount window =
      std::min<Xapian::doccount>(mset.size(), kPriorWindow);
  std::vector<std::string> names = window_names(db, mset, window);
  const std::map<std::string, double> priors = priors_of(db, names, stats);
  std::vector<double> score(window);
  for (Xapian::doccount k = 0; k < window; ++k) {
    auto prior = priors.find(names[k]);
    score[k] =
        mset[k].get_weight() * (prior == priors.end() ? 1.0 : prior->second);
  }
  /* Stable: equal scores keep the matcher's order (weight, then docid). */
  std::stable_sort(order.begin(), order.begin() + window,
                   [&](Xapian::doccount a, Xapian::doccount b) {
                     return score[a] > score[b];
                   });
  return order;
}

}  // namespace lmx
