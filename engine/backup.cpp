/*
 * backup.cpp: backups of live indexes and their restoration (see backup.h
 * for the layout of a backup directory).
 *
 * A copy is made with Xapian's compaction from a reader, which reads one
 * committed revision. Writers in other processes go on committing meanwhile;
 * once they have committed twice, blocks of that revision may be reused and
 * the compaction fails with DatabaseModifiedError (or, when the reuse is
 * caught mid-block, DatabaseCorruptError). The reader then moves to the
 * newest revision and the copy starts again. Under a steady stream of
 * commits a large index may never be copied between two of them, so after
 * kLockFreeAttempts the backup takes the index's write lock for one last
 * attempt: writers queue behind it (they wait for the lock, they do not
 * fail) and the revision cannot change while it is copied.
 *
 * Document ids are kept (DBCOMPACT_NO_RENUMBER), so insertion order and the
 * positions of exports are those of the index, and documents added after a
 * restore follow the restored ones.
 */
#include "backup.h"

#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "error.h"
#include "messages.h"
#include "system.h"

namespace lmx {
namespace {

constexpr const char *kManifestFile = "lumidex-backup.json";
constexpr int kLockFreeAttempts = 4;

struct Manifest {
  IndexInfo info;
  Xapian::rev revision = 0;
  std::string backed_up_at;
};


std::string manifest_json(const Manifest &m) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) throw std::bad_alloc();
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strncpy(doc, root, "index", m.info.name.data(),
                             m.info.name.size());
  yyjson_mut_obj_add_uint(doc, root, "revision", m.revision);
  yyjson_mut_obj_add_uint(doc, root, "document_count", m.info.document_count);
  const std::pair<const char *, const std::string *> texts[] = {
      {"primary_key", &m.info.primary_key},
      {"created_at", &m.info.created_at},
      {"updated_at", &m.info.updated_at},
      {"backed_up_at", &m.backed_up_at}};
  for (const auto &[key, value] : texts)
    yyjson_mut_obj_add_strncpy(doc, root, key, value->data(), value->size());
  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  yyjson_mut_doc_free(doc);
  if (!text) throw std::bad_alloc();
  std::string out(text, len);
  free(text);
  return out;
}

std::string text_member(yyjson_val *root, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(root, key));
  return s ? s : "";
}

/* Parses a manifest text; false when it is not one. */
bool parse_manifest(const std::string &text, Manifest *m) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *rev = yyjson_obj_get(root, "revision");
  yyjson_val *count = yyjson_obj_get(root, "document_count");
  bool ok = yyjson_is_obj(root) && yyjson_is_uint(rev) && yyjson_is_uint(count);
  if (ok) {
    m->info.name = text_member(root, "index");
    m->info.primary_key = text_member(root, "primary_key");
    m->info.created_at = text_member(root, "created_at");
    m->info.updated_at = text_member(root, "updated_at");
    m->backed_up_at = text_member(root, "backed_up_at");
    m->revision = static_cast<Xapian::rev>(yyjson_get_uint(rev));
    m->info.document_count =
        static_cast<Xapian::doccount>(yyjson_get_uint(count));
  }
  yyjson_doc_free(doc);
  return ok && valid_identifier(m->info.name);
}

/* Writes text to path and flushes it to disk. */
void write_durably(const std::string &path, const std::string &text) {
  if (int err = sys::write_new_file(path, text))
    throw Error("Cannot write " + msg::backticked(path) + ": " +
                sys::error_text(err) + ".");
}

/* The manifest of the backup at dir, or false when it has none that
 * parses. */
bool read_manifest(const std::string &dir, Manifest *m) {
  std::string text;
  return sys::read_file(dir + "/" + kManifestFile, 1u << 20, &text) == 0 &&
         parse_manifest(text, m);
}

/* Compacts the revision db has open into work; returns what db records of
 * itself at that revision. */
Manifest copy_revision(Catalog &storage, const std::string &name,
                       Xapian::Database &db, const std::string &work) {
  Manifest m;
  m.info = storage.info_of(name, db);
  m.revision = db.get_revision();
  db.compact(work, Xapian::DBCOMPACT_NO_RENUMBER);
  return m;
}

/* Copies a committed revision of index name into work: lock-free attempts
 * first, then one under the index's write lock. */
Manifest copy_live(Catalog &storage, const std::string &name,
                   const std::string &work) {
  Xapian::Database *db = storage.reader(name);
  if (!db)
    throw Error(msg::index_not_found(name),
                LUMIDEX_ERROR_INDEX_NOT_FOUND);
  for (int attempt = 1; attempt <= kLockFreeAttempts; ++attempt) {
    try {
      if (attempt > 1) db->reopen();
      return copy_revision(storage, name, *db, work);
    } catch (const Xapian::DatabaseModifiedError &) {
    } catch (const Xapian::DatabaseCorruptError &) {
    }
    Catalog::discard(work);
  }
  /* Holding the write lock, no commit can land until the copy is done. */
  Xapian::WritableDatabase lock = storage.writer(name);
  db->reopen();
  Manifest m = copy_revision(storage, name, *db, work);
  lock.close();
  return m;
}

}  // namespace

std::string backup_index(Catalog &storage, const std::string &name,
                         const std::string &dest_dir) {
  Catalog::require_valid_name(name);
  std::string why = check_storage_dir(dest_dir.c_str());
  if (!why.empty())
    throw Error("Backup directory: " + why, LUMIDEX_ERROR_STORAGE_REFUSED);
  Catalog dest(dest_dir);
  std::string exists = "A backup of index " + msg::backticked(name) +
                       " already exists in " + msg::backticked(dest_dir) + ".";
  if (dest.exists(name)) throw Error(exists, LUMIDEX_ERROR_INDEX_EXISTS);
  if (!storage.exists(name))
    throw Error(msg::index_not_found(name),
                LUMIDEX_ERROR_INDEX_NOT_FOUND);

  std::string work = dest.work_area(name);
  std::string text;
  try {
    Manifest m = copy_live(storage, name, work);
    m.backed_up_at = now_rfc3339();
    text = manifest_json(m);
    write_durably(work + "/" + kManifestFile, text);
  } catch (...) {
    Catalog::discard(work);
    throw;
  }
  if (!dest.install(work, name, false))
    throw Error(exists, LUMIDEX_ERROR_INDEX_EXISTS);
  return text;
}

std::string restore_index(Catalog &storage, const std::string &dest_dir,
                          const std::string &name, bool replace) {
  Catalog::require_valid_name(name);
  std::string from = dest_dir + "/" + name;
  Manifest m;
  if (!read_manifest(from, &m))
    throw Error("No backup of index " + msg::backticked(name) + " in " +
                    msg::backticked(dest_dir) + " (no readable " + kManifestFile +
                    ").",
                LUMIDEX_ERROR_INDEX_NOT_FOUND);
  if (m.info.name != name)
    throw Error("The backup " + msg::backticked(from) + " holds index " +
                    msg::backticked(m.info.name) + ", not " + msg::backticked(name) + ".",
                LUMIDEX_ERROR_INVALID_ARGUMENT);
  std::string exists = msg::index_exists(name);
  if (!replace && storage.exists(name))
    throw Error(exists, LUMIDEX_ERROR_INDEX_EXISTS);

  Xapian::Database source(from);
  std::string damaged = "The backup " + msg::backticked(from) +
                        " does not hold the documents its manifest counts.";
  if (source.get_doccount() != m.info.document_count) throw Error(damaged);
  std::string work = storage.work_area(name);
  try {
    source.compact(work, Xapian::DBCOMPACT_NO_RENUMBER);
    if (Xapian::Database(work).get_doccount() != m.info.document_count)
      throw Error(damaged);
  } catch (...) {
    Catalog::discard(work);
    throw;
  }
  if (!storage.install(work, name, replace))
    throw Error(exists, LUMIDEX_ERROR_INDEX_EXISTS);
  return manifest_json(m);
}

std::string list_backups(const std::string &dest_dir) {
  std::vector<std::string> names;
  if (int err = sys::list_dir(dest_dir, &names))
    throw Error("Backup directory " + msg::backticked(dest_dir) +
                    " cannot be listed: " + sys::error_text(err) + ".",
                LUMIDEX_ERROR_STORAGE_REFUSED);
  names.erase(
      std::remove_if(names.begin(), names.end(),
                     [](const std::string &n) { return !valid_identifier(n); }),
      names.end());
  std::sort(names.begin(), names.end());
  std::string out = "[";
  for (const std::string &name : names) {
    Manifest m;
    if (!read_manifest(dest_dir + "/" + name, &m) || m.info.name != name)
      continue;
    if (out.size() > 1) out.push_back(',');
    out += manifest_json(m);
  }
  out.push_back(']');
  return out;
}

}  // namespace lmx
