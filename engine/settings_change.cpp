/*
 * settings_change.cpp: reading and changing an index's settings
 * (settings_change.h).
 *
 * Why the rewrite happens in place, in one transaction, under the write
 * lock, rather than in a copy swapped in afterwards: the lock has to be
 * held for the whole rewrite either way (a write landing in the old index
 * while a copy is built would be lost at the swap), and Xapian keeps the
 * committed revision intact until the transaction commits, so readers and
 * a killed process see the old index whole without a second copy of the
 * index's files or of the catalog's exchange. Xapian writes the buffered
 * postings of a transaction out to its tables every XAPIAN_FLUSH_THRESHOLD
 * documents (still uncommitted), so the memory a rewrite takes is that of
 * one flush, whatever the size of the index (rewrite_writer sizes it).
 * The docids stay, so document order and ids are unchanged. Once the
 * rewrite is committed and the lock released, the index is compacted
 * (compact.h), which takes the lock again and a second copy for a moment.
 */
#include "settings_change.h"

#include "compact.h"
#include "error.h"
#include "messages.h"
#include "settings.h"

namespace lmx {

std::string index_settings_json(Catalog &catalog, const std::string &name) {
  Catalog::require_valid_name(name);
  Xapian::Database *db = catalog.reader(name);
  if (!db)
    throw Error(msg::index_not_found(name), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  return settings_json(fresh_read(*db, [&] { return read_settings(*db); }));
}

namespace {

/* A rewrite replaces every document in one transaction, which leaves the
 * index about twice its size and its blocks partly filled; compacting it
 * (compact.h) brings searches back to their speed before the change. The
 * change is committed by then: a compaction that fails (no room for the
 * copy, say) leaves the index whole and as the change made it, and is not
 * the change's failure. */
void compact_after_rewrite(Catalog &catalog, const std::string &name) {
  try {
    compact_index(catalog, name);
  } catch (const Error &) {
  } catch (const Xapian::Error &) {
  }
}

/* Stores after and, when rewrite, rewrites every document under it, in one
 * transaction of db; then compacts the index when rewritten. */
void commit_change(Catalog &catalog, const std::string &name,
                   Xapian::WritableDatabase &db, const IndexSettings &after,
                   bool rewrite, const RewriteProgress &progress) {
  db.begin_transaction(true);
  try {
    write_settings(db, after);
    if (rewrite) rewrite_documents(db, after, progress);
    Catalog::touch(db);
    db.commit_transaction();
  } catch (...) {
    cancel_transaction(db);
    throw;
  }
  db.close();
  if (rewrite) compact_after_rewrite(catalog, name);
}

}  // namespace

std::string change_index_settings(Catalog &catalog, const std::string &name,
                                  const std::string_view *patch,
                                  const RewriteProgress &progress) {
  Catalog::require_valid_name(name);
  /* A patch that cannot apply is refused before any lock is taken. */
  if (patch) patched_settings(IndexSettings(), *patch);
  Xapian::WritableDatabase db = rewrite_writer(catalog, name);
  /* Read under the lock: the change applies to the settings stored now. */
  IndexSettings before = read_settings(db);
  IndexSettings after =
      patch ? patched_settings(before, *patch) : IndexSettings();
  if (after == before) return settings_json(after);
  commit_change(catalog, name, db, after, changes_terms(before, after),
                progress);
  return settings_json(after);
}

unsigned long long rewrite_index(Catalog &catalog, const std::string &name,
                                 const RewriteProgress &progress) {
  Catalog::require_valid_name(name);
  Xapian::WritableDatabase db = rewrite_writer(catalog, name);
  const unsigned long long count = db.get_doccount();
  /* The settings stored again are those read: only the terms change. */
  commit_change(catalog, name, db, read_settings(db), true, progress);
  return count;
}

}  // namespace lmx
