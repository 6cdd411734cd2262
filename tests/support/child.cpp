/*
 * child.cpp: fork/exec harness for tests (see child.h). Output and input are
 * moved with one poll loop so a child that writes a lot while the parent is
 * still feeding its standard input cannot deadlock either side.
 */
#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

extern char **environ;

namespace lmxtest {
namespace {

/* The sanitizers' options (the sanitizer suite sets them, with its leak
 * suppressions) reach every program a test starts, whatever environment the
 * test gives it: a program must be checked as the test itself is. */
const char *const kSanitizerOptions[] = {"ASAN_OPTIONS", "LSAN_OPTIONS",
                                         "UBSAN_OPTIONS"};

void set_child_env(const ChildSpec &job) {
  if (!job.inherit_env) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (const char *name : kSanitizerOptions)
      if (const char *value = getenv(name)) kept.emplace_back(name, value);
    clearenv();
    for (const auto &kv : kept) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  }
  for (const auto &kv : job.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
}

/* Prepares the descriptor that becomes the child's standard input. */
int open_stdin(const ChildSpec &job, int *pipe_write) {
  *pipe_write = -1;
  switch (job.stdin_kind) {
    case StdinKind::Null:
      return open("/dev/null", O_RDONLY);
    case StdinKind::Path:
      return open(job.stdin_path.c_str(), O_RDONLY);
    case StdinKind::File: {
      char name[] = "/tmp/lmxtest-stdin-XXXXXX";
      int fd = mkstemp(name);
      if (fd < 0) return -1;
      unlink(name);
      size_t off = 0;
      while (off < job.stdin_bytes.size()) {
        ssize_t n = write(fd, job.stdin_bytes.data() + off,
                          job.stdin_bytes.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      lseek(fd, 0, SEEK_SET);
      return fd;
    }
    case StdinKind::Pipe: {
      int p[2];
      if (pipe(p) != 0) return -1;
      *pipe_write = p[1];
      return p[0];
    }
  }
  return -1;
}

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

ChildResult run(const std::function<void()> &in_child, const ChildSpec &job) {
  ChildResult res;
  int out_p[2], err_p[2];
  if (pipe(out_p) != 0 || pipe(err_p) != 0) return res;
  int in_w = -1;
  int in_r = open_stdin(job, &in_w);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_r, 0);
    dup2(out_p[1], 1);
    dup2(err_p[1], 2);
    close(in_r);
    if (in_w >= 0) close(in_w);
    close(out_p[0]); close(out_p[1]); close(err_p[0]); close(err_p[1]);
    set_child_env(job);
    in_child();
    fflush(nullptr);
    _exit(0);
  }
  close(in_r);
  close(out_p[1]);
  close(err_p[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t in_off = 0;
  if (in_w >= 0) fcntl(in_w, F_SETFL, O_NONBLOCK);
  if (in_w >= 0 && job.stdin_bytes.empty()) { close(in_w); in_w = -1; }
  double deadline = now_seconds() + job.timeout_seconds;
  int open_outs = 2;
  while (open_outs > 0) {
    struct pollfd fds[3];
    int nfds = 0;
    fds[nfds++] = {out_p[0], POLLIN, 0};
    fds[nfds++] = {err_p[0], POLLIN, 0};
    if (in_w >= 0) fds[nfds++] = {in_w, POLLOUT, 0};
    double left = deadline - now_seconds();
    if (left <= 0) {
      kill(pid, SIGKILL);
      res.timed_out = true;
      break;
    }
    int r = poll(fds, nfds, static_cast<int>(left * 1000) + 1);
    if (r < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        if (i == 0) out_p[0] = -1; else err_p[0] = -1;
        open_outs--;
      }
    }
    if (out_p[0] < 0 && err_p[0] < 0) break;
    if (in_w >= 0 && nfds == 3 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_w, job.stdin_bytes.data() + in_off,
                        job.stdin_bytes.size() - in_off);
      if (n > 0) in_off += static_cast<size_t>(n);
      if (n < 0 || in_off >= job.stdin_bytes.size()) { close(in_w); in_w = -1; }
    }
  }
  if (out_p[0] >= 0) close(out_p[0]);
  if (err_p[0] >= 0) close(err_p[0]);
  if (in_w >= 0) close(in_w);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) res.term_signal = WTERMSIG(status);
  return res;
}

/* Runs the program at path with args in place of this (child) process;
 * exits 127 when it cannot be run. */
[[noreturn]] void exec_program(const std::string &path,
                               const std::vector<std::string> &args) {
  std::vector<char *> argv{const_cast<char *>(path.c_str())};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(path.c_str(), argv.data());
  _exit(127);
}

}  // namespace

ChildResult run_child(const std::function<void()> &fn, const ChildSpec &job) {
  return run(fn, job);
}

ChildResult run_program(const std::string &path,
                        const std::vector<std::string> &args,
                        const ChildSpec &job) {
  return run([&]() { exec_program(path, args); }, job);
}

PipedProgram start_piped(const std::string &path,
                         const std::vector<std::string> &args,
                         const ChildSpec &job) {
  PipedProgram p;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return p;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return p;
  }
  fflush(nullptr);
  p.pid = fork();
  if (p.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    set_child_env(job);
    exec_program(path, args);
  }
  close(in[0]);
  close(out[1]);
  if (p.pid < 0) {
    close(in[1]);
    close(out[0]);
    return p;
  }
  p.feed = in[1];
  p.out = fdopen(out[0], "r");
  return p;
}

std::string next_line(PipedProgram &p) {
  char line[8192];
  if (!p.out || !fgets(line, sizeof line, p.out)) return "";
  return line;
}

int finish(PipedProgram &p) {
  int status = 0;
  bool ended = p.pid > 0 && waitpid(p.pid, &status, 0) == p.pid;
  if (p.feed >= 0) close(p.feed);
  if (p.out) fclose(p.out);
  p = PipedProgram();
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/lmxtest-XXXXXX";
  const char *p = mkdtemp(tmpl);
  path_ = p ? p : "";
  /* Storage directories must not be world-writable; mkdtemp gives 0700. */
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::sub(const std::string &name) const {
  return path_ + "/" + name;
}

std::string build_dir(const char *compiled) {
  const char *env = getenv("LMX_TEST_BUILD_DIR");
  return env && *env ? env : compiled;
}

std::string copy_program_for_others(const std::string &path,
                                    const std::string &dir) {
  namespace fs = std::filesystem;
  const fs::perms open_dir = fs::perms::owner_all | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec;
  fs::path program(path);
  fs::path lib = program.parent_path().parent_path() / "lib";
  fs::path bin_copy = fs::path(dir) / "bin";
  fs::path lib_copy = fs::path(dir) / "lib";
  std::error_code ec;
  fs::create_directories(bin_copy, ec);
  fs::create_directories(lib_copy, ec);
  fs::copy(lib, lib_copy,
           fs::copy_options::recursive | fs::copy_options::copy_symlinks |
               fs::copy_options::overwrite_existing,
           ec);
  if (ec) return "";
  fs::path copy = bin_copy / program.filename();
  if (!fs::copy_file(program, copy, fs::copy_options::overwrite_existing, ec))
    return "";
  std::vector<fs::path> to_open = {fs::path(dir), bin_copy, lib_copy, copy};
  for (const auto &entry : fs::directory_iterator(lib_copy, ec))
    if (!entry.is_symlink()) to_open.push_back(entry.path());
  for (const fs::path &p : to_open) {
    fs::permissions(p, open_dir, ec);
    if (ec) return "";
  }
  return copy.string();
}

std::string xapian_check_path() {
  for (const char *p : {"/usr/bin/xapian-check", "/usr/local/bin/xapian-check"})
    if (access(p, X_OK) == 0) return p;
  return "xapian-check";
}

/* Runs a CGI program with the request in its environment (here rather
 * than in files.cpp: it needs the process runner, which the Windows test
 * support does not have). */
ChildResult run_cgi(const std::string &path, const CgiRequest &req,
                    const std::string &storage) {
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", req.method},
             {"PATH_INFO", req.path},
             {"QUERY_STRING", req.query},
             {"LUMIDEX_STORAGE_DIR", storage}};
  if (!req.body.empty()) {
    job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
    job.stdin_kind = StdinKind::File;
    job.stdin_bytes = req.body;
  }
  for (const auto &kv : req.env) job.env[kv.first] = kv.second;
  return run_program(path, {}, job);
}

}  // namespace lmxtest
