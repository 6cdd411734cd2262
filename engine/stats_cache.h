/*
 * stats_cache.h: what a search looks up in an index's vocabulary, kept
 * from one search to the next while the index does not change.
 *
 * Building a query reads term frequencies, the completions of the word
 * being typed and the typo candidates of each word, and ordering the
 * matches reads each document's name and its family statistics (prior.h);
 * the answer reads the stored data of the page's documents.
 * All of them are functions of the index's committed data alone, so a
 * process that serves many searches (FastCGI, a program linking the
 * library) keeps them per open index and revision: a later search for the
 * same words, names or documents finds them here instead of reading the
 * index again. A CGI request searches once, and the cache only lives as
 * long as that search.
 *
 * Bounds: each map holds at most its kMax... entries (the documents' data
 * at most kMaxCachedDocumentBytes); a map that is full is emptied before
 * the next entry goes in (a few megabytes per index at most, whatever the
 * traffic). The whole cache is emptied when the index's
 * revision changes (sync), so nothing read from an earlier revision is
 * ever answered from here.
 *
 * The catalog (catalog.h) owns one per cached reader; the query builder
 * (query.h) and the prior (prior.h) take a null pointer for none. Not
 * thread-safe, like the reader it belongs to.
 */
#ifndef LMX_ENGINE_STATS_CACHE_H
#define LMX_ENGINE_STATS_CACHE_H

#include <xapian.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lmx {

/* Entries per map, at most: term frequencies and name priors (a word or a
 * name and a number each), completions and typo candidates (a word and up
 * to kMaxPrefixExpansions or kMaxTypoCandidates words each). */
inline constexpr size_t kMaxCachedStatistics = 50000;
inline constexpr size_t kMaxCachedExpansions = 2000;
/* Bytes of stored document data kept (documents, below), at most; a
 * document larger than a sixteenth of it is never kept. */
inline constexpr size_t kMaxCachedDocumentBytes = 2 << 20;

class StatsCache {
 public:
  /* Empties the cache unless it holds db's current revision. */
  void sync(const Xapian::Database &db) {
    Xapian::rev now = db.get_revision();
    if (synced_ && now == revision_) {
      ++searches_;
      return;
    }
    freqs.clear();
    completions.clear();
    typos.clear();
    priors.clear();
    document_priors.clear();
    documents.clear();
    document_bytes = 0;
    searches_ = 1;
    headings = -1;
    revision_ = now;
    synced_ = true;
  }

  /* Puts value under key in map, emptying the map first when it is full. */
  template <typename Map, typename Key, typename Value>
  static void put(Map &map, size_t max, const Key &key, Value &&value) {
    if (map.size() >= max) map.clear();
    map.insert_or_assign(key, std::forward<Value>(value));
  }

  /* Term -> number of documents holding it. */
  std::unordered_map<std::string, Xapian::doccount> freqs;
  /* Prefix and bound (query.cpp, Completions) -> completions. */
  std::unordered_map<std::string, std::vector<std::string>> completions;
  /* Word and kind of scan (query.cpp, word_query) -> typo candidates. */
  std::unordered_map<std::string, std::vector<std::string>> typos;
  /* Name -> its prior (prior.cpp). */
  std::unordered_map<std::string, double> priors;
  /* Whether the search in progress is not the first of this revision
   * (one sync per search). What is kept per document below is kept from
   * the second search on: a process that searches once, as a CGI request
   * does, would only pay for keeping it. */
  bool searched_before() const { return searches_ > 1; }
  /* Document -> its name's prior (prior.cpp): reading a document's name
   * from the index costs more than its prior's lookup. */
  std::unordered_map<Xapian::docid, double> document_priors;
  /* Document -> its stored data (answer.cpp): Xapian inflates a
   * document's data each time it is read, which was a tenth of a FastCGI
   * worker's time serving the same pages again. Bounded in bytes
   * (kMaxCachedDocumentBytes, document_bytes) rather than entries. */
  std::unordered_map<Xapian::docid, std::string> documents;
  size_t document_bytes = 0;

  /* Keeps data as document did's, emptying documents first when it would
   * go past kMaxCachedDocumentBytes; a document above a sixteenth of that
   * is not kept. */
  void keep_document(Xapian::docid did, const std::string &data) {
    if (data.size() > kMaxCachedDocumentBytes / 16) return;
    if (document_bytes + data.size() > kMaxCachedDocumentBytes) {
      documents.clear();
      document_bytes = 0;
    }
    if (documents.emplace(did, data).second) document_bytes += data.size();
  }
  /* Whether the index holds heading terms (query.cpp): 1 or 0, -1 for not
   * known yet. */
  int headings = -1;

 private:
  Xapian::rev revision_ = 0;
  /* Searches of revision_ so far, the one in progress included. */
  unsigned searches_ = 0;
  bool synced_ = false;
};

}  // namespace lmx

#endif
