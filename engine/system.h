/*
 * system.h: the engine's few calls into the operating system, one place for
 * both hosts (POSIX and Windows).
 *
 * Paths are UTF-8 text in and out. On Windows they go through the
 * wide-character API, so names outside the ANSI code page work too; on
 * POSIX they are passed on as they are. Failures come back as errno values
 * (EEXIST, ENOTEMPTY, ENOENT, EACCES, ...), Windows error codes mapped onto
 * the nearest one, so the catalog decides what a failure means in one way
 * for both hosts. None of these functions throws.
 *
 * The catalog's texts (messages) are not here: this file answers what
 * happened, catalog.cpp says it.
 */
#ifndef LMX_ENGINE_SYSTEM_H
#define LMX_ENGINE_SYSTEM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace lmx::sys {

/* Moves the directory from to the name to unless to already exists, in one
 * step that a crash cannot leave half done. Returns 0, EEXIST or ENOTEMPTY
 * when to exists (whichever the host reports), or another errno value. */
int rename_noreplace(const std::string &from, const std::string &to);

/* Moves from to the fresh name to (no entry of that name may exist: the
 * caller picks a name of its own). Returns 0, ENOENT when from is gone, or
 * another errno value. */
int rename_fresh(const std::string &from, const std::string &to);

/* Exchanges the entries a and b (both must exist) in one step. Returns 0,
 * EINVAL or ENOSYS where the host or its file system cannot (the caller then
 * moves one aside first), or another errno value. */
int exchange(const std::string &a, const std::string &b);

/* Makes the directory entries of dir (creations, renames) durable. POSIX
 * needs an fsync of the directory itself; on Windows the renames above are
 * already written through, so this does nothing there. Failures are
 * ignored: the data is committed either way, only its entry may need the
 * file system's own replay after a crash. */
void flush_dir(const std::string &dir);

/* Removes path and everything below it; a missing path is no error. */
void remove_tree(const std::string &path);

/* True when an entry (of any kind, a link not followed) named path exists. */
bool exists(const std::string &path);

/* True when path names a directory itself (a link to one is not followed
 * and does not count). */
bool is_directory(const std::string &path);

/* Which directory an entry is: equal identities mean the same directory,
 * so a name whose identity changed was replaced (moved away, another one
 * moved in). On POSIX the device and inode numbers of lstat; on Windows the
 * volume serial number and the file index of GetFileInformationByHandle
 * (the entry itself, a link not followed). */
struct DirIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const DirIdentity &o) const {
    return volume == o.volume && file == o.file;
  }
  bool operator!=(const DirIdentity &o) const { return !(*this == o); }
};

/* The identity of the entry path into *out (not NULL); false when it cannot
 * be looked at (missing, no access), *out then unchanged. */
bool dir_identity(const std::string &path, DirIdentity *out);

/* Creates the file path, which must not exist yet (EEXIST then), owned by
 * this user alone where the host has modes (0600), writes text to it and
 * makes it durable before returning. Returns 0 or the errno value of the
 * failure (the file may then be left behind, partly written). */
int write_new_file(const std::string &path, const std::string &text);

/* The whole content of the file path into *out (not NULL; replaced).
 * Returns 0, EFBIG when the file holds more than limit bytes (*out then
 * holds a prefix), or the errno value of the failure. */
int read_file(const std::string &path, std::size_t limit, std::string *out);

/* Sets the environment variable name (not NULL) to value, or removes it
 * when value is NULL, for this process and the libraries it loaded (on
 * Windows an empty value also removes it). */
void set_environment(const char *name, const char *value);

/* The last modification time of path into *out; false when path cannot be
 * looked at (*out is then unchanged). out must not be NULL. */
bool mtime(const std::string &path, std::time_t *out);

/* The names of the entries of dir (without "." and ".."), unsorted, into
 * *names (cleared first). Returns 0, or the errno value of the failure.
 * names must not be NULL. */
int list_dir(const std::string &dir, std::vector<std::string> *names);

/* This process's id. */
unsigned long process_id();

/* True only when no process with id pid exists now (a process that exists
 * but cannot be signalled or opened is not gone). */
bool process_gone(unsigned long pid);

/* t as UTC calendar time into *out (thread-safe). out must not be NULL. */
void utc_time(std::time_t t, std::tm *out);

/* The absolute form of path (not NULL): symbolic links and "." and ".."
 * resolved on POSIX, the full path on Windows. When that fails (for
 * instance path does not exist) path is returned as given. */
std::string absolute_path(const char *path);

/* The host's text for an errno value. */
std::string error_text(int err);

/* What check_storage() found about a storage directory. */
enum class Storage {
  kUsable,        /* a directory this process may use */
  kMissing,       /* no such entry */
  kUnreachable,   /* cannot be looked at; *err holds the reason */
  kNotDirectory,  /* exists but is not a directory */
  kWorldWritable, /* every user may create entries in it */
  kOtherOwner,    /* owned by neither this user nor the administrator */
  kUnreadable     /* cannot be listed; *err holds the reason */
};

/* Checks that dir (not NULL, not empty) is a directory this process can use
 * safely: present, a directory, not writable by every user, owned by this
 * user or the administrator (root; on Windows the Administrators group or
 * the system account), and readable. *err (not NULL) is set to an errno
 * value for kUnreachable and kUnreadable, to 0 otherwise. On Windows
 * "writable by every user" means an allowing entry of the directory's
 * access list that grants creating files or subdirectories to Everyone,
 * Users or Authenticated Users. */
Storage check_storage(const char *dir, int *err);

}  // namespace lmx::sys

#endif  // LMX_ENGINE_SYSTEM_H
