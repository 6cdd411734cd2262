/*
 * test_utf8.cpp: the engine's UTF-8 unit (engine/utf8.h), compiled in from
 * its source since the library exports only its C face.
 */
#include <gtest/gtest.h>

#include <string>

#include "utf8.h"

namespace {

using lmx::utf8::boundary_before;
using lmx::utf8::decode;
using lmx::utf8::decode_all;
using lmx::utf8::length;
using lmx::utf8::next;
using lmx::utf8::prefix_bytes;
using lmx::utf8::repaired;
using lmx::utf8::valid;

/* RFC 3629's edges: every row is one sequence at the start of the text. */
TEST(EngineUtf8, DecodeAcceptsExactlyTheSequencesOfRfc3629) {
  struct Row {
    const char *what;
    std::string bytes;
    size_t want_len;
    char32_t want_cp;
  } rows[] = {
      {"NUL is a character", std::string(1, '\0'), 1, 0},
      {"ASCII", "A", 1, 'A'},
      {"two bytes, lowest", "\xC2\x80", 2, 0x80},
      {"overlong two bytes", "\xC0\xAF", 0, 0},
      {"C1 lead", "\xC1\xBF", 0, 0},
      {"three bytes, lowest", "\xE0\xA0\x80", 3, 0x800},
      {"overlong three bytes", "\xE0\x9F\xBF", 0, 0},
      {"last before surrogates", "\xED\x9F\xBF", 3, 0xD7FF},
      {"surrogate", "\xED\xA0\x80", 0, 0},
      {"U+FFFF", "\xEF\xBF\xBF", 3, 0xFFFF},
      {"four bytes, lowest", "\xF0\x90\x80\x80", 4, 0x10000},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", 0, 0},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0},
      {"F5 lead", "\xF5\x80\x80\x80", 0, 0},
      {"lone continuation", "\x80", 0, 0},
      {"truncated three", "\xE2\x82", 0, 0},
      {"bad continuation", "\xE2\x28\xA1", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    char32_t cp = 0xDEAD;
    EXPECT_EQ(decode(row.bytes, 0, &cp), row.want_len);
    char32_t want = row.want_len > 0 ? row.want_cp : 0xDEAD; /* unset */
    EXPECT_EQ(cp, want);
    EXPECT_EQ(valid(row.bytes), row.want_len == row.bytes.size());
  }
}

TEST(EngineUtf8, RepairReplacesEachBadByteAndKeepsTheRest) {
  struct Row {
    std::string in, want;
  } rows[] = {
      {"", ""},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"}, /* one per byte */
      {"\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(repaired(row.in), row.want);
    EXPECT_TRUE(valid(repaired(row.in)));
  }
}

TEST(EngineUtf8, CountsStepsAndCutsOnCharacterBoundaries) {
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; /* aé€😀z */
  EXPECT_EQ(length(s), 5u);
  EXPECT_EQ(length(""), 0u);
  size_t starts[] = {0, 1, 3, 6, 10, 11};
  for (size_t k = 0; k + 1 < std::size(starts); ++k)
    EXPECT_EQ(next(s, starts[k]), starts[k + 1]);
  EXPECT_EQ(prefix_bytes(s, 0), 0u);
  EXPECT_EQ(prefix_bytes(s, 2), 3u);
  EXPECT_EQ(prefix_bytes(s, 4), 10u);
  EXPECT_EQ(prefix_bytes(s, 99), s.size());
  /* Inside the euro sign (bytes 3..5) and the emoji (6..9). */
  EXPECT_EQ(boundary_before(s, 4), 3u);
  EXPECT_EQ(boundary_before(s, 5), 3u);
  EXPECT_EQ(boundary_before(s, 9), 6u);
  EXPECT_EQ(boundary_before(s, 6), 6u);
  EXPECT_EQ(boundary_before(s, s.size()), s.size());

  std::u32string cps;
  EXPECT_TRUE(decode_all(s, cps));
  EXPECT_EQ(cps, (std::u32string{U'a', 0xE9, 0x20AC, 0x1F600, U'z'}));
  EXPECT_FALSE(decode_all("ab\xFF", cps));
  EXPECT_EQ(cps, std::u32string(U"ab"));
}

}  // namespace
