/*
 * error.cpp: making error texts one line of valid UTF-8 (see error.h).
 *
 * UTF-8 is checked by the engine's UTF-8 unit (utf8.h), with the rules a
 * JSON parser on the client side applies.
 */
#include "error.h"

#include <cstddef>

#include "utf8.h"

namespace lmx {
namespace {

constexpr size_t kQuoteMaxBytes = 200;
constexpr const char *kReplacement = "\xEF\xBF\xBD"; /* U+FFFD */

}  // namespace

std::string safe_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t n = utf8::decode(text, i);
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
  /* Cut where a character starts, so none is split. */
  size_t cut = utf8::boundary_before(s, kQuoteMaxBytes);
  return safe_text(s.substr(0, cut)) + "...";
}

}  // namespace lmx
