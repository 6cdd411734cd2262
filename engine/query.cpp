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
#include <cmath>
#include <cstdint>
#include <queue>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "layout.h"
#include "text.h"
#include "typo.h"
#include "utf8.h"

namespace lmx {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
         c == '\v';
}

/* Collects the words of pieces of the text while keeping the word budget. */
class WordBudget {
 public:
  /* Appends the parts of piece (text.h, query_parts) to out while the
   * budget lasts, each term counting one; false when some term of piece
   * had to be dropped (the part it belonged to keeps the terms before it).
   * too_long is set when piece holds a word longer than any indexed term
   * (tokenize skips those), which no document can match. */
  bool take(std::string_view piece, bool as_phrase, std::vector<QueryPart> &out,
            bool &too_long) {
    tokens_.clear();
    tokenize(piece, tokens_);
    too_long = false;
    size_t done = 0;
    for (const auto &token : tokens_) {
      if (token.kind == TokenKind::kPair) continue;
      too_long = too_long || holds_word(piece.substr(done, token.begin - done));
      done = token.end;
    }
    too_long = too_long || holds_word(piece.substr(done));
    parts_.clear();
    query_parts(tokens_, as_phrase, parts_);
    for (auto &part : parts_) {
      size_t fits = std::min(part.terms.size(), kMaxReadWords - used_);
      if (fits == 0) return false;
      used_ += fits;
      bool whole = fits == part.terms.size();
      part.terms.resize(fits);
      out.push_back(std::move(part));
      if (!whole) return false;
    }
    return true;
  }
  bool exhausted() const { return used_ == kMaxReadWords; }

 private:
  /* Whether text between two words still holds a letter or digit. */
  static bool holds_word(std::string_view gap) {
    return !gap.empty() && !normalize_word(gap).empty();
  }

  std::vector<Token> tokens_;
  std::vector<QueryPart> parts_;
  size_t used_ = 0;
};

Xapian::Query phrase_query(const std::vector<std::string> &terms) {
  if (terms.size() == 1) return Xapian::Query(terms[0]);
  return Xapian::Query(Xapian::Query::OP_PHRASE, terms.begin(), terms.end(),
                       static_cast<Xapian::termcount>(terms.size()));
}

/* One term, or a synonym group of terms, each with prefix put before it;
 * no terms: the empty query, which an OR leaves out. */
Xapian::Query any_of(const std::vector<std::string> &terms,
                     const char *prefix) {
  if (terms.empty()) return Xapian::Query();
  if (terms.size() == 1) return Xapian::Query(prefix + terms[0]);
  std::vector<std::string> prefixed;
  prefixed.reserve(terms.size());
  for (const auto &term : terms) prefixed.push_back(prefix + term);
  return Xapian::Query(Xapian::Query::OP_SYNONYM, prefixed.begin(),
                       prefixed.end());
}

/* The terms of same whose form under prefix is indexed. A word being typed
 * has dozens of completions and most never start a heading or stand alone
 * as a value ("serv" has 50): stepping one vocabulary cursor forward
 * through them in term order tells which are there, where the query would
 * otherwise open a posting list for each. */
std::vector<std::string> indexed_under(const Xapian::Database &db,
                                       const char *prefix,
                                       std::vector<std::string> same) {
  std::sort(same.begin(), same.end());
  std::vector<std::string> out;
  Xapian::TermIterator it = db.allterms_begin(prefix);
  const Xapian::TermIterator end = db.allterms_end(prefix);
  for (const auto &term : same) {
    const std::string wanted = prefix + term;
    it.skip_to(wanted);
    if (it == end) break;
    if (*it == wanted) out.push_back(term);
  }
  return out;
}

/* Typo candidates by word, so a word repeated in a pasted text costs one
 * lookup. */
using TypoCache = std::unordered_map<std::string, std::vector<std::string>>;

/* Whether a prefix is short: its completions are looked for among heading
 * words only (layout.h), and matched through their heading terms. */
bool short_prefix(const std::string &prefix) {
  return utf8::length(prefix) <= kShortPrefixLength;
}

/* Whether db holds heading terms at all (kept in stats when not null). An
 * index written before they existed has none; its short prefixes are
 * expanded among all words, as longer ones are, rather than matching only
 * the letters typed. */
bool has_headings(const Xapian::Database &db, StatsCache *stats) {
  if (stats && stats->headings >= 0) return stats->headings == 1;
  bool any =
      db.allterms_begin(kHeadingPrefix) != db.allterms_end(kHeadingPrefix);
  if (stats) stats->headings = any ? 1 : 0;
  return any;
}

/* Completions by prefix: the word being typed is expanded for its own
 * query and again for the phrase bonus, at the cost of one scan. A short
 * prefix scans the heading terms' range: it holds fewer terms than the word
 * range, and the posting lists of heading terms are much shorter than those
 * of the most frequent words, which for one or two letters are words held
 * by most documents. */
class Completions {
 public:
  /* cap bounds the completions of any prefix (prefix_expansions gives
   * the usual number); stats, when not null, keeps them for later
   * searches (stats_cache.h). */
  Completions(const Xapian::Database &db, size_t cap, StatsCache *stats)
      : db_(db), headings_(has_headings(db, stats)), cap_(cap), stats_(stats) {}
  /* Whether prefix is expanded among heading words only. */
  bool headings_only(const std::string &prefix) const {
    return headings_ && short_prefix(prefix);
  }
  const std::vector<std::string> &of(const std::string &prefix) {
    auto it = cache_.find(prefix);
    if (it != cache_.end()) return it->second;
    size_t max = std::min(prefix_expansions(utf8::length(prefix)), cap_);
    /* Copied from the shared cache: it may be emptied while this query
     * still refers to its own copy. */
    std::string key = prefix + '\0' + std::to_string(max);
    if (stats_) {
      auto kept = stats_->completions.find(key);
      if (kept != stats_->completions.end())
        return cache_.emplace(prefix, kept->second).first->second;
    }
    std::vector<std::string> words = look_up(prefix, max);
    if (stats_)
      StatsCache::put(stats_->completions, kMaxCachedExpansions, key, words);
    return cache_.emplace(prefix, std::move(words)).first->second;
  }

 private:
  /* The completions of prefix, at most max, read from the vocabulary. */
  std::vector<std::string> look_up(const std::string &prefix, size_t max) {
    if (!headings_only(prefix)) return prefix_completions(db_, prefix, max);
    const size_t skip = std::string_view(kHeadingPrefix).size();
    std::vector<std::string> words =
        prefix_completions(db_, kHeadingPrefix + prefix, max);
    for (auto &word : words) word.erase(0, skip);
    return words;
  }

  const Xapian::Database &db_;
  bool headings_;
  size_t cap_;
  StatsCache *stats_;
  std::unordered_map<std::string, std::vector<std::string>> cache_;
};

/* Splits the completions of a typed word that is itself indexed into those
 * about as frequent as the word (kept in same, after the word) and the rare
 * ones (moved to rare). Text that is a frequent word ("server") is most
 * likely that word, finished, and a completion held by a handful of
 * documents ("server1") is then a poor guess at what the user means; text
 * that is no word ("ngin") or a rare one ("postgres") keeps every
 * completion. */
void split_rare_completions(const TermFreqs &freqs,
                            std::vector<std::string> &same,
                            std::vector<std::string> &rare) {
  double own = freqs(same[0]);
  if (own == 0 || same.size() < 2) return;
  double floor = own * kRareCompletionRatio;
  size_t kept = 1;
  for (size_t k = 1; k < same.size(); ++k) {
    if (freqs(same[k]) < floor)
      rare.push_back(std::move(same[k]));
    else if (kept++ != k)
      same[kept - 1] = std::move(same[k]);
  }
  same.resize(kept);
}

/* The terms of same (one synonym group) with prefix put before each, and
 * the phrases in the same group, that group's weight times factor, or-ed
 * with the rare completions as a group of their own at a reduced weight. */
Xapian::Query with_rare(const std::vector<std::string> &same,
                        const std::vector<std::string> &rare,
                        const char *prefix,
                        const std::vector<Xapian::Query> &phrases = {},
                        double factor = 1.0) {
  Xapian::Query group = any_of(same, prefix);
  if (!phrases.empty()) {
    std::vector<Xapian::Query> members{group};
    members.insert(members.end(), phrases.begin(), phrases.end());
    group = Xapian::Query(Xapian::Query::OP_SYNONYM, members.begin(),
                          members.end());
  }
  if (factor != 1.0)
    group = Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, group, factor);
  if (rare.empty()) return group;
  Xapian::Query parts[] = {
      group, Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, any_of(rare, prefix),
                           kRareCompletionFactor)};
  return Xapian::Query(Xapian::Query::OP_OR, parts, parts + 2);
}

/* What one required word matches: all of it, and its word terms without
 * typo candidates (nor heading and whole-value terms, nor rare
 * completions). */
struct WordQuery {
  Xapian::Query all;
  Xapian::Query exact;
  bool has_typos = false;
  /* The word terms with the stem and typo candidates, without heading and
   * whole-value terms: what the second tier weighs (partial_query). */
  Xapian::Query loose;
};

/* What word_query reads besides the word: the index's vocabulary and
 * settings, the shared caches, and where the matched terms go. */
struct WordContext {
  const Xapian::Database &db;
  const QuerySettings &settings;
  Completions &completions;
  TypoCache &typo_cache;
  BuiltQuery &built;
  /* A question: words the index holds get only their rarer ending typo
   * candidates. */
  bool question;
  /* Each word's exact matches' bonus is folded into its own weight
   * (word_query, fold_exact_tier). */
  bool fold_exact_tier;
  /* What later searches may reuse (stats_cache.h); null for nothing. */
  StatsCache *stats;
};

/* Whether word is taken as typed (query.h): in a question, a word the
 * index holds; anywhere, a word at least kKnownWordDocs documents hold. */
bool taken_as_typed(const TermFreqs &freqs, const std::string &word,
                    bool question) {
  const Xapian::doccount freq = freqs(word);
  return question ? freq > 0 : freq >= kKnownWordDocs;
}

/* Whether the bonus of exact matches is folded into each word's own
 * weight instead of an AND of every word's exact terms weighed again. A
 * query of one word gets the same weights either way, without reading its
 * posting lists twice. So does a query whose words could only be matched
 * with other endings, none misspelt (every word taken as typed, or too
 * short for typos): a document holding another form of a word is still
 * weighed a tenth for it (kTypoWeightFactor), and the AND costs as much as
 * the rest of a two-word query ("web server": an eighth of its search). A
 * word that may be misspelt keeps the tier: a document holding its typo
 * in a stronger field must not come before one holding every word as
 * typed. So does a question, whose every word the index holds is taken as
 * typed: there the tier's AND of every word is what ranks the few
 * documents holding them all (with a language, raising each word's typed
 * form alone put other forms behind and cost the judged questions). */
bool fold_exact_tier(const TermFreqs &freqs,
                     const std::vector<std::string> &words, bool question) {
  if (words.size() == 1) return true;
  if (question) return false;
  for (const auto &word : words)
    if (typo_max_distance(utf8::length(word)) > 0 &&
        !taken_as_typed(freqs, word, false))
      return false;
  return true;
}

/* The typo candidates of word in the query cx builds, from cx.stats when
 * it holds them (kept there otherwise). */
std::vector<std::string> typos_of(const WordContext &cx,
                                  const std::string &word) {
  /* In a question a word the index holds is most likely typed as meant,
   * and so is a common word anywhere (kKnownWordDocs): its other endings
   * (plural, tense) are worth matching, a scan of two ranges of the
   * vocabulary per word for its misspellings is not. An ending only a
   * handful of the word's documents hold is mostly another name
   * (kMinEndingTypoRatio); in a question, one far more frequent than the
   * word is mostly another word, and costly to match
   * (kMaxQuestionTypoRatio). */
  const Xapian::doccount word_freq = cx.built.freqs(word);
  const bool known = taken_as_typed(cx.built.freqs, word, cx.question);
  /* The two kinds of ending candidates differ: each has its own key. */
  std::string key =
      (!known ? "any:" : cx.question ? "ending:" : "common:") + word;
  if (cx.stats) {
    auto kept = cx.stats->typos.find(key);
    if (kept != cx.stats->typos.end()) return kept->second;
  }
  std::vector<std::string> found;
  if (!known)
    found = typo_candidates(cx.db, word, kMaxTypoCandidates);
  else if (cx.question)
    found = ending_typo_candidates(cx.db, word, kMaxTypoCandidates,
                                   kMinEndingTypoRatio * word_freq,
                                   kMaxQuestionTypoRatio * word_freq);
  else
    found = ending_typo_candidates(cx.db, word, kMaxTypoCandidates,
                                   kMinEndingTypoRatio * word_freq);
  if (cx.stats)
    StatsCache::put(cx.stats->typos, kMaxCachedExpansions, key, found);
  return found;
}

/* The synonyms of a one-word key: the one-word synonyms appended to words
 * (they join the word's groups under every prefix) and the phrases as
 * queries (plain words only: prefixed terms have no positions). Records
 * their terms as matched. */
void add_synonyms(const WordContext &cx, const std::string &word,
                  std::vector<std::string> &words,
                  std::vector<Xapian::Query> &phrases) {
  auto found = cx.settings.synonyms.find(word);
  if (found == cx.settings.synonyms.end()) return;
  for (const auto &terms : found->second) {
    cx.built.matched_terms.insert(terms.begin(), terms.end());
    if (terms.size() == 1)
      words.push_back(terms[0]);
    else
      phrases.push_back(phrase_query(terms));
  }
}

/* terms with more appended, those already in terms left out. */
std::vector<std::string> joined_with(std::vector<std::string> terms,
                                     const std::vector<std::string> &more) {
  for (const auto &term : more)
    if (std::find(terms.begin(), terms.end(), term) == terms.end())
      terms.push_back(term);
  return terms;
}

/* The query of one required word: the word (with its completions when
 * as_prefix, and its synonyms) or-ed with its stem and its typo candidates
 * at reduced weights. Records every term it may match in cx.built. */
WordQuery word_query(const WordContext &cx, const std::string &word,
                     bool as_prefix) {
  Completions &completions = cx.completions;
  std::unordered_set<std::string> &matched = cx.built.matched_terms;
  matched.insert(word);
  std::vector<std::string> same{word};
  if (as_prefix) {
    const auto &found = completions.of(word);
    same.insert(same.end(), found.begin(), found.end());
  }
  /* The heading and whole-value terms only add weight: a document holding
   * one of them holds the word too. The completions of a short prefix are
   * matched through those terms alone. */
  bool headings_only = as_prefix && completions.headings_only(word);
  std::vector<std::string> rare;
  if (!headings_only) split_rare_completions(cx.built.freqs, same, rare);
  /* A common word typed whole is taken as typed (query.h): a document
   * holding only a rare longer word that starts with it would rank after
   * a thousand others, and each rare completion is a posting list to read
   * ("server": 28 of them, a twentieth of a "web server" request). */
  if (!rare.empty() && taken_as_typed(cx.built.freqs, word, false))
    rare.clear();
  matched.insert(same.begin(), same.end());
  matched.insert(rare.begin(), rare.end());
  /* Synonyms join after the split: they rank as the word, however rare. */
  std::vector<std::string> synonyms;
  std::vector<Xapian::Query> phrases;
  add_synonyms(cx, word, synonyms, phrases);
  const std::vector<std::string> plain_terms = joined_with(
      headings_only ? std::vector<std::string>{word} : same, synonyms);
  if (!synonyms.empty()) same = joined_with(std::move(same), synonyms);
  Xapian::Query plain = with_rare(plain_terms, rare, "", phrases);
  /* The word terms or-ed with the heading and whole-value terms, the
   * group of the word terms weighed factor times. A rare completion weighs
   * a tenth of the word: its heading and whole-value terms would add a
   * tenth of a tenth, for a posting list each, so only the word terms
   * match it. */
  const bool many = as_prefix && same.size() > 1;
  const std::vector<std::string> headed =
      many && !headings_only ? indexed_under(cx.db, kHeadingPrefix, same)
                             : same;
  const std::vector<std::string> whole =
      many ? indexed_under(cx.db, kWholeValuePrefix, same) : same;
  auto exact_of = [&](double factor) {
    Xapian::Query parts[] = {
        factor == 1.0 ? plain
                      : with_rare(plain_terms, rare, "", phrases, factor),
        any_of(headed, kHeadingPrefix), any_of(whole, kWholeValuePrefix)};
    return Xapian::Query(Xapian::Query::OP_OR, parts, parts + 3);
  };
  /* What the bonus of exact matches weighs again (kExactTierFactor): the
   * word terms, but not the rare completions, which would add their
   * posting lists for a fifth of the word's weight. */
  Xapian::Query unexpanded =
      rare.empty() ? plain : with_rare(plain_terms, {}, "", phrases);

  std::vector<Xapian::Query> near;
  Xapian::Query stem_term;
  /* Other forms of the word: its stem term, below the word itself. */
  if (cx.settings.stemmer) {
    std::string stem = (*cx.settings.stemmer)(word);
    if (!stem.empty()) {
      cx.built.matched_stems.insert(stem);
      stem_term = Xapian::Query(kStemPrefix + stem);
      near.push_back(Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, stem_term,
                                   kStemWeightFactor));
    }
  }
  auto cached = cx.typo_cache.find(word);
  if (cached == cx.typo_cache.end())
    cached = cx.typo_cache.emplace(word, typos_of(cx, word)).first;
  std::vector<std::string> typos;
  for (const auto &term : cached->second) {
    /* A completion that is also a typo candidate already matches. */
    if (std::find(same.begin(), same.end(), term) != same.end() ||
        std::find(rare.begin(), rare.end(), term) != rare.end())
      continue;
    matched.insert(term);
    typos.push_back(term);
  }
  if (!typos.empty())
    near.push_back(Xapian::Query(
        Xapian::Query::OP_SCALE_WEIGHT,
        Xapian::Query(Xapian::Query::OP_SYNONYM, typos.begin(), typos.end()),
        kTypoWeightFactor));
  if (near.empty()) return {exact_of(1.0), unexpanded, false, plain};
  near.insert(near.begin(), plain);
  /* The second tier weighs the word in any form by its stem, whose
   * statistics are those of all its forms, and the form typed only a
   * little above the others. */
  std::vector<Xapian::Query> any_form(near);
  if (!stem_term.empty()) {
    any_form[0] =
        Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, plain, kTypedFormFactor);
    any_form[1] = stem_term;
  }
  Xapian::Query loose(Xapian::Query::OP_OR, any_form.begin(), any_form.end());
  /* The bonus of exact matches (kExactTierFactor) weighs the words'
   * unexpanded terms again where all of them match: for one word, that is
   * its own group weighed 1 + kExactTierFactor times, the same weights
   * without reading the same posting lists a second time; so it is for
   * words that can only differ by their endings (fold_exact_tier). */
  near[0] = exact_of(cx.fold_exact_tier ? 1.0 + kExactTierFactor : 1.0);
  return {Xapian::Query(Xapian::Query::OP_OR, near.begin(), near.end()),
          unexpanded, true, loose};
}

/* The AND of every required word query and phrase. */
Xapian::Query all_of(const std::vector<Xapian::Query> &words,
                     const std::vector<Xapian::Query> &phrases) {
  std::vector<Xapian::Query> parts(words);
  parts.insert(parts.end(), phrases.begin(), phrases.end());
  if (parts.size() == 1) return parts[0];
  return Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
}

/* The exact terms one typed word stands for in a phrase: the word, or for
 * the word being typed the word and its completions but the rare ones
 * (split_rare_completions: a tenth of the word's weight, and a posting
 * list and a position list each to pair them); none for a short prefix,
 * which says too little to pair with its neighbour. */
std::vector<std::string> typed_word(const TermFreqs &freqs,
                                    const std::string &word, bool as_prefix,
                                    Completions &completions) {
  if (!as_prefix) return {word};
  if (short_prefix(word)) return {};
  std::vector<std::string> same{word};
  const auto &more = completions.of(word);
  same.insert(same.end(), more.begin(), more.end());
  std::vector<std::string> rare;
  split_rare_completions(freqs, same, rare);
  return same;
}

/* A word typed as one that the documents write as two ("webserver" for
 * "web server"): the phrases of the two halves, to be or-ed with the
 * word's own query (or_with). Only splits into two indexed words of
 * kMinJoinedPart code points or more count, the one whose rarer half is
 * the most frequent first; at most kMaxSplits of them. */
std::vector<Xapian::Query> split_spellings(
    const TermFreqs &freqs, const std::string &word,
    std::unordered_set<std::string> &matched) {
  std::vector<Xapian::Query> out;
  std::u32string cps;
  if (!to_code_points(word, cps) || cps.size() < 2 * kMinJoinedPart ||
      cps.size() > kMaxSplitLength)
    return out;
  std::vector<std::pair<Xapian::doccount, size_t>> splits;
  size_t byte = 0;
  for (size_t cp = 0; cp + kMinJoinedPart <= cps.size(); ++cp) {
    if (cp >= kMinJoinedPart) {
      Xapian::doccount left = freqs(word.substr(0, byte));
      Xapian::doccount right = left ? freqs(word.substr(byte)) : 0;
      if (left && right) splits.emplace_back(std::min(left, right), byte);
    }
    byte = utf8::next(word, byte);
  }
  std::sort(splits.begin(), splits.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  if (splits.size() > kMaxSplits) splits.resize(kMaxSplits);
  for (const auto &split : splits) {
    std::vector<std::string> halves{word.substr(0, split.second),
                                    word.substr(split.second)};
    matched.insert(halves.begin(), halves.end());
    out.push_back(phrase_query(halves));
  }
  return out;
}

/* query or-ed with each of alternatives; query itself when there is none. */
Xapian::Query or_with(Xapian::Query query,
                      const std::vector<Xapian::Query> &alternatives) {
  if (alternatives.empty()) return query;
  std::vector<Xapian::Query> parts{std::move(query)};
  parts.insert(parts.end(), alternatives.begin(), alternatives.end());
  return Xapian::Query(Xapian::Query::OP_OR, parts.begin(), parts.end());
}

/* The inverse document frequency BM25 gives a term (or synonym group) held
 * by freq documents, kept above a small floor like the weighting scheme's
 * own. */
double idf(const Xapian::Database &db, double freq) {
  double n = db.get_doccount();
  freq = std::min(freq, n);
  return std::max(std::log((n - freq + 0.5) / (freq + 0.5)), kMinIdf);
}

/* The number of documents holding any of terms, prefix put before each,
 * estimated from above by the sum of their frequencies. */
double group_freq(const TermFreqs &freqs, const char *prefix,
                  const std::vector<std::string> &terms) {
  double sum = 0;
  for (const auto &term : terms) sum += freqs(prefix + term);
  return sum;
}

/* The factor that makes one joined term weigh like the two words it
 * stands for, under prefix: the sum of the words' inverse document
 * frequencies over the joined term's. A rare joined spelling is worth
 * about as much as its two common halves found together, no more; at most
 * kMaxJoinedFactor, since a joined spelling already says the two words
 * stand together. 0 when no document holds the joined term under prefix. */
double joined_factor(const Xapian::Database &db, const TermFreqs &freqs,
                     const char *prefix, const std::vector<std::string> &first,
                     const std::vector<std::string> &second,
                     const std::vector<std::string> &joined) {
  double freq = group_freq(freqs, prefix, joined);
  if (freq == 0) return 0.0;
  double halves = idf(db, group_freq(freqs, prefix, first)) +
                  idf(db, group_freq(freqs, prefix, second));
  return std::min(halves / idf(db, freq), kMaxJoinedFactor);
}

/* The joined spelling of terms under prefix, scaled by factor (0 or no
 * terms: none). */
Xapian::Query scaled(const std::vector<std::string> &terms, const char *prefix,
                     double factor) {
  if (factor <= 0 || terms.empty()) return Xapian::Query();
  return Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, any_of(terms, prefix),
                       factor);
}

/* One query as build_query gathers it: what was parsed, the word queries
 * built so far (each word with its expansions, and its exact form alone),
 * the phrases, whether any word has typo candidates, the completions looked
 * up (shared, so each prefix is expanded once) and the terms the query
 * matches on (for highlighting). */
struct QueryState {
  const Xapian::Database &db;
  const ParsedQuery &parsed;
  Completions &completions;
  std::unordered_set<std::string> &matched;
  const TermFreqs &freqs;
  std::vector<Xapian::Query> words;
  std::vector<Xapian::Query> exact_words;
  std::vector<Xapian::Query> phrases;
  bool any_typos;
  std::vector<Xapian::Query> loose_words;
  /* Each word's documents, with the fewest terms (build_query). */
  std::vector<Xapian::Query> match_words;
};

/* Whether one of docs (sorted, distinct) holds one term of each of
 * any_of_words and every term of each of all_of_phrases. The parts are
 * checked one after the other, in the order given (put the likeliest to
 * rule documents out first), each through its terms' posting lists stepped
 * over the documents still in the running, and the check stops as soon as
 * none is left. A question's documents mostly drop out at the first word
 * or two looked at, so a few short posting-list reads replace reading each
 * document's whole term list, which pair terms made twice as long. */
bool some_holds_all(
    const Xapian::Database &db, std::vector<Xapian::docid> docs,
    const std::vector<std::vector<std::string>> &any_of_words,
    const std::vector<std::vector<std::string>> &all_of_phrases) {
  std::vector<char> held;
  /* Leaves in docs those that hold one of terms. */
  auto keep_holders = [&](const std::vector<std::string> &terms) {
    held.assign(docs.size(), 0);
    for (const auto &term : terms) {
      Xapian::PostingIterator p = db.postlist_begin(term);
      const Xapian::PostingIterator end = db.postlist_end(term);
      for (size_t i = 0; i < docs.size() && p != end; ++i) {
        if (held[i]) continue;
        p.skip_to(docs[i]);
        if (p != end && *p == docs[i]) held[i] = 1;
      }
    }
    size_t kept = 0;
    for (size_t i = 0; i < docs.size(); ++i)
      if (held[i]) docs[kept++] = docs[i];
    docs.resize(kept);
    return !docs.empty();
  };
  for (const auto &terms : any_of_words)
    if (!keep_holders(terms)) return false;
  for (const auto &terms : all_of_phrases)
    for (const auto &term : terms)
      if (!keep_holders({term})) return false;
  return !docs.empty();
}

/* The terms of each of queries. */
std::vector<std::vector<std::string>> terms_of(
    const std::vector<Xapian::Query> &queries) {
  std::vector<std::vector<std::string>> out;
  for (const auto &q : queries)
    out.emplace_back(q.get_unique_terms_begin(), q.get_unique_terms_end());
  return out;
}

/* The positions of the query's words, the words fewer documents hold
 * first (ties in query order). */
std::vector<size_t> by_rarity(const QueryState &state) {
  const std::vector<std::string> &typed = state.parsed.words;
  std::vector<std::pair<Xapian::doccount, size_t>> by_freq;
  for (size_t k = 0; k < typed.size(); ++k)
    by_freq.emplace_back(state.freqs(typed[k]), k);
  std::sort(by_freq.begin(), by_freq.end());
  std::vector<size_t> order;
  for (const auto &entry : by_freq) order.push_back(entry.second);
  return order;
}

/* Whether some document holding one of same (a joined spelling and, for
 * the word being typed, its completions) may also match every other
 * required part of the query: the words other than the pair k, k + 1
 * (one of the terms each word's query holds) and the phrases (all of their
 * terms). Only looked at when same is held by at most kMaxJoinedProbe
 * documents, by looking those documents up in the other words' posting
 * lists (some_holds_all); otherwise, and with no other part, true. A false
 * answer is exact: the alternative would match nothing, while its query would
 * open the posting list of every term of the other words once more ("isee" in a
 * ten-word question). It mirrors the alternative joined_alternatives builds,
 * the AND of the other words and the phrases: a change there must be made here
 * too. */
bool joined_may_match(const QueryState &state, size_t k,
                      const std::vector<std::string> &same) {
  const size_t n = state.parsed.words.size();
  if (n <= 2 && state.phrases.empty()) return true;
  double held = 0;
  for (const auto &term : same) held += state.freqs(term);
  if (held > kMaxJoinedProbe) return true;
  std::vector<Xapian::Query> others;
  for (size_t j : by_rarity(state))
    if (j != k && j != k + 1) others.push_back(state.words[j]);
  std::vector<Xapian::docid> docs;
  for (const auto &term : same)
    for (auto p = state.db.postlist_begin(term);
         p != state.db.postlist_end(term); ++p)
      docs.push_back(*p);
  std::sort(docs.begin(), docs.end());
  docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
  return some_holds_all(state.db, docs, terms_of(others),
                        terms_of(state.phrases));
}

/* Whether no document can hold every word and phrase of a question
 * (true only when that is certain). The first tier of a question is
 * mostly empty, and finding that out by running it opens every term of
 * every word, their heading and whole-value forms and the neighbour
 * bonuses' positions. Instead the kBoundWords words the fewest documents
 * hold are matched together (their match_words); when at most
 * kMaxBoundProbe documents hold them all, some_holds_all says whether one
 * of them also holds a term of every other word, the rarer words first,
 * and every term of each phrase. It
 * looks at the words' terms only, so it holds for the AND of the words
 * and phrases, not for joined spellings or synonyms of several words. */
bool holds_no_document(const QueryState &state) {
  if (state.parsed.words.size() <= kBoundWords) return false;
  const std::vector<size_t> order = by_rarity(state);
  std::vector<Xapian::Query> rarest;
  for (size_t k = 0; k < kBoundWords; ++k)
    rarest.push_back(state.match_words[order[k]]);
  Xapian::Enquire enquire(state.db);
  enquire.set_query(
      Xapian::Query(Xapian::Query::OP_AND, rarest.begin(), rarest.end()));
  enquire.set_weighting_scheme(Xapian::BoolWeight());
  Xapian::MSet mset = enquire.get_mset(0, kMaxBoundProbe + 1);
  if (mset.size() > kMaxBoundProbe) return false;
  std::vector<Xapian::docid> docs(mset.begin(), mset.end());
  std::sort(docs.begin(), docs.end());
  /* The documents hold the rarest words: the others are left to check. */
  std::vector<Xapian::Query> others;
  for (size_t k = kBoundWords; k < order.size(); ++k)
    others.push_back(state.words[order[k]]);
  return !some_holds_all(state.db, docs, terms_of(others),
                         terms_of(state.phrases));
}

/* Two neighbouring words typed apart that the documents write as one
 * ("web server" for "webserver"): for each pair among the first
 * kMaxJoinedWords words whose concatenation is indexed (or, for the word
 * being typed, has completions), the query with that pair replaced by the
 * concatenation. The joined term weighs like the two words would in the
 * same place (word, heading or name terms), see joined_factor, and it
 * takes the place of the bonuses the two words would get: it stands for
 * them standing together, and when typo candidates take part, for their
 * exact matches. */
std::vector<Xapian::Query> joined_alternatives(QueryState &state) {
  const Xapian::Database &db = state.db;
  const ParsedQuery &parsed = state.parsed;
  const std::vector<Xapian::Query> &words = state.words;
  const std::vector<Xapian::Query> &exact_words = state.exact_words;
  const std::vector<Xapian::Query> &phrases = state.phrases;
  const bool any_typos = state.any_typos;
  Completions &completions = state.completions;
  std::unordered_set<std::string> &matched = state.matched;
  std::vector<Xapian::Query> out;
  const size_t n = parsed.words.size();
  for (size_t k = 0; k + 1 < n && k + 1 < kMaxJoinedWords; ++k) {
    std::string joined = parsed.words[k] + parsed.words[k + 1];
    bool as_prefix = parsed.last_word_is_prefix && k + 2 == n;
    if (as_prefix && short_prefix(parsed.words[k + 1])) continue;
    std::vector<std::string> same{joined};
    std::vector<std::string> second{parsed.words[k + 1]};
    if (as_prefix) {
      const auto &more = completions.of(joined);
      same.insert(same.end(), more.begin(), more.end());
      const auto &next = completions.of(parsed.words[k + 1]);
      second.insert(second.end(), next.begin(), next.end());
    }
    if (same.size() == 1 && state.freqs(joined) == 0) continue;
    matched.insert(same.begin(), same.end());
    if (!joined_may_match(state, k, same)) continue;
    const std::vector<std::string> first{parsed.words[k]};
    double plain_factor =
        joined_factor(db, state.freqs, "", first, second, same);
    double heading_factor =
        joined_factor(db, state.freqs, kHeadingPrefix, first, second, same);
    if (heading_factor == 0) heading_factor = plain_factor;
    /* Whole-value terms of the halves hardly exist (a name is one word):
     * the joined name counts as the joined heading word does. */
    Xapian::Query plain = scaled(same, "", plain_factor);
    const bool many = same.size() > 1;
    Xapian::Query parts[] = {
        plain,
        scaled(many ? indexed_under(db, kHeadingPrefix, same) : same,
               kHeadingPrefix, heading_factor),
        scaled(many ? indexed_under(db, kWholeValuePrefix, same) : same,
               kWholeValuePrefix, heading_factor)};
    Xapian::Query any(Xapian::Query::OP_OR, parts, parts + 3);
    std::vector<Xapian::Query> rest;
    std::vector<Xapian::Query> rest_exact;
    for (size_t j = 0; j < n; ++j) {
      if (j == k) {
        rest.push_back(any);
        rest_exact.push_back(plain);
      }
      if (j != k && j != k + 1) {
        rest.push_back(words[j]);
        rest_exact.push_back(exact_words[j]);
      }
    }
    Xapian::Query bonus = plain;
    if (any_typos)
      bonus = Xapian::Query(
          Xapian::Query::OP_OR, bonus,
          Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, all_of(rest_exact, {}),
                        kExactTierFactor));
    out.push_back(Xapian::Query(Xapian::Query::OP_AND_MAYBE,
                                all_of(rest, phrases), bonus));
  }
  return out;
}

/* The documents where word stands right before one of next: those holding
 * one of their pair terms, or, without pair_terms, those matching them as a
 * phrase. */
Xapian::Query together(const std::string &word,
                       const std::vector<std::string> &next, bool pair_terms) {
  if (pair_terms) {
    std::vector<Xapian::Query> held;
    for (const std::string &term : next)
      held.emplace_back(pair_term(word, term));
    return Xapian::Query(Xapian::Query::OP_OR, held.begin(), held.end());
  }
  Xapian::Query any_next(Xapian::Query::OP_OR, next.begin(), next.end());
  Xapian::Query phrase[] = {Xapian::Query(word), any_next};
  return Xapian::Query(Xapian::Query::OP_PHRASE, phrase, phrase + 2, 2);
}

/* Extra weight for documents holding neighbouring words of the query next
 * to each other, in the order typed: for each pair of neighbouring words
 * (the word being typed with its completions, typed_word), the pair's word
 * weights again where the pair stands as a phrase; one query per pair, none
 * for fewer than two words. The weight comes from the terms, the word being
 * typed with its completions as one synonym group, and the phrase only
 * filters: a phrase weighs each of its terms apart, which would give a rare
 * completion the weight of a rare word. With pair_terms the documents
 * where the words stand together are those holding a pair term of them,
 * whose posting lists are short, where a phrase reads the positions of
 * every document holding both words. */
std::vector<Xapian::Query> adjacency_bonus(const ParsedQuery &parsed,
                                           const TermFreqs &freqs,
                                           Completions &completions,
                                           bool pair_terms) {
  const size_t n = parsed.words.size();
  std::vector<Xapian::Query> pairs;
  for (size_t k = 0; k + 1 < n && k + 1 < kMaxJoinedWords; ++k) {
    bool as_prefix = parsed.last_word_is_prefix && k + 2 == n;
    std::vector<std::string> next =
        typed_word(freqs, parsed.words[k + 1], as_prefix, completions);
    if (next.empty()) continue;
    Xapian::Query weight[] = {Xapian::Query(parsed.words[k]), any_of(next, "")};
    pairs.push_back(
        Xapian::Query(Xapian::Query::OP_FILTER,
                      Xapian::Query(Xapian::Query::OP_OR, weight, weight + 2),
                      together(parsed.words[k], next, pair_terms)));
  }
  return pairs;
}

/* Several consecutive words that are a synonym key ("science fiction"
 * for {"science fiction":["sf"]}): for each such run, the longest key first
 * and runs not overlapping, the query with the run's words replaced by one
 * synonym group of the key as a phrase and its synonyms, so a document
 * holding a synonym matches in their place. The groups themselves go to
 * groups, for the second tier. */
std::vector<Xapian::Query> synonym_alternatives(
    QueryState &state, const QuerySettings &settings,
    std::vector<Xapian::Query> &groups) {
  std::vector<Xapian::Query> out;
  const std::vector<std::string> &typed = state.parsed.words;
  if (settings.synonyms.empty()) return out;
  for (size_t k = 0; k + 1 < typed.size();) {
    size_t run = 0;
    const std::vector<std::vector<std::string>> *same = nullptr;
    std::string key = typed[k];
    for (size_t m = 2; m <= kMaxSynonymKeyWords && k + m <= typed.size(); ++m) {
      key += ' ';
      key += typed[k + m - 1];
      auto found = settings.synonyms.find(key);
      if (found != settings.synonyms.end()) {
        run = m;
        same = &found->second;
      }
    }
    if (run == 0) {
      ++k;
      continue;
    }
    std::vector<std::string> own(typed.begin() + k, typed.begin() + k + run);
    std::vector<Xapian::Query> members{phrase_query(own)};
    for (const auto &terms : *same) {
      state.matched.insert(terms.begin(), terms.end());
      members.push_back(phrase_query(terms));
    }
    Xapian::Query group(Xapian::Query::OP_SYNONYM, members.begin(),
                        members.end());
    groups.push_back(group);
    std::vector<Xapian::Query> rest;
    for (size_t j = 0; j < typed.size(); ++j) {
      if (j == k) rest.push_back(group);
      if (j < k || j >= k + run) rest.push_back(state.words[j]);
    }
    out.push_back(all_of(rest, state.phrases));
    k += run;
  }
  return out;
}

/* The second tier of strategy "most": documents holding some of the words
 * (or a synonym group of several of them, key_groups), ranked by BM25 over
 * the word terms they hold (heading and whole-value terms would give
 * common words of names, "my" or "how", the weight of a name). Every
 * phrase must match; with a phrase, a document holding none of the words
 * matches too. Stop words only add weight. Empty when the first tier is
 * all there can be: fewer than two words and phrases typed, or stop words
 * only. */
Xapian::Query partial_query(const QueryState &state,
                            const QuerySettings &settings,
                            const std::vector<Xapian::Query> &key_groups) {
  const ParsedQuery &parsed = state.parsed;
  size_t typed = parsed.words.size() + (parsed.missing_word ? 1 : 0) +
                 state.phrases.size();
  if (typed < 2) return Xapian::Query();
  std::vector<Xapian::Query> optional(key_groups);
  std::vector<Xapian::Query> stops;
  for (size_t k = 0; k < parsed.words.size(); ++k) {
    bool stop = settings.stop_words.count(parsed.words[k]) != 0;
    (stop ? stops : optional).push_back(state.loose_words[k]);
  }
  if (optional.empty() && state.phrases.empty()) return Xapian::Query();
  if (!state.phrases.empty()) {
    optional.insert(optional.end(), stops.begin(), stops.end());
    Xapian::Query required = all_of({}, state.phrases);
    if (optional.empty()) return required;
    return Xapian::Query(
        Xapian::Query::OP_AND_MAYBE, required,
        Xapian::Query(Xapian::Query::OP_OR, optional.begin(), optional.end()));
  }
  Xapian::Query any(Xapian::Query::OP_OR, optional.begin(), optional.end());
  if (stops.empty()) return any;
  return Xapian::Query(
      Xapian::Query::OP_AND_MAYBE, any,
      Xapian::Query(Xapian::Query::OP_OR, stops.begin(), stops.end()));
}

/* Keeps at most kMaxQueryWords of parsed's words, the weightiest (query.h):
 * the rarest indexed words, then words the index does not hold, then stop
 * words, each distinct word once, in the order typed. A text within the
 * bound is left as it is. */
void keep_weightiest(const TermFreqs &freqs, const QuerySettings &settings,
                     ParsedQuery &parsed) {
  std::vector<std::string> &words = parsed.words;
  if (words.size() <= kMaxQueryWords) return;
  /* (class, frequency, position) of each distinct word. */
  std::vector<std::tuple<int, Xapian::doccount, size_t>> ranked;
  std::unordered_set<std::string> seen;
  for (size_t k = 0; k < words.size(); ++k) {
    if (!seen.insert(words[k]).second) continue;
    Xapian::doccount freq = freqs(words[k]);
    int kind = settings.stop_words.count(words[k]) ? 2 : freq == 0 ? 1 : 0;
    ranked.emplace_back(kind, freq, k);
  }
  std::sort(ranked.begin(), ranked.end());
  if (ranked.size() > kMaxQueryWords) ranked.resize(kMaxQueryWords);
  std::vector<size_t> kept;
  for (const auto &r : ranked) kept.push_back(std::get<2>(r));
  std::sort(kept.begin(), kept.end());
  const size_t last = words.size() - 1;
  parsed.last_word_is_prefix =
      parsed.last_word_is_prefix && kept.back() == last;
  std::vector<std::string> out;
  for (size_t k : kept) out.push_back(std::move(words[k]));
  words = std::move(out);
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
    std::vector<QueryPart> parts;
    bool complete = true;
    bool too_long = false;
    bool quoted = i < n && text[i] == '"';
    if (quoted) {
      size_t close = text.find('"', i + 1);
      size_t end = close == std::string_view::npos ? n : close;
      complete =
          budget.take(text.substr(i + 1, end - i - 1), true, parts, too_long);
      i = close == std::string_view::npos ? n : close + 1;
    } else {
      size_t end = i;
      while (end < n && !is_space(text[end]) && text[end] != '"') ++end;
      complete = budget.take(text.substr(i, end - i), negate, parts, too_long);
      i = end;
    }
    /* A word too long to be indexed matches nothing: a phrase holding one
     * matches nothing, so neither does the query; no document holds every
     * word when a plain word is one (the others may still match some);
     * an excluded one excludes nothing. */
    if (too_long) {
      if (negate) continue;
      if (quoted) {
        parsed.unmatchable = true;
        break;
      }
      parsed.missing_word = true;
    }
    if (parts.empty()) continue;
    if (negate) {
      parsed.excluded.push_back(std::move(parts[0].terms));
    } else if (quoted) {
      parsed.phrases.push_back(std::move(parts[0].terms));
    } else {
      /* A run is a phrase: no prefix, no typo candidates. */
      for (auto &part : parts) {
        if (part.run)
          parsed.phrases.push_back(std::move(part.terms));
        else
          parsed.words.push_back(std::move(part.terms[0]));
      }
    }
    /* A chunk cut off by the budget does not hold the last word typed, nor
     * does one that ends in a run. */
    last_plain = !negate && !quoted && complete && !parts.back().run;
    last_plain_end = i;
  }
  parsed.last_word_is_prefix = last_plain && last_plain_end == n;
  return parsed;
}

Xapian::doccount TermFreqs::operator()(const std::string &term) const {
  auto &memo = stats_ ? stats_->freqs : known_;
  auto found = memo.find(term);
  if (found != memo.end()) return found->second;
  Xapian::doccount freq = db_->get_termfreq(term);
  StatsCache::put(memo, stats_ ? kMaxCachedStatistics : SIZE_MAX, term, freq);
  return freq;
}

size_t prefix_expansions(size_t length) {
  if (length <= 1) return kMaxOneLetterExpansions;
  if (length == 2) return kMaxTwoLetterExpansions;
  return kMaxPrefixExpansions;
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

BuiltQuery build_query(const Xapian::Database &db, std::string_view text,
                       const QuerySettings &settings,
                       MatchingStrategy strategy, StatsCache *stats) {
  ParsedQuery parsed = parse_query(text);
  BuiltQuery built;
  built.freqs = TermFreqs(db, stats);
  built.has_words =
      !parsed.empty() || parsed.unmatchable || parsed.missing_word;
  if (parsed.unmatchable ||
      (parsed.missing_word && parsed.words.empty() && parsed.phrases.empty())) {
    built.query = Xapian::Query::MatchNothing;
    built.unranked = false;
    return built;
  }
  keep_weightiest(built.freqs, settings, parsed);

  const size_t n = parsed.words.size();
  const bool question = n >= kQuestionWords;
  Completions completions(db, question ? kMaxQuestionExpansions : SIZE_MAX,
                          stats);
  QueryState state{db,  parsed, completions, built.matched_terms,
                   built.freqs, {}, {}, {}, false, {}, {}};
  std::vector<Xapian::Query> &words = state.words;
  std::vector<Xapian::Query> &exact_words = state.exact_words;
  std::vector<Xapian::Query> &phrases = state.phrases;
  bool &any_typos = state.any_typos;
  TypoCache typo_cache;
  const WordContext cx{db,
                       settings,
                       completions,
                       typo_cache,
                       built,
                       question,
                       fold_exact_tier(built.freqs, parsed.words, question),
                       stats};
  for (size_t k = 0; k < n; ++k) {
    bool as_prefix = parsed.last_word_is_prefix && k + 1 == n;
    WordQuery q = word_query(cx, parsed.words[k], as_prefix);
    std::vector<Xapian::Query> splits;
    /* A word taken as typed is not two words run together. */
    if (k < kMaxJoinedWords &&
        !taken_as_typed(built.freqs, parsed.words[k], question))
      splits = split_spellings(built.freqs, parsed.words[k],
                               built.matched_terms);
    q.all = or_with(std::move(q.all), splits);
    /* The word's documents with the fewest terms, for the first tier's
     * check (holds_no_document): its heading and whole-value terms add
     * none, except for a short prefix's completions (matched through
     * heading terms alone). */
    bool headings_only =
        as_prefix && completions.headings_only(parsed.words[k]);
    state.match_words.push_back(headings_only ? q.all
                                              : or_with(q.loose, splits));
    any_typos = any_typos || q.has_typos;
    words.push_back(std::move(q.all));
    exact_words.push_back(std::move(q.exact));
    state.loose_words.push_back(std::move(q.loose));
  }
  for (const auto &phrase : parsed.phrases) {
    built.matched_terms.insert(phrase.begin(), phrase.end());
    phrases.push_back(phrase_query(phrase));
  }

  built.unranked = words.empty() && phrases.empty();
  Xapian::Query query = Xapian::Query::MatchAll;
  /* What the first tier matches, before its bonuses: the second tier
   * leaves these documents out. */
  Xapian::Query core = Xapian::Query::MatchNothing;
  std::vector<Xapian::Query> key_groups;
  if (!built.unranked) {
    /* A word too long to be indexed is held by no document. */
    query = parsed.missing_word ? Xapian::Query::MatchNothing
                                : all_of(words, phrases);
    std::vector<Xapian::Query> joined = joined_alternatives(state);
    std::vector<Xapian::Query> by_synonym =
        synonym_alternatives(state, settings, key_groups);
    joined.insert(joined.end(), by_synonym.begin(), by_synonym.end());
    if (!joined.empty() && !parsed.missing_word) {
      /* A joined spelling is another way to write the same words, not
       * more evidence: it counts only where the words apart do not match
       * in their exact forms (each word's exact terms: no typo candidates,
       * rare completions or split spellings, which would open their posting
       * lists once more, dozens for a common word being typed, to rule out
       * the few documents that hold the joined spelling too). Which
       * documents the tier holds does not change: those the exact forms
       * leave in match query as well, and only their weight gains the
       * joined spelling's. */
      const Xapian::Query apart = all_of(state.exact_words, phrases);
      for (auto &alt : joined)
        alt = Xapian::Query(Xapian::Query::OP_AND_NOT, alt, apart);
      joined.insert(joined.begin(), query);
      query = Xapian::Query(Xapian::Query::OP_OR, joined.begin(), joined.end());
    }
    core = query;
    /* Joined spellings and synonyms of several words match documents
     * that lack some word: no bound of the words alone holds them. */
    if (question && joined.empty() && !parsed.missing_word)
      built.first_tier_empty = holds_no_document(state);
    std::vector<Xapian::Query> bonuses =
        adjacency_bonus(parsed, built.freqs, completions, settings.pair_terms);
    /* Documents matching every word without typos weigh their exact word
     * matches again, raised, so they rank above documents that need a typo
     * candidate, even when those match other words in stronger places.
     * Only the word terms take part: heading and whole-value terms would
     * cost as much again for no change in the order of the tiers. A query
     * of one word, or of words none of which may be misspelt, has this
     * folded into each word's own weight (fold_exact_tier). */
    if (any_typos && !cx.fold_exact_tier) {
      bonuses.push_back(Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT,
                                      all_of(exact_words, {}),
                                      kExactTierFactor));
    }
    /* Each bonus is an AND_MAYBE of its own rather than one branch of an
     * OR of bonuses: under an OR, the matcher (Xapian 1.4) can add a
     * phrase's weight to a document whose words match but do not stand
     * together, whenever another branch of the OR matches it. */
    for (const auto &bonus : bonuses)
      query = Xapian::Query(Xapian::Query::OP_AND_MAYBE, query, bonus);
  }
  built.core = core;
  if (strategy == MatchingStrategy::kMost && !built.unranked)
    built.partial = partial_query(state, settings, key_groups);
  if (!parsed.excluded.empty()) {
    std::vector<Xapian::Query> unwanted;
    for (const auto &terms : parsed.excluded)
      unwanted.push_back(phrase_query(terms));
    Xapian::Query any_unwanted(Xapian::Query::OP_OR, unwanted.begin(),
                               unwanted.end());
    query = Xapian::Query(Xapian::Query::OP_AND_NOT, query, any_unwanted);
    if (!built.partial.empty())
      built.partial =
          Xapian::Query(Xapian::Query::OP_AND_NOT, built.partial, any_unwanted);
  }
  built.query = query;
  return built;
}

}  // namespace lmx
