/*
 * documents.cpp: parsing request bodies into documents and the document
 * operations of an index: add (parse, check every id, write the batch in
 * one transaction), get, delete and page. What a document becomes in the
 * index is the indexer's (indexer.h) and the layout's (layout.h).
 *
 * Bodies are read with yyjson and YYJSON_READ_NUMBER_AS_RAW, so numbers keep
 * the exact text the client sent (no rounding of 0.1 or of 20-digit ids),
 * both in the stored JSON and in the indexed text. NDJSON is read value after
 * value with YYJSON_READ_STOP_WHEN_DONE; yyjson reports byte offsets relative
 * to where each read began, so they are shifted to offsets in the whole body.
 *
 * Import speed matters (batches of thousands of documents per call): the
 * body is parsed once, and one indexer serves the whole batch so its token
 * vector and traversal stack are reused across documents.
 */
#include "documents.h"

#include <yyjson.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "error.h"
#include "indexer.h"
#include "json.h"
#include "layout.h"
#include "messages.h"
#include "text.h"

namespace lmx {
namespace {

constexpr yyjson_read_flag kReadFlags = YYJSON_READ_NUMBER_AS_RAW;
constexpr int kMaxPageLimit = 10000;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

size_t skip_space(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

/* The documents of one body: the parsed yyjson trees (owned) and the
 * objects in body order. */
struct Parsed {
  std::vector<yyjson_doc *> trees;
  std::vector<yyjson_val *> objects;
  /* Byte offset of each object in the body; empty for a JSON array, whose
   * members' offsets the reader does not report. */
  std::vector<long long> offsets;
  Parsed() = default;
  Parsed(const Parsed &) = delete;
  Parsed &operator=(const Parsed &) = delete;
  ~Parsed() {
    for (yyjson_doc *t : trees) yyjson_doc_free(t);
  }
};

/* A failure of the body at document position (1-based; 0: the body as a
 * whole) and byte offset (-1: unknown). */
Error body_error(const std::string &text, size_t position, long long offset) {
  BodyPosition where;
  where.known = true;
  where.document = position;
  where.byte_offset = offset;
  return Error(text, LUMIDEX_ERROR_INVALID_BODY, where);
}

Error json_error(const yyjson_read_err &err, size_t base, long position) {
  size_t offset = base + err.pos;
  std::string text = msg::invalid_json(
      position > 0 ? static_cast<unsigned long long>(position) : 0, offset,
      err.msg ? err.msg : "invalid JSON");
  return body_error(text, position > 0 ? static_cast<size_t>(position) : 0,
                    static_cast<long long>(offset));
}

Error not_an_object(size_t position, long long offset) {
  return body_error(msg::not_an_object(position), position, offset);
}

void parse_array(std::string_view body, Parsed &p) {
  yyjson_read_err err;
  yyjson_doc *tree = yyjson_read_opts(const_cast<char *>(body.data()),
                                      body.size(), kReadFlags, nullptr, &err);
  if (!tree) throw json_error(err, 0, 0);
  p.trees.push_back(tree);
  yyjson_val *arr = yyjson_doc_get_root(tree);
  size_t idx, max;
  yyjson_val *item;
  p.objects.reserve(yyjson_arr_size(arr));
  yyjson_arr_foreach(arr, idx, max, item) {
    if (!yyjson_is_obj(item)) throw not_an_object(idx + 1, -1);
    p.objects.push_back(item);
  }
}

/* The end of the line holding s[from], or s.size(). */
size_t line_end(std::string_view s, size_t from) {
  if (from >= s.size()) return s.size();
  size_t nl = s.find('\n', from);
  return nl == std::string_view::npos ? s.size() : nl;
}

/* Reads the value starting at body[pos]. yyjson sizes its memory from the
 * length it is given, not from what it reads, so each value is read from a
 * span ending at its own line end: handing it the rest of the body would
 * cost memory proportional to the body for every document of it (gigabytes
 * for a batch of thousands). A value spread over several lines (a
 * pretty-printed object) widens the span, doubling it, until it fits; a
 * span can only end at a line feed, which is whitespace or an error in
 * JSON, so cutting there never changes what is read. */
yyjson_doc *read_value(std::string_view body, size_t pos, long position) {
  size_t end = line_end(body, pos);
  for (;;) {
    yyjson_read_err err;
    yyjson_doc *tree = yyjson_read_opts(
        const_cast<char *>(body.data() + pos), end - pos,
        kReadFlags | YYJSON_READ_STOP_WHEN_DONE, nullptr, &err);
    if (tree) return tree;
    if (err.code != YYJSON_READ_ERROR_UNEXPECTED_END || end == body.size())
      throw json_error(err, pos, position);
    end = line_end(body, pos + 2 * (end - pos) + 1);
  }
}

/* One JSON value after another (NDJSON, or a single object). */
void parse_stream(std::string_view body, Parsed &p) {
  size_t pos = skip_space(body, 0);
  while (pos < body.size()) {
    long position = static_cast<long>(p.objects.size()) + 1;
    yyjson_doc *tree = read_value(body, pos, position);
    p.trees.push_back(tree);
    yyjson_val *root = yyjson_doc_get_root(tree);
    if (!yyjson_is_obj(root))
      throw not_an_object(static_cast<size_t>(position),
                          static_cast<long long>(pos));
    p.objects.push_back(root);
    p.offsets.push_back(static_cast<long long>(pos));
    pos = skip_space(body, pos + yyjson_doc_get_read_size(tree));
  }
}

void parse_body(std::string_view body, Parsed &p) {
  size_t first = skip_space(body, 0);
  if (first == body.size())
    throw body_error(
        "The body holds no documents: send a JSON array of objects, "
        "one object, or one object per line.",
        0, -1);
  if (body[first] == '[')
    parse_array(body, p);
  else
    parse_stream(body, p);
}

/* True when raw number text is an integer (no fraction, no exponent). */
bool integer_text(const char *raw, size_t len) {
  size_t i = (len > 0 && raw[0] == '-') ? 1 : 0;
  if (i == len) return false;
  for (; i < len; ++i) {
    if (raw[i] < '0' || raw[i] > '9') return false;
  }
  return true;
}

/* The id of obj under primary key pk, or throws naming its position
 * (1-based) and byte offset (-1: unknown). */
std::string document_id(yyjson_val *obj, const std::string &pk, size_t position,
                        long long offset) {
  yyjson_val *v = yyjson_obj_getn(obj, pk.data(), pk.size());
  if (!v) throw body_error(msg::no_primary_key(position, pk), position, offset);
  std::string_view text;
  bool usable = false;
  if (yyjson_is_str(v)) {
    text = std::string_view(yyjson_get_str(v), yyjson_get_len(v));
    usable = valid_identifier(text);
  } else if (yyjson_is_raw(v)) {
    text = std::string_view(yyjson_get_raw(v), yyjson_get_len(v));
    usable = text.size() <= 127 && integer_text(text.data(), text.size());
  }
  if (usable) return std::string(text);
  std::string shown = (yyjson_is_str(v) || yyjson_is_raw(v))
                          ? msg::backticked(text)
                          : std::string(yyjson_get_type_desc(v));
  throw body_error(msg::invalid_primary_key_value(position, pk, shown),
                   position, offset);
}

std::vector<std::string> document_ids(const Parsed &p, const std::string &pk) {
  std::vector<std::string> ids;
  ids.reserve(p.objects.size());
  for (size_t i = 0; i < p.objects.size(); ++i)
    ids.push_back(document_id(p.objects[i], pk, i + 1,
                              p.offsets.empty() ? -1 : p.offsets[i]));
  return ids;
}

void write_batch(Xapian::WritableDatabase &db, const Parsed &p,
                 const std::vector<std::string> &ids, const std::string &pk) {
  Indexer indexer;
  db.begin_transaction(true);
  try {
    for (size_t i = 0; i < p.objects.size(); ++i) {
      Xapian::Document doc;
      indexer.build(p.objects[i], pk, ids[i], doc);
      db.replace_document(std::string(kIdPrefix) + ids[i], doc);
    }
    Catalog::touch(db);
    db.commit_transaction();
  } catch (...) {
    try {
      db.cancel_transaction();
    } catch (...) {
      /* The transaction may already be gone; closing discards it anyway. */
    }
    throw;
  }
}

}  // namespace

long add_documents(Catalog &catalog, const std::string &index,
                   const std::string &new_primary_key, std::string_view body) {
  Catalog::require_valid_name(index);
  Parsed parsed;
  parse_body(body, parsed);

  if (!catalog.exists(index)) {
    /* Check the batch against the key the new index will have before making
     * it, so a refused batch leaves no empty index behind. */
    Catalog::require_valid_key(new_primary_key);
    document_ids(parsed, new_primary_key);
    catalog.try_create(index, new_primary_key);
  }
  Xapian::WritableDatabase db = catalog.writer(index);
  /* The key is read under the write lock: another process may have created
   * the index with a different key in the meantime. */
  std::string pk = Catalog::primary_key_of(db);
  std::vector<std::string> ids = document_ids(parsed, pk);
  write_batch(db, parsed, ids, pk);
  db.close();
  return static_cast<long>(parsed.objects.size());
}

std::string get_document(Catalog &catalog, const std::string &index,
                         const std::string &id) {
  Catalog::require_valid_name(index);
  Xapian::Database *db = catalog.reader(index);
  if (!db)
    throw Error(msg::index_not_found(index), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  std::string out;
  bool found = false;
  if (valid_identifier(id)) {
    found = fresh_read(*db, [&] {
      Xapian::PostingIterator p = db->postlist_begin(kIdPrefix + id);
      if (p == db->postlist_end(kIdPrefix + id)) return false;
      out = db->get_document(*p).get_data();
      return true;
    });
  }
  if (!found)
    throw Error(msg::document_not_found(id, index),
                LUMIDEX_ERROR_DOCUMENT_NOT_FOUND);
  return out;
}

void delete_document(Catalog &catalog, const std::string &index,
                     const std::string &id) {
  Catalog::require_valid_name(index);
  Xapian::WritableDatabase db = catalog.writer(index);
  std::string term = kIdPrefix + id;
  if (!valid_identifier(id) || db.get_termfreq(term) == 0)
    throw Error(msg::document_not_found(id, index),
                LUMIDEX_ERROR_DOCUMENT_NOT_FOUND);
  db.begin_transaction(true);
  db.delete_document(term);
  Catalog::touch(db);
  db.commit_transaction();
  db.close();
}

bool documents_page(Catalog &catalog, const std::string &index,
                    unsigned long long after, int limit,
                    std::string *out_text) {
  Catalog::require_valid_name(index);
  Xapian::Database *db = catalog.reader(index);
  if (!db) return false;
  if (limit < 1) limit = 1;
  if (limit > kMaxPageLimit) limit = kMaxPageLimit;

  fresh_read(*db, [&] {
    yyjson_mut_val *root = nullptr;
    MutDoc page = new_object_doc(&root);
    yyjson_mut_doc *out = page.get();
    yyjson_mut_val *documents = checked(yyjson_mut_arr(out));
    Xapian::docid last = 0;
    bool more = false;
    /* Docids are 32-bit: a position at or past the largest has nothing
     * after it. */
    if (after < db->get_lastdocid()) {
      Xapian::PostingIterator it = db->postlist_begin("");
      Xapian::PostingIterator end = db->postlist_end("");
      it.skip_to(static_cast<Xapian::docid>(after + 1));
      int count = 0;
      for (; it != end && count < limit; ++it, ++count) {
        /* The stored document is compact JSON already: written as it is. */
        std::string data = db->get_document(*it).get_data();
        require(yyjson_mut_arr_append(
            documents,
            checked(yyjson_mut_rawncpy(out, data.data(), data.size()))));
        last = *it;
      }
      more = it != end;
    }
    require(yyjson_mut_obj_add_val(out, root, "documents", documents) &&
            yyjson_mut_obj_add_uint(out, root, "next", more ? last : 0));
    *out_text = written(out);
  });
  return true;
}

}  // namespace lmx
