/*
 * test_lmx_respond.cpp: exact bytes of the two JSON responders, captured
 * from a forked child's standard output.
 */
#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "lmx_common.h"

namespace {

std::string capture(const std::function<void()> &fn) {
  lmxtest::ChildSpec job;
  lmxtest::ChildResult res = lmxtest::run_child(fn, job);
  EXPECT_EQ(res.exit_code, 0);
  return res.out;
}

std::string header_block(int status) {
  return "Status: " + std::to_string(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
}

std::string envelope(const std::string &message, const std::string &code) {
  return "{\"message\":\"" + message + "\",\"code\":\"" + code +
         "\",\"type\":\"invalid_request\",\"link\":\"https://"
         "docs.nolvaris.com/errors#" +
         code + "\"}\n";
}

TEST(LmxRespond, JsonBodyIsWrittenUnchangedWithOneLineFeed) {
  struct Row {
    const char *name;
    int status;
    const char *body; /* nullptr: no body */
    std::string want_body;
  } rows[] = {
      {"object", 200, "{\"hits\":[]}", "{\"hits\":[]}\n"},
      {"created", 201, "{}", "{}\n"},
      {"null body", 200, nullptr, ""},
      {"empty body", 200, "", "\n"},
      {"own line feed kept", 200, "[1]\n", "[1]\n\n"},
      {"not json, not checked", 502, "a\r\n\"b", "a\r\n\"b\n"},
      {"utf-8 unchanged", 200, "\"caf\xc3\xa9\"", "\"caf\xc3\xa9\"\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string out = capture([&] { lmx_respond_json(row.status, row.body); });
    EXPECT_EQ(out, header_block(row.status) + row.want_body);
  }
}

TEST(LmxRespond, ErrorEnvelopeHasItsFourMembersInOrder) {
  std::string out = capture(
      [] { lmx_respond_error(404, "index_not_found", "Index not found"); });
  EXPECT_EQ(out, header_block(404) +
                     "{\"message\":\"Index not found\",\"code\":"
                     "\"index_not_found\",\"type\":\"invalid_request\","
                     "\"link\":\"https://docs.nolvaris.com/errors#"
                     "index_not_found\"}\n");
}

TEST(LmxRespond, ErrorTextsAreEscapedAndDefaultedOnlyWhenNull) {
  struct Row {
    const char *name;
    int status;
    const char *code;
    const char *message;
    std::string want_message;
    std::string want_code;
  } rows[] = {
      {"null code", 500, nullptr, "boom", "boom", "internal_error"},
      {"null message", 400, "bad", nullptr, "Error", "bad"},
      {"both null", 500, nullptr, nullptr, "Error", "internal_error"},
      {"empty message", 400, "bad", "", "", "bad"},
      {"empty code", 400, "", "m", "m", ""},
      {"quote and backslash", 400, "c", "say \"hi\" \\o/",
       "say \\\"hi\\\" \\\\o/", "c"},
      {"line ends and tab", 400, "c", "a\nb\rc\td", "a\\nb\\rc\\td", "c"},
      {"control bytes", 400, "c", "\x01x\x1f", "\\u0001x\\u001f", "c"},
      {"utf-8 unchanged", 404, "c", "caf\xc3\xa9 \xe2\x82\xac",
       "caf\xc3\xa9 \xe2\x82\xac", "c"},
      /* The code is escaped in "code" and again at the end of "link". */
      {"hostile code", 400, "x\"y", "m", "m", "x\\\"y"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string out =
        capture([&] { lmx_respond_error(row.status, row.code, row.message); });
    EXPECT_EQ(out, header_block(row.status) +
                       envelope(row.want_message, row.want_code));
  }
}

TEST(LmxRespond, LongErrorMessageIsNotCut) {
  const std::string message(5000, 'm');
  std::string out =
      capture([&] { lmx_respond_error(404, "c", message.c_str()); });
  EXPECT_EQ(out, header_block(404) + envelope(message, "c"));
}

}  // namespace
