/*
 * text.cpp: word splitting and normalisation for indexing and querying.
 *
 * A word is a maximal run of code points whose Unicode general category is a
 * letter (L*), a number (N*) or a mark (M*). Its term is the word mapped by
 * utf8proc with compatibility decomposition, case folding and mark stripping,
 * then recomposed (NFKC_Casefold without accents), so "Émile", "EMILE" and
 * "ｅｍｉｌｅ" all give "emile". Bytes that are not valid UTF-8 end the word
 * they interrupt and are never part of a term.
 *
 * Most indexed text is ASCII, so ASCII words take a fast path (lower-casing
 * in place) that gives exactly what the utf8proc mapping would give for them;
 * only words holding other code points pay for utf8proc_map. Both indexing
 * (documents.cpp) and the query side (query.cpp) call these functions, which
 * is what makes their terms agree.
 *
 * Letters of scripts written without spaces (text.h; the code point ranges
 * are in unspaced_script) end the word before them and form runs of their
 * own, cut into characters and pairs of characters: the character n-grams
 * of one and two characters that a search engine without a dictionary
 * indexes for such text. A character is a base code point with the
 * combining marks after it (and the half-width voicing marks, which are
 * letters by category but combine with the kana before them); its term is
 * NFKC_Casefold with the marks kept. A word-breaking dictionary (such as
 * ICU's) would give fewer, longer terms but costs every process that meets
 * such text several milliseconds to load (README, the search language).
 */
#include "text.h"

#include <utf8proc.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "utf8.h"

namespace lmx {
namespace {

constexpr utf8proc_option_t kMapOptions = static_cast<utf8proc_option_t>(
    UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD |
    UTF8PROC_STRIPMARK);
/* Characters of scripts without spaces keep their marks (see text.h). */
constexpr utf8proc_option_t kCharacterMapOptions =
    static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE |
                                   UTF8PROC_COMPAT | UTF8PROC_CASEFOLD);

/* Code point ranges of the scripts written without spaces between words.
 * Only letters, numbers and marks among them count (the punctuation of
 * these blocks separates as any other). Hangul is left out: it is written
 * with spaces. */
struct Range {
  char32_t first, last;
};
constexpr Range kUnspacedRanges[] = {
    {0x0E00, 0x0EFF},   /* Thai, Lao */
    {0x1000, 0x109F},   /* Myanmar */
    {0x1780, 0x17FF},   /* Khmer */
    {0x1950, 0x19FF},   /* Tai Le, New Tai Lue, Khmer symbols */
    {0x1A20, 0x1AAF},   /* Tai Tham */
    {0x3005, 0x303F},   /* ideographic iteration marks, 〆, 〇, Hangzhou
                           numerals, kana repeat marks */
    {0x3040, 0x30FF},   /* Hiragana, Katakana (with ー) */
    {0x3100, 0x312F},   /* Bopomofo */
    {0x31A0, 0x31BF},   /* Bopomofo extended */
    {0x31F0, 0x31FF},   /* Katakana phonetic extensions */
    {0x3400, 0x4DBF},   /* CJK unified ideographs extension A */
    {0x4E00, 0x9FFF},   /* CJK unified ideographs */
    {0xA000, 0xA4CF},   /* Yi */
    {0xA9E0, 0xA9FF},   /* Myanmar extended B */
    {0xAA60, 0xAADF},   /* Myanmar extended A, Tai Viet */
    {0xF900, 0xFAFF},   /* CJK compatibility ideographs */
    {0xFF66, 0xFF9F},   /* half-width Katakana */
    {0x1B000, 0x1B2FF}, /* Kana supplement and extensions, Nushu */
    {0x20000, 0x323AF}, /* CJK unified ideographs extensions B to H,
                           compatibility supplement */
};

/* Which ASCII bytes are letters or digits: a table, since the word
 * splitter asks for every byte of every stored text it highlights. */
constexpr std::array<bool, 128> kAsciiWordBytes = [] {
  std::array<bool, 128> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  return table;
}();

/* Whether c, an ASCII byte (below 0x80), is a letter or digit. */
bool ascii_word_byte(unsigned char c) { return kAsciiWordBytes[c]; }

bool is_word_category(utf8proc_int32_t cp) {
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

bool is_mark(utf8proc_int32_t cp) {
  utf8proc_category_t c = utf8proc_category(cp);
  return c >= UTF8PROC_CATEGORY_MN && c <= UTF8PROC_CATEGORY_ME;
}

/* Whether cp, a word code point, belongs to a script written without
 * spaces. */
bool unspaced_script(utf8proc_int32_t cp) {
  if (cp < 0x0E00) return false; /* the common case: Latin and its kin */
  for (const Range &r : kUnspacedRanges) {
    if (static_cast<char32_t>(cp) < r.first) return false;
    if (static_cast<char32_t>(cp) <= r.last) return true;
  }
  return false;
}

/* Whether cp belongs to the character before it: a combining mark, or a
 * half-width voicing mark (a letter by category, which NFKC turns into
 * the combining one). */
bool joins_character(utf8proc_int32_t cp) {
  return is_mark(cp) || cp == 0xFF9E || cp == 0xFF9F;
}

bool is_letter_or_number(utf8proc_int32_t cp) {
  utf8proc_category_t c = utf8proc_category(cp);
  return (c >= UTF8PROC_CATEGORY_LU && c <= UTF8PROC_CATEGORY_LO) ||
         (c >= UTF8PROC_CATEGORY_ND && c <= UTF8PROC_CATEGORY_NO);
}

/* The code point at s[i] and its byte length (0: not valid UTF-8, cp
 * unset), through the engine's UTF-8 unit. */
size_t decode_at(std::string_view s, size_t i, utf8proc_int32_t *cp) {
  char32_t code = 0;
  size_t n = utf8::decode(s, i, &code);
  if (n > 0) *cp = static_cast<utf8proc_int32_t>(code);
  return n;
}

/* Maps valid UTF-8 bytes to their term with options into out; out is ""
 * when the mapping fails (it cannot for valid input short of memory
 * exhaustion). */
void map_utf8(std::string_view text, utf8proc_option_t options,
              std::string &out) {
  out.clear();
  utf8proc_uint8_t *mapped = nullptr;
  utf8proc_ssize_t n = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t *>(text.data()),
      static_cast<utf8proc_ssize_t>(text.size()), &mapped, options);
  if (n > 0 && mapped) out.assign(reinterpret_cast<char *>(mapped), n);
  std::free(mapped);
}

unsigned char ascii_lower(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

/* Maps valid UTF-8 word bytes to their term into out ("" on failure). */
void map_word(std::string_view word, bool ascii, std::string &out) {
  if (!ascii) {
    map_utf8(word, kMapOptions, out);
    return;
  }
  out.resize(word.size());
  for (size_t k = 0; k < word.size(); ++k)
    out[k] = static_cast<char>(ascii_lower(word[k]));
}

/* Cuts the run of unspaced-script letters starting at text[i] into its
 * characters, handing sink a character token for each and, before each but
 * the first, the pair token of it and the character before it. Returns
 * where the run ends: at the first byte that is not a letter, number or
 * mark of such a script (nor a mark following one). A character whose
 * term cannot be made (too long) ends the pairs: the next one starts
 * afresh, as after a separator. */
size_t add_run(std::string_view text, size_t i, TokenSink &sink) {
  const size_t len = text.size();
  bool has_previous = false;
  size_t previous_begin = 0;
  std::string previous, term;
  Token token;
  while (i < len) {
    utf8proc_int32_t cp = 0;
    size_t n = decode_at(text, i, &cp);
    if (n == 0 || !is_word_category(cp) || !unspaced_script(cp) ||
        !is_letter_or_number(cp))
      break;
    const size_t begin = i;
    for (i += n; i < len; i += n) {
      n = decode_at(text, i, &cp);
      if (n == 0 || !joins_character(cp)) break;
    }
    map_utf8(text.substr(begin, i - begin), kCharacterMapOptions, term);
    if (term.empty() || term.size() > kMaxTermBytes / 2) {
      has_previous = false;
      continue;
    }
    if (has_previous) {
      token.term.assign(previous).append(term);
      token.begin = previous_begin;
      token.end = i;
      token.kind = TokenKind::kPair;
      sink.take(token);
    }
    token.term.assign(term);
    token.begin = begin;
    token.end = i;
    token.kind = TokenKind::kCharacter;
    sink.take(token);
    previous.swap(term);
    previous_begin = begin;
    has_previous = true;
  }
  return i;
}

/* Whether a run of unspaced-script letters starts at text[i], the start
 * of a word. */
bool starts_run(std::string_view text, size_t i) {
  if (static_cast<unsigned char>(text[i]) < 0x80) return false;
  utf8proc_int32_t cp = 0;
  return decode_at(text, i, &cp) > 0 && is_letter_or_number(cp) &&
         unspaced_script(cp);
}

}  // namespace

void tokenize(std::string_view text, std::vector<Token> &out) {
  struct Appender final : TokenSink {
    std::vector<Token> &out;
    explicit Appender(std::vector<Token> &o) : out(o) {}
    void take(Token &token) override { out.push_back(std::move(token)); }
  } appender(out);
  for_each_token(text, appender);
}

void for_each_token(std::string_view text, TokenSink &sink) {
  Token tok;
  size_t i = 0;
  const size_t len = text.size();
  while (i < len) {
    /* Skip to the start of the next word. */
    size_t begin = i;
    bool in_word = false;
    while (i < len) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        if (ascii_word_byte(c)) {
          in_word = true;
          break;
        }
        ++i;
        continue;
      }
      utf8proc_int32_t cp = 0;
      size_t n = decode_at(text, i, &cp);
      if (n > 0 && is_word_category(cp)) {
        in_word = true;
        break;
      }
      i += n > 0 ? n : 1;
    }
    if (!in_word) break;
    begin = i;
    if (starts_run(text, i)) {
      i = add_run(text, i, sink);
      continue;
    }

    /* Extend the word; note whether it is plain ASCII and holds a letter or
     * digit (a run of lone combining marks makes no term). */
    bool ascii = true;
    bool has_base = false;
    while (i < len) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        if (!ascii_word_byte(c)) break;
        has_base = true;
        ++i;
        continue;
      }
      utf8proc_int32_t cp = 0;
      size_t n = decode_at(text, i, &cp);
      if (n == 0 || !is_word_category(cp)) break;
      /* A letter of a script without spaces ends the word (marks stay
       * with the letter before them, whatever its script). */
      if (!is_mark(cp) && unspaced_script(cp)) break;
      ascii = false;
      if (is_letter_or_number(cp)) has_base = true;
      i += n;
    }
    if (!has_base) continue;
    if (ascii && !sink.may_take(i - begin, ascii_lower(text[begin]))) continue;

    map_word(text.substr(begin, i - begin), ascii, tok.term);
    if (tok.term.empty() || tok.term.size() > kMaxTermBytes) continue;
    tok.begin = begin;
    tok.end = i;
    tok.kind = TokenKind::kWord;
    sink.take(tok);
  }
}

void query_parts(const std::vector<Token> &tokens, bool as_phrase,
                 std::vector<QueryPart> &out) {
  if (tokens.empty()) return;
  if (as_phrase) out.emplace_back();
  for (size_t k = 0; k < tokens.size();) {
    /* tokens[k, next) is a word, or a run: character, pair, character... */
    size_t next = k + 1;
    while (next + 1 < tokens.size() && tokens[next].kind == TokenKind::kPair)
      next += 2;
    if (!as_phrase) out.push_back({{}, tokens[k].kind != TokenKind::kWord});
    std::vector<std::string> &terms = out.back().terms;
    if (next == k + 1) terms.push_back(tokens[k].term);
    for (size_t pair = k + 1; pair < next; pair += 2)
      terms.push_back(tokens[pair].term);
    /* The pairs of a run stand one position short of its end. */
    if (as_phrase && next > k + 1 && next < tokens.size())
      terms.push_back(tokens[next - 1].term);
    k = next;
  }
}

std::string normalize_word(std::string_view word) {
  /* Keep only the word characters (letters, numbers, marks) of valid UTF-8,
   * so stray punctuation or invalid bytes around a word do not change its
   * term. */
  std::string kept;
  kept.reserve(word.size());
  bool ascii = true;
  bool has_base = false;
  size_t i = 0;
  while (i < word.size()) {
    unsigned char c = static_cast<unsigned char>(word[i]);
    if (c < 0x80) {
      if (ascii_word_byte(c)) {
        kept.push_back(static_cast<char>(c));
        has_base = true;
      }
      ++i;
      continue;
    }
    utf8proc_int32_t cp = 0;
    size_t n = decode_at(word, i, &cp);
    if (n == 0) {
      ++i;
      continue;
    }
    if (is_word_category(cp)) {
      kept.append(word.data() + i, n);
      ascii = false;
      if (is_letter_or_number(cp)) has_base = true;
    }
    i += n;
  }
  if (!has_base) return std::string();
  std::string term;
  map_word(kept, ascii, term);
  return term;
}

std::string fold_text(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  bool ascii = true;
  size_t i = 0;
  while (i < text.size()) {
    size_t n = utf8::decode(text, i);
    if (n == 0) {
      ++i;
      continue;
    }
    if (n > 1) ascii = false;
    kept.append(text.data() + i, n);
    i += n;
  }
  std::string folded;
  map_word(kept, ascii, folded);
  return folded;
}

}  // namespace lmx
