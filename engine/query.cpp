/*
 * query.cpp: splits the user's query text into words, phrases and
 * exclusions (query.h gives the language) and builds the Xapian query.
 *
 * The parser walks the raw bytes once. Spaces (ASCII white space) separate
 * chunks; a '"' opens a phrase that runs to the next '"' or to the end of the
 * text; a '-' at the start of a chunk negates the chunk or the phrase right
 * after it. Each chunk or phrase is then cut into words by tokenize(), the
 * same splitter and normaliser the indexer uses, so every other character
 * (operators, punctuation, invalid bytes) only separates words.
 *
 * The builder ANDs the required parts. A word becomes the term itself, plus,
 * for the last word typed, a synonym group with its most frequent
 * completions, plus a weight-scaled synonym group of its typo candidates.
 * Phrases match exactly (no prefix, no typos) and exclusions match the exact
 * word or phrase. Ranking is left to the caller's weighting scheme; the
 * builder only says whether the query ranks at all.
 */
#include "query.h"

#include <algorithm>
#include <queue>
#include <unordered_map>
#include <utility>

#include "text.h"
#include "typo.h"

namespace lmx {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
         c == '\v';
}

/* Collects the words of pieces of the text while keeping the word budget. */
class WordBudget {
 public:
  /* Appends the terms of piece to out while the budget lasts; false when
   * some word of piece had to be dropped. too_long is set when piece holds
   * a word longer than any indexed term (tokenize skips those), which no
   * document can match. */
  bool take(std::string_view piece, std::vector<std::string> &out,
            bool &too_long) {
    tokens_.clear();
    tokenize(piece, tokens_);
    too_long = false;
    size_t done = 0;
    for (const auto &token : tokens_) {
      too_long = too_long || holds_word(piece.substr(done, token.begin - done));
      done = token.end;
    }
    too_long = too_long || holds_word(piece.substr(done));
    for (auto &token : tokens_) {
      if (used_ == kMaxQueryWords) return false;
      out.push_back(std::move(token.term));
      ++used_;
    }
    return true;
  }
  bool exhausted() const { return used_ == kMaxQueryWords; }

 private:
  /* Whether text between two words still holds a letter or digit. */
  static bool holds_word(std::string_view gap) {
    return !gap.empty() && !normalize_word(gap).empty();
  }

  std::vector<Token> tokens_;
  size_t used_ = 0;
};

Xapian::Query phrase_query(const std::vector<std::string> &terms) {
  if (terms.size() == 1) return Xapian::Query(terms[0]);
  return Xapian::Query(Xapian::Query::OP_PHRASE, terms.begin(), terms.end(),
                       static_cast<Xapian::termcount>(terms.size()));
}

/* Typo candidates by word, so a word repeated in a pasted text costs one
 * lookup. */
using TypoCache = std::unordered_map<std::string, std::vector<std::string>>;

/* The query of one required word: the word (with its completions when
 * as_prefix), or-ed with its typo candidates at a reduced weight. Records
 * every term it may match in matched. */
Xapian::Query word_query(const Xapian::Database &db, const std::string &word,
                         bool as_prefix, TypoCache &typo_cache,
                         std::unordered_set<std::string> &matched) {
  matched.insert(word);
  std::vector<std::string> same{word};
  if (as_prefix) {
    for (auto &term : prefix_completions(db, word, kMaxPrefixExpansions)) {
      matched.insert(term);
      same.push_back(std::move(term));
    }
  }
  Xapian::Query exact =
      same.size() == 1
          ? Xapian::Query(word)
          : Xapian::Query(Xapian::Query::OP_SYNONYM, same.begin(), same.end());

  auto cached = typo_cache.find(word);
  if (cached == typo_cache.end())
    cached =
        typo_cache.emplace(word, typo_candidates(db, word, kMaxTypoCandidates))
            .first;
  std::vector<std::string> typos;
  for (const auto &term : cached->second) {
    /* A completion that is also a typo candidate already matches at full
     * weight. */
    if (std::find(same.begin(), same.end(), term) != same.end()) continue;
    matched.insert(term);
    typos.push_back(term);
  }
  if (typos.empty()) return exact;
  Xapian::Query near(Xapian::Query::OP_SYNONYM, typos.begin(), typos.end());
  return Xapian::Query(
      Xapian::Query::OP_OR, exact,
      Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, near, kTypoWeightFactor));
}

}  // namespace

ParsedQuery parse_query(std::string_view text) {
  ParsedQuery parsed;
  WordBudget budget;
  /* Whether the latest words taken came whole from a plain chunk, and where
   * that chunk ends: its last word is still being typed when the chunk runs
   * to the end of the text (no space, no other chunk after it). */
  bool last_plain = false;
  size_t last_plain_end = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && !budget.exhausted()) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    bool negate = text[i] == '-';
    if (negate) ++i;
    std::vector<std::string> terms;
    bool complete = true;
    bool too_long = false;
    bool quoted = i < n && text[i] == '"';
    if (quoted) {
      size_t close = text.find('"', i + 1);
      size_t end = close == std::string_view::npos ? n : close;
      complete = budget.take(text.substr(i + 1, end - i - 1), terms, too_long);
      i = close == std::string_view::npos ? n : close + 1;
    } else {
      size_t end = i;
      while (end < n && !is_space(text[end]) && text[end] != '"') ++end;
      complete = budget.take(text.substr(i, end - i), terms, too_long);
      i = end;
    }
    /* A required word too long to be indexed matches nothing, so neither
     * does the query; an excluded one excludes nothing. */
    if (too_long) {
      if (negate) continue;
      parsed.unmatchable = true;
      break;
    }
    if (terms.empty()) continue;
    if (negate) {
      parsed.excluded.push_back(std::move(terms));
    } else if (quoted) {
      parsed.phrases.push_back(std::move(terms));
    } else {
      for (auto &term : terms) parsed.words.push_back(std::move(term));
    }
    /* A chunk cut off by the budget does not hold the last word typed. */
    last_plain = !negate && !quoted && complete;
    last_plain_end = i;
  }
  parsed.last_word_is_prefix = last_plain && last_plain_end == n;
  return parsed;
}

std::vector<std::string> prefix_completions(const Xapian::Database &db,
                                            const std::string &prefix,
                                            size_t max) {
  using Entry = std::pair<Xapian::doccount, std::string>;
  /* The heap's top is the weakest kept entry: least frequent, and among
   * equally frequent ones the latest in term order. */
  auto weaker = [](const Entry &a, const Entry &b) {
    if (a.first != b.first) return a.first > b.first;
    return a.second < b.second;
  };
  std::priority_queue<Entry, std::vector<Entry>, decltype(weaker)> kept(weaker);
  if (max == 0) return {};
  for (auto it = db.allterms_begin(prefix); it != db.allterms_end(prefix);
       ++it) {
    Xapian::doccount freq = it.get_termfreq();
    if (kept.size() == max && freq <= kept.top().first) continue;
    std::string term = *it;
    if (term == prefix) continue;
    kept.emplace(freq, std::move(term));
    if (kept.size() > max) kept.pop();
  }
  std::vector<std::string> out(kept.size());
  for (size_t k = out.size(); k > 0; --k) {
    out[k - 1] = kept.top().second;
    kept.pop();
  }
  return out;
}

BuiltQuery build_query(const Xapian::Database &db, std::string_view text) {
  ParsedQuery parsed = parse_query(text);
  BuiltQuery built;
  built.has_words = !parsed.empty() || parsed.unmatchable;
  if (parsed.unmatchable) {
    built.query = Xapian::Query::MatchNothing;
    built.unranked = false;
    return built;
  }

  std::vector<Xapian::Query> required;
  TypoCache typo_cache;
  for (size_t k = 0; k < parsed.words.size(); ++k) {
    bool as_prefix = parsed.last_word_is_prefix && k + 1 == parsed.words.size();
    required.push_back(word_query(db, parsed.words[k], as_prefix, typo_cache,
                                  built.matched_terms));
  }
  for (const auto &phrase : parsed.phrases) {
    built.matched_terms.insert(phrase.begin(), phrase.end());
    required.push_back(phrase_query(phrase));
  }

  built.unranked = required.empty();
  Xapian::Query query = required.empty()
                            ? Xapian::Query::MatchAll
                            : Xapian::Query(Xapian::Query::OP_AND,
                                            required.begin(), required.end());
  if (!parsed.excluded.empty()) {
    std::vector<Xapian::Query> unwanted;
    for (const auto &terms : parsed.excluded)
      unwanted.push_back(phrase_query(terms));
    query = Xapian::Query(
        Xapian::Query::OP_AND_NOT, query,
        Xapian::Query(Xapian::Query::OP_OR, unwanted.begin(), unwanted.end()));
  }
  built.query = query;
  return built;
}

}  // namespace lmx
