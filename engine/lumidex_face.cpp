/*
 * lumidex_face.cpp: the library's C face, the functions of lumidex_core.h and
 * lumidex_admin.h, and the only symbols the library exports (everything else
 * is built with hidden visibility).
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
 * documents.cpp (bodies, text extraction, document operations), query.cpp
 * and its companions (lmx::search_json).
 */
#include <xapian.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "catalog.h"
#include "documents.h"
#include "error.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "search.h"
#include "system.h"

#define LMX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kMaxSearchLimit = 1000;

struct FaceState {
  std::unique_ptr<lmx::Catalog> catalog;
  std::string last_error;
  bool has_error = false;
  std::string result;
};

FaceState g_state;

void fail_with(const std::string &text) noexcept {
  try {
    g_state.last_error = lmx::safe_text(text);
  } catch (...) {
    g_state.last_error = "Out of memory.";
  }
  g_state.has_error = true;
}

/* Runs work(); on any exception records the failure and returns fallback. */
template <class R, class F>
R guarded(R fallback, F &&work) noexcept {
  try {
    return work();
  } catch (const lmx::Error &e) {
    fail_with(e.what());
  } catch (const Xapian::Error &e) {
    fail_with("Engine failure (" + std::string(e.get_type()) +
              "): " + e.get_msg());
  } catch (const std::bad_alloc &) {
    fail_with("Out of memory.");
  } catch (const std::exception &e) {
    fail_with(std::string("Engine failure: ") + e.what());
  } catch (...) {
    fail_with("Engine failure.");
  }
  return fallback;
}

const char *keep(std::string text) {
  g_state.result = std::move(text);
  return g_state.result.c_str();
}

lmx::Catalog &catalog() {
  if (!g_state.catalog)
    throw lmx::Error(
        "The engine is not open: lumidex_init was not called "
        "or failed.");
  return *g_state.catalog;
}

std::string text_or_empty(const char *s) { return s ? std::string(s) : ""; }

void append_json_string(std::string &out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

/* The members shared by the list entries and the statistics object. */
void append_info_members(std::string &out, const lmx::IndexInfo &info) {
  out += "\"primary_key\":";
  append_json_string(out, info.primary_key);
  out += ",\"document_count\":" + std::to_string(info.document_count);
  out += ",\"created_at\":";
  append_json_string(out, info.created_at);
  out += ",\"updated_at\":";
  append_json_string(out, info.updated_at);
}

std::string stats_json(const lmx::IndexInfo &info) {
  std::string out =
      "{\"document_count\":" + std::to_string(info.document_count) +
      ",\"primary_key\":";
  append_json_string(out, info.primary_key);
  out += ",\"created_at\":";
  append_json_string(out, info.created_at);
  out += ",\"updated_at\":";
  append_json_string(out, info.updated_at);
  out += "}";
  return out;
}

std::string list_json(const std::vector<lmx::IndexInfo> &infos) {
  std::string out = "[";
  for (size_t i = 0; i < infos.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += "{\"name\":";
    append_json_string(out, infos[i].name);
    out.push_back(',');
    append_info_members(out, infos[i]);
    out.push_back('}');
  }
  out.push_back(']');
  return out;
}

int add_body(const char *index, const char *primary_key, const char *body) {
  std::string pk = (primary_key && *primary_key) ? primary_key : "id";
  long n = lmx::add_documents(catalog(), text_or_empty(index), pk,
                              body ? std::string_view(body) : "");
  if (n > 0x7fffffffL) throw lmx::Error("Too many documents in one body.");
  return static_cast<int>(n);
}

}  // namespace

LMX_EXPORT int lumidex_init(const char *storage_dir) {
  return guarded(-1, [&] {
    g_state.catalog.reset();
    std::string why = lmx::check_storage_dir(storage_dir);
    if (!why.empty()) throw lmx::Error(why);
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

LMX_EXPORT const char *lumidex_search(const char *index, const char *query,
                                      int limit, int offset) {
  auto started = std::chrono::steady_clock::now();
  return guarded<const char *>(nullptr, [&]() -> const char * {
    std::string name = text_or_empty(index);
    Xapian::Database *db = catalog().reader(name);
    if (!db)
      throw lmx::Error("Index `" + lmx::quote_input(name) + "` not found.");
    if (limit < 0) limit = 0;
    if (limit > kMaxSearchLimit) limit = kMaxSearchLimit;
    if (offset < 0) offset = 0;
    std::string_view q = query ? query : "";
    return keep(lmx::fresh_read(
        *db, [&] { return lmx::search_json(*db, q, limit, offset, started); }));
  });
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
    std::string doc, why;
    if (!lmx::get_document(catalog(), text_or_empty(index),
                           text_or_empty(doc_id), &doc, &why))
      throw lmx::Error(why);
    return keep(std::move(doc));
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

LMX_EXPORT const char *lumidex_documents_page_json(const char *index,
                                                   unsigned long long after,
                                                   int limit) {
  return guarded<const char *>(nullptr, [&]() -> const char * {
    std::string name = text_or_empty(index), page;
    if (!lmx::documents_page(catalog(), name, after, limit, &page))
      throw lmx::Error("Index `" + lmx::quote_input(name) + "` not found.");
    return keep(std::move(page));
  });
}
