/*
 * test_lmx_search.cpp: the search handler against the engine test double.
 *
 * Each case runs the handler in a forked child with a CGI environment and a
 * body on standard input; the child prints the double's call log to standard
 * error, so the tests see both the exact response bytes and the exact
 * arguments that reached lumidex_search (values the real engine would clamp
 * or never produce).
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "child.h"
#include "engine_double.h"
#include "lmx_common.h"
#include "nl_cgi.h"

namespace {

const char kJsonHeaders200[] =
    "Status: 200\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";

struct Request {
  std::string method = "GET";
  std::string query_string; /* "" leaves QUERY_STRING unset */
  std::string body;         /* sent on stdin with CONTENT_LENGTH when set */
  bool has_body = false;
};

lmxtest::ChildSpec spec_for(const Request &req) {
  lmxtest::ChildSpec job;
  job.env["REQUEST_METHOD"] = req.method;
  if (!req.query_string.empty()) job.env["QUERY_STRING"] = req.query_string;
  if (req.has_body) {
    job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
    job.stdin_kind = lmxtest::StdinKind::File;
    job.stdin_bytes = req.body;
  }
  return job;
}

/* Runs body_of_child in a child after resetting the double and applying
 * script; the child then dumps the call log to stderr. */
lmxtest::ChildResult run(
    const lmxtest::ChildSpec &job, const std::function<void()> &body_of_child,
    const std::function<void(dbl::Script &)> &script = [](dbl::Script &) {}) {
  return lmxtest::run_child(
      [&] {
        dbl::reset();
        script(dbl::script());
        body_of_child();
        dbl::dump(stderr);
      },
      job);
}

lmxtest::ChildResult search(const Request &req, const char *index = "movies") {
  return run(spec_for(req), [&] { lmx_execute_search(index); });
}

Request get(const std::string &qs) {
  Request r;
  r.query_string = qs;
  return r;
}

Request post(const std::string &body, const std::string &qs = "") {
  Request r;
  r.method = "POST";
  r.body = body;
  r.has_body = true;
  r.query_string = qs;
  return r;
}

std::string call(const std::string &query, int limit, int offset) {
  return "lumidex_search(movies|" + query + "|" + std::to_string(limit) + "|" +
         std::to_string(offset) + ")\n";
}

struct SearchRow {
  const char *name;
  Request req;
  std::string want_call;
};

void expect_calls(const SearchRow *rows, size_t n) {
  for (size_t i = 0; i < n; i++) {
    SCOPED_TRACE(rows[i].name);
    lmxtest::ChildResult res = search(rows[i].req);
    EXPECT_EQ(res.err, rows[i].want_call);
    EXPECT_EQ(res.out, std::string(kJsonHeaders200) + "{\"hits\":[]}\n");
  }
}

TEST(LmxSearch, QueryTextFromTheBodyBeatsTheQueryString) {
  const SearchRow rows[] = {
      {"nothing anywhere", get(""), call("", 20, 0)},
      {"query string alone", get("q=shoes&limit=5&offset=10"),
       call("shoes", 5, 10)},
      {"query string q before query", get("query=boots&q=shoes"),
       call("shoes", 20, 0)},
      {"empty q falls to query", get("q=&query=boots"), call("boots", 20, 0)},
      {"body q and limit", post("{\"q\":\"shoes\",\"limit\":5}"),
       call("shoes", 5, 0)},
      {"body q beats query string q", post("{\"q\":\"shoes\"}", "q=boots"),
       call("shoes", 20, 0)},
      {"empty body q gives way", post("{\"q\":\"\"}", "q=boots"),
       call("boots", 20, 0)},
      {"body query alone", post("{\"query\":\"shoes\"}"), call("shoes", 20, 0)},
      {"non-string q hides body query", post("{\"q\":7,\"query\":\"shoes\"}"),
       call("", 20, 0)},
      {"non-string q, query string used",
       post("{\"q\":7,\"query\":\"shoes\"}", "query=boots"),
       call("boots", 20, 0)},
      {"null q hides body query", post("{\"q\":null,\"query\":\"shoes\"}"),
       call("", 20, 0)},
      {"first of two q members", post("{\"q\":\"a\",\"q\":\"b\"}"),
       call("a", 20, 0)},
      {"keys are case-sensitive", post("{\"Q\":\"a\",\"Limit\":3}"),
       call("", 20, 0)},
      {"body text goes unchanged", post("{\"q\":\"a\\\"b \\u00e9\"}"),
       call("a\"b \xc3\xa9", 20, 0)},
      {"body query cut at 511 bytes",
       post("{\"q\":\"" + std::string(600, 'w') + "\"}"),
       call(std::string(511, 'w'), 20, 0)},
      {"query string cut at 511 bytes", get("q=" + std::string(600, 'w')),
       call(std::string(511, 'w'), 20, 0)},
  };
  expect_calls(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxSearch, BodyNumbersCountOnlyWhenStoredAsIntegers) {
  const SearchRow rows[] = {
      {"real", post("{\"limit\":5.0}"), call("", 20, 0)},
      {"exponent", post("{\"limit\":1e1}"), call("", 20, 0)},
      {"string", post("{\"limit\":\"5\"}"), call("", 20, 0)},
      {"boolean", post("{\"limit\":true}"), call("", 20, 0)},
      {"negative reaches engine", post("{\"limit\":-3}"), call("", -3, 0)},
      {"zero reaches engine", post("{\"limit\":0}"), call("", 0, 0)},
      {"low 32 bits of 2^32+5", post("{\"limit\":4294967301}"), call("", 5, 0)},
      {"low 32 bits of 2^31", post("{\"limit\":2147483648}"),
       call("", -2147483647 - 1, 0)},
      {"unsigned above int64", post("{\"limit\":18446744073709551615}"),
       call("", -1, 0)},
      {"offset", post("{\"offset\":10}"), call("", 20, 10)},
      {"negative offset", post("{\"offset\":-4}"), call("", 20, -4)},
      {"real offset", post("{\"offset\":1.5}"), call("", 20, 0)},
  };
  expect_calls(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxSearch, QueryStringLimitAndOffsetBeatTheBodyWithinTheirRanges) {
  const std::string body = "{\"limit\":5,\"offset\":10}";
  const SearchRow rows[] = {
      {"limit 7 overrides", post(body, "limit=7"), call("", 7, 10)},
      {"limit 0 ignored", post(body, "limit=0"), call("", 5, 10)},
      {"limit -5 ignored", post(body, "limit=-5"), call("", 5, 10)},
      {"limit abc ignored", post(body, "limit=abc"), call("", 5, 10)},
      {"limit empty ignored", post(body, "limit="), call("", 5, 10)},
      {"limit leading digits", get("limit=12abc"), call("", 12, 0)},
      {"limit saturates", get("limit=99999999999"), call("", 2147483647, 0)},
      {"offset 3 overrides", post(body, "offset=3"), call("", 5, 3)},
      {"offset 0 overrides", post(body, "offset=0"), call("", 5, 0)},
      {"offset abc is zero", post(body, "offset=abc"), call("", 5, 0)},
      {"offset -1 ignored", post(body, "offset=-1"), call("", 5, 10)},
      {"offset empty ignored", post(body, "offset="), call("", 5, 10)},
  };
  expect_calls(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxSearch, OnlyAnExactPostWithAUsableObjectBodyContributes) {
  const std::string body = "{\"q\":\"shoes\",\"limit\":5,\"offset\":2}";
  Request lower = post(body);
  lower.method = "post";
  Request put = post(body);
  put.method = "PUT";
  Request no_length;
  no_length.method = "POST";
  const SearchRow rows[] = {
      {"exact POST", post(body), call("shoes", 5, 2)},
      {"lower-case post reads nothing", lower, call("", 20, 0)},
      {"PUT reads nothing", put, call("", 20, 0)},
      {"POST without body", no_length, call("", 20, 0)},
      {"empty body", post(""), call("", 20, 0)},
      {"array body", post("[{\"q\":\"shoes\"}]"), call("", 20, 0)},
      {"not json", post("q=shoes"), call("", 20, 0)},
      {"trailing garbage", post(body + "x"), call("", 20, 0)},
      {"comment extension refused", post("{\"q\":\"a\"/*c*/}"),
       call("", 20, 0)},
      {"empty object", post("{}", "q=boots"), call("boots", 20, 0)},
      {"string root", post("\"shoes\""), call("", 20, 0)},
  };
  expect_calls(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxSearch, BodyIsAlsoTakenFromTheHostsBodyFile) {
  lmxtest::TempDir tmp;
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("body"), "{\"q\":\"filed\"}"));
  lmxtest::ChildSpec job = spec_for(post(""));
  job.env.erase("CONTENT_LENGTH");
  job.env["POST_BODY_FILE"] = tmp.sub("body");
  lmxtest::ChildResult res = run(job, [] { lmx_execute_search("movies"); });
  EXPECT_EQ(res.err, call("filed", 20, 0));
}

TEST(LmxSearch, EngineAnswerIsWrittenUnchanged) {
  const std::string answer = "{\"hits\":[{\"id\":\"1\"}],\"odd\":\"\\u0001\"}";
  lmxtest::ChildResult res = run(
      spec_for(get("q=x")), [] { lmx_execute_search("movies"); },
      [&](dbl::Script &s) { s.search = answer; });
  EXPECT_EQ(res.out, std::string(kJsonHeaders200) + answer + "\n");
  /* The last error is consulted only after a failure. */
  EXPECT_EQ(res.err, call("x", 20, 0));
}

TEST(LmxSearch, EngineFailureIsA404WithTheEnginesTextOrTheFallback) {
  struct Row {
    const char *name;
    std::optional<std::string> last_error;
    std::string want_message;
  } rows[] = {
      {"engine text", std::string("no index \"movies\""),
       "no index \\\"movies\\\""},
      {"null last error", std::nullopt, "Index not found"},
      {"empty last error", std::string(""), "Index not found"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lmxtest::ChildResult res = run(
        spec_for(get("")), [] { lmx_execute_search("movies"); },
        [&](dbl::Script &s) {
          s.search = std::nullopt;
          s.last_error = row.last_error;
        });
    EXPECT_EQ(res.out,
              "Status: 404\r\nContent-Type: application/json; "
              "charset=utf-8\r\n\r\n{\"message\":\"" +
                  row.want_message +
                  "\",\"code\":\"index_not_found\",\"type\":"
                  "\"invalid_request\",\"link\":\"https://docs.nolvaris.com/"
                  "errors#index_not_found\"}\n");
    EXPECT_EQ(res.err, call("", 20, 0) + "lumidex_last_error()\n");
  }
}

TEST(LmxSearch, EmptyNameIsRejectedBeforeTheRequestIsRead) {
  const std::string body = "{\"q\":\"shoes\"}";
  const char *names[] = {nullptr, ""};
  const char *methods[] = {"GET", "POST", "DELETE"};
  for (const char *name : names) {
    for (const char *method : methods) {
      SCOPED_TRACE(std::string(name ? "empty" : "null") + " " + method);
      Request req = post(body, "keep=1&q=a&query=b&limit=5&offset=1&k=v");
      req.method = method;
      lmxtest::ChildSpec job = spec_for(req);
      job.stdin_kind = lmxtest::StdinKind::Pipe;
      lmxtest::ChildResult res = run(job, [&] {
        /* A lookup made before the handler survives seven more only if
         * the handler made none; the body is untouched only if it is still
         * all there on standard input. */
        const char *kept = cgi_query("keep");
        lmx_execute_search(name);
        for (int i = 0; i < 7; i++) cgi_query("k");
        char buf[256];
        size_t left = fread(buf, 1, sizeof buf, stdin);
        fprintf(stderr, "kept=%s left=%zu\n", kept, left);
      });
      EXPECT_EQ(res.out,
                "Status: 400\r\nContent-Type: application/json; "
                "charset=utf-8\r\n\r\n{\"message\":\"Index name is "
                "required\",\"code\":\"missing_index_name\",\"type\":"
                "\"invalid_request\",\"link\":\"https://docs.nolvaris.com/"
                "errors#missing_index_name\"}\n");
      EXPECT_EQ(res.err, "kept=1 left=" + std::to_string(body.size()) + "\n");
    }
  }
}

TEST(LmxSearch, IndexNameFromAQueryLookupSurvivesTheHandlersLookups) {
  /* The name's slot is followed by three other lookups, so the ring has
   * exactly four slots left before it comes back to the name: the handler
   * must use no more than that ("q" is empty, so all four happen). */
  lmxtest::ChildSpec job =
      spec_for(get("uid=films&q=&query=shoes&limit=5&offset=2&f=z"));
  lmxtest::ChildResult res = run(job, [] {
    const char *name = cgi_query("uid");
    for (int i = 0; i < 3; i++) cgi_query("f");
    lmx_execute_search(name);
  });
  EXPECT_EQ(res.err, "lumidex_search(films|shoes|5|2)\n");
}

}  // namespace
