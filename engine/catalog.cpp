/*
 * catalog.cpp: the indexes of one storage directory on disk (see catalog.h
 * for the layout and the concurrency rules).
 *
 * The operating-system calls (the rename that never replaces, the directory
 * flush, listing, process ids) are in system.h, for POSIX and Windows alike.
 * Work areas carry the creating process's id, so leftovers of a process that
 * died (killed during a creation or a removal) can be told apart from the
 * work of a live one and are swept on the next creation or removal. An area
 * must also have been untouched for kSweepAgeSeconds: a process of another
 * pid namespace sharing the directory would look dead to kill(2).
 */
#include "catalog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "error.h"
#include "layout.h"
#include "messages.h"
#include "system.h"

namespace lmx {
namespace {

constexpr const char *kMetaPrimaryKey = "lumidex:primary_key";
constexpr const char *kMetaCreatedAt = "lumidex:created_at";
constexpr const char *kMetaUpdatedAt = "lumidex:updated_at";
constexpr const char *kTmpPrefix = ".tmp-";
constexpr const char *kTrashPrefix = ".trash-";
constexpr size_t kMaxIdentifier = 127;
constexpr time_t kSweepAgeSeconds = 600;

unsigned long g_work_seq = 0;

/* A name for a work area of this process: PREFIX NAME.PID.SEQ */
std::string work_name(const char *prefix, const std::string &name) {
  return std::string(prefix) + name + "." + std::to_string(sys::process_id()) +
         "." + std::to_string(++g_work_seq);
}

/* The process id inside a work-area name, or 0 when there is none. */
unsigned long work_owner(const std::string &entry) {
  size_t last = entry.rfind('.');
  if (last == std::string::npos || last == 0) return 0;
  size_t prev = entry.rfind('.', last - 1);
  if (prev == std::string::npos || prev == 0) return 0;
  std::string pid = entry.substr(prev + 1, last - prev - 1);
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::strtoul(pid.c_str(), nullptr, 10);
}

/* The modification time of path as RFC 3339, for indexes made without our
 * metadata. */
std::string mtime_rfc3339(const std::string &path) {
  std::time_t t;
  if (!sys::mtime(path, &t)) return now_rfc3339();
  struct tm tm;
  sys::utc_time(t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

/* A reader on path. Opening reads the newest revision's table roots, which
 * writers committing meanwhile may discard, so a failed open is tried
 * again as fresh_read() does. */
Xapian::Database open_database(const std::string &path) {
  for (int attempt = 1;; ++attempt) {
    try {
      return Xapian::Database(path);
    } catch (const Xapian::DatabaseModifiedError &) {
      if (attempt >= kReadAttempts) throw;
    } catch (const Xapian::DatabaseCorruptError &) {
      if (attempt >= kReadAttempts) throw;
    }
  }
}

}  // namespace

bool valid_identifier(std::string_view s) {
  if (s.empty() || s.size() > kMaxIdentifier) return false;
  for (char c : s) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string now_rfc3339() {
  time_t now = time(nullptr);
  struct tm tm;
  sys::utc_time(now, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string check_storage_dir(const char *dir) {
  if (!dir || !*dir) return msg::no_storage_dir();
  int err = 0;
  switch (sys::check_storage(dir, &err)) {
    case sys::Storage::kUsable:
      break;
    case sys::Storage::kMissing:
      return msg::storage_dir(dir, "does not exist.");
    case sys::Storage::kUnreachable:
      return msg::storage_dir(
          dir, "cannot be used: " + sys::error_text(err) + ".");
    case sys::Storage::kNotDirectory:
      return msg::storage_dir(dir, "is not a directory.");
    case sys::Storage::kWorldWritable:
      return msg::storage_dir(
          dir, "is writable by every user; refusing to use it (chmod o-w).");
    case sys::Storage::kOtherOwner:
      return msg::storage_dir(dir,
                              "belongs to another user; refusing to use it.");
    case sys::Storage::kUnreadable:
      return msg::storage_dir(
          dir, "cannot be read: " + sys::error_text(err) + ".");
  }
  return "";
}

Catalog::Catalog(std::string dir) : dir_(std::move(dir)) {}

void Catalog::require_valid_name(std::string_view name) {
  if (!valid_identifier(name))
    throw Error(msg::invalid_index_name(name), LUMIDEX_ERROR_INVALID_ARGUMENT);
}

void Catalog::require_valid_key(std::string_view key) {
  if (!valid_identifier(key))
    throw Error(msg::invalid_primary_key(key), LUMIDEX_ERROR_INVALID_ARGUMENT);
}

std::string Catalog::path_of(const std::string &name) const {
  return dir_ + "/" + name;
}

bool Catalog::exists(const std::string &name) const {
  return sys::exists(path_of(name));
}

void Catalog::sweep_work_areas() const {
  std::vector<std::string> entries;
  if (sys::list_dir(dir_, &entries) != 0) return;
  std::vector<std::string> dead;
  for (const std::string &entry : entries) {
    if (entry.rfind(kTmpPrefix, 0) != 0 && entry.rfind(kTrashPrefix, 0) != 0)
      continue;
    unsigned long owner = work_owner(entry);
    if (owner == 0 || !sys::process_gone(owner)) continue;
    std::time_t changed;
    if (sys::mtime(dir_ + "/" + entry, &changed) &&
        changed + kSweepAgeSeconds < time(nullptr))
      dead.push_back(entry);
  }
  for (const std::string &entry : dead) sys::remove_tree(dir_ + "/" + entry);
}

void Catalog::create(const std::string &name, const std::string &primary_key) {
  if (!try_create(name, primary_key))
    throw Error(msg::index_exists(name), LUMIDEX_ERROR_INDEX_EXISTS);
}

bool Catalog::try_create(const std::string &name,
                         const std::string &primary_key) {
  require_valid_name(name);
  require_valid_key(primary_key);
  if (exists(name)) return false;
  sweep_work_areas();

  std::string tmp = dir_ + "/" + work_name(kTmpPrefix, name);
  try {
    Xapian::WritableDatabase db(tmp, Xapian::DB_CREATE);
    std::string now = now_rfc3339();
    db.set_metadata(kMetaPrimaryKey, primary_key);
    db.set_metadata(kMetaCreatedAt, now);
    db.set_metadata(kMetaUpdatedAt, now);
    mark_pair_terms(db);
    db.commit();
    db.close();
  } catch (const Xapian::Error &e) {
    sys::remove_tree(tmp);
    throw Error(msg::index_unusable(name, "created", e.get_msg()));
  }
  int err = sys::rename_noreplace(tmp, path_of(name));
  if (err != 0) {
    sys::remove_tree(tmp);
    if (err == EEXIST || err == ENOTEMPTY) return false;
    throw Error(msg::index_unusable(name, "created", sys::error_text(err)));
  }
  sys::flush_dir(dir_);
  return true;
}

void Catalog::remove(const std::string &name) {
  require_valid_name(name);
  std::string missing = msg::index_not_found(name);
  if (!exists(name)) throw Error(missing, LUMIDEX_ERROR_INDEX_NOT_FOUND);
  readers_.erase(name);
  std::string trash = dir_ + "/" + work_name(kTrashPrefix, name);
  if (int err = sys::rename_fresh(path_of(name), trash)) {
    if (err == ENOENT) throw Error(missing, LUMIDEX_ERROR_INDEX_NOT_FOUND);
    throw Error(msg::index_unusable(name, "deleted", sys::error_text(err)));
  }
  sys::flush_dir(dir_);
  sys::remove_tree(trash);
  sweep_work_areas();
}

Xapian::Database *Catalog::current_reader(const std::string &name,
                                          const sys::DirIdentity &id) {
  auto it = readers_.find(name);
  if (it == readers_.end()) return nullptr;
  if (it->second.id == id) return it->second.db.get();
  readers_.erase(it);
  return nullptr;
}

Xapian::Database *Catalog::reader(const std::string &name) {
  if (!valid_identifier(name)) return nullptr;
  sys::DirIdentity id;
  if (!sys::dir_identity(path_of(name), &id)) {
    readers_.erase(name);
    return nullptr;
  }
  try {
    if (Xapian::Database *cached = current_reader(name, id)) {
      cached->reopen();
      return cached;
    }
    /* Opened after the identity was read: if the directory is replaced in
     * between, the next call sees another identity and opens it again. */
    auto db = std::make_unique<Xapian::Database>(open_database(path_of(name)));
    Xapian::Database *raw = db.get();
    readers_[name] = CachedReader{std::move(db), id, StatsCache()};
    return raw;
  } catch (const Xapian::DatabaseNotFoundError &) {
    /* Removed between the check and the open. */
    if (!exists(name)) {
      readers_.erase(name);
      return nullptr;
    }
    throw;
  } catch (const Xapian::DatabaseOpeningError &e) {
    throw Error(msg::index_unusable(name, "opened", e.get_msg()));
  }
}

StatsCache *Catalog::stats(const std::string &name) {
  auto it = readers_.find(name);
  return it == readers_.end() ? nullptr : &it->second.stats;
}

Xapian::WritableDatabase Catalog::writer(const std::string &name) {
  require_valid_name(name);
  std::string missing = msg::index_not_found(name);
  const std::string path = path_of(name);
  for (;;) {
    sys::DirIdentity before, after;
    if (!sys::dir_identity(path, &before))
      throw Error(missing, LUMIDEX_ERROR_INDEX_NOT_FOUND);
    try {
      Xapian::WritableDatabase db(path,
                                  Xapian::DB_OPEN | Xapian::DB_RETRY_LOCK);
      /* The lock held is that of the directory opened before waiting: if
       * a compaction exchanged the index meanwhile, that directory is the
       * old copy, and a write there would be lost. */
      if (sys::dir_identity(path, &after) && after == before) return db;
      db.close();
    } catch (const Xapian::DatabaseError &e) {
      if (!exists(name)) throw Error(missing, LUMIDEX_ERROR_INDEX_NOT_FOUND);
      /* The old copy's files went away while they were being opened. */
      if (sys::dir_identity(path, &after) && after != before) continue;
      throw Error(msg::index_unusable(name, "opened for writing", e.get_msg()));
    }
  }
}

std::string Catalog::primary_key_of(const Xapian::Database &db) {
  std::string pk = db.get_metadata(kMetaPrimaryKey);
  return pk.empty() ? "id" : pk;
}

void Catalog::touch(Xapian::WritableDatabase &db) {
  db.set_metadata(kMetaUpdatedAt, now_rfc3339());
}

IndexInfo Catalog::info_of(const std::string &name,
                           const Xapian::Database &db) const {
  IndexInfo info;
  info.name = name;
  info.primary_key = primary_key_of(db);
  info.created_at = db.get_metadata(kMetaCreatedAt);
  info.updated_at = db.get_metadata(kMetaUpdatedAt);
  if (info.created_at.empty()) info.created_at = mtime_rfc3339(path_of(name));
  if (info.updated_at.empty()) info.updated_at = info.created_at;
  info.document_count = db.get_doccount();
  return info;
}

bool Catalog::info(const std::string &name, IndexInfo *out) {
  Xapian::Database *db = reader(name);
  if (!db) return false;
  *out = fresh_read(*db, [&] { return info_of(name, *db); });
  return true;
}

std::vector<std::string> Catalog::names() const {
  std::vector<std::string> names;
  if (int err = sys::list_dir(dir_, &names))
    throw Error(msg::storage_dir(
        dir_, "cannot be listed: " + sys::error_text(err) + "."));
  names.erase(
      std::remove_if(names.begin(), names.end(),
                     [](const std::string &n) { return !valid_identifier(n); }),
      names.end());
  std::sort(names.begin(), names.end());
  return names;
}

void Catalog::check_readable(const std::string &name) const {
  /* Every index is a directory; a plain file that happens to bear a valid
   * name is the operator's, not an index that failed. */
  if (!sys::is_directory(path_of(name))) return;
  try {
    /* A database of its own, not the cached reader: the check is about the
     * files as they are now, and must not keep every index open. */
    Xapian::Database db = open_database(path_of(name));
    (void)fresh_read(db, [&] { return info_of(name, db); });
  } catch (const Xapian::Error &e) {
    if (!exists(name)) return; /* deleted meanwhile: nothing to read */
    throw Error(msg::index_unusable(name, "read", e.get_msg()));
  }
}

std::vector<IndexInfo> Catalog::list() {
  std::vector<std::string> names = this->names();
  std::vector<IndexInfo> out;
  out.reserve(names.size());
  for (const std::string &name : names) {
    try {
      sys::DirIdentity id;
      Xapian::Database *cached = sys::dir_identity(path_of(name), &id)
                                     ? current_reader(name, id)
                                     : nullptr;
      if (cached != nullptr) {
        Xapian::Database &db = *cached;
        db.reopen();
        out.push_back(fresh_read(db, [&] { return info_of(name, db); }));
      } else {
        /* Not cached: listing should not keep every index open. */
        Xapian::Database db = open_database(path_of(name));
        out.push_back(fresh_read(db, [&] { return info_of(name, db); }));
      }
    } catch (const Xapian::DatabaseError &) {
      /* A stray directory or file that is no index, or a damaged one: not
       * listed, so one bad entry does not hide every other index. */
    }
  }
  return out;
}

/* ---- Installing a database built elsewhere ---------------------------- */

std::string Catalog::work_area(const std::string &name) {
  require_valid_name(name);
  sweep_work_areas();
  return dir_ + "/" + work_name(kTmpPrefix, name);
}

void Catalog::discard(const std::string &work) { sys::remove_tree(work); }

/* Exchanges work with the existing index name in one step and removes the
 * old one (then at work). Returns 0, or the errno of sys::exchange: EINVAL
 * or ENOSYS where the host cannot, everything left in place. */
int Catalog::exchange_now(const std::string &work, const std::string &name) {
  readers_.erase(name);
  int err = sys::exchange(work, path_of(name));
  if (err == 0) sys::remove_tree(work); /* now the old index */
  return err;
}

/* Exchanges work with the existing index name, then removes the old one.
 * RENAME_EXCHANGE swaps both entries in one step; where the file system
 * lacks it the old index is moved aside first, leaving an instant without
 * the index. Returns 0 or the errno of the failure. */
int Catalog::exchange(const std::string &work, const std::string &name) {
  int err = exchange_now(work, name);
  if (err != EINVAL && err != ENOSYS) return err;
  std::string target = path_of(name);
  std::string trash = dir_ + "/" + work_name(kTrashPrefix, name);
  err = sys::rename_fresh(target, trash);
  if (err != 0 && err != ENOENT) return err;
  err = sys::rename_noreplace(work, target);
  sys::remove_tree(trash);
  return err;
}

bool Catalog::swap_in(const std::string &work, const std::string &name) {
  int err = exchange_now(work, name);
  if (err == 0) {
    sys::flush_dir(dir_);
    return true;
  }
  sys::remove_tree(work);
  if (err == EINVAL || err == ENOSYS) return false;
  throw Error(msg::index_unusable(name, "compacted", sys::error_text(err)));
}

bool Catalog::install(const std::string &work, const std::string &name,
                      bool replace) {
  require_valid_name(name);
  int err = sys::rename_noreplace(work, path_of(name));
  if ((err == EEXIST || err == ENOTEMPTY) && replace)
    err = exchange(work, name);
  if (err != 0) {
    sys::remove_tree(work);
    if (err == EEXIST || err == ENOTEMPTY) return false;
    throw Error(
        msg::index_unusable(name, "put in place", sys::error_text(err)));
  }
  sys::flush_dir(dir_);
  return true;
}

}  // namespace lmx
