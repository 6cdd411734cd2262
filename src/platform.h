/*
 * platform.h: the few host runtime calls the program needs and POSIX lacks.
 *
 * The program is written for a host whose C runtime translates line ends on
 * text streams unless a stream is put into binary mode, and which creates one
 * directory level with _mkdir(path). On POSIX streams never translate, so the
 * binary-mode switch is a no-op, and _mkdir becomes mkdir(path, 0777) (the
 * process umask applies). LMX_PATH_SEP is the separator the storage-directory
 * code writes; LMX_PATH_SEP_ALT is the other byte it also reads as a separator
 * ('/' on both hosts, so on POSIX a backslash stays an ordinary file-name
 * byte).
 * LMX_TMP_ROOT is the host's fixed directory for temporary files, in its own
 * path form (what the storage directory is built from is lmx_lifetime.cpp's).
 * On Windows it also supplies POSIX getline, which the tool's line reader
 * uses.
 * Nothing else in the sources may use #ifdef for the platform.
 */
#ifndef LMX_PLATFORM_H
#define LMX_PLATFORM_H

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#define LMX_PATH_SEP '\\'
#define LMX_PATH_SEP_STR "\\"
#define LMX_PATH_SEP_ALT '/'
#define LMX_TMP_ROOT "C:\\tmp"
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
/* POSIX getline, which the Windows C runtime lacks: reads one line with its
 * '\n' (embedded NUL bytes included) into *line, grown with realloc;
 * returns its length, or -1 at end of file or on an error. */
static inline ssize_t getline(char **line, size_t *cap, FILE *stream) {
  if (!line || !cap || !stream) {
    errno = EINVAL;
    return -1;
  }
  size_t len = 0;
  int c;
  while ((c = getc(stream)) != EOF) {
    if (len + 2 > *cap || !*line) {
      size_t want = *cap < 128 ? 128 : *cap * 2;
      char *grown = (char *)realloc(*line, want);
      if (!grown) return -1;
      *line = grown;
      *cap = want;
    }
    (*line)[len++] = (char)c;
    if (c == '\n') break;
  }
  if (len == 0) return -1;
  (*line)[len] = '\0';
  return (ssize_t)len;
}
#else
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif
static inline int _fileno(FILE *stream) { return fileno(stream); }
static inline int _setmode(int fd, int mode) { (void)fd; return mode; }
static inline int _mkdir(const char *path) { return mkdir(path, 0777); }
#define LMX_PATH_SEP '/'
#define LMX_PATH_SEP_STR "/"
#define LMX_PATH_SEP_ALT '/'
#define LMX_TMP_ROOT "/tmp"
#endif

#endif /* LMX_PLATFORM_H */
