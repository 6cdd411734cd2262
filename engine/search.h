/*
 * search.h: the query language, expansion, ranking and the search answer.
 *
 * Index layout this relies on (written by documents.cpp):
 *  - document data: the stored document, compact JSON, member order as sent;
 *  - "Q" + primary-key value: the unique id term of each document;
 *  - word terms: normalised words (text.h), no prefix, with positions; the
 *    values of one document follow each other with a position gap so that a
 *    phrase never spans two values; words of earlier fields carry a larger
 *    within-document frequency, so BM25 weighs them more;
 *  - kHeadingPrefix + word: the first kHeadingWords words of each value of
 *    the first field after the primary key and of the first line of each
 *    value of several lines, no positions: a name, a title or the summary
 *    line of a description says what the document is about; the words of
 *    a short heading carry a larger within-document frequency
 *    (kShortHeading);
 *  - kWholeValuePrefix + word: a value of the first field (after the
 *    primary key) that is a single word, a name; no positions;
 *  - kNameWordPrefix + word: every word of the first field's values (after
 *    the primary key), no positions, wdf 0;
 *  - value kNameSlot: the first one-word value of that field (its
 *    kWholeValuePrefix word), when it has one;
 *  - docids grow with insertion, so docid order is insertion order.
 * Normalised words never start with an upper-case ASCII letter (they are
 * case-folded), so the prefixed terms cannot clash with word terms.
 */
#ifndef LMX_ENGINE_SEARCH_H
#define LMX_ENGINE_SEARCH_H

#include <xapian.h>

#include <chrono>
#include <string>
#include <string_view>

namespace lmx {

/* Prefix of the unique id term of a document. */
inline constexpr const char *kIdPrefix = "Q";
/* Prefix of the terms of heading words (the first line of a value). */
inline constexpr const char *kHeadingPrefix = "H";
/* Words of a first line beyond this many are not heading words. */
inline constexpr size_t kHeadingWords = 12;
/* A heading of this many words or fewer weighs its words more: each
 * counts ceil(kShortHeading / words) times its field's weight. */
inline constexpr size_t kShortHeading = 6;
/* Prefix of the term of a value that is one word. */
inline constexpr const char *kWholeValuePrefix = "E";
/* Prefix of the terms of the words of names. */
inline constexpr const char *kNameWordPrefix = "N";
/* Value slot holding a document's one-word name. */
inline constexpr Xapian::valueno kNameSlot = 0;
/* Position gap between two extracted values of a document. */
inline constexpr unsigned kValuePositionGap = 100;

/* Runs query on db and returns the whole search answer:
 * {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,"elapsed_ms":N}
 * Each hit is the stored document; when the query holds words, each also
 * carries "_highlighted", the document with its strings HTML-escaped and
 * the matched words wrapped in <em> (answer.cpp). elapsed_ms is in
 * milliseconds rounded to 0.001.
 * limit is already clamped to 0..1000 and offset to >= 0 by the caller;
 * elapsed_ms counts from started. Never throws for any query text; Xapian
 * errors (DatabaseModifiedError included) propagate to the caller, which
 * reopens and retries. */
std::string search_json(Xapian::Database &db, std::string_view query, int limit,
                        int offset,
                        std::chrono::steady_clock::time_point started);

}  // namespace lmx

#endif
