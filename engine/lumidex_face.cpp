/*
 * lumidex_face.cpp: the library's C face, the functions of lumidex_core.h,
 * lumidex_admin.h, lumidex_search.h and lumidex_documents.h, and the only symbols the library
 * exports (everything else is built with hidden visibility).
 *
 * The face holds the library's whole process state: the catalog of the
 * storage directory opened by lumidex_init, the last error text, and the
 * last returned text (kept here so every returned pointer stays valid until
 * the next call). Each function runs its work inside guarded(), which
 * catches every exception, lmx::Error, Xapian's and the standard library's,
 * and turns it into a failure result and a last-error text: no exception
 * ever crosses into C callers.
 *
 * The work itself lives elsewhere: catalog.cpp (indexes on disk),
 * documents.cpp (bodies, text extraction, document operations),
 * document_list.cpp and document_delete.cpp (listing, bulk deletions),
 * settings_change.cpp (index settings), query.cpp and its companions
 * (lmx::search_json).
 */
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "backup.h"
#include "catalog.h"
#include "compact.h"
#include "document_delete.h"
#include "document_list.h"
#include "documents.h"
#include "error.h"
#include "json.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"
#include "lumidex_search.h"
#include "messages.h"
#include "search.h"
#include "settings_change.h"
#include "system.h"

#define LMX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct FaceState {
  std::unique_ptr<lmx::Catalog> catalog;
  std::string last_error;
  bool has_error = false;
  lumidex_error_code error_code = LUMIDEX_ERROR_NONE;
  lmx::BodyPosition error_where;
  std::string result;
  /* lumidex_search_keep_statistics; not reset by lumidex_cleanup. */
  bool keep_statistics = true;
};

FaceState g_state;

void fail_with(const std::string &text,
               lumidex_error_code code = LUMIDEX_ERROR_INTERNAL,
               const lmx::BodyPosition &where = {}) noexcept {
  try {
    g_state.last_error = lmx::safe_text(text);
  } catch (...) {
    g_state.last_error = "Out of memory.";
  }
  g_state.has_error = true;
  g_state.error_code = code;
  g_state.error_where = where;
}

/* Runs work(); on any exception records the failure and returns fallback. */
template <class R, class F>
R guarded(R fallback, F &&work) noexcept {
  try {
    return work();
  } catch (const lmx::Error &e) {
    fail_with(e.what(), e.code(), e.where());
  } catch (const Xapian::Error &e) {
    fail_with(lmx::msg::engine_failure(e.get_type(), e.get_msg()));
  } catch (const std::bad_alloc &) {
    fail_with(lmx::msg::out_of_memory());
  } catch (const std::exception &e) {
    fail_with(lmx::msg::engine_failure("", e.what()));
  } catch (...) {
    fail_with(lmx::msg::engine_failure("", ""));
  }
  return fallback;
}

const char *keep(std::string text) {
  g_state.result = std::move(text);
  return g_state.result.c_str();
}

lmx::Catalog &catalog() {
  if (!g_state.catalog) throw lmx::Error(lmx::msg::engine_not_open());
  return *g_state.catalog;
}

std::string text_or_empty(const char *s) { return s ? std::string(s) : ""; }

/* Adds the members shared by the list entries and the statistics object,
 * in the order given (document_count first or after primary_key). */
void add_info_members(yyjson_mut_doc *doc, yyjson_mut_val *obj,
                      const lmx::IndexInfo &info, bool count_first) {
  bool ok = true;
  if (count_first)
    ok = yyjson_mut_obj_add_uint(doc, obj, "document_count",
                                 info.document_count);
  ok = ok && yyjson_mut_obj_add_strncpy(doc, obj, "primary_key",
                                        info.primary_key.data(),
                                        info.primary_key.size());
  if (!count_first)
    ok = ok && yyjson_mut_obj_add_uint(doc, obj, "document_count",
                                       info.document_count);
  ok =
      ok &&
      yyjson_mut_obj_add_strncpy(doc, obj, "created_at", info.created_at.data(),
                                 info.created_at.size()) &&
      yyjson_mut_obj_add_strncpy(doc, obj, "updated_at", info.updated_at.data(),
                                 info.updated_at.size());
  lmx::require(ok);
}

std::string stats_json(const lmx::IndexInfo &info) {
  yyjson_mut_val *root = nullptr;
  lmx::MutDoc doc = lmx::new_object_doc(&root);
  add_info_members(doc.get(), root, info, true);
  return lmx::written(doc.get());
}

std::string list_json(const std::vector<lmx::IndexInfo> &infos) {
  lmx::MutDoc doc(lmx::checked(yyjson_mut_doc_new(nullptr)));
  yyjson_mut_doc *out = doc.get();
  yyjson_mut_val *list = lmx::checked(yyjson_mut_arr(out));
  yyjson_mut_doc_set_root(out, list);
  for (const lmx::IndexInfo &info : infos) {
    yyjson_mut_val *entry = lmx::checked(yyjson_mut_obj(out));
    lmx::require(yyjson_mut_obj_add_strncpy(
                     out, entry, "name", info.name.data(), info.name.size()) &&
                 yyjson_mut_arr_append(list, entry));
    add_info_members(out, entry, info, false);
  }
  return lmx::written(out);
}

int add_body(const char *index, const char *primary_key, const char *body) {
  std::string pk = (primary_key && *primary_key) ? primary_key : "id";
  long n = lmx::add_documents(catalog(), text_or_empty(index), pk,
                              body ? std::string_view(body) : "");
  if (n > 0x7fffffffL)
    throw lmx::Error(lmx::msg::too_many_documents(),
                     LUMIDEX_ERROR_INVALID_BODY);
  return static_cast<int>(n);
}

}  // namespace

LMX_EXPORT int lumidex_init(const char *storage_dir) {
  return guarded(-1, [&] {
    g_state.catalog.reset();
    std::string why = lmx::check_storage_dir(storage_dir);
    if (!why.empty()) throw lmx::Error(why, LUMIDEX_ERROR_STORAGE_REFUSED);
    /* An absolute path keeps working if the caller changes directory. */
    g_state.catalog =
        std::make_unique<lmx::Catalog>(lmx::sys::absolute_path(storage_dir));
    return 0;
  });
}

LMX_EXPORT void lumidex_cleanup(void) {
  guarded(0, [&] {
    g_state.catalog.reset();
    std::string().swap(g_state.result);
    return 0;
  });
}

namespace {

/* Runs request on index; throws for a missing index. */
const char *search(const char *index, const lmx::SearchRequest &request,
                   std::chrono::steady_clock::time_point started) {
  std::string name = text_or_empty(index);
  Xapian::Database *db = catalog().reader(name);
  if (!db)
    throw lmx::Error(lmx::msg::index_not_found(name),
                     LUMIDEX_ERROR_INDEX_NOT_FOUND);
  lmx::StatsCache *stats =
      g_state.keep_statistics ? catalog().stats(name) : nullptr;
  return keep(lmx::fresh_read(*db, [&] {
    if (stats) stats->sync(*db);
    return lmx::search_json(*db, request, started, stats);
  }));
}

}  // namespace

LMX_EXPORT const char *lumidex_search(const char *index, const char *query,
                                      int limit, int offset) {
  auto started = std::chrono::steady_clock::now();
  return guarded<const char *>(nullptr, [&]() -> const char * {
    lmx::SearchRequest request;
    request.q = text_or_empty(query);
    request.limit = std::clamp(limit, 0, lmx::kMaxSearchLimit);
    request.offset = std::max(offset, 0);
    request.says_exactness = false;
    return search(index, request, started);
  });
}

LMX_EXPORT const char *lumidex_search_request(const char *index,
                                              const char *request_json) {
  auto started = std::chrono::steady_clock::now();
  return guarded<const char *>(nullptr, [&]() -> const char * {
    lmx::SearchRequest request =
        lmx::parse_search_request(request_json ? request_json : "");
    return search(index, request, started);
  });
}

LMX_EXPORT int lumidex_search_keep_statistics(int keep) {
  int was = g_state.keep_statistics ? 1 : 0;
  g_state.keep_statistics = keep != 0;
  return was;
}

LMX_EXPORT int lumidex_documents_add(const char *index, const char *body) {
  return guarded(-1, [&] { return add_body(index, nullptr, body); });
}

LMX_EXPORT int lumidex_documents_add_pk(const char *index,
                                        const char *primary_key,
                                        const char *body) {
  return guarded(-1, [&] { return add_body(index, primary_key, body); });
}

LMX_EXPORT const char *lumidex_document_get(const char *index,
                                            const char *doc_id) {
  return guarded<const char *>(nullptr, [&]() -> const char * {
    return keep(lmx::get_document(catalog(), text_or_empty(index),
                                  text_or_empty(doc_id)));
  });
}

LMX_EXPORT int lumidex_document_delete(const char *index, const char *doc_id) {
  return guarded(-1, [&] {
    lmx::delete_document(catalog(), text_or_empty(index),
                         text_or_empty(doc_id));
    return 0;
  });
}

LMX_EXPORT int lumidex_index_create(const char *index,
                                    const char *primary_key) {
  return guarded(-1, [&] {
    catalog().create(text_or_empty(index), text_or_empty(primary_key));
    return 0;
  });
}

LMX_EXPORT int lumidex_index_delete(const char *index) {
  return guarded(-1, [&] {
    catalog().remove(text_or_empty(index));
    return 0;
  });
}

LMX_EXPORT const char *lumidex_indexes_list_json(void) {
  return guarded<const char *>(
      nullptr, [&] { return keep(list_json(catalog().list())); });
}

LMX_EXPORT const char *lumidex_index_stats_json(const char *index) {
  return guarded<const char *>(nullptr, [&] {
    lmx::IndexInfo info;
    if (!catalog().info(text_or_empty(index), &info)) return keep("null");
    return keep(stats_json(info));
  });
}

LMX_EXPORT const char *lumidex_last_error(void) {
  return g_state.has_error ? g_state.last_error.c_str() : nullptr;
}

LMX_EXPORT int lumidex_last_error_code(void) {
  return g_state.has_error ? g_state.error_code : LUMIDEX_ERROR_NONE;
}

LMX_EXPORT int lumidex_last_error_position(unsigned long long *document,
                                           long long *byte_offset) {
  const lmx::BodyPosition &where = g_state.error_where;
  bool known = g_state.has_error && where.known;
  if (document) *document = known ? where.document : 0;
  if (byte_offset) *byte_offset = known ? where.byte_offset : -1;
  return known ? 1 : 0;
}

/* The stage reached when the work stops tells which check failed: the
 * listing of the storage directory, or the reading of one index. */
LMX_EXPORT int lumidex_storage_check(void) {
  int result = LUMIDEX_CHECK_STORAGE;
  guarded(0, [&] {
    lmx::Catalog &cat = catalog();
    std::vector<std::string> names = cat.names();
    result = LUMIDEX_CHECK_INDEX;
    for (const std::string &name : names) cat.check_readable(name);
    result = LUMIDEX_CHECK_OK;
    return 0;
  });
  return result;
}

LMX_EXPORT const char *lumidex_documents_page_json(const char *index,
                                                   unsigned long long after,
                                                   int limit) {
  return guarded<const char *>(nullptr, [&]() -> const char * {
    std::string name = text_or_empty(index), page;
    if (!lmx::documents_page(catalog(), name, after, limit, &page))
      throw lmx::Error(lmx::msg::index_not_found(name),
                       LUMIDEX_ERROR_INDEX_NOT_FOUND);
    return keep(std::move(page));
  });
}

/* ---- Backups (backup.cpp) ---------------------------------------------- */

LMX_EXPORT const char *lumidex_index_backup_json(const char *index,
                                                 const char *dest_dir) {
  return guarded<const char *>(nullptr, [&] {
    return keep(lmx::backup_index(catalog(), text_or_empty(index),
                                  text_or_empty(dest_dir)));
  });
}

LMX_EXPORT const char *lumidex_index_restore_json(const char *dest_dir,
                                                  const char *index,
                                                  int replace) {
  return guarded<const char *>(nullptr, [&] {
    return keep(lmx::restore_index(catalog(), text_or_empty(dest_dir),
                                   text_or_empty(index), replace != 0));
  });
}

LMX_EXPORT const char *lumidex_backups_list_json(const char *dest_dir) {
  return guarded<const char *>(nullptr, [&] {
    return keep(lmx::list_backups(text_or_empty(dest_dir)));
  });
}

/* ---- Compaction (compact.cpp) ------------------------------------------ */

namespace {

/* What a whole-index operation did: {"index":NAME,"document_count":N},
 * with "compacted" between them when compacted is not null. */
std::string index_work_json(const std::string &name, const bool *compacted,
                            unsigned long long documents) {
  yyjson_mut_val *root = nullptr;
  lmx::MutDoc doc = lmx::new_object_doc(&root);
  bool ok = yyjson_mut_obj_add_strncpy(doc.get(), root, "index", name.data(),
                                       name.size()) &&
            (!compacted || yyjson_mut_obj_add_bool(doc.get(), root,
                                                   "compacted", *compacted)) &&
            yyjson_mut_obj_add_uint(doc.get(), root, "document_count",
                                    documents);
  if (!ok) throw std::bad_alloc();
  return lmx::written(doc.get());
}

}  // namespace

LMX_EXPORT const char *lumidex_index_compact_json(const char *index) {
  return guarded<const char *>(nullptr, [&] {
    const std::string name = text_or_empty(index);
    lmx::CompactOutcome outcome = lmx::compact_index(catalog(), name);
    return keep(index_work_json(name, &outcome.compacted, outcome.documents));
  });
}

/* ---- Index settings (settings_change.cpp) ------------------------------ */

namespace {

/* The engine's progress callback as the C caller's. */
lmx::RewriteProgress progress_of(lumidex_progress_fn progress, void *user) {
  if (!progress) return {};
  return [progress, user](unsigned long long done, unsigned long long total) {
    progress(done, total, user);
  };
}

}  // namespace

LMX_EXPORT const char *lumidex_settings_get_json(const char *index) {
  return guarded<const char *>(nullptr, [&] {
    return keep(lmx::index_settings_json(catalog(), text_or_empty(index)));
  });
}

LMX_EXPORT const char *lumidex_settings_update_json(
    const char *index, const char *patch, lumidex_progress_fn progress,
    void *user) {
  return guarded<const char *>(nullptr, [&] {
    std::string_view text = patch ? patch : "";
    return keep(lmx::change_index_settings(catalog(), text_or_empty(index),
                                           &text, progress_of(progress, user)));
  });
}

LMX_EXPORT const char *lumidex_settings_reset_json(const char *index,
                                                   lumidex_progress_fn progress,
                                                   void *user) {
  return guarded<const char *>(nullptr, [&] {
    return keep(lmx::change_index_settings(
        catalog(), text_or_empty(index), nullptr, progress_of(progress, user)));
  });
}

LMX_EXPORT const char *lumidex_index_reindex_json(const char *index,
                                                  lumidex_progress_fn progress,
                                                  void *user) {
  return guarded<const char *>(nullptr, [&] {
    const std::string name = text_or_empty(index);
    unsigned long long count =
        lmx::rewrite_index(catalog(), name, progress_of(progress, user));
    return keep(index_work_json(name, nullptr, count));
  });
}

/* ---- Bulk document operations (document_list.cpp, document_delete.cpp) -- */

LMX_EXPORT const char *lumidex_documents_list_json(const char *index,
                                                   const char *request_json) {
  return guarded<const char *>(nullptr, [&] {
    lmx::ListRequest request =
        lmx::parse_list_request(request_json ? request_json : "");
    return keep(lmx::list_documents(catalog(), text_or_empty(index), request));
  });
}

LMX_EXPORT long long lumidex_documents_update(const char *index,
                                              const char *body,
                                              lumidex_progress_fn progress,
                                              void *user) {
  return guarded<long long>(-1, [&] {
    return static_cast<long long>(
        lmx::update_documents(catalog(), text_or_empty(index),
                              body ? std::string_view(body) : "",
                              progress_of(progress, user)));
  });
}

LMX_EXPORT long long lumidex_documents_delete_ids(const char *index,
                                                  const char *ids_json,
                                                  lumidex_progress_fn progress,
                                                  void *user) {
  return guarded<long long>(-1, [&] {
    return lmx::delete_ids(catalog(), text_or_empty(index),
                           ids_json ? std::string_view(ids_json) : "",
                           progress_of(progress, user));
  });
}

LMX_EXPORT long long lumidex_documents_delete_filter(
    const char *index, const char *request_json, lumidex_progress_fn progress,
    void *user) {
  return guarded<long long>(-1, [&] {
    return lmx::delete_matching(catalog(), text_or_empty(index),
                                request_json ? std::string_view(request_json)
                                             : "",
                                progress_of(progress, user));
  });
}

LMX_EXPORT const char *lumidex_documents_export_page_json(
    const char *index, unsigned long long after, int limit,
    const char *filter_json) {
  return guarded<const char *>(nullptr, [&] {
    /* The page's bounds and filter read as a listing request's, so they
     * are checked the same way. */
    std::string request = "{\"after\":" + std::to_string(after) +
                          ",\"limit\":" + std::to_string(limit);
    if (filter_json) request += ",\"filter\":" + std::string(filter_json);
    request += "}";
    lmx::ListRequest parsed = lmx::parse_list_request(request);
    parsed.stored = true;
    return keep(lmx::list_documents(catalog(), text_or_empty(index), parsed));
  });
}

LMX_EXPORT long long lumidex_documents_delete_all(const char *index,
                                                  lumidex_progress_fn progress,
                                                  void *user) {
  return guarded<long long>(-1, [&] {
    return lmx::delete_all(catalog(), text_or_empty(index),
                           progress_of(progress, user));
  });
}
