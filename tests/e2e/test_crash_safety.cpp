/*
 * test_crash_safety.cpp: writers killed with SIGKILL at varied moments.
 *
 * A `lumidex import` of NDJSON in batches, and an api_router POST of one
 * large batch, are started and killed. The kills that the verdicts count on
 * are placed by what the test observes, never by a clock, so they land at
 * the same points on a fast machine and on a loaded one: an import fed
 * through a pipe by the test is killed once its k-th batch is seen
 * committed, while it waits for the rest of the next batch (the index must
 * then hold exactly k batches) or right after the next batch's last record
 * went in (k or k+1 batches); an import of a file is killed once its k-th
 * batch is seen; a POST is killed while its body is still coming (nothing
 * added) or once it has read its whole body (see its offset in
 * /proc/PID/fdinfo/0). Kills after delays spread over the time an uncut
 * run takes are kept as extra trials: where they land depends on the
 * machine, so only the per-trial properties are checked for them.
 *
 * Documents come in whole batches: the import's records are numbered in
 * input order, so after a kill the index must hold exactly the first k
 * batches (a multiple of the batch size, every id of them, none after), at
 * least as many as a reader saw committed just before the kill; the POST
 * either added its whole batch or nothing. Every index must open
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
#include "stress.h"

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
constexpr int kImportTrials = lmxtest::stress_rounds(24);
constexpr int kPostDocs = 3000;
constexpr int kPostTrials = lmxtest::stress_rounds(12);
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

/* Byte offset of the start of record n (0-based) of NDJSON text; the
 * text's size when it has n records or fewer. */
size_t record_offset(const std::string &text, int n) {
  size_t at = 0;
  for (int i = 0; i < n && at < text.size(); i++) {
    size_t nl = text.find('\n', at);
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  return at;
}

/* Starts program with args in its own process: standard input from the
 * descriptor in (made the child's fd 0; the caller keeps and closes its
 * own), output discarded, environment env only. Descriptors the caller
 * opened with close-on-exec (the write end of a pipe) stay out of it. */
pid_t start_fd(const std::string &program, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env, int in) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
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

/* start_fd with standard input from the file at stdin_path. */
pid_t start(const std::string &program, const std::vector<std::string> &args,
            const std::map<std::string, std::string> &env,
            const std::string &stdin_path = "/dev/null") {
  int in = open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  pid_t pid = start_fd(program, args, env, in);
  if (in >= 0) close(in);
  return pid;
}

/* A program whose standard input is a pipe the test writes to. The
 * program never sees the end of its input: it blocks for more until it is
 * killed. */
struct Piped {
  pid_t pid = -1;
  int feed = -1; /* write end */
};

Piped start_piped(const std::string &program,
                  const std::vector<std::string> &args,
                  const std::map<std::string, std::string> &env) {
  Piped p;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return p;
  p.pid = start_fd(program, args, env, fds[0]);
  close(fds[0]);
  p.feed = fds[1];
  return p;
}

/* Writes bytes to fd; false when the reader is gone (the tests that feed
 * pipes ignore SIGPIPE, so a killed reader cannot end the test). */
bool write_all(int fd, const char *bytes, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

/* Waits until index holds at least min documents (min 0: until the index
 * exists) or pid has ended; the largest count seen goes to *seen. Returns
 * false when pid ended first (it is then reaped and *status set). */
bool wait_for_count(pid_t pid, const std::string &index, long long min,
                    long long *seen, int *status) {
  for (;;) {
    long long n = document_count(index);
    *seen = std::max(*seen, n);
    if (n >= min) return true;
    if (waitpid(pid, status, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

/* How far pid has read its standard input (a regular file), or -1. */
long long stdin_offset(pid_t pid) {
  std::string info =
      lmxtest::read_file("/proc/" + std::to_string(pid) + "/fdinfo/0")
          .value_or("");
  size_t at = info.find("pos:");
  return at == std::string::npos ? -1 : atoll(info.c_str() + at + 4);
}

/* Kills pid and reaps it; true when the kill ended it (it had not ended on
 * its own before). */
bool kill_now(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
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
  return kill_now(pid);
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
  auto after_trial = [&](const std::string &index, long long n) {
    if (n > 0) kept[index] = n + 1; /* with the document added after */
    for (const std::string &entry : entries_of(storage)) {
      if (entry[0] == '.') continue;
      EXPECT_TRUE(listed(entry)) << entry << " not an index";
    }
  };

  /* Paced through a pipe: after the k-th batch is seen committed, the
   * import either waits for the rest of a half-fed batch (killed between
   * batches: exactly k batches stay) or has just been handed the last
   * record of batch k+1 (killed around that commit: k or k+1 batches). It
   * never sees the end of its input, so every kill cuts it. */
  signal(SIGPIPE, SIG_IGN);
  std::string records = ndjson("rec-", kImportDocs);
  int paced = 0;
  std::string counts;
  for (int k : {0, 1, 2, 3, 5, 8, 13, 19}) {
    for (bool mid_commit : {false, true}) {
      std::string index =
          "paced" + std::to_string(k) + (mid_commit ? "c" : "b");
      SCOPED_TRACE(
          "import killed after batch " + std::to_string(k) +
          (mid_commit ? ", around the next commit" : ", between batches") +
          " into " + index);
      int fed = mid_commit ? (k + 1) * kImportBatch
                           : k * kImportBatch + kImportBatch / 2;
      Piped p = start_piped(
          kTool,
          {"-q", "import", index, "-", "--batch", std::to_string(kImportBatch)},
          env);
      ASSERT_GT(p.pid, 0);
      EXPECT_TRUE(
          write_all(p.feed, records.data(), record_offset(records, fed)));
      long long seen = 0;
      int status = 0;
      bool reached =
          wait_for_count(p.pid, index, k * kImportBatch, &seen, &status);
      EXPECT_TRUE(reached) << "the import ended on its own, status " << status;
      if (reached && kill_now(p.pid)) paced++;
      close(p.feed);
      long long n = check_import_index(storage, index, seen);
      if (mid_commit) {
        EXPECT_TRUE(n == k * kImportBatch || n == (k + 1) * kImportBatch) << n;
      } else {
        EXPECT_EQ(n, k * kImportBatch);
      }
      counts += " " + index + ":" + std::to_string(n);
      after_trial(index, n);
    }
  }
  printf("paced import: documents kept after each kill:%s\n", counts.c_str());
  EXPECT_EQ(paced, 16) << "a paced import was not cut by its kill";
  /* No count of partial imports here: each trial's own check above pins
   * what it keeps, and around a commit (k = 0 and the last batch) either
   * outcome is right, so a total would depend on the machine's speed. */

  /* From the file: killed once the k-th batch is seen (the import may have
   * gone further, or even finished, by the time the kill lands). */
  counts.clear();
  for (int k : {1, 4, 10, 16}) {
    std::string index = "seen" + std::to_string(k);
    SCOPED_TRACE("import of the file killed after batch " + std::to_string(k) +
                 " was seen, into " + index);
    pid_t pid = start(kTool, args(index), env);
    ASSERT_GT(pid, 0);
    long long seen = 0;
    int status = 0;
    if (wait_for_count(pid, index, k * kImportBatch, &seen, &status))
      kill_now(pid);
    long long n = check_import_index(storage, index, seen);
    EXPECT_GE(n, k * kImportBatch);
    counts += " " + index + ":" + std::to_string(n);
    after_trial(index, n);
  }
  printf("import of the file: documents kept after each kill:%s\n",
         counts.c_str());

  /* Extra trials at clock times: the first ones within the creation of the
   * index, the others spread over the uncut run. Where they land depends on
   * the machine's speed, so only the per-trial properties count. */
  counts.clear();
  for (int i = 0; i < kImportTrials; i++) {
    std::string index = "cut" + std::to_string(i);
    std::chrono::milliseconds delay = delay_of(i, kImportTrials, full_ms);
    SCOPED_TRACE("import killed after " + std::to_string(delay.count()) +
                 " ms into " + index);
    long long seen = 0;
    pid_t pid = start(kTool, args(index), env);
    ASSERT_GT(pid, 0);
    kill_after(pid, delay, index, &seen);
    long long n = check_import_index(storage, index, seen);
    counts += " " + std::to_string(delay.count()) + "ms:" + std::to_string(n);
    after_trial(index, n);
  }
  printf("delay:documents kept after each kill:%s\n", counts.c_str());

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

  /* Checks an index after its POST was killed: its first document, and
   * the whole batch or none of it. */
  auto check_post = [&](const std::string &index, long long seen) {
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
    return n;
  };

  /* Killed while its body is still coming through a pipe: it cannot have
   * added anything, and every kill cuts it. */
  signal(SIGPIPE, SIG_IGN);
  int cut = 0;
  const size_t fed_sizes[] = {0, body.size() / 3, body.size() * 2 / 3,
                              body.size() - 1};
  for (size_t fed : fed_sizes) {
    std::string index = "early" + std::to_string(fed);
    SCOPED_TRACE("POST killed after " + std::to_string(fed) + " of " +
                 std::to_string(body.size()) + " bytes of its body");
    ASSERT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"first\"}"), 1);
    Piped p = start_piped(kRouter, {}, env_for(index));
    ASSERT_GT(p.pid, 0);
    EXPECT_TRUE(write_all(p.feed, body.data(), fed));
    if (kill_now(p.pid)) cut++;
    close(p.feed);
    EXPECT_EQ(check_post(index, 0), 1);
  }
  EXPECT_EQ(cut, 4) << "a POST with part of its body ended on its own";

  /* Killed once it has read its whole body (its offset in the body file
   * is seen at the end): the kill lands while it parses or commits, or
   * after; the batch is whole or absent either way. */
  for (int i = 0; i < 4; i++) {
    std::string index = "read" + std::to_string(i);
    SCOPED_TRACE("POST killed after reading its body, into " + index);
    ASSERT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"first\"}"), 1);
    pid_t pid = start(kRouter, {}, env_for(index), body_path);
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    while (!ended && stdin_offset(pid) < static_cast<long long>(body.size())) {
      ended = waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!ended) kill_now(pid);
    check_post(index, 0);
  }

  /* Extra trials at clock times spread over the uncut run; where they land
   * depends on the machine's speed, so only the per-trial properties
   * count. */
  for (int i = 0; i < kPostTrials; i++) {
    std::string index = "post" + std::to_string(i);
    std::chrono::milliseconds delay = delay_of(i, kPostTrials, full_ms);
    SCOPED_TRACE("POST killed after " + std::to_string(delay.count()) +
                 " ms into " + index);
    ASSERT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"first\"}"), 1);
    long long seen = 0;
    pid_t pid = start(kRouter, {}, env_for(index), body_path);
    ASSERT_GT(pid, 0);
    kill_after(pid, delay, index, &seen);
    check_post(index, seen);
  }
  lumidex_cleanup();
}

}  // namespace
