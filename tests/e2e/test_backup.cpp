/*
 * test_backup.cpp: `lumidex backup` and `lumidex restore` on an index that
 * eight writer processes keep writing to through api_router.
 *
 * Each writer posts batches one after another: kPerBatch documents
 * "wW-bB-dD" and its counter document "wW-n" holding the number of its
 * batches so far, one transaction each, and logs every acknowledged batch.
 * Three backups are taken while they write; before each the test waits
 * until every writer has had a batch acknowledged since the last one, so
 * writes and backups interleave by what was observed, not by timing.
 *
 * Each backup is restored into a storage directory of its own and read back
 * with `lumidex export`. What must hold: every writer's batches in the copy
 * are exactly its first k (each batch whole, the counter saying k), k is at
 * least what was acknowledged before the backup started and at most one
 * more than what was acknowledged when it ended, the batches add up to the
 * commits the manifest's revision counts since a backup of the index taken
 * before the writers started, the documents to the manifest's count, and
 * the restored database passes xapian-check. Restoring over the live index
 * is refused without --force and replaces it with it. The tool's refusals
 * (an index that exists, a backup that is missing, a backup already made)
 * change neither the storage directory nor the backups.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "child.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kTool = std::string(LMX_BUILD_DIR) + "/tools/lumidex";

constexpr int kWriters = 8;
constexpr int kPerBatch = 4;
/* A writer stops here even if never told to, so a test gone wrong ends. */
constexpr int kMaxBatches = 400;
constexpr int kBackups = 3;
/* Documents already in the index, so that a copy takes long enough for
 * commits to land during it. */
constexpr int kSeeds = 3000;

ChildResult tool(const std::string &storage, std::vector<std::string> args) {
  args.insert(args.begin(), {"--storage-dir", storage, "-q"});
  ChildSpec job;
  job.timeout_seconds = 300;
  return lmxtest::run_program(kTool, args, job);
}

ChildResult post(const std::string &storage, const std::string &body) {
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", "POST"},
             {"PATH_INFO", "/indexes/live/documents"},
             {"LUMIDEX_STORAGE_DIR", storage},
             {"CONTENT_LENGTH", std::to_string(body.size())}};
  job.stdin_kind = lmxtest::StdinKind::File;
  job.stdin_bytes = body;
  job.timeout_seconds = 300;
  return lmxtest::run_program(kRouter, {}, job);
}

std::string batch_body(int w, int b) {
  std::string body;
  for (int d = 0; d < kPerBatch; d++)
    body += "{\"id\":\"w" + std::to_string(w) + "-b" + std::to_string(b) +
            "-d" + std::to_string(d) + "\",\"text\":\"batch words\"}\n";
  body += "{\"id\":\"w" + std::to_string(w) +
          "-n\",\"batches\":" + std::to_string(b + 1) + "}\n";
  return body;
}

/* Posts batches until stop_file exists; logs "ack B" per acknowledged
 * batch and "bad ..." for anything else. */
void run_writer(const std::string &storage, int w, const std::string &log,
                const std::string &stop_file) {
  FILE *f = fopen(log.c_str(), "w");
  if (!f) return;
  std::string want = "\"added\":" + std::to_string(kPerBatch + 1);
  for (int b = 0; b < kMaxBatches && access(stop_file.c_str(), F_OK) != 0;
       b++) {
    ChildResult r = post(storage, batch_body(w, b));
    if (lmxtest::response_status(r.out) == 200 &&
        r.out.find(want) != std::string::npos) {
      fprintf(f, "ack %d\n", b);
    } else {
      std::string out = r.out.substr(0, 200);
      for (char &c : out)
        if (c == '\n' || c == '\r') c = ' ';
      fprintf(f, "bad batch %d: %s\n", b, out.c_str());
      fflush(f);
      break;
    }
    fflush(f);
  }
  fclose(f);
}

/* Acknowledged batches of each writer so far, from the logs; a "bad" line
 * is reported through bad. */
std::vector<int> acks(const std::string &logs, std::string *bad) {
  std::vector<int> n(kWriters, 0);
  for (int w = 0; w < kWriters; w++) {
    std::ifstream in(logs + "/writer" + std::to_string(w));
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ack ", 0) == 0) n[w]++;
      if (line.rfind("bad ", 0) == 0 && bad) *bad += line + "\n";
    }
  }
  return n;
}

/* Waits (by polling the logs) until every writer has more than floor[w]
 * acknowledged batches; false when a writer failed or stopped first. */
bool wait_for_acks(const std::string &logs, const std::vector<int> &floor,
                   const std::vector<pid_t> &writers) {
  for (;;) {
    std::string bad;
    std::vector<int> n = acks(logs, &bad);
    if (!bad.empty()) return false;
    bool all = true;
    for (int w = 0; w < kWriters; w++) all = all && n[w] > floor[w];
    if (all) return true;
    for (pid_t pid : writers)
      if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    usleep(20 * 1000);
  }
}

struct Manifest {
  long long revision = -1;
  long long documents = -1;
};

Manifest read_manifest(const std::string &backup) {
  std::string text =
      lmxtest::read_file(backup + "/live/lumidex-backup.json").value_or("");
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  Manifest m;
  if (yyjson_is_uint(yyjson_obj_get(root, "revision"))) {
    m.revision = static_cast<long long>(
        yyjson_get_uint(yyjson_obj_get(root, "revision")));
    m.documents = static_cast<long long>(
        yyjson_get_uint(yyjson_obj_get(root, "document_count")));
  }
  yyjson_doc_free(doc);
  return m;
}

/* What an exported index holds, by document id. */
struct Holdings {
  long long total = 0;
  int seeds = 0;
  std::map<int, std::map<int, int>> docs; /* writer -> batch -> documents */
  std::map<int, long long> counter;       /* writer -> "batches" member */
  std::vector<std::string> strays;
};

Holdings holdings_of(const std::string &ndjson) {
  Holdings h;
  size_t start = 0;
  while (start < ndjson.size()) {
    size_t end = ndjson.find('\n', start);
    if (end == std::string::npos) end = ndjson.size();
    std::string line = ndjson.substr(start, end - start);
    start = end + 1;
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    const char *id = yyjson_get_str(yyjson_obj_get(root, "id"));
    std::string sid = id ? id : "";
    int w, b, d, n;
    char tail;
    h.total++;
    if (sscanf(sid.c_str(), "seed-%d%c", &n, &tail) == 1) {
      h.seeds++;
    } else if (sscanf(sid.c_str(), "w%d-b%d-d%d%c", &w, &b, &d, &tail) == 3) {
      h.docs[w][b]++;
    } else if (sscanf(sid.c_str(), "w%d-n%c", &w, &tail) == 1) {
      h.counter[w] = yyjson_get_sint(yyjson_obj_get(root, "batches"));
    } else {
      h.strays.push_back(line);
    }
    yyjson_doc_free(doc);
  }
  return h;
}

/* Checks one backup against what the writers acknowledged around it;
 * returns the batches it holds in all. */
long long check_backup(const std::string &backup,
                       const std::vector<int> &before,
                       const std::vector<int> &after, long long base_revision) {
  SCOPED_TRACE("backup " + backup);
  Manifest m = read_manifest(backup);
  EXPECT_GT(m.revision, base_revision);
  TempDir restored;
  ChildResult r = tool(restored.path(), {"restore", backup});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ChildResult check = lmxtest::run_program(lmxtest::xapian_check_path(),
                                           {restored.sub("live")}, ChildSpec());
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("No errors found"), std::string::npos) << check.out;

  ChildResult out = tool(restored.path(), {"export", "live"});
  EXPECT_EQ(out.exit_code, 0) << out.err;
  Holdings h = holdings_of(out.out);
  EXPECT_EQ(h.strays.size(), 0u);
  EXPECT_EQ(h.seeds, kSeeds);
  long long batches = 0;
  for (int w = 0; w < kWriters; w++) {
    SCOPED_TRACE("writer " + std::to_string(w));
    const std::map<int, int> &mine = h.docs[w];
    int k = static_cast<int>(mine.size());
    /* Its first k batches, each whole, and its counter saying k. */
    EXPECT_TRUE(k == 0 || mine.rbegin()->first == k - 1);
    for (const auto &[b, n] : mine) EXPECT_EQ(n, kPerBatch) << "batch " << b;
    if (k > 0) {
      EXPECT_EQ(h.counter[w], k);
    }
    EXPECT_GE(k, before[w]);
    EXPECT_LE(k, after[w] + 1);
    batches += k;
  }
  /* One commit per batch since the base backup, and nothing else. */
  EXPECT_EQ(batches, m.revision - base_revision);
  EXPECT_EQ(h.total, m.documents);
  EXPECT_EQ(h.total, kSeeds + batches * kPerBatch +
                         static_cast<long long>(h.counter.size()));
  return batches;
}

TEST(LumidexBackup, CopiesOfALiveIndexHoldExactlyOneCommittedRevision) {
  TempDir work;
  std::string storage = work.sub("storage"), logs = work.sub("logs");
  std::string stop = work.sub("stop");
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
  std::string seeds;
  for (int i = 0; i < kSeeds; i++)
    seeds += "{\"id\":\"seed-" + std::to_string(i) +
             "\",\"text\":\"seed document number " + std::to_string(i) +
             " with a few more words to index\"}\n";
  ASSERT_TRUE(lmxtest::write_file(work.sub("seeds.ndjson"), seeds));
  ChildResult r = tool(storage, {"import", "live", work.sub("seeds.ndjson")});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  /* The revision before any writer: every later commit is one batch. */
  r = tool(storage, {"backup", work.sub("base"), "--index", "live"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Manifest base = read_manifest(work.sub("base"));
  ASSERT_EQ(base.documents, kSeeds);
  struct stat st;
  ASSERT_EQ(stat(work.sub("base").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; w++) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      run_writer(storage, w, logs + "/writer" + std::to_string(w), stop);
      _exit(0);
    }
    writers.push_back(pid);
  }

  std::vector<std::vector<int>> before, after;
  std::vector<int> seen(kWriters, 0);
  for (int i = 0; i < kBackups; i++) {
    if (!wait_for_acks(logs, seen, writers)) break;
    before.push_back(acks(logs, nullptr));
    r = tool(storage, {"backup", work.sub("b" + std::to_string(i))});
    after.push_back(acks(logs, nullptr));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    seen = after.back();
  }
  ASSERT_TRUE(lmxtest::write_file(stop, "stop"));
  for (pid_t pid : writers) waitpid(pid, nullptr, 0);
  std::string bad;
  std::vector<int> final_acks = acks(logs, &bad);
  EXPECT_EQ(bad, "");
  ASSERT_EQ(before.size(), static_cast<size_t>(kBackups));

  long long last = 0;
  for (int i = 0; i < kBackups; i++) {
    long long batches = check_backup(work.sub("b" + std::to_string(i)),
                                     before[i], after[i], base.revision);
    EXPECT_GE(batches, last);
    last = batches;
  }
  long long total_acked = 0;
  for (int n : final_acks) total_acked += n;
  printf("backups held %lld of the %lld batches written in all\n", last,
         total_acked);

  /* Back over the live index: refused without --force, replaced with it. */
  r = tool(storage, {"restore", work.sub("b0")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  r = tool(storage, {"restore", work.sub("b0"), "--force"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = tool(storage, {"stats", "live"});
  EXPECT_NE(r.out.find("\"document_count\":" +
                       std::to_string(read_manifest(work.sub("b0")).documents)),
            std::string::npos)
      << r.out;
  EXPECT_EQ(lmxtest::entries_of(storage), std::vector<std::string>{"live"});
  ChildResult check = lmxtest::run_program(lmxtest::xapian_check_path(),
                                           {storage + "/live"}, ChildSpec());
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
}

struct ToolCase {
  const char *what;
  std::vector<std::string> args; /* DEST is written as "@" */
  int exit_code;
  const char *error_part;
};

TEST(LumidexBackup, ToolRefusalsChangeNothing) {
  TempDir work;
  std::string storage = work.sub("storage"), dest = work.sub("dest");
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  ASSERT_TRUE(lmxtest::write_file(work.sub("d.ndjson"), "{\"id\":\"1\"}\n"));
  for (const char *index : {"alpha", "beta"})
    ASSERT_EQ(tool(storage, {"import", index, work.sub("d.ndjson")}).exit_code,
              0);
  ASSERT_EQ(tool(storage, {"backup", dest}).exit_code, 0);
  ASSERT_EQ(tool(storage, {"delete-index", "alpha"}).exit_code, 0);

  const std::vector<ToolCase> cases = {
      {"restore of every backup while one index exists",
       {"restore", "@"},
       1,
       "index `beta` exists; nothing restored"},
      {"restore of a backup that is not there",
       {"restore", "@", "--index", "gamma"},
       1,
       "No backup of index `gamma`"},
      {"restore from a directory without backups",
       {"restore", work.sub("storage")},
       1,
       "no backups in"},
      {"backup of a missing index",
       {"backup", "@", "--index", "gamma"},
       1,
       "Index `gamma` not found."},
      {"backup over the backups there",
       {"backup", "@"},
       1,
       "(0 of 1 indexes backed up): A backup of index `beta` already exists"},
      {"backup without DEST", {"backup"}, 2, "DEST is required"},
      {"restore with an unknown option",
       {"restore", "@", "--replace"},
       2,
       "--replace"},
  };
  for (const ToolCase &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    for (std::string &a : args)
      if (a == "@") a = dest;
    ChildResult r = tool(storage, args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.err.find(c.error_part), std::string::npos) << r.err;
    EXPECT_EQ(lmxtest::entries_of(storage), std::vector<std::string>{"beta"});
    EXPECT_EQ(lmxtest::entries_of(dest),
              (std::vector<std::string>{"alpha", "beta"}));
  }
  /* With --force the same restore puts both back. */
  ChildResult r = tool(storage, {"restore", dest, "--force"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(lmxtest::entries_of(storage),
            (std::vector<std::string>{"alpha", "beta"}));
}

}  // namespace
