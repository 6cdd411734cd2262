/*
 * facets.h: counting the values of filterable attributes over every match
 * of a search, for the answer's "facetDistribution" and "facetStats".
 *
 * Each document keeps, per filterable attribute, one value slot with its
 * distinct values (layout.h, written by add_filter_fields), so an array
 * counts each distinct element once per document, which Xapian's
 * ValueCountMatchSpy (one value per slot) cannot do. FacetSpy, a match
 * spy, reads that slot for every document the matcher accepts, and the
 * number slots (smallest, largest) when the document holds a number.
 * count_facets runs one boolean match over every match of both tiers of
 * the search (filter included) with the spy; nothing else reads documents.
 * Deleted documents take their values with them, so counts always follow
 * the documents stored now.
 */
#ifndef LMX_ENGINE_FACETS_H
#define LMX_ENGINE_FACETS_H

#include <xapian.h>
#include <yyjson.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "filter.h"
#include "matches.h"

namespace lmx {

/* Values shown per attribute in facetDistribution, at most. */
inline constexpr size_t kMaxFacetValues = 100;

/* The counts of one attribute. */
struct FacetCount {
  std::string attribute;
  /* One value: its count, its kind (kFilterNumber, kFilterString,
   * kFilterBool), the number for numbers, and the text shown: a
   * number's or boolean's canonical text, a string's smallest spelling
   * (byte order) among the documents counted, since values equal after
   * folding are one value. */
  struct Value {
    Xapian::doccount count = 0;
    char kind = 0;
    double number = 0;
    std::string shown;
  };
  /* Folded key -> value. */
  std::unordered_map<std::string, Value> values;
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

/* Adds "facetDistribution" (every attribute of counts, in order: its at
 * most kMaxFacetValues values, most frequent first, then numbers by value
 * before the others by their text) and "facetStats" (attributes holding
 * numbers: {"min":N,"max":N}) to the answer object root of doc. */
void add_facets(yyjson_mut_doc *doc, yyjson_mut_val *root,
                const std::vector<FacetCount> &counts);

}  // namespace lmx

#endif
