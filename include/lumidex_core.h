/*
 * lumidex_core.h: the engine library's public face, eleven plain C functions.
 *
 * The CGI programs see the engine only through these declarations; the real
 * library (libnolvaris-lumidex-core) and the test double both sit behind them.
 *
 * Conventions shared by every function:
 *  - Texts are NUL-terminated UTF-8. A JSON text is one complete JSON document.
 *  - Every text returned belongs to the library and stays valid until the next
 *    call into the library; callers never free or change it.
 *  - Failures are reported through the result (negative or non-zero integers,
 *    null texts) and described by lumidex_last_error(); no function aborts.
 *  - lumidex_init() is called once per process before any other function and
 *    lumidex_cleanup() once at the end, after a successful lumidex_init().
 */
#ifndef LUMIDEX_CORE_H
#define LUMIDEX_CORE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the engine on storage_dir (must exist). 0 on success; non-zero when
 * the directory is null, missing, not a directory, not usable, or not safe
 * (writable by every user, or owned by another user than the process's own
 * or root). Indexes are opened lazily when a call names them. */
int lumidex_init(const char *storage_dir);

/* Closes every open index and releases the library's state. Safe to call
 * when nothing is open. */
void lumidex_cleanup(void);

/* Searches index for query (null or "" lists every document in insertion
 * order). limit is clamped to 0..1000, offset to 0 and above. Returns the
 * JSON object {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,
 * "elapsed_ms":N}, or null when the index does not exist. */
const char *lumidex_search(const char *index, const char *query, int limit,
                           int offset);

/* Adds or replaces the documents of body (a JSON array of objects, a single
 * object, or NDJSON) in one transaction; creates index with primary key "id"
 * when missing. Returns the number of documents in the batch, or -1 on any
 * failure, in which case nothing was written. */
int lumidex_documents_add(const char *index, const char *body);

/* The stored document as compact JSON text, or null when index or doc_id is
 * unknown. */
const char *lumidex_document_get(const char *index, const char *doc_id);

/* Removes one document. 0 on success, -1 when the index or the document does
 * not exist or the write fails. */
int lumidex_document_delete(const char *index, const char *doc_id);

/* Creates an empty index. 0 on success; -1 for an existing index, an invalid
 * name or primary key (1 to 127 bytes of A-Z a-z 0-9 - _), or a write
 * failure. */
int lumidex_index_create(const char *index, const char *primary_key);

/* Deletes an index and all its documents. 0 on success, -1 when it does not
 * exist or cannot be removed. */
int lumidex_index_delete(const char *index);

/* A JSON array ordered by name of {"name","primary_key","document_count",
 * "created_at","updated_at"} objects; null only on an internal failure. */
const char *lumidex_indexes_list_json(void);

/* {"document_count","primary_key","created_at","updated_at"} for index, or
 * the text "null" when there is no such index. */
const char *lumidex_index_stats_json(const char *index);

/* The text of the latest failure (valid UTF-8, one line), or null before any
 * failure. */
const char *lumidex_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_CORE_H */
