/*
 * child.h: runs a piece of code, or a program, in a forked child with a
 * chosen environment and standard input, and captures its standard output,
 * standard error and exit status.
 *
 * Tests use it to check exact response bytes, responses of code that ends the
 * process (exit), and module statics from a clean start: every child begins
 * with the statics as they were at fork time, and the parent's are never
 * touched.
 */
#ifndef LMX_TEST_CHILD_H
#define LMX_TEST_CHILD_H

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lmxtest {

/* How the child's standard input is fed. */
enum class StdinKind {
  Null,  /* /dev/null */
  File,  /* the bytes, from a seekable temporary regular file */
  Pipe,  /* the bytes, through a pipe (unseekable), then end of input */
  Path   /* the file at `path`, opened read-only */
};

struct ChildSpec {
  /* The child's whole environment: nothing else is inherited, except that
   * inherit_env = true starts from the parent's environment first. */
  std::map<std::string, std::string> env;
  bool inherit_env = false;
  StdinKind stdin_kind = StdinKind::Null;
  std::string stdin_bytes; /* for File and Pipe */
  std::string stdin_path;  /* for Path */
  int timeout_seconds = 60; /* the child is killed after this long */
};

struct ChildResult {
  std::string out;      /* standard output bytes */
  std::string err;      /* standard error bytes */
  int exit_code = -1;   /* exit status when exited normally, else -1 */
  int term_signal = 0;  /* signal that ended the child, else 0 */
  bool timed_out = false;
};

/* Runs fn in a forked child; the child exits with status 0 after fn returns
 * (after flushing stdio), or with whatever status fn's own exit() gives. */
ChildResult run_child(const std::function<void()> &fn, const ChildSpec &job);

/* Runs the program at path with argv (argv[0] is path when args is empty
 * of it) in a child with job's environment and input. */
ChildResult run_program(const std::string &path,
                        const std::vector<std::string> &args,
                        const ChildSpec &job);

/* A program left running with a pipe to its standard input and one from
 * its standard output: a test reads the lines it prints as they come (an
 * event to act on, such as "working 500 1500"), then writes to it, kills
 * it or waits for it. */
struct PipedProgram {
  int pid = -1;        /* -1 when it could not be started */
  int feed = -1;       /* the write end of its standard input */
  FILE *out = nullptr; /* the read end of its standard output */
};

/* Starts the program at path with args in job's environment (job's
 * standard input and timeout are not used: the test feeds it and decides
 * when it ends). Its standard error is the test's. */
PipedProgram start_piped(const std::string &path,
                         const std::vector<std::string> &args,
                         const ChildSpec &job);

/* The next line p printed, with its line feed; "" at the end of its
 * output. Lines are read whole up to 8 KiB. */
std::string next_line(PipedProgram &p);

/* Waits for p to end and closes both pipes; its exit status, or -1 when a
 * signal ended it. */
int finish(PipedProgram &p);

/* A fresh temporary directory (removed with its content by the destructor). */
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  /* path() + "/" + name */
  std::string sub(const std::string &name) const;

 private:
  std::string path_;
};

/* Writes bytes to path (creating or truncating it); true on success. */
bool write_file(const std::string &path, const std::string &bytes);
/* The whole file, or nullopt when it cannot be read. */
std::optional<std::string> read_file(const std::string &path);

/* The names in directory dir (without "." and ".."), sorted; empty when
 * it cannot be read. */
std::vector<std::string> entries_of(const std::string &dir);

/* The build tree whose programs a test runs: the environment's
 * LMX_TEST_BUILD_DIR when it is set and not empty (a copy of the programs
 * placed elsewhere, e.g. under a directory other users cannot enter), else
 * compiled (the test program's LMX_BUILD_DIR). */
std::string build_dir(const char *compiled);

/* Copies the program at path, and the engine library of its build tree (the
 * lib/ directory beside the program's parent, where its run path
 * $ORIGIN/../lib looks), into dir as dir/bin/NAME and dir/lib/, and opens
 * dir, the copies and their folders to every user (read and enter), so an
 * unprivileged user can run the program wherever the build tree lives (a
 * checkout under a 0700 home or mktemp -d directory cannot be entered by
 * another user). dir must exist and its parents must be enterable by that
 * user. Returns the copy's path, or "" when a copy failed. */
std::string copy_program_for_others(const std::string &path,
                                    const std::string &dir);

/* Path of the xapian-check program (from xapian-tools). */
std::string xapian_check_path();

/* Splits a CGI response into its header block (up to and including the empty
 * line's CR LF) and body; returns false when there is no empty line. */
bool split_response(const std::string &raw, std::string *headers,
                    std::string *body);

/* The status code of a "Status: N" header line of raw, or 0 when none. */
int response_status(const std::string &raw);

/* The header block (with its closing empty line) and the body of a CGI
 * response; "" when raw has no empty line. */
std::string response_headers(const std::string &raw);
std::string response_body(const std::string &raw);

/* One CGI request as a host hands it to a program. */
struct CgiRequest {
  std::string method;
  std::string path;                            /* PATH_INFO */
  std::string body = "";                       /* "" sends none */
  std::map<std::string, std::string> env = {}; /* added: keys, HTTP_* */
  std::string query = "";                      /* QUERY_STRING */
};

/* Runs the CGI program at path for req on the storage directory storage
 * (LUMIDEX_STORAGE_DIR): a body comes from a seekable file with its
 * CONTENT_LENGTH, as hosts that spool bodies give it. */
ChildResult run_cgi(const std::string &path, const CgiRequest &req,
                    const std::string &storage);

}  // namespace lmxtest

#endif
