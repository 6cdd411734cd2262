/*
 * progress.h: the progress line of `lumidex import` and `lumidex export`.
 *
 * While a terminal watches standard error, one line is redrawn in place (at
 * most five times a second, so drawing never costs import time): documents
 * done, documents per second and, when the amount of work is known (bytes of
 * regular input files, documents of an index), the percentage and the time
 * left. When standard error is not a terminal nothing is drawn; the command
 * prints its one summary line itself.
 */
#ifndef LMX_TOOL_PROGRESS_H
#define LMX_TOOL_PROGRESS_H

#include <cstdint>

namespace lmxtool {

/* Seconds on a monotonic clock. */
double monotonic_seconds();

class Progress {
 public:
  /* verb: "importing" or "exporting" (a static text). total: units of work
   * in all (bytes or documents); 0 when unknown. enabled: draw at all
   * (false under -q or when standard error is not a terminal). */
  Progress(const char *verb, uint64_t total, bool enabled);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  /* Reports docs documents and done units of work so far; redraws when the
   * last drawing is old enough. */
  void update(uint64_t docs, uint64_t done);

  /* Erases the line (before a summary or an error message is printed). */
  void finish();

  /* Seconds since construction. */
  double elapsed() const;

 private:
  void draw(uint64_t docs, uint64_t done, double now);

  const char *verb_;
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  double start_;
  double last_draw_ = 0;
};

}  // namespace lmxtool

#endif /* LMX_TOOL_PROGRESS_H */
