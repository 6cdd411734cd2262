/*
 * test_compact.cpp: compacting a live index (lumidex_index_compact_json) on
 * real databases: what it keeps (documents, their order and positions,
 * answers, metadata), that it frees room, its refusals, and that a writer
 * that was waiting for the lock while the index was exchanged writes to the
 * new index, not to the old copy that is thrown away.
 */
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>
#include <xapian.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core_fixture.h"

using coretest::CoreTest;
using coretest::Json;
using coretest::last_error;
using coretest::str;

namespace {

class Compact : public CoreTest {
 protected:
  std::string index_dir(const char *index) const {
    return dir() + "/" + index;
  }

  /* The bytes of the index's files. */
  long long index_bytes(const char *index) const {
    long long total = 0;
    for (const std::string &name : lmxtest::entries_of(index_dir(index))) {
      struct stat st;
      if (stat((index_dir(index) + "/" + name).c_str(), &st) == 0)
        total += st.st_size;
    }
    return total;
  }

  /* Every document of index, pages of seven. */
  static std::string documents(const char *index) {
    return coretest::documents(index, 7);
  }

  /* Adds count documents "d<first>".. in batches of batch, one commit
   * each, so that the index's blocks end up partly filled. */
  static void add_documents(const char *index, int first, int count,
                            int batch) {
    static const char *kWords[] = {"red",   "green", "blue",  "server",
                                   "proxy", "cache", "mail",  "editor",
                                   "photo", "audio", "video", "network"};
    for (int start = first; start < first + count; start += batch) {
      std::string body = "[";
      for (int k = start; k < start + batch && k < first + count; ++k) {
        if (body.size() > 1) body += ",";
        body += "{\"id\":\"d" + std::to_string(k) + "\",\"name\":\"" +
                kWords[k % 12] + std::to_string(k % 50) + "\",\"text\":\"" +
                kWords[k % 12] + " " + kWords[(k / 12) % 12] + " " +
                kWords[(k * 7) % 12] + " number " + std::to_string(k) +
                "\"}";
      }
      body += "]";
      ASSERT_GT(lumidex_documents_add(index, body.c_str()), 0) << last_error();
    }
  }
};

TEST_F(Compact, KeepsDocumentsOrderAnswersAndMetadataAndFreesRoom) {
  ASSERT_EQ(lumidex_index_create("shop", "id"), 0);
  add_documents("shop", 0, 3000, 100);
  /* Gaps: renumbering would move the positions an export resumes from. */
  ASSERT_EQ(lumidex_document_delete("shop", "d0"), 0);
  ASSERT_EQ(lumidex_document_delete("shop", "d1500"), 0);
  const std::string before_docs = documents("shop");
  const std::string before_stats = str(lumidex_index_stats_json("shop"));
  const char *queries[] = {"server", "red proxy", "phot", "netwrok", "video 42"};
  std::vector<std::string> before_answers;
  for (const char *q : queries)
    before_answers.push_back(str(lumidex_search("shop", q, 20, 0)));
  const long long before_bytes = index_bytes("shop");

  Json outcome(lumidex_index_compact_json("shop"));
  ASSERT_TRUE(outcome.root()) << last_error();
  EXPECT_EQ(outcome.text("index"), "shop");
  EXPECT_TRUE(yyjson_get_bool(outcome.get("compacted")));
  EXPECT_EQ(outcome.integer("document_count"), 2998);

  EXPECT_EQ(documents("shop"), before_docs);
  EXPECT_EQ(str(lumidex_index_stats_json("shop")), before_stats);
  for (size_t k = 0; k < before_answers.size(); ++k) {
    /* The time each search took is the one member that may differ. */
    Json before(before_answers[k].c_str()), after(lumidex_search(
                                                 "shop", queries[k], 20, 0));
    ASSERT_TRUE(after.root()) << last_error();
    char *a = yyjson_val_write(before.get("hits"), 0, nullptr);
    char *b = yyjson_val_write(after.get("hits"), 0, nullptr);
    EXPECT_EQ(str(a), str(b)) << queries[k];
    free(a);
    free(b);
    EXPECT_EQ(before.integer("total_hits"), after.integer("total_hits"));
  }
  EXPECT_LT(index_bytes("shop"), before_bytes);
  /* Nothing is left beside the index: no work area, no old copy. */
  EXPECT_EQ(lmxtest::entries_of(dir()), std::vector<std::string>{"shop"});

  /* Writes go on in the compacted index. */
  ASSERT_EQ(lumidex_documents_add("shop", R"({"id":"new","text":"server"})"),
            1);
  EXPECT_EQ(Json(lumidex_index_stats_json("shop")).integer("document_count"),
            2999);
}

/* A change of settings that rewrites every document leaves the index
 * compacted (another directory in its place, and smaller than the rewrite
 * left it); one that rewrites nothing leaves the directory alone. */
TEST_F(Compact, ASettingsRewriteEndsCompacted) {
  ASSERT_EQ(lumidex_index_create("shop", "id"), 0);
  add_documents("shop", 0, 2000, 100);
  auto identity = [&] {
    struct stat st;
    return stat(index_dir("shop").c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const std::string before_docs = documents("shop");
  EXPECT_GT(Json(lumidex_search("shop", "red0", 10, 0)).integer("total_hits"),
            0);
  ino_t before = identity();
  ASSERT_NE(lumidex_settings_update_json(
                "shop", R"({"synonyms":{"tv":["television"]}})", nullptr,
                nullptr),
            nullptr)
      << last_error();
  EXPECT_EQ(identity(), before);

  ASSERT_NE(lumidex_settings_update_json(
                "shop", R"({"searchableAttributes":["text"]})", nullptr,
                nullptr),
            nullptr)
      << last_error();
  EXPECT_NE(identity(), before);
  EXPECT_EQ(documents("shop"), before_docs);
  EXPECT_EQ(lmxtest::entries_of(dir()), std::vector<std::string>{"shop"});
  /* The rewrite applied: the name is no longer searched. */
  Json found(lumidex_search("shop", "red0", 10, 0));
  EXPECT_EQ(found.integer("total_hits"), 0) << last_error();
}

TEST_F(Compact, RefusesWhatIsNoIndexAndChangesNothing) {
  EXPECT_EQ(lumidex_index_compact_json("missing"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  EXPECT_EQ(lumidex_index_compact_json("bad name!"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_ARGUMENT);
  EXPECT_TRUE(lmxtest::entries_of(dir()).empty());
}

/* Whether process pid is blocked in fcntl (waiting for a lock), from the
 * system call it is in (/proc/PID/syscall starts with its number). */
bool waits_in_fcntl(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return (in >> number) && number == SYS_fcntl;
}

/* Forks a child that waits for a byte on a pipe, then runs fn and exits
 * with its result; *go is the pipe's write end. */
pid_t child_after_go(int *go, const std::function<int()> &fn) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[1]);
    char byte;
    if (read(fds[0], &byte, 1) != 1) _exit(3);
    _exit(fn());
  }
  close(fds[0]);
  *go = fds[1];
  return pid;
}

/* Sends the byte, then waits until the child blocks in fcntl (true) or
 * ends without ever doing so (false): whichever is seen first, however
 * long the machine takes to get there. */
bool release_until_it_waits(int go, pid_t pid) {
  if (write(go, "g", 1) != 1) return false;
  close(go);
  for (;;) {
    if (waits_in_fcntl(pid)) return true;
    siginfo_t info{};
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == pid)
      return false;
    sched_yield();
  }
}

int exit_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

/* A compaction and a write both wait for the lock held by a third writer;
 * when it goes, either may get the lock first. The write must land in the
 * index whichever does: when the compaction goes first, the writer wakes
 * up holding the lock of the old copy that was exchanged away (the catalog
 * then takes the new index's lock before writing, so that no second writer
 * can write beside it; that overlap is not staged here). Each round lets
 * them race again (the order is up to the kernel; the verdict holds for
 * both). */
TEST_F(Compact, AWriterWaitingMeanwhileWritesToTheNewIndex) {
  ASSERT_EQ(lumidex_index_create("shop", "id"), 0);
  add_documents("shop", 0, 400, 50);
  for (int round = 0; round < 6; ++round) {
    const std::string id = "waiting" + std::to_string(round);
    int go_compact = -1, go_write = -1;
    pid_t compactor = child_after_go(&go_compact, [] {
      return lumidex_index_compact_json("shop") ? 0 : 1;
    });
    pid_t writer = child_after_go(&go_write, [&] {
      std::string doc = "{\"id\":\"" + id + "\",\"text\":\"late\"}";
      return lumidex_documents_add("shop", doc.c_str()) == 1 ? 0 : 1;
    });
    ASSERT_GT(compactor, 0);
    ASSERT_GT(writer, 0);
    {
      Xapian::WritableDatabase holder(index_dir("shop"),
                                      Xapian::DB_OPEN | Xapian::DB_RETRY_LOCK);
      ASSERT_TRUE(release_until_it_waits(go_compact, compactor));
      ASSERT_TRUE(release_until_it_waits(go_write, writer));
    } /* the lock goes: they race */
    EXPECT_EQ(exit_status(compactor), 0) << "round " << round;
    EXPECT_EQ(exit_status(writer), 0) << "round " << round;
    EXPECT_NE(str(lumidex_document_get("shop", id.c_str())), "<null>")
        << "round " << round << ": the write was lost";
    EXPECT_EQ(Json(lumidex_index_stats_json("shop")).integer("document_count"),
              401 + round);
  }
}

}  // namespace
