/*
 * test_api_search.cpp: the built search program as a CGI process against the
 * real engine in a temporary storage directory.
 *
 * Documents are seeded through the engine's own C functions in a forked
 * child of the test (so the test process never keeps the library open), then
 * api_search runs with nothing but the CGI variables and the storage
 * directory in its environment. Every index used here holds one document
 * whose "id" is the index's own name, so a hit tells which index the program
 * searched.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "engine_child.h"
#include "lumidex_core.h"

namespace {

using lmxtest::with_engine;

const std::string kProgram = std::string(LMX_BUILD_DIR) + "/src/api_search";

std::string envelope(int status, const std::string &code,
                     const std::string &message) {
  return "Status: " + std::to_string(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"message\":\"" +
         message + "\",\"code\":\"" + code +
         "\",\"type\":\"invalid_request\",\"link\":\"https://"
         "docs.nolvaris.com/errors#" +
         code + "\"}\n";
}

/* The "id" members of the hits of a search answer body, in order; a single
 * "<unparsable>" entry when the body is no such answer. */
std::vector<std::string> hit_ids(const std::string &body) {
  std::vector<std::string> ids;
  yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
  yyjson_val *hits = yyjson_obj_get(yyjson_doc_get_root(doc), "hits");
  if (!yyjson_is_arr(hits)) {
    yyjson_doc_free(doc);
    return {"<unparsable>"};
  }
  size_t i, n;
  yyjson_val *hit;
  yyjson_arr_foreach(hits, i, n, hit) {
    const char *id = yyjson_get_str(yyjson_obj_get(hit, "id"));
    ids.push_back(id ? id : "<no id>");
  }
  yyjson_doc_free(doc);
  return ids;
}

class ApiSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = tmp_.sub("store");
    ASSERT_EQ(mkdir(store_.c_str(), 0700), 0);
    std::string seeded = with_engine(store_, [] {
      std::string r;
      const char *names[] = {"pathidx", "byindex", "byname", "byuid"};
      for (const char *name : names) {
        std::string doc = std::string("{\"id\":\"") + name +
                          "\",\"title\":\"heat wave in " + name + "\"}";
        r += std::to_string(lumidex_documents_add(name, doc.c_str())) + ",";
      }
      std::string movies =
          "[{\"id\":\"1\",\"title\":\"Heat\"},"
          "{\"id\":\"2\",\"title\":\"Alien\"}]";
      r += std::to_string(lumidex_documents_add("movies", movies.c_str()));
      return r;
    });
    ASSERT_EQ(seeded, "1,1,1,1,2");
  }

  lmxtest::ChildResult run(const std::map<std::string, std::string> &cgi,
                           const std::string &body = "") {
    lmxtest::ChildSpec job;
    job.env = cgi;
    job.env["LUMIDEX_STORAGE_DIR"] = store_;
    if (!body.empty()) {
      job.env["CONTENT_LENGTH"] = std::to_string(body.size());
      job.stdin_kind = lmxtest::StdinKind::Pipe;
      job.stdin_bytes = body;
    }
    lmxtest::ChildResult res = lmxtest::run_program(kProgram, {}, job);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.err, "");
    return res;
  }

  static std::string body_of(const lmxtest::ChildResult &res) {
    std::string headers, body;
    EXPECT_TRUE(lmxtest::split_response(res.out, &headers, &body)) << res.out;
    return body;
  }

  lmxtest::TempDir tmp_;
  std::string store_;
};

TEST_F(ApiSearch, IndexNameComesFromThePathThenIndexNameAndUid) {
  struct Row {
    const char *name;
    const char *path; /* nullptr leaves PATH_INFO unset */
    const char *qs;
    const char *want;
  } rows[] = {
      {"path beats query", "/indexes/pathidx/search", "index=byindex",
       "pathidx"},
      {"any route kind", "/indexes/pathidx/settings", "name=byname", "pathidx"},
      {"index beats name and uid", "/", "index=byindex&name=byname&uid=byuid",
       "byindex"},
      {"status path, name", "/status", "name=byname", "byname"},
      {"empty index skipped", nullptr, "index=&name=byname&uid=byuid",
       "byname"},
      {"uid last", "/indexes", "index=&name=&uid=byuid", "byuid"},
      {"query value decoded", "/index", "uid=by%75id", "byuid"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, std::string> cgi = {{"REQUEST_METHOD", "GET"},
                                              {"QUERY_STRING", row.qs}};
    if (row.path) cgi["PATH_INFO"] = row.path;
    lmxtest::ChildResult res = run(cgi);
    EXPECT_EQ(lmxtest::response_status(res.out), 200) << res.out;
    EXPECT_EQ(hit_ids(body_of(res)), std::vector<std::string>{row.want});
  }
}

TEST_F(ApiSearch, SearchFindsADocumentAddedBeforehand) {
  struct Row {
    const char *name;
    std::map<std::string, std::string> cgi;
    std::string body;
    std::vector<std::string> want;
  } rows[] = {
      {"query string",
       {{"REQUEST_METHOD", "GET"},
        {"PATH_INFO", "/indexes/movies/search"},
        {"QUERY_STRING", "q=heat"}},
       "",
       {"1"}},
      {"post body",
       {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/indexes/movies/search"}},
       "{\"q\":\"alien\"}",
       {"2"}},
      {"empty query lists, limited by the query string",
       {{"REQUEST_METHOD", "GET"},
        {"PATH_INFO", "/indexes/movies"},
        {"QUERY_STRING", "limit=1&offset=1"}},
       "",
       {"2"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lmxtest::ChildResult res = run(row.cgi, row.body);
    EXPECT_EQ(lmxtest::response_status(res.out), 200) << res.out;
    const std::string head =
        "Status: 200\r\nContent-Type: application/json; "
        "charset=utf-8\r\n\r\n{";
    EXPECT_EQ(res.out.substr(0, head.size()), head);
    EXPECT_EQ(res.out.back(), '\n');
    EXPECT_EQ(hit_ids(body_of(res)), row.want);
  }
}

TEST_F(ApiSearch, AQueryInAScriptWithoutSpacesFindsTheRunHoldingIt) {
  std::string seeded = with_engine(store_, [] {
    return std::to_string(lumidex_documents_add(
        "books",
        "[{\"id\":\"neko\",\"title\":\"吾輩は猫である\"},"
        "{\"id\":\"inu\",\"title\":\"犬と猫 Linux カーネル\"}]"));
  });
  ASSERT_EQ(seeded, "2");
  struct Row {
    const char *name;
    std::map<std::string, std::string> cgi;
    std::string body;
    std::vector<std::string> want;
    const char *marked; /* the highlighted title of the hit want[0] */
  } rows[] = {
      {"one character, percent-encoded",
       {{"REQUEST_METHOD", "GET"},
        {"PATH_INFO", "/indexes/books/search"},
        {"QUERY_STRING", "q=%E7%8C%AB"}},
       "",
       {"neko", "inu"},
       "吾輩は<em>猫</em>である"},
      {"a run in a body",
       {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/indexes/books/search"}},
       "{\"q\":\"猫である\"}",
       {"neko"},
       "吾輩は<em>猫である</em>"},
      {"mixed with a Latin word",
       {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/indexes/books/search"}},
       "{\"q\":\"linux カーネル\"}",
       {"inu"},
       "犬と猫 <em>Linux</em> <em>カーネル</em>"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lmxtest::ChildResult res = run(row.cgi, row.body);
    EXPECT_EQ(lmxtest::response_status(res.out), 200) << res.out;
    std::string body = body_of(res);
    /* Hits come best first; which of two equal matches leads is the
     * ranking's business, not this test's. */
    const std::vector<std::string> order = hit_ids(body);
    std::vector<std::string> got = order, want = row.want;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    size_t at = static_cast<size_t>(
        std::find(order.begin(), order.end(), row.want[0]) - order.begin());
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    const char *marked = yyjson_get_str(yyjson_ptr_get(
        yyjson_doc_get_root(doc),
        ("/hits/" + std::to_string(at) + "/_highlighted/title").c_str()));
    EXPECT_EQ(std::string(marked ? marked : "<none>"), row.marked) << body;
    yyjson_doc_free(doc);
  }
}

TEST_F(ApiSearch, DeleteOnADocumentPathOnlySearches) {
  lmxtest::ChildResult res = run({{"REQUEST_METHOD", "DELETE"},
                                  {"PATH_INFO", "/indexes/movies/documents/1"},
                                  {"QUERY_STRING", "q=heat"}});
  EXPECT_EQ(lmxtest::response_status(res.out), 200) << res.out;
  EXPECT_EQ(hit_ids(body_of(res)), std::vector<std::string>{"1"});
  std::string doc = with_engine(store_, [] {
    const char *d = lumidex_document_get("movies", "1");
    return std::string(d ? d : "<gone>");
  });
  EXPECT_NE(doc.find("\"Heat\""), std::string::npos) << doc;
}

/* The search program honours the router's access keys: installed next to
 * the router, it must not answer searches the router refuses. A search is a
 * read whatever the method or path, so the read key opens it even on a
 * document path with DELETE; with no key configured nothing is asked. */
TEST_F(ApiSearch, ConfiguredKeysGuardSearchesAsTheRouterDoes) {
  struct Row {
    const char *what;
    std::map<std::string, std::string> keys;
    const char *method, *path;
    int want;
  } rows[] = {
      {"no key configured, none given",
       {},
       "GET",
       "/indexes/movies/search",
       200},
      {"no key configured, one given",
       {{"HTTP_X_LUMIDEX_KEY", "x"}},
       "GET",
       "/indexes/movies/search",
       200},
      {"read key configured, none given",
       {{"LUMIDEX_READ_KEY", "r"}},
       "GET",
       "/indexes/movies/search",
       401},
      {"read key configured, wrong one",
       {{"LUMIDEX_READ_KEY", "r"}, {"HTTP_X_LUMIDEX_KEY", "rr"}},
       "GET",
       "/indexes/movies/search",
       401},
      {"read key configured and given",
       {{"LUMIDEX_READ_KEY", "r"}, {"HTTP_X_LUMIDEX_KEY", "r"}},
       "GET",
       "/indexes/movies/search",
       200},
      {"write key opens reads too",
       {{"LUMIDEX_READ_KEY", "r"},
        {"LUMIDEX_WRITE_KEY", "w"},
        {"HTTP_X_LUMIDEX_KEY", "w"}},
       "POST",
       "/indexes/movies/search",
       200},
      {"DELETE on a document path is still a read",
       {{"LUMIDEX_READ_KEY", "r"},
        {"LUMIDEX_WRITE_KEY", "w"},
        {"HTTP_X_LUMIDEX_KEY", "r"}},
       "DELETE",
       "/indexes/movies/documents/1",
       200},
      {"only a write key configured: reads stay open",
       {{"LUMIDEX_WRITE_KEY", "w"}},
       "GET",
       "/indexes/movies/search",
       200},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    std::map<std::string, std::string> env = row.keys;
    env["REQUEST_METHOD"] = row.method;
    env["PATH_INFO"] = row.path;
    env["QUERY_STRING"] = "q=heat";
    lmxtest::ChildResult res = run(env);
    if (row.want == 401) {
      EXPECT_EQ(res.out, envelope(401, "unauthorized",
                                  "A valid key is required for this request"));
    } else {
      EXPECT_EQ(lmxtest::response_status(res.out), 200) << res.out;
      EXPECT_EQ(hit_ids(body_of(res)), std::vector<std::string>{"1"});
    }
  }
}

TEST_F(ApiSearch, FailuresAreEnvelopesWithExitCodeZero) {
  lmxtest::ChildResult res =
      run({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/status"}});
  EXPECT_EQ(res.out,
            envelope(400, "missing_index_name", "Index name is required"));

  res =
      run({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/indexes/nosuch/search"}});
  EXPECT_EQ(lmxtest::response_status(res.out), 404) << res.out;
  std::string body = body_of(res);
  EXPECT_NE(body.find("\"code\":\"index_not_found\""), std::string::npos);
  EXPECT_NE(body.find("errors#index_not_found\"}\n"), std::string::npos);
}

TEST(ApiSearchInit, UnusableStorageDirectoryIsA500WithExitCodeZero) {
  lmxtest::TempDir tmp;
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("file"), "not a directory"));
  ASSERT_EQ(mkdir(tmp.sub("open").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp.sub("open").c_str(), 0777), 0);
  struct Row {
    const char *name;
    std::string dir;
  } rows[] = {
      {"below a regular file", tmp.sub("file/store")},
      {"the regular file itself", tmp.sub("file")},
      {"writable by everyone", tmp.sub("open")},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lmxtest::ChildSpec job;
    job.env = {{"LUMIDEX_STORAGE_DIR", row.dir},
               {"REQUEST_METHOD", "GET"},
               {"PATH_INFO", "/indexes/movies/search"},
               {"QUERY_STRING", "q=x"}};
    lmxtest::ChildResult res = lmxtest::run_program(kProgram, {}, job);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, envelope(500, "engine_init_failed",
                                "Failed to initialize lumidex engine"));
  }
}

}  // namespace
