/*
 * test_api_router.cpp: api_router run as a CGI process, without a server.
 *
 * Each request runs the built program with a throw-away environment and a
 * storage directory seeded through the real engine. The dispatch table is
 * checked by answering the same request twice, on two identical storage
 * directories: once through api_router, once by calling the handler the
 * route should reach directly (in a forked child, with the same
 * environment). The two answers must be the same bytes, apart from the
 * search's elapsed time.
 */
#include <filesystem>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>

#include "child.h"
#include "lmx_common.h"
#include "lumidex_core.h"
#include "patterns.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";

struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::string body;
  std::map<std::string, std::string> extra_env;
};

ChildSpec cgi_spec(const Request &req, const std::string &storage) {
  ChildSpec job;
  job.env["REQUEST_METHOD"] = req.method;
  job.env["PATH_INFO"] = req.path;
  job.env["QUERY_STRING"] = req.query;
  job.env["LUMIDEX_STORAGE_DIR"] = storage;
  if (!req.body.empty()) {
    job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
    job.stdin_kind = lmxtest::StdinKind::File;
    job.stdin_bytes = req.body;
  }
  for (const auto &kv : req.extra_env) job.env[kv.first] = kv.second;
  return job;
}

ChildResult run_router(const Request &req, const std::string &storage) {
  return lmxtest::run_program(kRouter, {}, cgi_spec(req, storage));
}

std::string body_of(const std::string &raw) {
  std::string headers, body;
  if (!lmxtest::split_response(raw, &headers, &body)) return "";
  return body;
}

std::string headers_of(const std::string &raw) {
  std::string headers, body;
  if (!lmxtest::split_response(raw, &headers, &body)) return "";
  return headers;
}

/* The search answer's time is the only part that may differ between two
 * runs of the same request. */
std::string without_elapsed(const std::string &raw) {
  return lmxtest::without_elapsed(raw);
}

/* Two books and an empty index, written through the real engine. */
void seed(const std::string &storage) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_index_create("empty", "id") != 0) std::exit(4);
        if (lumidex_documents_add(
                "books",
                "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Herbert\"},"
                "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Austen\"}]") !=
            2)
          std::exit(5);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

std::string error_code(const std::string &raw) {
  return lmxtest::error_code(body_of(raw));
}

struct DispatchRow {
  const char *what;
  Request req;
  int status; /* what the handler answers on the seeded storage */
  std::function<void()> handler;
  /* The line the router adds to a 405, the route's methods; "" for none. */
  const char *allow = "";
};

/* raw with line added as the last line of its header block. */
std::string with_header_line(const std::string &raw, const std::string &line) {
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || line.empty()) return raw;
  std::string out = raw;
  out.insert(end + 2, line + "\r\n");
  return out;
}

TEST(ApiRouter, EachRouteIsAnsweredByItsHandler) {
  const DispatchRow rows[] = {
      {"status as JSON", {"GET", "/status", "format=json", "", {}}, 200,
       [] { lmx_execute_status(); }},
      {"status page ignores the method", {"DELETE", "/status/x", "", "", {}}, 0,
       [] { lmx_execute_status(); }},
      {"index listing", {"GET", "/indexes", "", "", {}}, 200,
       [] { lmx_execute_indexes(""); }},
      {"index creation", {"POST", "/indexes", "", "{\"uid\":\"films\"}", {}},
       201, [] { lmx_execute_indexes(""); }},
      {"index lookup", {"GET", "/indexes/books", "", "", {}}, 200,
       [] { lmx_execute_indexes("books"); }},
      {"index deletion", {"DELETE", "/indexes/empty", "", "", {}}, 200,
       [] { lmx_execute_indexes("empty"); }},
      {"index lookup of a missing index", {"GET", "/indexes/nope", "", "", {}},
       404, [] { lmx_execute_indexes("nope"); }},
      {"search by GET", {"GET", "/indexes/books/search", "q=dune", "", {}}, 200,
       [] { lmx_execute_search_request("books"); }},
      {"search by POST",
       {"POST", "/indexes/books/search", "", "{\"q\":\"emma\",\"limit\":1}", {}},
       200, [] { lmx_execute_search_request("books"); }},
      {"search of a missing index", {"GET", "/indexes/nope/search", "", "", {}},
       404, [] { lmx_execute_search_request("nope"); }},
      {"document listing", {"GET", "/indexes/books/documents", "", "", {}}, 200,
       [] { lmx_execute_documents("books", ""); }},
      {"document addition",
       {"POST", "/indexes/books/documents", "", "{\"id\":\"3\"}", {}}, 200,
       [] { lmx_execute_documents("books", ""); }},
      {"document fetch", {"GET", "/indexes/books/documents/2", "", "", {}}, 200,
       [] { lmx_execute_documents("books", "2"); }},
      {"document deletion", {"DELETE", "/indexes/books/documents/1", "", "", {}},
       200, [] { lmx_execute_documents("books", "1"); }},
      {"document route with a method it lacks",
       {"PUT", "/indexes/books/documents/1", "", "", {}}, 405,
       [] { lmx_execute_documents("books", "1"); },
       "Allow: GET, POST, DELETE"},
      {"statistics", {"GET", "/indexes/books/stats", "", "", {}}, 200,
       [] { lmx_execute_stats("books"); }},
  };
  for (const DispatchRow &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir a, b;
    seed(a.path());
    // An exact copy, so both sides see the same creation and update times.
    std::filesystem::copy(a.path(), b.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    ChildResult routed = run_router(row.req, a.path());
    ChildSpec job = cgi_spec(row.req, b.path());
    ChildResult direct = lmxtest::run_child(
        [&] {
          if (lmx_init_engine() != 0) std::exit(3);
          row.handler();
          lmx_cleanup_engine();
        },
        job);
    ASSERT_EQ(routed.exit_code, 0);
    ASSERT_EQ(direct.exit_code, 0) << direct.err;
    EXPECT_EQ(lmxtest::response_status(routed.out), row.status);
    EXPECT_EQ(without_elapsed(routed.out),
              without_elapsed(with_header_line(direct.out, row.allow)));
  }
}

TEST(ApiRouter, UnknownRoutesAreNotFound) {
  TempDir storage;
  seed(storage.path());
  for (const char *path : {"/nothing", "/Status", "/indexes/books/setting",
                           "/indexes/books/settings/x"}) {
    SCOPED_TRACE(path);
    ChildResult r = run_router({"GET", path, "", "", {}}, storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 404);
    EXPECT_EQ(body_of(r.out),
              "{\"message\":\"Route not found\",\"code\":\"route_not_found\","
              "\"type\":\"invalid_request\",\"link\":\"https://" LMX_DOCS_HOST
              "/errors#route_not_found\"}\n");
  }
}

TEST(ApiRouter, PathsLongerThanTheirRouteAreNotFoundAndChangeNothing) {
  TempDir storage;
  seed(storage.path());
  const Request rows[] = {
      {"DELETE", "/indexes/books/documents/1/extra", "", "", {}},
      {"DELETE", "/indexes/books/documents/1/", "x", "", {}},
      {"GET", "/indexes/books/search/more", "q=dune", "", {}},
      {"GET", "/indexes/books/stats/x", "", "", {}},
      {"POST", "/indexes/books/documents/x/y", "", "{\"id\":\"3\"}", {}},
      {"DELETE", "/indexes/books/x/y/z", "", "", {}},
  };
  for (const Request &req : rows) {
    SCOPED_TRACE(req.method + " " + req.path);
    ChildResult r = run_router(req, storage.path());
    int want = req.path == "/indexes/books/documents/1/" ? 200 : 404;
    EXPECT_EQ(lmxtest::response_status(r.out), want) << r.out;
    if (want == 404) {
      EXPECT_EQ(error_code(r.out), "route_not_found");
    }
  }
  /* The trailing slash named document 1 itself; the longer path did not. */
  ChildResult gone = run_router({"GET", "/indexes/books/documents/1", "", "", {}},
                                storage.path());
  EXPECT_EQ(lmxtest::response_status(gone.out), 404);
  ChildResult kept = run_router({"GET", "/indexes/books/documents/2", "", "", {}},
                                storage.path());
  EXPECT_EQ(lmxtest::response_status(kept.out), 200);
  ChildResult never = run_router({"GET", "/indexes/books/documents/3", "", "", {}},
                                 storage.path());
  EXPECT_EQ(lmxtest::response_status(never.out), 404);
}

/* Runs api_router with job's body on a pipe, through a shell that then
 * counts what the program left of its standard input (the pipe is shared),
 * as a host would find it. */
ChildResult run_router_counting_rest(ChildSpec job) {
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  return lmxtest::run_program(
      "/bin/sh", {"-c", "\"$0\"; echo; echo \"rest $(wc -c)\"", kRouter},
      job);
}

TEST(ApiRouter, ABodyLeftUnreadIsTakenInBeforeExiting) {
  TempDir storage;
  seed(storage.path());
  const std::string big(3 * 1024 * 1024, 'x');
  struct Row {
    const char *what;
    Request req;
    int status;
  } rows[] = {
      {"refused for want of a key",
       {"POST", "/indexes/books/documents", "", big,
        {{"LUMIDEX_WRITE_KEY", "secret"}}},
       401},
      {"a method the route refuses", {"PUT", "/", "", big, {}}, 405},
      {"an unknown route", {"POST", "/nothing", "", big, {}}, 404},
      {"a read that takes no body", {"GET", "/indexes", "", big, {}}, 200},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run_router_counting_rest(cgi_spec(row.req, storage.path()));
    EXPECT_EQ(lmxtest::response_status(r.out), row.status);
    EXPECT_NE(r.out.find("\nrest 0\n"), std::string::npos)
        << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
  }
  /* Never more than CONTENT_LENGTH: what follows the body stays. */
  Request req{"POST", "/nothing", "", "0123456789", {}};
  ChildSpec job = cgi_spec(req, storage.path());
  job.env["CONTENT_LENGTH"] = "4";
  ChildResult r = run_router_counting_rest(job);
  EXPECT_NE(r.out.find("\nrest 6\n"), std::string::npos) << r.out;
}

TEST(ApiRouter, RootServesTheEmbeddedSandboxToGetOnly) {
  TempDir storage;
  auto page = lmxtest::read_file(std::string(LMX_SOURCE_DIR) +
                                 "/web/sandbox.html");
  ASSERT_TRUE(page.has_value());
  for (const char *path : {"/", "", "//", "/index", "/index/movies"}) {
    SCOPED_TRACE(path);
    ChildResult r = run_router({"GET", path, "", "", {}}, storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 200);
    EXPECT_NE(headers_of(r.out).find("Content-Type: text/html"),
              std::string::npos);
    EXPECT_NE(headers_of(r.out).find("Content-Security-Policy:"),
              std::string::npos);
    EXPECT_EQ(body_of(r.out), *page);
  }
  for (const char *method : {"POST", "DELETE", "PUT", "HEAD", "get"}) {
    SCOPED_TRACE(method);
    ChildResult r = run_router({method, "/", "", "x", {}}, storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 405);
    EXPECT_EQ(error_code(r.out), "method_not_allowed");
  }
}

TEST(ApiRouter, IdentifiersThePathParserWouldCutAreRefused) {
  const std::string id127(127, 'a');
  const std::string id128(128, 'a');
  TempDir storage;
  /* Targets a cut would hit instead of the named ones. */
  ChildResult made = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.path().c_str()) != 0) std::exit(3);
        if (lumidex_index_create(id127.c_str(), "id") != 0) std::exit(4);
        std::string doc = "{\"id\":\"" + id127 + "\"}";
        if (lumidex_documents_add("books", doc.c_str()) != 1) std::exit(5);
        if (lumidex_documents_add("books", "{\"id\":\"a\"}") != 1) std::exit(6);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  struct Row {
    std::string method, path;
    int status;
    std::string code;
  } rows[] = {
      {"DELETE", "/indexes/" + id128, 400, "invalid_identifier"},
      {"GET", "/indexes/" + id128 + "/search", 400, "invalid_identifier"},
      {"DELETE", "/indexes/books/documents/" + id128, 400, "invalid_identifier"},
      {"DELETE", "/indexes/books/documents/a?b", 400, "invalid_identifier"},
      {"DELETE", "/indexes/books?x/documents/a", 400, "invalid_identifier"},
      {"DELETE", "/indexes/books" + std::string(600, '/') + "documents/a", 400,
       "invalid_path"},
      /* At the limit the names are taken whole. */
      {"GET", "/indexes/" + id127, 200, ""},
      {"GET", "/indexes/books/documents/" + id127, 200, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.method + " " + row.path.substr(0, 60));
    ChildResult r = run_router({row.method, row.path, "", "", {}},
                               storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_EQ(error_code(r.out), row.code);
    if (row.code == "invalid_identifier" && row.path.find('?') == std::string::npos) {
      EXPECT_NE(r.out.find("Index names and document ids are at most 127 bytes"),
                std::string::npos);
    }
  }
  /* Nothing was removed by the refused deletions. */
  for (const std::string &path :
       {"/indexes/" + id127, "/indexes/books/documents/" + id127,
        std::string("/indexes/books/documents/a")}) {
    ChildResult r = run_router({"GET", path, "", "", {}}, storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 200) << path.substr(0, 60);
  }
}

TEST(ApiRouter, StatusNeedsNoStorageButEverythingElseDoes) {
  TempDir dir;
  /* A regular file where the storage directory should be. */
  const std::string unusable = dir.sub("file");
  ASSERT_TRUE(lmxtest::write_file(unusable, "x"));
  struct Row {
    std::string method, path, query;
    int status;
  } rows[] = {
      {"GET", "/status", "format=json", 200},
      {"POST", "/status", "", 0}, /* the HTML page carries no Status line */
      {"GET", "/", "", 500},
      {"GET", "/indexes", "", 500},
      {"GET", "/indexes/books/search", "q=x", 500},
      {"GET", "/nothing", "", 500},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.method + " " + row.path);
    ChildResult r = run_router({row.method, row.path, row.query, "", {}},
                               unusable);
    EXPECT_EQ(lmxtest::response_status(r.out), row.status);
    if (row.status == 500) {
      EXPECT_EQ(error_code(r.out), "engine_init_failed");
      EXPECT_NE(r.out.find("Failed to initialize lumidex engine"),
                std::string::npos);
    } else {
      /* JSON {"status":"available"} or the page's " Available" badge. */
      EXPECT_NE(body_of(r.out).find("vailable"), std::string::npos);
    }
  }
}

TEST(ApiRouter, KeysMustMatchExactly) {
  TempDir storage;
  seed(storage.path());
  struct Row {
    const char *given;
    bool accepted;
  } rows[] = {
      {"s3cret-key", true},  {"", false},          {"s3cret", false},
      {"s3cret-keyX", false}, {"S3CRET-KEY", false}, {"s3cret-keys3cret-key", false},
      {"x3cret-key", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.given);
    std::map<std::string, std::string> env = {
        {"LUMIDEX_WRITE_KEY", "s3cret-key"}, {"HTTP_X_LUMIDEX_KEY", row.given}};
    ChildResult r = run_router({"POST", "/indexes", "", "{\"uid\":\"k\"}", env},
                               storage.path());
    EXPECT_EQ(lmxtest::response_status(r.out), row.accepted ? 201 : 401);
    /* The key is never echoed back, right or wrong. */
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    EXPECT_EQ(r.err.find("s3cret"), std::string::npos);
  }
}

TEST(ApiRouter, RefusedRequestsNeverReachTheEngine) {
  TempDir dir;
  const std::string unusable = dir.sub("file");
  ASSERT_TRUE(lmxtest::write_file(unusable, "x"));
  std::map<std::string, std::string> env = {{"LUMIDEX_WRITE_KEY", "w"},
                                            {"LUMIDEX_READ_KEY", "r"}};
  /* 401 comes before 500 (engine), 404 (route), 405 and 400 (path). */
  for (const Request &req :
       {Request{"GET", "/indexes", "", "", env},
        Request{"GET", "/nothing", "", "", env},
        Request{"PATCH", "/indexes/books", "", "", env},
        Request{"DELETE", "/indexes/" + std::string(200, 'x'), "", "", env}}) {
    SCOPED_TRACE(req.method + " " + req.path.substr(0, 40));
    ChildResult r = run_router(req, unusable);
    EXPECT_EQ(lmxtest::response_status(r.out), 401);
    EXPECT_EQ(error_code(r.out), "unauthorized");
  }
  /* The open pages stay open. */
  EXPECT_EQ(lmxtest::response_status(
                run_router({"GET", "/status", "format=json", "", env}, unusable).out),
            200);
  EXPECT_EQ(lmxtest::response_status(
                run_router({"GET", "/", "", "", env}, unusable).out),
            500);
}

}  // namespace
