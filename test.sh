#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# DAVAZ_SANITIZE=1 runs the suite a second time, built with AddressSanitizer
# and UndefinedBehaviorSanitizer (in build-sanitize/).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 900)

if [[ "${DAVAZ_SANITIZE:-0}" == "1" ]]; then
    echo "test.sh: running the suite again under the sanitizers"
    scripts/build.sh --sanitize
    # Every process writes its reports to a file, so a child's report is not lost in a passing test's output.
    reports="$(pwd)/build-sanitize/sanitizer-reports"
    rm -rf "$reports" && mkdir -p "$reports"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    export LSAN_OPTIONS="suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0"
    (cd build-sanitize && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 1800)
    if [[ -n "$(ls -A "$reports")" ]]; then
        cat "$reports"/*
        echo "test.sh: sanitizer reports in $reports" >&2
        exit 1
    fi
fi
