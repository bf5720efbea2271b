#!/usr/bin/env bash
# Builds the fuzz targets with clang into build-fuzz/ and runs each for
# SECONDS (default 600) on its seed corpus; findings land in build-fuzz/findings/.
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
shift || true
"$root/scripts/deps.sh" --fuzz
dir="$root/build-fuzz"
if [[ ! -f "$dir/build.ninja" ]]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DDAVAZ_SANITIZE=ON -DDAVAZ_FUZZ=ON >/dev/null
fi
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    mapfile -t targets < <(sed -n 's/^add_fuzz_target(\([a-z_]*\).*/\1/p' "$root/fuzz/CMakeLists.txt")
fi
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
mkdir -p "$dir/findings"
for t in "${targets[@]}"; do
    corpus="$dir/corpus/${t#fuzz_}"
    mkdir -p "$corpus"
    cp -n "$root/fuzz/corpus/${t#fuzz_}"/* "$corpus"/ 2>/dev/null || true
    echo "fuzz: $t for $seconds s"
    "$dir/bin/$t" -max_total_time="$seconds" -artifact_prefix="$dir/findings/$t-" -print_final_stats=1 \
        "$corpus" 2>&1 | tail -n 12
done
