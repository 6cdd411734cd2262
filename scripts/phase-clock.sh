# Sourced by scripts/test, scripts/build-windows and scripts/test-windows:
# times each phase of a run, wall clock and CPU (user + sys of every process
# the phase ran), and prints one line per phase when it ends, so a slow run
# (CI has 20 minutes) shows where its time went. CPU time is the figure to
# compare across runs: on a loaded machine only the wall time grows.
#
#   phase NAME COMMAND...   runs COMMAND in this shell, then prints
#                           "time: NAME  W s wall  C s CPU" on the stderr
#                           the script started with (a redirection of the
#                           phase sends COMMAND's output only); returns
#                           COMMAND's status
#
# COMMAND runs as a plain command, not inside `||`, so a function keeps
# `set -e`: under it a failing COMMAND ends the script as it would without
# phase (and its time is not printed).
# The CPU time comes from the shell's `times` (children that have ended and
# been waited for), so COMMAND must not leave processes running.

exec {_phase_err}>&2

# _phase_now FILE: "WALL CPU" now, wall in seconds since the epoch, CPU the
# user + sys seconds of this shell's ended children. `times` runs in this
# shell (a command substitution would fork and see no children).
_phase_now() {
  times >"$1"
  awk -v w="$(date +%s.%N)" 'NR==2 {
         s = 0
         for (i = 1; i <= 2; i++) {
           split($i, a, "m"); sub("s", "", a[2]); s += a[1] * 60 + a[2]
         }
         printf "%s %.2f", w, s
       }' "$1"
}

phase() {
  local name="$1"; shift
  local f t0 t1 rc
  f=$(mktemp)
  _phase_now "$f" >"$f.0"
  "$@"
  rc=$?
  _phase_now "$f" >"$f.1"
  t0=$(cat "$f.0"); t1=$(cat "$f.1")
  rm -f "$f" "$f.0" "$f.1"
  awk -v n="$name" -v a="$t0" -v b="$t1" 'BEGIN {
        split(a, x, " "); split(b, y, " ")
        printf "time: %-26s %7.1f s wall %7.1f s CPU\n", n, y[1] - x[1], y[2] - x[2]
      }' >&"$_phase_err"
  return $rc
}
