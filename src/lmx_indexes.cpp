/*
 * lmx_indexes.cpp: the indexes handler, lmx_execute_indexes.
 *
 * The request method (exact, case-sensitive) and whether an index name is
 * given choose the operation: GET without a name lists the engine's indexes,
 * GET with a name describes one, POST creates one, DELETE removes one. What
 * the API reports of an index is what the engine's list holds: its name
 * (served as both "uid" and "name") and its primary key (as "primaryKey",
 * and in the listing also as "primary_key"); the lookup's time stamps are
 * fixed text.
 *
 * The listing is built and written with yyjson, so its values are escaped.
 * The creation and lookup answers are fixed templates; the name and primary
 * key inserted into them are JSON-escaped first (the toolkit's
 * json_escape_dup) and the answer is sized from
 * the escaped texts, so a quote or backslash in a name never breaks the JSON
 * and nothing is ever cut. Creation hands the name and primary key to the
 * engine whole: the engine refuses names and keys it cannot take (over-long
 * ones included), and that refusal is answered like any other, rather than
 * creating an index under a shortened name nobody asked for.
 *
 * Sources of the index name at creation, first non-empty wins: the body's
 * "uid" (or "name" when there is no "uid" member), the handler's argument,
 * the query parameters "name" then "uid". The primary key comes only from
 * the body ("primaryKey", else "primary_key"), default "id".
 */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yyjson.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

/* The listing always reports the first page's bounds, whatever the query
 * string says: every index is listed. */
#define INDEXES_LIST_OFFSET 0
#define INDEXES_LIST_LIMIT 20
/* Primary key of an index whose list entry or creation body names none. */
#define INDEXES_DEFAULT_KEY "id"

static void respond_out_of_memory(void) {
  lmx_respond_error(500, "internal_error", "Out of memory");
}

/* fmt formatted into a new malloc'd buffer of exactly the needed size; null
 * on a format error or when memory runs out. */
static char *format_dup(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
static char *format_dup(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int len = vsnprintf(NULL, 0, fmt, ap);
  va_end(ap);
  if (len < 0) return NULL;
  char *out = (char *)malloc((size_t)len + 1);
  if (!out) return NULL;
  va_start(ap, fmt);
  vsnprintf(out, (size_t)len + 1, fmt, ap);
  va_end(ap);
  return out;
}

/* Answers status with one of the index templates, whose three %s receive
 * name, name and primary_key JSON-escaped. */
static void respond_index_template(int status, const char *fmt,
                                   const char *name, const char *primary_key) {
  char *name_esc = json_escape_dup(name);
  char *key_esc = json_escape_dup(primary_key);
  char *answer = (name_esc && key_esc)
                     ? format_dup(fmt, name_esc, name_esc, key_esc)
                     : NULL;
  free(name_esc);
  free(key_esc);
  if (!answer) {
    respond_out_of_memory();
    return;
  }
  lmx_respond_json(status, answer);
  free(answer);
}

/* The engine's index list, parsed; null when there is none or it does not
 * parse. The caller frees the document. */
static yyjson_doc *read_index_list(void) {
  const char *list = lumidex_indexes_list_json();
  if (!list) return NULL;
  /* Not read in place, so the engine's read-only text is never written. */
  return yyjson_read_opts((char *)list, strlen(list), 0, NULL, NULL);
}

/* The string value of member key of obj, or null when obj is not an object,
 * has no such member, or the member is not a string. */
static const char *member_str(yyjson_val *obj, const char *key) {
  return yyjson_get_str(yyjson_obj_get(obj, key));
}

/* Adds one listing entry for the engine's list element elem. */
static bool add_list_entry(yyjson_mut_doc *out, yyjson_mut_val *results,
                           yyjson_val *elem) {
  const char *name = member_str(elem, "name");
  const char *key = member_str(elem, "primary_key");
  if (!name) name = "";
  if (!key) key = INDEXES_DEFAULT_KEY;
  yyjson_mut_val *entry = yyjson_mut_obj(out);
  return entry && yyjson_mut_obj_add_strcpy(out, entry, "uid", name) &&
         yyjson_mut_obj_add_strcpy(out, entry, "name", name) &&
         yyjson_mut_obj_add_strcpy(out, entry, "primaryKey", key) &&
         yyjson_mut_obj_add_strcpy(out, entry, "primary_key", key) &&
         yyjson_mut_arr_append(results, entry);
}

/* Builds the listing answer from the parsed list (null: empty listing) and
 * writes it to a new malloc'd text; null when memory runs out. */
static char *write_listing(yyjson_doc *list) {
  yyjson_mut_doc *out = yyjson_mut_doc_new(NULL);
  if (!out) return NULL;
  yyjson_mut_val *root = yyjson_mut_obj(out);
  yyjson_mut_val *results = yyjson_mut_arr(out);
  bool ok =
      root && results && yyjson_mut_obj_add_val(out, root, "results", results);
  if (ok) yyjson_mut_doc_set_root(out, root);

  yyjson_val *arr = yyjson_doc_get_root(list);
  size_t total = 0;
  if (ok && yyjson_is_arr(arr)) {
    total = yyjson_arr_size(arr);
    size_t i, max;
    yyjson_val *elem;
    yyjson_arr_foreach(arr, i, max, elem) {
      if (!add_list_entry(out, results, elem)) {
        ok = false;
        break;
      }
    }
  }
  ok = ok && yyjson_mut_obj_add_int(out, root, "offset", INDEXES_LIST_OFFSET) &&
       yyjson_mut_obj_add_int(out, root, "limit", INDEXES_LIST_LIMIT) &&
       yyjson_mut_obj_add_int(out, root, "total", (int64_t)total);
  char *text = ok ? yyjson_mut_write_opts(out, 0, NULL, NULL, NULL) : NULL;
  yyjson_mut_doc_free(out);
  return text;
}

/* GET without a name: every index of the engine's list. Never an error. */
static void list_indexes(void) {
  yyjson_doc *list = read_index_list();
  char *text = write_listing(list);
  yyjson_doc_free(list);
  lmx_respond_json(200, text ? text : "{\"results\":[],\"total\":0}");
  free(text);
}

/* GET with a name: the first list element whose "name" string equals index
 * byte for byte. */
static void look_up_index(const char *index) {
  yyjson_doc *list = read_index_list();
  if (!list) {
    lmx_respond_error(404, "index_not_found", "Index not found");
    return;
  }
  yyjson_val *arr = yyjson_doc_get_root(list);
  yyjson_val *match = NULL;
  size_t i, max;
  yyjson_val *elem;
  yyjson_arr_foreach(arr, i, max, elem) {
    const char *name = member_str(elem, "name");
    if (name && strcmp(name, index) == 0) {
      match = elem;
      break;
    }
  }
  if (!match) {
    yyjson_doc_free(list);
    lmx_respond_error(404, "index_not_found", "Index not found");
    return;
  }
  const char *key = member_str(match, "primary_key");
  /* The key points into the list document, so the answer is written before
   * the document is released. */
  respond_index_template(
      200,
      "{\"uid\":\"%s\",\"name\":\"%s\",\"primaryKey\":\"%s\","
      "\"createdAt\":\"2026-09-06T00:00:00Z\","
      "\"updatedAt\":\"2026-09-06T00:00:00Z\"}",
      index, key ? key : INDEXES_DEFAULT_KEY);
  yyjson_doc_free(list);
}

/* Member key of obj, or, only when obj has no member key, member fallback. */
static yyjson_val *member_or(yyjson_val *obj, const char *key,
                             const char *fallback) {
  yyjson_val *val = yyjson_obj_get(obj, key);
  return val ? val : yyjson_obj_get(obj, fallback);
}

/* True when the string value holds a NUL byte: handed to the engine as a C
 * text it would name something shorter than what was asked for. */
static bool holds_nul(yyjson_val *str) {
  return yyjson_is_str(str) &&
         strlen(yyjson_get_str(str)) != yyjson_get_len(str);
}

/* POST: creates an index. */
static void create_index(const char *index) {
  uint64_t body_len = 0;
  char *body = cgi_read_post(&body_len);
  yyjson_doc *doc = NULL;
  if (body && body_len > 0)
    doc = yyjson_read_opts(body, (size_t)body_len, 0, NULL, NULL);
  /* The parsed document holds copies of its strings. */
  free(body);

  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *name_val = member_or(root, "uid", "name");
  yyjson_val *key_val = member_or(root, "primaryKey", "primary_key");
  const char *name = yyjson_get_str(name_val);
  const char *key = yyjson_get_str(key_val);
  if (!key) key = INDEXES_DEFAULT_KEY;
  if (!name || !name[0]) name = index;
  if (!name || !name[0]) name = cgi_query("name");
  if (!name[0]) name = cgi_query("uid");

  if (!name[0]) {
    lmx_respond_error(400, "missing_index_uid", "Index uid/name is required");
  } else if ((name == yyjson_get_str(name_val) && holds_nul(name_val)) ||
             holds_nul(key_val)) {
    lmx_respond_error(400, "index_already_exists",
                      "Index name or primary key holds a NUL byte");
  } else if (lumidex_index_create(name, key) != 0) {
    lmx_respond_error(400, "index_already_exists",
                      lmx_engine_error_or("Index creation failed"));
  } else {
    respond_index_template(201,
                           "{\"uid\":\"%s\",\"name\":\"%s\","
                           "\"primaryKey\":\"%s\",\"status\":\"succeeded\"}",
                           name, key);
  }
  yyjson_doc_free(doc);
}

/* DELETE: removes the named index. */
static void delete_index(const char *index) {
  if (!index || !index[0]) {
    lmx_respond_error(400, "missing_index_uid", "Index uid/name is required");
    return;
  }
  if (lumidex_index_delete(index) != 0) {
    lmx_respond_error(404, "index_not_found",
                      lmx_engine_error_or("Index not found"));
    return;
  }
  lmx_respond_json(200,
                   "{\"status\":\"succeeded\",\"taskUid\":1,"
                   "\"type\":\"indexDeletion\"}");
}

void lmx_execute_indexes(const char *index) {
  const char *method = cgi_method();
  if (strcmp(method, "GET") == 0) {
    if (index && index[0])
      look_up_index(index);
    else
      list_indexes();
  } else if (strcmp(method, "POST") == 0) {
    create_index(index);
  } else if (strcmp(method, "DELETE") == 0) {
    delete_index(index);
  } else {
    lmx_respond_error(405, "method_not_allowed", "Method not allowed");
  }
}
