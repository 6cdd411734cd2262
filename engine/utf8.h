/*
 * utf8.h: the engine's one UTF-8 unit: decoding, checking, repairing,
 * counting and stepping through UTF-8 text.
 *
 * Validity follows RFC 3629 (no overlong forms, no surrogates, nothing above
 * U+10FFFF), the rules a JSON parser on the client side applies; decoding is
 * utf8proc's (utf8proc_iterate), which applies exactly those rules. Stepping
 * and counting rely on every code point having one byte that is not a
 * continuation byte (10xxxxxx), so they are meant for valid text.
 */
#ifndef LMX_ENGINE_UTF8_H
#define LMX_ENGINE_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace lmx {
namespace utf8 {

/* Decodes the code point at s[i] (i < s.size()) into *cp (may be null) and
 * returns its byte length, 1 to 4; returns 0, with *cp left unset, when
 * the bytes there are not a valid sequence. */
size_t decode(std::string_view s, size_t i, char32_t *cp = nullptr);

/* True when the whole of s is valid UTF-8 ("" is). */
bool valid(std::string_view s);

/* s with each byte that does not belong to a valid sequence replaced by
 * U+FFFD (one replacement per byte). */
std::string repaired(std::string_view s);

/* Appends the code points of s to out (cleared first). False, with out
 * holding the code points before the fault, when s is not valid UTF-8. */
bool decode_all(std::string_view s, std::u32string &out);

/* Number of code points in valid UTF-8 s. */
size_t length(std::string_view s);

/* The index of the code point after the one starting at s[i] (s.size() at
 * the end); i < s.size(). */
size_t next(std::string_view s, size_t i);

/* The bytes of the first n code points of valid s (all of s when it has
 * fewer). */
size_t prefix_bytes(std::string_view s, size_t n);

/* The largest index <= i (i <= s.size()) where a code point starts, so a
 * cut there splits no character; 0 when there is none. */
size_t boundary_before(std::string_view s, size_t i);

}  // namespace utf8
}  // namespace lmx

#endif
