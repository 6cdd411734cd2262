/*
 * facets.h: counting the values of filterable attributes over every match
 * of a search, for the answer's "facetDistribution" and "facetStats".
 *
 * Each document keeps, per filterable attribute, one value slot with an
 * entry per distinct value (layout.h, written by add_filter_fields), so an
 * array counts each distinct element once per document, which Xapian's
 * ValueCountMatchSpy (one value per slot) cannot do. count_facets runs one
 * boolean match over every match of both tiers of the search (filter
 * included) with a match spy that notes the ids of the documents matched,
 * then reads that slot, and the number slots (smallest, largest) where a
 * document holds a number, along the slots' value streams for those ids in
 * docid order; no document data is read. Entries are 9 bytes (a string is
 * counted by its hash), so the cost per document does not grow with the
 * values' length; the strings shown are read from their spelling terms,
 * one lookup for each of the at most kMaxFacetValues shown.
 *
 * Deleted documents take their values and spellings with them, so counts
 * always follow the documents stored now.
 */
#ifndef LMX_ENGINE_FACETS_H
#define LMX_ENGINE_FACETS_H

#include <xapian.h>
#include <yyjson.h>

#include <string>
#include <vector>

#include "filter.h"
#include "matches.h"

namespace lmx {

/* Values shown per attribute in facetDistribution, at most. */
inline constexpr size_t kMaxFacetValues = 100;

/* The counts of one attribute, ready for the answer. */
struct FacetCount {
  std::string attribute;
  /* One value shown: its count and its text: a number's canonical text
   * (filter_number_text), "true" or "false", or a string's smallest
   * spelling among the documents of the index (values equal after folding
   * are one value, as filters take them; a number and a string written
   * alike, 7 and "7", are one value too, shown as the number). */
  struct Value {
    Xapian::doccount count = 0;
    bool is_number = false;
    double number = 0;
    std::string shown;
  };
  /* At most kMaxFacetValues values: the most frequent first, then numbers
   * by value before the others by their text. Of values tied in count at
   * the cut, which ones are kept is decided by their hash, not their
   * text (the text of only those shown is read). */
  std::vector<Value> values;
  /* Whether a counted document held a number, and the smallest and the
   * largest of those numbers. */
  bool has_numbers = false;
  double min = 0;
  double max = 0;
};

/* The counts of attributes (filterable in layout) over every document
 * matches' queries match (both tiers, as find_matches left them, filter
 * applied). Xapian errors propagate. */
std::vector<FacetCount> count_facets(Xapian::Database &db,
                                     const Matches &matches,
                                     const std::vector<std::string> &attributes,
                                     const FilterLayout &layout);

/* Adds "facetDistribution" (every attribute of counts, in order, its
 * values in order) and "facetStats" (attributes holding numbers:
 * {"min":N,"max":N}) to the answer object root of doc. */
void add_facets(yyjson_mut_doc *doc, yyjson_mut_val *root,
                const std::vector<FacetCount> &counts);

}  // namespace lmx

#endif
