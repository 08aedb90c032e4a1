#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build,
# once more with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"

quorvex_install_packages "${QUORVEX_PACKAGES[@]}" "${QUORVEX_TEST_PACKAGES[@]}"

export QT_QPA_PLATFORM=offscreen
# One test at a time: the serial tests open pseudo-terminals, whose numbers the
# system hands out again at once, and QSerialPort locks a device by that number;
# two test programs at once can meet each other's lock.

echo "== build and test"
quorvex_build "$QUORVEX_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$QUORVEX_ROOT/build" && ctest --output-on-failure)

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
# The benchmarks measure the plain build; under the sanitizers they would measure nothing.
quorvex_build "$QUORVEX_ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=ON -DQUORVEX_BENCHMARKS=OFF
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:exitcode=86"
export LSAN_OPTIONS="suppressions=$QUORVEX_ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
(cd "$QUORVEX_ROOT/build-sanitize" && ctest --output-on-failure)
