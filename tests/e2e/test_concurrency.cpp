/*
 * test_concurrency.cpp: many CGI processes on one storage directory at once.
 *
 * Eight writer processes each add 50 batches of 20 documents (distinct ids)
 * while eight reader processes search, list and read statistics without a
 * pause, first with api_router run directly as CGI, then through a real
 * lighttpd on loopback. Writers 0, 2, 4, 6 write to "alpha", which exists
 * before they start; writers 1, 3, 5, 7 write to "beta", which the first of
 * them to arrive creates, so creation races too.
 *
 * What must hold: every request gets its documented answer (a write 200 with
 * its count, a read 200, "beta" 404 only before it first appears), no reader
 * ever sees a count go down, and afterwards each index holds exactly the
 * acknowledged documents, each found by id and by its own word, every
 * database passes xapian-check, and no work area is left in the storage
 * directory. Workers are forked processes (not threads), each logging its
 * outcomes to a file of its own; the parent checks the logs.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "lighttpd.h"
#include "lumidex_core.h"
#include "stress.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;
using lmxtest::entries_of;
using lmxtest::xapian_check_path;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kRender =
    std::string(LMX_SOURCE_DIR) + "/deploy/render-lighttpd-conf";

constexpr int kWriters = 8;
constexpr int kReaders = 8;
constexpr int kBatches = lmxtest::stress_rounds(50);
constexpr int kPerBatch = 20;
/* Each reader makes at least this many requests, even after the writers
 * are done, so a fast write phase still sees reads. */
constexpr int kMinReads = 12;

struct Reply {
  int status = 0;
  std::string body;
};

/* One request; query is the undecoded query string. */
using Transport =
    std::function<Reply(const std::string &method, const std::string &path,
                        const std::string &query, const std::string &body)>;

Transport cgi_transport(const std::string &storage) {
  return [storage](const std::string &method, const std::string &path,
                   const std::string &query, const std::string &body) {
    ChildSpec job;
    job.env = {{"REQUEST_METHOD", method},
                {"PATH_INFO", path},
                {"QUERY_STRING", query},
                {"LUMIDEX_STORAGE_DIR", storage}};
    if (!body.empty()) {
      job.env["CONTENT_LENGTH"] = std::to_string(body.size());
      job.stdin_kind = lmxtest::StdinKind::File;
      job.stdin_bytes = body;
    }
    ChildResult r = lmxtest::run_program(kRouter, {}, job);
    Reply reply;
    reply.status = lmxtest::response_status(r.out);
    lmxtest::split_response(r.out, nullptr, &reply.body);
    if (r.exit_code != 0) reply.status = -r.exit_code - 1000;
    return reply;
  };
}

Transport http_transport(int port) {
  return [port](const std::string &method, const std::string &path,
                const std::string &query, const std::string &body) {
    std::string target = query.empty() ? path : path + "?" + query;
    lmxtest::HttpResponse res =
        lmxtest::http_request(port, method, target, body);
    return Reply{res.status, res.body};
  };
}

std::string doc_id(int w, int b, int d) {
  return "w" + std::to_string(w) + "-b" + std::to_string(b) + "-d" +
         std::to_string(d);
}

/* A word found in exactly one document: "q" and three letters. Words of
 * four letters get no typo candidates, so checking 8000 of them by search
 * stays quick, and no other word of the texts starts with q. */
std::string doc_word(int w, int b, int d) {
  int n = (w * kBatches + b) * kPerBatch + d;
  std::string word = "q";
  for (int i = 0; i < 3; i++, n /= 26) word += static_cast<char>('a' + n % 26);
  return word;
}

const char *index_of(int w) { return w % 2 == 0 ? "alpha" : "beta"; }

std::string batch_body(int w, int b) {
  std::string body;
  for (int d = 0; d < kPerBatch; d++) {
    body += "{\"id\":\"" + doc_id(w, b, d) + "\",\"title\":\"common " +
            doc_word(w, b, d) + "\",\"body\":\"written by writer " +
            std::to_string(w) + " in batch " + std::to_string(b) + "\"}\n";
  }
  return body;
}

/* An integer member of a JSON object text, or -1. */
long long json_int(const std::string &text, const char *key) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *v = yyjson_obj_get(yyjson_doc_get_root(doc), key);
  long long n =
      yyjson_is_int(v) ? static_cast<long long>(yyjson_get_sint(v)) : -1;
  if (yyjson_is_uint(v)) n = static_cast<long long>(yyjson_get_uint(v));
  yyjson_doc_free(doc);
  return n;
}

/* Length of a JSON array text (or of member key of an object), or -1. */
long long json_array_size(const std::string &text, const char *key) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *v = yyjson_doc_get_root(doc);
  if (key) v = yyjson_obj_get(v, key);
  long long n =
      yyjson_is_arr(v) ? static_cast<long long>(yyjson_arr_size(v)) : -1;
  yyjson_doc_free(doc);
  return n;
}

/* Appends one outcome line to a worker's log: "ok ..." or "bad ...". */
class Log {
 public:
  explicit Log(const std::string &path) : f_(fopen(path.c_str(), "w")) {}
  ~Log() {
    if (f_) fclose(f_);
  }
  void ok(const std::string &what) { line("ok", what); }
  void bad(const std::string &request, const Reply &r, const std::string &why) {
    line("bad", request + " -> " + std::to_string(r.status) + " (" + why +
                    "): " + r.body.substr(0, 300));
  }

 private:
  void line(const char *tag, std::string text) {
    for (char &c : text)
      if (c == '\n') c = ' ';
    if (f_) fprintf(f_, "%s %s\n", tag, text.c_str());
    if (f_) fflush(f_);
  }
  FILE *f_;
};

void run_writer(const Transport &send, int w, const std::string &log_path) {
  Log log(log_path);
  std::string path = std::string("/indexes/") + index_of(w) + "/documents";
  for (int b = 0; b < kBatches; b++) {
    Reply r = send("POST", path, "", batch_body(w, b));
    std::string request = "POST " + path + " batch " + std::to_string(b) +
                          " of writer " + std::to_string(w);
    if (r.status == 200 && json_int(r.body, "added") == kPerBatch)
      log.ok("ack " + std::to_string(w) + " " + std::to_string(b));
    else
      log.bad(request, r, "write not acknowledged");
  }
}

/* What a reader has seen so far; counts never go down. */
struct ReaderView {
  long long alpha_hits = 0;
  long long alpha_count = 0;
  bool beta_seen = false;
};

void read_once(const Transport &send, int step, ReaderView &seen, Log &log) {
  Reply r;
  switch (step % 5) {
    case 0: {
      r = send("GET", "/indexes/alpha/search", "q=common&limit=5", "");
      long long hits = json_int(r.body, "total_hits");
      if (r.status != 200 || hits < 0)
        return log.bad("GET alpha search", r, "search failed");
      if (hits < seen.alpha_hits)
        return log.bad(
            "GET alpha search", r,
            "total_hits went down from " + std::to_string(seen.alpha_hits));
      seen.alpha_hits = hits;
      return log.ok("search");
    }
    case 1: {
      r = send("POST", "/indexes/beta/search", "",
               "{\"q\":\"common qaaa\",\"limit\":3}");
      if (r.status == 404 && !seen.beta_seen &&
          r.body.find("\"index_not_found\"") != std::string::npos)
        return log.ok("beta not yet");
      if (r.status != 200 || json_array_size(r.body, "hits") < 0)
        return log.bad("POST beta search", r,
                       seen.beta_seen ? "beta vanished" : "search failed");
      seen.beta_seen = true;
      return log.ok("search");
    }
    case 2: {
      r = send("GET", "/indexes", "", "");
      if (r.status != 200 ||
          r.body.find("\"uid\":\"alpha\"") == std::string::npos)
        return log.bad("GET /indexes", r, "listing lacks alpha");
      return log.ok("listing");
    }
    case 3: {
      r = send("GET", "/indexes/alpha/documents", "", "");
      long long n = json_array_size(r.body, nullptr);
      /* The listing answers [] whatever goes wrong, so an empty listing
       * after documents were seen is a failure in disguise. */
      if (r.status != 200 || n < 0 || (seen.alpha_count > 0 && n == 0))
        return log.bad("GET alpha documents", r, "listing failed");
      return log.ok("documents");
    }
    default: {
      r = send("GET", "/indexes/alpha/stats", "", "");
      long long n = json_int(r.body, "numberOfDocuments");
      if (r.status != 200 || n < 0)
        return log.bad("GET alpha stats", r, "stats failed");
      if (n < seen.alpha_count)
        return log.bad(
            "GET alpha stats", r,
            "count went down from " + std::to_string(seen.alpha_count));
      seen.alpha_count = n;
      return log.ok("stats");
    }
  }
}

void run_reader(const Transport &send, int r, const std::string &stop_path,
                const std::string &log_path) {
  Log log(log_path);
  ReaderView seen;
  struct stat st;
  for (int step = r;; step++) {
    if (step - r >= kMinReads && stat(stop_path.c_str(), &st) == 0) break;
    read_once(send, step, seen, log);
  }
}

pid_t spawn(const std::function<void()> &work) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    work();
    fflush(nullptr);
    _exit(0);
  }
  return pid;
}

struct LogSummary {
  int ok = 0;
  std::vector<std::string> bad;
  std::set<std::pair<int, int>> acked; /* (writer, batch) */
};

void read_logs(const std::string &dir, const char *prefix, int n,
               LogSummary *sum) {
  for (int i = 0; i < n; i++) {
    std::string text =
        lmxtest::read_file(dir + "/" + prefix + std::to_string(i)).value_or("");
    std::istringstream lines(text);
    std::string line;
    int mine = 0;
    while (std::getline(lines, line)) {
      if (line.rfind("ok ack ", 0) == 0) {
        int w = -1, b = -1;
        sscanf(line.c_str(), "ok ack %d %d", &w, &b);
        sum->acked.insert({w, b});
      }
      if (line.rfind("ok ", 0) == 0) {
        sum->ok++;
        mine++;
      } else {
        sum->bad.push_back(prefix + std::to_string(i) + ": " + line);
      }
    }
    if (mine == 0)
      sum->bad.push_back(prefix + std::to_string(i) + " did nothing");
  }
}

/* Everything that must hold after a run on storage, given what was
 * acknowledged. */
void check_storage(const std::string &storage,
                   const std::set<std::pair<int, int>> &acked) {
  EXPECT_EQ(entries_of(storage), (std::vector<std::string>{"alpha", "beta"}))
      << "work areas or strays left in the storage directory";
  for (const char *index : {"alpha", "beta"}) {
    ChildResult check = lmxtest::run_program(
        xapian_check_path(), {storage + "/" + index}, ChildSpec{});
    EXPECT_EQ(check.exit_code, 0) << "xapian-check " << index << ":\n"
                                  << check.out << check.err;
  }

  ASSERT_EQ(lumidex_init(storage.c_str()), 0) << lumidex_last_error();
  long long want[2] = {0, 0};
  for (const auto &wb : acked) want[wb.first % 2] += kPerBatch;
  for (int i = 0; i < 2; i++) {
    const char *index = i == 0 ? "alpha" : "beta";
    std::string stats = lumidex_index_stats_json(index);
    EXPECT_EQ(json_int(stats, "document_count"), want[i])
        << index << ": " << stats;
  }
  int missing_by_id = 0, missing_by_word = 0;
  for (const auto &wb : acked) {
    int w = wb.first, b = wb.second;
    for (int d = 0; d < kPerBatch && missing_by_id + missing_by_word < 20;
         d++) {
      std::string id = doc_id(w, b, d);
      const char *doc = lumidex_document_get(index_of(w), id.c_str());
      if (!doc ||
          std::string(doc).find(doc_word(w, b, d)) == std::string::npos) {
        ADD_FAILURE() << "acknowledged document " << id << " not found by id";
        missing_by_id++;
      }
      const char *hits =
          lumidex_search(index_of(w), doc_word(w, b, d).c_str(), 50, 0);
      if (!hits || std::string(hits).find("\"id\":\"" + id + "\"") ==
                       std::string::npos) {
        ADD_FAILURE() << "acknowledged document " << id << " not found by "
                      << doc_word(w, b, d);
        missing_by_word++;
      }
    }
  }
  lumidex_cleanup();
}

/* The whole scenario over one transport on one storage directory. */
void run_scenario(const Transport &send, const std::string &storage,
                  const std::string &work_dir) {
  Reply made = send("POST", "/indexes", "", "{\"uid\":\"alpha\"}");
  ASSERT_EQ(made.status, 201) << made.body;
  std::string stop = work_dir + "/stop";
  std::vector<pid_t> readers, writers;
  for (int r = 0; r < kReaders; r++)
    readers.push_back(spawn([&, r] {
      run_reader(send, r, stop, work_dir + "/reader" + std::to_string(r));
    }));
  for (int w = 0; w < kWriters; w++)
    writers.push_back(spawn([&, w] {
      run_writer(send, w, work_dir + "/writer" + std::to_string(w));
    }));
  for (pid_t pid : writers) waitpid(pid, nullptr, 0);
  ASSERT_TRUE(lmxtest::write_file(stop, "stop"));
  for (pid_t pid : readers) waitpid(pid, nullptr, 0);

  LogSummary writes, reads;
  read_logs(work_dir, "writer", kWriters, &writes);
  read_logs(work_dir, "reader", kReaders, &reads);
  for (const std::string &line : writes.bad) ADD_FAILURE() << line;
  for (size_t i = 0; i < reads.bad.size() && i < 30; i++)
    ADD_FAILURE() << reads.bad[i];
  EXPECT_EQ(reads.bad.size(), 0u);
  EXPECT_EQ(writes.acked.size(), static_cast<size_t>(kWriters * kBatches));
  EXPECT_GE(reads.ok, kReaders * kMinReads);
  check_storage(storage, writes.acked);
}

TEST(Concurrency, CgiWritersAndReadersOnOneStorageLoseNothing) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  run_scenario(cgi_transport(storage), storage, tmp.path());
}

TEST(Concurrency, HttpWritersAndReadersThroughLighttpdLoseNothing) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  lmxtest::LighttpdServer server(kRouter, kRender, storage);
  ASSERT_TRUE(server.running()) << server.error_log();
  run_scenario(http_transport(server.port()), storage, tmp.path());
  EXPECT_EQ(server.error_log().find("database is locked"), std::string::npos);
}

}  // namespace
