/*
 * layout.h: the index layout, stated once. Every term prefix, value slot,
 * field weight and heading or name rule the engine writes (indexer.h) and
 * reads (query.cpp, prior.cpp, documents.cpp) is defined here.
 *
 * What one document of an index holds:
 *  - document data: the document as compact JSON (yyjson's writer, member
 *    order as sent, numbers exactly as sent);
 *  - kIdPrefix + primary-key value: the unique id term (no positions,
 *    wdf 0);
 *  - word terms: every string and number value, nested ones included, in
 *    document order, split and normalised by text.h, no prefix, with
 *    positions; kValuePositionGap positions separate two values so a
 *    phrase never spans them. A run of a script written without spaces
 *    gives a term per character and per pair of neighbouring characters,
 *    the pair at its first character's position. Field names are not
 *    indexed.
 *  - field weight: the words of the first top-level member after the
 *    primary key count kFirstFieldWdf each towards their within-document
 *    frequency, of the second kSecondFieldWdf, of every later one (and of
 *    the primary key itself) kOtherFieldWdf, so BM25 weighs a word met in
 *    an early field more;
 *  - kHeadingPrefix + word: the first kHeadingWords words of each value of
 *    the first field after the primary key and of the first line of each
 *    value of several lines, no positions: a name, a title or the summary
 *    line of a description says what the document is about; the words of a
 *    short heading weigh more (kShortHeading);
 *  - kWholeValuePrefix + word: a value of the first field that is a single
 *    word, a name; no positions, the field's weight;
 *  - kNameWordPrefix + word: every word of the first field's values, no
 *    positions, wdf 0;
 *  - kPairPrefix + word + kPairSeparator + word: two words of one value
 *    that stand at neighbouring positions, in that order, no positions,
 *    wdf 0 (so document lengths and BM25 weights are those without them),
 *    for at most kMaxPairTerms pairs of a document. Only in an index whose
 *    kMetaLayout says so (has_pair_terms): every document of such an index
 *    holds them; an index written before they existed has none until its
 *    terms are rewritten, and its readers check neighbouring words as
 *    phrases instead;
 *  - value kNameSlot: the first one-word value of the first field (its
 *    kWholeValuePrefix word), when it has one;
 *  - value kPriorSlot, in an index whose kMetaLayout says "priors": the
 *    prior of the document's name (prior.h), when it is above 1, as
 *    encode_prior writes it. Every write keeps it: a document's prior
 *    changes with the documents of its name family, so a write that adds
 *    or removes a document with a name word stores the prior of that
 *    word's named documents again, in the same transaction (PriorKeeper).
 *    A search then reads a page's priors from this one short value stream
 *    instead of each name and its family's frequencies. An index written
 *    before has no such values until its terms are rewritten;
 *  - for each filterable attribute (a path of member names joined by
 *    dots; filter.h, FilterLayout), when the document holds it:
 *    kFilterPrefix + path: the exists term (whatever the value, null, []
 *    and {} included), no positions, wdf 0;
 *    kFilterPrefix + path + kFilterSeparator + kind + value: one term per
 *    distinct scalar, array elements each (nested arrays flattened), no
 *    positions, wdf 0. kind is kFilterString (value: the whole string
 *    folded by fold_text, not split into words), kFilterNumber (value: the
 *    number's canonical text, filter_number_text) or kFilterBool ("true",
 *    "false"). A term longer than kMaxFilterTermBytes keeps the start of
 *    its value, cut on a character boundary, then kFilterHashMark and the
 *    16 hex digits of the 64-bit FNV-1a hash of the whole value, so the
 *    same long value always gives the same term and two long values share
 *    one only by a hash collision;
 *    values kFirstFilterSlot + kFilterSlotsPerAttribute * i + 0, 1, 2 for
 *    the attribute at index i of the filterable list: the smallest and the
 *    largest of its numbers, and, when it holds three or more distinct
 *    ones, all of them in order, as number keys (below). One slot cannot
 *    hold an array: the smallest
 *    answers < and <=, the largest > and >=, exactly; a range matches
 *    when either lies in it or, for three numbers or more, when one in
 *    the third slot does (a posting source reads that slot, filter.cpp);
 *    value kFirstFilterSlot + kFilterSlotsPerAttribute * i + 3: the
 *    attribute's distinct values for facet counts (facets.h), one entry
 *    of kFacetEntryBytes each: a kind byte (kFilterString, kFilterNumber,
 *    kFilterBool) and 8 bytes, for a number its number key, for a string
 *    or a boolean its facet hash (filter.h facet_hash: the 64-bit FNV-1a
 *    hash of the path, kFilterSeparator and the folded string or "true" or
 *    "false"), big-endian. Fixed and small, so that counting reads little
 *    per document whatever the values' length; two values of one
 *    attribute are counted as one only by a hash collision. Written only
 *    when the attribute holds a scalar;
 *    kFacetSpellingPrefix + the facet hash in 16 hex digits + the string
 *    as written, cut on a character boundary to kMaxFilterTermBytes: one
 *    term per distinct string, no positions, wdf 0, so that an answer
 *    shows a counted value as written (the smallest spelling any document
 *    holds, the first term of the prefix) without reading documents;
 *  - for each sortable attribute (SortLayout, sort.h), when it holds a
 *    scalar: values kFirstSortSlot + kSortSlotsPerAttribute * i + 0 and 1,
 *    the sort keys of its smallest and of its largest scalar (an array
 *    sorts by its smallest ascending and by its largest descending). A
 *    sort key is kSortNumber + the number key for a number, kSortString +
 *    the folded text (fold_text) for a string or a boolean ("true",
 *    "false"), cut to kMaxSortTextBytes on a character boundary: numbers
 *    before strings, strings in byte order of their folded text;
 *  - docids grow with insertion, so docid order is insertion order.
 *  - word weights divided by their document's length norm, in an index
 *    whose kMetaLayout is kLayoutNormalised: each term's wdf is what the
 *    field weights above add up to, times kWdfScale, divided by the norm
 *    BM25 would give the document's length (the sum of those weights)
 *    against the index's reference length (kMetaLengthReference), rounded
 *    and at least 1 (normalised_wdf). A search then weighs with BM25
 *    without length normalisation (b = 0), which reads no document length
 *    at all, and gets the weights BM25 with b = kBm25B gives the raw
 *    weights, while the average length is the reference. An index written
 *    before (kMetaLayout absent or kLayoutWithPairs) holds the raw weights
 *    until its terms are rewritten, and is searched with BM25 itself.
 * Normalised words never start with an upper-case ASCII letter (they are
 * case-folded), so the prefixed terms cannot clash with word terms.
 *
 * Changing any of these changes what existing indexes mean: a reader of an
 * index written with other values finds other terms.
 */
#ifndef LMX_ENGINE_LAYOUT_H
#define LMX_ENGINE_LAYOUT_H

#include <xapian.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
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
/* Prefix of the stem of a word (settings.h language), for indexes with a
 * language: kStemPrefix + stem, with the word's wdf, no positions. */
inline constexpr const char *kStemPrefix = "Z";
/* Prefix of the terms of the words of names. */
inline constexpr const char *kNameWordPrefix = "N";
/* Prefix of the terms of two neighbouring words, and what joins the two
 * (a space never occurs in a normalised word). A normalised word is at
 * most 64 bytes (text.h), so a pair term stays far below Xapian's limit. */
inline constexpr const char *kPairPrefix = "P";
inline constexpr char kPairSeparator = ' ';
/* Pair terms one document makes at most: they only add weight to a
 * document whose words stand together, so a huge document may lack some
 * rather than grow without bound or be refused. */
inline constexpr size_t kMaxPairTerms = 20000;
/* Metadata key saying what every document of an index holds beyond the
 * layout all indexes share: words separated by spaces, "pairs" for pair
 * terms, "normalised" for normalised word weights, "priors" for stored
 * priors (kPriorSlot). Absent for an index
 * written before pair terms; kLayoutWithPairs for one written before
 * normalised weights; kLayoutNormalised for one written before stored
 * priors; the engine writes kLayoutWithPriors now. */
inline constexpr const char *kMetaLayout = "lumidex:layout";
inline constexpr const char *kLayoutWithPairs = "pairs";
inline constexpr const char *kLayoutNormalised = "pairs normalised";
inline constexpr const char *kLayoutWithPriors = "pairs normalised priors";
/* Metadata key of the reference length word weights are normalised
 * against, in an index marked kLayoutNormalised, as decimal text: the
 * reference, the mean raw length of the documents measured so far, how
 * many they were (documents.cpp measures them) and the longest raw length
 * written, separated by spaces. */
inline constexpr const char *kMetaLengthReference = "lumidex:length-reference";
/* BM25's parameters (those of Xapian::BM25Weight's defaults): k1, b, and
 * the least normalised length, which keeps very short documents from
 * weighing too much. */
inline constexpr double kBm25K1 = 1.0;
inline constexpr double kBm25B = 0.5;
inline constexpr double kBm25MinNormLength = 0.5;
/* A normalised wdf is the raw weight times this before the division, so
 * that rounding it to an integer moves a weight by at most a few percent
 * in a document of ordinary length. */
inline constexpr double kWdfScale = 32.0;

/* The wdf stored for a term of raw weight wdf (the sum of its field
 * weights) in a document of length length (the sum of all its raw
 * weights), normalised against reference (> 0). 0 stays 0. */
inline Xapian::termcount normalised_wdf(Xapian::termcount wdf, double length,
                                        double reference) {
  if (wdf == 0) return 0;
  const double normlen = length / reference;
  const double norm =
      1 - kBm25B +
      kBm25B * (normlen < kBm25MinNormLength ? kBm25MinNormLength : normlen);
  const double scaled = wdf * kWdfScale / norm + 0.5;
  return scaled < 1 ? 1 : static_cast<Xapian::termcount>(scaled);
}

/* What the documents of an index hold beyond the layout every index has,
 * as kMetaLayout says. */
struct IndexLayout {
  /* Every document holds its pair terms. */
  bool pair_terms = false;
  /* Every document's word weights are normalised (normalised_wdf). */
  bool normalised = false;
  /* Every document's prior is stored (kPriorSlot). */
  bool stored_priors = false;
};
inline IndexLayout index_layout(const Xapian::Database &db) {
  const std::string mark = db.get_metadata(kMetaLayout);
  IndexLayout layout;
  size_t start = 0;
  while (start < mark.size()) {
    size_t end = mark.find(' ', start);
    if (end == std::string::npos) end = mark.size();
    const std::string_view word(mark.data() + start, end - start);
    if (word == "pairs") layout.pair_terms = true;
    if (word == "normalised") layout.normalised = true;
    if (word == "priors") layout.stored_priors = true;
    start = end + 1;
  }
  return layout;
}
/* The pair term of word first followed by word second. */
inline std::string pair_term(std::string_view first, std::string_view second) {
  std::string term(kPairPrefix);
  term.reserve(term.size() + first.size() + 1 + second.size());
  term.append(first);
  term += kPairSeparator;
  term.append(second);
  return term;
}
/* Whether every document of db holds its pair terms (kMetaLayout). */
inline bool has_pair_terms(const Xapian::Database &db) {
  return index_layout(db).pair_terms;
}
/* Records that every document of db holds its pair terms; for a writer that
 * has just created db (committed with its next commit). */
inline void mark_pair_terms(Xapian::WritableDatabase &db) {
  db.set_metadata(kMetaLayout, kLayoutWithPairs);
}
/* The reference length of an index (kMetaLengthReference): what its
 * documents' word weights are normalised against, and the measure it was
 * taken from. reference 0: raw weights (an index written before, or one
 * not yet measured). */
struct LengthReference {
  double reference = 0;
  double mean = 0;
  double measured = 0;
  /* The longest raw length written: with normalised weights, Xapian's
   * document lengths no longer tell how large the largest document is. */
  double longest = 0;
};
/* A reference length is the mean raw length of at most this many
 * documents: the first of the first batches, or ones spread over the index
 * when its terms are rewritten. The mean of that many is within a few
 * percent of a whole index's. */
inline constexpr double kLengthSample = 2000;
/* db's reference length; all 0 unless kMetaLayout says "normalised". */
inline LengthReference length_reference(const Xapian::Database &db) {
  LengthReference r;
  if (!index_layout(db).normalised) return r;
  const std::string text = db.get_metadata(kMetaLengthReference);
  char *end = nullptr;
  r.reference = std::strtod(text.c_str(), &end);
  r.mean = std::strtod(end, &end);
  r.measured = std::strtod(end, &end);
  r.longest = std::strtod(end, &end);
  if (!(r.reference > 0)) r = LengthReference();
  return r;
}
/* Records that every document of db holds its pair terms and word weights
 * normalised against r.reference (> 0), and, with stored_priors, its
 * stored prior (kPriorSlot); for a writer that has just written every
 * document of db so (committed with its next commit). */
inline void mark_normalised(Xapian::WritableDatabase &db,
                            const LengthReference &r, bool stored_priors) {
  char text[128];
  std::snprintf(text, sizeof text, "%.17g %.17g %.17g %.17g", r.reference,
                r.mean, r.measured, r.longest);
  db.set_metadata(kMetaLengthReference, text);
  db.set_metadata(kMetaLayout,
                  stored_priors ? kLayoutWithPriors : kLayoutNormalised);
}
/* Value slot holding a document's one-word name. */
inline constexpr Xapian::valueno kNameSlot = 0;
/* Value slot holding a document's prior, when the layout stores them: above
 * the sort keys' slots, below the filters'. */
inline constexpr Xapian::valueno kPriorSlot = 0x8000;
/* Position gap between two extracted values of a document. */
inline constexpr unsigned kValuePositionGap = 100;

/* Filter terms (filter.h). kFilterSeparator cannot occur in a path (paths
 * are valid UTF-8, where 0xFF never occurs) and kFilterHashMark cannot occur
 * in a folded value (valid UTF-8 too). */
inline constexpr const char *kFilterPrefix = "F";
inline constexpr char kFilterSeparator = '\xFF';
inline constexpr char kFilterString = 's';
inline constexpr char kFilterNumber = 'n';
inline constexpr char kFilterBool = 'b';
inline constexpr char kFilterHashMark = '\xFE';
/* Facet values (facets.h): the slot entry size and the spelling terms. */
inline constexpr size_t kFacetEntryBytes = 9;
inline constexpr const char *kFacetSpellingPrefix = "V";
/* Xapian refuses terms over 245 bytes; a few bytes are kept in hand. */
inline constexpr size_t kMaxFilterTermBytes = 240;
/* Longest filterable attribute path, which leaves at least 90 bytes of a
 * long value in its term. */
inline constexpr size_t kMaxFilterPathBytes = 128;
/* A number key is the 8 bytes of the IEEE 754 double, big-endian, with the
 * sign bit set for positive numbers and every bit inverted for negative
 * ones, so that keys compare as the numbers (filter_number_key). It is not
 * Xapian::sortable_serialise, whose xapian-core 1.4.22 form sorts a negative
 * number with few mantissa bits below its nearest neighbours (-3 below
 * -3.0000000000000004), which a bound at such a number gets wrong. */
inline constexpr size_t kFilterNumberKeyBytes = 8;
/* Filter value slots start high, leaving the low slots to other uses
 * (kNameSlot, sort keys), and take kFilterSlotsPerAttribute each. */
inline constexpr Xapian::valueno kFirstFilterSlot = 0x10000;
inline constexpr Xapian::valueno kFilterSlotsPerAttribute = 4;
/* At most this many filterable attributes: each adds terms and up to four
 * values to every document holding it. */
inline constexpr size_t kMaxFilterableAttributes = 100;

/* Sort keys (sort.h): slots from kFirstSortSlot, kSortSlotsPerAttribute
 * per sortable attribute, below kFirstFilterSlot for any count up to
 * kMaxSortableAttributes. */
inline constexpr Xapian::valueno kFirstSortSlot = 1;
inline constexpr Xapian::valueno kSortSlotsPerAttribute = 2;
inline constexpr size_t kMaxSortableAttributes = 100;
inline constexpr char kSortNumber = '\x01';
inline constexpr char kSortString = '\x02';
/* Strings sort by their first this many bytes (folded): enough to order
 * any title, while a long text does not fill the index with its copy. */
inline constexpr size_t kMaxSortTextBytes = 64;

/* Within-document frequency added per word by field rank: the first
 * top-level member after the primary key, the second, every other one. */
inline constexpr unsigned kFirstFieldWdf = 3;
inline constexpr unsigned kSecondFieldWdf = 2;
inline constexpr unsigned kOtherFieldWdf = 1;

/* Limits of one document, so that adding one costs a bounded amount of
 * memory whatever the body (see README, Limits). A document beyond any of
 * them is refused with LUMIDEX_ERROR_DOCUMENT_TOO_LARGE, naming the limit,
 * and nothing of its batch is written.
 *  - kMaxNestingDepth: arrays and objects inside the document, counted from
 *    the document itself (depth 1); checked before the JSON is read, since
 *    the parsed tree of a 16 MiB body of brackets alone is 256 MB and the
 *    indexer's walk keeps a frame per level. Deep documents are otherwise
 *    supported (indexed, searched and highlighted without recursion), so
 *    the limit is about memory, not structure.
 *  - kMaxDocumentWords: words (positions) in all its string and number
 *    values together.
 *  - kMaxDocumentTerms: distinct terms in its Xapian term list. Each distinct
 *    word is one term; a word among the first words of a value, or in the
 *    first field, adds up to three more (above), so a document of N
 *    distinct words makes between N and about 4N terms. Pair terms are
 *    not counted: there are at most kMaxPairTerms of them. Terms, not
 *    positions, are what a document's memory grows with. */
inline constexpr size_t kMaxNestingDepth = 250000;
inline constexpr size_t kMaxDocumentWords = 1000000;
inline constexpr size_t kMaxDocumentTerms = 200000;

}  // namespace lmx

#endif
