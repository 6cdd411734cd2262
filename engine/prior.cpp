/*
 * prior.cpp: the name-family prior and the final order of a page of
 * matches (prior.h).
 *
 * It reads two statistics per name, the number of documents holding the
 * name as one of the words of their first field and the number whose first
 * field is exactly that word; their difference is the family. Both are
 * term frequencies, so the cost is two dictionary lookups per distinct
 * name in the window and nothing at write time.
 */
#include "prior.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "search.h"

namespace lmx {

double name_prior(const Xapian::Database &db, const Xapian::Document &doc) {
  std::string name = doc.get_value(kNameSlot);
  if (name.empty()) return 1.0;
  Xapian::doccount with_word = db.get_termfreq(kNameWordPrefix + name);
  Xapian::doccount same_name = db.get_termfreq(kWholeValuePrefix + name);
  double family = with_word > same_name ? with_word - same_name : 0;
  return 1.0 + kNameFamilyFactor * std::log1p(family);
}

std::vector<Xapian::doccount> ranked_order(const Xapian::Database &db,
                                           const Xapian::MSet &mset) {
  std::vector<Xapian::doccount> order(mset.size());
  std::iota(order.begin(), order.end(), 0);
  const Xapian::doccount window =
      std::min<Xapian::doccount>(mset.size(), kPriorWindow);
  std::vector<double> score(window);
  for (Xapian::doccount k = 0; k < window; ++k) {
    Xapian::MSetIterator it = mset[k];
    score[k] = it.get_weight() * name_prior(db, it.get_document());
  }
  /* Stable: equal scores keep the matcher's order (weight, then docid). */
  std::stable_sort(order.begin(), order.begin() + window,
                   [&](Xapian::doccount a, Xapian::doccount b) {
                     return score[a] > score[b];
                   });
  return order;
}

}  // namespace lmx
