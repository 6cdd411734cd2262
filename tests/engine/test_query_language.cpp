/*
 * test_query_language.cpp: what each kind of query text matches, through
 * lumidex_search on a real index: words, case and accents, the last word as
 * a prefix, phrases, exclusions, typo distances, operators that are plain
 * text, hostile input that must still give a JSON answer, and text of
 * scripts written without spaces (Japanese, Chinese, Thai), found by its
 * characters and runs.
 */
#include <algorithm>

#include "search_fixture.h"

namespace {

using searchtest::Answer;
using searchtest::Ids;

const char *const kCorpus =
    R"({"id":"z1","title":"Émile Zola","body":"French novelist of the NEAR past"}
{"id":"p1","title":"Programming in C","body":"a guide to programs and programmers"}
{"id":"n1","title":"New York","body":"a city guide"}
{"id":"r1","title":"York New","body":"reversed words"}
{"id":"s1","a":"new","b":"york"}
{"id":"y1","title":"Python library","body":"bindings for the xapian library"}
{"id":"t1","title":"Rust library","body":"a crate"}
{"id":"f1","body":"mango pineapple strawberry cucumber kiwi"}
)";

struct Case {
  const char *query;
  Ids expected; /* in any order */
};

class EngineQueryLanguage : public searchtest::SearchTest {
 protected:
  /* These cases state which words must match: the strategy "all". What
   * "most" adds after them is test_matching.cpp's. */
  void SetUp() override {
    SearchTest::SetUp();
    strategy_ = "all";
    add(kCorpus);
  }
  void expect_matches(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      Answer a = search(c.query);
      ASSERT_TRUE(a.ok()) << c.query << " -> " << a.raw();
      Ids got = a.ids();
      Ids want = c.expected;
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "query [" << c.query << "]";
    }
  }
};

TEST_F(EngineQueryLanguage, EveryWordMustMatchWithoutRegardToCaseOrAccents) {
  expect_matches({
      {"emile zola ", {"z1"}},
      {"ÉMILE ", {"z1"}},
      {"Emíle ", {"z1"}},
      {"new york ", {"n1", "r1", "s1"}},
      {"new york python ", {}},
      {"programming guide ", {"p1"}},
  });
}

TEST_F(EngineQueryLanguage, OnlyTheLastWordTypedMatchesAsAPrefix) {
  expect_matches({
      {"prog", {"p1"}},
      {"PROG", {"p1"}},
      {"prog ", {}},
      {"guide prog", {"p1"}},
      {"prog guide", {}},
      {"libr", {"y1", "t1"}},
      {"zol*", {"z1"}},
      {"prog \"guide\"", {}},
      {"-prog", {"z1", "p1", "n1", "r1", "s1", "y1", "t1", "f1"}},
  });
}

TEST_F(EngineQueryLanguage, QuotedWordsMatchAsAPhraseWithinOneValue) {
  expect_matches({
      {"\"new york\"", {"n1"}},
      {"\"York New\"", {"r1"}},
      {"\"new york", {"n1"}},
      {"city \"new york\" ", {"n1"}},
      {"\"xapian library\"", {"y1"}},
      {"\"library xapian\"", {}},
      {"\"\"", {"z1", "p1", "n1", "r1", "s1", "y1", "t1", "f1"}},
  });
}

TEST_F(EngineQueryLanguage, LeadingDashExcludesAWordOrAPhrase) {
  expect_matches({
      {"library -python ", {"t1"}},
      {"library -PYTHON", {"t1"}},
      {"library -\"xapian library\"", {"t1"}},
      {"library -\"library xapian\"", {"y1", "t1"}},
      {"york -rev -reversed", {"n1", "s1"}},
      {"library - python ", {"y1"}},
  });
}

TEST_F(EngineQueryLanguage, ExclusionsAloneListTheRestInInsertionOrder) {
  EXPECT_EQ(ids("-library"), (Ids{"z1", "p1", "n1", "r1", "s1", "f1"}));
  EXPECT_EQ(ids("-new -york -library -guide"), (Ids{"z1", "f1"}));
}

TEST_F(EngineQueryLanguage,
       TypoToleranceGrowsWithWordLengthAndKeepsTheFirstLetter) {
  expect_matches({
      {"kiwi ", {"f1"}},
      {"kiwa ", {}},       /* 4 letters: must be exact */
      {"manga ", {"f1"}},  /* 5 letters, one substitution */
      {"mnago ", {"f1"}},  /* one transposition */
      {"mangoo ", {"f1"}}, /* one insertion */
      {"mxngx ", {}},      /* two edits on 5 letters */
      {"nango ", {}},      /* another first letter */
      {"cucumbar ", {"f1"}},
      {"cucumbxx ", {}},      /* two edits on 8 letters */
      {"pineapqlx ", {"f1"}}, /* two edits on 9 letters */
      {"pinxapqlx ", {}},     /* three edits */
      {"strawbery ", {"f1"}},
      {"\"manga\"", {}}, /* a quoted word is taken exactly */
      /* an exclusion takes its word exactly */
      {"-manga", {"z1", "p1", "n1", "r1", "s1", "y1", "t1", "f1"}},
  });
}

TEST_F(EngineQueryLanguage, OperatorsAndPunctuationAreOrdinaryText) {
  expect_matches({
      {"NEAR ", {"z1"}},
      {"zola AND novelist ", {}},
      {"programs AND programmers ", {"p1"}},
      {"zola OR python ", {}},
      {"(zola) ", {"z1"}},
      {"title:zola ", {}}, /* field names are not searchable */
      {"zola^ ", {"z1"}},
      {"zola~2 novelist ", {}},
      {"\xffzola\xfe ", {"z1"}},
      /* the invalid byte splits the word in two, and two neighbouring
       * words also match as the one word they make together */
      {"zo\xffla ", {"z1"}},
      {"zo\xffl ", {}},
  });
}

TEST_F(EngineQueryLanguage, AWordTooLongToIndexMatchesNothing) {
  const std::string longest(64, 'w'); /* the longest term the index keeps */
  add("{\"id\":\"w1\",\"body\":\"" + longest + " zola\"}");
  const std::string too_long = longest + "w";
  expect_matches({
      {(longest + " ").c_str(), {"w1"}},
      {(too_long + " ").c_str(), {}},
      {("zola " + too_long).c_str(), {}},
      {("\"zola " + too_long + "\"").c_str(), {}},
      {("zola -" + too_long).c_str(), {"z1", "w1"}},
  });
  /* Beyond the 4096 bytes a JSON request takes: lumidex_search. */
  strategy_ = nullptr;
  expect_matches({{std::string(10240, 'a').c_str(), {}}});
}

TEST_F(EngineQueryLanguage, BeyondThirtyTwoWordsTheWeightiestAreKept) {
  std::string query;
  for (int i = 0; i < 31; ++i) query += "guide ";
  std::string unknown;
  for (int i = 0; i < 40; ++i) unknown += "nosuch" + std::to_string(i) + " ";
  expect_matches({
      /* Up to 32 words every word counts. */
      {(query + "nosuchword ").c_str(), {}},
      /* A repeated word counts once, so both words are kept. */
      {(query + "guide nosuchword ").c_str(), {}},
      /* Indexed words come before unknown ones, wherever they stand. */
      {(unknown + "zola ").c_str(), {}},
  });
  strategy_ = nullptr;
  expect_matches({{(unknown + "zola ").c_str(), {"z1"}}});
}

TEST_F(EngineQueryLanguage, HostileInputAlwaysGivesAJsonAnswer) {
  strategy_ = nullptr; /* lumidex_search takes texts of any length */
  std::string ten_kb_mixed;
  while (ten_kb_mixed.size() < 10240) ten_kb_mixed += "\"(NEAR* AND:^ -x \xff ";
  const std::vector<std::string> inputs = {"\"",
                                           "*",
                                           "(",
                                           ")",
                                           "NEAR",
                                           "AND",
                                           ":",
                                           "^",
                                           "-",
                                           "--",
                                           "-\"",
                                           "\\",
                                           "\"\"\"\"\"",
                                           "\"unbalanced",
                                           "a\"b\"c\"d",
                                           "\xff\xfe\xfd",
                                           "\xc3",
                                           "\xed\xa0\x80",
                                           "\xc0\xaf zola",
                                           "a\x01\x02b",
                                           "\t\r\n",
                                           ten_kb_mixed,
                                           std::string(10240, '"'),
                                           std::string(10240, 'a'),
                                           std::string(10240, '-'),
                                           std::string(10240, '\xe9')};
  for (const std::string &q : inputs) {
    Answer a = search(q);
    ASSERT_TRUE(a.ok()) << "query of " << q.size() << " bytes -> "
                        << a.raw().substr(0, 200);
    EXPECT_TRUE(yyjson_is_str(a.json().get("query")));
  }
}

TEST_F(EngineQueryLanguage, QueryIsEchoedAsValidUtf8) {
  EXPECT_EQ(search("Émile \"x\"").json().text("query"), "Émile \"x\"");
  EXPECT_EQ(search("a\xff"
                   "b\xc3")
                .json()
                .text("query"),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

/* Documents in scripts written without spaces, mixed with Latin words, and
 * Korean, which is written with spaces. */
const char *const kUnspacedCorpus =
    R"({"id":"neko","title":"吾輩は猫である","body":"名前はまだ無い。"}
{"id":"apart","title":"である猫","body":"猫 で ある"}
{"id":"inu","title":"犬と猫","body":"名前は犬"}
{"id":"namae","title":"名前"}
{"id":"kernel","title":"Linux カーネル 2.6","body":"オペレーティングシステムの中核"}
{"id":"gas","title":"ガス"}
{"id":"kasu","title":"カス"}
{"id":"thai","title":"ภาษาไทย","body":"ที่นี่"}
{"id":"korean","title":"한국어 사전"}
{"id":"long","body":"東西南北春夏秋冬東西南北春夏秋冬東西南北春夏秋冬東西南北春夏秋冬東西南北春夏秋冬"}
)";

class EngineUnspacedScripts : public EngineQueryLanguage {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    strategy_ = "all";
    add(kUnspacedCorpus);
  }
};

TEST_F(EngineUnspacedScripts, ACharacterFindsEveryRunHoldingIt) {
  expect_matches({
      {"猫", {"neko", "apart", "inu"}},
      {"猫 ", {"neko", "apart", "inu"}},
      {"犬", {"inu"}},
      {"無", {"neko"}},
      {"ー", {"kernel"}},
      {"ไ", {"thai"}},
      {"ที่", {"thai"}},
  });
}

TEST_F(EngineUnspacedScripts, SeveralCharactersMatchAsARunNotEachAnywhere) {
  expect_matches({
      {"猫で", {"neko"}},
      {"猫である", {"neko"}}, /* "apart" holds each character elsewhere */
      {"吾輩は猫", {"neko"}},
      {"輩は猫で", {"neko"}},
      {"猫は", {}},
      {"名前", {"neko", "inu", "namae"}},
      {"名前は", {"neko", "inu"}},
      {"吾輩 猫", {"neko"}},       /* two runs, each must match */
      {"\"吾輩は 猫\"", {"neko"}}, /* a phrase runs across them */
      {"\"猫 である\"", {"neko"}},
      {"\"である 猫\"", {"apart"}},
      {"ภาษาไทย", {"thai"}},
      {"ษาไ", {"thai"}},
      {"ที่นี่", {"thai"}},
      {"ガス", {"gas"}}, /* a voicing mark is a letter, not an accent */
      {"ｶﾞｽ", {"gas"}},
      {"カス", {"kasu"}},
      {"東西南北春夏秋冬東西南北春夏秋冬東西南北春夏秋冬東西南北", {"long"}},
  });
}

TEST_F(EngineUnspacedScripts, LatinWordsAndNumbersAroundARunStayWords) {
  expect_matches({
      {"カーネル", {"kernel"}},
      {"linux カーネル", {"kernel"}},
      {"Linuxカーネル2.6", {"kernel"}},
      {"カーネル 2.6", {"kernel"}},
      {"\"linux カーネル 2.6\"", {"kernel"}},
      {"\"カーネル 2.6\"", {"kernel"}},
      {"\"カーネル linux\"", {}},
      {"\"2.6 カーネル\"", {}},
      {"カーネル 2.4", {}},
      {"名前 -猫", {"namae"}},
      {"名前 -吾輩", {"inu", "namae"}},
      {"名前 -\"吾輩は 猫\"", {"inu", "namae"}},
      {"한국어", {"korean"}}, /* Hangul is written with spaces: words */
      {"한국", {"korean"}},
      {"한국 ", {}},
      {"국어", {}},
  });
}

TEST_F(EngineUnspacedScripts, ARunIsNeitherAPrefixNorTypoTolerant) {
  expect_matches({
      {"カーネ", {"kernel"}}, /* a run being typed: its pairs */
      {"linu", {"kernel"}},   /* the last word still completes */
      {"カ linu", {"kernel"}},
      {"linu カ", {}}, /* the word before a run is finished */
      {"linux カ", {"kernel"}},
      {"カーネルー", {}}, /* no typo candidates for a run */
      {"カーネノレ", {}},
      {"猫でわる", {}},
  });
}

}  // namespace
