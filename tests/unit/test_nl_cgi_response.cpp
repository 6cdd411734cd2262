/*
 * test_nl_cgi_response.cpp: the CGI header writers, the JSON and HTML stream
 * escapers and the fatal-error pages.
 *
 * Writers of standard output run in forked children so the exact bytes,
 * the exit status and code that must never run after a fatal page can be
 * checked. The escapers write to an in-memory stream in this process.
 */
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <yyjson.h>

#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "nl_cgi.h"

namespace {

const char kPageStart[] =
    "<!DOCTYPE html><html><body style=\"background:#000;color:#fff;"
    "font-family:sans-serif;padding:40px\">";

lmxtest::ChildResult run(const std::function<void()> &fn) {
  return lmxtest::run_child(fn, lmxtest::ChildSpec{});
}

/* What an escaper writes for text, through an in-memory stream. */
std::string escaped(void (*escaper)(FILE *, const char *), const char *text) {
  char *data = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&data, &size);
  if (out == nullptr) return "<no stream>";
  escaper(out, text);
  fclose(out);
  std::string s(data, size);
  free(data);
  return s;
}

TEST(NlCgiResponse, HeaderWritersWriteExactLinesEndedByCrLf) {
  struct Row {
    std::function<void()> write;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {[] { cgi_header_status(404, nullptr); }, "Status: 404\r\n"},
      {[] { cgi_header_status(404, ""); }, "Status: 404\r\n"},
      {[] { cgi_header_status(404, "Not Found"); },
       "Status: 404 Not Found\r\n"},
      {[] { cgi_header_status(-1, nullptr); }, "Status: -1\r\n"},
      {[] { cgi_header_json(); },
       "Content-Type: application/json; charset=utf-8\r\n"},
      {[] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n"},
      {[] { cgi_header_text(); },
       "Content-Type: text/plain; charset=utf-8\r\n"},
      {[] { cgi_header_ct("image/png"); }, "Content-Type: image/png\r\n"},
      {[] { cgi_header_ct("100%s"); }, "Content-Type: 100%s\r\n"},
      {[] { cgi_header_extra("Cache-Control: no-store"); },
       "Cache-Control: no-store\r\n"},
      {[] { cgi_header_extra("X-A: 1\r\nX-B: 2"); }, "X-A: 1\r\nX-B: 2\r\n"},
      {[] { cgi_header_extra("%d%n"); }, "%d%n\r\n"},
      {[] { cgi_headers_end(); }, "\r\n"},
  };
  for (size_t i = 0; i < rows.size(); i++) {
    auto res = run(rows[i].write);
    EXPECT_EQ(res.exit_code, 0) << "row " << i;
    EXPECT_EQ(res.out, rows[i].bytes) << "row " << i;
  }
}

TEST(NlCgiResponse, BlockKeepsTheCallersOrderAndIsFlushedBeforeTheBody) {
  /* The body goes straight to the descriptor, past the stdio buffer: it can
   * only follow the header block if cgi_headers_end flushed it. */
  auto res = run([] {
    cgi_header_status(200, nullptr);
    cgi_header_json();
    cgi_header_extra("X-One: 1");
    cgi_header_extra("X-One: 1");
    cgi_headers_end();
    const char body[] = "{}\n";
    ssize_t n = write(1, body, sizeof body - 1);
    (void)n;
  });
  EXPECT_EQ(res.out,
            "Status: 200\r\n"
            "Content-Type: application/json; charset=utf-8\r\n"
            "X-One: 1\r\nX-One: 1\r\n"
            "\r\n"
            "{}\n");
}

/* Hook for the tests below: records the status it was given, in its own
 * header line, so the output shows when it ran and with what. */
void status_hook(int status) {
  char line[64];
  snprintf(line, sizeof line, "X-Seen: %d", status);
  cgi_header_extra(line);
}

TEST(NlCgiResponse, HookAddsLinesBeforeTheEmptyLineOfEveryBlock) {
  struct Row {
    const char *what;
    std::function<void()> write;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"no hook: the block is unchanged",
       [] {
         cgi_header_status(405, nullptr);
         cgi_headers_end();
       },
       "Status: 405\r\n\r\n"},
      {"hook sees the status and writes before the empty line",
       [] {
         cgi_on_headers_end(status_hook);
         cgi_header_status(405, nullptr);
         cgi_header_json();
         cgi_headers_end();
         fputs("{}", stdout);
       },
       "Status: 405\r\nContent-Type: application/json; charset=utf-8\r\n"
       "X-Seen: 405\r\n\r\n{}"},
      {"a block without a Status line gives 0",
       [] {
         cgi_on_headers_end(status_hook);
         cgi_header_html();
         cgi_headers_end();
       },
       "Content-Type: text/html; charset=utf-8\r\nX-Seen: 0\r\n\r\n"},
      {"the latest Status line counts",
       [] {
         cgi_on_headers_end(status_hook);
         cgi_header_status(200, nullptr);
         cgi_header_status(503, "Busy");
         cgi_headers_end();
       },
       "Status: 200\r\nStatus: 503 Busy\r\nX-Seen: 503\r\n\r\n"},
      {"a removed hook no longer runs",
       [] {
         cgi_on_headers_end(status_hook);
         cgi_on_headers_end(nullptr);
         cgi_header_status(200, nullptr);
         cgi_headers_end();
       },
       "Status: 200\r\n\r\n"},
      {"fatal pages run the hook too",
       [] {
         cgi_on_headers_end(status_hook);
         cgi_die_json(502, "x");
       },
       "Status: 502\r\nContent-Type: application/json; charset=utf-8\r\n"
       "X-Seen: 502\r\n\r\n{\"ok\":false,\"error\":\"x\"}\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    auto res = run(row.write);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, row.bytes);
  }
}

TEST(NlCgiResponse, ResponseStatusIsTheLatestStatusUntilReset) {
  auto seen = run([] {
    char text[64];
    int before = cgi_response_status();
    cgi_header_status(404, nullptr);
    int after = cgi_response_status();
    cgi_response_reset();
    int reset = cgi_response_status();
    snprintf(text, sizeof text, "%d %d %d", before, after, reset);
    fputs(text, stderr);
  });
  EXPECT_EQ(seen.err, "0 404 0");
}

TEST(NlCgiResponse, JsonEscapeWritesEveryByteClassAsDocumented) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\n", "\\n"},
      {"\r", "\\r"},
      {"\t", "\\t"},
      {"\x01", "\\u0001"},
      {"\b", "\\u0008"},
      {"\f", "\\u000c"},
      {"\x0b", "\\u000b"},
      {"\x1b", "\\u001b"},
      {"\x1f", "\\u001f"},
      {" ", " "},
      {"/", "/"},
      {"\x7f", "\x7f"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\x80\xff", "\x80\xff"},
      {"a\"b\\c\nd", "a\\\"b\\\\c\\nd"},
      {"", ""},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(escaped(json_escape_f, row.text.c_str()), row.expected)
        << "text of " << row.text.size() << " bytes";
  }
  EXPECT_EQ(escaped(json_escape_f, nullptr), "");
}

TEST(NlCgiResponse, JsonEscapeOfAll255BytesIsAStringThatDecodesBack) {
  std::string all;
  for (int b = 1; b <= 255; b++) all += static_cast<char>(b);
  const std::string out = escaped(json_escape_f, all.c_str());

  /* The five two-character escapes add one byte each, the other 28 control
   * bytes five each; the 128 high bytes pass unchanged. */
  EXPECT_EQ(out.size(), 255u + 5 * 1 + 28 * 5);
  size_t high = 0;
  for (unsigned char c : out) high += (c >= 0x80) ? 1 : 0;
  EXPECT_EQ(high, 128u);

  /* A JSON reader takes the quoted output back to the very same bytes
   * (0x80-0xFF are not UTF-8 here, hence the permissive flag). */
  const std::string doc = "\"" + out + "\"";
  yyjson_doc *parsed =
      yyjson_read(doc.data(), doc.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
  ASSERT_NE(parsed, nullptr);
  yyjson_val *root = yyjson_doc_get_root(parsed);
  ASSERT_TRUE(yyjson_is_str(root));
  EXPECT_EQ(std::string(yyjson_get_str(root), yyjson_get_len(root)), all);
  yyjson_doc_free(parsed);
}

/* The string form escapes exactly as the stream form, byte class by byte
 * class, so templates filled with it match answers streamed elsewhere. */
TEST(NlCgiResponse, JsonEscapeDupMatchesTheStreamFormOnEveryByte) {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  const std::string rows[] = {"",
                              "plain",
                              "q\"b\\n\nr\rt\t",
                              "\x01\x08\x0c\x1f\x7f/",
                              "caf\xC3\xA9 \xFF",
                              all};
  for (const std::string &row : rows) {
    char *dup = json_escape_dup(row.c_str());
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(std::string(dup), escaped(json_escape_f, row.c_str()));
    free(dup);
  }
  char *null_dup = json_escape_dup(nullptr);
  ASSERT_NE(null_dup, nullptr);
  EXPECT_STREQ(null_dup, "");
  free(null_dup);
}

TEST(NlCgiResponse, HtmlEscapeReplacesTheFiveSpecialBytes) {
  struct Row {
    const char *text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"a<b & 'c'", "a&lt;b &amp; &#39;c&#39;"},
      {"\"x\">", "&quot;x&quot;&gt;"},
      {"&amp;", "&amp;amp;"},
      {"plain \xc3\xa9 / \\", "plain \xc3\xa9 / \\"},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(escaped(html_escape_f, row.text), row.expected);
  }
  /* Nothing is cut, however long the output. */
  const std::string many(5000, '"');
  EXPECT_EQ(escaped(html_escape_f, many.c_str()).size(), 5000u * 6);
}

TEST(NlCgiResponse, FatalPagesWriteAWholeResponseAndExitWithZero) {
  struct Row {
    std::function<void()> die;
    std::string bytes;
  };
  const std::string text_head =
      "Status: 500\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
  const std::string html_head =
      "Status: 403\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
  const std::string json_head =
      "Status: 400\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
  const std::vector<Row> rows = {
      {[] { cgi_die_text(500, "disk <full>"); }, text_head + "disk <full>\n"},
      {[] { cgi_die_text(500, nullptr); }, text_head + "\n"},
      {[] { cgi_die_text(500, ""); }, text_head + "\n"},
      {[] { cgi_die_html(403, "No <entry>", "<p>go <b>away</b></p>"); },
       html_head + kPageStart +
           "<h1>No &lt;entry&gt;</h1><p>go <b>away</b></p>" +
           "</body></html>\n"},
      {[] { cgi_die_html(403, nullptr, nullptr); },
       html_head + kPageStart + "</body></html>\n"},
      {[] { cgi_die_html(403, "", nullptr); },
       html_head + kPageStart + "<h1></h1></body></html>\n"},
      {[] { cgi_die_html(403, nullptr, "<i>x</i>"); },
       html_head + kPageStart + "<i>x</i></body></html>\n"},
      {[] { cgi_die_json(400, "bad \"q\"\n"); },
       json_head + "{\"ok\":false,\"error\":\"bad \\\"q\\\"\\n\"}\n"},
      {[] { cgi_die_json(400, nullptr); },
       json_head + "{\"ok\":false,\"error\":\"error\"}\n"},
      {[] { cgi_die_json(400, ""); },
       json_head + "{\"ok\":false,\"error\":\"\"}\n"},
  };
  for (size_t i = 0; i < rows.size(); i++) {
    auto res = run([&] {
      rows[i].die();
      fputs("returned", stdout); /* must never run */
    });
    EXPECT_EQ(res.exit_code, 0) << "row " << i;
    EXPECT_EQ(res.out, rows[i].bytes) << "row " << i;
  }
}

TEST(NlCgiResponse, FatalPageAfterOtherHeadersWritesItsOwnBlockToo) {
  auto res = run([] {
    cgi_header_status(200, nullptr);
    cgi_header_html();
    cgi_die_json(503, "busy");
  });
  EXPECT_EQ(res.exit_code, 0);
  EXPECT_EQ(res.out,
            "Status: 200\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Status: 503\r\nContent-Type: application/json; charset=utf-8\r\n"
            "\r\n{\"ok\":false,\"error\":\"busy\"}\n");
}

jmp_buf fatal_jump;
void jump_back(void) { longjmp(fatal_jump, 1); }
void return_anyway(void) { fputs("[ending ran]", stdout); }

TEST(NlCgiResponse, FatalPageCallsTheSetEndingInsteadOfExiting) {
  const std::string page =
      "Status: 500\r\nContent-Type: application/json; charset=utf-8\r\n"
      "\r\n{\"ok\":false,\"error\":\"stop\"}\n";
  struct Row {
    const char *what;
    void (*end)(void);
    std::string out;
  } rows[] = {
      /* The ending jumps back: the process goes on after the page. */
      {"an ending that jumps", jump_back, page + "[after the page]"},
      /* An ending that returns cannot let the caller go on: exit(0). */
      {"an ending that returns", return_anyway, page + "[ending ran]"},
      {"null restores exit", nullptr, page},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    lmxtest::ChildResult r = run([&row] {
      cgi_set_fatal_end(row.end);
      if (setjmp(fatal_jump) == 0) {
        cgi_die_json(500, "stop");
        fputs("[the caller went on]", stdout);
      }
      fputs("[after the page]", stdout);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, row.out);
  }
}

}  // namespace
