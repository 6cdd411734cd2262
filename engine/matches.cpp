/*
 * matches.cpp: runs the built query and puts the matches in their final
 * order (see matches.h). The answer around them is answer.cpp's.
 */
#include "matches.h"

#include <algorithm>

#include "prior.h"

namespace lmx {

Matches find_matches(Xapian::Database &db, std::string_view query,
                     Xapian::doccount offset, Xapian::doccount limit) {
  Matches m;
  m.built = build_query(db, query);

  Xapian::Enquire enquire(db);
  enquire.set_query(m.built.query);
  if (m.built.unranked) enquire.set_weighting_scheme(Xapian::BoolWeight());
  enquire.set_docid_order(Xapian::Enquire::ASCENDING);
  /* A ranked query reads its matches from the first one on, at least the
   * prior's window, so that each page is a slice of the same final order
   * (prior.h); an unranked one, or one that wants only the count, reads
   * just its page. */
  const bool page_only = m.built.unranked || limit == 0;
  m.mset = page_only
               ? enquire.get_mset(offset, limit, kExactCountBelow)
               : enquire.get_mset(0, std::max(offset + limit, kPriorWindow),
                                  kExactCountBelow);
  if (page_only) {
    m.page.resize(m.mset.size());
    for (Xapian::doccount k = 0; k < m.mset.size(); ++k) m.page[k] = k;
  } else {
    m.page = ranked_order(db, m.mset);
    m.page.erase(m.page.begin(),
                 m.page.begin() + std::min<size_t>(offset, m.page.size()));
    if (m.page.size() > limit) m.page.resize(limit);
  }
  return m;
}

}  // namespace lmx
