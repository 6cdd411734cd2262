/*
 * test_prior.cpp: the name-family prior. A document whose one-word name
 * other documents' names build on ranks above one that matches as well;
 * the family is that of the documents stored at search time; names equal
 * to it or merely mentioned in other fields do not count, also for a
 * process that keeps priors between searches; pages of one
 * query are slices of one order; and a match far below the best ones by
 * its text is not lifted past them, however large its family.
 */
#include <string>

#include "search_fixture.h"

namespace {

using searchtest::Ids;

using EnginePrior = searchtest::SearchTest;

TEST_F(EnginePrior, ANameOthersBuildOnRanksAboveAnEqualMatch) {
  /* Inserted second, so insertion order alone would put it last. */
  add(R"({"id":"plain","name":"quill","text":"fast web server"}
{"id":"hub","name":"ember","text":"fast web server"}
)");
  EXPECT_EQ(ids("web server"), (Ids{"plain", "hub"}));

  /* The family is read when searching: documents added later count. */
  add_family("ember", 5);
  EXPECT_EQ(ids("web server"), (Ids{"hub", "plain"}));
  EXPECT_EQ(ids("fast web serv"), (Ids{"hub", "plain"}));

  /* Deleting the family takes the lift away again. */
  for (int k = 1; k <= 5; ++k)
    ASSERT_EQ(lumidex_document_delete("t", ("ember-" + std::to_string(k)).c_str()),
              0)
        << coretest::last_error();
  EXPECT_EQ(ids("web server"), (Ids{"plain", "hub"}));
}

TEST_F(EnginePrior, PriorsKeptBetweenSearchesFollowTheStoredDocuments) {
  /* A process keeps each document's prior from the second search of an
   * index's revision on; the third search orders with what the second
   * kept, and a write makes the next searches read the families again. */
  add(R"({"id":"plain","name":"quill","text":"fast web server"}
{"id":"hub","name":"ember","text":"fast web server"}
)");
  add_family("ember", 5);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(ids("web server"), (Ids{"hub", "plain"})) << "search " << k;
  add_family("quill", 9);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(ids("web server"), (Ids{"plain", "hub"})) << "search " << k;
  for (int k = 1; k <= 9; ++k)
    ASSERT_EQ(
        lumidex_document_delete("t", ("quill-" + std::to_string(k)).c_str()), 0)
        << coretest::last_error();
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(ids("web server"), (Ids{"hub", "plain"})) << "search " << k;
}

TEST_F(EnginePrior, OnlyOtherNamesHoldingTheWordCount) {
  add(R"({"id":"plain","name":"quill","text":"fast web server"}
{"id":"hub","name":"ember","text":"fast web server"}
)");
  /* Documents named exactly "ember", and ones that mention ember only in
   * a later field, are no family. */
  add(R"({"id":"twin1","name":"ember","text":"nothing alike"}
{"id":"twin2","name":"ember","text":"nothing alike"}
{"id":"talk1","name":"notes","text":"ember ember ember"}
{"id":"talk2","name":"diary","text":"about ember"}
)");
  EXPECT_EQ(ids("web server"), (Ids{"plain", "hub"}));
  /* A name of several words has no prior of its own. */
  add(R"({"id":"multi","name":"big quill","text":"fast web server"})");
  add_family("big", 5);
  EXPECT_EQ(ids("web server"), (Ids{"plain", "hub", "multi"}));
}

TEST_F(EnginePrior, PagesAreSlicesOfOneOrder) {
  std::string body;
  for (int k = 0; k < 30; ++k)
    body += R"({"id":"d)" + std::to_string(k) + R"(","name":"n)" +
            std::to_string(k) + R"(","text":"shared words)" +
            std::string(static_cast<size_t>(k % 4), '!') + " filler" +
            std::string(k % 3 == 0 ? " more words here" : "") + R"("})" + "\n";
  add(body);
  add_family("n7", 3);
  add_family("n21", 9);
  Ids whole = ids("shared words", 30);
  ASSERT_EQ(whole.size(), 30u);
  EXPECT_EQ(whole[0], "d21");
  EXPECT_EQ(whole[1], "d7");
  Ids paged;
  for (int offset = 0; offset < 30; offset += 7)
    for (const auto &id : ids("shared words", 7, offset)) paged.push_back(id);
  EXPECT_EQ(paged, whole);
}

TEST_F(EnginePrior, AWeakMatchBeyondTheBestTwoHundredIsNotLifted) {
  /* 200 equal matches, then one whose long text makes it the weakest
   * match, with a family that would lift it to the top of a short list. */
  std::string body;
  body += R"({"id":"weak","name":"hub","text":"needle)";
  for (int k = 0; k < 60; ++k) body += " padding";
  body += R"("})"
          "\n";
  for (int k = 0; k < 200; ++k)
    body += R"({"id":"e)" + std::to_string(k) + R"(","name":"p)" +
            std::to_string(k) + R"(","text":"needle"})" + "\n";
  add(body);
  add_family("hub", 40);
  EXPECT_EQ(search("needle", 5, 200).ids(), (Ids{"weak"}));
  EXPECT_EQ(ids("needle", 1), (Ids{"e0"}));

  /* With fewer matches than the window, the same family lifts it. */
  add(R"({"id":"strong","name":"lone","text":"haystack"}
{"id":"weak2","name":"hub","text":"haystack padding padding padding padding"}
)");
  EXPECT_EQ(ids("haystack"), (Ids{"weak2", "strong"}));
}

}  // namespace
