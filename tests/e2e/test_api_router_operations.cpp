/*
 * test_api_router_operations.cpp: what api_router adds for running it in
 * front of users, run as a CGI process without a server: the request log on
 * standard error, the health answer for load balancers, the Allow line of
 * 405 answers, and the cross-origin answers of LUMIDEX_CORS_ORIGINS.
 *
 * Storage directories are real, seeded through the real engine, and broken
 * the ways an operator meets them: writable by everyone, a file instead of a
 * directory, an index whose files were overwritten.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "lmx_common.h"
#include "lumidex_core.h"
#include "patterns.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";

using Env = std::map<std::string, std::string>;

struct Request {
  std::string method;
  std::string path;
  Env env; /* added to the CGI variables (settings, HTTP_* headers) */
  std::string query = "";
  std::string body = "";
};

ChildResult run_router(const Request &req, const std::string &storage) {
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", req.method},
             {"PATH_INFO", req.path},
             {"QUERY_STRING", req.query},
             {"LUMIDEX_STORAGE_DIR", storage}};
  if (!req.body.empty()) {
    job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
    job.stdin_kind = lmxtest::StdinKind::File;
    job.stdin_bytes = req.body;
  }
  for (const auto &kv : req.env) job.env[kv.first] = kv.second;
  return lmxtest::run_program(kRouter, {}, job);
}

std::string headers_of(const std::string &raw) {
  std::string headers, body;
  return lmxtest::split_response(raw, &headers, &body) ? headers : "";
}

std::string body_of(const std::string &raw) {
  std::string headers, body;
  return lmxtest::split_response(raw, &headers, &body) ? body : "";
}

/* The value of header name in raw's header block, or "<none>". */
std::string header(const std::string &raw, const std::string &name) {
  std::string block = "\r\n" + headers_of(raw);
  size_t at = block.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<none>";
  size_t start = at + 4 + name.size();
  return block.substr(start, block.find("\r\n", start) - start);
}

std::string envelope(const std::string &code, const std::string &message) {
  return "{\"message\":\"" + message + "\",\"code\":\"" + code +
         "\",\"type\":\"invalid_request\",\"link\":\"https://" LMX_DOCS_HOST
         "/errors#" +
         code + "\"}\n";
}

std::string error_code(const std::string &raw) {
  return lmxtest::error_code(body_of(raw));
}

/* One book in "books", written through the real engine. */
void seed(const std::string &storage) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_documents_add("books", "{\"id\":\"1\",\"t\":\"Dune\"}") !=
            1)
          std::exit(4);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

/* A storage directory in each state the tests need. */
enum class Storage { Sound, WorldWritable, NotADirectory, DamagedIndex };

std::string make_storage(const TempDir &tmp, Storage kind) {
  std::string dir = tmp.sub("storage");
  if (kind == Storage::NotADirectory) {
    EXPECT_TRUE(lmxtest::write_file(dir, "x"));
    return dir;
  }
  EXPECT_EQ(mkdir(dir.c_str(), 0700), 0);
  seed(dir);
  if (kind == Storage::WorldWritable) {
    EXPECT_EQ(chmod(dir.c_str(), 0777), 0);
  }
  if (kind == Storage::DamagedIndex) {
    std::string noise;
    for (int i = 0; i < 4096; i++)
      noise += static_cast<char>((i * 7919 + 13) & 0xFF);
    EXPECT_TRUE(lmxtest::write_file(dir + "/books/iamglass", noise));
  }
  return dir;
}

/* ---- Request log -------------------------------------------------------- */

/* time, method, path, status, elapsed, and the reason of a failure */
const std::string kLogLine(
    "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z "
    "lumidex ([^ ]+) ([^ ]+) ([0-9]{3}) [0-9]+\\.[0-9]{2}ms"
    "( reason: (.*))?\n");

TEST(ApiRouterOperations, FailuresAndAskedForRequestsAreLoggedOneLineEach) {
  struct Row {
    const char *what;
    Storage storage;
    Request req;
    int status;         /* the answer's */
    bool logged;        /* whether a line is expected */
    std::string reason; /* a piece of the reason, "" for none */
  } rows[] = {
      {"a success is not logged by default",
       Storage::Sound,
       {"GET", "/indexes", {}},
       200,
       false,
       ""},
      {"a refusal is not logged by default",
       Storage::Sound,
       {"GET", "/nothing", {}},
       404,
       false,
       ""},
      {"nor with LUMIDEX_LOG=errors",
       Storage::Sound,
       {"GET", "/nothing", {{"LUMIDEX_LOG", "errors"}}},
       404,
       false,
       ""},
      {"every request with LUMIDEX_LOG=requests",
       Storage::Sound,
       {"GET",
        "/indexes/books/search",
        {{"LUMIDEX_LOG", "requests"}},
        "q=dune"},
       200,
       true,
       ""},
      {"a page without a Status line counts as 200",
       Storage::Sound,
       {"GET", "/", {{"LUMIDEX_LOG", "requests"}}},
       200,
       true,
       ""},
      {"a 405 when asked for",
       Storage::Sound,
       {"PUT", "/indexes/books", {{"LUMIDEX_LOG", "requests"}}},
       405,
       true,
       ""},
      {"storage writable by everyone: which check failed",
       Storage::WorldWritable,
       {"GET", "/indexes", {}},
       500,
       true,
       "is writable by every user; refusing to use it (chmod o-w)."},
      {"storage that is a file: which check failed",
       Storage::NotADirectory,
       {"POST", "/indexes/books/search", {}, "", "{\"q\":\"x\"}"},
       500,
       true,
       "is not a directory."},
      {"a setting the router does not understand",
       Storage::Sound,
       {"GET", "/indexes", {{"LUMIDEX_LOG", "verbose"}}},
       500,
       true,
       "LUMIDEX_LOG must be \"errors\" (the default) or \"requests\""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir tmp;
    std::string storage = make_storage(tmp, row.storage);
    ChildResult r = run_router(row.req, storage);
    int status = lmxtest::response_status(r.out);
    EXPECT_EQ(status == 0 ? 200 : status, row.status) << r.out;
    if (!row.logged) {
      EXPECT_EQ(r.err, "");
      continue;
    }
    lmxtest::Match m;
    ASSERT_TRUE(lmxtest::full_match(r.err, kLogLine, &m)) << r.err;
    EXPECT_EQ(m.str(1), row.req.method);
    EXPECT_EQ(m.str(2), row.req.path);
    EXPECT_EQ(std::stoi(m.str(3)), row.status);
    if (row.reason.empty()) {
      EXPECT_FALSE(m.matched(4)) << r.err;
    } else {
      EXPECT_NE(m.str(5).find(row.reason), std::string::npos) << r.err;
    }
  }
}

TEST(ApiRouterOperations, TheClientsAnswerToAFailureStaysAsItWas) {
  TempDir tmp;
  std::string storage = make_storage(tmp, Storage::WorldWritable);
  ChildResult r = run_router({"GET", "/indexes", {}}, storage);
  EXPECT_EQ(r.out,
            "Status: 500\r\nContent-Type: application/json; charset=utf-8\r\n"
            "\r\n" +
                envelope("engine_init_failed",
                         "Failed to initialize lumidex engine"));
  EXPECT_NE(r.err.find("writable by every user"), std::string::npos);
}

TEST(ApiRouterOperations, LogNeverHoldsKeysHeadersBodiesOrQueries) {
  TempDir tmp;
  std::string storage = make_storage(tmp, Storage::Sound);
  const std::string W = "W-secret-7f3a", R = "R-secret-0b44";
  const Env keys = {{"LUMIDEX_WRITE_KEY", W},
                    {"LUMIDEX_READ_KEY", R},
                    {"LUMIDEX_LOG", "requests"}};
  const std::vector<Request> rows = {
      {"POST",
       "/indexes/books/documents",
       {{"HTTP_X_LUMIDEX_KEY", W}, {"HTTP_COOKIE", "sid=cookie-secret"}},
       "",
       "{\"id\":\"2\",\"t\":\"body-secret\"}"},
      {"GET",
       "/indexes/books/search",
       {{"HTTP_X_LUMIDEX_KEY", "guess-secret"},
        {"HTTP_AUTHORIZATION", "Bearer auth-secret"}},
       "q=query-secret"},
      {"GET", "/indexes/books/documents/1", {{"HTTP_X_LUMIDEX_KEY", R}}},
  };
  for (Request req : rows) {
    SCOPED_TRACE(req.method + " " + req.path);
    for (const auto &kv : keys) req.env[kv.first] = kv.second;
    ChildResult r = run_router(req, storage);
    ASSERT_TRUE(lmxtest::full_match(r.err, kLogLine)) << r.err;
    for (const std::string &secret : {W, R, std::string("secret")})
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
  }
}

TEST(ApiRouterOperations, HostilePathsStayOneLineAndAreCut) {
  TempDir tmp;
  std::string storage = make_storage(tmp, Storage::Sound);
  struct Row {
    std::string path;
    std::string shown;
  } rows[] = {
      {"/a b\nc\r\"d\\e", "/a\\x20b\\x0ac\\x0d\\x22d\\x5ce"},
      {"/caf\xC3\xA9\x1B[2J", "/caf\\xc3\\xa9\\x1b[2J"},
      {"/" + std::string(600, 'x'), "/" + std::string(255, 'x') + "..."},
  };
  for (const Row &row : rows) {
    ChildResult r =
        run_router({"GET", row.path, {{"LUMIDEX_LOG", "requests"}}}, storage);
    lmxtest::Match m;
    ASSERT_TRUE(lmxtest::full_match(r.err, kLogLine, &m)) << r.err;
    EXPECT_EQ(m.str(2), row.shown);
  }

  /* A line near the longest: every byte of method and path escaped, and a
   * failure whose reason quotes a setting of escaped bytes; it still ends
   * with its line feed. */
  std::string escaped_path;
  for (int i = 0; i < 256; i++) escaped_path += "\\x7f";
  ChildResult r = run_router(
      {std::string(300, '\x01'),
       std::string(600, '\x7f'),
       {{"LUMIDEX_CORS_ORIGINS", "http://" + std::string(300, '\x1b')}}},
      storage);
  lmxtest::Match m;
  ASSERT_TRUE(lmxtest::full_match(r.err, kLogLine, &m)) << r.err.size();
  EXPECT_EQ(m.str(2), escaped_path + "...");
  EXPECT_EQ(std::stoi(m.str(3)), 500);
  EXPECT_NE(m.str(5).find("(not: http://\\x1b\\x1b"), std::string::npos);
}

/* ---- Health ------------------------------------------------------------- */

TEST(ApiRouterOperations, HealthSaysWhetherStorageAndEveryIndexCanBeRead) {
  struct Row {
    const char *what;
    Storage storage;
    Request req;
    int status;
    std::string code;   /* "" for the 200 */
    std::string reason; /* a piece of the message */
  } rows[] = {
      {"sound storage", Storage::Sound, {"GET", "/health", {}}, 200, "", ""},
      {"slashes around the name",
       Storage::Sound,
       {"GET", "//health/", {}},
       200,
       "",
       ""},
      {"no key needed while keys are set",
       Storage::Sound,
       {"GET",
        "/health",
        {{"LUMIDEX_WRITE_KEY", "w"}, {"LUMIDEX_READ_KEY", "r"}}},
       200,
       "",
       ""},
      {"storage writable by everyone",
       Storage::WorldWritable,
       {"GET", "/health", {}},
       503,
       "storage_unavailable",
       "is writable by every user"},
      {"storage that is a file",
       Storage::NotADirectory,
       {"GET", "/health", {}},
       503,
       "storage_unavailable",
       "is not a directory"},
      {"an index that cannot be read",
       Storage::DamagedIndex,
       {"GET", "/health", {}},
       503,
       "index_unreadable",
       "Index `books` cannot be read: "},
      {"only GET",
       Storage::Sound,
       {"POST", "/health", {}},
       405,
       "method_not_allowed",
       "Method not allowed"},
      {"nothing below it",
       Storage::Sound,
       {"GET", "/health/x", {}},
       404,
       "route_not_found",
       "Route not found"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir tmp;
    std::string storage = make_storage(tmp, row.storage);
    ChildResult r = run_router(row.req, storage);
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_EQ(header(r.out, "Content-Type"), "application/json; charset=utf-8");
    if (row.status == 200) {
      EXPECT_EQ(body_of(r.out), "{\"status\":\"available\"}\n");
      continue;
    }
    EXPECT_EQ(error_code(r.out), row.code);
    EXPECT_NE(body_of(r.out).find(row.reason), std::string::npos) << r.out;
    if (row.status == 503) {
      /* The same reason reaches the log. */
      EXPECT_NE(r.err.find(" 503 "), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    }
  }
}

/* ---- Allow -------------------------------------------------------------- */

TEST(ApiRouterOperations, A405NamesTheMethodsTheRouteAnswers) {
  struct Row {
    std::string path;
    std::string allow;
  } rows[] = {
      {"/", "GET"},
      {"/health", "GET"},
      {"/indexes", "GET, POST, DELETE"},
      {"/indexes/books", "GET, POST, DELETE"},
      {"/indexes/books/documents", "GET, POST, PATCH, DELETE"},
      {"/indexes/books/documents/1", "GET, POST, DELETE"},
  };
  const std::vector<std::string> methods = {"GET",   "POST", "DELETE",  "PUT",
                                            "PATCH", "HEAD", "OPTIONS", "get"};
  for (const Row &row : rows) {
    for (const std::string &method : methods) {
      SCOPED_TRACE(method + " " + row.path);
      TempDir tmp;
      std::string storage = make_storage(tmp, Storage::Sound);
      ChildResult r = run_router({method, row.path, {}}, storage);
      bool listed = (", " + row.allow + ",").find(" " + method + ",") !=
                    std::string::npos;
      int status = lmxtest::response_status(r.out);
      if (listed) {
        EXPECT_NE(status, 405) << r.out;
        EXPECT_EQ(header(r.out, "Allow"), "<none>");
      } else {
        EXPECT_EQ(status, 405) << r.out;
        EXPECT_EQ(header(r.out, "Allow"), row.allow);
        EXPECT_EQ(body_of(r.out),
                  envelope("method_not_allowed", "Method not allowed"));
      }
    }
  }
}

/* ---- Cross-origin answers ---------------------------------------------- */

TEST(ApiRouterOperations, CrossOriginLinesFollowTheListedOrigins) {
  const std::string list = "https://app.example.com http://127.0.0.1:8080";
  struct Row {
    const char *what;
    std::string origins; /* LUMIDEX_CORS_ORIGINS, "" unset */
    std::string origin;  /* the request's Origin, "" none */
    std::string method, path;
    int status;
    std::string allow_origin; /* "<none>" when absent */
    std::string vary;
    std::string allow_methods;
  } rows[] = {
      {"unset: nothing changes", "", "http://127.0.0.1:8080", "GET", "/indexes",
       200, "<none>", "<none>", "<none>"},
      {"unset: OPTIONS is still refused", "", "http://127.0.0.1:8080",
       "OPTIONS", "/indexes", 405, "<none>", "<none>", "<none>"},
      {"a listed origin", list, "http://127.0.0.1:8080", "GET", "/indexes", 200,
       "http://127.0.0.1:8080", "Origin", "<none>"},
      {"the other listed origin, on a refusal", list, "https://app.example.com",
       "GET", "/nothing", 404, "https://app.example.com", "Origin", "<none>"},
      {"an origin not listed", list, "http://127.0.0.1:9090", "GET", "/indexes",
       200, "<none>", "Origin", "<none>"},
      {"a listed origin's prefix", list, "http://127.0.0.1:80", "GET",
       "/indexes", 200, "<none>", "Origin", "<none>"},
      {"another scheme", list, "http://app.example.com", "GET", "/indexes", 200,
       "<none>", "Origin", "<none>"},
      {"no Origin", list, "", "GET", "/indexes", 200, "<none>", "Origin",
       "<none>"},
      {"any origin", "*", "http://elsewhere.test", "GET", "/indexes", 200, "*",
       "<none>", "<none>"},
      {"preflight of a listed origin", list, "http://127.0.0.1:8080", "OPTIONS",
       "/indexes/books/search", 204, "http://127.0.0.1:8080", "Origin",
       "GET, POST"},
      {"preflight of documents", "*", "http://elsewhere.test", "OPTIONS",
       "/indexes/books/documents", 204, "*", "<none>",
       "GET, POST, PATCH, DELETE"},
      {"preflight of an origin not listed", list, "http://127.0.0.1:9090",
       "OPTIONS", "/indexes/books/search", 403, "<none>", "Origin", "<none>"},
      {"preflight of an unknown route", list, "http://127.0.0.1:8080",
       "OPTIONS", "/nothing", 404, "http://127.0.0.1:8080", "Origin", "<none>"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir tmp;
    std::string storage = make_storage(tmp, Storage::Sound);
    Request req{row.method, row.path, {}};
    if (!row.origins.empty()) req.env["LUMIDEX_CORS_ORIGINS"] = row.origins;
    if (!row.origin.empty()) req.env["HTTP_ORIGIN"] = row.origin;
    ChildResult r = run_router(req, storage);
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_EQ(header(r.out, "Access-Control-Allow-Origin"), row.allow_origin);
    EXPECT_EQ(header(r.out, "Vary"), row.vary);
    EXPECT_EQ(header(r.out, "Access-Control-Allow-Methods"), row.allow_methods);
    if (row.status == 204) {
      EXPECT_EQ(header(r.out, "Allow"), row.allow_methods);
      EXPECT_EQ(header(r.out, "Access-Control-Allow-Headers"),
                "Content-Type, X-Lumidex-Key");
      EXPECT_EQ(header(r.out, "Access-Control-Max-Age"), "600");
      EXPECT_EQ(body_of(r.out), "");
    }
    if (row.status == 403) {
      EXPECT_EQ(error_code(r.out), "origin_not_allowed");
    }
  }
}

TEST(ApiRouterOperations, PreflightsNeedNoKeyButTheRequestsStillDo) {
  TempDir tmp;
  std::string storage = make_storage(tmp, Storage::Sound);
  const Env env = {{"LUMIDEX_CORS_ORIGINS", "http://127.0.0.1:8080"},
                   {"HTTP_ORIGIN", "http://127.0.0.1:8080"},
                   {"LUMIDEX_READ_KEY", "r"}};
  ChildResult preflight =
      run_router({"OPTIONS", "/indexes/books/search", env}, storage);
  EXPECT_EQ(lmxtest::response_status(preflight.out), 204) << preflight.out;

  /* The refusal carries the origin line, so the page can read the 401. */
  ChildResult refused =
      run_router({"GET", "/indexes/books/search", env, "q=dune"}, storage);
  EXPECT_EQ(lmxtest::response_status(refused.out), 401);
  EXPECT_EQ(header(refused.out, "Access-Control-Allow-Origin"),
            "http://127.0.0.1:8080");

  Env with_key = env;
  with_key["HTTP_X_LUMIDEX_KEY"] = "r";
  ChildResult found =
      run_router({"GET", "/indexes/books/search", with_key, "q=dune"}, storage);
  EXPECT_EQ(lmxtest::response_status(found.out), 200);
  EXPECT_NE(body_of(found.out).find("\"id\":\"1\""), std::string::npos);
}

TEST(ApiRouterOperations, OriginListsThatAreNotOriginsAreRefused) {
  struct Row {
    std::string value;
    bool understood;
  } rows[] = {
      {"*", true},
      {"http://127.0.0.1:8080", true},
      {"  https://a.example.com   http://b.example:81 ", true},
      {"http://[::1]:8080", true},
      {"https://xn--caf-dma.example", true},
      {"example.com", false},
      {"http://a.example/", false},
      {"http://A.example", false},
      {"http://a.example:", false},
      {"http://a.example:80x", false},
      {"http://a.example,http://b.example", false},
      {"* http://a.example", false},
      {"ftp://a.example", false},
      {"http://", false},
      {"http://[::1", false},
      {"http://[[::1]", false},
      {"http://[::g]", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.value);
    TempDir tmp;
    std::string storage = make_storage(tmp, Storage::Sound);
    ChildResult r = run_router(
        {"GET", "/indexes", {{"LUMIDEX_CORS_ORIGINS", row.value}}}, storage);
    if (row.understood) {
      EXPECT_EQ(lmxtest::response_status(r.out), 200) << r.out;
      continue;
    }
    EXPECT_EQ(lmxtest::response_status(r.out), 500);
    EXPECT_EQ(error_code(r.out), "invalid_configuration");
    EXPECT_NE(body_of(r.out).find("LUMIDEX_CORS_ORIGINS must be"),
              std::string::npos);
    EXPECT_NE(r.err.find("reason: LUMIDEX_CORS_ORIGINS must be"),
              std::string::npos)
        << r.err;
  }
}

TEST(ApiRouterOperations, StatusStaysAsItWasWhateverTheSettings) {
  TempDir tmp;
  std::string storage = make_storage(tmp, Storage::Sound);
  ChildResult plain =
      run_router({"GET", "/status", {}, "format=json"}, storage);
  ChildResult set = run_router({"GET",
                                "/status",
                                {{"LUMIDEX_CORS_ORIGINS", "nonsense"},
                                 {"LUMIDEX_LOG", "verbose"},
                                 {"HTTP_ORIGIN", "http://a.example"}},
                                "format=json"},
                               storage);
  EXPECT_EQ(set.out, plain.out);
  EXPECT_EQ(lmxtest::response_status(set.out), 200);
}

}  // namespace
