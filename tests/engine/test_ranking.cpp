/*
 * test_ranking.cpp: the order of hits on small corpora where the right
 * order is obvious: a word in an earlier field beats the same word later,
 * an exact word beats a typo match even from a stronger field, equal
 * matches come in insertion order (never id order); then one case for each
 * relevance mechanism (heading words, one-word names, neighbouring words,
 * joined and split spellings, the bounded expansion of one letter, rare
 * completions of a finished word, short headings).
 */
#include <algorithm>
#include <set>

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
  strategy_ = "all"; /* "other" holds "fresh" alone */
  EXPECT_EQ(ids("mango "), (Ids{"exact", "typo"}));
  EXPECT_EQ(ids("mango fresh "), (Ids{"exact", "typo"}));
  EXPECT_EQ(ids("fresh mango"), (Ids{"exact", "typo"}));
}

TEST_F(EngineRanking, TheRaisedWeightOfExactMatchesHoldsForOneWord) {
  /* "mango" is held by 10 of 14 documents, "manga" (its typo candidate)
   * by one: the rare typo outweighs the common word, and only the raised
   * weight of exact matches keeps the word typed first, for a query of one
   * word as of several. */
  std::string body;
  for (int k = 0; k < 12; ++k)
    body += "{\"id\":\"filler" + std::to_string(k) +
            "\",\"title\":\"misc\",\"body\":\"" +
            (k < 9 ? "mango" : "kiwi") + "\"}\n";
  add(body + R"({"id":"typo","title":"sweet","body":"manga"}
{"id":"exact","title":"sweet","body":"mango"}
)");
  strategy_ = "all";
  for (const char *q : {"mango ", "sweet mango "}) {
    Ids got = ids(q);
    auto rank = [&](const char *id) {
      return std::find(got.begin(), got.end(), id) - got.begin();
    };
    EXPECT_LT(rank("exact"), rank("typo"))
        << q << ::testing::PrintToString(got);
  }
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

namespace {

using searchtest::Ids;

class EngineRelevance : public searchtest::SearchTest {
 protected:
  /* A query and the documents it must match, in any order. */
  struct MatchRow {
    const char *query;
    Ids expected;
  };
  void expect_matches(const std::vector<MatchRow> &rows) {
    for (const MatchRow &r : rows) {
      Ids got = ids(r.query);
      Ids want = r.expected;
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "query [" << r.query << "]";
    }
  }
};

/* Each row: a corpus where one mechanism alone decides the order, inserted
 * in the order that insertion order alone would get wrong. */
struct RankRow {
  const char *what;
  const char *corpus;
  const char *query;
  Ids expected;
};

TEST_F(EngineRelevance, EachRankingMechanismDecidesItsCase) {
  const RankRow rows[] = {
      {"words of the first line of a value weigh more",
       R"({"id":"later","name":"alpha","text":"a tool\nfor the garden hose"}
{"id":"lead","name":"beta","text":"garden hose\na tool for it"}
)",
       "garden hose ",
       {"lead", "later"}},
      {"a one-word name equal to the word weighs more",
       R"({"id":"mention","name":"kettle tools","text":"for a kettle"}
{"id":"named","name":"kettle","text":"for a kettle and some more"}
)",
       "kettle ",
       {"named", "mention"}},
      {"neighbouring words in the order typed weigh more",
       R"({"id":"apart","name":"one","text":"a server that speaks to the web of things"}
{"id":"together","name":"two","text":"a web server that speaks to things of it"}
)",
       "web server ",
       {"together", "apart"}},
      /* "serves" (a typo candidate of "server") brings in the exact-match
       * tier; a document matching through it comes first, as the matcher
       * met the fault this guards against only then. */
      {"neighbouring words weigh more when typo candidates take part too",
       R"({"id":"f1","name":"misc","text":"notes"}
{"id":"f2","name":"misc","text":"notes"}
{"id":"f3","name":"misc","text":"notes"}
{"id":"f4","name":"misc","text":"notes"}
{"id":"f5","name":"misc","text":"notes"}
{"id":"f6","name":"misc","text":"notes"}
{"id":"typo","name":"three","text":"web serves"}
{"id":"apart","name":"one","text":"web of a server"}
{"id":"together","name":"two","text":"a web server that speaks to things of it"}
)",
       "web server ",
       {"together", "apart", "typo"}},
      {"the word being typed and the one before it count as neighbours",
       R"({"id":"apart","name":"one","text":"a servlet that speaks to the web of things"}
{"id":"together","name":"two","text":"a web servlet that speaks to things of it"}
)",
       "web serv",
       {"together", "apart"}},
  };
  for (const RankRow &r : rows) {
    /* A fresh index per row (there is none before the first). */
    lumidex_index_delete("t");
    add(r.corpus);
    EXPECT_EQ(ids(r.query), r.expected) << r.what;
  }
}

TEST_F(EngineRelevance, WordsTypedApartOrTogetherMatchEitherSpelling) {
  add(R"({"id":"joined","name":"a","text":"fast webserver"}
{"id":"apart","name":"b","text":"fast web server"}
{"id":"other","name":"c","text":"fast server for the web"}
{"id":"none","name":"d","text":"fast websites"}
)");
  strategy_ = "all"; /* the spellings, not the second tier */
  expect_matches({
      {"web server ", {"joined", "apart", "other"}},
      {"web serv", {"joined", "apart", "other"}},
      {"webserver ", {"joined", "apart"}},
      {"fast webserver ", {"joined", "apart"}},
      {"websites ", {"none"}},
      /* quoted words are taken as typed */
      {"\"webserver\"", {"joined"}},
      {"\"web server\"", {"apart"}},
  });
}

TEST_F(EngineRelevance, AJoinedSpellingMatchesWithTheOtherWordsInAnyForm) {
  /* "webserver" is rare here, so before building its alternative the
   * engine looks for the other words in the term lists of the documents
   * holding it: each of them must be found there in whatever form the
   * query matches it (itself, a completion, a typo candidate, a quoted
   * phrase), and a document that lacks one must not match. */
  add(R"({"id":"joined","name":"a","text":"quick webserver for tests"}
{"id":"apart","name":"b","text":"quick web server for tests"}
{"id":"lacking","name":"c","text":"slow webserver for tests"}
{"id":"filler","name":"d","text":"quick notes for tests"}
)");
  strategy_ = "all"; /* which documents hold every word */
  expect_matches({
      {"quick web server ", {"joined", "apart"}},
      {"web server quick ", {"joined", "apart"}},
      {"web server qui", {"joined", "apart"}},
      {"web server quikc ", {"joined", "apart"}},
      {"\"for tests\" web server quick ", {"joined", "apart"}},
      {"web server tests", {"joined", "apart", "lacking"}},
      {"slow web server ", {"lacking"}},
      {"web server missing ", {}},
      {"\"quick for\" web server ", {}},
  });
}

TEST_F(EngineRelevance, AOneLetterPrefixExpandsToItsEightMostFrequentWords) {
  /* qz is held by two documents, qa .. qi by one each: the letter "q" is
   * expanded to qz and the first seven others in term order. */
  std::string body;
  for (char c = 'a'; c <= 'i'; ++c)
    body += std::string("{\"id\":\"q") + c + "\",\"w\":\"q" + c + "\"}\n";
  body += "{\"id\":\"z1\",\"w\":\"qz\"}\n{\"id\":\"z2\",\"w\":\"qz\"}\n";
  add(body);
  Ids got = ids("q", 100);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (Ids{"qa", "qb", "qc", "qd", "qe", "qf", "qg", "z1", "z2"}));
  /* Three letters or more reach the full expansion. */
  EXPECT_EQ(ids("qz", 100).size(), 2u);
}

TEST_F(EngineRelevance, OneAndTwoLetterPrefixesMatchHeadingWordsOnly) {
  /* "tape" stands in the first line of one text, in the second line of the
   * other: only the first is a heading word. */
  add(R"({"id":"head","name":"one","text":"tape\nfor reels"}
{"id":"body","name":"one","text":"reels\nfor tape"}
)");
  EXPECT_EQ(ids("t"), (Ids{"head"}));
  EXPECT_EQ(ids("ta"), (Ids{"head"}));
  EXPECT_EQ(ids("tap"), (Ids{"head", "body"}));
}

TEST_F(EngineRelevance, ShortPrefixesCompleteAllWordsInAnIndexWithoutHeadings) {
  /* Documents holding nothing but their primary key give no heading terms,
   * like an index written before there were any. */
  add(R"({"id":"almond"}
{"id":"alpine"}
{"id":"beech"}
)");
  for (const char *q : {"a", "al"}) {
    Ids got = ids(q);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (Ids{"almond", "alpine"})) << "query [" << q << "]";
  }
}

/* Twelve documents holding "server" in a late field, so the word is
 * common next to its completions. */
std::string common_server_docs() {
  std::string body;
  for (int k = 0; k < 12; ++k)
    body += "{\"id\":\"filler" + std::to_string(k) +
            "\",\"name\":\"misc\",\"text\":\"notes\",\"more\":\"a server\"}\n";
  return body;
}

TEST_F(EngineRelevance, RareCompletionsOfAFinishedCommonWordWeighLittle) {
  /* "server1" names one document: as a completion of the common word
   * "server" it would outweigh the word itself found in a heading. */
  add(common_server_docs() +
      R"({"id":"completion","name":"server1","text":"server1 tools\nfor server1"}
{"id":"word","name":"beta","text":"server tools\nfor it"}
)");
  Ids got = ids("server");
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[0], "word");
  EXPECT_EQ(got[1], "completion") << "a rare completion still matches";
  /* Text that is no indexed word completes at full weight. */
  EXPECT_EQ(ids("serve")[0], "completion");
}

TEST_F(EngineRelevance, ARareCompletionMatchesWhereverItsWordWould) {
  /* A rare completion weighs only through its word terms: no heading,
   * name or neighbour bonus of its own, and no exact-match bonus. It
   * still matches in every place the word does, next to a joined
   * spelling and a typo candidate ("serve"), and a document holding the
   * words apart is not counted again through the joined spelling. */
  add(common_server_docs() +
      R"({"id":"near","name":"a","text":"web server tools"}
{"id":"rare","name":"server1","text":"server1\nfor the web"}
{"id":"joined","name":"b","text":"webserver tools"}
{"id":"both","name":"c","text":"webserver and web server tools"}
{"id":"typo","name":"d","text":"web serve tools"}
)");
  strategy_ = "all";
  expect_matches({{"web server", {"near", "rare", "joined", "both", "typo"}}});
  Ids got = ids("web server");
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.begin() + 3),
            (std::set<std::string>{"near", "joined", "both"}));
  /* The name "server1" weighs through its word terms only, below a typo
   * candidate's document as well as the word's. */
  EXPECT_EQ(got[4], "rare");
}

TEST_F(EngineRelevance, FrequentCompletionsOfATypedWordKeepTheirWeight) {
  /* "tapes" is held by more documents than "tape": the typed word is
   * likely still being typed, and the name holding the completion wins. */
  std::string body;
  for (int k = 0; k < 4; ++k)
    body += "{\"id\":\"f" + std::to_string(k) +
            "\",\"name\":\"misc\",\"text\":\"notes\",\"more\":\"tapes\"}\n";
  add(body + R"({"id":"word","name":"beta","text":"reels\nfor tape"}
{"id":"completion","name":"tapes","text":"tapes kit\nfor reels"}
)");
  EXPECT_EQ(ids("tape")[0], "completion");
}

TEST_F(EngineRelevance, AJoinedSpellingWeighsLikeTheTwoWordsTogether) {
  /* "joined" and "apart" say the same, one as one word; "scattered" holds
   * both words, but not together. "webserver" is about as common as "web",
   * so its rarity alone cannot lift it; "serves", a typo candidate of
   * "server", brings in the exact-match tier. */
  std::string body = common_server_docs();
  for (int k = 0; k < 4; ++k)
    body += "{\"id\":\"j" + std::to_string(k) +
            "\",\"name\":\"misc\",\"text\":\"notes\",\"more\":"
            "\"webserver\"}\n";
  add(body +
      R"({"id":"typo","name":"misc","text":"notes","more":"web serves"}
{"id":"scattered","name":"one","text":"tools\nthe web of it and a server"}
{"id":"joined","name":"two","text":"tools\nfor the webserver of it"}
{"id":"apart","name":"three","text":"tools\nfor the web server of it"}
)");
  for (const char *q : {"web server", "web server "}) {
    Ids got = ids(q);
    auto rank = [&](const char *id) {
      return std::find(got.begin(), got.end(), id) - got.begin();
    };
    ASSERT_LT(rank("scattered"), static_cast<long>(got.size())) << q;
    EXPECT_LT(rank("joined"), rank("scattered")) << q;
    EXPECT_LT(rank("apart"), rank("scattered")) << q;
  }
}

TEST_F(EngineRelevance, ACompletionInAHeadingWeighsMoreWhateverItsPrefixHolds) {
  /* "zebrafish" completes "zebr": in "heading" it starts the first line,
   * in "body" only the text after it, which is shorter and would come
   * first on its words alone. Only the completions that stand in headings
   * take their heading terms into the query; that holds with hundreds of
   * other heading words under the prefix too. */
  add(R"({"id":"heading","name":"misc","text":"zebrafish tools for labs\nnotes"}
{"id":"body","name":"misc","text":"tools\nzebrafish"}
{"id":"filler","name":"misc","text":"tools\nnotes"}
)");
  auto rank = [&](const Ids &got, const char *id) {
    return std::find(got.begin(), got.end(), id) - got.begin();
  };
  EXPECT_EQ(ids("zebr"), (Ids{"heading", "body"}));
  std::string more;
  for (int k = 0; k < 600; ++k)
    more += "{\"id\":\"z" + std::to_string(k) +
            "\",\"name\":\"misc\",\"text\":\"zebr" + std::to_string(k) +
            " things\\nx\"}\n";
  add(more);
  Ids got = ids("zebr", 1000);
  ASSERT_LT(rank(got, "body"), static_cast<long>(got.size()));
  EXPECT_LT(rank(got, "heading"), rank(got, "body"));
}

TEST_F(EngineRelevance, AWordOfAShortHeadingWeighsMoreThanOfALongOne) {
  /* Same words; only the line break differs. The long heading's document
   * is the shorter one, which alone would rank it first. */
  add(R"({"id":"long","name":"a","text":"garden tool for the kitchen and the house\nx"}
{"id":"short","name":"b","text":"garden tool\nfor the kitchen and the house x and some more words to read here"}
)");
  EXPECT_EQ(ids("garden "), (Ids{"short", "long"}));
  /* A text whose first line holds no word has no heading. */
  add(R"({"id":"blank","name":"c","text":"\n\nonly later lines"})");
  EXPECT_EQ(ids("later "), (Ids{"blank"}));
}

}  // namespace
