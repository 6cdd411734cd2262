/*
 * test_highlight.cpp: the "_highlighted" copy of each hit: matched words
 * (exact, phrase, prefix completions, typo matches) wrapped in <em>, every
 * other character of string values HTML-escaped, field names and numbers
 * untouched, no copy at all for the empty query, and the characters of
 * scripts written without spaces marked where the query found them.
 */
#include <string>
#include <vector>

#include "search_fixture.h"

namespace {

using searchtest::Answer;

const char *const kCorpus =
    R"({"id":"h1","title":"Émile <b>Zola</b>","body":"<img src=x onerror=alert(1)> & 'quotes' \"dq\"","n":2.50,"flags":[true,null,7],"nested":{"deep":["zola again"]},"<key>":"zola"}
{"id":"h2","title":"Programming mango","body":"manga lovers"}
{"id":"h3","_highlighted":"mine","title":"zola"}
)";

yyjson_val *hit_with_id(const Answer &a, const std::string &id) {
  for (size_t i = 0; yyjson_val *hit = a.hit(i); ++i) {
    const char *got = yyjson_get_str(yyjson_obj_get(hit, "id"));
    if (got && id == got) return hit;
  }
  return nullptr;
}

/* One expectation: searching query, the hit id has expected at pointer. */
struct Marked {
  const char *query, *id, *pointer, *expected;
};

class EngineHighlight : public searchtest::SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    add(kCorpus);
  }
  void expect_marked(const std::vector<Marked> &rows) {
    for (const Marked &r : rows) {
      Answer a = search(r.query);
      yyjson_val *hit = hit_with_id(a, r.id);
      ASSERT_NE(hit, nullptr) << r.query << " -> " << a.raw();
      const char *got = yyjson_get_str(yyjson_ptr_get(hit, r.pointer));
      EXPECT_EQ(coretest::str(got), r.expected)
          << "query [" << r.query << "] " << r.id << r.pointer;
    }
  }
};

size_t count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1))
    ++n;
  return n;
}

TEST_F(EngineHighlight, MatchedWordsAreWrappedAndEverythingElseEscaped) {
  expect_marked({
      {"zola", "h1", "/title", "Émile <b>Zola</b>"},
      {"zola", "h1", "/_highlighted/title",
       "Émile &lt;b&gt;<em>Zola</em>&lt;/b&gt;"},
      {"zola", "h1", "/_highlighted/body",
       "&lt;img src=x onerror=alert(1)&gt; &amp; &#39;quotes&#39; "
       "&quot;dq&quot;"},
      {"zola", "h1", "/_highlighted/nested/deep/0", "<em>zola</em> again"},
      {"zola", "h1", "/_highlighted/<key>", "<em>zola</em>"},
      {"zola", "h1", "/_highlighted/id", "h1"},
      {"img onerror", "h1", "/_highlighted/body",
       "&lt;<em>img</em> src=x <em>onerror</em>=alert(1)&gt; &amp; "
       "&#39;quotes&#39; &quot;dq&quot;"},
      {"\"emile b zola\"", "h1", "/_highlighted/title",
       "<em>Émile</em> &lt;<em>b</em>&gt;<em>Zola</em>&lt;/<em>b</em>&gt;"},
      {"mango prog", "h2", "/_highlighted/title",
       "<em>Programming</em> <em>mango</em>"},
      {"mango prog", "h2", "/_highlighted/body", "<em>manga</em> lovers"},
      {"-mango", "h1", "/_highlighted/title", "Émile &lt;b&gt;Zola&lt;/b&gt;"},
      {"zola", "h3", "/_highlighted/title", "<em>zola</em>"},
  });
}

TEST_F(EngineHighlight, NumbersAndLiteralsAreCopiedAsTheyAre) {
  std::string raw = search("zola").raw();
  EXPECT_EQ(count(raw, "\"n\":2.50,\"flags\":[true,null,7]"), 2u) << raw;
}

TEST_F(EngineHighlight, EmptyQueryReturnsThePlainDocuments) {
  for (const char *q : {"", "  ", "?!"}) {
    Answer a = search(q);
    ASSERT_EQ(a.ids().size(), 3u) << a.raw();
    EXPECT_EQ(count(a.raw(), "_highlighted"), 1u) << a.raw();
    EXPECT_EQ(count(a.raw(), "<em>"), 0u) << a.raw();
    EXPECT_EQ(coretest::str(yyjson_get_str(
                  yyjson_obj_get(hit_with_id(a, "h3"), "_highlighted"))),
              "mine");
  }
}

TEST_F(EngineHighlight, ADocumentsOwnHighlightedMemberGivesWayToTheCopy) {
  Answer a = search("zola");
  yyjson_val *hit = hit_with_id(a, "h3");
  ASSERT_NE(hit, nullptr) << a.raw();
  size_t idx, max, seen = 0;
  yyjson_val *key, *val;
  yyjson_obj_foreach(hit, idx, max, key, val) {
    if (std::string(yyjson_get_str(key)) == "_highlighted") {
      ++seen;
      EXPECT_TRUE(yyjson_is_obj(val)) << a.raw();
    }
  }
  EXPECT_EQ(seen, 1u) << a.raw();
}

TEST_F(EngineHighlight, DeeplyNestedDocumentsAreHighlightedToTheBottom) {
  const int depth = 200000;
  std::string doc = "{\"id\":\"deep\",\"v\":";
  for (int i = 0; i < depth; ++i) doc += "[";
  doc += "\"bottom <x>\"";
  for (int i = 0; i < depth; ++i) doc += "]";
  doc += "}";
  add(doc);
  Answer a = search("bottom ");
  ASSERT_EQ(a.ids(), std::vector<std::string>{"deep"})
      << a.raw().substr(0, 300);
  EXPECT_EQ(count(a.raw(), "\"<em>bottom</em> &lt;x&gt;\""), 1u);
}

TEST_F(EngineHighlight, CharactersOfScriptsWithoutSpacesAreMarkedWhole) {
  add(R"({"id":"j1","title":"吾輩は猫である","body":"猫&犬 <b>カーネル</b>"}
{"id":"t1","title":"ที่นี่ Linux"})");
  expect_marked({
      {"猫", "j1", "/_highlighted/title", "吾輩は<em>猫</em>である"},
      {"猫", "j1", "/_highlighted/body",
       "<em>猫</em>&amp;犬 &lt;b&gt;カーネル&lt;/b&gt;"},
      {"猫である", "j1", "/_highlighted/title", "吾輩は<em>猫である</em>"},
      {"吾輩は猫である", "j1", "/_highlighted/title",
       "<em>吾輩は猫である</em>"},
      {"吾輩 である", "j1", "/_highlighted/title",
       "<em>吾輩</em>は猫<em>である</em>"},
      {"カーネル", "j1", "/_highlighted/body",
       "猫&amp;犬 &lt;b&gt;<em>カーネル</em>&lt;/b&gt;"},
      {"ที่", "t1", "/_highlighted/title", "<em>ที่</em>นี่ Linux"},
      {"linux ที่นี่", "t1", "/_highlighted/title", "<em>ที่นี่</em> <em>Linux</em>"},
  });
}

}  // namespace
