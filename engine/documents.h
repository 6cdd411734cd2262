/*
 * documents.h: adding, fetching, deleting and paging the documents of an
 * index.
 *
 * Index layout written here (search.h reads it):
 *  - document data: the document as compact JSON (yyjson's writer, member
 *    order as sent, numbers exactly as sent);
 *  - "Q" + primary-key value: the unique id term (no positions, wdf 0);
 *  - word terms from every string and number value, nested ones included,
 *    in document order, with positions; kValuePositionGap positions separate
 *    two values so a phrase never spans them. Field names are not indexed.
 *  - field weight: the words of the first top-level member after the primary
 *    key count 3 each towards their within-document frequency, of the second
 *    2, of every later one (and of the primary key itself) 1, so BM25 weighs a
 *    word met in an early field more.
 *
 * A primary-key value is a string of 1 to 127 bytes of A-Z a-z 0-9 - _, or an
 * integer number, kept as its decimal text (so 7 and "7" are the same id).
 *
 * Every function may throw lmx::Error (finished text) or Xapian::Error.
 */
#ifndef LMX_ENGINE_DOCUMENTS_H
#define LMX_ENGINE_DOCUMENTS_H

#include <cstddef>
#include <string>
#include <string_view>

#include "catalog.h"

namespace lmx {

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
 *    first field, adds up to three more (search.h), so a document of N
 *    distinct words makes between N and about 4N terms. Terms, not
 *    positions, are what a document's memory grows with. */
inline constexpr size_t kMaxNestingDepth = 250000;
inline constexpr size_t kMaxDocumentWords = 1000000;
inline constexpr size_t kMaxDocumentTerms = 200000;

/* Adds or replaces every document of body (a JSON array of objects, one
 * object, or NDJSON: objects one after another, blank lines allowed) in one
 * transaction committed before returning. A missing index is created first
 * with new_primary_key (only once the whole body has been checked against
 * it). Any invalid document throws lmx::Error naming its 1-based position
 * and the reason, before anything is written. Within the body the last of
 * several documents with one id wins. A document beyond a limit above
 * throws lmx::Error with LUMIDEX_ERROR_DOCUMENT_TOO_LARGE, its position and
 * the limit's name, before anything is written (a new index is not created).
 * Returns the number of documents in the body. */
long add_documents(Catalog &catalog, const std::string &index,
                   const std::string &new_primary_key, std::string_view body);

/* The stored JSON of document id. Throws lmx::Error "Index `NAME` not
 * found." (LUMIDEX_ERROR_INDEX_NOT_FOUND) or "Document `ID` not found in
 * index `NAME`." (LUMIDEX_ERROR_DOCUMENT_NOT_FOUND). */
std::string get_document(Catalog &catalog, const std::string &index,
                         const std::string &id);

/* Removes document id. Throws lmx::Error "Index `NAME` not found." or
 * "Document `ID` not found in index `NAME`.". */
void delete_document(Catalog &catalog, const std::string &index,
                     const std::string &id);

/* {"documents":[...],"next":P}: up to limit (1..10000) documents in docid
 * (insertion) order with docid > after; P is the last docid of the page when
 * more follow, else 0. Returns false when the index does not exist. */
bool documents_page(Catalog &catalog, const std::string &index,
                    unsigned long long after, int limit, std::string *out);

}  // namespace lmx

#endif
