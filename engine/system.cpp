/*
 * system.cpp: the engine's operating-system calls for POSIX and Windows (see
 * system.h). This file and src/platform.h are the only places that test the
 * host with #ifdef.
 *
 * POSIX facts relied on: rename(2) of a directory is atomic; renameat2 with
 * RENAME_NOREPLACE fails with EEXIST instead of replacing an existing entry
 * (plain rename would silently replace an empty directory); a directory
 * entry is durable only once the directory itself has been fsync'ed.
 *
 * Windows facts relied on: MoveFileExW without MOVEFILE_REPLACE_EXISTING
 * never replaces an existing entry and moves a directory in one step on the
 * same volume; MOVEFILE_WRITE_THROUGH returns only once the move is on disk,
 * so there is no directory to flush afterwards. A directory with a file
 * open inside it cannot be moved (ERROR_ACCESS_DENIED, EACCES here). Paths
 * are converted from UTF-8 to UTF-16 for the wide-character API.
 */
#include "system.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <aclapi.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lmx::sys {

void remove_tree(const std::string &path) {
  std::error_code ec;
  /* u8path: the text is UTF-8 on both hosts (a plain path would read it in
   * the ANSI code page on Windows). */
  std::filesystem::remove_all(std::filesystem::u8path(path), ec);
}

std::string error_text(int err) { return std::strerror(err); }

#ifdef _WIN32

namespace {

std::wstring wide(const std::string &s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                              nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                      out.data(), n);
  return out;
}

std::string narrow(const wchar_t *s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

/* The errno value nearest to a Windows error code. */
int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    default:
      return EIO;
  }
}

int move(const std::string &from, const std::string &to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH))
    return 0;
  return errno_of(GetLastError());
}

/* True when sid is one of the groups that stand for every user. */
bool is_everyone(PSID sid) {
  return IsWellKnownSid(sid, WinWorldSid) ||
         IsWellKnownSid(sid, WinBuiltinUsersSid) ||
         IsWellKnownSid(sid, WinAuthenticatedUserSid);
}

/* True when an allowing entry of acl lets every user add entries. A
 * missing access list (a null DACL) allows everything to everyone. */
bool everyone_may_add(PACL acl) {
  if (!acl) return true;
  const ACCESS_MASK add =
      FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void *raw = nullptr;
    if (!GetAce(acl, i, &raw)) continue;
    auto *header = static_cast<ACE_HEADER *>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    auto *ace = static_cast<ACCESS_ALLOWED_ACE *>(raw);
    if ((ace->Mask & add) && is_everyone(&ace->SidStart)) return true;
  }
  return false;
}

/* True when owner is this process's user, the Administrators group or the
 * system account. */
bool owned_by_us(PSID owner) {
  if (!owner) return false;
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
      IsWellKnownSid(owner, WinLocalSystemSid))
    return true;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool same = false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buf(size ? size : 1);
  if (size && GetTokenInformation(token, TokenUser, buf.data(), size, &size)) {
    auto *user = reinterpret_cast<TOKEN_USER *>(buf.data());
    same = EqualSid(owner, user->User.Sid) != 0;
  }
  CloseHandle(token);
  return same;
}

}  // namespace

int rename_noreplace(const std::string &from, const std::string &to) {
  return move(from, to);
}

std::string absolute_path(const char *path) {
  std::wstring in = wide(path);
  DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring out(n, L'\0');
  DWORD got = GetFullPathNameW(in.c_str(), n, out.data(), nullptr);
  if (got == 0 || got >= n) return path;
  out.resize(got);
  return narrow(out.c_str());
}

int rename_fresh(const std::string &from, const std::string &to) {
  return move(from, to);
}

/* Windows has no exchange of two directory entries in one step. */
int exchange(const std::string &, const std::string &) { return ENOSYS; }

void flush_dir(const std::string &) {}

bool exists(const std::string &path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool mtime(const std::string &path, std::time_t *out) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data))
    return false;
  ULARGE_INTEGER t;
  t.LowPart = data.ftLastWriteTime.dwLowDateTime;
  t.HighPart = data.ftLastWriteTime.dwHighDateTime;
  /* 100 ns ticks since 1601-01-01 to seconds since 1970-01-01. */
  *out = static_cast<std::time_t>((t.QuadPart - 116444736000000000ULL) /
                                  10000000ULL);
  return true;
}

int list_dir(const std::string &dir, std::vector<std::string> *names) {
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(wide(dir + "\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? 0 : errno_of(code);
  }
  do {
    std::string name = narrow(found.cFileName);
    if (name != "." && name != "..") names->push_back(name);
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return 0;
}

bool is_directory(const std::string &path) {
  DWORD attrs = GetFileAttributesW(wide(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES &&
         (attrs & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

/* NTFS gives every entry of a volume its own 64-bit file index. ReFS's
 * identities have 128 bits, and the 64-bit form read here is not promised
 * to be unique there: two directories taken for one would keep a replaced
 * index's reader until the process ends. The handle lets others rename and
 * delete the entry meanwhile. */
bool dir_identity(const std::string &path, DirIdentity *out) {
  HANDLE h = CreateFileW(
      wide(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
              info.nFileIndexLow;
  return true;
}

int write_new_file(const std::string &path, const std::string &text) {
  HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  int err = 0;
  size_t done = 0;
  while (err == 0 && done < text.size()) {
    DWORD chunk = static_cast<DWORD>(
        std::min<size_t>(text.size() - done, size_t{1} << 30));
    DWORD wrote = 0;
    if (!WriteFile(h, text.data() + done, chunk, &wrote, nullptr))
      err = errno_of(GetLastError());
    done += wrote;
  }
  if (err == 0 && !FlushFileBuffers(h)) err = errno_of(GetLastError());
  CloseHandle(h);
  return err;
}

int read_file(const std::string &path, size_t limit, std::string *out) {
  out->clear();
  HANDLE h =
      CreateFileW(wide(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  int err = 0;
  char buf[4096];
  DWORD n = 0;
  while (err == 0) {
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      err = errno_of(GetLastError());
    } else if (n == 0) {
      break;
    } else {
      out->append(buf, n);
      if (out->size() > limit) err = EFBIG;
    }
  }
  CloseHandle(h);
  return err;
}

/* _putenv_s changes the C runtime's copy, which getenv reads, and the
 * process environment; an empty value removes the variable. */
void set_environment(const char *name, const char *value) {
  _putenv_s(name, value ? value : "");
}

unsigned long process_id() { return GetCurrentProcessId(); }

bool process_gone(unsigned long pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                         static_cast<DWORD>(pid));
  if (!h) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool gone = GetExitCodeProcess(h, &code) && code != STILL_ACTIVE;
  CloseHandle(h);
  return gone;
}

void utc_time(std::time_t t, std::tm *out) { gmtime_s(out, &t); }

Storage check_storage(const char *dir, int *err) {
  *err = 0;
  std::wstring path = wide(dir);
  DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    *err = errno_of(GetLastError());
    return *err == ENOENT ? Storage::kMissing : Storage::kUnreachable;
  }
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return Storage::kNotDirectory;

  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD rc = GetNamedSecurityInfoW(
      path.c_str(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
      &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    *err = errno_of(rc);
    return Storage::kUnreachable;
  }
  Storage verdict = Storage::kUsable;
  if (everyone_may_add(dacl))
    verdict = Storage::kWorldWritable;
  else if (!owned_by_us(owner))
    verdict = Storage::kOtherOwner;
  LocalFree(sd);
  if (verdict != Storage::kUsable) return verdict;

  std::vector<std::string> names;
  *err = list_dir(dir, &names);
  return *err ? Storage::kUnreadable : Storage::kUsable;
}

#else  // POSIX

int rename_noreplace(const std::string &from, const std::string &to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  /* A file system without RENAME_NOREPLACE: check, then rename. rename onto
   * a non-empty directory still fails, so only a concurrent creation of an
   * empty directory in the instant between the two steps could be lost. */
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int rename_fresh(const std::string &from, const std::string &to) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int exchange(const std::string &a, const std::string &b) {
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                   RENAME_EXCHANGE) == 0
             ? 0
             : errno;
}

std::string absolute_path(const char *path) {
  char *resolved = realpath(path, nullptr);
  std::string dir = resolved ? resolved : path;
  free(resolved);
  return dir;
}

void flush_dir(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool mtime(const std::string &path, std::time_t *out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *out = st.st_mtime;
  return true;
}

int list_dir(const std::string &dir, std::vector<std::string> *names) {
  names->clear();
  DIR *d = opendir(dir.c_str());
  if (!d) return errno;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(d);
  return 0;
}

bool is_directory(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool dir_identity(const std::string &path, DirIdentity *out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  out->volume = static_cast<std::uint64_t>(st.st_dev);
  out->file = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

int write_new_file(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = 0;
  size_t done = 0;
  while (err == 0 && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      err = errno;
    else
      done += static_cast<size_t>(n);
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  close(fd);
  return err;
}

int read_file(const std::string &path, size_t limit, std::string *out) {
  out->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  char buf[4096];
  while (err == 0) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
    } else if (n == 0) {
      break;
    } else {
      out->append(buf, static_cast<size_t>(n));
      if (out->size() > limit) err = EFBIG;
    }
  }
  close(fd);
  return err;
}

void set_environment(const char *name, const char *value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool process_gone(unsigned long pid) {
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void utc_time(std::time_t t, std::tm *out) { gmtime_r(&t, out); }

Storage check_storage(const char *dir, int *err) {
  *err = 0;
  struct stat st;
  if (stat(dir, &st) != 0) {
    *err = errno;
    return *err == ENOENT ? Storage::kMissing : Storage::kUnreachable;
  }
  if (!S_ISDIR(st.st_mode)) return Storage::kNotDirectory;
  if (st.st_mode & S_IWOTH) return Storage::kWorldWritable;
  if (st.st_uid != geteuid() && st.st_uid != 0) return Storage::kOtherOwner;
  if (access(dir, R_OK | X_OK) != 0) {
    *err = errno;
    return Storage::kUnreadable;
  }
  return Storage::kUsable;
}

#endif

}  // namespace lmx::sys
