#!/usr/bin/env bash
# Configures (once) and builds incrementally into build/, or with --sanitize
# into build-sanitize/ with the sanitizers on. Targets named after the options
# are built instead of everything.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build"
extra=()
if [[ "${1:-}" == "--sanitize" ]]; then
    dir="$root/build-sanitize"
    extra=(-DDAVAZ_SANITIZE=ON)
    shift
fi
if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
