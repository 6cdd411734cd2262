/*
 * settings.cpp: `lumidex settings INDEX [--set FILE]`, and the applying of
 * a settings file that `lumidex import --settings` shares.
 *
 * Reading prints the engine's whole settings object (print_json). A change
 * hands the file's text to the engine as it is: the engine checks it and
 * names what it refuses. A change of the searched fields or the language
 * rewrites every document inside the engine call; the engine reports how
 * far it is, which is drawn as the progress line of import and export
 * (progress.h) on a terminal, and the time it took is told on standard
 * error afterwards, like import's summary. `lumidex reindex INDEX` rewrites
 * every document under the settings the index has, with the same line.
 */
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "lumidex_admin.h"
#include "progress.h"
#include "tool.h"

namespace lmxtool {
namespace {

/* What the engine's progress calls draw on. */
struct Rewrite {
  bool enabled = false;
  std::unique_ptr<Progress> line;
  unsigned long long total = 0;
};

/* The engine's progress callback: the first call tells the total. */
void on_progress(unsigned long long done, unsigned long long total,
                 void *user) {
  Rewrite *r = static_cast<Rewrite *>(user);
  if (!r->line) {
    r->line = std::make_unique<Progress>("rewriting", total, r->enabled);
    r->total = total;
  }
  r->line->update(done, done);
}

}  // namespace

bool read_settings_file(const std::string &path, std::string *text) {
  std::ostringstream all;
  if (path == "-") {
    all << std::cin.rdbuf();
    if (std::cin.bad()) {
      fail("cannot read standard input: %s", strerror(errno));
      return false;
    }
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      fail("cannot read `%s`: %s", path.c_str(), strerror(errno));
      return false;
    }
    all << in.rdbuf();
  }
  *text = all.str();
  return true;
}

const char *apply_settings(const GlobalOptions &g, const std::string &index,
                           const std::string &text) {
  if (text.find('\0') != std::string::npos) {
    fail("the settings of `%s` were refused: the file holds a NUL byte",
         index.c_str());
    return nullptr;
  }
  Rewrite rewrite;
  rewrite.enabled = !g.quiet && isatty(STDERR_FILENO) != 0;
  double start = monotonic_seconds();
  const char *after = lumidex_settings_update_json(index.c_str(), text.c_str(),
                                                   on_progress, &rewrite);
  if (rewrite.line) rewrite.line->finish();
  if (!after) {
    fail("the settings of `%s` were refused: %s", index.c_str(),
         engine_error("the engine refused them"));
    return nullptr;
  }
  if (rewrite.line && rewrite.total > 0 && !g.quiet)
    fprintf(stderr,
            "lumidex: rewrote the %llu document%s of `%s` for the new "
            "settings in %.1f s\n",
            rewrite.total, rewrite.total == 1 ? "" : "s", index.c_str(),
            monotonic_seconds() - start);
  return after;
}

int run_reindex(const GlobalOptions &g, const std::string &index) {
  if (!open_engine(g, false)) return kExitFailure;
  Rewrite rewrite;
  rewrite.enabled = !g.quiet && isatty(STDERR_FILENO) != 0;
  double start = monotonic_seconds();
  const char *done =
      lumidex_index_reindex_json(index.c_str(), on_progress, &rewrite);
  if (rewrite.line) rewrite.line->finish();
  int rc = kExitOk;
  if (!done)
    rc = fail("cannot rewrite `%s`: %s", index.c_str(),
              engine_error("the engine refused"));
  else if (!g.quiet)
    fprintf(stderr, "lumidex: rewrote the %llu document%s of `%s` in %.1f s\n",
            rewrite.total, rewrite.total == 1 ? "" : "s", index.c_str(),
            monotonic_seconds() - start);
  close_engine();
  return rc;
}

int run_settings(const GlobalOptions &g, const std::string &index,
                 const std::string &set_file) {
  std::string text;
  if (!set_file.empty() && !read_settings_file(set_file, &text))
    return kExitFailure;
  if (!open_engine(g, false)) return kExitFailure;
  const char *settings = set_file.empty()
                             ? lumidex_settings_get_json(index.c_str())
                             : apply_settings(g, index, text);
  int rc = kExitFailure;
  if (settings)
    rc = print_json(settings);
  else if (set_file.empty())
    rc = fail("cannot read the settings of `%s`: %s", index.c_str(),
              engine_error("the engine refused it"));
  close_engine();
  return rc;
}

}  // namespace lmxtool
