/*
 * test_bulk_crash_safety.cpp: partial updates and bulk deletions killed
 * with SIGKILL midway leave the index as it was; let go, they change all
 * they name.
 *
 * engine_probe runs one operation through the engine's C call and stops
 * inside its transaction when the engine reports a chosen share of the
 * work done (after a third of the documents, and after the last one, just
 * before the commit), printing a line: the test kills it once it has read
 * that line, an observed event, never a moment on a clock. Xapian is made
 * to write out what it buffers every 100 changes, so much of the
 * uncommitted transaction is on disk when the kill lands. Afterwards the
 * index must pass xapian-check, hold every document exactly as stored
 * before (compared whole, in order), still find them by their words, and
 * take writes (the dead writer's lock is gone).
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "engine_child.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::PipedProgram;
using lmxtest::TempDir;
using lmxtest::with_engine;

const std::string kProbe =
    std::string(LMX_BUILD_DIR) + "/tests/e2e/engine_probe";
constexpr int kDocs = 1500;

/* Every stored document of index "k", in order, one per line. */
std::string snapshot(const std::string &dir) {
  return with_engine(dir, [] {
    std::string all;
    unsigned long long after = 0;
    do {
      const char *page =
          lumidex_documents_export_page_json("k", after, 1000, nullptr);
      if (!page) return std::string("no page: ") + lumidex_last_error();
      std::string text(page);
      all += text + "\n";
      size_t at = text.rfind("\"next\":");
      after = strtoull(text.c_str() + at + 7, nullptr, 10);
    } while (after != 0);
    return all;
  });
}

long total_hits(const std::string &dir, const std::string &word) {
  std::string out = with_engine(dir, [&] {
    const char *a = lumidex_search("k", word.c_str(), 1, 0);
    return std::string(a ? a : "");
  });
  size_t at = out.find("\"total_hits\":");
  return at == std::string::npos ? -1 : atol(out.c_str() + at + 13);
}

/* Whether index "k" holds document id. */
bool exists(const std::string &dir, int id) {
  return with_engine(dir, [&] {
           return std::string(
               lumidex_document_get("k", std::to_string(id).c_str()) ? "yes"
                                                                     : "no");
         }) == "yes";
}

void seed(const std::string &dir) {
  std::string body;
  for (int i = 0; i < kDocs; i++)
    body += "{\"id\":" + std::to_string(i) + ",\"kind\":\"" +
            (i % 2 ? "odd" : "even") + "\",\"t\":\"word" + std::to_string(i) +
            "\"}\n";
  EXPECT_EQ(with_engine(dir,
                        [&] {
                          long long n =
                              lumidex_documents_add("k", body.c_str());
                          const char *s = lumidex_settings_update_json(
                              "k", "{\"filterableAttributes\":[\"kind\"]}",
                              nullptr, nullptr);
                          return std::to_string(n) + (s ? "" : " refused");
                        }),
            std::to_string(kDocs));
}

/* The probe running op on index "k" of dir, stopping at stop_at
 * documents; Xapian writes out what it buffers every 100 changes. */
PipedProgram start_probe(const std::string &dir, const std::string &op,
                         const std::string &arg, int stop_at) {
  ChildSpec job;
  job.env["XAPIAN_FLUSH_THRESHOLD"] = "100";
  return lmxtest::start_piped(
      kProbe, {dir, "k", op, arg, std::to_string(stop_at)}, job);
}

/* The operations under test, each with what it leaves once committed. */
struct Operation {
  const char *op;
  std::string arg;
  int total; /* progress total the engine reports */
  std::string done;
  std::function<void(const std::string &dir)> check_committed;
};

std::string every_id_partial() {
  std::string body;
  for (int i = 0; i < kDocs; i++)
    body += "{\"id\":" + std::to_string(i) + ",\"t\":\"patched\"}\n";
  return body;
}

std::string every_third_id() {
  std::string ids = "[";
  for (int i = 0; i < kDocs; i += 3) ids += (i ? "," : "") + std::to_string(i);
  return ids + "]";
}

std::vector<Operation> operations() {
  return {
      {"update", every_id_partial(), kDocs, "done 1500\n",
       [](const std::string &dir) {
         EXPECT_EQ(total_hits(dir, "patched"), kDocs);
         EXPECT_NE(snapshot(dir).find("{\"id\":7,\"kind\":\"odd\",\"t\":"
                                      "\"patched\"}"),
                   std::string::npos);
       }},
      {"ids", every_third_id(), kDocs / 3, "done 500\n",
       [](const std::string &dir) {
         EXPECT_FALSE(exists(dir, 3));
         EXPECT_FALSE(exists(dir, 1497));
         EXPECT_TRUE(exists(dir, 4));
         EXPECT_NE(snapshot(dir).find("{\"id\":1499,"), std::string::npos);
       }},
      {"filter", "{\"filter\":\"kind = odd\"}", kDocs / 2, "done 750\n",
       [](const std::string &dir) {
         EXPECT_FALSE(exists(dir, 7));
         EXPECT_FALSE(exists(dir, 1499));
         EXPECT_TRUE(exists(dir, 8));
       }},
      {"all", "", kDocs, "done 1500\n",
       [](const std::string &dir) {
         EXPECT_EQ(snapshot(dir), "{\"documents\":[],\"next\":0}\n");
       }},
  };
}

}  // namespace

TEST(BulkCrashSafety, AKillMidwayLeavesEveryDocumentAsItWas) {
  for (const Operation &op : operations()) {
    for (int stop_at : {op.total / 3, op.total}) {
      SCOPED_TRACE(std::string(op.op) + " killed at " +
                   std::to_string(stop_at));
      TempDir dir;
      seed(dir.path());
      const std::string before = snapshot(dir.path());
      ASSERT_NE(before.find("{\"id\":1499,"), std::string::npos) << before;
      const long hits_before = total_hits(dir.path(), "word1234");
      ASSERT_GT(hits_before, 0);
      PipedProgram p = start_probe(dir.path(), op.op, op.arg, stop_at);
      ASSERT_GT(p.pid, 0);
      /* "working DONE TOTAL": the first report at or past stop_at (the
       * engine reports every 1% of the work). */
      std::string line = next_line(p);
      unsigned long long done = 0, total = 0;
      ASSERT_EQ(sscanf(line.c_str(), "working %llu %llu", &done, &total), 2)
          << line;
      EXPECT_GE(done, static_cast<unsigned long long>(stop_at));
      EXPECT_LE(done, total);
      EXPECT_EQ(total, static_cast<unsigned long long>(op.total));
      kill(p.pid, SIGKILL);
      EXPECT_EQ(finish(p), -1); /* the kill ended it, not its own end */
      ChildResult check = lmxtest::run_program(lmxtest::xapian_check_path(),
                                               {dir.path() + "/k"}, {});
      EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
      EXPECT_EQ(snapshot(dir.path()), before);
      EXPECT_EQ(total_hits(dir.path(), "word1234"), hits_before);
      EXPECT_EQ(total_hits(dir.path(), "patched"), 0);
      /* The dead writer's lock is gone: a write goes through at once. */
      EXPECT_EQ(with_engine(dir.path(),
                            [] {
                              return std::to_string(lumidex_documents_add(
                                  "k", "{\"id\":\"after\",\"t\":\"later\"}"));
                            }),
                "1");
    }
  }
}

TEST(BulkCrashSafety, LetGoTheOperationCommitsAllItNames) {
  for (const Operation &op : operations()) {
    SCOPED_TRACE(op.op);
    TempDir dir;
    seed(dir.path());
    PipedProgram p = start_probe(dir.path(), op.op, op.arg, op.total / 2);
    ASSERT_GT(p.pid, 0);
    std::string line = next_line(p);
    ASSERT_EQ(line.rfind("working ", 0), 0u) << line;
    ASSERT_EQ(write(p.feed, "g", 1), 1);
    EXPECT_EQ(next_line(p), op.done);
    EXPECT_EQ(finish(p), 0);
    op.check_committed(dir.path());
  }
}
