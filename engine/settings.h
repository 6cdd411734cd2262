/*
 * settings.h: an index's settings, what they mean and how they are kept.
 *
 * Settings say which fields are searched and shown, the language of the
 * documents, the words that never make a document match on their own, the
 * synonyms, and which attributes can be filtered and faceted on or sorted
 * by. They live in the index's own metadata (kMetaSettings) as
 * compact JSON, so they are committed with the documents they apply to and
 * read with one lookup per request. An index that never had settings has
 * the defaults.
 *
 * This module reads, checks, merges and writes the settings object. What
 * each setting does to indexing (indexer.h) and to queries (query.cpp) is
 * theirs; QuerySettings is the form queries read, prepared once per request.
 */
#ifndef LMX_ENGINE_SETTINGS_H
#define LMX_ENGINE_SETTINGS_H

#include <xapian.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace lmx {

/* Metadata key of the settings JSON. */
inline constexpr const char *kMetaSettings = "lumidex:settings";

/* The settings of one index, as the user gave them. Every member has its
 * default when the user never set it. */
struct IndexSettings {
  /* Fields searched, the first weighing most; {"*"}: every field, in
   * document order (the default). Dotted paths reach into objects. */
  std::vector<std::string> searchable{"*"};
  /* Fields hits carry; {"*"}: every field (the default). The primary key
   * is always carried. */
  std::vector<std::string> displayed{"*"};
  /* Language code of the documents (language_codes()), "" for none: no
   * stemming, no language stop words (the default). */
  std::string language;
  /* Words that never make a document match on their own, as given. */
  std::vector<std::string> stop_words;
  /* Word or phrase -> the words or phrases that mean the same, as given,
   * in the order given. One-way. */
  std::vector<std::pair<std::string, std::vector<std::string>>> synonyms;
  /* Attributes filters and facets may name (filter.h), in order: the order
   * gives each its value slots. Empty by default. */
  std::vector<std::string> filterable;
  /* Attributes a search may sort by (sort.h), in order, as above. */
  std::vector<std::string> sortable;

  bool searches_all() const {
    return searchable.size() == 1 && searchable[0] == "*";
  }
  bool displays_all() const {
    return displayed.size() == 1 && displayed[0] == "*";
  }
  bool operator==(const IndexSettings &o) const {
    return searchable == o.searchable && displayed == o.displayed &&
           language == o.language && stop_words == o.stop_words &&
           synonyms == o.synonyms && filterable == o.filterable &&
           sortable == o.sortable;
  }
};

/* The language codes the engine can stem, in a stable order. */
const std::vector<std::string> &language_codes();

/* The settings stored in db's metadata, or the defaults when it has none.
 * Throws lmx::Error (LUMIDEX_ERROR_INTERNAL) when the stored text is not
 * settings this engine reads (a damaged or newer index); Xapian errors
 * propagate. */
IndexSettings read_settings(const Xapian::Database &db);

/* Stores settings in db's metadata (committed with db's next commit). The
 * defaults are stored as an absent key, so an index whose settings were
 * reset is the same as one that never had any. */
void write_settings(Xapian::WritableDatabase &db, const IndexSettings &settings);

/* base with the members of the JSON object text applied: each member given
 * replaces that setting, null resets it to its default, members not given
 * keep base's. Throws lmx::Error (LUMIDEX_ERROR_INVALID_SETTINGS) naming the
 * member and what was expected when text is not a JSON object, holds an
 * unknown member or a member of the wrong type or value. */
IndexSettings patched_settings(const IndexSettings &base,
                               std::string_view text);

/* The whole settings object as compact JSON, every member present, in the
 * order searchableAttributes, displayedAttributes, language, stopWords,
 * synonyms, filterableAttributes, sortableAttributes. */
std::string settings_json(const IndexSettings &settings);

/* Whether going from before to after changes the terms or values
 * documents are indexed with (searched fields, language, filterable and
 * sortable attributes), so that the index has to be rewritten. Stop words,
 * synonyms and displayed fields act at query or answer time and need no
 * rewrite. */
bool changes_terms(const IndexSettings &before, const IndexSettings &after);

/* What a query needs from the settings, normalised once per request:
 * words and synonym keys are normalised as search words (text.h), a phrase
 * as its words joined by one space. */
struct QuerySettings {
  /* The stemmer of the language, when there is one. */
  std::optional<Xapian::Stem> stemmer;
  /* The stop words: the user's and those of the language's list
   * (stop_words.h), each normalised as a search word. */
  std::unordered_set<std::string> stop_words;
  /* Normalised word or phrase -> its synonyms, each a list of normalised
   * words (one word, or the words of a phrase). */
  std::unordered_map<std::string, std::vector<std::vector<std::string>>>
      synonyms;
  /* Whether every document holds its pair terms (layout.h,
   * has_pair_terms), so that neighbouring words are found by them rather
   * than as phrases. Not a setting: the reader of the index sets it. */
  bool pair_terms = false;
  /* Whether every document's word weights are normalised by its length
   * (layout.h, kLayoutNormalised), so that BM25 reads no document length.
   * Not a setting either. */
  bool normalised = false;
  /* Whether every document's prior is stored (layout.h, kPriorSlot). Not a
   * setting either. */
  bool stored_priors = false;
};

/* The query form of settings. */
QuerySettings query_settings(const IndexSettings &settings);

}  // namespace lmx

#endif
