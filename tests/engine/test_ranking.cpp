/*
 * test_ranking.cpp: the order of hits on small corpora where the right
 * order is obvious: a word in an earlier field beats the same word later,
 * an exact word beats a typo match even from a stronger field, and equal
 * matches come in insertion order (never id order).
 */
#include "search_fixture.h"

namespace {

using searchtest::Ids;

class EngineRanking : public searchtest::SearchTest {};

TEST_F(EngineRanking, EarlierFieldsWeighMore) {
  /* Same words in every document, only their fields differ; inserted
   * weakest first so insertion order cannot pass for ranking. */
  add(R"({"id":"third","title":"garden tips","body":"indoor plants","note":"ferns"}
{"id":"second","title":"garden tips","body":"ferns plants","note":"indoor"}
{"id":"first","title":"ferns tips","body":"indoor plants","note":"garden"}
)");
  EXPECT_EQ(ids("ferns "), (Ids{"first", "second", "third"}));
  EXPECT_EQ(ids("fern"), (Ids{"first", "second", "third"}));
}

TEST_F(EngineRanking, ExactMatchesRankAboveTypoMatches) {
  /* The typo sits in the title, the exact word only in the body. */
  add(R"({"id":"typo","title":"manga fresh","body":"sweet fruit"}
{"id":"exact","title":"sweet fruit","body":"mango fresh"}
{"id":"other","title":"sweet fruit","body":"apple fresh"}
)");
  EXPECT_EQ(ids("mango "), (Ids{"exact", "typo"}));
  EXPECT_EQ(ids("mango fresh "), (Ids{"exact", "typo"}));
  EXPECT_EQ(ids("fresh mango"), (Ids{"exact", "typo"}));
}

TEST_F(EngineRanking, EqualMatchesComeInInsertionOrder) {
  add(R"({"id":"e","title":"same words here"}
{"id":"b","title":"same words here"}
{"id":"d","title":"same words here"}
{"id":"a","title":"same words here"}
{"id":"c","title":"same words here"}
)");
  const Ids inserted{"e", "b", "d", "a", "c"};
  for (const char *q :
       {"same ", "words here", "sam", "\"words here\"", "", "-other"})
    EXPECT_EQ(ids(q), inserted) << "query [" << q << "]";
}

}  // namespace
