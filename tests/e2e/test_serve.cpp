/*
 * test_serve.cpp: scripts/serve as a user starts it, on a tiny corpus.
 *
 * The script is run with --no-build on this build tree's programs and
 * --corpus on a three-document file, with its own storage directory and a
 * free loopback port; it is stopped once the line it prints when it serves
 * has been read (never after a sleep), with SIGTERM to its process group.
 * What must hold: an existing index is found every time and never imported
 * again; a second start on the same storage serves the same documents
 * without importing; a port already in use is refused before "Serving on"
 * is printed; an index directory the engine cannot open, which the script
 * did not create, is never deleted, while a failed import removes the
 * index that the same run created; and the script says where the lumidex
 * tool is.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "lighttpd.h"

namespace {

using lmxtest::TempDir;

const std::string kServe = std::string(LMX_SOURCE_DIR) + "/scripts/serve";
const std::string kBuild = LMX_BUILD_DIR;
const std::string kTool = kBuild + "/tools/lumidex";

const char kCorpus[] =
    "{\"id\":\"lighttpd\",\"description\":\"fast light web server\"}\n"
    "{\"id\":\"curl\",\"description\":\"command line tool for web "
    "transfers\"}\n"
    "{\"id\":\"xapian-tools\",\"description\":\"search engine tools\"}\n";
const char kImportLine[] = "importing";
const char kServingLine[] = "Serving on";

/* scripts/serve running in a process group of its own, its standard output
 * and error merged into one pipe that the test reads. */
class ServeRun {
 public:
  ServeRun(const std::vector<std::string> &args, const std::string &storage) {
    int fds[2];
    if (pipe(fds) != 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      int in = open("/dev/null", O_RDONLY);
      dup2(in, 0);
      setenv("LUMIDEX_STORAGE_DIR", storage.c_str(), 1);
      unsetenv("LUMIDEX_WRITE_KEY");
      unsetenv("LUMIDEX_READ_KEY");
      std::vector<char *> argv{const_cast<char *>("bash"),
                               const_cast<char *>(kServe.c_str())};
      for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execvp("bash", argv.data());
      _exit(127);
    }
    /* Also here, so the group exists before any kill of it. */
    if (pid_ > 0) setpgid(pid_, pid_);
    close(fds[1]);
    out_ = fds[0];
  }
  ~ServeRun() {
    stop();
    if (out_ >= 0) close(out_);
  }
  ServeRun(const ServeRun &) = delete;
  ServeRun &operator=(const ServeRun &) = delete;

  /* Reads until the output holds text (true) or ends (false). */
  bool wait_for(const std::string &text) {
    while (output_.find(text) == std::string::npos) {
      if (!read_some()) return false;
    }
    return true;
  }

  /* Reads the output to its end and reaps the script: its exit status, or
   * 128 + the signal that ended it. */
  int finish() {
    while (read_some()) {
    }
    return reap();
  }

  /* Ends the script and whatever it started (lighttpd) with SIGTERM. */
  int stop() {
    if (pid_ > 0 && status_ < 0) kill(-pid_, SIGTERM);
    return finish();
  }

  const std::string &output() const { return output_; }

 private:
  bool read_some() {
    if (out_ < 0) return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n > 0) {
      output_.append(buf, static_cast<size_t>(n));
      return true;
    }
    close(out_);
    out_ = -1;
    return false;
  }

  int reap() {
    if (pid_ <= 0 || status_ >= 0) return status_;
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string output_;
};

std::vector<std::string> serve_args(const std::string &corpus,
                                    std::vector<std::string> more) {
  std::vector<std::string> args = {"--no-build", "--build-dir", kBuild,
                                   "--corpus", corpus};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

/* Starts scripts/serve on a free loopback port and reads its output until
 * it serves (*port is then its port) or has ended. Another process may take
 * the port between the pick and the bind: that start is refused and a new
 * port is tried. */
std::unique_ptr<ServeRun> start_serving(const std::string &corpus,
                                        const std::string &storage, int *port) {
  std::unique_ptr<ServeRun> run;
  for (int attempt = 0; attempt < 5; attempt++) {
    *port = lmxtest::free_loopback_port();
    run = std::make_unique<ServeRun>(
        serve_args(corpus, {"--port", std::to_string(*port)}), storage);
    if (run->wait_for(kServingLine)) break;
    if (run->output().find("is already in use") == std::string::npos) break;
  }
  return run;
}

/* numberOfDocuments of packages through a server on port, or -1. */
long long served_count(int port) {
  lmxtest::HttpResponse r =
      lmxtest::http_request(port, "GET", "/indexes/packages/stats");
  size_t at = r.body.find("\"numberOfDocuments\":");
  if (r.status != 200 || at == std::string::npos) return -1;
  return atoll(r.body.c_str() + at + strlen("\"numberOfDocuments\":"));
}

/* The storage directory's entries as the tool lists them. */
std::string tool_indexes(const std::string &storage) {
  lmxtest::ChildSpec job;
  lmxtest::ChildResult r = lmxtest::run_program(
      kTool, {"--storage-dir", storage, "indexes"}, job);
  return r.out + r.err;
}

struct Scene {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  std::string corpus = tmp.sub("corpus.ndjson");
  Scene() {
    mkdir(storage.c_str(), 0700);
    lmxtest::write_file(corpus, kCorpus);
  }
};

TEST(Serve, AnExistingIndexIsFoundEveryTimeAndNeverImportedAgain) {
  Scene s;
  ServeRun first(serve_args(s.corpus, {"--load-only"}), s.storage);
  ASSERT_EQ(first.finish(), 0) << first.output();
  ASSERT_NE(first.output().find(kImportLine), std::string::npos)
      << first.output();
  /* The check used to read one line of the program's answer and drop the
   * rest, which failed at random; a failed check imported the corpus
   * again. */
  int imported = 0;
  for (int i = 0; i < 40; i++) {
    ServeRun again(serve_args(s.corpus, {"--load-only"}), s.storage);
    EXPECT_EQ(again.finish(), 0) << again.output();
    if (again.output().find(kImportLine) != std::string::npos) imported++;
  }
  EXPECT_EQ(imported, 0) << "of 40 starts on an existing index";
}

TEST(Serve, ASecondStartOnOneStorageServesWithoutImporting) {
  Scene s;
  for (int start = 0; start < 2; start++) {
    SCOPED_TRACE("start " + std::to_string(start + 1));
    int port = 0;
    std::unique_ptr<ServeRun> serving =
        start_serving(s.corpus, s.storage, &port);
    ServeRun &run = *serving;
    ASSERT_TRUE(run.wait_for(kServingLine)) << run.output();
    EXPECT_EQ(run.output().find(kImportLine) == std::string::npos, start == 1)
        << run.output();
    EXPECT_EQ(served_count(port), 3);
    lmxtest::HttpResponse hit = lmxtest::http_request(
        port, "GET", "/indexes/packages/search?q=web+server");
    EXPECT_NE(hit.body.find("\"id\":\"lighttpd\""), std::string::npos)
        << hit.body;
    /* It names the tool it built, which works on the same storage. */
    EXPECT_NE(run.output().find(kTool), std::string::npos) << run.output();
    run.stop();
  }
}

TEST(Serve, APortInUseIsRefusedBeforeServingIsAnnounced) {
  Scene s;
  /* Taken by a plain listener, and by a first scripts/serve. */
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 4), 0);
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  int held = ntohs(addr.sin_port);

  int port = 0;
  std::unique_ptr<ServeRun> serving = start_serving(s.corpus, s.storage, &port);
  ServeRun &first = *serving;
  ASSERT_TRUE(first.wait_for(kServingLine)) << first.output();

  for (int taken : {held, port}) {
    SCOPED_TRACE("port " + std::to_string(taken));
    ServeRun second(serve_args(s.corpus, {"--port", std::to_string(taken)}),
                    s.storage);
    EXPECT_NE(second.finish(), 0) << second.output();
    EXPECT_EQ(second.output().find(kServingLine), std::string::npos)
        << second.output();
    EXPECT_NE(second.output().find("port " + std::to_string(taken) +
                                   " is already in use"),
              std::string::npos)
        << second.output();
    EXPECT_NE(second.output().find("--port"), std::string::npos)
        << "the message says what to do: " << second.output();
  }
  /* The first server was not disturbed. */
  EXPECT_EQ(served_count(port), 3);
  first.stop();
  close(holder);
}

TEST(Serve, OnlyAnIndexThisRunCreatedIsRemovedAfterAFailedImport) {
  /* A "packages" directory the engine cannot open is not this run's: it is
   * left byte for byte, and nothing is imported into it. */
  Scene s;
  std::string damaged = s.storage + "/packages";
  ASSERT_EQ(mkdir(damaged.c_str(), 0700), 0);
  std::string noise(4096, '\0');
  for (size_t i = 0; i < noise.size(); i++)
    noise[i] = static_cast<char>((i * 7919 + 13) & 0xFF);
  for (const char *f : {"iamglass", "postlist.glass", "docdata.glass"})
    ASSERT_TRUE(lmxtest::write_file(damaged + "/" + f, noise));
  ServeRun run(serve_args(s.corpus, {"--load-only"}), s.storage);
  EXPECT_NE(run.finish(), 0) << run.output();
  EXPECT_NE(run.output().find(s.storage), std::string::npos)
      << "the message names where it is: " << run.output();
  for (const char *f : {"iamglass", "postlist.glass", "docdata.glass"})
    EXPECT_EQ(lmxtest::read_file(damaged + "/" + f).value_or("gone"), noise)
        << f;

  /* An import that fails removes the index the same run created, so the
   * next start imports again. */
  Scene fresh;
  std::string bad = fresh.tmp.sub("bad.ndjson");
  ASSERT_TRUE(lmxtest::write_file(
      bad, std::string(kCorpus) + "{\"id\":\"broken\",\"description\":\n"));
  ServeRun failing(serve_args(bad, {"--load-only"}), fresh.storage);
  EXPECT_NE(failing.finish(), 0) << failing.output();
  EXPECT_EQ(tool_indexes(fresh.storage).find("packages"), std::string::npos)
      << tool_indexes(fresh.storage);
  ServeRun retry(serve_args(fresh.corpus, {"--load-only"}), fresh.storage);
  EXPECT_EQ(retry.finish(), 0) << retry.output();
  EXPECT_NE(retry.output().find(kImportLine), std::string::npos)
      << retry.output();
  EXPECT_NE(tool_indexes(fresh.storage).find("packages"), std::string::npos);
}

}  // namespace
