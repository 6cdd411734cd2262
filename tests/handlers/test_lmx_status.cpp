/*
 * test_lmx_status.cpp: the status handler: which form each query string
 * chooses, the header blocks of both forms, and the HTML page's structure.
 * The page is read by python3's html.parser in a child process, which
 * prints an outline of elements and texts in document order and whether
 * every element was closed where it should be.
 */
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "engine_double.h"
#include "handlers_harness.h"
#include "lmx_common.h"

namespace {

using hh::json_headers;
using hh::Request;

const std::string kJsonBody =
    "{\"status\":\"available\",\"version\":\"1.0.0\","
    "\"engine\":\"nolvaris-lumidex-core\"}\n";
const std::string kHtmlHeaders =
    "Content-Type: text/html; charset=utf-8\r\n\r\n";

hh::Reply call(const Request &req) {
  return hh::run([]() { lmx_execute_status(); }, req);
}

/* Runs the status handler with only the given environment. */
lmxtest::ChildResult call_env(const std::map<std::string, std::string> &env) {
  lmxtest::ChildSpec job;
  job.env = env;
  return lmxtest::run_child([]() { lmx_execute_status(); }, job);
}

TEST(LmxStatus, QueryStringChoosesTheJsonFormOrThePage) {
  struct Row {
    std::optional<std::string> query;
    bool json;
  };
  const std::vector<Row> rows = {
      {std::string("format=json"), true},
      {std::string("format=JSON"), false},
      {std::string("FORMAT=json"), false},
      {std::string("format=%6Ason"), true},
      {std::string("a=1&format=js%6Fn"), true},
      {std::string("xformat=jsonp"), true},
      {std::string("format=json5"), true},
      {std::string("format=jso"), false},
      {std::string("format=%22json%22"), false},
      {std::string(""), false},
      {std::nullopt, false},
  };
  for (const Row &row : rows) {
    dbl::reset();
    Request req;
    req.query = row.query;
    hh::Reply rep = call(req);
    std::string what = row.query ? *row.query : "<unset>";
    if (row.json) {
      EXPECT_EQ(rep.headers, json_headers(200)) << what;
      EXPECT_EQ(rep.body, kJsonBody) << what;
    } else {
      EXPECT_EQ(rep.headers, kHtmlHeaders) << what;
      EXPECT_EQ(rep.body.compare(0, 16, "<!DOCTYPE html>\n"), 0) << what;
      EXPECT_EQ(rep.status, 0) << what;
    }
    /* The engine is never asked. */
    EXPECT_EQ(rep.log, "") << what;
  }
}

TEST(LmxStatus, WithoutQueryStringTheFormatVariableCanChooseJson) {
  lmxtest::ChildResult json = call_env({{"format", "json"}});
  EXPECT_EQ(json.out, json_headers(200) + kJsonBody);
  lmxtest::ChildResult page = call_env({{"format", "html"}});
  EXPECT_EQ(page.out.compare(0, kHtmlHeaders.size(), kHtmlHeaders), 0);
}

TEST(LmxStatus, EveryMethodGetsTheSameAnswer) {
  for (const char *query : {"format=json", "x=1"}) {
    Request get;
    get.query = query;
    hh::Reply expected = call(get);
    for (const char *method : {"POST", "DELETE", "put"}) {
      Request req;
      req.query = query;
      req.method = method;
      EXPECT_EQ(call(req).raw, expected.raw) << query << " " << method;
    }
  }
}

/* Prints the page's outline: one line per start tag (with its attributes in
 * source order), end tag and non-blank text (character references decoded),
 * the style's text replaced by "css"; then "balanced" when every element was
 * closed in order, with only void elements left open. */
const char kOutliner[] = R"PY(
import sys
from html.parser import HTMLParser
VOID = {"meta", "br", "img", "link", "input", "hr"}
class Outline(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.ok, self.in_style = [], True, False
    def handle_decl(self, decl):
        print("decl " + decl)
    def handle_starttag(self, tag, attrs):
        print("open " + tag + "".join(" %s=%s" % (k, v) for k, v in attrs))
        if tag not in VOID:
            self.stack.append(tag)
        self.in_style = tag == "style"
    def handle_endtag(self, tag):
        print("close " + tag)
        if not self.stack or self.stack.pop() != tag:
            self.ok = False
        self.in_style = False
    def handle_data(self, data):
        if data.strip():
            print("text css" if self.in_style else "text [" + data + "]")
p = Outline()
p.feed(sys.stdin.read())
p.close()
print("balanced" if p.ok and not p.stack else "unbalanced")
)PY";

TEST(LmxStatus, PageHoldsItsElementsInOrder) {
  hh::Reply rep = call(Request{});
  ASSERT_EQ(rep.headers, kHtmlHeaders);
  ASSERT_FALSE(rep.body.empty());
  EXPECT_EQ(rep.body.back(), '\n');
  EXPECT_EQ(rep.body.substr(rep.body.size() - 8), "</html>\n");

  lmxtest::ChildSpec job;
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  job.stdin_bytes = rep.body;
  lmxtest::ChildResult py =
      lmxtest::run_program("/usr/bin/python3", {"-c", kOutliner}, job);
  ASSERT_EQ(py.exit_code, 0) << py.err;
  const std::string expected =
      "decl DOCTYPE html\n"
      "open html lang=en\n"
      "open head\n"
      "open meta charset=utf-8\n"
      "open meta name=viewport content=width=device-width, initial-scale=1.0\n"
      "open title\n"
      "text [Nolvaris Lumidex Server Status]\n"
      "close title\n"
      "open style\n"
      "text css\n"
      "close style\n"
      "close head\n"
      "open body\n"
      "open div class=card\n"
      "open div class=badge\n"
      "open span class=dot\n"
      "close span\n"
      "text [ Available]\n"
      "close div\n"
      "open h1\n"
      "text [Nolvaris Lumidex Server]\n"
      "close h1\n"
      "open p\n"
      "text [A fast, typo-tolerant full-text search engine running on "
      "nolvaris-server.dll]\n"
      "close p\n"
      "open div class=meta\n"
      "open div class=row\n"
      "open span class=key\n"
      "text [Engine]\n"
      "close span\n"
      "open span\n"
      "text [nolvaris-lumidex-core]\n"
      "close span\n"
      "close div\n"
      "open div class=row\n"
      "open span class=key\n"
      "text [Version]\n"
      "close span\n"
      "open span\n"
      "text [1.0.0]\n"
      "close span\n"
      "close div\n"
      "open div class=row\n"
      "open span class=key\n"
      "text [Status]\n"
      "close span\n"
      "open span style=color: #34d399\n"
      "text [Healthy (HTTP 200)]\n"
      "close span\n"
      "close div\n"
      "close div\n"
      "open a href=/\n"
      "text [\xE2\x86\x90 Return to Search Sandbox]\n"
      "close a\n"
      "close div\n"
      "close body\n"
      "close html\n"
      "balanced\n";
  EXPECT_EQ(py.out, expected);
}

}  // namespace
