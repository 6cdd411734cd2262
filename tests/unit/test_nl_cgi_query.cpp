/*
 * test_nl_cgi_query.cpp: request variables and query-string lookup.
 *
 * Lookups of values run in this process with the variables set for each
 * row; the ring of result buffers is checked in forked children, so each
 * such test starts from the module's initial state (no lookup made yet).
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "child.h"
#include "nl_cgi.h"

namespace {

/* Sets name to value, or unsets it when value is null. */
void put_env(const char *name, const char *value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

struct QueryRow {
  const char *query_string;
  const char *key;
  std::string expected;
};

TEST(NlCgiQuery, DecodesTheFirstParameterWhoseNameMatchesExactly) {
  const std::vector<QueryRow> rows = {
      {"a=1&b=hello+world%21", "b", "hello world!"},
      {"a=1&b=hello+world%21", "a", "1"},
      {"a=1&b=hello+world%21", "B", ""},
      {"a=1&b=hello+world%21", "c", ""},
      {"x=1&x=2", "x", "1"},
      {"flag&y=2", "flag", ""},
      {"flag&y=2", "y", "2"},
      {"y=", "y", ""},
      {"y=&y=2", "y", ""},
      {"k=a=b", "k", "a=b"},
      {"qq=1&q=2", "q", "2"},
      {"q=1", "qq", ""},
      {"q=1", "Q", ""},
      {"&&q=1", "q", "1"},
      {"a=1&", "b", ""},
      {"a=1&&", "b", ""},
      {"=v&q=1", "q", "1"},
      {"my%20key=1", "my key", ""},
      {"my%20key=1", "my%20key", "1"},
      {"q=%2B+%2b", "q", "+ +"},
      {"q=%41%62", "q", "Ab"},
      {"q=%c3%A9", "q", "\xC3\xA9"},
      {"q=a%00b", "q", "a"},
      {"q=%01%1f%7F%80%ff", "q", "\x01\x1f\x7f\x80\xff"},
  };
  for (const auto &row : rows) {
    put_env("QUERY_STRING", row.query_string);
    EXPECT_EQ(cgi_query(row.key), row.expected)
        << "query " << row.query_string << " key " << row.key;
  }
}

/* Every parameter of the query string in order, as name=value pairs with
 * the value lengths the walk reports. */
std::vector<std::string> walk(const char *qs, size_t name_size = 64,
                              size_t value_size = 64) {
  put_env("QUERY_STRING", qs);
  std::vector<std::string> out;
  std::vector<char> name(name_size), value(value_size);
  size_t pos = 0, name_len = 0, value_len = 0;
  while (cgi_query_next(&pos, name.data(), name.size(), &name_len, value.data(),
                        value.size(), &value_len))
    out.push_back(
        std::string(name.data()) + "(" + std::to_string(name_len) +
        ")=" + std::string(value.data(), std::min(value_len, value_size - 1)) +
        "(" + std::to_string(value_len) + ")");
  return out;
}

TEST(NlCgiQuery, TheWalkSeesEveryParameterInOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(walk("a=1&b=hello+world%21"),
            (V{"a(1)=1(1)", "b(1)=hello world!(12)"}));
  EXPECT_EQ(walk("x=1&x=2"), (V{"x(1)=1(1)", "x(1)=2(1)"}));
  EXPECT_EQ(walk("&&flag&&y=&"), (V{"flag(4)=(0)", "y(1)=(0)"}));
  EXPECT_EQ(walk("my%20key=1"), (V{"my%20key(8)=1(1)"}));
  EXPECT_EQ(walk("q=a%00b")[0], std::string("q(1)=a\0b(3)", 11));
  EXPECT_EQ(walk("=v"), (V{"(0)=v(1)"}));
  EXPECT_EQ(walk(""), V{});
  EXPECT_EQ(walk(nullptr), V{});
  /* Cut names and values report their whole lengths. */
  EXPECT_EQ(walk("longname=abcdef", 5, 4), (V{"long(8)=abc(6)"}));
}

TEST(NlCgiQuery, CopiesMalformedPercentEscapesLiterally) {
  const std::vector<QueryRow> rows = {
      {"q=100%", "q", "100%"}, {"q=%zz1", "q", "%zz1"}, {"q=%4", "q", "%4"},
      {"q=%", "q", "%"},       {"q=%4&r=1", "q", "%4"}, {"q=%%41", "q", "%A"},
      {"q=%4g", "q", "%4g"},   {"q=%g4", "q", "%g4"},   {"q=%+41", "q", "% 41"},
      {"q=a%2", "q", "a%2"},   {"q=%%%", "q", "%%%"},   {"q=%4%41", "q", "%4A"},
  };
  for (const auto &row : rows) {
    put_env("QUERY_STRING", row.query_string);
    EXPECT_EQ(cgi_query(row.key), row.expected) << row.query_string;
  }
}

TEST(NlCgiQuery, CutsDecodedValuesAt511Bytes) {
  struct Row {
    std::string value;
    std::string expected;
  };
  std::string escaped_600;
  for (int i = 0; i < 600; i++) escaped_600 += "%41";
  const std::vector<Row> rows = {
      {std::string(511, 'v'), std::string(511, 'v')},
      {std::string(512, 'v'), std::string(511, 'v')},
      {std::string(600, 'v'), std::string(511, 'v')},
      {escaped_600, std::string(511, 'A')},
      {std::string(510, 'v') + "%41%42", std::string(510, 'v') + "A"},
  };
  for (const auto &row : rows) {
    std::string qs = "q=" + row.value + "&r=1";
    put_env("QUERY_STRING", qs.c_str());
    EXPECT_EQ(cgi_query("q"), row.expected) << "value of " << row.value.size();
  }
}

TEST(NlCgiQuery, FallsBackToTheEnvironmentWithoutAQueryString) {
  struct Row {
    const char *query_string; /* null: unset */
    const char *index_var;    /* null: unset */
    std::string expected;
  };
  const std::vector<Row> rows = {
      {nullptr, "books", "books"},
      {"", "books", "books"},
      {nullptr, "a;b:c", ""},
      {nullptr, "a;b", "a;b"},
      {nullptr, "c:/x", "c:/x"},
      {nullptr, "a+b%21", "a+b%21"}, /* returned as it is, not decoded */
      {nullptr, "", ""},
      {nullptr, nullptr, ""},
      {"other=1", "books", ""}, /* a query string wins over the variable */
  };
  for (const auto &row : rows) {
    put_env("QUERY_STRING", row.query_string);
    put_env("index", row.index_var);
    EXPECT_EQ(cgi_query("index"), row.expected)
        << "index=" << (row.index_var ? row.index_var : "(unset)");
  }
  unsetenv("index");
}

TEST(NlCgiQuery, NullOrEmptyKeyGivesTheEmptyText) {
  put_env("QUERY_STRING", "=x&a=1");
  for (const char *key : {static_cast<const char *>(nullptr), ""}) {
    const char *value = cgi_query(key);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
  }
}

/* Child transcript helpers: results travel to the parent as text. */
void say(const std::string &line) { fputs((line + "\n").c_str(), stdout); }

TEST(NlCgiQuery, ResultSurvivesSevenLookupsAndTheEighthReusesItsBuffer) {
  lmxtest::ChildSpec job;
  job.env["QUERY_STRING"] = "keep=kept&k1=1&k2=2&k3=3&k4=4&k5=5&k6=6&k7=7";
  auto res = lmxtest::run_child(
      [] {
        const char *first = cgi_query("keep");
        const char *keys[] = {"k1", "k2", "k3", "k4", "k5", "k6", "k7"};
        for (const char *key : keys) {
          cgi_query(key);
          cgi_query(nullptr); /* neither of these two advances the ring */
          cgi_query("");
        }
        say(std::string("after seven: ") + first);
        const char *eighth = cgi_query("absent");
        say(std::string("after eighth: [") + first + "]");
        say(eighth == first ? "same buffer" : "other buffer");
        const char *ninth = cgi_query("k1");
        say(ninth == first ? "ninth reuses" : "ninth moves on");
      },
      job);
  EXPECT_EQ(res.exit_code, 0);
  EXPECT_EQ(res.out,
            "after seven: kept\n"
            "after eighth: []\n"
            "same buffer\n"
            "ninth moves on\n");
}

TEST(NlCgiQuery, EnvironmentAnswersStillAdvanceTheRing) {
  lmxtest::ChildSpec job;
  job.env["QUERY_STRING"] = "keep=kept";
  job.env["x"] = "from-env";
  auto res = lmxtest::run_child(
      [] {
        const char *first = cgi_query("keep");
        unsetenv("QUERY_STRING");
        for (int i = 0; i < 7; i++) cgi_query("x");
        say(std::string("seven: ") + first);
        cgi_query("missing");
        say(std::string("eighth: [") + first + "]");
      },
      job);
  EXPECT_EQ(res.out, "seven: kept\neighth: []\n");
}

struct EnvRow {
  const char *value; /* null: unset */
  const char *method;
  int is_post;
};

TEST(NlCgiRequest, MethodDefaultsToGetAndPostLooksAtTwoUpperCaseBytes) {
  const std::vector<EnvRow> rows = {
      {"POST", "POST", 1}, {"POSTAL", "POSTAL", 1}, {"PO", "PO", 1},
      {"post", "post", 0}, {"PUT", "PUT", 0},       {"P", "P", 0},
      {"", "GET", 0},      {nullptr, "GET", 0},     {" POST", " POST", 0},
  };
  for (const auto &row : rows) {
    put_env("REQUEST_METHOD", row.value);
    EXPECT_STREQ(cgi_method(), row.method) << (row.value ? row.value : "unset");
    EXPECT_EQ(cgi_is_post(), row.is_post) << (row.value ? row.value : "unset");
  }
  unsetenv("REQUEST_METHOD");
}

TEST(NlCgiRequest, PathInfoAndEnvFallBackOnlyWhenUnsetOrEmpty) {
  struct Row {
    const char *value;
    const char *fallback;
    const char *path_info;
    const char *env;
  };
  const std::vector<Row> rows = {
      {"/indexes/a", "fb", "/indexes/a", "/indexes/a"},
      {" ", "fb", " ", " "}, /* no trimming */
      {"", "fb", "/", "fb"},
      {nullptr, "fb", "/", "fb"},
      {"", nullptr, "/", ""},
      {nullptr, nullptr, "/", ""},
  };
  for (const auto &row : rows) {
    put_env("PATH_INFO", row.value);
    EXPECT_STREQ(cgi_path_info(), row.path_info);
    const char *env = cgi_env("PATH_INFO", row.fallback);
    ASSERT_NE(env, nullptr);
    EXPECT_STREQ(env, row.env);
  }
  unsetenv("PATH_INFO");
}

TEST(NlCgiQuery, ResetEmptiesTheRingAndStartsItAgain) {
  lmxtest::ChildSpec job;
  job.env["QUERY_STRING"] = "a=first&b=second&c=third";
  lmxtest::ChildResult r = lmxtest::run_child(
      [] {
        /* This child was forked mid-suite: start from a reset. */
        cgi_reset_request();
        const char *a = cgi_query("a");
        const char *b = cgi_query("b");
        const char *c = cgi_query("c");
        cgi_reset_request();
        /* Nothing of the previous request stays readable, and the ring
         * starts again at the same slot. */
        printf("[%s][%s]", b, c);
        setenv("QUERY_STRING", "z=next", 1);
        const char *z = cgi_query("z");
        printf("%d%d", z == a, strcmp(a, "next") == 0);
      },
      job);
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[][]11");
}

}  // namespace
