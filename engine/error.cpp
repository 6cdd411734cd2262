/*
 * error.cpp: making error texts one line of valid UTF-8 (see error.h).
 *
 * UTF-8 is checked by hand with the ranges of RFC 3629 (no overlong forms,
 * no surrogates, nothing above U+10FFFF), the same rules a JSON parser on
 * the client side applies.
 */
#include "error.h"

#include <cstddef>

namespace lmx {
namespace {

constexpr size_t kQuoteMaxBytes = 200;
constexpr const char *kReplacement = "\xEF\xBF\xBD"; /* U+FFFD */

/* Length of the valid UTF-8 sequence at s[i], or 0 when it is not one. */
size_t valid_sequence(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string safe_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t n = valid_sequence(text, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else if (n == 1) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      out.push_back(c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c));
      ++i;
    } else {
      out.append(text.data() + i, n);
      i += n;
    }
  }
  return out;
}

std::string quote_input(std::string_view s) {
  if (s.size() <= kQuoteMaxBytes) return safe_text(s);
  size_t cut = kQuoteMaxBytes;
  /* Back up over continuation bytes so a character is not split. */
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return safe_text(s.substr(0, cut)) + "...";
}

}  // namespace lmx
