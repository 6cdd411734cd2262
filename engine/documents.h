/*
 * documents.h: adding, fetching, deleting and paging the documents of an
 * index.
 *
 * What a document becomes in the index is layout.h's to say (written by
 * indexer.h).
 *
 * A primary-key value is a string of 1 to 127 bytes of A-Z a-z 0-9 - _, or an
 * integer number, kept as its decimal text (so 7 and "7" are the same id).
 *
 * Every function may throw lmx::Error (finished text) or Xapian::Error.
 */
#ifndef LMX_ENGINE_DOCUMENTS_H
#define LMX_ENGINE_DOCUMENTS_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "catalog.h"
#include "layout.h"
#include "settings.h"

namespace lmx {

/* The limits of one document (kMaxNestingDepth, kMaxDocumentWords,
 * kMaxDocumentTerms) are stated in layout.h beside what they bound. */

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

/* Cancels db's transaction after a failure inside it, before the failure
 * goes on; a transaction already gone is no error. */
void cancel_transaction(Xapian::WritableDatabase &db) noexcept;

/* Told how far a rewrite is: done documents of total, now and then, and
 * once more with done == total before the rewrite commits. May be empty. */
using RewriteProgress =
    std::function<void(unsigned long long done, unsigned long long total)>;

/* A writer on index for a rewrite of its every document (rewrite_documents):
 * its buffered postings are written out often enough for the largest
 * document the index holds, as a batch's writer does for its largest
 * document, so that a rewrite of any size costs bounded memory. Waits for
 * the write lock. Throws like Catalog::writer. */
Xapian::WritableDatabase rewrite_writer(Catalog &catalog,
                                        const std::string &index);

/* Updates documents of index in part (lumidex_documents_update): each
 * document of body (read as add_documents reads it) is applied to the
 * stored one of its id, its top-level members replacing those of the same
 * name, or added as given when there is none, all in one transaction
 * committed before returning. A missing index is created with primary key
 * "id". Throws as add_documents does, before anything is written. progress
 * (may be empty) is told of every document written, of the body's count.
 * Returns the number of documents in the body. */
long update_documents(Catalog &catalog, const std::string &index,
                      std::string_view body, const RewriteProgress &progress);

/* How often a task of total steps reports its progress: every 1% of them,
 * or every 1,000, whichever is fewer (at least every step). */
unsigned long long progress_step(unsigned long long total);

/* The id a JSON value names (a primary-key value, see above): true and *id
 * set when v is one, false (*id untouched) otherwise. v may be null. */
bool id_of_value(yyjson_val *v, std::string *id);

/* v as an error text quotes a value that is no id: the value in backticks
 * for a string or number, else its JSON type ("object", "null"). */
std::string shown_id_value(yyjson_val *v);

/* Rebuilds every document of db from its stored JSON under settings (the
 * terms and values indexer.h makes of it), keeping its docid, so ids,
 * stored documents and insertion order stay as they were. db must be in a
 * transaction the caller commits or cancels: until it commits, readers see
 * the old terms, and a process killed midway leaves them whole. A document
 * the settings would make too large throws lmx::Error
 * (LUMIDEX_ERROR_DOCUMENT_TOO_LARGE) naming its id. Marks db as holding
 * pair terms (layout.h), which every rewritten document then does. */
void rewrite_documents(Xapian::WritableDatabase &db,
                       const IndexSettings &settings,
                       const RewriteProgress &progress);

}  // namespace lmx

#endif
