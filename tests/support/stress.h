/*
 * stress.h: how many rounds the stress tests run.
 *
 * Under AddressSanitizer and UBSan every process the tests start runs
 * several times slower. There the tests that repeat one kind of round many
 * times (concurrent writers committing batch after batch, kills at many
 * points of an import) run a quarter of their rounds: the sanitizers look
 * for memory and undefined-behaviour faults, which every round exercises,
 * and the normal build runs the full count for the races and kill points.
 */
#ifndef LMXTEST_STRESS_H
#define LMXTEST_STRESS_H

namespace lmxtest {

#ifdef LMX_SANITIZED
inline constexpr int kStressDivisor = 4;
#else
inline constexpr int kStressDivisor = 1;
#endif

/* rounds for the normal build, a quarter of them (at least 1) under the
 * sanitizers. */
constexpr int stress_rounds(int rounds) {
  return rounds / kStressDivisor > 0 ? rounds / kStressDivisor : 1;
}

}  // namespace lmxtest

#endif
