/*
 * stop_words.h: the stop words of the languages the engine stems, from a
 * maintained list (the Snowball project's), vendored into the library by
 * scripts/make-stop-words as stop_words_data.cpp.
 *
 * The words are as the list gives them; normalising them as search words is
 * the reader's (settings.cpp, query_settings). Which languages have a list
 * is said in the generated file.
 */
#ifndef LMX_ENGINE_STOP_WORDS_H
#define LMX_ENGINE_STOP_WORDS_H

#include <string_view>

namespace lmx {

/* The stop words of the language code (a language_codes() code), one per
 * line, each line ended by '\n'; empty when the language has no list or
 * the code is unknown. The text is static. */
std::string_view stop_words_of(std::string_view code);

}  // namespace lmx

#endif
