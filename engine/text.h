/*
 * text.h: the engine's text normalisation and word splitting, shared by
 * indexing (documents) and querying (search), which must agree exactly.
 *
 * A word is a maximal run of Unicode letters, digits and combining marks.
 * Each word is normalised: compatibility-decomposed, combining marks (accents)
 * removed, case-folded and recomposed, so "Émile", "EMILE" and "emile" give
 * the same term. Invalid UTF-8 bytes separate words and never reach a term.
 *
 * Scripts written without spaces between words (Han, Hiragana, Katakana,
 * Bopomofo, Yi, Thai, Lao, Khmer, Myanmar and the Tai scripts) have no word
 * boundaries to split at. A run of their letters is cut into characters
 * instead (a character keeps the combining marks after it), and each
 * character and each pair of neighbouring characters is a token, so that
 * "猫" finds "吾輩は猫である" and "猫で" finds it as one unit. A character's
 * term keeps its marks (a kana's voicing mark or a Thai vowel sign is a
 * letter of its own, not an accent) and is otherwise normalised as words are.
 * Hangul is written with spaces and stays in words.
 */
#ifndef LMX_ENGINE_TEXT_H
#define LMX_ENGINE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lmx {

/* What a token stands for. */
enum class TokenKind : unsigned char {
  /* A word, as described above. */
  kWord,
  /* One character of a run of a script written without spaces. */
  kCharacter,
  /* Two neighbouring characters of such a run. Its source range spans both,
   * it comes right after the token of its first character and stands at
   * that character's position: an indexer gives it the position of the
   * token before it, so the pairs of a run stand at consecutive positions
   * and a run typed in a query is found as the phrase of its pairs. */
  kPair,
};

/* One token of a text: its normalised term and where it stands in the source
 * (byte offsets [begin, end) into the text given to tokenize). Tokens come
 * in the order of their begin; only a pair overlaps its neighbours. */
struct Token {
  std::string term;
  size_t begin = 0;
  size_t end = 0;
  TokenKind kind = TokenKind::kWord;
};

/* Terms longer than this many bytes after normalisation are skipped: Xapian
 * limits term length, and such "words" are never typed in a search box. */
constexpr size_t kMaxTermBytes = 64;

/* Appends the tokens of text, in order, to out (see kMaxTermBytes). */
void tokenize(std::string_view text, std::vector<Token> &out);

/* What for_each_token hands the tokens of a text to. */
class TokenSink {
 public:
  /* Called once per token, in tokenize's order. token is for the call only:
   * the sink may move its term away; otherwise its storage is reused for
   * the next token, which is what makes a sink that keeps nothing cheaper
   * than tokenize. */
  virtual void take(Token &token) = 0;

  /* Asked before the term of a word of plain ASCII is made, with what that
   * term will be: its length in bytes and its first byte (lower case).
   * False skips the word: take is not called for it. A sink that wants a
   * few known terms answers most words here, for less than making their
   * terms costs. */
  virtual bool may_take(size_t term_bytes, unsigned char first) {
    (void)term_bytes;
    (void)first;
    return true;
  }

 protected:
  ~TokenSink() = default;
};

/* Hands the tokens of text to sink, one at a time, as tokenize would
 * append them. */
void for_each_token(std::string_view text, TokenSink &sink);

/* What a query looks for in place of some tokens: terms that must stand
 * at consecutive positions (one term for a word), and whether they are
 * those of a run of characters (never for a whole phrase, below). */
struct QueryPart {
  std::vector<std::string> terms;
  bool run = false;
};

/* Appends to out the parts a query looks for in place of tokens (all the
 * tokens of one text, in tokenize's order). A word is a part of its own; a
 * run of characters is one part, its character when it has one, else its
 * pairs in order, which stand at consecutive positions in an index. With
 * as_phrase the whole text is one part (nothing when tokens is empty), in
 * which a run followed by more terms also takes its last character, so
 * that what follows stands at the next position. */
void query_parts(const std::vector<Token> &tokens, bool as_phrase,
                 std::vector<QueryPart> &out);

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
