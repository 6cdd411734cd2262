/*
 * error.h: the engine's failure type and the helpers that make error texts
 * safe to hand out.
 *
 * Inside the library a failure the caller should read about is thrown as
 * lmx::Error carrying its finished text; the C face (lumidex_face.cpp)
 * catches it, and every other exception, and turns it into the last-error
 * text. Error texts are one line of valid UTF-8 even when they quote user
 * input, because the handlers put them verbatim into JSON messages.
 */
#ifndef LMX_ENGINE_ERROR_H
#define LMX_ENGINE_ERROR_H

#include <stdexcept>
#include <string>
#include <string_view>

namespace lmx {

/* A failure with a text meant for the caller (already made safe by
 * safe_text when it quotes input). */
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string &text) : std::runtime_error(text) {}
};

/* text with every byte sequence that is not valid UTF-8 replaced by U+FFFD
 * and every control character (newlines included) replaced by a space. */
std::string safe_text(std::string_view text);

/* User input for quoting inside an error text: safe_text of at most the
 * first 200 bytes of s (cut on a character boundary), with "..." appended
 * when s was longer, so a 10 KB name does not make a 10 KB message. */
std::string quote_input(std::string_view s);

}  // namespace lmx

#endif
