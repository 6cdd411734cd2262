/*
 * utf8.cpp: the engine's UTF-8 unit (see utf8.h). Decoding is delegated to
 * utf8proc; the rest only looks at lead and continuation bytes.
 */
#include "utf8.h"

#include <utf8proc.h>

namespace lmx {
namespace utf8 {
namespace {

constexpr const char *kReplacement = "\xEF\xBF\xBD"; /* U+FFFD */

bool continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

size_t decode(std::string_view s, size_t i, char32_t *cp) {
  const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(s.data() + i);
  utf8proc_int32_t code;
  utf8proc_ssize_t n =
      utf8proc_iterate(p, static_cast<utf8proc_ssize_t>(s.size() - i), &code);
  if (n <= 0) return 0;
  if (cp) *cp = static_cast<char32_t>(code);
  return static_cast<size_t>(n);
}

bool valid(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = decode(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string repaired(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = decode(s, i);
    if (n == 0) {
      out += kReplacement;
      n = 1;
    } else {
      out.append(s.data() + i, n);
    }
    i += n;
  }
  return out;
}

bool decode_all(std::string_view s, std::u32string &out) {
  out.clear();
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t n = decode(s, i, &cp);
    if (n == 0) return false;
    out.push_back(cp);
    i += n;
  }
  return true;
}

size_t length(std::string_view s) {
  size_t count = 0;
  for (char c : s) count += !continuation(c);
  return count;
}

size_t next(std::string_view s, size_t i) {
  ++i;
  while (i < s.size() && continuation(s[i])) ++i;
  return i;
}

size_t prefix_bytes(std::string_view s, size_t n) {
  size_t end = 0;
  for (size_t seen = 0; end < s.size() && seen < n; ++seen) end = next(s, end);
  return end;
}

size_t boundary_before(std::string_view s, size_t i) {
  while (i > 0 && i < s.size() && continuation(s[i])) --i;
  return i;
}

}  // namespace utf8
}  // namespace lmx
