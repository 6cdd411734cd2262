/*
 * lumidex_admin.h: extra engine functions for administrative tools and for
 * api_router's own routes.
 *
 * These serve the `lumidex` command-line tool (export, bulk import,
 * settings, backups) and api_router's health and settings routes; the
 * specified handlers use only lumidex_core.h. Same conventions as
 * lumidex_core.h: returned texts belong to the library and stay valid until
 * the next call.
 */
#ifndef LUMIDEX_ADMIN_H
#define LUMIDEX_ADMIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* One page of documents of index in insertion order, strictly after the
 * position `after` (0 starts at the beginning). Returns the JSON object
 * {"documents":[...],"next":P} where "next" is the position to pass for the
 * following page, or 0 when this page is the last. limit is clamped to
 * 1..10000. Null when the index does not exist. Costs O(limit), not an offset
 * scan. */
const char *lumidex_documents_page_json(const char *index,
                                        unsigned long long after, int limit);

/* Adds body as lumidex_documents_add does, but creates a missing index with
 * primary_key (null or "" means "id") instead of the default. Returns the
 * number of documents in the batch, or -1 on failure (nothing written). */
int lumidex_documents_add_pk(const char *index, const char *primary_key,
                             const char *body);

/* ---- Failures as values ----------------------------------------------
 * lumidex_last_error() gives the text of the latest failure, for people.
 * Programs read what it was about from these, never from the text. */

/* What the latest failure was about. */
typedef enum lumidex_error_code {
  LUMIDEX_ERROR_NONE = 0,             /* no failure yet */
  LUMIDEX_ERROR_INTERNAL = 1,         /* the engine or its storage failed */
  LUMIDEX_ERROR_INVALID_ARGUMENT = 2, /* a name, key or id is not valid */
  LUMIDEX_ERROR_STORAGE_REFUSED = 3,  /* lumidex_init refused the directory */
  LUMIDEX_ERROR_INDEX_NOT_FOUND = 4,
  LUMIDEX_ERROR_INDEX_EXISTS = 5,
  LUMIDEX_ERROR_DOCUMENT_NOT_FOUND = 6,
  LUMIDEX_ERROR_INVALID_BODY = 7,      /* a body or one of its documents is
                                          not what the call takes */
  LUMIDEX_ERROR_DOCUMENT_TOO_LARGE = 8, /* a document is beyond what can be
                                           indexed (the text names the limit) */
  LUMIDEX_ERROR_INVALID_SETTINGS = 9,  /* index settings that are not an
                                          object of known members of the
                                          right types (the text names it) */
  LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER = 10, /* a search request member
                                                  that is unknown or of the
                                                  wrong type */
  LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY = 11, /* matchingStrategy is
                                                   neither "most" nor "all" */
  /* a filter expression is malformed or names an attribute that is not
   * filterable (the text says which, and where) */
  LUMIDEX_ERROR_INVALID_FILTER = 12,
  /* a search's sort is not a list of "attribute:asc" or "attribute:desc",
   * or names an attribute that is not sortable */
  LUMIDEX_ERROR_INVALID_SORT = 13,
  /* a search's facets are not a list of attributes or ["*"], or name an
   * attribute that is not filterable */
  LUMIDEX_ERROR_INVALID_FACETS = 14,
  /* a documents listing request member that is unknown, given twice, of
   * the wrong type or out of range (lumidex_documents.h; the text names
   * it and what it takes) */
  LUMIDEX_ERROR_INVALID_LIST_PARAMETER = 15
} lumidex_error_code;

/* The code of the latest failure (a lumidex_error_code value), or
 * LUMIDEX_ERROR_NONE before any failure. Like lumidex_last_error(), it is
 * meaningful right after a call that failed. */
int lumidex_last_error_code(void);

/* Where in a request body the latest failure lies. *document (may be null)
 * receives the 1-based position of the failing document in the body, or 0
 * when the failure is about the body as a whole; *byte_offset (may be null)
 * the offset in the body of the byte where reading failed, or of the start
 * of the failing document, or -1 when it is not known (a document inside a
 * JSON array). Returns 1 when the latest failure was about a body, else 0
 * (then *document is 0 and *byte_offset -1). */
int lumidex_last_error_position(unsigned long long *document,
                                long long *byte_offset);

/* ---- Index settings ----------------------------------------------------
 * An index's settings are one JSON object, stored with the index:
 *   {"searchableAttributes":["*"] or ["field","a.b",...],
 *    "displayedAttributes":["*"] or [...],
 *    "language":null or a code ("en","fr",...),
 *    "stopWords":[...], "synonyms":{"word or phrase":["...",...],...},
 *    "filterableAttributes":[...], "sortableAttributes":[...]}
 * Every member has a default (the values shown first, [] and {}); an index
 * never given settings has the defaults. filterableAttributes and
 * sortableAttributes are lists of at most 100 distinct field names (dotted
 * paths reach into objects) that searches may filter and facet on, and
 * sort by (lumidex_search.h). A change to searchableAttributes, language,
 * filterableAttributes or sortableAttributes changes the terms and values
 * documents are indexed with, so every document
 * is rewritten from its stored JSON, in the same transaction as the new
 * settings: until it commits, searches see the old settings and terms, and
 * a process killed meanwhile leaves them whole. Writers wait for the
 * rewrite and then write under the new settings. The other members act
 * when a query is read or an answer written, and change nothing else. */

/* How far a rewrite is: done documents of total (the index's documents when
 * it began), called every 1% of them (or every 1,000 documents, whichever
 * is fewer) and once with done == total just before the commit; user is
 * the pointer given with the call. Called from the calling thread; it must
 * not call the engine. */
typedef void (*lumidex_progress_fn)(unsigned long long done,
                                    unsigned long long total, void *user);

/* The whole settings object of index, every member present (defaults filled
 * in), as compact JSON. index must not be null. Null on failure:
 * lumidex_last_error_code() is then LUMIDEX_ERROR_INDEX_NOT_FOUND,
 * LUMIDEX_ERROR_INVALID_ARGUMENT (an invalid name) or LUMIDEX_ERROR_INTERNAL
 * (stored settings this engine cannot read). Costs one metadata lookup.
 * Needs lumidex_init. */
const char *lumidex_settings_get_json(const char *index);

/* Changes the settings of index with patch, a JSON object of some members:
 * each member given replaces that setting, null puts it back to its
 * default, members not given keep their value. Rewrites every document
 * when one of the members that shape the index changes (see above), calling
 * progress (may be null) with user as it goes, and then compacts the index
 * as lumidex_index_compact_json does. Returns the whole settings
 * object after the change, as lumidex_settings_get_json does. Null on
 * failure, nothing changed: LUMIDEX_ERROR_INVALID_SETTINGS when patch is
 * null, not a JSON object, holds an unknown member or a member of the wrong
 * type or value (lumidex_last_error() names the member and what it takes),
 * LUMIDEX_ERROR_DOCUMENT_TOO_LARGE when a stored document would be beyond
 * the document limits under the new settings (the text names its id),
 * LUMIDEX_ERROR_INDEX_NOT_FOUND, LUMIDEX_ERROR_INVALID_ARGUMENT or
 * LUMIDEX_ERROR_INTERNAL. Holds the index's write lock while it works
 * (waiting for it first). Needs lumidex_init. */
const char *lumidex_settings_update_json(const char *index, const char *patch,
                                         lumidex_progress_fn progress,
                                         void *user);

/* Puts every setting of index back to its default, rewriting the documents
 * when that changes their terms, as lumidex_settings_update_json does for
 * a patch of every member set to null. Returns the whole (default) settings
 * object; null on failure with the codes above (never
 * LUMIDEX_ERROR_INVALID_SETTINGS). Needs lumidex_init. */
const char *lumidex_settings_reset_json(const char *index,
                                        lumidex_progress_fn progress,
                                        void *user);

/* Rewrites every document of index from its stored JSON under the settings
 * it has, as a settings change that changes terms does (one transaction,
 * the write lock held, progress (may be null) called with user as it goes,
 * then a compaction), so that an index written by an earlier version gets
 * what this version writes: the terms of neighbouring words, which
 * searches then read instead of word positions, word weights normalised by
 * the document's length, and the documents' name priors, which searches
 * then read instead of counting them. Returns
 * {"index":"NAME","document_count":N}; null on failure, nothing changed:
 * LUMIDEX_ERROR_INDEX_NOT_FOUND, LUMIDEX_ERROR_INVALID_ARGUMENT,
 * LUMIDEX_ERROR_DOCUMENT_TOO_LARGE (a stored document the indexer now
 * refuses; the text names its id) or LUMIDEX_ERROR_INTERNAL. Needs
 * lumidex_init. */
const char *lumidex_index_reindex_json(const char *index,
                                       lumidex_progress_fn progress,
                                       void *user);

/* ---- Storage health ---------------------------------------------------- */

/* Results of lumidex_storage_check. */
#define LUMIDEX_CHECK_OK 0 /* every index can be read */
#define LUMIDEX_CHECK_STORAGE                                               \
  1                           /* the storage directory cannot be listed, or \
                                 the engine is not open */
#define LUMIDEX_CHECK_INDEX 2 /* an index cannot be opened or read */

/* Lists the storage directory and opens and reads every directory named
 * like an index (1 to 127 bytes of A-Z a-z 0-9 - _), as a listing of the
 * indexes would, but stops at the first one that fails (a damaged index, a
 * directory holding none) instead of leaving it out; plain files are not
 * indexes and are passed over.
 * Returns one of the LUMIDEX_CHECK_ values; for any other than
 * LUMIDEX_CHECK_OK, lumidex_last_error() names what failed and why (for an
 * index: "Index `NAME` cannot be read: ..."). Costs one open per index, so
 * it belongs in a health check, never on a request's path. */
int lumidex_storage_check(void);

/* ---- Backups ---------------------------------------------------------
 * A backup directory holds one entry per index: DEST/NAME is a Xapian
 * database holding one committed revision of the index (documents, document
 * ids and metadata: primary key, times) and DEST/NAME/lumidex-backup.json its
 * manifest, the object
 *   {"index":NAME,"revision":R,"document_count":N,"primary_key":K,
 *    "created_at":T,"updated_at":T,"backed_up_at":T}
 * where R is the index's revision the copy holds (each committed write adds
 * one) and N its documents at that revision. */

/* Copies index into dest_dir/INDEX while other processes keep writing to
 * it, using Xapian's compaction of one committed revision; when commits keep
 * landing during the copy, the last attempt holds the index's write lock, so
 * writers wait for it instead of failing. dest_dir must exist, must not be
 * writable by every user and must belong to this user or root; an entry
 * INDEX in it is never replaced. Returns the manifest above, or null on
 * failure, leaving nothing behind in dest_dir; lumidex_last_error_code()
 * then gives LUMIDEX_ERROR_INDEX_NOT_FOUND (no such index),
 * LUMIDEX_ERROR_INDEX_EXISTS (DEST/INDEX exists), LUMIDEX_ERROR_STORAGE_REFUSED
 * (dest_dir missing or refused), LUMIDEX_ERROR_INVALID_ARGUMENT (an invalid
 * name) or LUMIDEX_ERROR_INTERNAL. Needs lumidex_init. */
const char *lumidex_index_backup_json(const char *index, const char *dest_dir);

/* Restores the backup dest_dir/INDEX (made by lumidex_index_backup_json) as
 * index INDEX of the open storage directory: copied with Xapian's compaction
 * into a work area, checked against the manifest's document count, then
 * moved into place. replace 0: refuses when the index exists; nonzero:
 * exchanges the existing index for the restored one atomically (a write in
 * flight to the old index is lost). Returns the backup's manifest, or null on
 * failure, changing nothing; the code is then LUMIDEX_ERROR_INDEX_NOT_FOUND
 * (no backup DEST/INDEX with a readable manifest), LUMIDEX_ERROR_INDEX_EXISTS
 * (the index exists and replace is 0), LUMIDEX_ERROR_INVALID_ARGUMENT (an
 * invalid name, or a manifest naming another index) or LUMIDEX_ERROR_INTERNAL
 * (a damaged backup, a storage failure). Needs lumidex_init. */
const char *lumidex_index_restore_json(const char *dest_dir, const char *index,
                                       int replace);

/* The manifests of every backup in dest_dir, as a JSON array ordered by
 * index name; null (LUMIDEX_ERROR_STORAGE_REFUSED) when dest_dir cannot be
 * listed. Needs no lumidex_init. */
const char *lumidex_backups_list_json(const char *dest_dir);

/* ---- Compaction -------------------------------------------------------- */

/* Rewrites index INDEX of the open storage directory with its blocks
 * filled. An index written batch after batch leaves them partly filled, and
 * a search reads every block its words' postings span; compacted, the
 * same searches read fewer. Readers and writers in other processes carry
 * on: this waits for the write lock, copies the committed index under it
 * with Xapian's compaction (document ids kept), and exchanges the copy for
 * the index in one step before releasing the lock, so readers see the old
 * index or the new one and a writer that waited meanwhile writes to the new
 * one. It needs room for a second copy while it runs. Returns
 * {"index":"NAME","compacted":true,"document_count":N}; "compacted" is false
 * where the host cannot exchange two directories in one step (Windows):
 * the index is then left as it is. Null on failure, the index as it was:
 * LUMIDEX_ERROR_INDEX_NOT_FOUND, LUMIDEX_ERROR_INVALID_ARGUMENT (an invalid
 * name) or LUMIDEX_ERROR_INTERNAL. Needs lumidex_init. */
const char *lumidex_index_compact_json(const char *index);

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_ADMIN_H */
