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
 * uses. lmx_prefault_heap readies the heap of a process that serves one
 * request (below); it does nothing where the C library cannot be told how
 * to grow its heap.
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
#define LMX_REQUEST_HEAP_BYTES ((size_t)0)
static inline void lmx_prefault_heap(size_t bytes) { (void)bytes; }
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

/* A process that serves one request touches nearly all of its heap for the
 * first time during that request, and each first touch of a page is a fault:
 * on a virtual machine some ten microseconds each, where having the kernel
 * map the same pages in one call costs about one. A search's heap is a few
 * hundred pages (block buffers, posting list cursors, the answer).
 *
 * lmx_prefault_heap grows the heap by about bytes at once, has the kernel
 * map those pages in one call, and keeps freed memory in the process instead
 * of returning it, so the mapped pages serve the whole request. Call it first
 * thing in main, and only in a process that ends with its request: a
 * long-lived one would keep what its largest request needed. Where the call
 * is missing (a kernel before 5.14, a C library other than glibc) the pages
 * fault one by one as before; nothing else changes. */
/* What the one-request programs pass: as much as a search with a page of
 * hits touches (on the demo index, page faults of "sqlite", "web server",
 * "library", "pyth" and a typo are as few with this as with 512 KiB), and
 * no more: a page mapped and left unused costs about as much as the fault
 * it would have saved, and a search that finds nothing uses about 40. */
#define LMX_REQUEST_HEAP_BYTES ((size_t)384 * 1024)
#if defined(__GLIBC__) && defined(__linux__)
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
static inline void lmx_prefault_heap(size_t bytes) {
  uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  uintptr_t from, to;
  size_t room;
  void *volatile grown; /* volatile: a malloc freed unused may be elided */

  if (bytes == 0 || bytes > (size_t)INT32_MAX / 4) return;
  /* Blocks up to bytes come from the heap (not from mappings of their
   * own, fresh pages again), the heap grows by bytes beyond each need, and
   * what is freed stays. */
  mallopt(M_MMAP_THRESHOLD, (int)bytes);
  mallopt(M_TOP_PAD, (int)bytes);
  mallopt(M_TRIM_THRESHOLD, (int)(bytes * 4));
  /* A block one page larger than the room left at the heap's top makes it
   * grow; then the room and the growth are mapped in one call. */
  room = mallinfo2().keepcost;
  from = ((uintptr_t)sbrk(0) - room) & ~(page - 1);
  grown = malloc(room + page);
  free(grown);
  to = (uintptr_t)sbrk(0) & ~(page - 1);
  if (to > from) madvise((void *)from, to - from, MADV_POPULATE_WRITE);
}
#else
static inline void lmx_prefault_heap(size_t bytes) { (void)bytes; }
#endif
#endif

#endif /* LMX_PLATFORM_H */
