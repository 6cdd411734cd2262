/*
 * lumidex_admin.h: extra engine functions for administrative tools.
 *
 * These serve the `lumidex` command-line tool (export and bulk import); the
 * CGI programs use only lumidex_core.h. Same conventions as lumidex_core.h:
 * returned texts belong to the library and stay valid until the next call.
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

#ifdef __cplusplus
}
#endif

#endif /* LUMIDEX_ADMIN_H */
