/*
 * test_router_search.cpp: api_router's search route run as a CGI process on
 * a storage directory seeded through the real engine: the parameters it
 * takes from the query string and the JSON body, the matching strategies,
 * and a 400 with the error envelope for whatever it does not take.
 * api_search keeps its own lenient reading of the same requests.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "child.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kSearch = std::string(LMX_BUILD_DIR) + "/src/api_search";

struct Request {
  std::string method;
  std::string query;
  std::string body;
};

/* req run by program as a search of the index "books". */
ChildResult run(const std::string &program, const Request &req,
                const std::string &storage) {
  lmxtest::CgiRequest cgi{req.method, "/indexes/books/search", req.body};
  cgi.query = req.query;
  return lmxtest::run_cgi(program, cgi, storage);
}

std::string body_of(const std::string &raw) {
  return lmxtest::response_body(raw);
}

/* Three books, written through the real engine. */
void seed(const std::string &storage) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_documents_add(
                "books",
                "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank "
                "Herbert\"},"
                "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"},"
                "{\"id\":\"3\",\"title\":\"Dune Messiah\",\"author\":\"Frank "
                "Herbert\"}]") != 3)
          std::exit(5);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

struct Row {
  const char *what;
  Request req;
  int status;
  std::string expect; /* a piece of the body */
};

TEST(RouterSearch, ParametersComeFromTheQueryStringOrTheJsonBody) {
  TempDir tmp;
  seed(tmp.path());
  const std::string q4096 = "q=" + std::string(4096, 'd');
  const Row rows[] = {
      {"q limit offset",
       {"GET", "q=dune&limit=1&offset=1", ""},
       200,
       "\"limit\":1,\"offset\":1,\"total_hits\":2"},
      {"some words match: most",
       {"GET", "q=dune+austen", ""},
       200,
       "\"total_hits\":3"},
      {"some words match: all",
       {"GET", "q=dune+austen&matchingStrategy=all", ""},
       200,
       "\"total_hits\":0"},
      {"every word matches",
       {"GET", "q=frank+dune&matchingStrategy=most", ""},
       200,
       "\"total_hits\":2"},
      {"empty parameters are no parameters",
       {"GET", "&&q=emma&", ""},
       200,
       "\"total_hits\":1"},
      {"a limit above 1000",
       {"GET", "limit=123456789012345678901234", ""},
       200,
       "\"limit\":1000"},
      {"4096 bytes of query", {"GET", q4096, ""}, 200, "\"hits\":[]"},
      {"POST body",
       {"POST", "", "{\"q\":\"dune\",\"limit\":1}"},
       200,
       "\"limit\":1,\"offset\":0,\"total_hits\":2"},
      {"POST body, all",
       {"POST", "", "{\"q\":\"emma dune\",\"matchingStrategy\":\"all\"}"},
       200,
       "\"total_hits\":0"},
      {"POST without a body", {"POST", "", ""}, 200, "\"total_hits\":3"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kRouter, row.req, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_NE(body_of(r.out).find(row.expect), std::string::npos)
        << body_of(r.out).substr(0, 300);
  }
}

TEST(RouterSearch, WhatTheSearchDoesNotTakeIsRefusedNamingIt) {
  TempDir tmp;
  seed(tmp.path());
  const std::string q4097 = "q=" + std::string(4097, 'd');
  const Row rows[] = {
      {"unknown parameter",
       {"GET", "q=dune&lang=en", ""},
       400,
       "Unknown search parameter `lang`: the parameters are q, limit, "
       "offset, matchingStrategy, filter, sort, facets."},
      {"query is not a parameter here",
       {"GET", "query=dune", ""},
       400,
       "`query`"},
      {"index in the query string", {"GET", "index=books", ""}, 400, "`index`"},
      {"negative limit",
       {"GET", "limit=-5", ""},
       400,
       "`limit`: expected an integer of 0 or more"},
      {"limit not a number", {"GET", "limit=ten", ""}, 400, "`limit`"},
      {"empty offset", {"GET", "offset=", ""}, 400, "`offset`"},
      {"offset with a sign", {"GET", "offset=%2B1", ""}, 400, "`offset`"},
      {"repeated parameter",
       {"GET", "q=a&q=b", ""},
       400,
       "given more than once"},
      {"query too long", {"GET", q4097, ""}, 400, "at most 4096 bytes"},
      {"POST with query-string parameters",
       {"POST", "limit=1", "{\"q\":\"dune\"}"},
       400,
       "`limit`: a POST search takes its parameters from the JSON body"},
      {"POST body not an object",
       {"POST", "", "[\"dune\"]"},
       400,
       "expected a JSON object"},
      {"POST body not JSON",
       {"POST", "", "{\"q\":"},
       400,
       "expected a JSON object"},
      {"POST body with NUL", {"POST", "", std::string("{}\0x", 4)}, 400, "NUL"},
      {"POST wrong type", {"POST", "", "{\"limit\":\"5\"}"}, 400, "`limit`"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kRouter, row.req, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 400) << r.out;
    std::string body = body_of(r.out);
    EXPECT_NE(body.find("\"code\":\"invalid_search_parameter\""),
              std::string::npos)
        << body;
    EXPECT_NE(body.find(row.expect), std::string::npos) << body;
  }
  for (const Request &req :
       {Request{"GET", "matchingStrategy=last", ""},
        Request{"POST", "", "{\"matchingStrategy\":\"ALL\"}"}}) {
    ChildResult r = run(kRouter, req, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 400) << r.out;
    EXPECT_NE(r.out.find("\"code\":\"invalid_search_matching_strategy\""),
              std::string::npos)
        << r.out;
  }
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", "GET"},
             {"PATH_INFO", "/indexes/missing/search"},
             {"QUERY_STRING", "q=x"},
             {"LUMIDEX_STORAGE_DIR", tmp.path()}};
  ChildResult missing = lmxtest::run_program(kRouter, {}, job);
  EXPECT_EQ(lmxtest::response_status(missing.out), 404);
  EXPECT_NE(missing.out.find("\"code\":\"index_not_found\""),
            std::string::npos);
}

/* Books with filterable and sortable attributes, through the real engine. */
void seed_refined(const std::string &storage) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_documents_add(
                "books",
                R"([{"id":"1","title":"Dune","genre":"sf","year":1965},)"
                R"({"id":"2","title":"Emma","genre":"novel","year":1815},)"
                R"({"id":"3","title":"Dune Messiah","genre":"sf","year":1969},)"
                R"({"id":"4","title":"Untitled","tags":["x","y"]}])") != 4)
          std::exit(5);
        if (!lumidex_settings_update_json(
                "books",
                R"({"filterableAttributes":["genre","year","tags"],)"
                R"("sortableAttributes":["year","title"]})",
                nullptr, nullptr))
          std::exit(6);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

TEST(RouterSearch, FilterSortAndFacetsFromTheQueryStringOrTheBody) {
  TempDir tmp;
  seed_refined(tmp.path());
  const Row rows[] = {
      {"filter from the query string",
       {"GET", "filter=genre+%3D+sf&sort=year:desc", ""},
       200,
       R"("hits":[{"id":"3","title":"Dune Messiah","genre":"sf","year":1969},)"
       R"({"id":"1","title":"Dune","genre":"sf","year":1965}])"},
      {"sort list from the query string, missing last",
       {"GET", "sort=year:asc,title:asc&limit=4", ""},
       200,
       R"("hits":[{"id":"2")"},
      {"facets from the query string",
       {"GET", "q=dune&facets=genre,year", ""},
       200,
       R"("facetDistribution":{"genre":{"sf":2},"year":{"1965":1,"1969":1}},)"
       R"("facetStats":{"year":{"min":1965,"max":1969}}})"},
      {"filter array, sort and facets in a body",
       {"POST", "",
        R"({"filter":[["genre = novel","tags EXISTS"]],"sort":["title:desc"],)"
        R"("facets":["*"]})"},
       200,
       R"("hits":[{"id":"4","title":"Untitled","tags":["x","y"]},)"
       R"({"id":"2","title":"Emma","genre":"novel","year":1815}],)"},
      {"malformed filter: where and what",
       {"GET", "filter=year+%3E+soon", ""},
       400,
       R"({"message":"Invalid filter: expected a number after `>` at byte 7, )"
       R"(found `soon`.","code":"invalid_search_filter")"},
      {"filter on an attribute that is not filterable",
       {"POST", "", R"({"filter":"title = Dune"})"},
       400,
       R"(Attribute `title` is not filterable; the filterable attributes are )"
       R"(`genre`, `year`, `tags`.","code":"invalid_search_filter")"},
      {"sort on an attribute that is not sortable",
       {"GET", "sort=genre:asc", ""},
       400,
       R"(Attribute `genre` is not sortable; the sortable attributes are )"
       R"(`year`, `title`.","code":"invalid_search_sort")"},
      {"sort without a direction",
       {"GET", "sort=year", ""},
       400,
       R"("code":"invalid_search_sort")"},
      {"sort as text in a body",
       {"POST", "", R"({"sort":"year:asc"})"},
       400,
       R"("code":"invalid_search_sort")"},
      {"an empty element of a list",
       {"GET", "facets=genre,,year", ""},
       400,
       R"("code":"invalid_search_facets")"},
      {"facets on an attribute that is not filterable",
       {"POST", "", R"({"facets":["title"]})"},
       400,
       R"(`title` is not filterable)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kRouter, row.req, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_NE(body_of(r.out).find(row.expect), std::string::npos)
        << body_of(r.out).substr(0, 400);
  }
  /* The same through api_search: these parameters are not its own, and
   * its answer is the one it always gave. */
  ChildResult plain = run(kSearch, {"GET", "q=dune", ""}, tmp.path());
  ChildResult ignored = run(
      kSearch,
      {"GET", "q=dune&filter=genre+%3D+novel&sort=year:asc&facets=genre", ""},
      tmp.path());
  EXPECT_EQ(lmxtest::response_status(ignored.out), 200);
  auto no_time = [](std::string s) {
    size_t at = s.find("\"elapsed_ms\":");
    return at == std::string::npos ? s : s.substr(0, at);
  };
  EXPECT_EQ(no_time(body_of(ignored.out)), no_time(body_of(plain.out)));
  EXPECT_EQ(body_of(ignored.out).find("facet"), std::string::npos);
}

/* The specified program reads the same requests as it always has. */
TEST(RouterSearch, ApiSearchKeepsItsLenientReading) {
  TempDir tmp;
  seed(tmp.path());
  const Row rows[] = {
      {"unknown parameter",
       {"GET", "q=dune&lang=en", ""},
       200,
       "\"total_hits\":2"},
      {"query parameter", {"GET", "query=emma", ""}, 200, "\"total_hits\":1"},
      {"negative limit", {"GET", "q=dune&limit=-5", ""}, 200, "\"limit\":20"},
      {"strategy is not read",
       {"GET", "q=dune&matchingStrategy=x", ""},
       200,
       "\"total_hits\":2"},
      {"body not JSON", {"POST", "", "{\"q\":"}, 200, "\"total_hits\":3"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kSearch, row.req, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_NE(body_of(r.out).find(row.expect), std::string::npos)
        << body_of(r.out).substr(0, 300);
  }
}

}  // namespace
