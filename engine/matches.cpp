/*
 * matches.cpp: runs the built query and puts the matches in their final
 * order (see matches.h). The answer around them is answer.cpp's.
 *
 * Strategy "most" runs two matches. The first tier (every word) is read as
 * before: from its first match on, at least the prior's window. Only when
 * it holds fewer than offset + limit documents has it been read whole,
 * and then its size is exact; the page goes on into the second tier at
 * the position that many documents further on. The second tier (some of
 * the words, none of the first tier's documents) is always counted, so
 * total_hits is the same on every page, but its documents are read only
 * when the page reaches them. A first tier read whole is left out of the
 * second by its document ids (a match decider: a set lookup per match);
 * otherwise by its query (AND_NOT), which costs a second check of every
 * word per match and is paid only to count.
 *
 * A filter narrows both tiers (OP_FILTER: it adds no weight). A sort
 * orders each tier by its keys, ties by relevance and then docid, in
 * place of the prior's order: the documents holding every word still come
 * first, as the strategy says.
 */
#include "matches.h"

#include <algorithm>
#include <unordered_set>

#include "prior.h"

namespace lmx {

namespace {

Xapian::Enquire enquire_of(Xapian::Database &db, const Xapian::Query &query,
                           bool unranked,
                           const Xapian::KeyMaker *sorter = nullptr) {
  Xapian::Enquire enquire(db);
  enquire.set_query(query);
  if (unranked) enquire.set_weighting_scheme(Xapian::BoolWeight());
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

/* The first tier's page and count into m, and the ids of the documents it
 * read into ids; returns how many it read: all of them when they are fewer
 * than offset + limit. */
Xapian::doccount first_tier(Xapian::Database &db, Matches &m,
                            Xapian::doccount offset, Xapian::doccount limit,
                            std::unordered_set<Xapian::docid> &ids,
                            const Xapian::KeyMaker *sorter) {
  Xapian::Enquire enquire =
      enquire_of(db, m.built.query, m.built.unranked, sorter);
  /* A ranked query reads its matches from the first one on, at least the
   * prior's window, so that each page is a slice of the same final order
   * (prior.h); an unranked one, or one that wants only the count, reads
   * just its page. */
  const bool page_only = m.built.unranked || limit == 0;
  Xapian::MSet mset =
      page_only ? enquire.get_mset(offset, limit, kExactCountBelow)
                : enquire.get_mset(0, std::max(offset + limit, kPriorWindow),
                                   kExactCountBelow);
  m.total = mset.get_matches_estimated();
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
  std::vector<Xapian::doccount> order = ranked_order(db, mset);
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
  m.built = build_query(db, query, settings, strategy);
  if (!options.filter.empty()) {
    m.built.query =
        Xapian::Query(Xapian::Query::OP_FILTER, m.built.query, options.filter);
    if (!m.built.partial.empty())
      m.built.partial = Xapian::Query(Xapian::Query::OP_FILTER,
                                      m.built.partial, options.filter);
  }
  std::unordered_set<Xapian::docid> ids;
  Xapian::doccount read =
      first_tier(db, m, offset, limit, ids, options.sorter);
  if (m.built.partial.empty()) return m;

  /* The first tier was read whole when it ended before the page did. */
  const Xapian::doccount end = offset + limit;
  const bool reaches = limit > 0 && read < end;
  const Xapian::doccount first = reaches ? read : m.total;
  const Xapian::doccount skip = offset > first ? offset - first : 0;
  const Xapian::doccount want = reaches ? end - std::max(offset, first) : 0;
  /* Counts stay exact while the two tiers together hold fewer than
   * kExactCountBelow documents; past that both are estimates, and the
   * second tier's is the matcher's estimate from term statistics alone,
   * which costs no walk over its matches. */
  const Xapian::doccount check =
      first < kExactCountBelow ? kExactCountBelow - first : 0;
  Xapian::MSet mset;
  if (reaches) {
    const bool none = ids.empty();
    NotIn not_first(std::move(ids));
    Xapian::Enquire enquire =
        enquire_of(db, m.built.partial, false, options.sorter);
    mset = enquire.get_mset(skip, want, check, nullptr,
                            none ? nullptr : &not_first);
  } else if (check == 0) {
    /* An estimate either way: that of the second query alone, whose
     * documents hold the first tier's (all but those of joined
     * spellings), spares opening the first tier's terms again. */
    mset = enquire_of(db, m.built.partial, false).get_mset(0, 0, check);
    m.total = std::max(first, mset.get_matches_estimated());
    return m;
  } else {
    Xapian::Enquire enquire = enquire_of(
        db,
        Xapian::Query(Xapian::Query::OP_AND_NOT, m.built.partial, m.built.core),
        false);
    mset = enquire.get_mset(0, 0, check);
  }
  for (auto it = mset.begin(); it != mset.end(); ++it) m.page.push_back(it);
  m.total = first + mset.get_matches_estimated();
  return m;
}

}  // namespace lmx
