/*
 * test_hit_form.cpp: the search request members that shape each hit,
 * through lumidex_search_request on a real index: attributesToRetrieve
 * (which fields a hit carries, within the displayed ones), attributesToCrop
 * and cropLength (the passage a long text is cut to, around the query's
 * words, with "…"), highlight false, and the strict reading of all four.
 */
#include <string>
#include <vector>

#include "search_fixture.h"

namespace {

using searchtest::Answer;

const char *const kCorpus =
    R"({"id":"doc-a-b-c","title":"Counting","body":"one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen","meta":{"notes":["alpha beta gamma delta epsilon zeta eta theta","short"],"year":1999}}
{"id":"c2","body":"red x x x x x x red red red x x x x x x blue red x x"}
{"id":"c3","body":"Émile écrit à Zürich: «le café était très bon» dit-il"}
{"id":"c4","body":"吾輩は猫である。名前はまだ無い。"}
{"id":"c5","body":"fish & chips, salt & vinegar, mushy peas"}
{"id":"r1","title":"Dune","author":{"name":"Frank Herbert","born":1920},"tags":["sf","classic"],"body":"desert planet spice"}
)";

/* One request, and the whole hit it gives for one document. */
struct Whole {
  const char *what, *request, *id, *expected;
};

class EngineHitForm : public searchtest::SearchTest {
 protected:
  template <size_t N>
  void expect_hits(const Whole (&rows)[N]) {
    for (const Whole &row : rows) {
      Answer a = ask(row.request);
      ASSERT_TRUE(a.ok()) << row.what << ": " << coretest::last_error();
      EXPECT_EQ(hit_json(a, row.id), row.expected) << row.what;
    }
  }
  void SetUp() override {
    SearchTest::SetUp();
    add(kCorpus);
  }
  Answer ask(const std::string &json) {
    return Answer(lumidex_search_request("t", json.c_str()));
  }
  /* The hit of answer a with that id, written as compact JSON. */
  static std::string hit_json(const Answer &a, const std::string &id) {
    for (size_t i = 0; yyjson_val *hit = a.hit(i); ++i) {
      const char *got = yyjson_get_str(yyjson_obj_get(hit, "id"));
      if (!got || id != got) continue;
      char *text = yyjson_val_write(hit, 0, nullptr);
      std::string out = text ? text : "<unwritable>";
      free(text);
      return out;
    }
    return "<no hit " + id + "> in " + a.raw().substr(0, 400);
  }
  static std::string string_at(const Answer &a, const std::string &id,
                               const char *pointer) {
    for (size_t i = 0; yyjson_val *hit = a.hit(i); ++i) {
      const char *got = yyjson_get_str(yyjson_obj_get(hit, "id"));
      if (got && id == got)
        return coretest::str(yyjson_get_str(yyjson_ptr_get(hit, pointer)));
    }
    return "<no hit " + id + ">";
  }
};

TEST_F(EngineHitForm, HitsCarryTheFieldsAskedForAndThePrimaryKey) {
  const Whole rows[] = {
      {"one field", R"({"q":"dune","attributesToRetrieve":["title"]})", "r1",
       R"({"id":"r1","title":"Dune","_highlighted":{"id":"r1","title":"<em>Dune</em>"}})"},
      {"a dotted path",
       R"({"q":"dune","attributesToRetrieve":["author.name"]})", "r1",
       R"({"id":"r1","author":{"name":"Frank Herbert"},"_highlighted":{"id":"r1","author":{"name":"Frank Herbert"}}})"},
      {"none: the primary key alone",
       R"({"q":"dune","attributesToRetrieve":[]})", "r1",
       R"({"id":"r1","_highlighted":{"id":"r1"}})"},
      {"a field no document has",
       R"({"q":"dune","attributesToRetrieve":["tags","nothing"]})", "r1",
       R"({"id":"r1","tags":["sf","classic"],"_highlighted":{"id":"r1","tags":["sf","classic"]}})"},
      {"every field", R"({"q":"dune","attributesToRetrieve":["*"]})", "r1",
       R"({"id":"r1","title":"Dune","author":{"name":"Frank Herbert","born":1920},"tags":["sf","classic"],"body":"desert planet spice","_highlighted":{"id":"r1","title":"<em>Dune</em>","author":{"name":"Frank Herbert","born":1920},"tags":["sf","classic"],"body":"desert planet spice"}})"},
      {"highlight false",
       R"({"q":"dune","attributesToRetrieve":["title"],"highlight":false})",
       "r1", R"({"id":"r1","title":"Dune"})"},
      {"highlight false, every field", R"({"q":"dune","highlight":false})",
       "r1",
       R"({"id":"r1","title":"Dune","author":{"name":"Frank Herbert","born":1920},"tags":["sf","classic"],"body":"desert planet spice"})"},
      {"a cropped field is carried in the copy only",
       R"({"q":"dune","attributesToRetrieve":["title"],"attributesToCrop":["body"],"cropLength":2})",
       "r1",
       R"({"id":"r1","title":"Dune","_highlighted":{"id":"r1","title":"<em>Dune</em>","body":"desert planet…"}})"},
      {"highlight false: the cropped field in the hit",
       R"({"q":"dune","attributesToRetrieve":["title"],"attributesToCrop":["body"],"cropLength":2,"highlight":false})",
       "r1", R"({"id":"r1","title":"Dune","body":"desert planet…"})"},
      {"the empty query", R"({"q":"","attributesToRetrieve":["title"]})", "r1",
       R"({"id":"r1","title":"Dune"})"},
  };
  expect_hits(rows);
}

TEST_F(EngineHitForm, RetrievedFieldsStayWithinTheDisplayedOnes) {
  ASSERT_NE(
      lumidex_settings_update_json(
          "t", R"({"displayedAttributes":["title","body"]})", nullptr, nullptr),
      nullptr)
      << coretest::last_error();
  const Whole rows[] = {
      {"a field not displayed is not carried",
       R"({"q":"dune","attributesToRetrieve":["title","author"]})", "r1",
       R"({"id":"r1","title":"Dune","_highlighted":{"id":"r1","title":"<em>Dune</em>"}})"},
      {"nor cropped",
       R"({"q":"dune","attributesToRetrieve":["title"],"attributesToCrop":["author.name"],"highlight":false})",
       "r1", R"({"id":"r1","title":"Dune"})"},
      {"every field is every displayed field",
       R"({"q":"dune","attributesToRetrieve":["*"],"highlight":false})", "r1",
       R"({"id":"r1","title":"Dune","body":"desert planet spice"})"},
  };
  expect_hits(rows);
}

/* One request, and one string of one hit. */
struct Cut {
  const char *what, *request, *id, *pointer, *expected;
};

TEST_F(EngineHitForm, CroppedFieldsShowTheirBestPassage) {
  const Cut rows[] = {
      {"match at the start",
       R"({"q":"two","attributesToCrop":["body"],"cropLength":4})", "doc-a-b-c",
       "/_highlighted/body", "one <em>two</em> three four…"},
      {"match in the middle, centred",
       R"({"q":"eight","attributesToCrop":["body"],"cropLength":3})",
       "doc-a-b-c", "/_highlighted/body", "…seven <em>eight</em> nine…"},
      {"match at the end",
       R"({"q":"fifteen","attributesToCrop":["body"],"cropLength":3})",
       "doc-a-b-c", "/_highlighted/body",
       "…thirteen fourteen <em>fifteen</em>"},
      {"cropLength 1",
       R"({"q":"eight","attributesToCrop":["body"],"cropLength":1})",
       "doc-a-b-c", "/_highlighted/body", "…<em>eight</em>…"},
      {"cropLength larger than the text",
       R"({"q":"eight","attributesToCrop":["body"],"cropLength":1000})",
       "doc-a-b-c", "/_highlighted/body",
       "one two three four five six seven <em>eight</em> nine ten eleven "
       "twelve thirteen fourteen fifteen"},
      {"default cropLength is 10 words",
       R"({"q":"eight","attributesToCrop":["body"]})", "doc-a-b-c",
       "/_highlighted/body",
       "…four five six seven <em>eight</em> nine ten eleven twelve "
       "thirteen…"},
      {"no match in the field: its first words",
       R"({"q":"counting","attributesToCrop":["body"],"cropLength":3})",
       "doc-a-b-c", "/_highlighted/body", "one two three…"},
      {"the window with more distinct words wins over repeats",
       R"({"q":"red blue","attributesToCrop":["body"],"cropLength":3})", "c2",
       "/_highlighted/body", "…<em>blue</em> <em>red</em> x…"},
      {"accented text",
       R"({"q":"cafe","attributesToCrop":["body"],"cropLength":3})", "c3",
       "/_highlighted/body", "…le <em>café</em> était…"},
      {"a script without spaces counts characters",
       R"({"q":"猫","attributesToCrop":["body"],"cropLength":3})", "c4",
       "/_highlighted/body", "…は<em>猫</em>で…"},
      {"punctuation inside the passage is kept and escaped",
       R"({"q":"salt","attributesToCrop":["body"],"cropLength":2})", "c5",
       "/_highlighted/body", "…<em>salt</em> &amp; vinegar…"},
      {"highlight false crops the hit itself, unescaped",
       R"({"q":"salt","attributesToCrop":["body"],"cropLength":2,"highlight":false})",
       "c5", "/body", "…salt & vinegar…"},
      {"the hit keeps the whole text",
       R"({"q":"salt","attributesToCrop":["body"],"cropLength":2})", "c5",
       "/body", "fish & chips, salt & vinegar, mushy peas"},
      {"a dotted path crops each string under it",
       R"({"q":"gamma","attributesToCrop":["meta.notes"],"cropLength":3})",
       "doc-a-b-c", "/_highlighted/meta/notes/0",
       "…beta <em>gamma</em> delta…"},
      {"a short string under it stays",
       R"({"q":"gamma","attributesToCrop":["meta.notes"],"cropLength":3})",
       "doc-a-b-c", "/_highlighted/meta/notes/1", "short"},
      {"a field not named is not cropped",
       R"({"q":"gamma","attributesToCrop":["title"],"cropLength":1})",
       "doc-a-b-c", "/_highlighted/meta/notes/0",
       "alpha beta <em>gamma</em> delta epsilon zeta eta theta"},
      {"every field",
       R"({"q":"eight","attributesToCrop":["*"],"cropLength":2})", "doc-a-b-c",
       "/_highlighted/body", "…<em>eight</em> nine…"},
      {"every field but the primary key",
       R"({"q":"eight","attributesToCrop":["*"],"cropLength":2})", "doc-a-b-c",
       "/_highlighted/id", "doc-a-b-c"},
      {"the empty query crops from the start",
       R"({"q":"","attributesToCrop":["body"],"cropLength":3})", "doc-a-b-c",
       "/_highlighted/body", "one two three…"},
  };
  for (const Cut &row : rows) {
    Answer a = ask(row.request);
    ASSERT_TRUE(a.ok()) << row.what << ": " << coretest::last_error();
    EXPECT_EQ(string_at(a, row.id, row.pointer), row.expected) << row.what;
  }
}

TEST_F(EngineHitForm, HighlightFalseLeavesTheCopyOut) {
  for (const char *request :
       {R"({"q":"dune","highlight":false})",
        R"({"q":"eight","highlight":false,"attributesToCrop":["body"]})",
        R"({"q":"","highlight":false,"attributesToCrop":["body"]})"}) {
    Answer a = ask(request);
    ASSERT_TRUE(a.ok()) << request << ": " << coretest::last_error();
    ASSERT_GE(a.ids().size(), 1u) << request;
    EXPECT_EQ(a.raw().find("_highlighted"), std::string::npos) << a.raw();
    EXPECT_EQ(a.raw().find("<em>"), std::string::npos) << a.raw();
  }
  /* highlight true, the default, is the answer as without it. */
  auto strip = [](std::string s) {
    return s.substr(0, s.find("\"elapsed_ms\""));
  };
  EXPECT_EQ(strip(ask(R"({"q":"dune","highlight":true})").raw()),
            strip(ask(R"({"q":"dune"})").raw()));
}

TEST_F(EngineHitForm, WrongValuesAreRefusedNamingTheMember) {
  struct Row {
    const char *json, *says;
  } rows[] = {
      {R"({"attributesToRetrieve":"title"})",
       "`attributesToRetrieve`: expected [\"*\"] or an array of distinct "
       "field names"},
      {R"({"attributesToRetrieve":[1]})", "`attributesToRetrieve`"},
      {R"({"attributesToRetrieve":[""]})", "`attributesToRetrieve`"},
      {R"({"attributesToRetrieve":["*","title"]})", "`attributesToRetrieve`"},
      {R"({"attributesToRetrieve":["title","title"]})",
       "`attributesToRetrieve`"},
      {R"({"attributesToRetrieve":null})", "`attributesToRetrieve`"},
      {R"({"attributesToCrop":{"body":1}})", "`attributesToCrop`"},
      {R"({"attributesToCrop":["body",null]})", "`attributesToCrop`"},
      {R"({"cropLength":0})", "`cropLength`: expected an integer of 1 to 1000"},
      {R"({"cropLength":1001})", "`cropLength`"},
      {R"({"cropLength":-3})", "`cropLength`"},
      {R"({"cropLength":18446744073709551615})", "`cropLength`"},
      {R"({"cropLength":2.5})", "`cropLength`"},
      {R"({"cropLength":"10"})", "`cropLength`"},
      {R"({"highlight":"false"})", "`highlight`: expected true or false"},
      {R"({"highlight":0})", "`highlight`"},
      {R"({"highlight":null})", "`highlight`"},
      {R"({"highlight":true,"highlight":false})", "given more than once"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(lumidex_search_request("t", row.json), nullptr) << row.json;
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER)
        << row.json;
    EXPECT_NE(coretest::last_error().find(row.says), std::string::npos)
        << row.json << " -> " << coretest::last_error();
  }
  for (const char *fine :
       {R"({"cropLength":1})", R"({"cropLength":1000})",
        R"({"attributesToCrop":[]})", R"({"attributesToRetrieve":["*"]})"})
    EXPECT_TRUE(ask(fine).ok()) << fine << ": " << coretest::last_error();
}

}  // namespace
