/*
 * crop.h: choosing the passage of a long text that a hit shows
 * ("attributesToCrop", request.h): about so many words around the place
 * where the query's words stand thickest, with "…" where text was left out.
 *
 * Words are the tokens of text.h: a word, or one character of a script
 * written without spaces (a pair of characters is not counted, it overlaps
 * its characters). Which tokens the query matched is the caller's to say
 * (answer.cpp decides it as highlighting does), so the passage shows the
 * words that are then marked. Cuts fall on token boundaries, which are
 * code point boundaries, so a crop never splits a UTF-8 sequence.
 */
#ifndef LMX_ENGINE_CROP_H
#define LMX_ENGINE_CROP_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

namespace lmx {

/* What marks a cut: U+2026 HORIZONTAL ELLIPSIS, in UTF-8. */
inline constexpr std::string_view kCropMark = "\xE2\x80\xA6";

/* text cut to about words words (words >= 1), tokens being tokenize(text)
 * and matched[i] whether tokens[i] is one the query matched on (matched
 * has tokens.size() entries). The window of words kept is the one holding
 * the most distinct matched terms, then the most matched words, the first
 * such; it is then moved so that its matched words stand in its middle.
 * Without matches it is the first words. The kept text runs from the
 * window's first word to its last, and to the start (end) of text when the
 * window starts (ends) the text, so leading and trailing punctuation stays;
 * kCropMark stands before and after it where words were left out. A text
 * of at most words words comes back whole, unchanged. */
std::string cropped_text(std::string_view text,
                         const std::vector<Token> &tokens,
                         const std::vector<bool> &matched, size_t words);

}  // namespace lmx

#endif
