/*
 * test_lengths.cpp: word weights normalised by document length when they
 * are written (layout.h). The same documents, written once with raw weights
 * and once normalised against their mean length, give every match of a
 * search the same weight, up to the rounding of the stored weights, so
 * they rank alike; and a reference length off the mean gives other
 * weights, so the reference is what the first comparison rests on. The
 * indexer and the matcher are the engine's own units, compiled in.
 */
#include <gtest/gtest.h>
#include <xapian.h>
#include <yyjson.h>

#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "indexer.h"
#include "layout.h"
#include "matches.h"

namespace {

/* Documents of many lengths and word counts, so that BM25's length
 * normalisation decides much of each weight. */
std::vector<std::string> documents() {
  std::vector<std::string> docs;
  for (int k = 0; k < 40; ++k) {
    std::string text;
    for (int n = 0; n < 1 + k % 4; ++n) text += "alpha ";
    for (int n = 0; n < k % 3; ++n) text += "beta ";
    for (int n = 0; n < 3 + (k * 7) % 40; ++n)
      text += "filler" + std::to_string(n % 5) + " ";
    docs.push_back(R"({"id":)" + std::to_string(k) + R"(,"name":"item )" +
                   std::to_string(k % 7) + R"(","text":")" + text + "\"}");
  }
  return docs;
}

/* Writes docs to a new database at path, with word weights normalised
 * against reference (0: raw), marked as the engine marks it; returns their
 * mean raw length. */
double write(const std::string &path, const std::vector<std::string> &docs,
             double reference) {
  Xapian::WritableDatabase db(path, Xapian::DB_CREATE_OR_OVERWRITE);
  lmx::Indexer indexer(lmx::IndexSettings(), reference);
  double sum = 0;
  for (size_t k = 0; k < docs.size(); ++k) {
    yyjson_doc *tree = yyjson_read(docs[k].data(), docs[k].size(), 0);
    Xapian::Document doc;
    indexer.build(yyjson_doc_get_root(tree), "id", std::to_string(k), doc);
    yyjson_doc_free(tree);
    sum += indexer.last_length();
    db.add_document(doc);
  }
  const double mean = sum / static_cast<double>(docs.size());
  if (reference > 0)
    lmx::mark_normalised(db, {reference, mean, double(docs.size()), 0},
                         false);
  else
    lmx::mark_pair_terms(db);
  db.commit();
  return mean;
}

/* docid -> text weight of every match of query (fewer than 100). */
std::map<Xapian::docid, double> weights(Xapian::Database &db,
                                        const std::string &query) {
  lmx::QuerySettings settings;
  const lmx::IndexLayout layout = lmx::index_layout(db);
  settings.pair_terms = layout.pair_terms;
  settings.normalised = layout.normalised;
  lmx::Matches m = lmx::find_matches(db, query, 0, 100, settings);
  std::map<Xapian::docid, double> out;
  for (const Xapian::MSetIterator &it : m.page) out[*it] = it.get_weight();
  return out;
}

/* The largest relative difference between the weights of the same
 * documents; both must hold the same documents. */
double largest_difference(const std::map<Xapian::docid, double> &a,
                          const std::map<Xapian::docid, double> &b) {
  EXPECT_EQ(a.size(), b.size());
  double worst = 0;
  for (const auto &[did, weight] : a) {
    auto found = b.find(did);
    if (found == b.end()) {
      ADD_FAILURE() << "document " << did << " matches only one index";
      continue;
    }
    worst = std::max(worst, std::abs(found->second / weight - 1));
  }
  return worst;
}

const char *kQueries[] = {"alpha", "beta", "alpha beta", "alpha filler3",
                          "item 4", "filler"};

TEST(EngineLengths, NormalisedWeightsWeighAsBm25OfTheRawOnes) {
  lmxtest::TempDir tmp;
  const std::vector<std::string> docs = documents();
  const double mean = write(tmp.sub("raw"), docs, 0);
  Xapian::Database raw(tmp.sub("raw"));
  /* The raw length is the length BM25 reads. */
  EXPECT_DOUBLE_EQ(mean, raw.get_avlength());
  write(tmp.sub("normalised"), docs, mean);
  Xapian::Database normalised(tmp.sub("normalised"));
  ASSERT_TRUE(lmx::index_layout(normalised).normalised);
  /* A stored weight is 32 times the raw one over the length's norm, which
   * these documents keep near 1: rounding it moves it by about one part in
   * 64, and BM25 damps that further. */
  for (const char *q : kQueries) {
    std::map<Xapian::docid, double> expected = weights(raw, q);
    ASSERT_GT(expected.size(), 3u) << q;
    EXPECT_LT(largest_difference(expected, weights(normalised, q)), 0.02) << q;
  }
  /* Normalised against a length far from the mean, the weights are other
   * ones: the documents' lengths weigh less or more than BM25 says. */
  write(tmp.sub("off"), docs, mean * 4);
  Xapian::Database off(tmp.sub("off"));
  double worst = 0;
  for (const char *q : kQueries)
    worst = std::max(worst, largest_difference(weights(raw, q), weights(off, q)));
  EXPECT_GT(worst, 0.1);
}

}  // namespace
