/*
 * test_fastcgi.cpp: api_router as lighttpd's FastCGI workers, against the
 * same program as CGI.
 *
 * - Every request of a broad list (each route and method, refusals with
 *   and without bodies, hostile paths and bodies, keys) gets the same
 *   status, content type and body from one FastCGI worker as from CGI. The
 *   worker is alone, so each request lands on a process that served all
 *   the others before: state a request left behind would show as a
 *   difference.
 * - A fatal page ends its request and not the worker (fastcgi_probe).
 * - Workers killed during a write load lose no acknowledged write, and
 *   lighttpd starts new ones.
 * - A bounded soak (at most 30 s, stopping by itself) of mixed reads and
 *   writes through one worker: every answer as expected, the worker never
 *   replaced, its resident size flat once warm.
 * Verdicts rest on answers, counts and /proc, never on speed.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "lighttpd.h"
#include "patterns.h"

namespace {

/* AddressSanitizer keeps freed memory in quarantine, so a worker built with
 * it grows by design and its resident size says nothing. */
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kQuarantinedHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kQuarantinedHeap = true;
#else
constexpr bool kQuarantinedHeap = false;
#endif
#else
constexpr bool kQuarantinedHeap = false;
#endif

using lmxtest::HostMode;
using lmxtest::HttpResponse;
using lmxtest::LighttpdServer;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kProbe =
    std::string(LMX_BUILD_DIR) + "/tests/e2e/fastcgi_probe";
const std::string kRender =
    std::string(LMX_SOURCE_DIR) + "/deploy/render-lighttpd-conf";

/* lighttpd serving one program on a fresh storage directory of its own. */
class Server {
 public:
  Server(HostMode mode, int workers,
         const std::map<std::string, std::string> &env = {},
         const std::string &program = kRouter)
      : storage_(dir_.sub("storage")),
        server_(program, kRender, storage_, env, mode, workers) {}
  bool running() const { return server_.running(); }
  int port() const { return server_.port(); }
  std::string error_log() const { return server_.error_log(); }
  std::vector<pid_t> workers() const { return server_.children(); }
  const std::string &storage() const { return storage_; }

 private:
  TempDir dir_;
  std::string storage_;
  LighttpdServer server_;
};

#define REQUIRE_SERVER(s) \
  ASSERT_TRUE((s).running()) << "lighttpd did not start: " << (s).error_log()

std::string without_elapsed(const std::string &text) {
  /* The two servers' indexes were made and changed at their own times: a
   * slow run puts them in different seconds. */
  return lmxtest::replace_all(
      lmxtest::without_elapsed(text),
      "\"(created_at|updated_at|createdAt|updatedAt)\":\"[0-9TZ:-]+\"",
      "\"$1\":\"T\"");
}

/* The Content-Type line of a header block, or "". */
std::string content_type(const std::string &headers) {
  size_t at = headers.find("Content-Type:");
  if (at == std::string::npos) return "";
  return headers.substr(at, headers.find("\r\n", at) - at);
}

struct Request {
  std::string method, target, body;
  std::vector<std::string> headers;
};

std::vector<Request> differential_requests(const std::string &write_key,
                                           const std::string &read_key) {
  const std::string W = "X-Lumidex-Key: " + write_key;
  const std::string R = "X-Lumidex-Key: " + read_key;
  const std::string docs =
      "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"},"
      "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"},"
      "{\"id\":\"3\",\"title\":\"Dune Messiah\",\"author\":\"Frank Herbert\"},"
      "{\"id\":\"web-guide\",\"title\":\"Web server guide\"},"
      "{\"id\":\"cafe_1\",\"title\":\"Caf\xC3\xA9 au lait\"}]";
  const std::string big(1024 * 1024, 'x');
  std::string nul_body = "{\"id\":\"n\",\"t\":\"a";
  nul_body += '\0';
  nul_body += "b\"}";
  return {
      {"GET", "/status?format=json", "", {}},
      {"POST", "/status", "{}", {}},
      {"GET", "/", "", {}},
      {"DELETE", "/", "", {}},
      {"GET", "/indexes", "", {R}},
      {"GET", "/indexes", "", {}},
      {"POST", "/indexes", "{\"uid\":\"books\"}", {W}},
      {"POST", "/indexes", "{\"uid\":\"books\"}", {W}},
      {"POST", "/indexes", "{\"uid\":\"x\"}", {R}},
      {"POST", "/indexes", "", {W}},
      {"POST", "/indexes", "not json", {W}},
      {"POST", "/indexes?name=second", "", {W}},
      {"GET", "/indexes", "", {R}},
      {"GET", "/indexes/books", "", {R}},
      {"PUT", "/indexes/books", "{\"a\":1}", {W}},
      {"POST", "/indexes/books/documents", "", {W}},
      {"POST", "/indexes/books/documents", docs, {W}},
      /* A refusal with a large body, then requests without one. */
      {"POST", "/indexes/books/documents", big, {"X-Lumidex-Key: wrong"}},
      {"POST", "/indexes/books/documents", big, {}},
      {"GET", "/indexes/books/documents", "", {R}},
      {"GET", "/indexes/books/documents", "", {}},
      {"POST", "/indexes/books/documents", nul_body, {W}},
      {"POST", "/indexes/books/documents", "[{\"id\":\"bad id\"}]", {W}},
      {"GET", "/indexes/books/documents/2", "", {W}},
      {"GET", "/indexes/books/documents/cafe%5F1", "", {R}},
      {"GET", "/indexes/books/search?q=dune", "", {R}},
      {"GET", "/indexes/books/search?q=dune&limit=1&offset=1", "", {R}},
      {"GET", "/indexes/books/search", "", {R}},
      {"GET", "/indexes/books/search?q=web+ser", "", {R}},
      {"GET", "/indexes/books/search?q=%26%3D%2B", "", {R}},
      {"GET", "/indexes/books/search?q=caf%C3%A9", "", {R}},
      {"POST", "/indexes/books/search", "{\"q\":\"austen\"}", {R}},
      {"POST",
       "/indexes/books/search?limit=1",
       "{\"q\":\"herbert\",\"limit\":5}",
       {R}},
      /* The body of the search before must not be seen by this one. */
      {"POST", "/indexes/books/search", "", {R}},
      {"GET", "/indexes/books/stats", "", {R}},
      {"DELETE", "/indexes/books/stats", "", {R}},
      {"DELETE", "/indexes/books/documents/2", "", {W}},
      {"GET", "/indexes/books/documents/2", "", {R}},
      {"DELETE", "/indexes/books/documents/2", "", {W}},
      {"DELETE", "/indexes/books/documents", "", {W}},
      {"PATCH", "/indexes/books/documents/1", "", {W}},
      {"GET", "/indexes/books/documents/1/x", "", {R}},
      {"GET", "/indexes/mixed/documents/pla%3Fin", "", {R}},
      {"GET", "/indexes/" + std::string(130, 'a'), "", {R}},
      {"GET", "/" + std::string(600, 'p'), "", {R}},
      {"GET", "/indexes/missing", "", {R}},
      {"GET", "/indexes/missing/search?q=x", "", {R}},
      {"GET", "/indexes/missing/stats", "", {R}},
      {"GET", "/indexes/missing/documents", "", {R}},
      {"GET", "/nothing", "", {R}},
      {"GET", "/favicon.ico", "", {}},
      {"GET", "/STATUS", "", {R}},
      {"DELETE", "/indexes/books", "", {W}},
      {"GET", "/indexes/books", "", {R}},
      {"DELETE", "/indexes/books", "", {W}},
      {"GET", "/status", "", {}},
  };
}

TEST(FastCgi, EveryRequestAnswersAsUnderCgiFromOneWorker) {
  const std::map<std::string, std::string> keys = {
      {"LUMIDEX_WRITE_KEY", "W-5be0"}, {"LUMIDEX_READ_KEY", "R-77c1"}};
  Server cgi(HostMode::Cgi, 1, keys);
  Server fastcgi(HostMode::FastCgi, 1, keys);
  REQUIRE_SERVER(cgi);
  REQUIRE_SERVER(fastcgi);
  /* lighttpd accepts connections before its worker may be up: one answer
   * from the worker shows it is. */
  ASSERT_EQ(lmxtest::http_request(fastcgi.port(), "GET", "/status?format=json")
                .status,
            200);
  std::vector<pid_t> first_workers = fastcgi.workers();
  ASSERT_EQ(first_workers.size(), 1u);

  for (const Request &r : differential_requests("W-5be0", "R-77c1")) {
    SCOPED_TRACE(r.method + " " + r.target.substr(0, 80));
    HttpResponse a = lmxtest::http_request(cgi.port(), r.method, r.target,
                                           r.body, r.headers);
    HttpResponse b = lmxtest::http_request(fastcgi.port(), r.method, r.target,
                                           r.body, r.headers);
    ASSERT_NE(a.status, 0);
    EXPECT_EQ(b.status, a.status);
    EXPECT_EQ(content_type(b.headers), content_type(a.headers));
    EXPECT_EQ(without_elapsed(b.body), without_elapsed(a.body));
  }
  /* One process answered everything: nothing ended it. */
  EXPECT_EQ(fastcgi.workers(), first_workers) << fastcgi.error_log();
}

/* Runs the lumidex tool on storage; its exit status. */
int tool(const std::string &storage, std::vector<std::string> args) {
  args.insert(args.begin(), {"--storage-dir", storage, "-q"});
  lmxtest::ChildSpec job;
  job.inherit_env = true;
  return lmxtest::run_program(std::string(LMX_BUILD_DIR) + "/tools/lumidex",
                              args, job)
      .exit_code;
}

TEST(FastCgi, TheNextRequestSeesWhatTheToolChanged) {
  TempDir files;
  std::string first = files.sub("first.ndjson"),
              second = files.sub("second.ndjson");
  ASSERT_TRUE(
      lmxtest::write_file(first, "{\"id\":\"1\",\"text\":\"alpha beta\"}\n"));
  ASSERT_TRUE(
      lmxtest::write_file(second,
                          "{\"id\":\"9\",\"text\":\"delta "
                          "alpha\"}\n{\"id\":\"8\",\"text\":\"omega\"}\n"));
  Server server(HostMode::FastCgi, 1);
  REQUIRE_SERVER(server);
  const int port = server.port();
  const std::string storage = server.storage();
  auto search = [&] {
    return lmxtest::http_request(port, "GET", "/indexes/notes/search?q=alpha");
  };
  ASSERT_EQ(tool(storage, {"import", "notes", first}), 0);
  HttpResponse before = search();
  ASSERT_EQ(before.status, 200) << before.body;
  EXPECT_NE(before.body.find("alpha beta"), std::string::npos) << before.body;

  /* The worker holds the index open; the tool deletes it and makes another
   * of the same name, with other documents. */
  ASSERT_EQ(tool(storage, {"delete-index", "notes"}), 0);
  ASSERT_EQ(tool(storage, {"import", "notes", second}), 0);
  HttpResponse after = search();
  EXPECT_NE(after.body.find("delta alpha"), std::string::npos) << after.body;
  EXPECT_EQ(after.body.find("alpha beta"), std::string::npos) << after.body;
  EXPECT_EQ(
      lmxtest::http_request(port, "GET", "/indexes/notes/documents/1").status,
      404);
  HttpResponse listed = lmxtest::http_request(port, "GET", "/indexes");
  EXPECT_NE(listed.body.find("\"uid\":\"notes\""), std::string::npos)
      << listed.body;

  ASSERT_EQ(tool(storage, {"delete-index", "notes"}), 0);
  EXPECT_EQ(search().status, 404);
  /* ... and the worker never held a lock that kept the tool out. */
  EXPECT_EQ(server.workers().size(), 1u);
}

/* The value of the JSON member key (a number or a string) in text. */
std::string member(const std::string &text, const std::string &key) {
  lmxtest::Match m;
  if (!lmxtest::search(text, "\"" + key + "\":(\"([^\"]*)\"|([0-9]+))", &m))
    return "<missing>";
  return m.matched(2) ? m.str(2) : m.str(3);
}

TEST(FastCgi, AFatalPageEndsItsRequestAndNotTheWorker) {
  Server server(HostMode::FastCgi, 1, {}, kProbe);
  REQUIRE_SERVER(server);

  HttpResponse first = lmxtest::http_request(server.port(), "GET", "/?q=one",
                                             "", {"X-Probe: set"});
  ASSERT_EQ(first.status, 200) << first.body << server.error_log();
  EXPECT_EQ(member(first.body, "q"), "one");
  EXPECT_EQ(member(first.body, "probe"), "set");

  HttpResponse died = lmxtest::http_request(server.port(), "GET", "/die");
  EXPECT_EQ(died.status, 500);
  EXPECT_EQ(died.body, "{\"ok\":false,\"error\":\"stopped here\"}\n");

  /* The same process answers next, with nothing of the requests before:
   * no query value, no header variable, its own body. */
  HttpResponse read = lmxtest::http_request(server.port(), "POST", "/read",
                                            std::string(300000, 'b'));
  HttpResponse after = lmxtest::http_request(server.port(), "GET", "/");
  ASSERT_EQ(after.status, 200) << after.body << server.error_log();
  EXPECT_EQ(read.status, 200);
  EXPECT_EQ(member(after.body, "pid"), member(first.body, "pid"));
  EXPECT_EQ(member(after.body, "served"), "4");
  EXPECT_EQ(member(after.body, "q"), "");
  EXPECT_EQ(member(after.body, "probe"), "");
}

/* Asks for the status page until an answer of 200 comes back, at most 600
 * times with 50 ms between tries. */
bool serving_again(int port) {
  for (int attempt = 0; attempt < 600; attempt++) {
    if (lmxtest::http_request(port, "GET", "/status?format=json").status == 200)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(FastCgi, KilledWorkersLoseNoAcknowledgedWriteAndAreStartedAgain) {
  Server server(HostMode::FastCgi, 2);
  REQUIRE_SERVER(server);
  ASSERT_EQ(lmxtest::http_request(server.port(), "POST", "/indexes",
                                  "{\"uid\":\"load\"}")
                .status,
            201);

  constexpr int kWriters = 4;
  constexpr int kWritesEach = 60;
  constexpr int kKills = 6;
  std::mutex mu;
  std::vector<std::string> acknowledged;
  std::map<int, int> statuses;
  std::vector<std::string> program_errors;
  std::atomic<int> acked{0};
  std::atomic<int> writers_left{kWriters};

  auto writer = [&](int w) {
    for (int i = 0; i < kWritesEach; i++) {
      std::string id = "w" + std::to_string(w) + "-" + std::to_string(i);
      std::string body = "[{\"id\":\"" + id + "\",\"text\":\"written by " +
                         std::to_string(w) + "\"},{\"id\":\"" + id +
                         "-b\",\"text\":\"second of the batch\"}]";
      HttpResponse r = lmxtest::http_request(server.port(), "POST",
                                             "/indexes/load/documents", body);
      std::lock_guard<std::mutex> lock(mu);
      statuses[r.status]++;
      /* Any failure is the host's own answer for a request whose worker
       * died (its envelope says "host_error"), never an error the program
       * answered. */
      if (r.status != 200 &&
          r.body.find("\"code\":\"host_error\"") == std::string::npos)
        program_errors.push_back(r.body);
      if (r.status == 200) {
        acknowledged.push_back(id);
        acked++;
      }
    }
    writers_left--;
  };
  /* Kills a worker each time 20 more writes have been acknowledged: the
   * kills follow the load, not a clock. */
  int kills = 0;
  auto killer = [&] {
    int next = 20;
    while (kills < kKills && writers_left > 0) {
      if (acked < next) {
        std::this_thread::yield();
        continue;
      }
      std::vector<pid_t> workers = server.workers();
      if (!workers.empty() &&
          kill(workers[static_cast<size_t>(kills) % workers.size()], SIGKILL) ==
              0)
        kills++;
      next += 20;
    }
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; w++) threads.emplace_back(writer, w);
  std::thread killing(killer);
  for (std::thread &t : threads) t.join();
  killing.join();

  EXPECT_GT(kills, 0);
  std::cout << "workers killed: " << kills << "; answers:";
  for (const auto &s : statuses) std::cout << " " << s.second << "x" << s.first;
  std::cout << "\n";
  for (const auto &s : statuses) {
    SCOPED_TRACE("status " + std::to_string(s.first));
    /* A write answered by the program, or the host's own error for the
     * request whose worker was killed under it. */
    EXPECT_TRUE(s.first == 200 || s.first == 500 || s.first == 502 ||
                s.first == 503)
        << s.second << " answers";
  }
  EXPECT_GT(statuses[200], 0);
  EXPECT_TRUE(program_errors.empty()) << program_errors.front();
  /* lighttpd starts a dead worker again on its next check (about once a
   * second); until then requests get 503. Wait for that to be seen. */
  ASSERT_TRUE(serving_again(server.port())) << server.error_log();
  for (const std::string &id : acknowledged) {
    for (const std::string &doc : {id, id + "-b"}) {
      HttpResponse r = lmxtest::http_request(server.port(), "GET",
                                             "/indexes/load/documents/" + doc);
      EXPECT_EQ(r.status, 200) << doc << ": " << r.body;
    }
  }
  /* New workers serve, and none holds the write lock between requests. */
  EXPECT_FALSE(server.workers().empty());
  HttpResponse last =
      lmxtest::http_request(server.port(), "POST", "/indexes/load/documents",
                            "{\"id\":\"after\",\"text\":\"after the kills\"}");
  EXPECT_EQ(last.status, 200) << last.body << server.error_log();
}

/* Text for document n of the soak's fixed index: a few words from a small
 * vocabulary, so searches match many documents. */
std::string soak_document(int n) {
  static const char *words[] = {"web",    "server", "library",  "editor",
                                "python", "tools",  "network",  "daemon",
                                "client", "shell",  "graphics", "font"};
  std::string text;
  for (int k = 0; k < 6; k++) {
    if (k > 0) text += " ";
    text += words[(n * 7 + k * 5 + k * n) % 12];
  }
  return "{\"id\":\"d" + std::to_string(n) + "\",\"name\":\"pkg" +
         std::to_string(n) + "\",\"text\":\"" + text + "\"}";
}

/* A batch of count documents of about 2 KiB each, all ids fixed, so every
 * batch replaces the one before; round tells the batches apart. */
std::string bulk_batch(int round, int count) {
  std::string body = "[";
  std::string filler(2000, 'z');
  for (int i = 0; i < count; i++) {
    if (i > 0) body += ",";
    body += "{\"id\":\"b" + std::to_string(i) +
            "\",\"round\":" + std::to_string(round) + ",\"text\":\"bulk " +
            filler + "\"}";
  }
  return body + "]";
}

TEST(FastCgi, SoakOfMixedReadsAndWritesKeepsAnswersAndResidentSizeFlat) {
  constexpr int kDocuments = 300;
  constexpr int kMaxRounds = 1000;
  constexpr int kWarmRounds = 8;
  constexpr int kBulkEvery = 4;
  constexpr int kScratchIds = 64;
  /* Growth allowed past the warm sample: the engine's caches are bounded
   * (one reader per index, Xapian's block cache per table, the last answer
   * text), so what is left is allocator noise. */
  constexpr long kGrowthKib = 4096;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(25);

  Server server(HostMode::FastCgi, 1);
  REQUIRE_SERVER(server);
  const int port = server.port();
  std::string seed = "[";
  for (int n = 0; n < kDocuments; n++)
    seed += (n ? "," : "") + soak_document(n);
  seed += "]";
  ASSERT_EQ(lmxtest::http_request(port, "POST", "/indexes/soak/documents", seed)
                .status,
            200);
  std::vector<pid_t> worker = server.workers();
  ASSERT_EQ(worker.size(), 1u);

  const std::vector<std::string> queries = {
      "/indexes/soak/search?q=web+server",
      "/indexes/soak/search?q=librar",
      "/indexes/soak/search?q=python+tools&limit=5&offset=3",
      "/indexes/soak/search?q=nothingmatches",
      "/indexes/soak/documents/d17",
      "/indexes/soak/documents/d299",
      "/indexes/soak/stats",
      "/indexes/soak/documents"};
  std::map<std::string, std::string> expected;
  for (const std::string &q : queries) {
    HttpResponse r = lmxtest::http_request(port, "GET", q);
    ASSERT_EQ(r.status, 200) << q << ": " << r.body;
    expected[q] = without_elapsed(r.body);
  }

  long warm_kib = -1, peak_kib = 0;
  int rounds = 0, requests = 0, writes = 0, wrong = 0;
  std::string first_wrong;
  auto check = [&](const std::string &what, bool ok) {
    requests++;
    if (ok) return;
    if (wrong++ == 0) first_wrong = what;
  };
  while (rounds < kMaxRounds && std::chrono::steady_clock::now() < deadline) {
    for (int k = 0; k < 3; k++) {
      for (const std::string &q : queries) {
        HttpResponse r = lmxtest::http_request(port, "GET", q);
        check(q, r.status == 200 && without_elapsed(r.body) == expected[q]);
      }
    }
    /* A write, then the next read must see it. */
    int id = writes % kScratchIds;
    std::string doc = "{\"id\":\"s" + std::to_string(id) +
                      "\",\"n\":" + std::to_string(writes) + "}";
    HttpResponse w =
        lmxtest::http_request(port, "POST", "/indexes/scratch/documents", doc);
    check("write " + std::to_string(writes), w.status == 200);
    writes++;
    HttpResponse got = lmxtest::http_request(
        port, "GET", "/indexes/scratch/documents/s" + std::to_string(id));
    check("read back " + doc, got.status == 200 && got.body == doc + "\n");
    /* Now and then a large batch (about 400 KiB) whose memory must not
     * stay. */
    if (rounds % kBulkEvery == 0) {
      HttpResponse bulk = lmxtest::http_request(
          port, "POST", "/indexes/bulk/documents", bulk_batch(rounds, 200));
      check("bulk batch",
            bulk.status == 200 &&
                bulk.body.find("\"added\":200") != std::string::npos);
    }
    rounds++;
    long kib = lmxtest::resident_kib(worker[0]);
    if (rounds == kWarmRounds) warm_kib = kib;
    if (kib > peak_kib) peak_kib = kib;
  }
  long end_kib = lmxtest::resident_kib(worker[0]);
  HttpResponse stats =
      lmxtest::http_request(port, "GET", "/indexes/scratch/stats");
  std::cout << "soak: " << rounds << " rounds, " << requests << " requests, "
            << writes << " writes; worker resident KiB: warm " << warm_kib
            << ", peak " << peak_kib << ", end " << end_kib << "\n";

  EXPECT_EQ(wrong, 0) << "first wrong answer: " << first_wrong;
  EXPECT_NE(stats.body.find("\"numberOfDocuments\":" +
                            std::to_string(std::min(writes, kScratchIds))),
            std::string::npos)
      << stats.body;
  /* The same process served everything, and its size stayed flat. */
  EXPECT_EQ(server.workers(), worker) << server.error_log();
  if (kQuarantinedHeap) GTEST_SKIP() << "resident size not judged under ASan";
  if (rounds < 2 * kWarmRounds) {
    /* The time bound came first: too few rounds past warm-up to judge the
     * size by. Answers and counts were judged above. */
    GTEST_SKIP() << "only " << rounds << " rounds in the time bound";
  }
  ASSERT_GT(warm_kib, 0);
  EXPECT_LE(peak_kib - warm_kib, kGrowthKib);
  EXPECT_LE(end_kib - warm_kib, kGrowthKib);
}

}  // namespace
