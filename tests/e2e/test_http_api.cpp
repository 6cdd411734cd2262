/*
 * test_http_api.cpp: the whole API through a real lighttpd on loopback.
 *
 * Each test starts lighttpd in the foreground on a free 127.0.0.1 port, in
 * a temporary directory, with the project's configuration template filled
 * in by deploy/render-lighttpd-conf, api_router as the CGI program and a
 * fresh storage directory. Requests are plain HTTP/1.0 over a socket, so the
 * bytes of the request line (percent escapes included) are exactly what the
 * test wrote. Read-only answers are compared with what api_router answers
 * when run directly as a CGI process on the same storage, so the server is
 * seen to pass the request and the response through unchanged. Every test
 * runs twice: with api_router as a CGI program and as lighttpd's FastCGI
 * workers (two of them, so requests land on processes that served others
 * before).
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <yyjson.h>

#include "child.h"
#include "lighttpd.h"
#include "lmx_common.h"
#include "patterns.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kRender =
    std::string(LMX_SOURCE_DIR) + "/deploy/render-lighttpd-conf";

using lmxtest::HttpResponse;

/* One HTTP/1.0 exchange; target is sent byte for byte. */
HttpResponse http(int port, const std::string &method, const std::string &target,
                  const std::string &body = "",
                  const std::vector<std::string> &headers = {}) {
  return lmxtest::http_request(port, method, target, body, headers);
}

using lmxtest::HostMode;

/* lighttpd serving api_router on a fresh storage directory of its own. */
class Server {
 public:
  /* keys: LUMIDEX_WRITE_KEY / LUMIDEX_READ_KEY to set in its environment. */
  explicit Server(HostMode mode, const std::map<std::string, std::string> &keys = {})
      : storage_(dir_.sub("storage")),
        server_(kRouter, kRender, storage_, keys, mode) {}

  bool running() const { return server_.running(); }
  int port() const { return server_.port(); }
  const std::string &storage() const { return storage_; }
  std::string error_log() const { return server_.error_log(); }

 private:
  TempDir dir_;
  std::string storage_;
  lmxtest::LighttpdServer server_;
};

/* api_router's body for the same request, run directly as CGI. */
std::string direct_body(const std::string &storage, const std::string &method,
                        const std::string &path, const std::string &query) {
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", method},
              {"PATH_INFO", path},
              {"QUERY_STRING", query},
              {"LUMIDEX_STORAGE_DIR", storage}};
  ChildResult r = lmxtest::run_program(kRouter, {}, job);
  std::string headers, body;
  lmxtest::split_response(r.out, &headers, &body);
  return body;
}

using lmxtest::error_code;
using lmxtest::without_elapsed;

class HttpApi : public ::testing::TestWithParam<HostMode> {};

#define REQUIRE_SERVER(s) \
  ASSERT_TRUE((s).running()) << "lighttpd did not start: " << (s).error_log()

TEST_P(HttpApi, EveryRouteAndMethodGivesTheHandlersAnswer) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  auto page = lmxtest::read_file(std::string(LMX_SOURCE_DIR) + "/web/sandbox.html");
  ASSERT_TRUE(page.has_value());
  const std::string docs =
      "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"},"
      "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"},"
      "{\"id\":\"3\",\"title\":\"Dune Messiah\",\"author\":\"Frank Herbert\"}]";
  struct Row {
    std::string method, target, body;
    int status;
    std::string expect; /* a piece of the body, or an error code */
  } rows[] = {
      {"GET", "/status?format=json", "", 200, "\"status\":\"available\""},
      {"POST", "/status", "", 200, "Nolvaris Lumidex Server Status"},
      {"GET", "/", "", 200, "Lumidex Search Sandbox"},
      {"DELETE", "/", "", 405, "method_not_allowed"},
      {"GET", "/indexes", "", 200, "\"results\":[]"},
      {"POST", "/indexes", "{\"uid\":\"books\"}", 201, "\"uid\":\"books\""},
      {"POST", "/indexes", "{\"uid\":\"books\"}", 400, "index_already_exists"},
      {"GET", "/indexes", "", 200, "\"uid\":\"books\""},
      {"GET", "/indexes/books", "", 200, "\"primaryKey\":\"id\""},
      {"PUT", "/indexes/books", "", 405, "method_not_allowed"},
      {"POST", "/indexes/books/documents", "", 400, "missing_payload"},
      {"POST", "/indexes/books/documents", docs, 200, "\"added\":3"},
      {"GET", "/indexes/books/documents", "", 200, "\"title\":\"Emma\""},
      {"GET", "/indexes/books/documents/2", "", 200,
       "\"author\":\"Jane Austen\""},
      {"GET", "/indexes/books/search?q=dune", "", 200, "<em>Dune</em>"},
      {"GET", "/indexes/books/search?q=dune&limit=1&offset=1", "", 200,
       "\"total_hits\":2"},
      {"POST", "/indexes/books/search", "{\"q\":\"austen\"}", 200,
       "\"title\":\"Emma\""},
      {"GET", "/indexes/books/stats", "", 200, "\"numberOfDocuments\":3"},
      {"GET", "/indexes/books/settings", "", 200,
       "{\"searchableAttributes\":[\"*\"],"},
      {"PATCH", "/indexes/books/settings",
       "{\"searchableAttributes\":[\"author\"]}", 200,
       "\"settings\":{\"searchableAttributes\":[\"author\"],"},
      {"GET", "/indexes/books/search?q=dune", "", 200, "\"total_hits\":0"},
      {"GET", "/indexes/books/search?q=austen", "", 200, "\"total_hits\":1"},
      {"PATCH", "/indexes/books/settings", "{\"language\":\"klingon\"}", 400,
       "invalid_settings"},
      {"PUT", "/indexes/books/settings", "", 405, "method_not_allowed"},
      {"DELETE", "/indexes/books/settings", "", 200,
       "\"type\":\"settingsUpdate\",\"taskUid\":1,\"settings\":{"
       "\"searchableAttributes\":[\"*\"]"},
      {"GET", "/indexes/books/search?q=dune", "", 200, "\"total_hits\":2"},
      {"GET", "/indexes/missing/settings", "", 404, "index_not_found"},
      {"DELETE", "/indexes/books/documents/2", "", 200, "documentDeletion"},
      {"GET", "/indexes/books/documents/2", "", 404, "document_not_found"},
      {"DELETE", "/indexes/books/documents/2", "", 404, "document_not_found"},
      {"DELETE", "/indexes/books/documents", "", 200, "\"deleted\":2"},
      {"GET", "/indexes/books/documents", "", 200, "[]"},
      {"PATCH", "/indexes/books/documents/1", "", 405, "method_not_allowed"},
      {"GET", "/indexes/missing", "", 404, "index_not_found"},
      {"GET", "/indexes/missing/search?q=x", "", 404, "index_not_found"},
      {"GET", "/indexes/missing/stats", "", 404, "index_not_found"},
      {"DELETE", "/indexes/books", "", 200, ""},
      {"GET", "/indexes/books", "", 404, "index_not_found"},
      {"DELETE", "/indexes/books", "", 404, "index_not_found"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.method + " " + row.target);
    HttpResponse res = http(server.port(), row.method, row.target, row.body);
    EXPECT_EQ(res.status, row.status) << res.body;
    EXPECT_NE(res.body.find(row.expect), std::string::npos) << res.body;
    bool html = row.target == "/" && row.status == 200;
    html = html || (row.target == "/status");
    EXPECT_NE(res.headers.find(html ? "Content-Type: text/html"
                                    : "Content-Type: application/json"),
              std::string::npos)
        << res.headers;
    if (row.target == "/" && row.status == 200) {
      EXPECT_EQ(res.body, *page);
    }
    if (row.method == "GET") {
      size_t q = row.target.find('?');
      std::string path = row.target.substr(0, q);
      std::string query = q == std::string::npos ? "" : row.target.substr(q + 1);
      EXPECT_EQ(without_elapsed(res.body),
                without_elapsed(direct_body(server.storage(), "GET", path, query)));
    }
  }
}

TEST_P(HttpApi, SearchParametersAreCheckedAndPartialMatchesFollow) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  const std::string docs =
      "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"},"
      "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"}]";
  ASSERT_EQ(http(server.port(), "POST", "/indexes/books/documents", docs).status,
            200);
  const std::string search = "/indexes/books/search";
  struct Row {
    std::string method, target, body;
    int status;
    std::string expect; /* a piece of the body */
  } rows[] = {
      {"GET", search + "?q=dune+emma", "", 200, "\"total_hits\":2"},
      {"GET", search + "?q=dune+emma&matchingStrategy=all", "", 200,
       "\"total_hits\":0"},
      {"POST", search, "{\"q\":\"emma dune\",\"matchingStrategy\":\"most\"}",
       200, "\"total_hits\":2"},
      {"GET", search + "?q=" + std::string(4096, 'e'), "", 200, "\"hits\":[]"},
      {"GET", search + "?q=" + std::string(4097, 'e'), "", 400,
       "at most 4096 bytes"},
      {"GET", search + "?q=dune&sort=title", "", 400,
       "\"code\":\"invalid_search_sort\""},
      {"GET", search + "?limit=-1", "", 400, "`limit`"},
      {"GET", search + "?offset=x", "", 400, "`offset`"},
      {"GET", search + "?matchingStrategy=any", "", 400,
       "\"code\":\"invalid_search_matching_strategy\""},
      {"POST", search + "?q=dune", "{}", 400, "from the JSON body"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.method + " " + row.target.substr(0, 80));
    HttpResponse res = http(server.port(), row.method, row.target, row.body);
    EXPECT_EQ(res.status, row.status) << res.body;
    EXPECT_NE(res.body.find(row.expect), std::string::npos) << res.body;
  }
}

TEST_P(HttpApi, FiltersSortsAndFacetsPassThroughTheServer) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  const std::string docs =
      R"([{"id":"1","title":"Dune","genre":"sf","year":1965,"tags":["a","b"]},)"
      R"({"id":"2","title":"Emma","genre":"novel","year":1815,"tags":["b"]},)"
      R"({"id":"3","title":"Dune Messiah","genre":"sf","year":1969}])";
  ASSERT_EQ(http(server.port(), "POST", "/indexes/books/documents", docs).status,
            200);
  HttpResponse set = http(server.port(), "PATCH", "/indexes/books/settings",
                          R"({"filterableAttributes":["genre","tags","year"],)"
                          R"("sortableAttributes":["year"]})");
  ASSERT_EQ(set.status, 200) << set.body;
  const std::string search = "/indexes/books/search";
  struct Row {
    std::string query;
    int status;
    std::string expect;
  } rows[] = {
      {"filter=genre%20%3D%20sf&sort=year:desc", 200,
       R"("hits":[{"id":"3")"},
      {"filter=year%20%3C%201900&facets=genre,tags", 200,
       R"("facetDistribution":{"genre":{"novel":1},"tags":{"b":1}},)"
       R"("facetStats":{}})"},
      {"q=dune&facets=year", 200,
       R"("facetStats":{"year":{"min":1965,"max":1969}})"},
      {"filter=genre%20%3D", 400,
       R"("message":"Invalid filter: expected a value after `=` at byte 7, )"
       R"(found the end.","code":"invalid_search_filter")"},
      {"filter=title%20%3D%20x", 400,
       R"(`title` is not filterable; the filterable attributes are `genre`, )"
       R"(`tags`, `year`.","code":"invalid_search_filter")"},
      {"sort=title:asc", 400, R"("code":"invalid_search_sort")"},
      {"facets=title", 400, R"("code":"invalid_search_facets")"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.query);
    HttpResponse res = http(server.port(), "GET", search + "?" + row.query);
    EXPECT_EQ(res.status, row.status) << res.body;
    EXPECT_NE(res.body.find(row.expect), std::string::npos) << res.body;
    /* The server passes api_router's answer through unchanged. */
    EXPECT_EQ(without_elapsed(res.body),
              without_elapsed(
                  direct_body(server.storage(), "GET", search, row.query)));
  }
}

/* The value of member key of the JSON object text, as a string. */
std::string json_member(const std::string &text, const char *key) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  const char *value = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), key));
  std::string out = value ? value : "";
  yyjson_doc_free(doc);
  return out;
}

TEST_P(HttpApi, TwoMegabyteDocumentArrivesWholeAndLargerBodiesAreRefused) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  std::string text;
  for (int i = 0; text.size() < 2 * 1024 * 1024; i++)
    text += "word" + std::to_string(i % 5000) + " ";
  text += "needleinthehaystack";
  const std::string body = "{\"id\":\"big\",\"text\":\"" + text + "\"}";
  ASSERT_GT(body.size(), 2u * 1024 * 1024);

  HttpResponse added = http(server.port(), "POST", "/indexes/big/documents", body);
  ASSERT_EQ(added.status, 200) << added.body;
  EXPECT_NE(added.body.find("\"added\":1"), std::string::npos);

  HttpResponse fetched = http(server.port(), "GET", "/indexes/big/documents/big");
  ASSERT_EQ(fetched.status, 200);
  EXPECT_EQ(json_member(fetched.body, "text"), text);

  HttpResponse found =
      http(server.port(), "GET", "/indexes/big/search?q=needleinthehaystack");
  EXPECT_NE(found.body.find("\"total_hits\":1"), std::string::npos)
      << found.body.substr(0, 200);

  /* Above the configured limit (16 MiB) lighttpd answers before the
   * program runs, and nothing is added. */
  std::string huge = "{\"id\":\"huge\",\"text\":\"" +
                     std::string(17 * 1024 * 1024, 'x') + "\"}";
  HttpResponse refused = http(server.port(), "POST", "/indexes/big/documents", huge);
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(http(server.port(), "GET", "/indexes/big/documents/huge").status, 404);
}

TEST_P(HttpApi, PercentEncodedNamesAndQueriesReachTheEngineDecoded) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  const std::string docs =
      "[{\"id\":\"web-guide\",\"title\":\"Web server guide\"},"
      "{\"id\":\"cafe_1\",\"title\":\"Caf\xC3\xA9 au lait\"},"
      "{\"id\":\"plain\",\"title\":\"Nothing to see\"}]";
  ASSERT_EQ(http(server.port(), "POST", "/indexes/%6Dixed/documents", docs).status,
            200);
  struct Row {
    std::string target;
    int status;
    std::string expect;
  } rows[] = {
      {"/indexes/mixed/documents/web%2Dguide", 200, "Web server guide"},
      {"/indexes/m%69xed/documents/cafe%5F1", 200, "au lait"},
      {"/indexes/%6d%69%78%65%64", 200, "\"uid\":\"mixed\""},
      {"/indexes/mixed/search?q=web+server", 200, "web-guide"},
      {"/indexes/mixed/search?q=%57eb%20server", 200, "web-guide"},
      {"/indexes/mixed/search?q=caf%C3%A9", 200, "au lait"},
      {"/indexes/mixed/search?q=%26%3D%2B", 200, "\"query\":\"&=+\""},
      /* The decoded id reaches the engine, which holds no such document. */
      {"/indexes/mixed/documents/web%20guide", 404, "document_not_found"},
      /* An encoded slash would split a name into two path segments. */
      {"/indexes/mixed/documents/web%2Fguide", 400, ""},
      /* An encoded '?' would cut the name short. */
      {"/indexes/mixed/documents/pla%3Fin", 400, "invalid_identifier"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.target);
    HttpResponse res = http(server.port(), "GET", row.target);
    EXPECT_EQ(res.status, row.status) << res.body;
    EXPECT_NE(res.body.find(row.expect), std::string::npos) << res.body;
  }
  /* Deleting through an encoded name removes exactly that document. */
  EXPECT_EQ(http(server.port(), "DELETE", "/indexes/mixed/documents/web%2dguide").status,
            200);
  EXPECT_EQ(http(server.port(), "GET", "/indexes/mixed/documents/web-guide").status,
            404);
  EXPECT_EQ(http(server.port(), "GET", "/indexes/mixed/documents/plain").status, 200);
}

TEST_P(HttpApi, UnknownRoutesAreNotFound) {
  Server server(GetParam());
  REQUIRE_SERVER(server);
  for (const char *target :
       {"/nothing", "/favicon.ico", "/indexes/books/setting", "/STATUS",
        "/indexes/books/search/../synonyms", "/indexes/books/settings/x"}) {
    SCOPED_TRACE(target);
    HttpResponse res = http(server.port(), "GET", target);
    EXPECT_EQ(res.status, 404);
    EXPECT_EQ(error_code(res.body), "route_not_found");
  }
}

/* Which key a route needs: none, a write key, or a read key. */
enum class Need { Open, Write, Read };

TEST_P(HttpApi, AccessKeysGuardEveryRouteKind) {
  const std::string W = "W-7f3a9c1e", R = "R-0b44d2aa";
  struct Route {
    std::string method, target, body;
    Need need;
  } routes[] = {
      {"GET", "/", "", Need::Open},
      {"DELETE", "/", "", Need::Open},
      {"GET", "/status?format=json", "", Need::Open},
      {"POST", "/status", "", Need::Open},
      {"GET", "/indexes", "", Need::Read},
      {"POST", "/indexes", "{\"uid\":\"made\"}", Need::Write},
      {"GET", "/indexes/books", "", Need::Read},
      {"PUT", "/indexes/books", "", Need::Write},
      {"GET", "/indexes/books/search?q=dune", "", Need::Read},
      {"POST", "/indexes/books/search", "{\"q\":\"dune\"}", Need::Read},
      {"GET", "/indexes/books/stats", "", Need::Read},
      {"DELETE", "/indexes/books/stats", "", Need::Read},
      {"GET", "/indexes/books/documents", "", Need::Read},
      {"POST", "/indexes/books/documents", "{\"id\":\"9\"}", Need::Write},
      {"GET", "/indexes/books/documents/1", "", Need::Read},
      {"DELETE", "/indexes/books/documents/404", "", Need::Write},
      {"PATCH", "/indexes/books/documents/1", "", Need::Write},
      {"GET", "/indexes/books/settings", "", Need::Read},
      {"PATCH", "/indexes/books/settings", "{\"stopWords\":[\"the\"]}",
       Need::Write},
      {"DELETE", "/indexes/books/settings", "", Need::Write},
      {"POST", "/indexes/books/settings", "", Need::Write},
      {"GET", "/nothing", "", Need::Read},
      {"DELETE", "/indexes/gone", "", Need::Write},
  };
  struct Setup {
    const char *what;
    std::map<std::string, std::string> keys;
  } setups[] = {
      {"write key only", {{"LUMIDEX_WRITE_KEY", W}}},
      {"write and read keys", {{"LUMIDEX_WRITE_KEY", W}, {"LUMIDEX_READ_KEY", R}}},
      {"read key only", {{"LUMIDEX_READ_KEY", R}}},
  };
  const std::string given_keys[] = {"", "wrong", R, W};

  for (const Setup &setup : setups) {
    SCOPED_TRACE(setup.what);
    Server server(GetParam(), setup.keys);
    REQUIRE_SERVER(server);
    bool has_w = setup.keys.count("LUMIDEX_WRITE_KEY") > 0;
    bool has_r = setup.keys.count("LUMIDEX_READ_KEY") > 0;
    /* Something for the read routes to find once they are let through. */
    HttpResponse seeded = http(server.port(), "POST", "/indexes/books/documents",
                               "{\"id\":\"1\",\"title\":\"Dune\"}",
                               {"X-Lumidex-Key: " + (has_w ? W : R)});
    ASSERT_EQ(seeded.status, 200) << seeded.body;

    for (const Route &route : routes) {
      for (const std::string &given : given_keys) {
        SCOPED_TRACE(route.method + " " + route.target + " with key '" + given + "'");
        bool allowed;
        switch (route.need) {
          case Need::Open: allowed = true; break;
          case Need::Write: allowed = has_w ? given == W : given == R; break;
          default: allowed = !has_r || given == R || (has_w && given == W); break;
        }
        std::vector<std::string> headers;
        if (!given.empty()) headers.push_back("X-Lumidex-Key: " + given);
        HttpResponse res =
            http(server.port(), route.method, route.target, route.body, headers);
        if (allowed) {
          EXPECT_NE(res.status, 401) << res.body;
          EXPECT_NE(res.status, 0);
        } else {
          EXPECT_EQ(res.status, 401);
          EXPECT_EQ(res.body,
                    "{\"message\":\"A valid key is required for this request\","
                    "\"code\":\"unauthorized\",\"type\":\"invalid_request\","
                    "\"link\":\"https://" LMX_DOCS_HOST "/errors#unauthorized\"}\n");
        }
        EXPECT_EQ(res.body.find(W), std::string::npos);
        EXPECT_EQ(res.body.find(R), std::string::npos);
      }
    }
    /* A refused write changed nothing; an accepted one did. */
    HttpResponse doc9 = http(server.port(), "GET", "/indexes/books/documents/9", "",
                             {"X-Lumidex-Key: " + (has_r ? R : W)});
    EXPECT_EQ(doc9.status, 200);
    std::string log = server.error_log();
    EXPECT_EQ(log.find(W), std::string::npos);
    EXPECT_EQ(log.find(R), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Hosts, HttpApi,
                         ::testing::Values(HostMode::Cgi, HostMode::FastCgi),
                         [](const ::testing::TestParamInfo<HostMode> &info) {
                           return std::string(lmxtest::host_mode_name(info.param));
                         });

}  // namespace
