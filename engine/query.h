/*
 * query.h: the query language, turned into a Xapian query.
 *
 * What the user types is plain text; nothing in it is an operator except
 * these few marks, so no input can fail to parse:
 *  - words (text.h decides what a word is) all have to match;
 *  - the last word also matches as a prefix when nothing but the word ends
 *    the text (search as you type); a trailing space makes it a whole word;
 *    a prefix of one or two letters only matches words of headings (below);
 *  - "double-quoted words" match as a phrase, exactly (no prefix, no typo
 *    candidates); an unbalanced quote makes the rest of the text the phrase;
 *  - a chunk of text that starts with '-' after a space (or at the start)
 *    excludes the documents holding its word (or phrase, for -"a b" or a
 *    chunk like -foo-bar that splits into several words), while a '-'
 *    inside a chunk only separates words (foo-bar requires foo and bar);
 *  - words of 5 to 8 code points also match indexed words at edit distance 1,
 *    of 9 or more at distance 2 (typo.h), weighted well below exact matches;
 *  - a word too long to be indexed (text.h) matches nothing: a query that
 *    requires one has no hits, an exclusion of one excludes nothing;
 *  - a run of characters of a script written without spaces (text.h) is
 *    a phrase of its own: one character its term, several the phrase of
 *    their pairs, never a prefix and without typo candidates.
 * Everything else (AND, NEAR, *, (, :, ^ ...) is ordinary text.
 *
 * The last word typed gets its typo candidates too (computed for the word as
 * typed, not for its completions): a search box never ends in a space, and
 * a misspelt word would otherwise find nothing until the user typed one.
 *
 * Matching strategies (MatchingStrategy). "all" matches the documents that
 * hold every word (and phrase), ranked as below: the query as built above.
 * "most" (the default) ranks those first, in the same order, and then the
 * documents that hold only some of the words, ranked by BM25 over the words
 * they hold, so a rare word matched counts far more than a common one. In
 * that second tier a phrase must still match, an exclusion still excludes,
 * the last word keeps its prefix rule and every word its typo candidates;
 * a stop word (settings.h) never makes a document match on its own there,
 * though it adds weight to one that matches otherwise (in the first tier
 * and inside phrases stop words count like any word).
 *
 * Long questions: at most kMaxReadWords words of the text are read (phrase
 * and excluded words included); of its plain words at most kMaxQueryWords
 * are kept, those that carry the most weight: the rarest in the index
 * first, then words the index does not hold (they can only match through a
 * typo or a completion, and in a pasted text they are mostly names, codes
 * and numbers), then stop words; a repeated word counts once. The kept
 * words keep their order in the text, so neighbouring words still count
 * together. A text of up to kMaxQueryWords words keeps every word.
 * Deciding costs one dictionary lookup per distinct word read, so a pasted
 * paragraph (the API takes up to 4096 bytes) costs at most kMaxReadWords
 * lookups before the query is built from kMaxQueryWords words.
 *
 * Questions: a text of kQuestionWords plain words or more is mostly a
 * question typed in full, where a word the index holds is meant as typed.
 * Such a word's typo candidates are only those that change its ending
 * ("file" and "filed" for "files", typo.h), found in one short range of
 * the vocabulary instead of two long ones, and of those only the ones
 * held by kMinEndingTypoRatio to kMaxQuestionTypoRatio of the word's
 * documents (the word's rarer forms, not a more common other word such as
 * "systemd" for "system", nor a name held by a handful such as
 * "network2"); it is not split in two ("program" is not "pro gram"); a
 * word the index does not hold keeps every rule. The last word gets at most
 * kMaxQuestionExpansions completions. A question's first tier is mostly empty
 * (no document holds ten words), and running it to find that out opens every
 * term of every word; instead its rarest words are matched first (kBoundWords,
 * kMaxBoundProbe), and the first tier is run only when some document may
 * hold every word.
 *
 * A common word: a query word that at least kKnownWordDocs documents hold
 * is meant as typed, in a question or not: it is not split in two
 * ("server" is not "ser ver"), and it takes only the typo
 * candidates that change its ending and that at least kMinEndingTypoRatio
 * of its documents hold (outside a question, however many more); typed
 * last, it matches only the completions that at least kRareCompletionRatio
 * of its documents hold ("servers", not "serverless"). Documents that need
 * another typo or a rare completion of it would rank after every document
 * holding it as typed, thousands down, and finding them costs the scan of
 * two long ranges of the vocabulary ("library" spent a fifth of its search
 * there), or a posting list per completion ("server" has 28 rare ones).
 *
 * Index settings (settings.h, QuerySettings): with a language, each word
 * also matches its stem term (kStemPrefix, layout.h) at kStemWeightFactor
 * of its weight, so other forms of the word match, below the form typed.
 * In the second tier the stem term weighs in full (its statistics are
 * those of every form: a rare word in any form counts as rare) and the
 * form typed adds kTypedFormFactor of its weight, so it still ranks
 * above the other forms without outweighing the other words held.
 * A synonym key (a word, or several consecutive words) also matches its
 * synonyms (each a word or a phrase), one-way. A one-word key and its
 * synonyms form one synonym group, so a document holding a synonym ranks
 * as one holding the word itself; a key of several words matches its
 * synonyms as an alternative to its words, like a joined spelling.
 *
 * Prefix and typo expansions are computed here from the index's own
 * vocabulary and bounded, so the terms a query may match are known exactly
 * and the answer can highlight them.
 */
#ifndef LMX_ENGINE_QUERY_H
#define LMX_ENGINE_QUERY_H

#include <xapian.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "settings.h"
#include "stats_cache.h"

namespace lmx {

/* Words of the text read, at most (every kind); the rest is ignored. */
inline constexpr size_t kMaxReadWords = 1024;
/* Plain words kept of a longer text, at most: the weightiest (above). */
inline constexpr size_t kMaxQueryWords = 32;
/* Weight factor of a word's stem term relative to the word itself. */
inline constexpr double kStemWeightFactor = 0.5;
/* In the second tier a word's stem term weighs in full, and the form
 * typed adds this factor of its own weight (query.h, above). */
inline constexpr double kTypedFormFactor = 0.25;
/* Synonym keys of more words than this are not looked for. */
inline constexpr size_t kMaxSynonymKeyWords = 8;

/* Which documents a query matches (above). */
enum class MatchingStrategy { kMost, kAll };
/* At most this many completions of the last word (the most frequent ones),
 * for a word of three code points or more. */
inline constexpr size_t kMaxPrefixExpansions = 50;
/* A prefix of at most this many code points is short. It has thousands of
 * completions, the most frequent of them common words held by most
 * documents, so matching them costs several times a whole query while
 * telling little about the word being typed (the next keystroke narrows it
 * anyway). A short prefix therefore expands among heading words only (the
 * words of names and first lines, layout.h) and matches documents through
 * those: every hit still holds a word starting with the prefix, in a
 * heading. It also takes no part in joined spellings or the neighbouring
 * words bonus. An index without heading terms (written before they
 * existed) expands short prefixes among all its words. */
inline constexpr size_t kShortPrefixLength = 2;
/* Completions of a prefix of one and of two code points. */
inline constexpr size_t kMaxOneLetterExpansions = 8;
inline constexpr size_t kMaxTwoLetterExpansions = 16;

/* How many completions a prefix of length code points gets. */
size_t prefix_expansions(size_t length);
/* When the word being typed is itself indexed, a completion held by fewer
 * documents than this fraction of the word's is rare: it still matches,
 * but as a group of its own weighted by kRareCompletionFactor, so that a
 * finished common word is not outranked by its rare longer forms. It
 * weighs through its word term alone: no heading or name term, no
 * neighbouring-words or exact-match bonus (each would open its posting
 * list once more for a fraction of that tenth). */
inline constexpr double kRareCompletionRatio = 0.1;
inline constexpr double kRareCompletionFactor = 0.1;
/* A text of at least this many plain words is a question (above): its
 * words the index holds get only the rarer typo candidates of their
 * ending and no split spelling, and its last word at most
 * kMaxQuestionExpansions completions. */
inline constexpr size_t kQuestionWords = 4;
inline constexpr size_t kMaxQuestionExpansions = 8;
/* In a question, an ending typo candidate of a word the index holds is
 * kept only when at most this fraction of the word's documents hold it.
 * A candidate far more frequent than the word is mostly another word
 * ("systemd" for "system"), not the word with another ending, and its long
 * posting list is the most costly part of the word's query; a rarer one
 * (a plural, a tense) is the word itself. A short query keeps every
 * candidate. */
inline constexpr double kMaxQuestionTypoRatio = 0.5;
/* An ending typo candidate of a word taken as typed (a question's word
 * the index holds, a common word) is kept only when at least this
 * fraction of the word's documents hold it: an ending that a handful of
 * them hold is mostly another name ("networkd", "network2" for "network"),
 * and each candidate's posting list costs as much to open as a common
 * one's, for next to no weight. */
inline constexpr double kMinEndingTypoRatio = 0.02;
/* A question's first tier is known to be empty when no document holds
 * its kBoundWords rarest words together, or none of at most
 * kMaxBoundProbe documents that do holds every other word too. */
inline constexpr Xapian::doccount kMaxBoundProbe = 10;
inline constexpr size_t kBoundWords = 4;
/* A word held by at least this many documents takes only its ending typo
 * candidates (above). */
inline constexpr Xapian::doccount kKnownWordDocs = 1000;
/* At most this many typo candidates per word (the most frequent ones). */
inline constexpr size_t kMaxTypoCandidates = 24;
/* Weight factor of typo matches relative to the word itself. */
inline constexpr double kTypoWeightFactor = 0.1;
/* When typo candidates take part, a document matching every word exactly
 * adds its exact matches' weight once more, times this; for one word, or
 * words that can only differ by their endings, each word's exact terms
 * weigh 1 + this instead (the same for one word, and cheaper). */
inline constexpr double kExactTierFactor = 2.0;
/* Words typed apart that the documents write as one, and the reverse, are
 * looked for among the first this many words only. */
inline constexpr size_t kMaxJoinedWords = 8;
/* A joined spelling weighs at most this many times its own weight (it
 * stands for two words), and no term's inverse document frequency counts
 * as less than kMinIdf when comparing them. */
inline constexpr double kMaxJoinedFactor = 2.0;
inline constexpr double kMinIdf = 0.05;
/* Each half of a word split in two has at least this many code points. */
inline constexpr size_t kMinJoinedPart = 3;
/* Words longer than this many code points are not split. */
inline constexpr size_t kMaxSplitLength = 24;
/* At most this many ways of splitting one word. */
inline constexpr size_t kMaxSplits = 2;
/* A joined spelling held by at most this many documents is looked for in
 * their term lists together with the query's other words before its
 * alternative query is built. */
inline constexpr double kMaxJoinedProbe = 10;

/* The query text split into its parts, every word already normalised.
 * Each phrase and each exclusion is a list of one or more terms. */
struct ParsedQuery {
  std::vector<std::string> words;                 /* each must match (all) */
  std::vector<std::vector<std::string>> phrases;  /* each must match */
  std::vector<std::vector<std::string>> excluded; /* none may match */
  /* words.back() also matches as a prefix. */
  bool last_word_is_prefix = false;
  /* A phrase holds a word longer than any indexed term can be, so nothing
   * matches (the other parts are then incomplete and unused). */
  bool unmatchable = false;
  /* A plain word is longer than any indexed term can be: no document holds
   * every word (it is left out of words). */
  bool missing_word = false;

  bool empty() const {
    return words.empty() && phrases.empty() && excluded.empty();
  }
};

/* Splits text (any bytes, invalid UTF-8 included; "" is fine) into its
 * parts. Never fails; words past kMaxReadWords are dropped. */
ParsedQuery parse_query(std::string_view text);

/* The frequencies of the terms one query looks up, each looked up in the
 * index once. A lookup reads a dictionary block or two from the file, and
 * building a question looks most words up several times (its first-tier
 * check, joined spellings, typo candidates); the total's estimate
 * (matches.cpp) reuses them too. Holds a pointer to the database, which
 * must outlive it; a default-constructed one knows no database and must
 * not be asked. */
class TermFreqs {
 public:
  TermFreqs() = default;
  /* stats, when not null, keeps the frequencies for later searches of the
   * same revision too (stats_cache.h); it must outlive this object. */
  explicit TermFreqs(const Xapian::Database &db, StatsCache *stats = nullptr)
      : db_(&db), stats_(stats) {}
  /* The number of documents holding term (0 for a term none holds). */
  Xapian::doccount operator()(const std::string &term) const;

 private:
  const Xapian::Database *db_ = nullptr;
  StatsCache *stats_ = nullptr;
  /* A cache: filling it does not change what the object answers. */
  mutable std::unordered_map<std::string, Xapian::doccount> known_;
};

/* A query ready to run, and what the answer needs to know about it. */
struct BuiltQuery {
  /* The documents holding every word, in their order. */
  Xapian::Query query;
  /* What query matches, without its bonuses (and exclusions). */
  Xapian::Query core;
  /* Strategy "most": the documents holding some of the words (those of
   * core among them: the matcher leaves them out), exclusions applied;
   * empty (Xapian::Query()) when there can be no other (one word,
   * strategy "all", nothing ranked). */
  Xapian::Query partial;
  /* True when query is known to match no document without running it (a
   * question whose words no document holds all of, query.cpp). */
  bool first_tier_empty = false;
  /* True when nothing ranks the matches (the empty query, or exclusions
   * only): they come in insertion order with BoolWeight. */
  bool unranked = true;
  /* True when the text held at least one word. */
  bool has_words = false;
  /* Every term the query can match on: words, phrase words, the last word's
   * completions, typo candidates and synonyms. Excluded words are not in
   * it. */
  std::unordered_set<std::string> matched_terms;
  /* With a stemmer: the stems of the words, so that other forms of a word
   * can be highlighted too. */
  std::unordered_set<std::string> matched_stems;
  /* The frequencies looked up while building it (above). */
  TermFreqs freqs;
};

/* Parses text and builds its query against db's vocabulary, with the
 * index's settings (stemmer, stop words, synonyms) and strategy. What it
 * looks up in the vocabulary (frequencies, completions, typo candidates)
 * is looked for in stats first and kept there, when stats is not null
 * (stats_cache.h: synced to db's revision by the caller). Never throws for
 * any text; Xapian errors of db (DatabaseModifiedError and the like)
 * propagate. */
BuiltQuery build_query(const Xapian::Database &db, std::string_view text,
                       const QuerySettings &settings,
                       MatchingStrategy strategy,
                       StatsCache *stats = nullptr);

/* Up to max indexed terms that start with prefix (prefix itself excluded),
 * most frequent first, ties in term order. Scans only that prefix's range. */
std::vector<std::string> prefix_completions(const Xapian::Database &db,
                                            const std::string &prefix,
                                            size_t max);

}  // namespace lmx

#endif
