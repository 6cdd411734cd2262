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
 */
#include "text.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>

#include "utf8.h"

namespace lmx {
namespace {

/* Terms longer than this are dropped (Xapian caps terms at 245 bytes, and
 * such runs are hashes or base64, never typed into a search box). */
constexpr size_t kMaxTermBytes = 64;

constexpr utf8proc_option_t kMapOptions = static_cast<utf8proc_option_t>(
    UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD |
    UTF8PROC_STRIPMARK);

bool ascii_word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

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

/* Maps valid UTF-8 word bytes to their term into out; out is "" when the
 * mapping fails (it cannot for valid input short of memory exhaustion). */
void map_word(std::string_view word, bool ascii, std::string &out) {
  out.clear();
  if (ascii) {
    out.assign(word.data(), word.size());
    for (char &c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return;
  }
  utf8proc_uint8_t *mapped = nullptr;
  utf8proc_ssize_t n = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t *>(word.data()),
      static_cast<utf8proc_ssize_t>(word.size()), &mapped, kMapOptions);
  if (n > 0 && mapped) out.assign(reinterpret_cast<char *>(mapped), n);
  std::free(mapped);
}

}  // namespace

void tokenize(std::string_view text, std::vector<Token> &out) {
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
      ascii = false;
      if (is_letter_or_number(cp)) has_base = true;
      i += n;
    }
    if (!has_base) continue;

    Token tok;
    map_word(text.substr(begin, i - begin), ascii, tok.term);
    if (tok.term.empty() || tok.term.size() > kMaxTermBytes) continue;
    tok.begin = begin;
    tok.end = i;
    out.push_back(std::move(tok));
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
