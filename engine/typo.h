/*
 * typo.h: typo candidates of a query word, found in the index's vocabulary.
 *
 * A word of 5 to 8 code points may be off by one edit, a word of 9 or more by
 * two; shorter words must be typed right. Edits are counted as the optimal
 * string alignment form of the Damerau-Levenshtein distance (insertion,
 * deletion, substitution, transposition of two neighbours), over code points.
 * A candidate always starts with the same first letter.
 *
 * Cost is bounded without any structure beyond the index's term list: only
 * the terms starting with the word's first and second letters, and with its
 * first and third letters, are looked at. That finds every candidate whose
 * edits are at the third letter or later, or that deletes or swaps the
 * second letter; a substitution or insertion at the second letter is not
 * found (scanning every term of the first letter would cost too much per
 * request). A run of terms whose first code points are already too far
 * from the word is skipped at once; at most kMaxTypoScan of a range's terms
 * are looked at.
 */
#ifndef LMX_ENGINE_TYPO_H
#define LMX_ENGINE_TYPO_H

#include <xapian.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace lmx {

/* Terms looked at per scanned range, at most (skipped ones do not count). */
inline constexpr size_t kMaxTypoScan = 20000;

/* Edits allowed for a word of length code points: 0 below 5, 1 for 5 to 8,
 * 2 from 9. */
unsigned typo_max_distance(size_t length);

/* Decodes valid UTF-8 s into code points; false (out unspecified) when s is
 * not valid UTF-8. */
bool to_code_points(std::string_view s, std::u32string &out);

/* Optimal string alignment distance between a and b; any result above limit
 * is reported as limit + 1 (the computation stops as soon as it is known to
 * exceed limit). */
unsigned osa_distance(const std::u32string &a, const std::u32string &b,
                      unsigned limit);

/* Indexed terms of db within the allowed distance of term (a normalised
 * word), term itself excluded: closer ones first, then the more frequent,
 * then term order; at most max. Empty for words under 5 code points. */
std::vector<std::string> typo_candidates(const Xapian::Database &db,
                                         const std::string &term, size_t max);

/* The typo candidates of term (as typo_candidates) whose edits all come
 * after its first length - distance code points (a changed, added or
 * dropped ending: "file" and "filed" for "files"), found in that one
 * short range of the vocabulary; same order and bound. Of those, only the
 * ones held by min_freq to max_freq documents are returned (the frequency
 * the scan reads anyway, so no term is looked up again). */
std::vector<std::string> ending_typo_candidates(
    const Xapian::Database &db, const std::string &term, size_t max,
    double min_freq = 0,
    double max_freq = std::numeric_limits<double>::infinity());

}  // namespace lmx

#endif
