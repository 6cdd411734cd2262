/*
 * document_delete.cpp: deletions of many documents (document_delete.h).
 *
 * Each deletion runs in one Xapian transaction under the index's write
 * lock. Xapian writes out what a transaction has buffered every
 * XAPIAN_FLUSH_THRESHOLD changes without committing it, so a deletion of
 * any size costs bounded memory and stays all or nothing. Whether a
 * document exists is asked of the writer, which sees the transaction's own
 * deletions, so an id given twice is deleted and counted once. The index's
 * last-change time moves only when something was deleted.
 */
#include "document_delete.h"

#include <yyjson.h>

#include <vector>

#include "document_list.h"
#include "error.h"
#include "filter.h"
#include "json.h"
#include "layout.h"
#include "messages.h"
#include "prior.h"
#include "settings.h"

namespace lmx {

namespace {

/* A refused body; position is the failing element's (0: the whole body). */
Error invalid_body(const std::string &text, unsigned long long position) {
  BodyPosition where;
  where.known = true;
  where.document = position;
  return Error(text, LUMIDEX_ERROR_INVALID_BODY, where);
}

/* The ids of the JSON array text, in order, or throws naming the first
 * element that is not one. */
std::vector<std::string> ids_of(std::string_view text) {
  yyjson_read_err err;
  Doc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(),
                           YYJSON_READ_NUMBER_AS_RAW, nullptr, &err));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_arr(root))
    throw invalid_body(
        "The body must be a JSON array of document ids, such as "
        "[\"a1\", 42].",
        0);
  std::vector<std::string> ids;
  ids.reserve(yyjson_arr_size(root));
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(root, idx, max, item) {
    std::string id;
    if (!id_of_value(item, &id))
      throw invalid_body(
          "Element " + std::to_string(idx + 1) +
              " of the body is no "
              "document id: " +
              shown_id_value(item) +
              "; an id is a string of "
              "1 to 127 bytes of A-Z a-z 0-9 - _, or an integer.",
          idx + 1);
    ids.push_back(std::move(id));
  }
  return ids;
}

/* The filter of the request object text {"filter": F}, or throws. */
FilterNode filter_of(std::string_view text) {
  Doc doc(yyjson_read(text.data(), text.size(), YYJSON_READ_NOFLAG));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  yyjson_val *filter = yyjson_obj_get(root, "filter");
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 1 || !filter)
    throw invalid_body(
        "The body must be a JSON object with one member, \"filter\": a "
        "filter expression or an array of them, such as "
        "{\"filter\": \"genre = drama AND year < 1990\"}.",
        0);
  ParsedFilter parsed = parse_filter(filter);
  if (!parsed.ok())
    throw Error(parsed.error.message, LUMIDEX_ERROR_INVALID_FILTER);
  return std::move(parsed.root);
}

/* Runs remove(db, report) in one transaction on a writer of index and
 * commits it, touching the index when something was deleted. remove
 * returns how many documents it deleted. */
template <typename Remove>
long long in_one_transaction(Catalog &catalog, const std::string &index,
                             Remove remove) {
  Catalog::require_valid_name(index);
  Xapian::WritableDatabase db = catalog.writer(index);
  db.begin_transaction(true);
  try {
    long long deleted = remove(db);
    if (deleted > 0) Catalog::touch(db);
    db.commit_transaction();
    db.close();
    return deleted;
  } catch (...) {
    cancel_transaction(db);
    throw;
  }
}

/* Tells progress of step done of total, every progress_step(total). */
void report(const RewriteProgress &progress, unsigned long long done,
            unsigned long long total) {
  if (progress && (done % progress_step(total) == 0 || done == total))
    progress(done, total);
}

}  // namespace

long long delete_ids(Catalog &catalog, const std::string &index,
                     std::string_view ids_json,
                     const RewriteProgress &progress) {
  const std::vector<std::string> ids = ids_of(ids_json);
  return in_one_transaction(catalog, index, [&](Xapian::WritableDatabase &db) {
    PriorKeeper priors(index_layout(db).stored_priors);
    long long deleted = 0;
    unsigned long long done = 0;
    for (const std::string &id : ids) {
      const std::string term = std::string(kIdPrefix) + id;
      Xapian::PostingIterator it = db.postlist_begin(term);
      if (it != db.postlist_end(term)) {
        priors.note_stored(db, *it);
        db.delete_document(term);
        ++deleted;
      }
      report(progress, ++done, ids.size());
    }
    priors.store(db);
    if (progress && ids.empty()) progress(0, 0);
    return deleted;
  });
}

long long delete_matching(Catalog &catalog, const std::string &index,
                          std::string_view request_json,
                          const RewriteProgress &progress) {
  const FilterNode filter = filter_of(request_json);
  return in_one_transaction(catalog, index, [&](Xapian::WritableDatabase &db) {
    /* Settings and matches are read under the write lock, so what is
     * deleted is what matches at the commit. */
    Xapian::Enquire enquire(db);
    enquire.set_query(matching(read_settings(db), filter));
    enquire.set_weighting_scheme(Xapian::BoolWeight());
    enquire.set_docid_order(Xapian::Enquire::ASCENDING);
    Xapian::MSet mset = enquire.get_mset(0, db.get_doccount());
    std::vector<Xapian::docid> docids(mset.begin(), mset.end());
    PriorKeeper priors(index_layout(db).stored_priors);
    unsigned long long done = 0;
    for (Xapian::docid did : docids) {
      priors.note_stored(db, did);
      db.delete_document(did);
      report(progress, ++done, docids.size());
    }
    priors.store(db);
    if (progress && docids.empty()) progress(0, 0);
    return static_cast<long long>(docids.size());
  });
}

long long delete_all(Catalog &catalog, const std::string &index,
                     const RewriteProgress &progress) {
  return in_one_transaction(catalog, index, [&](Xapian::WritableDatabase &db) {
    /* The docids first: the posting list is not walked while it shrinks.
     * No document is left whose stored prior could change. */
    std::vector<Xapian::docid> docids;
    docids.reserve(db.get_doccount());
    for (auto it = db.postlist_begin(""); it != db.postlist_end(""); ++it)
      docids.push_back(*it);
    unsigned long long done = 0;
    for (Xapian::docid did : docids) {
      db.delete_document(did);
      report(progress, ++done, docids.size());
    }
    if (progress && docids.empty()) progress(0, 0);
    return static_cast<long long>(docids.size());
  });
}

}  // namespace lmx
