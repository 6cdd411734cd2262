/*
 * test_search.cpp: the search answer itself: its members, the clamping and
 * echo of limit and offset, paging through the matches, total_hits, and
 * hits that are the stored documents as stored.
 */
#include <algorithm>
#include <climits>
#include <utility>

#include "search_fixture.h"

namespace {

using searchtest::Answer;
using searchtest::Ids;

class EngineSearch : public searchtest::SearchTest {
 protected:
  /* Documents d0 .. d24, every one holding "doc", the even ones "even". */
  void SetUp() override {
    SearchTest::SetUp();
    std::string body;
    for (int i = 0; i < 25; ++i)
      body += "{\"id\":\"d" + std::to_string(i) + "\",\"text\":\"doc" +
              (i % 2 == 0 ? " even" : "") + "\"}\n";
    add(body);
    for (int i = 0; i < 25; ++i) all_.push_back("d" + std::to_string(i));
  }
  Ids all_;
};

TEST_F(EngineSearch, AnswerCarriesEveryMemberWithItsType) {
  Answer a = search("even", 3, 1);
  ASSERT_TRUE(a.ok()) << a.raw();
  EXPECT_EQ(a.json().text("query"), "even");
  EXPECT_EQ(a.json().integer("limit"), 3);
  EXPECT_EQ(a.json().integer("offset"), 1);
  EXPECT_EQ(a.total(), 13);
  EXPECT_EQ(a.ids().size(), 3u);
  yyjson_val *elapsed = a.json().get("elapsed_ms");
  ASSERT_TRUE(yyjson_is_num(elapsed)) << a.raw();
  EXPECT_GE(yyjson_get_num(elapsed), 0.0);
}

TEST_F(EngineSearch, LimitAndOffsetAreClampedEchoedAndApplied) {
  struct Row {
    int limit, offset;
    long long want_limit, want_offset;
    size_t want_hits;
  };
  const Row rows[] = {
      {-5, 0, 0, 0, 0},
      {0, 0, 0, 0, 0},
      {2000, 0, 1000, 0, 25},
      {1000, 0, 1000, 0, 25},
      {10, -3, 10, 0, 10},
      {10, 20, 10, 20, 5},
      {10, 25, 10, 25, 0},
      {10, INT_MAX, 10, INT_MAX, 0},
      {INT_MIN, INT_MIN, 0, 0, 0},
      {INT_MAX, 24, 1000, 24, 1},
  };
  for (const char *q : {"", "doc"}) {
    for (const Row &r : rows) {
      Answer a = search(q, r.limit, r.offset);
      ASSERT_TRUE(a.ok()) << a.raw();
      EXPECT_EQ(a.json().integer("limit"), r.want_limit) << a.raw();
      EXPECT_EQ(a.json().integer("offset"), r.want_offset) << a.raw();
      EXPECT_EQ(a.ids().size(), r.want_hits) << a.raw();
      EXPECT_EQ(a.total(), 25) << a.raw();
    }
  }
}

TEST_F(EngineSearch, PagesCoverEveryMatchOnceInOrder) {
  /* Unranked queries list in insertion order; ranked ones page through the
   * same order as one big page. */
  const std::pair<const char *, bool> queries[] = {
      {"", true}, {"-nothing", true}, {"doc ", false}, {"do", false}};
  for (const auto &[q, unranked] : queries) {
    Ids paged;
    for (int offset = 0; offset < 30; offset += 7) {
      Ids page = ids(q, 7, offset);
      paged.insert(paged.end(), page.begin(), page.end());
    }
    Ids whole = ids(q, 1000);
    EXPECT_EQ(paged, whole) << "query [" << q << "]";
    if (unranked) {
      EXPECT_EQ(whole, all_) << "query [" << q << "]";
    }
    std::sort(whole.begin(), whole.end());
    Ids sorted_all = all_;
    std::sort(sorted_all.begin(), sorted_all.end());
    EXPECT_EQ(whole, sorted_all) << "query [" << q << "]";
  }
}

TEST_F(EngineSearch, TotalHitsCountsEveryMatchWhateverThePage) {
  for (int limit : {0, 1, 5, 1000}) {
    EXPECT_EQ(search("even ", limit).total(), 13) << limit;
    EXPECT_EQ(search("doc -even", limit).total(), 12) << limit;
    EXPECT_EQ(search("nothing ", limit).total(), 0) << limit;
  }
}

TEST_F(EngineSearch, AnEmptyIndexAnswersWithNoHits) {
  ASSERT_EQ(lumidex_index_create("empty", "id"), 0) << coretest::last_error();
  for (const char *q :
       {"", "doc", "doc ", "-doc", "\"doc even\"", "documents"}) {
    Answer a(lumidex_search("empty", q, 20, 0));
    ASSERT_TRUE(a.ok()) << q << " -> " << a.raw();
    EXPECT_EQ(a.ids().size(), 0u) << q;
    EXPECT_EQ(a.total(), 0) << q;
  }
}

TEST_F(EngineSearch, HitsAreTheStoredDocumentsAsStored) {
  add(R"({"id":"raw","n":2.50,"big":123456789012345678901234567890,"e":1E+2,"t":"doc é \"q\" \u00e9","o":{"a":[1,true,null]}})");
  const char *got = lumidex_document_get("t", "raw");
  ASSERT_NE(got, nullptr) << coretest::last_error();
  const std::string stored = got;
  /* The listing splices the document as is; a query with words adds the
   * highlighted copy after the document's own members. */
  EXPECT_NE(search("", 1000).raw().find(stored), std::string::npos) << stored;
  std::string with_highlight = stored.substr(0, stored.size() - 1) +
                               ",\"_highlighted\":{\"id\":\"raw\",\"n\":2.50,";
  EXPECT_NE(search("doc é").raw().find(with_highlight), std::string::npos)
      << search("doc é").raw();
}

}  // namespace

namespace {

/* An index whose vocabulary the writes below change: completions of
 * "zebr", typo candidates of "postgrse", a name family for "nginx", the
 * frequencies that split "server"'s completions into frequent and rare. */
class EngineKeptStatistics : public searchtest::SearchTest {
 protected:
  const std::vector<std::string> queries_ = {
      "zebr", "postgrse", "nginx", "web server", "server", "zebra stripes"};

  /* Every query's ids and total, in order, as one text. */
  std::string answers() {
    std::string out;
    for (const std::string &q : queries_) {
      Answer a = search(q);
      out += q + " -> " + std::to_string(a.total()) + ":";
      for (const std::string &id : a.ids()) out += " " + id;
      out += "\n";
    }
    return out;
  }
  /* answers() from an engine opened afresh, which has kept nothing. */
  std::string fresh_answers() {
    lumidex_cleanup();
    EXPECT_EQ(lumidex_init(dir().c_str()), 0);
    return answers();
  }
};

TEST_F(EngineKeptStatistics, AnswersAfterEachCommitAreAFreshEnginesAnswers) {
  add(R"({"id":"z1","name":"zebra","text":"zebra stripes"}
{"id":"n1","name":"nginx","text":"web server"}
{"id":"s1","name":"server1","text":"a server"}
)");
  const std::vector<std::string> batches = {
      R"({"id":"z2","name":"zebroid","text":"zebroid stripes"}
{"id":"p1","name":"postgres","text":"database server"})",
      R"({"id":"n2","name":"nginx-common","text":"nginx files"}
{"id":"n3","name":"nginx-doc","text":"nginx manual for the web server"}
{"id":"s2","name":"servers","text":"servers servers"})",
      R"({"id":"s3","name":"misc","text":"server1 server1 for the web"})"};
  for (const std::string &batch : batches) {
    /* Searched twice, so the second finds what the first kept. */
    answers();
    std::string before_write = answers();
    add(batch);
    std::string kept = answers();
    EXPECT_EQ(kept, fresh_answers()) << "after adding:\n" << batch;
    EXPECT_NE(kept, before_write) << "the batch changed no answer:\n" << batch;
  }
  /* With nothing kept the answers are the same. */
  std::string kept = answers();
  int was = lumidex_search_keep_statistics(0);
  EXPECT_EQ(was, 1);
  EXPECT_EQ(answers(), kept);
  EXPECT_EQ(lumidex_search_keep_statistics(was), 0);
}

/* A process keeps the stored data of the documents it answered with, from
 * its second answer on: the next answers carry the same documents, and
 * after a write the data stored now, never what was kept before it. */
TEST_F(EngineKeptStatistics, KeptDocumentsAreTheStoredDataOfNow) {
  add(R"({"id":"a","name":"alpha","text":"first words"}
{"id":"b","name":"beta","text":"alpha again"})");
  auto page = [&] {
    std::string raw = search("alpha").raw();
    size_t at = raw.find("\"elapsed_ms\":");
    return at == std::string::npos ? raw : raw.substr(0, at);
  };
  const std::string first = page();
  ASSERT_NE(first.find("first words"), std::string::npos) << first;
  EXPECT_EQ(page(), first);
  EXPECT_EQ(page(), first); /* from what the second answer kept */

  /* The same ids and order, other data. */
  add(R"({"id":"a","name":"alpha","text":"changed words"})");
  const std::string changed = page();
  EXPECT_EQ(changed.find("first words"), std::string::npos) << changed;
  EXPECT_NE(changed.find("changed words"), std::string::npos) << changed;
  EXPECT_EQ(page(), changed);
  lumidex_cleanup();
  ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  EXPECT_EQ(page(), changed);
}

}  // namespace
