#!/usr/bin/env bash
# Configures (once) and builds incrementally into build/, or with --sanitize
# into build-sanitize/ with the sanitizers on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build"
extra=()
if [[ "${1:-}" == "--sanitize" ]]; then
    dir="$root/build-sanitize"
    extra=(-DDAVAZ_SANITIZE=ON)
fi
if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
