/*
 * backup.h: consistent copies of live indexes, and putting them back.
 *
 * A backup directory holds one entry per index, laid out like a storage
 * directory: DEST/NAME is a Xapian database (a compacted copy of one
 * committed revision of the index, metadata included: primary key, times)
 * plus the manifest DEST/NAME/lumidex-backup.json, which says which revision
 * the copy holds:
 *
 *   {"index":"notes","revision":57,"document_count":1200,
 *    "primary_key":"id","created_at":"...","updated_at":"...",
 *    "backed_up_at":"2026-12-09T18:40:02Z"}
 *
 * Every function may throw lmx::Error or a Xapian::Error; the C face catches
 * both.
 */
#ifndef LMX_ENGINE_BACKUP_H
#define LMX_ENGINE_BACKUP_H

#include <string>

#include "catalog.h"

namespace lmx {

/* Copies index name of storage into dest_dir/NAME while other processes
 * keep writing, and returns the manifest text. dest_dir must pass
 * check_storage_dir (it exists, is not writable by every user and belongs
 * to this user or root) and must not hold an entry NAME yet. The copy is
 * built under a work name in dest_dir and renamed into place complete, so a
 * failed or interrupted backup leaves no entry NAME behind. */
std::string backup_index(Catalog &storage, const std::string &name,
                         const std::string &dest_dir);

/* Restores the backup dest_dir/NAME as index name of storage and returns
 * its manifest text. The backup is copied with Xapian's compaction into a
 * work area of the storage directory and moved into place only when its
 * document count matches the manifest. replace false: refuses ("Index `NAME`
 * already exists.") when the index exists; true: exchanges the existing
 * index for the restored one atomically. */
std::string restore_index(Catalog &storage, const std::string &dest_dir,
                          const std::string &name, bool replace);

/* The manifests of every backup in dest_dir as a JSON array, ordered by
 * index name. Entries without a readable manifest are left out. Throws
 * lmx::Error when dest_dir cannot be listed. */
std::string list_backups(const std::string &dest_dir);

}  // namespace lmx

#endif
