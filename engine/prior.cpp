/*
 * prior.cpp: the name-family prior and the final order of a page of
 * matches (prior.h).
 *
 * It reads two statistics per name, the number of documents holding the
 * name as one of the words of their first field and the number whose first
 * field is exactly that word; their difference is the family. Both are
 * term frequencies, so the cost is at most two dictionary lookups per
 * distinct name in the window, made in term order, and nothing at write
 * time. The names of the window's documents are read from their value
 * stream in docid order, which decodes each stored chunk of names once
 * instead of once per document; that read costs more than the lookups, so
 * a process that searches many times keeps each document's prior
 * (stats_cache.h) and reads the names of the documents it has not met.
 */
#include "prior.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

/* The priors of the first count documents of mset, in mset order, read
 * from the stored values (kPriorSlot) in docid order. */
std::vector<double> stored_priors(const Xapian::Database &db,
                                  const Xapian::MSet &mset,
                                  Xapian::doccount count) {
  std::vector<double> out(count, 1.0);
  std::vector<std::pair<Xapian::docid, Xapian::doccount>> by_docid;
  by_docid.reserve(count);
  for (Xapian::doccount k = 0; k < count; ++k)
    by_docid.emplace_back(*mset[k], k);
  std::sort(by_docid.begin(), by_docid.end());
  Xapian::ValueIterator value = db.valuestream_begin(kPriorSlot);
  const Xapian::ValueIterator end = db.valuestream_end(kPriorSlot);
  for (const auto &[docid, k] : by_docid) {
    if (value == end) break;
    value.skip_to(docid);
    if (value != end && value.get_docid() == docid)
      out[k] = decode_prior(*value);
  }
  return out;
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

/* The names of the documents of mset at the positions wanted (ascending
 * positions below mset.size()), in that order. */
std::vector<std::string> window_names(
    const Xapian::Database &db, const Xapian::MSet &mset,
    const std::vector<Xapian::doccount> &wanted) {
  std::vector<std::pair<Xapian::docid, size_t>> by_docid;
  by_docid.reserve(wanted.size());
  for (size_t k = 0; k < wanted.size(); ++k)
    by_docid.emplace_back(*mset[wanted[k]], k);
  std::sort(by_docid.begin(), by_docid.end());
  std::vector<std::string> names(wanted.size());
  Xapian::ValueIterator value = db.valuestream_begin(kNameSlot);
  const Xapian::ValueIterator end = db.valuestream_end(kNameSlot);
  for (const auto &[docid, k] : by_docid) {
    if (value == end) break;
    value.skip_to(docid);
    if (value != end && value.get_docid() == docid) names[k] = *value;
  }
  return names;
}

/* The prior of each of the first count documents of mset, in mset order:
 * from stats when it holds the document's, else from its name (read from
 * the index) and kept there from the second search of a revision on. */
std::vector<double> window_priors(const Xapian::Database &db,
                                  const Xapian::MSet &mset,
                                  Xapian::doccount count, StatsCache *stats) {
  std::vector<double> out(count, 1.0);
  std::vector<Xapian::doccount> unknown;
  const bool keep = stats && stats->searched_before();
  for (Xapian::doccount k = 0; k < count; ++k) {
    if (keep) {
      auto kept = stats->document_priors.find(*mset[k]);
      if (kept != stats->document_priors.end()) {
        out[k] = kept->second;
        continue;
      }
    }
    unknown.push_back(k);
  }
  if (unknown.empty()) return out;
  const std::vector<std::string> names = window_names(db, mset, unknown);
  const std::map<std::string, double> priors = priors_of(db, names, stats);
  for (size_t j = 0; j < unknown.size(); ++j) {
    auto prior = priors.find(names[j]);
    if (prior != priors.end()) out[unknown[j]] = prior->second;
    if (keep)
      StatsCache::put(stats->document_priors, kMaxCachedStatistics,
                      *mset[unknown[j]], out[unknown[j]]);
  }
  return out;
}

}  // namespace

std::vector<Xapian::doccount> ranked_order(const Xapian::Database &db,
                                           const Xapian::MSet &mset,
                                           StatsCache *stats, bool stored) {
  std::vector<Xapian::doccount> order(mset.size());
  std::iota(order.begin(), order.end(), 0);
  const Xapian::doccount window =
      std::min<Xapian::doccount>(mset.size(), kPriorWindow);
  std::vector<double> score = stored ? stored_priors(db, mset, window)
                                     : window_priors(db, mset, window, stats);
  for (Xapian::doccount k = 0; k < window; ++k)
    score[k] *= mset[k].get_weight();
  /* Stable: equal scores keep the matcher's order (weight, then docid). */
  std::stable_sort(order.begin(), order.begin() + window,
                   [&](Xapian::doccount a, Xapian::doccount b) {
                     return score[a] > score[b];
                   });
  return order;
}

double name_prior(const Xapian::Database &db, const std::string &name) {
  if (name.empty()) return 1.0;
  Xapian::doccount with_word = db.get_termfreq(kNameWordPrefix + name);
  if (with_word <= 1) return 1.0;
  return prior_from(with_word, db.get_termfreq(kWholeValuePrefix + name));
}

std::string encode_prior(double prior) {
  uint64_t bits;
  std::memcpy(&bits, &prior, sizeof bits);
  std::string out(sizeof bits, '\0');
  for (size_t k = 0; k < sizeof bits; ++k)
    out[k] = static_cast<char>(bits >> (8 * (sizeof bits - 1 - k)));
  return out;
}

double decode_prior(const std::string &value) {
  uint64_t bits = 0;
  if (value.size() != sizeof bits) return 1.0;
  for (unsigned char byte : value) bits = bits << 8 | byte;
  double prior;
  std::memcpy(&prior, &bits, sizeof prior);
  return prior;
}

void PriorKeeper::note_terms(Xapian::TermIterator it,
                             Xapian::TermIterator end) {
  /* A document's terms come in order, its name words together. */
  it.skip_to(kNameWordPrefix);
  for (; it != end; ++it) {
    const std::string term = *it;
    if (term.compare(0, 1, kNameWordPrefix) != 0) break;
    words_.insert(term.substr(1));
  }
}

void PriorKeeper::note_stored(const Xapian::Database &db, Xapian::docid did) {
  if (active_ && !all_)
    note_terms(db.termlist_begin(did), db.termlist_end(did));
}

void PriorKeeper::note_stored(const Xapian::Database &db,
                              const std::string &id_term) {
  if (!active_ || all_) return;
  Xapian::PostingIterator it = db.postlist_begin(id_term);
  if (it != db.postlist_end(id_term)) note_stored(db, *it);
}

void PriorKeeper::note_new(const Xapian::Document &doc) {
  if (active_ && !all_) note_terms(doc.termlist_begin(), doc.termlist_end());
}

namespace {

/* Stores prior as document did's (nothing for 1), when it holds another. */
void store_prior(Xapian::WritableDatabase &db, Xapian::docid did,
                 Xapian::Document &doc, double prior) {
  const std::string want = prior > 1.0 ? encode_prior(prior) : std::string();
  if (doc.get_value(kPriorSlot) == want) return;
  if (want.empty())
    doc.remove_value(kPriorSlot);
  else
    doc.add_value(kPriorSlot, want);
  /* Only the value changed: Xapian writes just that. */
  db.replace_document(did, doc);
}

}  // namespace

void PriorKeeper::store(Xapian::WritableDatabase &db) {
  if (!active_) return;
  if (all_) {
    /* Every document was written anew, without a stored prior: those with
     * a name get theirs, each name's counted once. The names first: the
     * documents are replaced as they are read. */
    std::vector<std::pair<Xapian::docid, std::string>> named;
    for (auto v = db.valuestream_begin(kNameSlot);
         v != db.valuestream_end(kNameSlot); ++v)
      named.emplace_back(v.get_docid(), *v);
    std::map<std::string, double> priors;
    for (const auto &[did, name] : named) {
      auto known = priors.find(name);
      if (known == priors.end())
        known = priors.emplace(name, name_prior(db, name)).first;
      if (known->second <= 1.0) continue;
      Xapian::Document doc = db.get_document(did);
      store_prior(db, did, doc, known->second);
    }
  } else {
    /* The documents named by each word: those holding it as a whole value
     * whose name (their first such value) it is. */
    for (const std::string &word : words_) {
      const std::string term = kWholeValuePrefix + word;
      std::vector<Xapian::docid> named(db.postlist_begin(term),
                                       db.postlist_end(term));
      if (named.empty()) continue;
      const double prior = name_prior(db, word);
      for (Xapian::docid did : named) {
        Xapian::Document doc = db.get_document(did);
        if (doc.get_value(kNameSlot) == word) store_prior(db, did, doc, prior);
      }
    }
  }
  all_ = false;
  words_.clear();
}

}  // namespace lmx
