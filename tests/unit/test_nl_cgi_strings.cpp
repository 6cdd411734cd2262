/*
 * test_nl_cgi_strings.cpp: bounded copy and formatter, right trim, name
 * validators, path joiner and the HTML and URL encoders.
 *
 * Buffer operations write into a buffer followed by guard bytes, so a row
 * shows both the text and that nothing was written past the size (or at all
 * for a size of 0), and that the text is terminated inside the size.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <functional>
#include <string>
#include <vector>

#include "nl_cgi.h"

namespace {

const char kGuard = '#';
const char kUntouched[] = "<untouched>";

/* Runs write on a buffer of size bytes followed by 32 guard bytes. Returns
 * the text written, kUntouched when not one byte changed, or a marker for a
 * missing terminator or a write past the size. */
std::string into(size_t size,
                 const std::function<void(char *, size_t)> &write) {
  std::vector<char> buf(size + 32, kGuard);
  write(buf.data(), size);
  for (size_t i = size; i < buf.size(); i++) {
    if (buf[i] != kGuard) return "<overrun>";
  }
  bool changed = false;
  for (size_t i = 0; i < size; i++) changed = changed || buf[i] != kGuard;
  if (!changed) return kUntouched;
  const void *nul = memchr(buf.data(), '\0', size);
  if (nul == nullptr) return "<unterminated>";
  return std::string(buf.data());
}

struct CopyRow {
  const char *src;
  size_t size;
  std::string expected;
};

TEST(NlCgiStrings, StrlcpyCopiesAtMostSizeMinusOneBytes) {
  const std::vector<CopyRow> rows = {
      {"abc", 3, "ab"}, {"abc", 4, "abc"},       {"abc", 100, "abc"},
      {"abc", 1, ""},   {"abc", 0, kUntouched},  {nullptr, 5, ""},
      {"", 5, ""},      {"\xff\x80", 2, "\xff"},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(
        into(row.size, [&](char *d, size_t n) { nl_strlcpy(d, row.src, n); }),
        row.expected)
        << (row.src ? row.src : "(null)") << " into " << row.size;
  }
  nl_strlcpy(nullptr, "abc", 5); /* must not fault */
}

TEST(NlCgiStrings, SnprintfCutsAndReturnsTheFullLength) {
  struct Row {
    size_t size;
    std::string expected;
    int result;
  };
  const std::vector<Row> rows = {
      {4, "012", 10},         {10, "012345678", 10}, {11, "0123456789", 10},
      {64, "0123456789", 10}, {1, "", 10},           {0, kUntouched, -1},
  };
  for (const auto &row : rows) {
    int result = 0;
    std::string text = into(row.size, [&](char *d, size_t n) {
      result = nl_snprintf(d, n, "%s%d", "01234", 56789);
    });
    EXPECT_EQ(text, row.expected) << "size " << row.size;
    EXPECT_EQ(result, row.result) << "size " << row.size;
  }
  EXPECT_EQ(nl_snprintf(nullptr, 8, "%d", 1), -1);
}

TEST(NlCgiStrings, SnprintfTerminatesEvenWhenTheFormatterFails) {
  /* A wide character with no form in the C locale makes vsnprintf fail. */
  std::vector<char> buf(8, kGuard);
  int result = nl_snprintf(buf.data(), buf.size(), "ab%ls", L"\x100");
  if (result >= 0)
    GTEST_SKIP() << "this C library formats U+0100 in the C locale";
  EXPECT_LT(result, 0);
  EXPECT_EQ(buf[7], '\0');
}

TEST(NlCgiStrings, RtrimRemovesOnlyTrailingSpaceTabCrAndLf) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"a \t\r\n", "a"}, {" \t\r\n ", ""}, {"a\f", "a\f"},
      {"a\v", "a\v"},    {"  a", "  a"},   {"a \fb \n", "a \fb"},
      {"a\f \n", "a\f"}, {"", ""},         {"a b", "a b"},
  };
  for (const auto &row : rows) {
    std::vector<char> buf(row.text.begin(), row.text.end());
    buf.push_back('\0');
    nl_rtrim(buf.data());
    EXPECT_EQ(std::string(buf.data()), row.expected);
  }
  nl_rtrim(nullptr); /* must not fault */
}

TEST(NlCgiStrings, ValidatorsAcceptTheirCharacterSetsAndNoDoubleDot) {
  struct Row {
    const char *text;
    int repo_name;
    int ref;
  };
  const std::vector<Row> rows = {
      {nullptr, 0, 0},       {"", 0, 0},         {"a..b", 0, 0},
      {"..", 0, 0},          {"...", 0, 0},      {"a/../b", 0, 0},
      {"a b", 0, 0},         {"a\tb", 0, 0},     {"a\\b", 0, 0},
      {"a~b", 0, 0},         {"\xc3\xa9", 0, 0}, {"a/b", 0, 1},
      {"heads/main", 0, 1},  {"/a//b/", 0, 1},   {"a:b", 0, 1},
      {"my-repo_1.0", 1, 1}, {".", 1, 1},        {".hidden", 1, 1},
      {"-x-", 1, 1},         {"AZaz09", 1, 1},   {"a.b.c", 1, 1},
  };
  for (const auto &row : rows) {
    const char *shown = row.text ? row.text : "(null)";
    EXPECT_EQ(nl_valid_repo_name(row.text), row.repo_name) << shown;
    EXPECT_EQ(nl_valid_ref(row.text), row.ref) << shown;
  }
}

TEST(NlCgiStrings, PathJoinAddsABackslashOnlyWhenNeededAndCuts) {
  struct Row {
    size_t size;
    const char *first;
    const char *second;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {64, "a", "b", "a\\b"},
      {64, "a/", "b", "a/b"},
      {64, "a\\", "b", "a\\b"},
      {64, "a", "/b", "a\\/b"},
      {64, "", "b", "b"},
      {64, nullptr, "b", "b"},
      {64, "a", "", "a\\"},
      {64, "a", nullptr, "a\\"},
      {64, nullptr, nullptr, ""},
      {64, "x/./y", "../z", "x/./y\\../z"},
      {4, "abc", "d", "abc"},  /* first fills size - 1: nothing added */
      {4, "ab", "cd", "ab\\"}, /* room for one byte: the separator only */
      {5, "ab", "cdef", "ab\\c"},
      {3, "abcdef", "g", "ab"}, /* first cut: no separator */
      {1, "a", "b", ""},
      {0, "a", "b", kUntouched},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(into(row.size,
                   [&](char *d, size_t n) {
                     nl_path_join(d, n, row.first, row.second);
                   }),
              row.expected)
        << (row.first ? row.first : "(null)") << " + "
        << (row.second ? row.second : "(null)") << " into " << row.size;
  }
  nl_path_join(nullptr, 8, "a", "b"); /* must not fault */
}

TEST(NlCgiStrings, HtmlEscapeNeedsNineFreeBytesPerSourceByte) {
  const std::vector<CopyRow> rows = {
      {"<", 1, ""},
      {"<", 8, ""},
      {"abc", 8, ""},
      {"<", 9, "&lt;"},
      {"ab", 9, "a"},
      {"ab", 10, "ab"},
      {"\"\"", 14, "&quot;"},
      {"\"\"", 15, "&quot;&quot;"},
      {"a&b", 12, "a&amp;"},
      {"a&b", 15, "a&amp;b"},
      {"'<>", 64, "&#39;&lt;&gt;"},
      {"\xc3\xa9", 64, "\xc3\xa9"},
      {nullptr, 9, ""},
      {"<", 0, kUntouched},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(
        into(row.size, [&](char *d, size_t n) { html_escape(row.src, d, n); }),
        row.expected)
        << (row.src ? row.src : "(null)") << " into " << row.size;
  }
  html_escape("<", nullptr, 64); /* must not fault */
}

TEST(NlCgiStrings, HtmlEscapeDupIsNeverCut) {
  struct Row {
    const char *src;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {nullptr, ""},
      {"", ""},
      {"a<b", "a&lt;b"},
      {"<", "&lt;"},
      {"\"&'<>", "&quot;&amp;&#39;&lt;&gt;"},
  };
  for (const auto &row : rows) {
    char *out = html_escape_dup(row.src);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), row.expected);
    free(out);
  }
  const std::string quotes(1000, '\'');
  char *out = html_escape_dup(quotes.c_str());
  ASSERT_NE(out, nullptr);
  std::string expected;
  for (int i = 0; i < 1000; i++) expected += "&#39;";
  EXPECT_EQ(std::string(out), expected);
  free(out);
}

TEST(NlCgiStrings, UrlEncodeNeedsFiveFreeBytesPerSourceByte) {
  const std::vector<CopyRow> rows = {
      {"abc", 1, ""},
      {"abc", 4, ""},
      {"abc", 5, "a"},
      {"abcdef", 6, "ab"},
      {"a b~", 64, "a%20b~"},
      {"\xe9", 64, "%E9"},
      {"   ", 7, "%20"},
      {"   ", 8, "%20%20"},
      {"   ", 10, "%20%20"},
      {"   ", 11, "%20%20%20"},
      {"+/%?&=", 64, "%2B%2F%25%3F%26%3D"},
      {"-._~AZaz09", 64, "-._~AZaz09"},
      {"\x01\x7f\x80\xff", 64, "%01%7F%80%FF"},
      {nullptr, 8, ""},
      {"a", 0, kUntouched},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(
        into(row.size, [&](char *d, size_t n) { url_encode(row.src, d, n); }),
        row.expected)
        << (row.src ? row.src : "(null)") << " into " << row.size;
  }
  url_encode("a", nullptr, 64); /* must not fault */
}

TEST(NlCgiStrings, UrlEncodedBytesComeBackThroughQueryLookup) {
  std::string all;
  for (int b = 1; b <= 255; b++) all += static_cast<char>(b);
  std::vector<char> encoded(3 * all.size() + 8);
  url_encode(all.c_str(), encoded.data(), encoded.size());
  ASSERT_EQ(strlen(encoded.data()), 3 * all.size() - 2 * 66);
  std::string qs = std::string("q=") + encoded.data() + "&r=1";
  setenv("QUERY_STRING", qs.c_str(), 1);
  EXPECT_EQ(std::string(cgi_query("q")), all);
  unsetenv("QUERY_STRING");
}

}  // namespace
