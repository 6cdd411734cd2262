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

#include "lumidex_admin.h"

namespace lmx {

/* Where in a request body a failure lies: the 1-based position of the
 * failing document (0: the body as a whole) and a byte offset in the body
 * (-1: not known). known is false for failures that are not about a body. */
struct BodyPosition {
  bool known = false;
  unsigned long long document = 0;
  long long byte_offset = -1;
};

/* A failure with a text meant for the caller (already made safe by
 * safe_text when it quotes input), what it is about as a value, and, for a
 * body, where in it. The C face hands all three out. */
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string &text,
                 lumidex_error_code code = LUMIDEX_ERROR_INTERNAL,
                 BodyPosition where = {})
      : std::runtime_error(text), code_(code), where_(where) {}
  lumidex_error_code code() const { return code_; }
  const BodyPosition &where() const { return where_; }

 private:
  lumidex_error_code code_;
  BodyPosition where_;
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
