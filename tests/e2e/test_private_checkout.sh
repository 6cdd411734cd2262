#!/usr/bin/env bash
# test_private_checkout.sh: the suite's runs as an unprivileged user must not
# depend on where the checkout lives. A clone under a directory that other
# users cannot enter (root's home is 0700 on Debian, mktemp -d makes 0700
# directories) is imitated: the build's api_router and engine library are
# copied into a fresh mktemp -d directory, the hostile-input test is pointed
# at that copy through LMX_TEST_BUILD_DIR, and its read-only storage case,
# which runs the program as the user nobody, must pass.
#
#   test_private_checkout.sh BUILD_DIR HOSTILE_INPUT_TEST_PROGRAM
set -euo pipefail
build=$1
test_program=$2
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 700 "$private"
mkdir -p "$private/build/src"
cp -a "$build/src/api_router" "$private/build/src/"
cp -a "$build/lib" "$private/build/"
LMX_TEST_BUILD_DIR="$private/build" "$test_program" \
  --gtest_filter='HostileInput.ReadOnlyStorageServesReadsAndRefusesWrites'
