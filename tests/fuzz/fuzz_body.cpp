/*
 * fuzz_body.cpp: the request body reader on arbitrary bytes, through a
 * seekable body file (POST_BODY_FILE), an unseekable one (a FIFO, fed by a
 * thread) and standard input (CONTENT_LENGTH). Each path must return
 * exactly the bytes given, NUL-terminated, with their length; an empty body
 * on standard input is no body at all.
 *
 * The FIFO is taken for inputs whose first byte is below 32 (one input in
 * eight: the other paths need the pace), with the input repeated that byte
 * plus one times, so bodies of up to 32 times the fuzzer's input length
 * reach the reader's buffer growth, which starts at 64 KiB.
 */
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

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

static std::string g_fifo;

/* Leaves no FIFO behind after a run that ends normally. */
static void remove_fifo() { unlink(g_fifo.c_str()); }

static const std::string &fifo_path() {
  if (g_fifo.empty()) {
    g_fifo = temp_path() + ".fifo";
    unlink(g_fifo.c_str());
    require(mkfifo(g_fifo.c_str(), 0600) == 0, "cannot create a FIFO");
    atexit(remove_fifo);
  }
  return g_fifo;
}

/* The body through the FIFO: a thread writes it while the reader streams
 * it (opening a FIFO blocks until both ends are open). */
static void check_fifo(const std::string &body) {
  const std::string &fifo = fifo_path();
  std::thread writer([&] {
    FILE *w = fopen(fifo.c_str(), "wb");
    if (!w) return;
    fwrite(body.data(), 1, body.size(), w);
    fclose(w);
  });
  setenv("POST_BODY_FILE", fifo.c_str(), 1);
  unsetenv("CONTENT_LENGTH");
  uint64_t len = 99;
  char *buf = cgi_read_post(&len);
  writer.join();
  check_buffer(buf, len, reinterpret_cast<const uint8_t *>(body.data()),
               body.size());
  free(buf);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  signal(SIGPIPE, SIG_IGN);
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

  if (size == 0 || data[0] >= 32) return 0;
  std::string repeated;
  int times = data[0] + 1;
  for (int i = 0; i < times; i++)
    repeated.append(reinterpret_cast<const char *>(data), size);
  check_fifo(repeated);
  return 0;
}
