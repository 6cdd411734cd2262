/*
 * progress.cpp: the redrawn progress line (see progress.h). The line starts
 * with a carriage return and ends with the terminal's erase-to-end-of-line
 * sequence, so a shorter line never leaves the tail of a longer one.
 */
#include "progress.h"

#include <cstdio>
#include <ctime>

namespace lmxtool {

namespace {
constexpr double kRedrawSeconds = 0.2;
}

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Progress::Progress(const char *verb, uint64_t total, bool enabled)
    : verb_(verb),
      total_(total),
      enabled_(enabled),
      start_(monotonic_seconds()) {}

Progress::~Progress() { finish(); }

double Progress::elapsed() const { return monotonic_seconds() - start_; }

void Progress::update(uint64_t docs, uint64_t done) {
  if (!enabled_) return;
  double now = monotonic_seconds();
  if (drawn_ && now - last_draw_ < kRedrawSeconds) return;
  draw(docs, done, now);
}

void Progress::draw(uint64_t docs, uint64_t done, double now) {
  double secs = now - start_;
  double rate = secs > 0 ? static_cast<double>(docs) / secs : 0;
  char tail[96] = "";
  if (total_ > 0 && done > 0) {
    double frac = static_cast<double>(done) / static_cast<double>(total_);
    if (frac > 1) frac = 1;
    long left = static_cast<long>(secs / frac - secs + 0.5);
    snprintf(tail, sizeof tail, ", %.0f%%, %ld:%02ld left", frac * 100,
             left / 60, left % 60);
  }
  fprintf(stderr, "\r%s: %llu document%s, %.0f docs/s%s\033[K", verb_,
          static_cast<unsigned long long>(docs), docs == 1 ? "" : "s", rate,
          tail);
  fflush(stderr);
  drawn_ = true;
  last_draw_ = now;
}

void Progress::finish() {
  if (!drawn_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  drawn_ = false;
}

}  // namespace lmxtool
