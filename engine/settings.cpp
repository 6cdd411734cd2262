/*
 * settings.cpp: reading, checking, merging and writing index settings
 * (settings.h).
 *
 * The stored form is the settings object itself (settings_json), so what a
 * user reads back is what is kept. Checking is strict: a member this engine
 * does not know, or a value of the wrong shape, is refused with a text that
 * names the member and what it takes; nothing is silently dropped.
 */
#include "settings.h"

#include <yyjson.h>

#include "error.h"
#include "filter.h"
#include "json.h"
#include "layout.h"
#include "messages.h"
#include "stop_words.h"
#include "text.h"

namespace lmx {

namespace {

constexpr const char *kSearchable = "searchableAttributes";
constexpr const char *kDisplayed = "displayedAttributes";
constexpr const char *kLanguage = "language";
constexpr const char *kStopWords = "stopWords";
constexpr const char *kSynonyms = "synonyms";
constexpr const char *kFilterable = "filterableAttributes";
constexpr const char *kSortable = "sortableAttributes";

[[noreturn]] void refuse(std::string_view member, std::string_view expected) {
  throw Error("Invalid settings: `" + std::string(member) + "` " +
                  std::string(expected) + ".",
              LUMIDEX_ERROR_INVALID_SETTINGS);
}

std::string str_of(yyjson_val *v) {
  return std::string(yyjson_get_str(v), yyjson_get_len(v));
}

/* A list of strings; each must be non-empty when non_empty. */
std::vector<std::string> string_list(yyjson_val *v, const char *member,
                                     const char *expected, bool non_empty) {
  if (!yyjson_is_arr(v)) refuse(member, expected);
  std::vector<std::string> out;
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(v, idx, max, item) {
    if (!yyjson_is_str(item) || (non_empty && yyjson_get_len(item) == 0))
      refuse(member, expected);
    out.push_back(str_of(item));
  }
  return out;
}

/* An attribute list: ["*"], or a non-empty list of distinct field names
 * without "*". */
std::vector<std::string> attribute_list(yyjson_val *v, const char *member) {
  static const char *expected =
      "takes [\"*\"] or a non-empty array of distinct field names";
  std::vector<std::string> names = string_list(v, member, expected, true);
  if (names.empty()) refuse(member, expected);
  if (names.size() == 1 && names[0] == "*") return names;
  std::unordered_set<std::string> seen;
  for (const auto &name : names)
    if (name == "*" || !seen.insert(name).second) refuse(member, expected);
  return names;
}

/* A list of distinct attribute paths (filter.h valid_attribute_path), at
 * most most of them; [] is none. */
std::vector<std::string> path_list(yyjson_val *v, const char *member,
                                   size_t most) {
  const std::string expected =
      "takes an array of at most " + std::to_string(most) +
      " distinct field names (member names joined by dots, each 1 to " +
      std::to_string(kMaxFilterPathBytes) + " bytes)";
  std::vector<std::string> names =
      string_list(v, member, expected.c_str(), true);
  if (names.size() > most) refuse(member, expected);
  std::unordered_set<std::string> seen;
  for (const auto &name : names) {
    /* "*" stands for every filterable attribute in a search's facets. */
    if (name == "*" || !valid_attribute_path(name))
      refuse(member, expected + "; " + msg::backticked(name) + " is not one");
    if (!seen.insert(name).second)
      refuse(member, expected + "; " + msg::backticked(name) + " is repeated");
  }
  return names;
}

std::string languages_text() {
  std::string out;
  for (const auto &code : language_codes()) {
    if (!out.empty()) out += ", ";
    out += "\"" + code + "\"";
  }
  return out;
}

std::string language_of(yyjson_val *v) {
  if (yyjson_is_str(v))
    for (const auto &code : language_codes())
      if (code == yyjson_get_str(v)) return code;
  refuse(kLanguage, "takes null or one of " + languages_text());
}

std::vector<std::pair<std::string, std::vector<std::string>>> synonyms_of(
    yyjson_val *v) {
  static const char *expected =
      "takes an object from a word or phrase to an array of words or phrases";
  if (!yyjson_is_obj(v)) refuse(kSynonyms, expected);
  std::vector<std::pair<std::string, std::vector<std::string>>> out;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(v, idx, max, key, val) {
    if (normalize_word(str_of(key)).empty()) refuse(kSynonyms, expected);
    out.emplace_back(str_of(key), string_list(val, kSynonyms, expected, true));
  }
  return out;
}

/* Applies one member of a settings object to settings. */
void apply_member(IndexSettings &settings, std::string_view name,
                  yyjson_val *v) {
  const IndexSettings defaults;
  const bool reset = yyjson_is_null(v);
  if (name == kSearchable) {
    settings.searchable =
        reset ? defaults.searchable : attribute_list(v, kSearchable);
  } else if (name == kDisplayed) {
    settings.displayed =
        reset ? defaults.displayed : attribute_list(v, kDisplayed);
  } else if (name == kLanguage) {
    settings.language = reset ? defaults.language : language_of(v);
  } else if (name == kStopWords) {
    settings.stop_words =
        reset ? defaults.stop_words
              : string_list(v, kStopWords, "takes an array of words", false);
  } else if (name == kSynonyms) {
    settings.synonyms = reset ? defaults.synonyms : synonyms_of(v);
  } else if (name == kFilterable) {
    settings.filterable =
        reset ? defaults.filterable
              : path_list(v, kFilterable, kMaxFilterableAttributes);
  } else if (name == kSortable) {
    settings.sortable = reset ? defaults.sortable
                              : path_list(v, kSortable, kMaxSortableAttributes);
  } else {
    throw Error("Invalid settings: unknown member " + msg::backticked(name) +
                    "; the members are searchableAttributes, "
                    "displayedAttributes, language, stopWords, synonyms, "
                    "filterableAttributes and sortableAttributes.",
                LUMIDEX_ERROR_INVALID_SETTINGS);
  }
}

yyjson_mut_val *string_array(yyjson_mut_doc *doc,
                             const std::vector<std::string> &items) {
  yyjson_mut_val *arr = checked(yyjson_mut_arr(doc));
  for (const auto &item : items)
    require(yyjson_mut_arr_add_strncpy(doc, arr, item.data(), item.size()));
  return arr;
}

/* The terms text stands for as a phrase (text.h query_parts): its words,
 * and for a run of characters of a script written without spaces the
 * pairs of characters an index holds for it. */
std::vector<std::string> phrase_terms(std::string_view text) {
  std::vector<Token> tokens;
  tokenize(text, tokens);
  std::vector<QueryPart> parts;
  query_parts(tokens, true, parts);
  if (parts.empty()) return {};
  return std::move(parts[0].terms);
}

/* The terms of text as a phrase joined by one space. */
std::string normalized_phrase(std::string_view text) {
  std::string out;
  for (const auto &term : phrase_terms(text)) {
    if (!out.empty()) out += ' ';
    out += term;
  }
  return out;
}

}  // namespace

const std::vector<std::string> &language_codes() {
  static const std::vector<std::string> codes{
      "ar", "ca", "da", "de", "en", "es", "eu", "fi", "fr",
      "ga", "hu", "hy", "id", "it", "lt", "ne", "nl", "no",
      "pt", "ro", "ru", "sv", "ta", "tr"};
  return codes;
}

IndexSettings read_settings(const Xapian::Database &db) {
  std::string text = db.get_metadata(kMetaSettings);
  if (text.empty()) return IndexSettings();
  try {
    return patched_settings(IndexSettings(), text);
  } catch (const Error &e) {
    throw Error(std::string("The index's stored settings cannot be read: ") +
                e.what());
  }
}

void write_settings(Xapian::WritableDatabase &db,
                    const IndexSettings &settings) {
  db.set_metadata(kMetaSettings,
                  settings == IndexSettings() ? "" : settings_json(settings));
}

IndexSettings patched_settings(const IndexSettings &base,
                               std::string_view text) {
  Doc doc(yyjson_read(text.data(), text.size(), 0));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root))
    throw Error("Invalid settings: the body must be a JSON object.",
                LUMIDEX_ERROR_INVALID_SETTINGS);
  IndexSettings settings = base;
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    apply_member(settings, str_of(key), val);
  }
  return settings;
}

std::string settings_json(const IndexSettings &settings) {
  yyjson_mut_val *root;
  MutDoc doc = new_object_doc(&root);
  yyjson_mut_doc *d = doc.get();
  require(yyjson_mut_obj_add_val(d, root, kSearchable,
                                 string_array(d, settings.searchable)));
  require(yyjson_mut_obj_add_val(d, root, kDisplayed,
                                 string_array(d, settings.displayed)));
  if (settings.language.empty())
    require(yyjson_mut_obj_add_null(d, root, kLanguage));
  else
    require(yyjson_mut_obj_add_strncpy(d, root, kLanguage,
                                       settings.language.data(),
                                       settings.language.size()));
  require(yyjson_mut_obj_add_val(d, root, kStopWords,
                                 string_array(d, settings.stop_words)));
  yyjson_mut_val *synonyms = checked(yyjson_mut_obj(d));
  for (const auto &[word, same] : settings.synonyms) {
    yyjson_mut_val *key =
        checked(yyjson_mut_strncpy(d, word.data(), word.size()));
    require(yyjson_mut_obj_add(synonyms, key, string_array(d, same)));
  }
  require(yyjson_mut_obj_add_val(d, root, kSynonyms, synonyms));
  require(yyjson_mut_obj_add_val(d, root, kFilterable,
                                 string_array(d, settings.filterable)));
  require(yyjson_mut_obj_add_val(d, root, kSortable,
                                 string_array(d, settings.sortable)));
  return written(d);
}

/* Stop words act when a query is read (query_settings): they are indexed
 * like any word, since they count inside phrases and for documents that
 * hold every word of a query. So they change no term, and a new list needs
 * no rewrite. */
bool changes_terms(const IndexSettings &before, const IndexSettings &after) {
  return before.searchable != after.searchable ||
         before.language != after.language ||
         before.filterable != after.filterable ||
         before.sortable != after.sortable;
}

QuerySettings query_settings(const IndexSettings &settings) {
  QuerySettings out;
  if (!settings.language.empty())
    out.stemmer.emplace(settings.language);
  for (const auto &word : settings.stop_words) {
    std::string term = normalize_word(word);
    if (!term.empty()) out.stop_words.insert(std::move(term));
  }
  /* The language's list, normalised as the user's words are: "für" and
   * "fur" are one search word. */
  std::string_view list = stop_words_of(settings.language);
  while (!list.empty()) {
    size_t end = list.find('\n');
    std::string term = normalize_word(list.substr(0, end));
    if (!term.empty()) out.stop_words.insert(std::move(term));
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  for (const auto &[word, same] : settings.synonyms) {
    std::string key = normalized_phrase(word);
    if (key.empty()) continue;
    auto &list = out.synonyms[key];
    for (const auto &text : same) {
      std::vector<std::string> terms = phrase_terms(text);
      if (!terms.empty()) list.push_back(std::move(terms));
    }
  }
  return out;
}

}  // namespace lmx
