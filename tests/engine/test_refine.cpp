/*
 * test_refine.cpp: a search's filter, sort and facets through the real
 * engine on real index files (lumidex_search_request): filters in both
 * tiers of the "most" strategy and every operator, numbers written as text,
 * missing attributes, sorts with missing values, mixed kinds and arrays,
 * facet counts over every match (multi-valued fields, after deletions), and
 * the refusals with their codes.
 */
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "lumidex_admin.h"
#include "lumidex_search.h"
#include "search_fixture.h"

namespace {

using searchtest::Answer;
using searchtest::Ids;

/* Nine documents in insertion order a..i. */
const char *kCorpus =
    R"({"id":"a","title":"library of games","section":"games","lang":"en","price":5,"tags":["x","y"],"code":7})"
    "\n"
    R"({"id":"b","title":"library manual","section":"docs","lang":"de","price":20,"tags":["y"],"code":"007"})"
    "\n"
    R"({"id":"c","title":"games engine","section":"Games","lang":"fr","price":12.5,"tags":[],"code":1000})"
    "\n"
    R"({"id":"d","title":"library","section":"Café","price":[3,40,90],"code":"1e3"})"
    "\n"
    R"({"id":"e","title":"other library","section":"games","lang":"en","price":"cheap","tags":["z","x"],"flag":true})"
    "\n"
    R"({"id":"f","title":"games of old","section":"docs","lang":"en","price":-2,"flag":"true"})"
    "\n"
    R"({"id":"g","title":"library games","section":null,"lang":"de","price":12.5,"flag":false})"
    "\n"
    R"({"id":"h","title":"quiet place","author":{"name":"Émile Zola"},"price":7})"
    "\n"
    R"({"id":"i","title":"library extra","section":["games","docs"],"price":60})";

class EngineRefine : public searchtest::SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    add(kCorpus);
    ASSERT_NE(lumidex_settings_update_json(
                  "t",
                  R"({"filterableAttributes":["section","lang","price","tags",)"
                  R"("code","flag","author.name"],)"
                  R"("sortableAttributes":["price","title","lang"]})",
                  nullptr, nullptr),
              nullptr)
        << coretest::last_error();
  }
  Answer request(const std::string &json) {
    return Answer(lumidex_search_request("t", json.c_str()));
  }
  /* The ids the empty query lists under filter (a JSON value). */
  Ids filtered(const std::string &filter) {
    return request(R"({"limit":100,"filter":)" + filter + "}").ids();
  }
  /* The code and message of a refused request. */
  std::pair<int, std::string> refusal(const std::string &json) {
    const char *answer = lumidex_search_request("t", json.c_str());
    EXPECT_EQ(answer, nullptr) << json;
    return {lumidex_last_error_code(), coretest::last_error()};
  }
};

Ids sorted(Ids ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST_F(EngineRefine, EveryOperatorThroughTheSearch) {
  const struct {
    const char *filter;
    Ids ids; /* in insertion order: the empty query lists them so */
  } rows[] = {
      {R"("section = games")", {"a", "c", "e", "i"}},
      {R"("section = GAMES")", {"a", "c", "e", "i"}},
      {R"("section = cafe")", {"d"}},
      {R"("section != games")", {"b", "d", "f", "g", "h"}},
      {R"("price > 12.5")", {"b", "d", "i"}},
      {R"("price >= 12.5")", {"b", "c", "d", "g", "i"}},
      {R"("price < 5")", {"d", "f"}},
      {R"("price <= 5")", {"a", "d", "f"}},
      {R"("price 30 TO 50")", {"d"}},
      {R"("price 6 TO 7")", {"h"}},
      {R"("lang IN [en, fr]")", {"a", "c", "e", "f"}},
      {R"("lang NOT IN [en, fr]")", {"b", "d", "g", "h", "i"}},
      {R"("tags EXISTS")", {"a", "b", "c", "e"}},
      {R"("tags NOT EXISTS")", {"d", "f", "g", "h", "i"}},
      {R"("section EXISTS AND NOT section = games")", {"b", "d", "f", "g"}},
      {R"("lang = en OR lang = de AND price > 10")", {"a", "b", "e", "f", "g"}},
      {R"("(lang = en OR lang = de) AND price > 10")", {"b", "g"}},
      {R"("author.name = 'emile zola'")", {"h"}},
      {R"("tags = x AND tags = y")", {"a"}},
      {R"(["section = games", ["lang = en", "lang = fr"]])", {"a", "c", "e"}},
      {R"([])", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
      /* numbers written as text: a bare number matches the number and the
       * string written exactly so; a quoted one the string only */
      {R"("code = 007")", {"a", "b"}},
      {R"("code = '007'")", {"b"}},
      {R"("code = 7")", {"a"}},
      {R"("code = 1e3")", {"c", "d"}},
      {R"("code = 1000")", {"c"}},
      {R"("code > 100")", {"c"}},
      {R"("flag = true")", {"e", "f"}},
      {R"("flag = 'true'")", {"f"}},
      {R"("flag = false")", {"g"}},
      {R"("price = cheap")", {"e"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.filter);
    EXPECT_EQ(filtered(row.filter), row.ids);
  }
}

TEST_F(EngineRefine, AFilterNarrowsBothTiersOfTheMostStrategy) {
  /* "library games" (every field is searched): a, e, g, i hold both words;
   * b, d "library" only; c, f "games" only. */
  Answer all = request(R"({"q":"library games","limit":100})");
  ASSERT_TRUE(all.ok()) << all.raw();
  EXPECT_EQ(all.total(), 8);
  Answer games = request(
      R"({"q":"library games","limit":100,"filter":"section = games"})");
  ASSERT_TRUE(games.ok()) << games.raw();
  EXPECT_EQ(games.total(), 4);
  Ids ids = games.ids();
  ASSERT_EQ(ids.size(), 4u);
  /* the games holding both words first, then c holding one */
  EXPECT_EQ(sorted(Ids(ids.begin(), ids.begin() + 3)), (Ids{"a", "e", "i"}));
  EXPECT_EQ(ids[3], "c");
  /* Same with "all": the first tier alone. */
  EXPECT_EQ(sorted(request(R"({"q":"library games","matchingStrategy":"all",)"
                           R"("filter":"section = games"})")
                       .ids()),
            (Ids{"a", "e", "i"}));
  EXPECT_EQ(request(R"({"q":"library games","filter":"section = docs"})").ids(),
            (Ids{"i", "b", "f"}));
  /* Pages of a filtered query are slices of one order. */
  Ids paged;
  for (int offset = 0; offset < 4; ++offset) {
    Answer one =
        request(R"({"q":"library games","limit":1,"offset":)" +
                std::to_string(offset) + R"(,"filter":"section = games"})");
    EXPECT_EQ(one.total(), 4);
    for (const std::string &id : one.ids()) paged.push_back(id);
  }
  EXPECT_EQ(paged, ids);
}

TEST_F(EngineRefine, SortsPutMissingValuesLastAndTiesByRelevanceThenOrder) {
  const struct {
    const char *request;
    Ids ids;
  } rows[] = {
      /* numbers before strings; d sorts by its smallest ascending, its
       * largest descending; c and g tie at 12.5 and keep insertion order */
      {R"({"sort":["price:asc"]})",
       {"f", "d", "a", "h", "c", "g", "b", "i", "e"}},
      {R"({"sort":["price:desc"]})",
       {"e", "d", "i", "b", "c", "g", "h", "a", "f"}},
      /* lang missing in d, h, i: last both ways, in insertion order */
      {R"({"sort":["lang:asc"]})",
       {"b", "g", "a", "e", "f", "c", "d", "h", "i"}},
      {R"({"sort":["lang:desc"]})",
       {"c", "a", "e", "f", "b", "g", "d", "h", "i"}},
      /* a second criterion orders the ties of the first (among "en", the
       * string "cheap" is the largest) */
      {R"({"sort":["lang:asc","price:desc"]})",
       {"b", "g", "e", "a", "f", "c", "d", "i", "h"}},
      /* strings by their folded text */
      {R"({"sort":["title:asc"],"filter":"lang = en"})", {"f", "a", "e"}},
      {R"({"sort":[]})", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.request);
    std::string json(row.request);
    json.insert(1, R"("limit":100,)");
    Answer a = request(json);
    ASSERT_TRUE(a.ok()) << a.raw();
    EXPECT_EQ(a.ids(), row.ids);
    EXPECT_EQ(a.total(), static_cast<long long>(row.ids.size()));
  }
}

TEST_F(EngineRefine, ASortedQueryKeepsItsTiersAndPagesAreSlices) {
  /* "library games", sorted by price: the documents holding both words
   * (a 5, g 12.5, i 60, e "cheap") first, then the others (f -2, d 3,
   * c 12.5, b 20). */
  Answer a =
      request(R"({"q":"library games","limit":100,"sort":["price:asc"]})");
  ASSERT_TRUE(a.ok()) << a.raw();
  EXPECT_EQ(a.ids(), (Ids{"a", "g", "i", "e", "f", "d", "c", "b"}));
  Ids paged;
  for (int offset = 0; offset < 8; offset += 3) {
    Answer page = request(R"({"q":"library games","limit":3,"offset":)" +
                          std::to_string(offset) + R"(,"sort":["price:asc"]})");
    for (const std::string &id : page.ids()) paged.push_back(id);
  }
  EXPECT_EQ(paged, a.ids());
  /* Ties of the key go by relevance: b and g share lang "de", and sorted
   * by it they come in their relevance order (g, shorter, weighs more for
   * "library" though b came first). */
  Ids by_relevance = request(R"({"q":"library","filter":"lang = de"})").ids();
  EXPECT_EQ(by_relevance, (Ids{"g", "b"}));
  EXPECT_EQ(request(R"({"q":"library","sort":["lang:asc"],)"
                    R"("filter":"lang = de"})")
                .ids(),
            by_relevance);
  EXPECT_EQ(request(R"({"q":"library","sort":["lang:desc"],)"
                    R"("filter":"lang = de"})")
                .ids(),
            by_relevance);
}

/* Member name of the answer as compact JSON ("<none>" when absent). */
std::string member(const Answer &a, const char *name) {
  yyjson_val *v = a.json().get(name);
  if (!v) return "<none>";
  char *text = yyjson_val_write(v, 0, nullptr);
  std::string out = text ? text : "<null>";
  free(text);
  return out;
}

TEST_F(EngineRefine, FacetsCountEveryMatchEachDistinctValueOncePerDocument) {
  Answer all = request(
      R"({"limit":1,"facets":["tags","section","flag","code","price"]})");
  ASSERT_TRUE(all.ok()) << all.raw();
  EXPECT_EQ(all.ids().size(), 1u); /* the page is one hit, the counts all */
  EXPECT_EQ(
      member(all, "facetDistribution"),
      R"({"tags":{"x":2,"y":2,"z":1},)"
      /* "Games" and "games" are one value, shown by its smallest spelling;
       * i counts once for games and once for docs */
      R"("section":{"Games":4,"docs":3,"Café":1},)"
      /* true and "true" match the same filter: one value */
      R"("flag":{"true":2,"false":1},)"
      R"("code":{"7":1,"1000":1,"007":1,"1e3":1},)"
      R"("price":{"12.5":2,"-2":1,"3":1,"5":1,"7":1,"20":1,"40":1,"60":1,)"
      R"("90":1,"cheap":1}})");
  EXPECT_EQ(member(all, "facetStats"),
            R"({"code":{"min":7,"max":1000},"price":{"min":-2,"max":90}})");

  /* Over both tiers of a query and under its filter, whatever the page. */
  Answer some = request(R"({"q":"library","limit":1,"filter":"price < 50",)"
                        R"("facets":["tags","price"]})");
  ASSERT_TRUE(some.ok()) << some.raw();
  EXPECT_EQ(some.total(), 4); /* a, b, d, g */
  EXPECT_EQ(member(some, "facetDistribution"),
            R"({"tags":{"y":2,"x":1},"price":{"3":1,"5":1,"12.5":1,)"
            R"("20":1,"40":1,"90":1}})");
  EXPECT_EQ(member(some, "facetStats"), R"({"price":{"min":3,"max":90}})");

  /* ["*"]: every filterable attribute, in the settings' order. */
  Answer star = request(R"({"q":"zola","facets":["*"]})");
  EXPECT_EQ(member(star, "facetDistribution"),
            R"({"section":{},"lang":{},"price":{"7":1},"tags":{},"code":{},)"
            R"("flag":{},"author.name":{"Émile Zola":1}})");
  /* No facets asked, no facet members; [] asks for none and gets them
   * empty. */
  EXPECT_EQ(member(request(R"({"q":"zola"})"), "facetDistribution"), "<none>");
  EXPECT_EQ(member(request(R"({"facets":[]})"), "facetDistribution"), "{}");
}

TEST_F(EngineRefine, FacetsFollowDeletions) {
  ASSERT_EQ(lumidex_document_delete("t", "a"), 0);
  ASSERT_EQ(lumidex_document_delete("t", "d"), 0);
  Answer after = request(R"({"facets":["tags","price"]})");
  ASSERT_TRUE(after.ok()) << after.raw();
  EXPECT_EQ(member(after, "facetDistribution"),
            R"({"tags":{"x":1,"y":1,"z":1},"price":{"12.5":2,"-2":1,"7":1,)"
            R"("20":1,"60":1,"cheap":1}})");
  EXPECT_EQ(member(after, "facetStats"), R"({"price":{"min":-2,"max":60}})");
  /* A document replaced counts with its new values only. */
  ASSERT_EQ(lumidex_documents_add(
                "t", R"({"id":"e","title":"other library","tags":["w"]})"),
            1);
  EXPECT_EQ(member(request(R"({"facets":["tags"]})"), "facetDistribution"),
            R"({"tags":{"w":1,"y":1}})");
}

TEST_F(EngineRefine, AtMostAHundredValuesMostFrequentFirstThenByValue) {
  std::string body;
  for (int i = 0; i < 150; ++i)
    body += R"({"id":)" + std::to_string(i) + R"(,"n":)" +
            std::to_string((i * 7) % 120 - 20) + "}\n";
  ASSERT_EQ(lumidex_documents_add("many", body.c_str()), 150);
  ASSERT_NE(lumidex_settings_update_json(
                "many", R"({"filterableAttributes":["n"]})", nullptr, nullptr),
            nullptr);
  Answer a(lumidex_search_request("many", R"({"facets":["n"]})"));
  ASSERT_TRUE(a.ok()) << a.raw();
  yyjson_val *n = yyjson_obj_get(a.json().get("facetDistribution"), "n");
  ASSERT_EQ(yyjson_obj_size(n), 100u);
  /* (i * 7) % 120 takes every value of 0..119 once for i < 120 and the
   * values of i = 120..149 once more: 30 values twice, by value, then the
   * others by value (numbers, not text: -20 before -3 before 5 before 10). */
  std::vector<std::pair<long, unsigned>> seen;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(n, idx, max, key, val) {
    seen.emplace_back(std::stol(yyjson_get_str(key)),
                      static_cast<unsigned>(yyjson_get_uint(val)));
  }
  std::vector<long> twice, once;
  for (int i = 120; i < 150; ++i) twice.push_back((i * 7) % 120 - 20);
  std::sort(twice.begin(), twice.end());
  for (long v = -20; v < 100; ++v)
    if (!std::binary_search(twice.begin(), twice.end(), v)) once.push_back(v);
  for (size_t k = 0; k < 100; ++k) {
    SCOPED_TRACE(k);
    if (k < 30) {
      EXPECT_EQ(seen[k], std::make_pair(twice[k], 2u));
    } else {
      EXPECT_EQ(seen[k], std::make_pair(once[k - 30], 1u));
    }
  }
  EXPECT_EQ(member(a, "facetStats"), R"({"n":{"min":-20,"max":99}})");
}

TEST_F(EngineRefine, RefusalsSayWhatAndWhere) {
  const struct {
    const char *json;
    int code;
    const char *says;
  } rows[] = {
      {R"({"filter":"genre = x"})", LUMIDEX_ERROR_INVALID_FILTER,
       "Attribute `genre` is not filterable; the filterable attributes are "
       "`section`, `lang`, `price`, `tags`, `code`, `flag`, `author.name`."},
      {R"({"filter":["section = games", ["title = x"]]})",
       LUMIDEX_ERROR_INVALID_FILTER, "`title` is not filterable"},
      {R"({"filter":"section ="})", LUMIDEX_ERROR_INVALID_FILTER,
       "expected a value after `=` at byte 9, found the end"},
      {R"({"filter":["lang = en", "price >"]})", LUMIDEX_ERROR_INVALID_FILTER,
       "at byte 7 of filter[1]"},
      {R"({"filter":3})", LUMIDEX_ERROR_INVALID_FILTER, "a string or an array"},
      {R"({"sort":["section:asc"]})", LUMIDEX_ERROR_INVALID_SORT,
       "Attribute `section` is not sortable; the sortable attributes are "
       "`price`, `title`, `lang`."},
      {R"({"sort":"price:asc"})", LUMIDEX_ERROR_INVALID_SORT, "`sort`"},
      {R"({"sort":["price"]})", LUMIDEX_ERROR_INVALID_SORT,
       "\"attribute:asc\""},
      {R"({"sort":["price:up"]})", LUMIDEX_ERROR_INVALID_SORT, "`sort`"},
      {R"({"sort":[":asc"]})", LUMIDEX_ERROR_INVALID_SORT, "`sort`"},
      {R"({"sort":["price:asc","price:desc"]})", LUMIDEX_ERROR_INVALID_SORT,
       "each attribute once"},
      {R"({"sort":[1]})", LUMIDEX_ERROR_INVALID_SORT, "`sort`"},
      {R"({"facets":["title"]})", LUMIDEX_ERROR_INVALID_FACETS,
       "Invalid search parameter `facets`: Attribute `title` is not "
       "filterable; the filterable attributes are `section`"},
      {R"({"facets":"tags"})", LUMIDEX_ERROR_INVALID_FACETS,
       "`facets`: expected [\"*\"] or an array of distinct attribute names"},
      {R"({"facets":["*","tags"]})", LUMIDEX_ERROR_INVALID_FACETS, "`facets`"},
      {R"({"facets":["tags","tags"]})", LUMIDEX_ERROR_INVALID_FACETS,
       "`facets`"},
      {R"({"facets":[""]})", LUMIDEX_ERROR_INVALID_FACETS, "`facets`"},
      {R"({"facets":[null]})", LUMIDEX_ERROR_INVALID_FACETS, "`facets`"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.json);
    auto [code, message] = refusal(row.json);
    EXPECT_EQ(code, row.code);
    EXPECT_NE(message.find(row.says), std::string::npos) << message;
  }
  /* An index without settings has no filterable attribute. */
  ASSERT_GE(lumidex_documents_add("plain", R"({"id":1})"), 1);
  EXPECT_EQ(lumidex_search_request("plain", R"({"filter":"a = 1"})"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_FILTER);
  EXPECT_NE(coretest::last_error().find("no attribute is filterable"),
            std::string::npos);
}

}  // namespace
