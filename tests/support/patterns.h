/*
 * patterns.h: regular expressions for the test programs, and the few
 * answer rewrites built on them that several programs share.
 *
 * Every function compiles its ECMAScript pattern on first use and keeps it
 * for the program's life. The <regex> templates are instantiated once, in
 * patterns.cpp: each test file that included <regex> itself took about 5 s
 * more to compile under the sanitizers. Nothing here knows about HTTP or
 * CGI: splitting a response is child.h's.
 */
#ifndef LMXTEST_PATTERNS_H
#define LMXTEST_PATTERNS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lmxtest {

/* The groups of one match: group 0 is the whole match. */
struct Match {
  std::vector<std::optional<std::string>> groups;

  /* Group i's text; "" when it took no part or does not exist. */
  std::string str(std::size_t i) const;
  /* Whether group i took part in the match. */
  bool matched(std::size_t i) const;
};

/* Whether the whole of text matches pattern. m (may be NULL) receives the
 * groups when it does. */
bool full_match(const std::string &text, const std::string &pattern,
                Match *m = nullptr);

/* Whether some part of text matches pattern. m (may be NULL) receives the
 * groups of the first match. */
bool search(const std::string &text, const std::string &pattern,
            Match *m = nullptr);

/* text with every match of pattern replaced by format ("$1" names a group,
 * as in std::regex_replace). */
std::string replace_all(const std::string &text, const std::string &pattern,
                        const std::string &format);

/* The "code" member of the error envelope in body; "" when body has none. */
std::string error_code(const std::string &body);

/* text with every "elapsed_ms" number made 0: the only part of a search
 * answer that differs between two runs of the same request. */
std::string without_elapsed(const std::string &text);

}  // namespace lmxtest

#endif
