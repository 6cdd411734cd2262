/*
 * test_matching.cpp: which documents a query matches and in what order,
 * beyond the words of test_query_language.cpp: the two tiers of the "most"
 * strategy and the "all" strategy, long questions, the index settings a
 * query reads (stop words, synonyms, stems, displayed fields), and the
 * JSON entry lumidex_search_request with its refusals. Real engine, real
 * index files; settings and stem terms are written into the index with
 * Xapian directly, as the settings store and the indexer keep them.
 */
#include <xapian.h>

#include <algorithm>
#include <set>

#include "lumidex_admin.h"
#include "lumidex_search.h"
#include "search_fixture.h"

namespace {

using searchtest::Answer;
using searchtest::Ids;

class EngineMatching : public searchtest::SearchTest {
 protected:
  /* lumidex_search_request on index "t" with the JSON request text. */
  Answer request(const std::string &json) {
    return Answer(lumidex_search_request("t", json.c_str()));
  }
  Answer query(const std::string &q, const char *strategy = "most",
               int limit = 100, int offset = 0) {
    std::string json = "{\"q\":\"" + q +
                       "\",\"limit\":" + std::to_string(limit) +
                       ",\"offset\":" + std::to_string(offset) +
                       ",\"matchingStrategy\":\"" + strategy + "\"}";
    return request(json);
  }
  Ids ids_of(const std::string &q, const char *strategy = "most") {
    return query(q, strategy).ids();
  }
  /* Stores settings (a JSON object of settings members) in index "t". */
  void set_settings(const std::string &json) {
    Xapian::WritableDatabase db(dir() + "/t", Xapian::DB_OPEN);
    db.set_metadata("lumidex:settings", json);
    db.commit();
  }
  /* Adds the English stem term of every word term to every document, as
   * the indexer does for an index whose language is "en". */
  void add_stems() {
    Xapian::WritableDatabase db(dir() + "/t", Xapian::DB_OPEN);
    Xapian::Stem stem("en");
    for (auto id = db.postlist_begin(""); id != db.postlist_end(""); ++id) {
      Xapian::Document doc = db.get_document(*id);
      std::vector<std::pair<std::string, Xapian::termcount>> words;
      for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t) {
        std::string term = *t;
        if (!term.empty() && !(term[0] >= 'A' && term[0] <= 'Z'))
          words.emplace_back(term, t.get_wdf());
      }
      for (const auto &w : words) doc.add_term("Z" + stem(w.first), w.second);
      db.replace_document(*id, doc);
    }
    db.commit();
  }
};

/* Documents holding every word come first, then those holding some,
 * the more of the query's weight the earlier; pages are slices of one
 * order and every page counts both tiers. */
TEST_F(EngineMatching, EveryWordDocumentsComeFirstThenPartialOnesOnEveryPage) {
  std::string docs;
  for (int i = 0; i < 12; ++i)
    docs += "{\"id\":\"c" + std::to_string(i) +
            "\",\"body\":\"common filler text\"}\n";
  docs +=
      R"({"id":"all1","body":"alpha beta common"}
{"id":"ab","body":"alpha beta"}
{"id":"all2","body":"common alpha beta and more words here"}
{"id":"a","body":"alpha alone"}
{"id":"none","body":"nothing of it"}
)";
  add(docs);
  Answer whole = query("alpha beta common");
  ASSERT_TRUE(whole.ok()) << whole.raw();
  Ids order = whole.ids();
  ASSERT_EQ(order.size(), 16u);
  EXPECT_EQ(whole.total(), 16);
  EXPECT_EQ(std::set<std::string>(order.begin(), order.begin() + 2),
            (std::set<std::string>{"all1", "all2"}));
  EXPECT_EQ(order[2], "ab");
  EXPECT_EQ(order[3], "a");
  EXPECT_EQ(ids_of("alpha beta common", "all"),
            Ids(order.begin(), order.begin() + 2));
  for (int limit : {1, 2, 3, 5, 7}) {
    Ids paged;
    for (int offset = 0; offset < 18; offset += limit) {
      Answer page = query("alpha beta common", "most", limit, offset);
      EXPECT_EQ(page.total(), 16) << limit << "/" << offset;
      Ids got = page.ids();
      paged.insert(paged.end(), got.begin(), got.end());
    }
    EXPECT_EQ(paged, order) << "limit " << limit;
  }
  /* The count alone, and a page wholly inside the first tier. */
  EXPECT_EQ(query("alpha beta common", "most", 0).total(), 16);
  EXPECT_EQ(query("alpha beta common", "most", 1).total(), 16);
  EXPECT_EQ(query("alpha beta common", "all", 1).total(), 2);
}

TEST_F(EngineMatching, ARareWordMatchedCountsFarMoreThanACommonOne) {
  std::string docs;
  for (int i = 0; i < 20; ++i)
    docs += "{\"id\":\"c" + std::to_string(i) +
            "\",\"body\":\"common words everywhere\"}\n";
  docs += R"({"id":"rare","body":"the zeppelin flies"})";
  add(docs);
  Ids got = ids_of("common zeppelin ");
  ASSERT_EQ(got.size(), 21u);
  EXPECT_EQ(got[0], "rare");
  EXPECT_EQ(ids_of("common zeppelin ", "all"), Ids{});
}

TEST_F(EngineMatching, ExclusionsAndPhrasesHoldInBothTiers) {
  add(R"({"id":"both","body":"alpha beta gamma"}
{"id":"ab","body":"alpha beta"}
{"id":"ba","body":"beta alpha"}
{"id":"g","body":"gamma"}
{"id":"abd","body":"alpha beta delta"}
{"id":"gd","body":"gamma delta"}
)");
  struct Row {
    const char *q;
    Ids expected; /* any order */
  } rows[] = {
      {"\\\"alpha beta\\\" gamma ", {"both", "ab", "abd"}},
      {"alpha gamma -delta ", {"both", "ab", "ba", "g"}},
      {"alpha gamma -\\\"beta delta\\\" ", {"both", "ab", "ba", "g", "gd"}},
      {"\\\"alpha beta\\\" gamma -delta ", {"both", "ab"}},
  };
  for (const Row &row : rows) {
    Ids got = ids_of(row.q);
    std::sort(got.begin(), got.end());
    Ids want = row.expected;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << row.q;
  }
}

TEST_F(EngineMatching, ThePrefixAndTypoRulesHoldInThePartialTier) {
  add(R"({"id":"bm","body":"betamax tapes"}
{"id":"pa","body":"pineapple juice"}
{"id":"zz","body":"unrelated"}
)");
  EXPECT_EQ(ids_of("zebra betam"), (Ids{"bm"}));
  EXPECT_EQ(ids_of("zebra betam "), (Ids{}));        /* a whole word now */
  EXPECT_EQ(ids_of("zebra pineaple "), (Ids{"pa"})); /* one edit */
  EXPECT_EQ(ids_of("zebra pinxaplx "), (Ids{}));     /* too many edits */
  EXPECT_EQ(ids_of("zebra betam", "all"), (Ids{}));
}

TEST_F(EngineMatching, LongQuestionsKeepTheirRarestWordsInTheirOrder) {
  std::string docs;
  for (int i = 0; i < 10; ++i)
    docs += "{\"id\":\"c" + std::to_string(i) +
            "\",\"body\":\"the of and to in is it that\"}\n";
  docs += R"({"id":"target","body":"quokka wombat standing together"}
{"id":"apart","body":"wombat here and quokka there"})";
  add(docs);
  /* 40 common words, then the two rare ones: beyond the 32nd word, yet kept,
   * and kept in order so that standing together still counts. */
  std::string q;
  for (int i = 0; i < 5; ++i) q += "the of and to in is it that ";
  q += "quokka wombat ";
  Ids got = ids_of(q);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0], "target");
  EXPECT_EQ(got[1], "apart");
  /* Within the bound every word counts, unknown ones too: none holds them
   * all, and the known ones still find documents. */
  EXPECT_EQ(ids_of("quokka wombat nosuchword ", "all"), (Ids{}));
  EXPECT_EQ(ids_of("quokka wombat nosuchword ").size(), 2u);
  /* A pasted text of 4096 bytes is answered. */
  std::string pasted;
  while (pasted.size() < 4000)
    pasted += "wombat quokka x" + std::to_string(pasted.size()) + " ";
  Answer a = query(pasted);
  ASSERT_TRUE(a.ok()) << a.raw().substr(0, 300);
  EXPECT_EQ(a.ids().size(), 2u);
}

TEST_F(EngineMatching, StopWordsNeverMatchOnTheirOwnInThePartialTier) {
  add(R"({"id":"t","body":"the end"}
{"id":"z","body":"zebra crossing"}
{"id":"tz","body":"the zebra"}
{"id":"et","body":"end the"}
)");
  EXPECT_EQ(ids_of("the zebra ").size(), 4u); /* no stop words yet */
  set_settings(R"({"stopWords":["The"]})");
  Ids got = ids_of("the zebra ");
  EXPECT_EQ(got, (Ids{"tz", "z"}));
  /* In the all-words tier and in phrases they count like any word. */
  EXPECT_EQ(ids_of("the zebra ", "all"), (Ids{"tz"}));
  EXPECT_EQ(ids_of("\\\"the end\\\""), (Ids{"t"}));
  /* Stop words alone still find what holds them all. */
  EXPECT_EQ(ids_of("the "), (Ids{"t", "tz", "et"}));
}

TEST_F(EngineMatching, SynonymsMatchOneWayAndRankAsTheWordItself) {
  /* Ids are words too: these hold none of the query's. */
  std::string docs = R"({"id":"tele","body":"television set"}
{"id":"t2","body":"tv set"}
{"id":"sf","body":"science fiction novels"}
{"id":"fs","body":"fiction about science"}
{"id":"scifi","body":"scifi stories"}
)";
  /* "television" is common: weighed as itself it would rank far below
   * "tv", which only one document holds. */
  for (int i = 0; i < 8; ++i)
    docs += "{\"id\":\"o" + std::to_string(i) + "\",\"body\":\"television\"}\n";
  add(docs);
  set_settings(R"({"synonyms":{"TV":["television"],"sf":["Science fiction"],
                  "science fiction":["scifi"]}})");
  Ids got = ids_of("tv ", "all");
  ASSERT_EQ(got.size(), 10u);
  /* A tie, in insertion order: "television" weighs as "tv" does. */
  EXPECT_LT(std::find(got.begin(), got.end(), "tele") - got.begin(),
            std::find(got.begin(), got.end(), "t2") - got.begin());
  EXPECT_EQ(ids_of("television set ", "all"), (Ids{"tele"}));
  EXPECT_EQ(ids_of("sf ", "all"), (Ids{"sf"}));
  got = ids_of("science fiction ", "all");
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (Ids{"fs", "scifi", "sf"}));
  Answer a = query("tv ", "all");
  ASSERT_TRUE(a.ok());
  EXPECT_NE(a.raw().find("<em>television</em> set"), std::string::npos)
      << a.raw();
}

TEST_F(EngineMatching, OtherFormsOfAWordMatchBelowTheFormTyped) {
  add(R"({"id":"ed","body":"connected devices"}
{"id":"ion","body":"connection devices"}
{"id":"other","body":"unrelated devices"}
)");
  EXPECT_EQ(ids_of("connection ", "all"), (Ids{"ion"}));
  add_stems();
  set_settings(R"({"language":"en"})");
  EXPECT_EQ(ids_of("connection ", "all"), (Ids{"ion", "ed"}));
  EXPECT_EQ(ids_of("connected devices ", "all"), (Ids{"ed", "ion"}));
  /* Held by neither: both by their stem alone, a tie in insertion order
   * ("connections" would be a typo away from "connection"). */
  EXPECT_EQ(ids_of("connects "), (Ids{"ed", "ion"}));
  Answer a = query("connects ");
  EXPECT_NE(a.raw().find("<em>connected</em>"), std::string::npos) << a.raw();
}

TEST_F(EngineMatching, HitsCarryOnlyTheDisplayedFieldsAndThePrimaryKey) {
  add(R"({"id":"1","title":"Dune","year":1965,"author":{"name":"Frank Herbert","born":1920},"tags":[{"name":"sf","x":1},2]})");
  set_settings(
      R"({"displayedAttributes":["author.name","title","tags.name"]})");
  for (const char *q : {"dune", ""}) {
    Answer a = query(q);
    ASSERT_TRUE(a.ok()) << a.raw();
    std::string hit = a.raw().substr(a.raw().find("{\"id\""));
    EXPECT_EQ(
        hit.rfind(
            R"({"id":"1","title":"Dune","author":{"name":"Frank Herbert"},"tags":[{"name":"sf"}])",
            0),
        0u)
        << q << ": " << a.raw();
  }
  Answer a = query("dune");
  EXPECT_NE(
      a.raw().find(
          R"("_highlighted":{"id":"1","title":"<em>Dune</em>","author":{"name":"Frank Herbert"},"tags":[{"name":"sf"}]})"),
      std::string::npos)
      << a.raw();
}

TEST_F(EngineMatching, TheJsonEntryRefusesWhatItDoesNotTake) {
  add(R"({"id":"1","body":"dune"})");
  struct Row {
    const char *json;
    int code;
    const char *says;
  } rows[] = {
      {"[]", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER, "expected a JSON object"},
      {"{\"q\":", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER, "JSON object"},
      {"{\"query\":\"x\"}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER,
       "Unknown search parameter `query`: the parameters are q, limit, "
       "offset, matchingStrategy, filter, sort, facets."},
      {"{\"q\":1}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER,
       "`q`: expected a string"},
      {"{\"q\":null}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER, "`q`"},
      {"{\"limit\":-1}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER,
       "`limit`: expected an integer of 0 or more"},
      {"{\"limit\":1.5}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER, "`limit`"},
      {"{\"offset\":\"2\"}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER,
       "`offset`"},
      {"{\"q\":\"a\",\"q\":\"b\"}", LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER,
       "given more than once"},
      {"{\"matchingStrategy\":\"some\"}",
       LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY, "expected \"most\" or \"all\""},
      {"{\"matchingStrategy\":1}", LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY,
       "matchingStrategy"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(lumidex_search_request("t", row.json), nullptr) << row.json;
    EXPECT_EQ(lumidex_last_error_code(), row.code) << row.json;
    EXPECT_NE(coretest::last_error().find(row.says), std::string::npos)
        << row.json << " -> " << coretest::last_error();
  }
  const std::string long_q = "{\"q\":\"" + std::string(4097, 'a') + "\"}";
  EXPECT_EQ(lumidex_search_request("t", long_q.c_str()), nullptr);
  EXPECT_NE(coretest::last_error().find("at most 4096 bytes"),
            std::string::npos);
  const std::string longest = "{\"q\":\"" + std::string(4096, 'a') + "\"}";
  EXPECT_TRUE(request(longest).ok());
  EXPECT_EQ(lumidex_search_request("missing", "{}"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  /* The defaults, the clamp, and the same answer as lumidex_search. */
  Answer none(lumidex_search_request("t", nullptr));
  EXPECT_EQ(none.json().integer("limit"), 20);
  EXPECT_EQ(none.ids(), (Ids{"1"}));
  EXPECT_EQ(request("{\"limit\":5000}").json().integer("limit"), 1000);
  auto strip = [](std::string s) {
    return s.substr(0, s.find("\"elapsed_ms\""));
  };
  EXPECT_EQ(strip(request("{\"q\":\"dun\",\"limit\":3,\"offset\":0}").raw()),
            strip(coretest::str(lumidex_search("t", "dun", 3, 0))));
}

}  // namespace
