/*
 * test_settings.cpp: the settings store on real databases: merging a
 * change onto stored settings, the refusals and their codes, the stored
 * form read back, and the normalised form queries read.
 */
#include <gtest/gtest.h>
#include <xapian.h>

#include "child.h"
#include "error.h"
#include "settings.h"
#include "stop_words.h"
#include "text.h"

namespace {

lmx::IndexSettings patch(const std::string &text,
                         const lmx::IndexSettings &base = {}) {
  return lmx::patched_settings(base, text);
}

}  // namespace

TEST(Settings, DefaultsAndTheWholeObject) {
  EXPECT_EQ(
      lmx::settings_json(lmx::IndexSettings()),
      R"({"searchableAttributes":["*"],"displayedAttributes":["*"],)"
      R"("language":null,"stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})");
  lmx::IndexSettings s = patch(
      R"({"searchableAttributes":["title","author.name"],"language":"fr",)"
      R"("stopWords":["le","la"],"synonyms":{"sf":["science fiction"]}})");
  EXPECT_EQ(
      lmx::settings_json(s),
      R"({"searchableAttributes":["title","author.name"],)"
      R"("displayedAttributes":["*"],"language":"fr",)"
      R"("stopWords":["le","la"],)"
      R"("synonyms":{"sf":["science fiction"]},"filterableAttributes":[],"sortableAttributes":[]})");
  /* Members not given keep what was there; null resets one. */
  lmx::IndexSettings t = patch(R"({"language":null,"displayedAttributes":["title"]})", s);
  EXPECT_EQ(t.searchable, s.searchable);
  EXPECT_EQ(t.language, "");
  EXPECT_EQ(t.displayed, std::vector<std::string>{"title"});
  EXPECT_EQ(t.stop_words, s.stop_words);
  EXPECT_FALSE(lmx::changes_terms(s, patch(R"({"synonyms":{}})", s)));
  EXPECT_TRUE(lmx::changes_terms(s, t));
  /* Stop words act at query time only: a new list rewrites nothing. */
  EXPECT_FALSE(lmx::changes_terms(s, patch(R"({"stopWords":[]})", s)));
  EXPECT_FALSE(lmx::changes_terms(
      s, patch(R"({"displayedAttributes":["title"],"synonyms":{}})", s)));
  EXPECT_TRUE(lmx::changes_terms(s, patch(R"({"language":"en"})", s)));
  EXPECT_TRUE(
      lmx::changes_terms(s, patch(R"({"searchableAttributes":["*"]})", s)));
  EXPECT_TRUE(lmx::changes_terms(
      s, patch(R"({"searchableAttributes":["author.name","title"]})", s)));
}

TEST(Settings, FilterableAndSortableListsShapeTheIndex) {
  lmx::IndexSettings s =
      patch(R"({"sortableAttributes":["year"],)"
            R"("filterableAttributes":["genre","author.name","year"]})");
  EXPECT_EQ(lmx::settings_json(s),
            R"({"searchableAttributes":["*"],"displayedAttributes":["*"],)"
            R"("language":null,"stopWords":[],"synonyms":{},)"
            R"("filterableAttributes":["genre","author.name","year"],)"
            R"("sortableAttributes":["year"]})");
  /* Every change of either list, its order included, gives other slots or
   * terms: a rewrite. */
  const char *rewrites[] = {
      R"({"filterableAttributes":["author.name","genre","year"]})",
      R"({"filterableAttributes":["genre","author.name"]})",
      R"({"filterableAttributes":null})",
      R"({"sortableAttributes":[]})",
      R"({"sortableAttributes":["year","genre"]})",
  };
  for (const char *p : rewrites)
    EXPECT_TRUE(lmx::changes_terms(s, patch(p, s))) << p;
  EXPECT_FALSE(lmx::changes_terms(
      s, patch(R"({"sortableAttributes":["year"],"stopWords":["a"]})", s)));
  EXPECT_EQ(patch(R"({"filterableAttributes":[]})", s).filterable.size(), 0u);
  EXPECT_EQ(patch(R"({"sortableAttributes":null})", s).sortable.size(), 0u);
}

TEST(Settings, RefusesWhatItDoesNotKnowNamingTheMember) {
  const struct {
    const char *body;
    const char *named;
  } cases[] = {
      {"[]", "JSON object"},
      {"not json", "JSON object"},
      {"", "JSON object"},
      {R"({"rankingRules":[]})", "rankingRules"},
      {R"({"searchableAttributes":"title"})", "searchableAttributes"},
      {R"({"searchableAttributes":[]})", "searchableAttributes"},
      {R"({"searchableAttributes":["*","title"]})", "searchableAttributes"},
      {R"({"searchableAttributes":["a","a"]})", "searchableAttributes"},
      {R"({"displayedAttributes":[1]})", "displayedAttributes"},
      {R"({"displayedAttributes":[""]})", "displayedAttributes"},
      {R"({"language":"xx"})", "\"en\""},
      {R"({"language":"english"})", "language"},
      {R"({"language":1})", "language"},
      {R"({"stopWords":"the"})", "stopWords"},
      {R"({"stopWords":[null]})", "stopWords"},
      {R"({"synonyms":[]})", "synonyms"},
      {R"({"synonyms":{"sf":"science fiction"}})", "synonyms"},
      {R"({"synonyms":{"sf":[""]}})", "synonyms"},
      {R"({"synonyms":{"--":["x"]}})", "synonyms"},
      {R"({"filterableAttributes":"genre"})", "`filterableAttributes` takes"},
      {R"({"filterableAttributes":{}})", "filterableAttributes"},
      {R"({"filterableAttributes":[1]})", "filterableAttributes"},
      {R"({"filterableAttributes":[""]})", "filterableAttributes"},
      {R"({"filterableAttributes":["a..b"]})", "`a..b` is not one"},
      {R"({"filterableAttributes":[".a"]})", "`.a` is not one"},
      {R"({"filterableAttributes":["a."]})", "filterableAttributes"},
      {R"({"filterableAttributes":["g","g"]})", "`g` is repeated"},
      {R"({"sortableAttributes":"year"})", "`sortableAttributes` takes"},
      {R"({"sortableAttributes":[null]})", "sortableAttributes"},
      {R"({"sortableAttributes":["y","y"]})", "`y` is repeated"},
      {R"({"sortableAttributes":["*"]})", "sortableAttributes"},
  };
  std::string many = R"({"filterableAttributes":[)";
  for (int i = 0; i <= 100; ++i)
    many += (i ? ",\"a" : "\"a") + std::to_string(i) + "\"";
  many += "]}";
  std::string long_path =
      R"({"sortableAttributes":[")" + std::string(129, 'x') + R"("]})";
  try {
    patch(many);
    ADD_FAILURE() << "101 filterable attributes accepted";
  } catch (const lmx::Error &e) {
    EXPECT_NE(std::string(e.what()).find("at most 100"), std::string::npos);
  }
  try {
    patch(long_path);
    ADD_FAILURE() << "a path of 129 bytes accepted";
  } catch (const lmx::Error &e) {
    EXPECT_EQ(e.code(), LUMIDEX_ERROR_INVALID_SETTINGS);
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.body);
    try {
      patch(c.body);
      ADD_FAILURE() << "accepted";
    } catch (const lmx::Error &e) {
      EXPECT_EQ(e.code(), LUMIDEX_ERROR_INVALID_SETTINGS);
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos)
          << e.what();
    }
  }
}

TEST(Settings, StoredWithTheIndexAndResetToAbsent) {
  lmxtest::TempDir tmp;
  const std::string path = tmp.sub("db");
  lmx::IndexSettings s = patch(
      R"({"searchableAttributes":["name"],"synonyms":{"tv":["television"]}})");
  {
    Xapian::WritableDatabase db(path, Xapian::DB_CREATE_OR_OPEN);
    EXPECT_EQ(lmx::read_settings(db), lmx::IndexSettings());
    lmx::write_settings(db, s);
    db.commit();
  }
  {
    Xapian::Database db(path);
    EXPECT_EQ(lmx::read_settings(db), s);
  }
  {
    Xapian::WritableDatabase db(path, Xapian::DB_OPEN);
    lmx::write_settings(db, lmx::IndexSettings());
    db.commit();
    EXPECT_EQ(db.get_metadata(lmx::kMetaSettings), "");
    db.set_metadata(lmx::kMetaSettings, R"({"future":1})");
    db.commit();
    try {
      lmx::read_settings(db);
      ADD_FAILURE() << "read unknown stored settings";
    } catch (const lmx::Error &e) {
      EXPECT_EQ(e.code(), LUMIDEX_ERROR_INTERNAL);
    }
  }
}

TEST(Settings, QueryFormIsNormalisedLikeSearchWords) {
  lmx::QuerySettings q = lmx::query_settings(patch(
      R"({"language":"en","stopWords":["The","À"],)"
      R"("synonyms":{"SF":["Science-Fiction","scifi"],"New York":["NYC"]}})"));
  ASSERT_TRUE(q.stemmer.has_value());
  EXPECT_EQ((*q.stemmer)("connections"), "connect");
  EXPECT_TRUE(q.stop_words.count("the"));
  EXPECT_TRUE(q.stop_words.count("a"));
  ASSERT_TRUE(q.synonyms.count("sf"));
  const std::vector<std::vector<std::string>> sf{{"science", "fiction"},
                                                 {"scifi"}};
  EXPECT_EQ(q.synonyms.at("sf"), sf);
  ASSERT_TRUE(q.synonyms.count("new york"));
  EXPECT_EQ(q.synonyms.at("new york"),
            (std::vector<std::vector<std::string>>{{"nyc"}}));
  EXPECT_FALSE(lmx::query_settings(lmx::IndexSettings()).stemmer.has_value());
  /* A run of a script written without spaces stands for the terms an index
   * holds for it: its pairs of characters, or the character alone. */
  lmx::QuerySettings cjk =
      lmx::query_settings(patch(R"({"synonyms":{"猫":["ねこだ"]}})"));
  ASSERT_TRUE(cjk.synonyms.count("猫"));
  EXPECT_EQ(cjk.synonyms.at("猫"),
            (std::vector<std::vector<std::string>>{{"ねこ", "こだ"}}));
}

TEST(Settings, EachLanguageGetsItsMaintainedStopWordList) {
  /* Codes with a list: a word as the list has it, found normalised as a
   * search word ("für" as "fur"). */
  const struct {
    const char *code;
    const char *word;
  } with_list[] = {
      {"da", "og"},    {"de", "für"}, {"en", "the"},  {"es", "el"},
      {"fi", "ja"},    {"fr", "été"}, {"hu", "hogy"}, {"it", "della"},
      {"ne", "अगाडि"}, {"nl", "het"}, {"no", "og"},   {"pt", "que"},
      {"ru", "и"},     {"sv", "och"}, {"tr", "ama"},
  };
  const char *without_list[] = {"ar", "ca", "eu", "ga", "hy",
                                "id", "lt", "ro", "ta"};
  EXPECT_EQ(std::size(with_list) + std::size(without_list),
            lmx::language_codes().size());
  for (const auto &c : with_list) {
    SCOPED_TRACE(c.code);
    EXPECT_GT(lmx::stop_words_of(c.code).size(), 100u);
    lmx::QuerySettings q = lmx::query_settings(
        patch(std::string(R"({"language":")") + c.code + R"("})"));
    EXPECT_TRUE(q.stop_words.count(lmx::normalize_word(c.word)));
    /* Another language's words are not this one's. */
    EXPECT_EQ(q.stop_words.count("the"), std::string(c.code) == "en");
  }
  for (const char *code : without_list) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(lmx::stop_words_of(code).empty());
    lmx::QuerySettings q = lmx::query_settings(patch(
        std::string(R"({"language":")") + code + R"(","stopWords":["x"]})"));
    EXPECT_EQ(q.stop_words, std::unordered_set<std::string>{"x"});
  }
  EXPECT_TRUE(lmx::query_settings(lmx::IndexSettings()).stop_words.empty());
}
