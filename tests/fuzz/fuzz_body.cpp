/*
 * fuzz_body.cpp: the request body reader on arbitrary bytes, through both
 * the body file (POST_BODY_FILE) and standard input (CONTENT_LENGTH). Each
 * path must return exactly the bytes given, NUL-terminated, with their
 * length; an empty body on standard input is no body at all.
 */
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nl_cgi.h"

static void require(bool cond, const char *msg) {
  if (!cond) {
    fprintf(stderr, "check failed: %s\n", msg);
    abort();
  }
}

static std::string g_path;

/* Leaves no body file behind after a run that ends normally. */
static void remove_body_file() { unlink(g_path.c_str()); }

static std::string temp_path() {
  if (g_path.empty()) {
    char tmpl[] = "/tmp/lmxfuzz-body-XXXXXX";
    int fd = mkstemp(tmpl);
    require(fd >= 0, "cannot create a temporary file");
    close(fd);
    g_path = tmpl;
    atexit(remove_body_file);
  }
  return g_path;
}

static void check_buffer(const char *buf, uint64_t len, const uint8_t *data,
                         size_t size) {
  require(buf != nullptr, "body missing");
  require(len == size, "length differs from the body");
  require(memcmp(buf, data, size) == 0, "bytes differ from the body");
  require(buf[len] == '\0', "buffer not terminated");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string path = temp_path();
  FILE *f = fopen(path.c_str(), "wb");
  require(f != nullptr, "cannot write the body file");
  fwrite(data, 1, size, f);
  fclose(f);

  setenv("POST_BODY_FILE", path.c_str(), 1);
  unsetenv("CONTENT_LENGTH");
  uint64_t len = 99;
  char *buf = cgi_read_post(&len);
  check_buffer(buf, len, data, size);
  free(buf);

  unsetenv("POST_BODY_FILE");
  setenv("CONTENT_LENGTH", std::to_string(size).c_str(), 1);
  require(freopen(path.c_str(), "rb", stdin) != nullptr, "cannot reopen stdin");
  len = 99;
  buf = cgi_read_post(&len);
  if (size == 0) {
    require(buf == nullptr && len == 0, "empty stdin body was not null");
  } else {
    check_buffer(buf, len, data, size);
  }
  free(buf);
  return 0;
}
