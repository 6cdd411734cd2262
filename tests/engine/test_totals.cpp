/*
 * test_totals.cpp: "total_hits" of a search on a real index of 3,000
 * documents: the same on every page of one query, whatever the offset and
 * limit and whichever tier the page falls in; exact (and said so by
 * "total_hits_exact") up to 1,000 matches; above that an estimate said to
 * be one, and still above 1,000, questions whose first tier is empty
 * included. lumidex_search gives the same totals and
 * keeps its answer's members.
 */
#include <string>
#include <vector>

#include "search_fixture.h"

namespace {

using searchtest::Answer;

constexpr int kDocuments = 3000;

/* Document i holds "alpha" when i is even, "beta" when a multiple of 3,
 * "delta" of 7, "rare" of 10, and below 1,500 also "epsilon" when even and
 * "zeta" when a multiple of 3. */
std::string corpus() {
  std::string out;
  for (int i = 0; i < kDocuments; ++i) {
    std::string body = "common";
    if (i % 2 == 0) body += " alpha";
    if (i % 3 == 0) body += " beta";
    if (i % 7 == 0) body += " delta";
    if (i % 10 == 0) body += " rare";
    if (i < 1500 && i % 2 == 0) body += " epsilon";
    if (i < 1500 && i % 3 == 0) body += " zeta";
    out +=
        "{\"id\":\"d" + std::to_string(i) + "\",\"body\":\"" + body + "\"}\n";
  }
  return out;
}

/* How many documents of corpus() hold at least one of the words. */
int holding_some(const std::vector<int> &moduli, int below = kDocuments) {
  int n = 0;
  for (int i = 0; i < below; ++i)
    for (int m : moduli)
      if (i % m == 0) {
        ++n;
        break;
      }
  return n;
}

class EngineTotals : public searchtest::SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    add(corpus());
  }
  Answer page(const std::string &q, int limit, int offset) {
    std::string json = "{\"q\":\"" + q +
                       "\",\"limit\":" + std::to_string(limit) +
                       ",\"offset\":" + std::to_string(offset) + "}";
    return Answer(lumidex_search_request("t", json.c_str()));
  }
};

struct Pages {
  const char *q;
  long long total; /* the count, or -1 when it is above 1,000 */
};

TEST_F(EngineTotals, EveryPageOfAQueryHasTheSameTotal) {
  const Pages rows[] = {
      {"delta rare", holding_some({7, 10})},        /* 686: two tiers */
      {"epsilon zeta", holding_some({2, 3}, 1500)}, /* exactly 1,000 */
      {"rare", holding_some({10})},                 /* one word */
      {"alpha beta", -1},                           /* 2,000 */
      {"common", -1},                               /* every document */
      {"alpha -beta", 1000}, /* even, not a multiple of 3 */
      {"", -1},              /* the listing */
      /* Questions no document answers in full (the words "missing" and
       * "absent" are held by none): only the second tier counts, exact up
       * to 1,000 whatever its words' statistics bound it by. */
      {"delta rare missing absent", holding_some({7, 10})},
      {"epsilon zeta missing absent", holding_some({2, 3}, 1500)},
      {"alpha beta missing absent", -1},
      /* Five words or more: known to be empty without running it, and
       * the estimate taken from the words' frequencies. */
      {"alpha beta missing absent lost", -1},
  };
  const int offsets[] = {0,   19,   42,   43,   100,  685,   686,
                         999, 1000, 1500, 1999, 2990, 100000};
  const int limits[] = {0, 1, 20, 1000};
  for (const Pages &row : rows) {
    Answer first = page(row.q, 20, 0);
    ASSERT_TRUE(first.ok()) << row.q << ": " << coretest::last_error();
    const long long total = first.total();
    yyjson_val *exact = first.json().get("total_hits_exact");
    EXPECT_TRUE(yyjson_is_bool(exact)) << first.raw().substr(0, 300);
    if (row.total >= 0) {
      EXPECT_EQ(total, row.total) << row.q;
      EXPECT_TRUE(yyjson_get_bool(exact)) << row.q;
    } else if (!yyjson_get_bool(exact)) {
      EXPECT_GT(total, 1000) << row.q;
    }
    for (int limit : limits)
      for (int offset : offsets) {
        Answer a = page(row.q, limit, offset);
        ASSERT_TRUE(a.ok()) << row.q;
        EXPECT_EQ(a.total(), total)
            << "[" << row.q << "] limit " << limit << " offset " << offset;
        EXPECT_EQ(yyjson_get_bool(a.json().get("total_hits_exact")),
                  yyjson_get_bool(exact))
            << "[" << row.q << "] limit " << limit << " offset " << offset;
      }
    /* lumidex_search counts alike and does not say it. */
    Answer plain(lumidex_search("t", row.q, 20, 500));
    EXPECT_EQ(plain.total(), total) << row.q;
    EXPECT_EQ(plain.json().get("total_hits_exact"), nullptr) << row.q;
  }
}

TEST_F(EngineTotals, AnEstimateIsSaidToBeOne) {
  /* 2,000 documents hold alpha or beta: more than are counted exactly,
   * and the matcher cannot know the union from its statistics. */
  Answer a = page("alpha beta", 20, 0);
  ASSERT_TRUE(a.ok()) << coretest::last_error();
  EXPECT_FALSE(yyjson_get_bool(a.json().get("total_hits_exact"))) << a.raw();
  EXPECT_GT(a.total(), 1000);
  /* The estimate comes from the words' frequencies (1,500 and 1,000 of
   * 3,000); alpha and beta are independent here, so it is the union. */
  EXPECT_EQ(a.total(), holding_some({2, 3}));
  /* Every one of them is still reached by paging. */
  std::vector<std::string> seen;
  for (int offset = 0;; offset += 1000) {
    std::vector<std::string> ids = page("alpha beta", 1000, offset).ids();
    if (ids.empty()) break;
    seen.insert(seen.end(), ids.begin(), ids.end());
  }
  EXPECT_EQ(static_cast<int>(seen.size()), holding_some({2, 3}));
}

TEST_F(EngineTotals, AOneWordTotalPastTheExactCountComesFromItsTerms) {
  /* One word is a single tier, an OR of its terms (itself, completions,
   * typo candidates, heading terms, which add no document): 1,500 hold
   * "alpha", and so many are said without counting them. */
  for (const char *q : {"alpha", "alpha ", "alph"}) {
    Answer a = page(q, 20, 0);
    ASSERT_TRUE(a.ok()) << q << ": " << coretest::last_error();
    EXPECT_EQ(a.total(), 1500) << q;
    EXPECT_FALSE(yyjson_get_bool(a.json().get("total_hits_exact"))) << q;
  }
}

TEST_F(EngineTotals, AQuestionsEstimateLiesBetweenItsWordsBounds) {
  /* No document holds "missing": the first tier is empty (a question of
   * five words or more is known to be without running it), and the second
   * is estimated from the words' frequencies alone, 1,500 (alpha) at
   * least and 2,500 (both) at most. alpha and beta are independent in
   * this corpus, so the estimate is the true union, 2,000. */
  const char *q = "alpha beta missing absent lost";
  Answer a = page(q, 20, 0);
  ASSERT_TRUE(a.ok()) << coretest::last_error();
  EXPECT_FALSE(yyjson_get_bool(a.json().get("total_hits_exact"))) << a.raw();
  EXPECT_EQ(a.total(), holding_some({2, 3}));
  /* With an exclusion the count runs instead, and it agrees. */
  Answer b = page("alpha beta missing absent lost -gone", 20, 0);
  ASSERT_TRUE(b.ok()) << coretest::last_error();
  EXPECT_GE(b.total(), 1500);
  EXPECT_LE(b.total(), 2500);
}

}  // namespace
