/*
 * catalog.h: the indexes of one storage directory.
 *
 * Layout: each index is a Xapian database in a directory named after the
 * index directly under the storage directory. Index names are checked
 * (1 to 127 bytes of A-Z a-z 0-9 - _), so a name is always a safe single path
 * component. Entries whose names start with '.' are work areas: ".tmp-*"
 * while an index is being created, ".trash-*" while one is being removed;
 * nothing ever lists or opens them.
 *
 * Each database's metadata holds the index's primary key and its creation
 * and last-change times (RFC 3339, UTC, whole seconds).
 *
 * Concurrency: many processes share a storage directory. Every read runs
 * inside fresh_read(), so commits landing while it reads make it start again
 * on the newest revision instead of failing. Creation builds the
 * database under a temporary name and moves it into place with a rename that
 * never replaces an existing entry, so of two concurrent creations exactly
 * one wins and a crash never shows a half-made index. Readers are opened on
 * first use and kept for the life of the catalog (a long-lived process
 * keeps one per index it has read), each with the identity of the
 * directory it was opened on (sys::dir_identity: device and inode, on
 * Windows volume and file index): when another process has
 * deleted the index and made a new one of the same name, the old reader
 * would go on reading the deleted files, so it is dropped and the new
 * index opened. Writers are opened per
 * write with DB_RETRY_LOCK (queueing behind other writers) and closed by the
 * caller right after its commit, so the lock is held briefly. A writer is
 * opened only on an existing index (never DB_CREATE), so a write racing with
 * a deletion cannot bring back a bare database without metadata.
 *
 * Every function may throw lmx::Error (with a finished text) or a
 * Xapian::Error; the C face catches both.
 */
#ifndef LMX_ENGINE_CATALOG_H
#define LMX_ENGINE_CATALOG_H

#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "stats_cache.h"
#include "system.h"

namespace lmx {

/* What the catalog knows of one index. */
struct IndexInfo {
  std::string name;
  std::string primary_key;
  std::string created_at;
  std::string updated_at;
  Xapian::doccount document_count = 0;
};

/* How many times a read is tried in all while other processes' commits
 * keep discarding the revision it reads. After the first few attempts each
 * retry waits a little longer (1 ms more each time, at most 20 ms): under a
 * steady stream of commits an immediate retry can lose the same race again
 * and again, while a short pause lets it land between two commits. The
 * worst case waits about a quarter of a second in all. */
constexpr int kReadAttempts = 25;
constexpr int kReadRetriesWithoutPause = 3;

/* Runs read() on db and returns what it returns. A reader sees one revision;
 * once writers in other processes have committed twice meanwhile, its blocks
 * may be reused, and the read fails with Xapian::DatabaseModifiedError, or
 * (when the reuse is caught mid-block) with Xapian::DatabaseCorruptError.
 * Either way (or, caught later, as Xapian::DocNotFoundError for a docid the
 * revision's own posting lists gave) db.reopen() moves it to the newest
 * revision and read() runs again, kReadAttempts times in all. A database that is really damaged fails
 * every time and the last failure is rethrown; other exceptions pass through
 * at once. read must be safe to run again from the start. */
template <class Read>
auto fresh_read(Xapian::Database &db, Read &&read) -> decltype(read()) {
  for (int attempt = 1;; ++attempt) {
    try {
      /* The reopen is part of the attempt: it reads the newest revision's
       * root blocks, which further commits can discard as well. */
      if (attempt > 1) db.reopen();
      return read();
    } catch (const Xapian::DatabaseModifiedError &) {
      if (attempt >= kReadAttempts) throw;
    } catch (const Xapian::DatabaseCorruptError &) {
      if (attempt >= kReadAttempts) throw;
    } catch (const Xapian::DocNotFoundError &) {
      /* Every docid a read uses comes from the same revision's posting
       * lists, so a document missing under it means blocks of that
       * revision were reused under the read as above, caught one step
       * later (seen under steady concurrent replacements). */
      if (attempt >= kReadAttempts) throw;
    }
    if (attempt > kReadRetriesWithoutPause) {
      int pause_ms = std::min(attempt - kReadRetriesWithoutPause, 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
  }
}

/* True when s is 1 to 127 bytes of A-Z a-z 0-9 - _ (index names, primary
 * keys and document ids share this rule). */
bool valid_identifier(std::string_view s);

/* The current time as RFC 3339 UTC text, e.g. "2026-12-09T10:12:46Z". */
std::string now_rfc3339();

/* Checks that dir can serve as a storage directory: it exists, is a
 * directory, can be read and searched, is not writable by every user and is
 * owned by the process's effective user or root. Returns "" when it can be
 * used, else the reason as a finished error text. A read-only directory
 * passes: searches work and writes fail with their own error. */
std::string check_storage_dir(const char *dir);

class Catalog {
 public:
  /* dir must have passed check_storage_dir. Nothing is opened here. */
  explicit Catalog(std::string dir);
  Catalog(const Catalog &) = delete;
  Catalog &operator=(const Catalog &) = delete;

  /* Throws lmx::Error with "Invalid index name `...`: ..." unless
   * valid_identifier(name). */
  static void require_valid_name(std::string_view name);

  /* Throws lmx::Error with "Invalid primary key `...`: ..." unless
   * valid_identifier(key). */
  static void require_valid_key(std::string_view key);

  /* True when an entry (of any kind) named name exists in the storage
   * directory. name must be valid. */
  bool exists(const std::string &name) const;

  /* Creates an empty index. Throws lmx::Error for an invalid name or primary
   * key, or "Index `NAME` already exists." when any entry of that name
   * exists (also when another process wins a concurrent creation). */
  void create(const std::string &name, const std::string &primary_key);

  /* As create, but returns false instead of throwing when an entry of that
   * name already exists (another writer may have just made it). */
  bool try_create(const std::string &name, const std::string &primary_key);

  /* Moves the index out of sight, then removes its files. Throws lmx::Error
   * "Index `NAME` not found." when there is none. */
  void remove(const std::string &name);

  /* The reader of an index, opened on first use and reopened (a cheap check
   * of the revision on disk) on later calls so it sees commits made since by
   * this or any other process, or opened anew when the index's directory is
   * another one than it was opened on (deleted and made again meanwhile);
   * null when the index does not exist (or the name is invalid). The
   * catalog owns it. */
  Xapian::Database *reader(const std::string &name);

  /* What searches on name's reader (the one reader(name) returned last)
   * keep for the next ones (stats_cache.h); the caller syncs it to the
   * reader's revision. Null when no reader of name is cached. The catalog
   * owns it, and forgets it with the reader. */
  StatsCache *stats(const std::string &name);

  /* A writer on an existing index, waiting for the write lock held by any
   * other process. The lock it returns is the index's as it is once the
   * lock is held: when the index was exchanged for another directory while
   * it waited (compacted, compact.h), it opens the new one. Throws
   * lmx::Error "Index `NAME` not found." when the index does not exist and a
   * clear text when it cannot be opened for writing (a read-only storage
   * directory, say). The caller commits and closes. */
  Xapian::WritableDatabase writer(const std::string &name);

  /* What is known of one index; throws like reader() when it cannot be
   * opened. Returns false when the index does not exist. */
  bool info(const std::string &name, IndexInfo *out);

  /* Every valid index, ordered by name. Directories that are not openable
   * indexes are left out. */
  std::vector<IndexInfo> list();

  /* The names of every entry of the storage directory that is named like
   * an index (valid_identifier), ordered by name, whether or not it opens.
   * Throws lmx::Error when the directory cannot be listed. */
  std::vector<std::string> names() const;

  /* Opens the index name and reads what list() reports of it. Throws
   * lmx::Error "Index `NAME` cannot be read: ..." when that fails (a damaged
   * index, or a directory that holds no index); returns quietly when the
   * entry is gone or is not a directory. */
  void check_readable(const std::string &name) const;

  /* What db, the database of index name, records of itself (its primary
   * key, times and document count at the revision db has open). */
  IndexInfo info_of(const std::string &name, const Xapian::Database &db) const;

  /* The primary key recorded in db, "id" when none is recorded. */
  static std::string primary_key_of(const Xapian::Database &db);

  /* Records the time of a change in a writer's metadata (the caller
   * commits). */
  static void touch(Xapian::WritableDatabase &db);

  /* ---- Installing a database built elsewhere (backup.cpp) ------------- */

  /* A fresh work-area path for building index name in the storage
   * directory (".tmp-NAME.PID.SEQ", skipped by listings), after sweeping the
   * work areas of dead processes. Nothing is created there yet. name must be
   * valid. */
  std::string work_area(const std::string &name);

  /* Moves the database built at work (a path from work_area) into place as
   * index name. replace false: never replaces an entry, and returns false
   * when one of that name exists (also one that appeared concurrently).
   * replace true: an existing index is exchanged for the new one in one
   * atomic step, so readers see the old index or the new one and never
   * neither, and the old one's files are removed. work is gone afterwards
   * either way (moved or removed). Throws lmx::Error when the move fails
   * otherwise. */
  bool install(const std::string &work, const std::string &name, bool replace);

  /* Removes a work area and everything in it (after a failed build). */
  static void discard(const std::string &work);

  /* Exchanges the database built at work for the existing index name in
   * one atomic step and removes the old one's files; the caller holds the
   * index's write lock (so no write is in flight) and releases it after.
   * Returns false, the index left as it was, where the host or its file
   * system cannot exchange two entries in one step. work is gone afterwards
   * either way. Throws lmx::Error when the exchange fails otherwise. */
  bool swap_in(const std::string &work, const std::string &name);

 private:
  std::string path_of(const std::string &name) const;
  void sweep_work_areas() const;
  int exchange(const std::string &work, const std::string &name);
  int exchange_now(const std::string &work, const std::string &name);

  /* An open reader, the identity of the directory it was opened on, and
   * what searches on it keep for later ones. */
  struct CachedReader {
    std::unique_ptr<Xapian::Database> db;
    sys::DirIdentity id;
    StatsCache stats;
  };
  /* The cached reader of name when its directory, whose identity is now id,
   * is still the one it was opened on; otherwise forgets it and returns
   * null. */
  Xapian::Database *current_reader(const std::string &name,
                                   const sys::DirIdentity &id);

  std::string dir_;
  std::map<std::string, CachedReader> readers_;
};

}  // namespace lmx

#endif
