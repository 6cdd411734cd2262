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
#include <map>
#include <set>

#include "lumidex_admin.h"
#include "lumidex_search.h"
#include "query.h"
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

/* A question (four words or more) finds out that no document holds every
 * word from its rarest words before running its first tier. Each row's
 * document holds every word, one of them only in another form (a
 * completion of the last word, a short prefix's heading completion, a
 * typo, a split spelling, a stem): the check must see it as the first
 * tier does, and put it first. The fillers hold the rare words together
 * in more documents than the check reads term lists of, and in fewer. */
TEST_F(EngineMatching, QuestionsFindTheirEveryWordDocumentsWhateverTheForm) {
  std::string docs;
  for (int i = 0; i < 14; ++i)
    docs += "{\"id\":\"many" + std::to_string(i) +
            "\",\"body\":\"quokka wombat numbat bilby\"}\n";
  for (int i = 0; i < 3; ++i)
    docs += "{\"id\":\"few" + std::to_string(i) +
            "\",\"body\":\"dingo emu galah kookaburra\"}\n";
  for (int i = 0; i < 20; ++i)
    docs += "{\"id\":\"k" + std::to_string(i) + "\",\"body\":\"kangaroo\"}\n";
  docs += R"({"id":"completion","body":"quokka wombat numbat bilby wallabies"}
{"id":"heading","title":"zz9","body":"dingo emu galah kookaburra"}
{"id":"typo","body":"quokka wombat numbat bilby platypus"}
{"id":"split","body":"dingo emu galah kookaburra web server"}
{"id":"stem","body":"dingo emu galah kookaburra connected"}
)";
  add(docs);
  add_stems();
  set_settings(R"({"language":"en"})");
  struct Row {
    const char *q;
    const char *first;
  } rows[] = {
      {"quokka wombat numbat bilby wallab", "completion"},
      {"dingo emu galah kookaburra zz", "heading"},
      {"quokka wombat numbat bilby platypos ", "typo"},
      {"dingo emu galah kookaburra webserver ", "split"},
      {"dingo emu galah kookaburra connection ", "stem"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.q);
    EXPECT_EQ(ids_of(row.q, "all"), (Ids{row.first}));
    Ids got = ids_of(row.q);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], row.first);
  }
  /* No document holds every word: the rare words together in 16 and in 6
   * documents, the last word in none of them. */
  struct Empty {
    const char *q;
    int total;
  } empties[] = {{"quokka wombat numbat bilby kangaroo ", 36},
                 {"dingo emu galah kookaburra quokka ", 22}};
  for (const Empty &row : empties) {
    SCOPED_TRACE(row.q);
    EXPECT_EQ(ids_of(row.q, "all"), Ids{});
    EXPECT_EQ(query(row.q, "all").total(), 0);
    EXPECT_EQ(query(row.q).total(), row.total);
  }
}

/* In a question a word the index holds is taken as typed: its typo
 * candidates are only other endings of it, and it is not split in two;
 * the last word gets at most 8 completions, the most frequent ones. A
 * short query keeps every rule. */
TEST_F(EngineMatching, QuestionsTakeTheWordsTheIndexHoldsAsTyped) {
  /* "grapes" is rarer than "grape": in a question it is the word's other
   * ending, not another word (see the test below). */
  std::string docs = R"({"id":"grape","body":"grape"}
{"id":"grape2","body":"grape"}
{"id":"grapes","body":"grapes"}
{"id":"grope","body":"grope"}
{"id":"webserver","body":"webserver"}
{"id":"apart","body":"web server"}
)";
  /* Completions of "zeb": zeba (9 documents) .. zebi (1). */
  for (int c = 0; c < 9; ++c)
    for (int copy = 0; copy <= 8 - c; ++copy)
      docs += "{\"id\":\"z" + std::to_string(c) + "_" + std::to_string(copy) +
              "\",\"body\":\"zeb" + std::string(1, static_cast<char>('a' + c)) +
              "\"}\n";
  add(docs);
  auto sorted = [](Ids ids) {
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  EXPECT_EQ(sorted(ids_of("grape ")),
            (Ids{"grape", "grape2", "grapes", "grope"}));
  EXPECT_EQ(sorted(ids_of("how to eat grape ")),
            (Ids{"grape", "grape2", "grapes"}));
  EXPECT_EQ(sorted(ids_of("webserver ")), (Ids{"apart", "webserver"}));
  EXPECT_EQ(ids_of("how to run webserver "), (Ids{"webserver"}));
  Ids zeb = ids_of("how to find zeb");
  EXPECT_EQ(zeb.size(), 44u); /* 9 + 8 + ... + 2: all but zebi's one */
  EXPECT_EQ(std::count(zeb.begin(), zeb.end(), "z8_0"), 0);
  EXPECT_EQ(ids_of("zeb").size(), 45u);
}

/* Of a question word's ending typo candidates only those rarer than the
 * word are kept: a rarer one is the word with another ending ("systems"
 * for "system"), a more frequent one mostly another word ("systemd"). The
 * rule reads each word's own frequency, and a short query or a word the
 * index does not hold keeps every candidate. */
TEST_F(EngineMatching, QuestionWordsKeepOnlyTheirRarerEndings) {
  std::string docs;
  const struct {
    const char *word;
    int copies;
  } words[] = {{"system", 4}, {"systems", 1}, {"systemd", 12}};
  for (const auto &w : words)
    for (int i = 0; i < w.copies; ++i)
      docs += std::string("{\"id\":\"") + w.word + std::to_string(i) +
              "\",\"body\":\"" + w.word + "\"}\n";
  add(docs);
  struct Row {
    const char *q;
    const char *kept; /* the words whose documents it finds */
  } rows[] = {
      /* The rarer plural is kept, the more frequent "systemd" is not. */
      {"how to configure system ", "system systems"},
      /* Seen from "systemd" both others are rarer. */
      {"how to configure systemd ", "system systemd systems"},
      /* Seen from "systems" both others are more frequent. */
      {"how to configure systems ", "systems"},
      /* A short query keeps every typo candidate. */
      {"system ", "system systemd systems"},
      {"systems ", "system systemd systems"},
      /* A question word the index does not hold keeps the full rule. */
      {"how to configure systen ", "system"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.q);
    std::set<std::string> found;
    for (const std::string &id : ids_of(row.q))
      found.insert(id.substr(0, id.find_last_not_of("0123456789") + 1));
    std::string got;
    for (const std::string &w : found) got += (got.empty() ? "" : " ") + w;
    EXPECT_EQ(got, row.kept);
  }
}

TEST_F(EngineMatching, QuestionWordsLeaveEndingsOnlyAHandfulHold) {
  /* "networkd" is held by 1 of the 60 documents "network" is held by:
   * in a question it is another name, not the word's ending; "networks"
   * (6) is the word's plural. */
  std::string docs;
  std::map<std::string, std::string> word_of;
  const struct {
    const char *word;
    int copies;
  } words[] = {{"network", 60}, {"networks", 6}, {"networkd", 1}};
  for (const auto &w : words)
    for (int i = 0; i < w.copies; ++i) {
      std::string id = "x" + std::to_string(word_of.size());
      word_of[id] = w.word;
      docs += "{\"id\":\"" + id + "\",\"body\":\"" + w.word + "\"}\n";
    }
  add(docs);
  auto found = [&](const std::string &q) {
    std::set<std::string> held;
    for (const std::string &id : ids_of(q)) held.insert(word_of[id]);
    std::string got;
    for (const std::string &w : held) got += (got.empty() ? "" : " ") + w;
    return got;
  };
  EXPECT_EQ(found("how to configure network "), "network networks");
  /* A short query keeps every candidate. */
  EXPECT_EQ(found("network "), "network networkd networks");
}

/* A word that lmx::kKnownWordDocs documents hold is taken as typed in a
 * short query too: a document holding it with another ending still
 * matches when enough of the word's documents hold that ending
 * (lmx::kMinEndingTypoRatio: "packages"), not when a handful do
 * ("packaged"), and neither does one holding it misspelt ("pakcage") or
 * split in two ("pack age"). One document fewer and the word keeps every
 * typo candidate and its split spellings. A document holding another
 * form of a common word still comes after those holding it as typed. */
TEST_F(EngineMatching, ACommonWordMatchesItsEndingsButNotItsMisspellings) {
  const Xapian::doccount common = lmx::kKnownWordDocs;
  const int plural = static_cast<int>(lmx::kMinEndingTypoRatio * common) + 1;
  std::string docs;
  auto doc = [&](const std::string &id, const std::string &body) {
    docs += "{\"id\":\"" + id + "\",\"body\":\"" + body + "\"}\n";
  };
  /* "package" in common documents in all, "widget" in one fewer. */
  for (Xapian::doccount i = 0; i + 1 < common; ++i) {
    doc("p" + std::to_string(i), "package common");
    doc("w" + std::to_string(i), "widget");
  }
  for (int i = 0; i < plural; ++i) doc("s" + std::to_string(i), "packages");
  doc("package", "marker package");
  doc("packages", "marker packages");
  doc("packaged", "marker packaged");
  doc("pakcage", "marker pakcage");
  doc("widgetx", "marker widgetx");
  doc("wigdet", "marker wigdet");
  /* Longer words that start with the word, held by few documents. */
  doc("packageless", "marker packageless");
  doc("widgetry", "marker widgetry");
  /* The word written as two. */
  doc("pack_age", "marker pack age");
  doc("wid_get", "marker wid get");
  /* Two common words, one in another form. */
  doc("forms", "packages common");
  add(docs);
  EXPECT_EQ(query("marker package ", "all").ids(),
            (Ids{"package", "packages"}));
  Ids found = query("marker widget ", "all").ids();
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Ids{"wid_get", "widgetx", "wigdet"}));
  /* Typed last without a space, the common word does not match its rare
   * completions either; the other word still does. */
  EXPECT_EQ(query("marker package", "all").ids(), (Ids{"package", "packages"}));
  found = query("marker widget", "all").ids();
  EXPECT_NE(std::find(found.begin(), found.end(), "widgetry"), found.end());
  /* The word as the query's only word: its typo matches come last. */
  Ids typed = query("widget ", "all", 100, common - 50).ids();
  EXPECT_NE(std::find(typed.begin(), typed.end(), "wigdet"), typed.end());
  typed = query("package ", "all", 100, common - 50).ids();
  EXPECT_EQ(std::find(typed.begin(), typed.end(), "pakcage"), typed.end());
  EXPECT_EQ(std::find(typed.begin(), typed.end(), "packaged"), typed.end());
  EXPECT_NE(std::find(typed.begin(), typed.end(), "packages"), typed.end());
  /* Words that can only differ by their endings keep every document
   * holding them as typed first. */
  typed = query("package common ", "all", 100, common - 50).ids();
  ASSERT_FALSE(typed.empty());
  EXPECT_EQ(typed.back(), "forms");
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

/* In the second tier a word counts in any form by its stem: a rare word
 * held in another form outweighs a commoner one held as typed, and the
 * form typed still ranks above the other forms. */
TEST_F(EngineMatching, APartialMatchWeighsAWordInAnyFormByItsStem) {
  std::string docs = R"({"id":"a","body":"connected gadget"}
{"id":"b1","body":"zebra gadget"}
{"id":"b2","body":"zebra gadget"}
{"id":"b3","body":"zebra gadget"}
)";
  for (int i = 0; i < 16; ++i)
    docs +=
        "{\"id\":\"f" + std::to_string(i) + "\",\"body\":\"filler words\"}\n";
  add(docs);
  add_stems();
  set_settings(R"({"language":"en"})");
  Ids got = ids_of("connection zebra ");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "a");
  add(R"({"id":"typed","body":"connection gadget"})");
  add_stems();
  got = ids_of("connection zebra ");
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], "typed");
  EXPECT_EQ(got[1], "a");
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
       "offset, matchingStrategy, attributesToRetrieve, attributesToCrop, "
       "cropLength, highlight, filter, sort, facets."},
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
  /* The JSON entry also says whether the total is exact; lumidex_search's
   * answer keeps its members. */
  std::string from_request =
      strip(request("{\"q\":\"dun\",\"limit\":3,\"offset\":0}").raw());
  const std::string exact = "\"total_hits_exact\":true,";
  ASSERT_NE(from_request.find(exact), std::string::npos) << from_request;
  from_request.erase(from_request.find(exact), exact.size());
  EXPECT_EQ(from_request,
            strip(coretest::str(lumidex_search("t", "dun", 3, 0))));
}

}  // namespace
