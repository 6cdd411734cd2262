/*
 * test_crash_safety.cpp: writers killed with SIGKILL at varied moments.
 *
 * A `lumidex import` of an NDJSON file in batches, and an api_router POST of
 * one large batch, are started and killed after delays spread over the time
 * an uncut run takes. Documents come in whole batches: the import's records
 * are numbered in file order, so after a kill the index must hold exactly
 * the first k batches (a multiple of the batch size, every id of them, none
 * after), at least as many as a reader saw committed just before the kill;
 * the POST either added its whole batch or nothing. Every index must open
 * and pass xapian-check, must still take writes (the dead writer's lock is
 * gone), earlier trials' indexes must be untouched, and no work area of a
 * dead process may be listed, reachable by name, or survive the next
 * creation once it has aged.
 */
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "lumidex_core.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;
using lmxtest::entries_of;
using lmxtest::xapian_check_path;
using Clock = std::chrono::steady_clock;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kTool = std::string(LMX_BUILD_DIR) + "/tools/lumidex";

constexpr int kImportDocs = 2000;
constexpr int kImportBatch = 100;
constexpr int kImportTrials = 24;
constexpr int kPostDocs = 3000;
constexpr int kPostTrials = 12;
/* Kills land within the first this many milliseconds at most, so a slow
 * disk does not make the test slow. */
constexpr long kLongestDelayMs = 1200;

std::string import_id(int i) { return "rec-" + std::to_string(i); }

std::string ndjson(const std::string &prefix, int n) {
  std::string out;
  out.reserve(static_cast<size_t>(n) * 100);
  for (int i = 0; i < n; i++)
    out += "{\"id\":\"" + prefix + std::to_string(i) +
           "\",\"title\":\"record " + std::to_string(i) +
           "\",\"text\":\"lorem ipsum dolor sit amet consectetur word" +
           std::to_string(i) + "\"}\n";
  return out;
}

long long document_count(const std::string &index) {
  const char *stats = lumidex_index_stats_json(index.c_str());
  if (!stats || strcmp(stats, "null") == 0) return -1;
  yyjson_doc *doc = yyjson_read(stats, strlen(stats), 0);
  yyjson_val *n = yyjson_obj_get(yyjson_doc_get_root(doc), "document_count");
  long long count =
      yyjson_is_int(n) ? static_cast<long long>(yyjson_get_uint(n)) : -1;
  yyjson_doc_free(doc);
  return count;
}

/* Starts program with args in its own process: stdin from stdin_path (or
 * /dev/null), output discarded, environment env only. */
pid_t start(const std::string &program, const std::vector<std::string> &args,
            const std::map<std::string, std::string> &env,
            const std::string &stdin_path = "/dev/null") {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int in = open(stdin_path.c_str(), O_RDONLY);
  int out = open("/dev/null", O_WRONLY);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  clearenv();
  for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  std::vector<char *> argv{const_cast<char *>(program.c_str())};
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

/* Kills pid after delay (unless it ended before); returns true when the
 * kill cut it, false when it had finished on its own. A reader samples
 * the committed count of index until the moment of the kill. */
bool kill_after(pid_t pid, std::chrono::milliseconds delay,
                const std::string &index, long long *seen_before) {
  Clock::time_point at = Clock::now() + delay;
  *seen_before = 0;
  while (Clock::now() < at) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    *seen_before = std::max(*seen_before, document_count(index));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

void expect_xapian_check(const std::string &dir) {
  ChildResult r = lmxtest::run_program(xapian_check_path(), {dir}, ChildSpec{});
  EXPECT_EQ(r.exit_code, 0) << "xapian-check " << dir << ":\n"
                            << r.out << r.err;
}

/* True when the engine's listing names index. */
bool listed(const std::string &index) {
  const char *list = lumidex_indexes_list_json();
  return list && std::string(list).find("\"name\":\"" + index + "\"") !=
                     std::string::npos;
}

/* The delay of trial i of n: the first trials within the first 20 ms,
 * while the process starts and creates the index, so the creation itself
 * is cut too; the others spread evenly over the uncut run's time. */
std::chrono::milliseconds delay_of(int i, int n, long full_ms) {
  static const long kEarly[] = {0, 2, 5, 8, 11, 14, 17, 20};
  constexpr int kEarlyCount = sizeof kEarly / sizeof kEarly[0];
  long span = std::min(full_ms, kLongestDelayMs);
  if (i < kEarlyCount) return std::chrono::milliseconds(kEarly[i]);
  return std::chrono::milliseconds(span * (i - kEarlyCount + 1) /
                                   (n - kEarlyCount));
}

/* Checks an import index after a kill: whole batches, a prefix of the
 * file, nothing lost of what was seen. Returns the count. */
long long check_import_index(const std::string &storage,
                             const std::string &index, long long seen_before) {
  long long n = document_count(index);
  if (n < 0) {
    /* Cut before the index appeared: it must be neither listed nor on
     * disk under its name, and nothing can have been seen. */
    EXPECT_FALSE(listed(index));
    EXPECT_NE(access((storage + "/" + index).c_str(), F_OK), 0);
    EXPECT_EQ(seen_before, 0);
    return 0;
  }
  EXPECT_TRUE(listed(index));
  expect_xapian_check(storage + "/" + index);
  EXPECT_EQ(n % kImportBatch, 0)
      << "a cut batch left " << n % kImportBatch << " documents";
  EXPECT_GE(n, seen_before) << "a batch seen committed was lost";
  int missing = 0;
  for (long long i = 0; i < n && missing < 10; i++) {
    if (!lumidex_document_get(index.c_str(),
                              import_id(static_cast<int>(i)).c_str())) {
      ADD_FAILURE() << "committed " << import_id(static_cast<int>(i))
                    << " missing";
      missing++;
    }
  }
  if (n < kImportDocs) {
    EXPECT_EQ(lumidex_document_get(index.c_str(),
                                   import_id(static_cast<int>(n)).c_str()),
              nullptr)
        << "a document after the last whole batch is present";
  }
  const char *found = lumidex_search(index.c_str(), "word0", 5, 0);
  if (n > 0) {
    EXPECT_NE(found, nullptr) << lumidex_last_error();
    if (found) {
      EXPECT_NE(std::string(found).find("\"rec-0\""), std::string::npos);
    }
  }
  /* The dead writer's lock is gone: the index takes a write at once. */
  EXPECT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"after-kill\"}"), 1)
      << lumidex_last_error();
  return n;
}

TEST(CrashSafety, KilledImportsLeaveWholeBatchesAndNoHalfMadeIndex) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  std::string file = tmp.sub("records.ndjson");
  ASSERT_TRUE(lmxtest::write_file(file, ndjson("rec-", kImportDocs)));
  std::map<std::string, std::string> env = {{"LUMIDEX_STORAGE_DIR", storage}};
  auto args = [&](const std::string &index) {
    return std::vector<std::string>{
        "-q", "import", index, file, "--batch", std::to_string(kImportBatch)};
  };
  ASSERT_EQ(lumidex_init(storage.c_str()), 0) << lumidex_last_error();

  /* An uncut run gives the time to spread the kills over. */
  Clock::time_point t0 = Clock::now();
  ChildSpec job;
  job.env = env;
  ChildResult full = lmxtest::run_program(kTool, args("full"), job);
  long full_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0)
          .count());
  ASSERT_EQ(full.exit_code, 0) << full.err;
  ASSERT_EQ(document_count("full"), kImportDocs);

  std::map<std::string, long long> kept;
  int cut = 0, partial = 0;
  std::string counts;
  for (int i = 0; i < kImportTrials; i++) {
    std::string index = "cut" + std::to_string(i);
    std::chrono::milliseconds delay = delay_of(i, kImportTrials, full_ms);
    SCOPED_TRACE("import killed after " + std::to_string(delay.count()) +
                 " ms into " + index);
    long long seen = 0;
    pid_t pid = start(kTool, args(index), env);
    ASSERT_GT(pid, 0);
    if (kill_after(pid, delay, index, &seen)) cut++;
    long long n = check_import_index(storage, index, seen);
    if (n > 0) kept[index] = n + 1; /* with the document added after */
    if (n > 0 && n < kImportDocs) partial++;
    counts += " " + std::to_string(delay.count()) + "ms:" + std::to_string(n);
    for (const std::string &entry : entries_of(storage)) {
      if (entry[0] == '.') continue;
      EXPECT_TRUE(listed(entry)) << entry << " not an index";
    }
  }
  printf("delay:documents kept after each kill:%s\n", counts.c_str());
  EXPECT_GE(cut, kImportTrials / 2) << "too few imports were actually cut";
  /* Kills in the middle of the import are the interesting ones. */
  EXPECT_GE(partial, 3) << "too few imports were cut between batches";

  /* Earlier trials are untouched by later kills. */
  EXPECT_EQ(document_count("full"), kImportDocs);
  for (const auto &kv : kept)
    EXPECT_EQ(document_count(kv.first), kv.second) << kv.first;
  /* Work areas left by the killed processes are never listed nor reachable
   * by name; once they have aged they are swept by the next creation. */
  int areas = 0;
  for (const std::string &entry : entries_of(storage)) {
    if (entry[0] != '.') continue;
    areas++;
    EXPECT_FALSE(listed(entry)) << entry;
    EXPECT_EQ(lumidex_search(entry.c_str(), "", 1, 0), nullptr) << entry;
    struct timespec old_times[2] = {{time(nullptr) - 3600, 0},
                                    {time(nullptr) - 3600, 0}};
    EXPECT_EQ(
        utimensat(AT_FDCWD, (storage + "/" + entry).c_str(), old_times, 0), 0);
  }
  printf("work areas left by killed creations: %d\n", areas);
  ASSERT_EQ(lumidex_index_create("sweeper", "id"), 0) << lumidex_last_error();
  for (const std::string &entry : entries_of(storage))
    EXPECT_NE(entry[0], '.') << "aged work area left behind: " << entry;
  lumidex_cleanup();
}

TEST(CrashSafety, KilledLargePostAddsItsWholeBatchOrNothing) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  std::string body_path = tmp.sub("body.ndjson");
  std::string body = ndjson("post-", kPostDocs);
  ASSERT_TRUE(lmxtest::write_file(body_path, body));
  auto env_for = [&](const std::string &index) {
    return std::map<std::string, std::string>{
        {"REQUEST_METHOD", "POST"},
        {"PATH_INFO", "/indexes/" + index + "/documents"},
        {"CONTENT_LENGTH", std::to_string(body.size())},
        {"LUMIDEX_STORAGE_DIR", storage}};
  };
  ASSERT_EQ(lumidex_init(storage.c_str()), 0) << lumidex_last_error();

  /* An uncut run gives the time to spread the kills over. */
  Clock::time_point t0 = Clock::now();
  ChildSpec job;
  job.env = env_for("whole");
  job.stdin_kind = lmxtest::StdinKind::Path;
  job.stdin_path = body_path;
  ChildResult whole = lmxtest::run_program(kRouter, {}, job);
  long full_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0)
          .count());
  ASSERT_EQ(lmxtest::response_status(whole.out), 200) << whole.out;
  ASSERT_EQ(document_count("whole"), kPostDocs);

  int cut = 0;
  for (int i = 0; i < kPostTrials; i++) {
    std::string index = "post" + std::to_string(i);
    std::chrono::milliseconds delay = delay_of(i, kPostTrials, full_ms);
    SCOPED_TRACE("POST killed after " + std::to_string(delay.count()) +
                 " ms into " + index);
    ASSERT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"first\"}"), 1);
    long long seen = 0;
    pid_t pid = start(kRouter, {}, env_for(index), body_path);
    ASSERT_GT(pid, 0);
    if (kill_after(pid, delay, index, &seen)) cut++;
    long long n = document_count(index);
    EXPECT_TRUE(n == 1 || n == 1 + kPostDocs) << "count " << n;
    EXPECT_GE(n, seen) << "a batch seen committed was lost";
    EXPECT_NE(lumidex_document_get(index.c_str(), "first"), nullptr);
    bool last_there =
        lumidex_document_get(
            index.c_str(), ("post-" + std::to_string(kPostDocs - 1)).c_str()) !=
        nullptr;
    EXPECT_EQ(last_there, n == 1 + kPostDocs);
    expect_xapian_check(storage + "/" + index);
    EXPECT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"after-kill\"}"),
              1)
        << lumidex_last_error();
  }
  EXPECT_GE(cut, kPostTrials / 2) << "too few requests were actually cut";
  lumidex_cleanup();
}

}  // namespace
