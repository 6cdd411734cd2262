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
#include <iostream>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "lighttpd.h"

namespace {

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

 private:
  TempDir dir_;
  std::string storage_;
  LighttpdServer server_;
};

#define REQUIRE_SERVER(s) \
  ASSERT_TRUE((s).running()) << "lighttpd did not start: " << (s).error_log()

std::string without_elapsed(const std::string &text) {
  static const std::regex elapsed("\"elapsed_ms\":[0-9.]+");
  return std::regex_replace(text, elapsed, "\"elapsed_ms\":0");
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
      {"POST", "/indexes/books/search?limit=1", "{\"q\":\"herbert\",\"limit\":5}", {R}},
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

/* The value of the JSON member key (a number or a string) in text. */
std::string member(const std::string &text, const std::string &key) {
  std::smatch m;
  std::regex pattern("\"" + key + "\":(\"([^\"]*)\"|([0-9]+))");
  if (!std::regex_search(text, m, pattern)) return "<missing>";
  return m[2].matched ? m[2].str() : m[3].str();
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

TEST(FastCgi, KilledWorkersLoseNoAcknowledgedWriteAndAreStartedAgain) {
  Server server(HostMode::FastCgi, 2);
  REQUIRE_SERVER(server);
  ASSERT_EQ(lmxtest::http_request(server.port(), "POST", "/indexes",
                                  "{\"uid\":\"load\"}").status, 201);

  constexpr int kWriters = 4;
  constexpr int kWritesEach = 60;
  constexpr int kKills = 6;
  std::mutex mu;
  std::vector<std::string> acknowledged;
  std::map<int, int> statuses;
  std::atomic<int> acked{0};
  std::atomic<int> writers_left{kWriters};

  auto writer = [&](int w) {
    for (int i = 0; i < kWritesEach; i++) {
      std::string id = "w" + std::to_string(w) + "-" + std::to_string(i);
      std::string body = "[{\"id\":\"" + id + "\",\"text\":\"written by " +
                         std::to_string(w) + "\"},{\"id\":\"" + id +
                         "-b\",\"text\":\"second of the batch\"}]";
      HttpResponse r = lmxtest::http_request(
          server.port(), "POST", "/indexes/load/documents", body);
      std::lock_guard<std::mutex> lock(mu);
      statuses[r.status]++;
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
          kill(workers[static_cast<size_t>(kills) % workers.size()], SIGKILL) == 0)
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
  EXPECT_GT(statuses[200], kWriters * kWritesEach / 2);
  for (const std::string &id : acknowledged) {
    for (const std::string &doc : {id, id + "-b"}) {
      HttpResponse r = lmxtest::http_request(
          server.port(), "GET", "/indexes/load/documents/" + doc);
      EXPECT_EQ(r.status, 200) << doc << ": " << r.body;
    }
  }
  /* New workers serve, and none holds the write lock between requests. */
  EXPECT_FALSE(server.workers().empty());
  HttpResponse last = lmxtest::http_request(
      server.port(), "POST", "/indexes/load/documents",
      "{\"id\":\"after\",\"text\":\"after the kills\"}");
  EXPECT_EQ(last.status, 200) << last.body << server.error_log();
}

}  // namespace
