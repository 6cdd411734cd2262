/*
 * text.h: the engine's text normalisation and word splitting, shared by
 * indexing (documents) and querying (search), which must agree exactly.
 *
 * A word is a maximal run of Unicode letters, digits and combining marks.
 * Each word is normalised: compatibility-decomposed, combining marks (accents)
 * removed, case-folded and recomposed, so "Émile", "EMILE" and "emile" give
 * the same term. Invalid UTF-8 bytes separate words and never reach a term.
 */
#ifndef LMX_ENGINE_TEXT_H
#define LMX_ENGINE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lmx {

/* One word of a text: its normalised term and where it stands in the source
 * (byte offsets [begin, end) into the text given to tokenize). */
struct Token {
  std::string term;
  size_t begin = 0;
  size_t end = 0;
};

/* Appends the words of text, in order, to out. Terms longer than 64 bytes
 * after normalisation are skipped (Xapian limits term length; such "words"
 * are never typed in a search box). */
void tokenize(std::string_view text, std::vector<Token> &out);

/* The normalised form of one word (case folded, accents removed); "" when
 * the input holds no letter or digit. */
std::string normalize_word(std::string_view word);

/* text folded as words are (case folded, accents removed, compatibility
 * forms mapped), but whole: spaces and punctuation are kept, so "Café au
 * Lait!" gives "cafe au lait!". Bytes that are not valid UTF-8 are dropped.
 * Used for filter values (filter.h), which compare whole strings. */
std::string fold_text(std::string_view text);

}  // namespace lmx

#endif
