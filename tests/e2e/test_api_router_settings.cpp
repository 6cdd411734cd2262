/*
 * test_api_router_settings.cpp: the settings route of api_router, run as a
 * CGI process on storage seeded through the real engine: every method, the
 * answers' exact bytes, the refusals with their codes and messages, the
 * access keys, and that a change reaches the searches that follow.
 */
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "child.h"
#include "lmx_common.h"
#include "lumidex_core.h"
#include "patterns.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";

const std::string kDefaults =
    R"({"searchableAttributes":["*"],"displayedAttributes":["*"],)"
    R"("language":null,"stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})";

using Request = lmxtest::CgiRequest;
using lmxtest::response_body;
using lmxtest::response_headers;

std::string body_of(const std::string &raw) { return response_body(raw); }
std::string headers_of(const std::string &raw) { return response_headers(raw); }

std::string error_code(const std::string &raw) {
  return lmxtest::error_code(body_of(raw));
}

void seed(const std::string &storage) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_documents_add(
                "books",
                R"([{"id":"1","title":"Dune","author":"Herbert"},)"
                R"({"id":"2","title":"Emma","author":"Austen"}])") != 2)
          std::exit(5);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

std::string changed(const std::string &settings) {
  return R"({"status":"succeeded","type":"settingsUpdate","taskUid":1,)"
         R"("settings":)" +
         settings + "}\n";
}

class RouterSettings : public ::testing::Test {
 protected:
  void SetUp() override { seed(storage_.path()); }
  ChildResult run(const Request &req) {
    return lmxtest::run_cgi(kRouter, req, storage_.path());
  }
  int hits(const char *q) {
    ChildResult r =
        run({"GET", "/indexes/books/search", "", {}, std::string("q=") + q});
    lmxtest::Match m;
    return lmxtest::search(body_of(r.out), "\"total_hits\":([0-9]+)", &m)
               ? std::stoi(m.str(1))
               : -1;
  }
  TempDir storage_;
};

TEST_F(RouterSettings, GetPatchDeleteAnswerTheWholeObject) {
  ChildResult r = run({"GET", "/indexes/books/settings", "", {}});
  EXPECT_EQ(lmxtest::response_status(r.out), 200);
  EXPECT_NE(headers_of(r.out).find("Content-Type: application/json"),
            std::string::npos);
  EXPECT_EQ(body_of(r.out), kDefaults + "\n");

  const std::string after =
      R"({"searchableAttributes":["author"],"displayedAttributes":["*"],)"
      R"("language":"en","stopWords":["the"],"synonyms":{"sf":["science fiction"]},"filterableAttributes":[],"sortableAttributes":[]})";
  r = run({"PATCH",
           "/indexes/books/settings",
           R"({"searchableAttributes":["author"],"language":"en",)"
           R"("stopWords":["the"],"synonyms":{"sf":["science fiction"]}})",
           {}});
  EXPECT_EQ(lmxtest::response_status(r.out), 200) << r.out;
  EXPECT_EQ(body_of(r.out), changed(after));
  EXPECT_EQ(body_of(run({"GET", "/indexes/books/settings", "", {}}).out),
            after + "\n");
  /* The change reached the index: only the author is searched now. */
  EXPECT_EQ(hits("dune"), 0);
  EXPECT_EQ(hits("austen"), 1);

  /* A PATCH keeps the members it does not name; null resets one. */
  r = run({"PATCH",
           "/indexes/books/settings",
           R"({"language":null,"synonyms":null})",
           {}});
  EXPECT_EQ(
      body_of(r.out),
      changed(
          R"({"searchableAttributes":["author"],)"
          R"("displayedAttributes":["*"],"language":null,)"
          R"("stopWords":["the"],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})"));

  /* The attribute lists come after the other members, in the order given. */
  r = run({"PATCH",
           "/indexes/books/settings",
           R"({"sortableAttributes":["title"],)"
           R"("filterableAttributes":["author","title"]})",
           {}});
  EXPECT_EQ(lmxtest::response_status(r.out), 200) << r.out;
  EXPECT_EQ(body_of(r.out),
            changed(R"({"searchableAttributes":["author"],)"
                    R"("displayedAttributes":["*"],"language":null,)"
                    R"("stopWords":["the"],"synonyms":{},)"
                    R"("filterableAttributes":["author","title"],)"
                    R"("sortableAttributes":["title"]})"));
  EXPECT_EQ(hits("austen"), 1);

  r = run({"DELETE", "/indexes/books/settings", "", {}});
  EXPECT_EQ(lmxtest::response_status(r.out), 200);
  EXPECT_EQ(body_of(r.out), changed(kDefaults));
  EXPECT_EQ(hits("dune"), 1);
  /* Resetting defaults is no error. */
  EXPECT_EQ(body_of(run({"DELETE", "/indexes/books/settings", "", {}}).out),
            changed(kDefaults));
}

TEST_F(RouterSettings, RefusalsNameWhatWasWrong) {
  struct Row {
    std::string method, path, body;
    int status;
    const char *code;
    const char *in_message;
  } rows[] = {
      {"PATCH", "/indexes/books/settings", "", 400, "invalid_settings",
       "JSON object"},
      {"PATCH", "/indexes/books/settings", "[]", 400, "invalid_settings",
       "JSON object"},
      {"PATCH", "/indexes/books/settings", "{\"language\":", 400,
       "invalid_settings", "JSON object"},
      {"PATCH", "/indexes/books/settings", std::string("{}\0{}", 5), 400,
       "invalid_settings", "NUL"},
      {"PATCH", "/indexes/books/settings", R"({"rankingRules":[]})", 400,
       "invalid_settings", "rankingRules"},
      {"PATCH", "/indexes/books/settings", R"({"stopWords":"the"})", 400,
       "invalid_settings", "stopWords"},
      {"PATCH", "/indexes/books/settings", R"({"searchableAttributes":[]})",
       400, "invalid_settings", "searchableAttributes"},
      {"PATCH", "/indexes/books/settings", R"({"language":"xx"})", 400,
       "invalid_settings", "`language` takes null or one of"},
      {"PATCH", "/indexes/books/settings", R"({"filterableAttributes":"a"})",
       400, "invalid_settings", "`filterableAttributes` takes an array"},
      {"PATCH", "/indexes/books/settings",
       R"({"sortableAttributes":["a","a"]})", 400, "invalid_settings",
       "`sortableAttributes` takes an array"},
      {"GET", "/indexes/missing/settings", "", 404, "index_not_found",
       "missing"},
      {"PATCH", "/indexes/missing/settings", "{}", 404, "index_not_found",
       "missing"},
      {"DELETE", "/indexes/missing/settings", "", 404, "index_not_found",
       "missing"},
      {"GET", "/indexes/bad.name/settings", "", 404, "index_not_found",
       "bad.name"},
      {"POST", "/indexes/books/settings", "{}", 405, "method_not_allowed", ""},
      {"PUT", "/indexes/books/settings", "{}", 405, "method_not_allowed", ""},
      {"GET", "/indexes/books/settings/x", "", 404, "route_not_found", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.method + " " + row.path + " " + row.body);
    ChildResult r = run({row.method, row.path, row.body, {}});
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
    EXPECT_EQ(error_code(r.out), row.code);
    EXPECT_NE(body_of(r.out).find(row.in_message), std::string::npos)
        << body_of(r.out);
    if (row.status == 405) {
      EXPECT_NE(headers_of(r.out).find("Allow: GET, PATCH, DELETE\r\n"),
                std::string::npos)
          << r.out;
    }
  }
  /* Nothing of the refused changes was kept. */
  EXPECT_EQ(body_of(run({"GET", "/indexes/books/settings", "", {}}).out),
            kDefaults + "\n");
}

TEST_F(RouterSettings, WritesNeedTheWriteKeyAndReadsTheReadKey) {
  const std::map<std::string, std::string> keys = {
      {"LUMIDEX_WRITE_KEY", "w-key"}, {"LUMIDEX_READ_KEY", "r-key"}};
  struct Row {
    const char *method;
    const char *given;
    int status;
  } rows[] = {
      {"GET", "", 401},         {"GET", "r-key", 200},
      {"GET", "w-key", 200},    {"PATCH", "", 401},
      {"PATCH", "r-key", 401},  {"PATCH", "w-key", 200},
      {"DELETE", "r-key", 401}, {"DELETE", "w-key", 200},
      {"POST", "r-key", 401},   {"POST", "w-key", 405},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.method) + " with '" + row.given + "'");
    Request req{row.method, "/indexes/books/settings", R"({"stopWords":["a"]})",
                keys};
    if (row.given[0]) req.env["HTTP_X_LUMIDEX_KEY"] = row.given;
    ChildResult r = run(req);
    EXPECT_EQ(lmxtest::response_status(r.out), row.status) << r.out;
  }
}

}  // namespace
