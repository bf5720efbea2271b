#!/usr/bin/env bash
# Runs every benchmark and prints one table of the headline figures: figure,
# value, target, and for ratios against plain ffmpeg the paired runs.
#   bench/run.sh            print the table
#   bench/run.sh --write    also write it to bench/RESULTS.md
# Each benchmark's whole output is kept in build/bench/<name>.log.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null
bin="$root/build/bin"
logs="$root/build/bench"
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen
export HEXLUNE_HOME="$logs/home"
export VIDMEND_BENCH_MEDIA="$logs/vidmend-media"

# name and arguments, sized so that the whole run stays under ten minutes
benches=(
    "bench_namepipe 10000"
    "bench_transcode"
    "bench_filetable 5"
    "bench_ffmpegexe 3"
    "bench_formatc 2 120"
    "bench_formats 5 10"
    "bench_livepush"
    "bench_fanout"
    "bench_capture 120 1"
    "bench_vidmend"
)

start=$(date +%s)
for entry in "${benches[@]}"; do
    read -r name args <<<"$entry"
    t0=$(date +%s)
    echo "bench: $name $args" >&2
    # shellcheck disable=SC2086
    if ! "$bin/$name" $args >"$logs/$name.log" 2>&1; then
        echo "bench: $name failed, see $logs/$name.log" >&2
    fi
    echo "bench: $name took $(($(date +%s) - t0)) s" >&2
done
total=$(($(date +%s) - start))

table() {
    echo "| figure | value | target | detail |"
    echo "|---|---|---|---|"
    for entry in "${benches[@]}"; do
        read -r name _ <<<"$entry"
        sed -n 's/^figure: \(.*\) | \(.*\) | \(.*\) | \(.*\)$/| \1 | \2 | \3 | \4 |/p' "$logs/$name.log"
    done
}

result=$(table)
echo
echo "$result"
echo
echo "All benchmarks: $total s on $(nproc) cores."

if [[ "${1:-}" == "--write" ]]; then
    {
        echo "# Benchmark results"
        echo
        echo "Printed by \`bench/run.sh\` on $(date -u +%Y-%m-%d), on a machine with $(nproc) cores"
        echo "(load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)); all benchmarks took $total s."
        echo
        echo "$result"
    } >"$root/bench/RESULTS.md"
    echo "Written to bench/RESULTS.md"
fi
