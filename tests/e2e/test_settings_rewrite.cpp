/*
 * test_settings_rewrite.cpp: a settings change that rewrites an index,
 * stopped midway. engine_probe makes the change through the engine's C
 * call and stops at a chosen point of the rewrite, inside the uncommitted
 * transaction, with postings already written out to the tables (a small
 * XAPIAN_FLUSH_THRESHOLD); the test acts on the line it prints there,
 * never on a clock:
 *  - killed there, the index must be the old one, whole: it passes
 *    xapian-check, has its old settings, every document, the old terms
 *    (searches find what the old settings index), takes writes again, and
 *    the same change then goes through;
 *  - while it waits there, readers see the old index, and a writer that
 *    comes meanwhile is not lost: it waits for the lock and its document
 *    is written under the new settings.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "engine_child.h"
#include "lumidex_admin.h"
#include "lumidex_search.h"
#include "lumidex_core.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::PipedProgram;
using lmxtest::TempDir;
using lmxtest::with_engine;

const std::string kProbe =
    std::string(LMX_BUILD_DIR) + "/tests/e2e/engine_probe";
const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
constexpr int kDocs = 2500;
const char *kPatch = R"({"searchableAttributes":["title"],"language":"en"})";
const std::string kDefaults =
    R"({"searchableAttributes":["*"],"displayedAttributes":["*"],)"
    R"("language":null,"stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})";
const std::string kChanged =
    R"({"searchableAttributes":["title"],"displayedAttributes":["*"],)"
    R"("language":"en","stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})";

/* The number of documents holding every word of query (the strategy
 * "all"); query holds no character that needs escaping in JSON. */
long total_hits(const std::string &dir, const char *query) {
  std::string request = std::string(R"({"matchingStrategy":"all","q":")") +
                        query + "\"}";
  std::string s = with_engine(dir, [&] {
    const char *a = lumidex_search_request("k", request.c_str());
    return std::string(a ? a : "<null>");
  });
  size_t at = s.find("\"total_hits\":");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 13);
}

long document_count(const std::string &dir) {
  std::string s = with_engine(dir, [] {
    const char *a = lumidex_index_stats_json("k");
    return std::string(a ? a : "<null>");
  });
  size_t at = s.find("\"document_count\":");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 17);
}

std::string settings_of(const std::string &dir) {
  return with_engine(dir, [] {
    const char *s = lumidex_settings_get_json("k");
    return std::string(s ? s : "<null>");
  });
}

/* Words of the "secret" of one document each, at the start, in the middle
 * and at the end of the index: searches for them count exactly (the engine
 * estimates counts of 100 and more). */
const std::map<int, std::string> kMarked = {
    {0, "zebra"}, {kDocs / 3, "walrus"}, {kDocs - 1, "pelican"}};

/* kDocs documents whose "secret" the new settings no longer search. */
void seed(const std::string &dir) {
  std::string body;
  for (int i = 0; i < kDocs; i++)
    body += R"({"id":)" + std::to_string(i) + R"(,"title":"item )" +
            std::to_string(i) + R"( connections","secret":"hidden )" +
            (kMarked.count(i) ? kMarked.at(i) : "") + R"("})" + "\n";
  EXPECT_EQ(with_engine(dir,
                        [&] {
                          return std::to_string(
                              lumidex_documents_add("k", body.c_str()));
                        }),
            std::to_string(kDocs));
}

/* The probe applying kPatch to index "k" of dir, stopping at stop_at
 * documents of the rewrite; Xapian writes out what it buffers every 100
 * changes. */
PipedProgram start_probe(const std::string &dir, int stop_at) {
  ChildSpec job;
  job.env["XAPIAN_FLUSH_THRESHOLD"] = "100";
  return lmxtest::start_piped(
      kProbe, {dir, "k", "settings", kPatch, std::to_string(stop_at)}, job);
}

/* The index must be the old one, whole, after the kill. */
void expect_old_index_whole(const std::string &dir) {
  ChildResult check =
      lmxtest::run_program(lmxtest::xapian_check_path(), {dir + "/k"}, {});
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_EQ(settings_of(dir), kDefaults);
  EXPECT_EQ(document_count(dir), kDocs);
  for (const auto &[i, word] : kMarked)
    EXPECT_EQ(total_hits(dir, word.c_str()), 1) << word; /* still searched */
  EXPECT_EQ(total_hits(dir, "item 1234"), 1);
  /* The dead writer's lock is gone: writes and the change go through. */
  EXPECT_EQ(with_engine(dir,
                        [] {
                          return std::to_string(lumidex_documents_add(
                              "k", R"({"id":"after","title":"later"})"));
                        }),
            "1");
  EXPECT_EQ(with_engine(dir,
                        [] {
                          const char *s = lumidex_settings_update_json(
                              "k", kPatch, nullptr, nullptr);
                          return std::string(s ? s : lumidex_last_error());
                        }),
            kChanged);
  for (const auto &[i, word] : kMarked)
    EXPECT_EQ(total_hits(dir, word.c_str()), 0) << word;
  EXPECT_EQ(total_hits(dir, "later"), 1);
}

TEST(SettingsRewrite, AKillMidwayLeavesTheOldIndexWholeAndSearchable) {
  /* Stopped after a third of the documents, and after the last one,
   * just before the commit. */
  for (int stop_at : {kDocs / 3, kDocs}) {
    SCOPED_TRACE("killed at " + std::to_string(stop_at));
    TempDir dir;
    seed(dir.path());
    PipedProgram p = start_probe(dir.path(), stop_at);
    ASSERT_GT(p.pid, 0);
    std::string line = next_line(p);
    ASSERT_EQ(line.rfind("working ", 0), 0u) << line;
    EXPECT_NE(line.find(" " + std::to_string(kDocs) + "\n"), std::string::npos)
        << line;
    kill(p.pid, SIGKILL);
    EXPECT_EQ(finish(p), -1); /* the kill ended it, not its own end */
    expect_old_index_whole(dir.path());
  }
}

TEST(SettingsRewrite, ReadersSeeTheOldIndexAndAWriterMeanwhileIsNotLost) {
  TempDir dir;
  seed(dir.path());
  PipedProgram p = start_probe(dir.path(), kDocs / 2);
  ASSERT_GT(p.pid, 0);
  ASSERT_EQ(next_line(p).rfind("working ", 0), 0u);

  /* Mid-rewrite: the committed index is the old one. */
  EXPECT_EQ(settings_of(dir.path()), kDefaults);
  EXPECT_EQ(total_hits(dir.path(), "pelican"), 1);

  /* A writer now waits for the rewrite's lock. */
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    ChildResult r = lmxtest::run_cgi(
        kRouter,
        {"POST",
         "/indexes/k/documents",
         R"({"id":"late","title":"late arrival","secret":"hidden"})",
         {},
         ""},
        dir.path());
    _exit(lmxtest::response_status(r.out) == 200 ? 0 : 1);
  }
  ASSERT_EQ(write(p.feed, "g", 1), 1); /* let the rewrite commit */
  EXPECT_EQ(next_line(p), "settings " + kChanged + "\n");
  EXPECT_EQ(finish(p), 0);
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(settings_of(dir.path()), kChanged);
  EXPECT_EQ(total_hits(dir.path(), "arrival"), 1);
  /* Written under the new settings, like every rewritten document. */
  EXPECT_EQ(total_hits(dir.path(), "hidden"), 0);
  EXPECT_EQ(total_hits(dir.path(), "pelican"), 0);
  EXPECT_EQ(total_hits(dir.path(), "item 1234"), 1);
  EXPECT_EQ(document_count(dir.path()), kDocs + 1);
}

}  // namespace
