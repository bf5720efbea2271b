#!/usr/bin/env bash
# Builds if needed and starts the host with the plug-in. Without a display it
# runs the host under Xvfb, shows all four tools and saves their screenshots.
set -euo pipefail
cd "$(dirname "$0")"
root="$(pwd)"

headless=0
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    headless=1
fi

if [[ $headless -eq 1 ]]; then
    scripts/deps.sh --display
else
    scripts/deps.sh
fi
scripts/build.sh >/dev/null

if [[ $headless -eq 0 ]]; then
    exec "$root/build/bin/davaz-host" "$@"
fi

# Headless: keep the demo's settings away from the user's own.
export HEXLUNE_HOME="$root/build/demo/home"
mkdir -p "$HEXLUNE_HOME"
shots="$root/build/screenshots"
rm -rf "$shots"
mkdir -p "$shots"

echo "No display found: running the host under Xvfb."
xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" \
    --show msg_show_mp4wd --show msg_show_movielive --show msg_show_tranformat --show msg_show_grablive \
    --screenshot "$shots" 2>"$root/build/screenshots.log" | sed 's/^/  /'

echo
echo "Opened the launcher and the four tools (repair, live push, conversion, capture)."
echo "Screenshots of every window are in $shots:"
ls -1 "$shots" | sed 's/^/  /'

# The main job: two sample clips converted for real through the conversion window.
demo="$root/build/demo"
mkdir -p "$demo/input"
rm -rf "$demo/output"
for clip in sample-a:testsrc2 sample-b:smptehdbars; do
    name="${clip%%:*}"
    pattern="${clip##*:}"
    if [[ ! -s "$demo/input/$name.mp4" ]]; then
        ffmpeg -nostdin -v error -y -f lavfi -i "$pattern=size=640x480:rate=25:duration=5" \
            -f lavfi -i "sine=frequency=440:duration=5" -c:v libx264 -preset veryfast -pix_fmt yuv420p \
            -c:a aac -shortest "$demo/input/$name.mp4"
    fi
done

echo
echo "Demonstration: converting two sample clips to .mp4 at 720P in the conversion window."
xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" --demo convert \
    --output "$demo/output" --screenshot "$shots" \
    "$demo/input/sample-a.mp4" "$demo/input/sample-b.mp4" 2>"$demo/host.log" | sed 's/^/  /'
status=${PIPESTATUS[0]}
if [[ $status -ne 0 ]]; then
    echo "The demonstration failed (exit $status); the host's log is $demo/host.log" >&2
    exit "$status"
fi
echo
echo "Converted files:"
ls -1 "$demo/output"/* | sed 's/^/  /'
echo "Screenshot of the finished table: $shots/FormatCWidget-finished.png"
echo "Host log: $demo/host.log"

# Live push: two sample clips in the live push window, pushed for real to a
# local rtmp server (nginx with its rtmp module) that lives only for the demo.
live="$root/build/demo/live"
mkdir -p "$live"
for clip in live-a:testsrc2 live-b:smptebars; do
    name="${clip%%:*}"
    pattern="${clip##*:}"
    if [[ ! -s "$live/$name.mp4" ]]; then
        ffmpeg -nostdin -v error -y -f lavfi -i "$pattern=size=640x360:rate=25:duration=10" \
            -f lavfi -i "sine=frequency=440:duration=10" -c:v libx264 -preset veryfast -pix_fmt yuv420p \
            -c:a aac -shortest "$live/$name.mp4"
    fi
done

accepting() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
live_port=""
live_pid=""
for attempt in 1 2 3 4 5; do
    candidate=$((30000 + RANDOM % 20000))
    accepting "$candidate" && continue # taken
    cat >"$live/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
worker_processes 1;
pid $live/nginx.pid;
error_log $live/error.log info;
events {
    worker_connections 64;
}
rtmp {
    server {
        listen 127.0.0.1:$candidate;
        application live {
            live on;
        }
    }
}
CONF
    nginx -e "$live/error.log" -c "$live/nginx.conf" -p "$live" &
    live_pid=$!
    for _ in $(seq 50); do
        accepting "$candidate" && break
        kill -0 "$live_pid" 2>/dev/null || break
        sleep 0.2
    done
    if accepting "$candidate"; then
        live_port=$candidate
        break
    fi
    kill "$live_pid" 2>/dev/null || true
    wait "$live_pid" 2>/dev/null || true
    live_pid=""
done
if [[ -z "$live_port" ]]; then
    echo "Could not start the local rtmp server; see $live/error.log" >&2
    exit 1
fi

echo
echo "Demonstration: pushing two sample clips to the local rtmp server on port $live_port."
set +e
xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" --demo live \
    --address "rtmp://127.0.0.1:$live_port/live/demo" --screenshot "$shots" \
    "$live/live-a.mp4" "$live/live-b.mp4" 2>"$live/host.log" | sed 's/^/  /'
status=${PIPESTATUS[0]}
set -e
kill "$live_pid" 2>/dev/null || true
wait "$live_pid" 2>/dev/null || true
if [[ $status -ne 0 ]]; then
    echo "The live push demonstration failed (exit $status); the host's log is $live/host.log" >&2
    exit "$status"
fi
echo "Screenshot of the window during the push: $shots/VideoLiveWidget-pushing.png"
echo "Host log: $live/host.log; server log: $live/error.log"

# The repair: a damaged copy of a sample clip is made on the spot by cutting
# off its tail, where the index lies; the intact clip is the reference. The
# window starts the repair engine from build/bin; while that engine is not
# built, the tests' stand-in plays its part over the pipe.
damaged="$demo/input/sample-a-damaged.mp4"
size=$(stat -c %s "$demo/input/sample-a.mp4")
head -c $((size * 3 / 4)) "$demo/input/sample-a.mp4" >"$damaged"
standin=()
if [[ ! -x "$root/build/bin/Vidmend.exe" ]]; then
    standin=("$root/build/bin/mp4rp-test/Vidmend.exe")
    echo
    echo "The repair engine is not built on this branch: the tests' stand-in reports progress instead."
fi
echo
echo "Demonstration: repairing a damaged clip in the repair window, progress over the pipe."
# A temporary folder of its own keeps the demo's pipe and job file apart.
rm -rf "$demo/tmp"
mkdir -p "$demo/tmp"
TMPDIR="$demo/tmp" xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" --demo repair \
    --screenshot "$shots" "$damaged" "$demo/input/sample-a.mp4" "${standin[@]}" \
    2>"$demo/repair.log" | sed 's/^/  /'
status=${PIPESTATUS[0]}
if [[ $status -ne 0 ]]; then
    echo "The repair demonstration failed (exit $status); the host's log is $demo/repair.log" >&2
    exit "$status"
fi
echo "Screenshot of the progress dialog during the repair: $shots/ProcessWidget-repair.png"
echo "Host log: $demo/repair.log"

# Demonstration: stream capture. A local nginx-rtmp server and a publisher
# stand in for a live stream; both are stopped when the capture is done.
(
    capture="$root/build/demo/capture"
    rm -rf "$capture"
    mkdir -p "$capture/output"
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x360:rate=25:duration=10" \
        -f lavfi -i "sine=frequency=440:duration=10" -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p \
        -c:a aac -shortest "$capture/live.mp4"
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$capture/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
worker_processes 1;
pid $capture/nginx.pid;
error_log $capture/nginx.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$port; application live { live on; } } }
CONF
    nginx -e "$capture/nginx.log" -c "$capture/nginx.conf" -p "$capture" &
    server=$!
    publisher=""
    stop_servers() {
        for pid in $publisher $server; do
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        done
    }
    trap stop_servers EXIT
    for _ in $(seq 100); do
        (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
    url="rtmp://127.0.0.1:$port/live/demo"
    ffmpeg -nostdin -v error -re -stream_loop -1 -i "$capture/live.mp4" -c copy -f flv "$url" &
    publisher=$!
    for _ in $(seq 100); do
        grep -q "publish: name='demo'" "$capture/nginx.log" 2>/dev/null && break
        sleep 0.2
    done

    echo
    echo "Demonstration: recording the live stream $url to .mp4 in the capture window."
    status=0
    # A temporary folder of its own keeps the demo's stop request apart.
    mkdir -p "$capture/tmp"
    TMPDIR="$capture/tmp" xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" --demo capture \
        --address "$url" \
        --output "$capture/output" --screenshot "$shots" 2>"$capture/host.log" | sed 's/^/  /' || status=$?
    if [[ $status -ne 0 ]]; then
        echo "The capture demonstration failed (exit $status); the host's log is $capture/host.log" >&2
        exit "$status"
    fi
    echo "Screenshot of the recording window: $shots/GrabLiveWidget-recording.png"
    echo "Host log: $capture/host.log"
)
