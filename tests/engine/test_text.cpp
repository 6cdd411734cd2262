/*
 * test_text.cpp: the engine's word splitter (engine/text.h), compiled in
 * from its source since the library exports only its C face: words of
 * spaced scripts, and runs of scripts written without spaces cut into
 * characters and pairs of characters, with the byte ranges highlighting
 * relies on, and the terms a query looks for in their place.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.h"

namespace {

using lmx::Token;
using lmx::TokenKind;

/* The tokens of text as "w:term", "c:term" or "p:term", space-separated. */
std::string kinds_and_terms(const std::string &text) {
  std::vector<Token> tokens;
  lmx::tokenize(text, tokens);
  std::string out;
  for (const Token &t : tokens) {
    if (!out.empty()) out += ' ';
    out += t.kind == TokenKind::kWord        ? "w:"
           : t.kind == TokenKind::kCharacter ? "c:"
                                             : "p:";
    out += t.term;
  }
  return out;
}

TEST(EngineText, RunsOfScriptsWithoutSpacesBecomeCharactersAndPairs) {
  struct Row {
    const char *what;
    std::string text;
    const char *want;
  } rows[] = {
      {"Han and Hiragana", "吾輩は猫",
       "c:吾 p:吾輩 c:輩 p:輩は c:は p:は猫 c:猫"},
      {"one character", "猫", "c:猫"},
      {"Katakana with the prolonged sound mark", "カーネル",
       "c:カ p:カー c:ー p:ーネ c:ネ p:ネル c:ル"},
      {"Latin words and numbers around a run", "Linux カーネル 2.6",
       "w:linux c:カ p:カー c:ー p:ーネ c:ネ p:ネル c:ル w:2 w:6"},
      {"a script change ends a word without a space", "Linuxカーネル2",
       "w:linux c:カ p:カー c:ー p:ーネ c:ネ p:ネル c:ル w:2"},
      {"digits between ideographs are words", "第3章", "c:第 w:3 c:章"},
      {"punctuation ends a run: no pair across it", "猫。犬", "c:猫 c:犬"},
      {"an invalid byte ends a run", "猫\xff犬", "c:猫 c:犬"},
      {"voicing marks are kept", "ガス", "c:ガ p:ガス c:ス"},
      {"half-width kana with their voicing mark", "ｶﾞｽ", "c:ガ p:ガス c:ス"},
      {"compatibility ideograph", "\xef\xa4\x80", "c:\xe8\xb1\x88"},
      {"Thai keeps its vowel and tone marks in the character", "ที่นี่",
       "c:ที่ p:ที่นี่ c:นี่"},
      {"Lao", "ລາວ", "c:ລ p:ລາ c:າ p:າວ c:ວ"},
      {"Khmer: a sign stays with its consonant", "ខ្មែរ",
       "c:ខ្ p:ខ្មែ c:មែ p:មែរ c:រ"},
      {"Myanmar", "မြန်", "c:မြ p:မြန် c:န်"},
      {"a lone mark before a run makes no token", "\xcc\x81猫", "c:猫"},
      {"Hangul is written with spaces: words", "한국어 사전",
       "w:한국어 w:사전"},
      {"full-width Latin stays a word", "ＬＩＮＵＸ", "w:linux"},
      {"accents of spaced scripts are still removed", "Émile", "w:emile"},
      {"empty", "", ""},
  };
  for (const Row &r : rows)
    EXPECT_EQ(kinds_and_terms(r.text), r.want) << r.what;
}

TEST(EngineText, TokensCoverTheirSourceBytesAndPairsSpanBothCharacters) {
  std::vector<Token> tokens;
  lmx::tokenize("a カー", tokens);
  struct Want {
    size_t begin, end;
  } want[] = {{0, 1}, {2, 5}, {2, 8}, {5, 8}};
  ASSERT_EQ(tokens.size(), 4u);
  for (size_t k = 0; k < tokens.size(); ++k) {
    EXPECT_EQ(tokens[k].begin, want[k].begin) << k;
    EXPECT_EQ(tokens[k].end, want[k].end) << k;
  }
}

TEST(EngineText, ACharacterTooLongForATermBreaksTheRunInTwo) {
  /* 猫 with 40 combining accents cannot be a term (nor a pair): the run
   * goes on after it without a pair across. */
  std::string heavy = "猫";
  for (int k = 0; k < 40; ++k) heavy += "\xcc\x81";
  EXPECT_EQ(kinds_and_terms("犬" + heavy + "魚"), "c:犬 c:魚");
}

/* A sink that keeps "term@begin" of what it takes, and takes only the
 * plain ASCII words whose term would start with first and have size
 * bytes; it also notes what it was asked. */
struct Picky final : lmx::TokenSink {
  unsigned char first;
  size_t size;
  std::string taken, asked;
  Picky(unsigned char f, size_t n) : first(f), size(n) {}
  bool may_take(size_t term_bytes, unsigned char c) override {
    asked += std::string(1, static_cast<char>(c)) + std::to_string(term_bytes);
    asked += ' ';
    return c == first && term_bytes == size;
  }
  void take(Token &t) override {
    taken += t.term + "@" + std::to_string(t.begin) + " ";
  }
};

TEST(EngineText, ASinkSeesWhatEachAsciiTermWillBeAndSkipsWhatItRefuses) {
  /* Asked with the lower-case first byte and the term's length; refused
   * words are never taken; words with other code points and characters
   * of unspaced scripts are always taken (their terms are not known
   * before they are made). */
  Picky sink('z', 4);
  lmx::for_each_token("Zola zone ZOLAS Émile 猫 zola", sink);
  EXPECT_EQ(sink.asked, "z4 z4 z5 z4 ");
  EXPECT_EQ(sink.taken, "zola@0 zone@5 emile@16 猫@23 zola@27 ");
  /* A sink that takes everything gets what tokenize gives. */
  struct All final : lmx::TokenSink {
    std::vector<Token> got;
    void take(Token &t) override { got.push_back(t); }
  } all;
  const std::string text = "a カー Émile x2-Y";
  lmx::for_each_token(text, all);
  std::vector<Token> tokens;
  lmx::tokenize(text, tokens);
  ASSERT_EQ(all.got.size(), tokens.size());
  for (size_t k = 0; k < tokens.size(); ++k) {
    EXPECT_EQ(all.got[k].term, tokens[k].term) << k;
    EXPECT_EQ(all.got[k].begin, tokens[k].begin) << k;
    EXPECT_EQ(all.got[k].kind, tokens[k].kind) << k;
  }
}

/* The parts a query makes of text, as "word(t)", "run(t t)" or
 * "phrase(t t)", space-separated. */
std::string parts_of(const std::string &text, bool as_phrase) {
  std::vector<Token> tokens;
  lmx::tokenize(text, tokens);
  std::vector<lmx::QueryPart> parts;
  lmx::query_parts(tokens, as_phrase, parts);
  std::string out;
  for (const lmx::QueryPart &part : parts) {
    if (!out.empty()) out += ' ';
    out += as_phrase ? "phrase(" : part.run ? "run(" : "word(";
    for (size_t k = 0; k < part.terms.size(); ++k)
      out += (k ? " " : "") + part.terms[k];
    out += ')';
  }
  return out;
}

TEST(EngineText, AQueryLooksForARunThroughItsPairs) {
  struct Row {
    std::string text;
    bool as_phrase;
    const char *want;
  } rows[] = {
      {"猫", false, "run(猫)"},
      {"吾輩は猫", false, "run(吾輩 輩は は猫)"},
      {"猫。犬", false, "run(猫) run(犬)"},
      {"Linux カーネル 2.6", false,
       "word(linux) run(カー ーネ ネル) word(2) word(6)"},
      /* in a phrase, the last character keeps what follows in step */
      {"Linux カーネル 2.6", true, "phrase(linux カー ーネ ネル ル 2 6)"},
      {"吾輩は 猫", true, "phrase(吾輩 輩は は 猫)"},
      {"カーネル", true, "phrase(カー ーネ ネル)"},
      {"猫 linux", true, "phrase(猫 linux)"},
      {"", true, ""},
      {"", false, ""},
  };
  for (const Row &r : rows)
    EXPECT_EQ(parts_of(r.text, r.as_phrase), r.want)
        << r.text << (r.as_phrase ? " as a phrase" : "");
}

}  // namespace
