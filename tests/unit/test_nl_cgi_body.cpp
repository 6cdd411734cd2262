/*
 * test_nl_cgi_body.cpp: the request body reader on its three paths: a
 * seekable body file, an unseekable one (a FIFO fed by a writer thread), and
 * standard input with CONTENT_LENGTH; and dropping a body left unread.
 *
 * Every read runs in a forked child with its own environment and standard
 * input. The child reports the result, the out-length, whether a NUL follows
 * the bytes, the allocation's usable size (how the buffer was sized) and
 * whatever standard input still holds afterwards (whether it was read).
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "nl_cgi.h"

namespace {

struct BodyResult {
  bool is_null = true;
  uint64_t len = 0;
  std::string bytes;
  bool terminated = false;
  size_t usable = 0;
  std::string rest; /* standard input left after the read */
  int exit_code = -1;
  int term_signal = 0;
};

/* Bytes of every value, NUL included, in a fixed pattern. */
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + 7) % 256);
  return s;
}

/* Child side: read the body, then report it on standard output. */
void report_body(bool null_out_len) {
  uint64_t len = 12345; /* must be overwritten */
  char *body = cgi_read_post(null_out_len ? nullptr : &len);
  if (null_out_len) len = body != nullptr ? strlen(body) : 0;
  if (body == nullptr) {
    printf("null %llu\n", static_cast<unsigned long long>(len));
  } else {
    printf("body %llu %zu %d\n", static_cast<unsigned long long>(len),
           malloc_usable_size(body), body[len] == '\0' ? 1 : 0);
    fwrite(body, 1, len, stdout);
    free(body);
  }
  std::string rest;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) rest.append(buf, n);
  printf("\nrest %zu\n", rest.size());
  fwrite(rest.data(), 1, rest.size(), stdout);
}

BodyResult parse_report(const lmxtest::ChildResult &child) {
  BodyResult r;
  r.exit_code = child.exit_code;
  r.term_signal = child.term_signal;
  const std::string &out = child.out;
  size_t eol = out.find('\n');
  if (eol == std::string::npos) return r;
  std::string head = out.substr(0, eol);
  unsigned long long len = 0;
  size_t usable = 0;
  int terminated = 0;
  size_t pos = eol + 1;
  if (sscanf(head.c_str(), "body %llu %zu %d", &len, &usable, &terminated) ==
      3) {
    r.is_null = false;
    r.len = len;
    r.usable = usable;
    r.terminated = terminated == 1;
    r.bytes = out.substr(pos, len);
    pos += len;
  } else if (sscanf(head.c_str(), "null %llu", &len) == 1) {
    r.len = len;
  } else {
    return r;
  }
  size_t rest_len = 0;
  if (sscanf(out.c_str() + pos, "\nrest %zu\n", &rest_len) == 1) {
    size_t at = out.find('\n', pos + 1);
    if (at != std::string::npos) r.rest = out.substr(at + 1, rest_len);
  }
  return r;
}

BodyResult read_in_child(const lmxtest::ChildSpec &job,
                         bool null_out_len = false) {
  return parse_report(
      lmxtest::run_child([null_out_len] { report_body(null_out_len); }, job));
}

lmxtest::ChildSpec stdin_spec(const char *content_length,
                              const std::string &input) {
  lmxtest::ChildSpec job;
  if (content_length != nullptr) job.env["CONTENT_LENGTH"] = content_length;
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  job.stdin_bytes = input;
  return job;
}

TEST(NlCgiBody, NoVariablesMeansNoBody) {
  lmxtest::ChildSpec job;
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  job.stdin_bytes = "ignored";
  BodyResult r = read_in_child(job);
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.is_null);
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(r.rest, "ignored");
}

TEST(NlCgiBody, StandardInputTakesContentLengthAsStrtolParsesIt) {
  struct Row {
    const char *content_length;
    std::string input;
    bool is_null;
    std::string body;
  };
  const std::string twenty = "0123456789ABCDEFGHIJ";
  const std::vector<Row> rows = {
      {"12abc", twenty, false, "0123456789AB"},
      {"12abc", "hello", false, "hello"},
      {"20", twenty, false, twenty},
      {" \t7", twenty, false, "0123456"},
      {"+4", twenty, false, "0123"},
      {"4.9", twenty, false, "0123"},
      {"007", twenty, false, "0123456"},
      {"3", std::string("a\0b\0", 4), false, std::string("a\0b", 3)},
      {"0", twenty, true, ""},
      {"-3", twenty, true, ""},
      {"", twenty, true, ""},
      {"abc", twenty, true, ""},
      {"0x10", twenty, true, ""},
      {"-99999999999", twenty, true, ""},
      {"5", "", false, ""}, /* input ends at once: an empty buffer */
  };
  for (const auto &row : rows) {
    BodyResult r = read_in_child(stdin_spec(row.content_length, row.input));
    SCOPED_TRACE(std::string("CONTENT_LENGTH=") + row.content_length);
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.is_null, row.is_null);
    EXPECT_EQ(r.bytes, row.body);
    EXPECT_EQ(r.len, row.body.size());
    if (!r.is_null) {
      EXPECT_TRUE(r.terminated);
      EXPECT_EQ(r.rest, row.input.substr(r.bytes.size()));
    }
  }
}

TEST(NlCgiBody, HugeContentLengthNeverGivesATooSmallBuffer) {
  /* Beyond the 32-bit range the length counts as 2147483647; the buffer for
   * it and its NUL must really hold 2147483648 bytes. Only when the child
   * cannot get that much memory at all may the reader give null. */
  for (const char *length : {"99999999999", "2147483648", "2147483647"}) {
    auto child = lmxtest::run_child(
        [] {
          void *probe = malloc(static_cast<size_t>(2147483648u));
          fputs(probe != nullptr ? "memory" : "no memory", stderr);
          free(probe);
          report_body(false);
        },
        stdin_spec(length, "abcde"));
    BodyResult r = parse_report(child);
    SCOPED_TRACE(length);
    ASSERT_EQ(r.exit_code, 0);
    if (child.err == "no memory") {
      EXPECT_TRUE(r.is_null);
      EXPECT_EQ(r.len, 0u);
      continue;
    }
    ASSERT_EQ(child.err, "memory");
    ASSERT_FALSE(r.is_null);
    EXPECT_EQ(r.bytes, "abcde");
    EXPECT_EQ(r.len, 5u);
    EXPECT_TRUE(r.terminated);
    EXPECT_GE(r.usable, static_cast<size_t>(2147483648u));
  }
}

TEST(NlCgiBody, BodyFileWinsOverStandardInputWhenItOpens) {
  lmxtest::TempDir dir;
  const std::string empty = dir.sub("empty");
  const std::string with_nul = dir.sub("nul");
  ASSERT_TRUE(lmxtest::write_file(empty, ""));
  ASSERT_TRUE(lmxtest::write_file(with_nul, std::string("hello\0world", 11)));
  struct Row {
    std::string post_body_file;
    bool is_null;
    std::string body;
    std::string rest;
  };
  const std::vector<Row> rows = {
      {empty, false, "", "abcd"},
      {with_nul, false, std::string("hello\0world", 11), "abcd"},
      {dir.sub("missing"), false, "abcd", ""}, /* falls back to stdin */
      {"", false, "abcd", ""},
  };
  for (const auto &row : rows) {
    lmxtest::ChildSpec job = stdin_spec("4", "abcd");
    job.env["POST_BODY_FILE"] = row.post_body_file;
    BodyResult r = read_in_child(job);
    SCOPED_TRACE("POST_BODY_FILE=" + row.post_body_file);
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.is_null, row.is_null);
    EXPECT_EQ(r.bytes, row.body);
    EXPECT_EQ(r.len, row.body.size());
    EXPECT_TRUE(r.terminated);
    EXPECT_EQ(r.rest, row.rest);
  }
}

TEST(NlCgiBody, SeekableFileGetsAnAllocationOfItsOwnSize) {
  lmxtest::TempDir dir;
  for (size_t size :
       {size_t{1}, size_t{8192}, size_t{100000}, size_t{300000}}) {
    const std::string body = pattern(size);
    const std::string path = dir.sub("body");
    ASSERT_TRUE(lmxtest::write_file(path, body));
    lmxtest::ChildSpec job;
    job.env["POST_BODY_FILE"] = path;
    BodyResult r = read_in_child(job);
    SCOPED_TRACE(size);
    ASSERT_EQ(r.exit_code, 0);
    ASSERT_FALSE(r.is_null);
    EXPECT_EQ(r.len, size);
    EXPECT_TRUE(r.bytes == body);
    EXPECT_TRUE(r.terminated);
    /* Streaming would have given at least 65536 and a power of two; an
     * exact allocation stays within one page of the size. */
    EXPECT_GE(r.usable, size + 1);
    EXPECT_LT(r.usable, size + 1 + 4096 + 64);
  }
}

/* Runs the reader on a FIFO that a writer thread of this process feeds with
 * body and then closes. */
BodyResult read_fifo(const std::string &body, bool null_out_len = false) {
  lmxtest::TempDir dir;
  const std::string path = dir.sub("fifo");
  if (mkfifo(path.c_str(), 0600) != 0) return BodyResult{};
  std::thread writer([&path, &body] {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    size_t off = 0;
    while (off < body.size()) {
      ssize_t n = write(fd, body.data() + off, body.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fd);
  });
  lmxtest::ChildSpec job;
  job.env["POST_BODY_FILE"] = path;
  job.env["CONTENT_LENGTH"] = "4";
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  job.stdin_bytes = "abcd";
  BodyResult r = read_in_child(job, null_out_len);
  /* If the child never opened the FIFO, open its read end so the writer's
   * blocking open returns and the thread can be joined. */
  int unblock = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  if (unblock >= 0) close(unblock);
  return r;
}

TEST(NlCgiBody, UnseekableFileGrowsByDoublingWhenAFullReadNoLongerFits) {
  struct Row {
    size_t size;
    size_t capacity;
  };
  /* The buffer doubles before a read when fewer than 8193 bytes are free:
   * after seven full reads (57344 bytes) the first 65536 no longer do. */
  const std::vector<Row> rows = {
      {0, 65536},      {100, 65536},     {8191, 65536},
      {8192, 65536},   {8193, 65536},    {57343, 65536},
      {57344, 131072}, {100000, 131072}, {300000, 524288},
  };
  for (const auto &row : rows) {
    const std::string body = pattern(row.size);
    BodyResult r = read_fifo(body);
    SCOPED_TRACE(row.size);
    ASSERT_EQ(r.exit_code, 0);
    ASSERT_FALSE(r.is_null);
    EXPECT_EQ(r.len, row.size);
    EXPECT_TRUE(r.bytes == body);
    EXPECT_TRUE(r.terminated);
    EXPECT_GE(r.usable, row.capacity);
    EXPECT_LT(r.usable, 2 * row.capacity);
    EXPECT_EQ(r.rest, "abcd"); /* standard input untouched */
  }
}

TEST(NlCgiBody, NullOutLengthIsAcceptedOnEveryPath) {
  lmxtest::TempDir dir;
  const std::string file = dir.sub("body");
  ASSERT_TRUE(lmxtest::write_file(file, "from file"));

  lmxtest::ChildSpec file_spec;
  file_spec.env["POST_BODY_FILE"] = file;
  BodyResult from_file = read_in_child(file_spec, true);
  EXPECT_EQ(from_file.exit_code, 0);
  EXPECT_EQ(from_file.bytes, "from file");

  BodyResult from_fifo = read_fifo("from fifo", true);
  EXPECT_EQ(from_fifo.exit_code, 0);
  EXPECT_EQ(from_fifo.bytes, "from fifo");

  BodyResult from_stdin = read_in_child(stdin_spec("10", "from stdin"), true);
  EXPECT_EQ(from_stdin.exit_code, 0);
  EXPECT_EQ(from_stdin.bytes, "from stdin");

  BodyResult none = read_in_child(stdin_spec("0", "x"), true);
  EXPECT_EQ(none.exit_code, 0);
  EXPECT_TRUE(none.is_null);
}

/* Child side: optionally read the body, then drop the rest, then report
 * how many bytes standard input still held. */
void report_rest_after_discard(bool read_first) {
  if (read_first) free(cgi_read_post(nullptr));
  cgi_discard_post();
  std::string rest;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) rest.append(buf, n);
  printf("rest %zu", rest.size());
}

TEST(NlCgiBody, DiscardTakesInOnlyWhatNobodyReadUpToContentLength) {
  struct Row {
    const char *what;
    const char *content_length; /* nullptr: unset */
    bool body_file;
    bool read_first;
    size_t input;
    const char *rest;
  } rows[] = {
      {"no body declared", nullptr, false, false, 25, "rest 25"},
      {"zero", "0", false, false, 25, "rest 25"},
      {"not a number", "abc", false, false, 25, "rest 25"},
      {"negative", "-5", false, false, 25, "rest 25"},
      {"the declared body only", "10", false, false, 25, "rest 15"},
      {"a whole large body", "300000", false, false, 300000, "rest 0"},
      {"a short input ends at its end", "100", false, false, 25, "rest 0"},
      {"a body file means stdin is not the body", "10", true, false, 25,
       "rest 25"},
      /* The reader's buffered read holds what followed the body; discard
       * must not take any of it. */
      {"after the reader took the body", "10", false, true, 25, "rest 15"},
  };
  lmxtest::TempDir dir;
  std::string body_path = dir.sub("body");
  ASSERT_TRUE(lmxtest::write_file(body_path, "in a file"));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    lmxtest::ChildSpec job = stdin_spec(row.content_length, pattern(row.input));
    if (row.body_file) job.env["POST_BODY_FILE"] = body_path;
    lmxtest::ChildResult r = lmxtest::run_child(
        [&] { report_rest_after_discard(row.read_first); }, job);
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, row.rest);
  }
}

TEST(NlCgiBody, ResetLetsDiscardTakeInTheNextRequestsBody) {
  /* Two requests in one process, as an entry serving many runs them: the
   * first body is read from standard input; then standard input is the
   * next request's stream, whose body is left unread and must be dropped. */
  static char next_input[] = "defghij";
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "with reset" : "without reset");
    lmxtest::ChildResult r = lmxtest::run_child(
        [reset] {
          free(cgi_read_post(nullptr));
          stdin = fmemopen(next_input, sizeof next_input - 1, "r");
          if (reset) cgi_reset_request();
          setenv("CONTENT_LENGTH", "4", 1);
          report_rest_after_discard(false);
        },
        stdin_spec("3", "abc"));
    ASSERT_EQ(r.exit_code, 0);
    /* 7 bytes: 4 dropped only once the reader forgot it had taken the
     * first request's body. */
    EXPECT_EQ(r.out, reset ? "rest 3" : "rest 7");
  }
}

}  // namespace
