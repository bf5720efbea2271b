#!/usr/bin/env bash
# Builds if needed and starts the host with the plug-in. Without a display it
# runs the host under Xvfb, shows all four tools, saves their screenshots, and
# then drives each tool for real: a conversion, a live push to a local rtmp
# server (and to three at once, one of them restarted), a capture from it,
# and a repair of a clip damaged on the spot.
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
# Each run starts from the windows' defaults: what an earlier run left set
# (several destinations, say) would change what this one shows.
export HEXLUNE_HOME="$root/build/demo/home"
rm -rf "$HEXLUNE_HOME"
mkdir -p "$HEXLUNE_HOME"
demo="$root/build/demo"
shots="$root/build/screenshots"
rm -rf "$shots"
mkdir -p "$shots" "$demo/input"

host() {
    xvfb-run -a -s "-screen 0 1600x1000x24" "$root/build/bin/davaz-host" "$@"
}

# run_demo NAME LOG ARGS...: runs one demonstration; stops the script if it fails.
run_demo() {
    local name="$1" log="$2"
    shift 2
    set +e
    host --demo "$name" --screenshot "$shots" "$@" 2>"$log" | sed 's/^/  /'
    local status=${PIPESTATUS[0]}
    set -e
    if [[ $status -ne 0 ]]; then
        echo "The $name demonstration failed (exit $status); the host's log is $log" >&2
        exit "$status"
    fi
    echo "Host log: $log"
}

# clip PATH PATTERN SECONDS SIZE: a test picture with a tone, made once.
clip() {
    [[ -s "$1" ]] && return 0
    ffmpeg -nostdin -v error -y -f lavfi -i "$2=size=$4:rate=25:duration=$3" \
        -f lavfi -i "sine=frequency=440:duration=$3" -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p \
        -c:a aac -shortest "$1"
}

echo "No display found: running the host under Xvfb."
all_tools=(--show msg_show_mp4wd --show msg_show_movielive --show msg_show_tranformat --show msg_show_grablive)
# The windows as specified, in Chinese (the C locale keeps them so), whatever this shell's language.
LC_ALL=C.UTF-8 host "${all_tools[@]}" --screenshot "$shots" 2>"$root/build/screenshots.log" | sed 's/^/  /'
# The same windows in English, beside them as NAME_en.png.
LANGUAGE= LC_ALL=en_US.UTF-8 LANG=en_US.UTF-8 host "${all_tools[@]}" --screenshot "$shots/en" \
    2>"$root/build/screenshots-en.log" | sed 's/^/  /'
for shot in "$shots"/en/*.png; do
    mv "$shot" "$shots/$(basename "$shot" .png)_en.png"
done
rmdir "$shots/en"
echo
echo "Opened the launcher and the four tools (repair, live push, conversion, capture), in Chinese and in English."
echo "Screenshots of every window are in $shots:"
ls -1 "$shots" | sed 's/^/  /'

# Conversion: two sample clips dropped on the table and converted.
clip "$demo/input/sample-a.mp4" testsrc2 5 640x480
clip "$demo/input/sample-b.mp4" smptehdbars 5 640x480
rm -rf "$demo/output"
echo
echo "Demonstration: converting two sample clips to .mp4 at 720P in the conversion window."
run_demo convert "$demo/host.log" --output "$demo/output" "$demo/input/sample-a.mp4" "$demo/input/sample-b.mp4"
echo "Converted files:"
ls -1 "$demo/output"/* | sed 's/^/  /'

# Every format the window offers, from one file of an odd size at its own size, one run after another.
clip "$demo/input/sample-c.mp4" testsrc2 5 854x480
rm -rf "$demo/formats"
echo
echo "Demonstration: converting one clip to each of the nine formats in the conversion window."
run_demo convert "$demo/host-formats.log" --formats all --output "$demo/formats" "$demo/input/sample-c.mp4"
# psnr OUT: the picture against the source's, each at its time; the source loses the edge rows or columns the
# format could not take.
psnr() {
    local size
    size=$(ffprobe -v error -select_streams V:0 -show_entries stream=width,height -of default=nw=1:nk=1 "$1" |
        head -2 | paste -sd:)
    ffmpeg -hide_banner -nostdin -i "$1" -i "$demo/input/sample-c.mp4" -lavfi \
        "[0:v]setpts=PTS-STARTPTS,format=yuv420p[a];[1:v]settb=AVTB,setpts=PTS-STARTPTS-0.008/TB,crop=$size:0:0,format=yuv420p[b];[a][b]psnr" \
        -f null - 2>&1 | sed -n 's/.*average:\([0-9.inf]*\).*/\1 dB/p'
}
echo "Each output, its size and its picture's PSNR against the source:"
for out in "$demo/formats"/*; do
    printf '  %-24s %8s bytes  %s\n' "$(basename "$out")" "$(stat -c %s "$out")" "$(psnr "$out")"
done

# A local rtmp server (nginx with its rtmp module) for the live push and the
# capture; it and its publisher live only as long as this script.
net="$demo/net"
mkdir -p "$net"
# The server and the publisher note their pids in files, so that whoever
# restarted them last, stopping finds them.
stop_pid() {
    local pid
    pid=$(cat "$1" 2>/dev/null || true)
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
    rm -f "$1"
}
stop_servers() {
    stop_pid "$net/publisher.pid"
    stop_pid "$net/server.pid"
}
outage_job=""
cleanup() {
    [[ -n "$outage_job" ]] && kill "$outage_job" 2>/dev/null || true
    for pid in "$net"/reader-*.pid "$net/b.pid" "$net/tls.pid"; do
        stop_pid "$pid"
    done
    stop_servers
}
trap cleanup EXIT
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# wait_port PORT: until something listens there, 10 s at most.
wait_port() {
    for _ in $(seq 100); do
        (echo >"/dev/tcp/127.0.0.1/$1") 2>/dev/null && break
        sleep 0.1
    done
}
port=$(free_port)
cat >"$net/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
worker_processes 1;
pid $net/nginx.pid;
error_log $net/nginx.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$port; application live { live on; } } }
CONF
rm -f "$net/nginx.log"
start_server() {
    nginx -e "$net/nginx.log" -c "$net/nginx.conf" -p "$net" &
    echo $! >"$net/server.pid"
    wait_port "$port"
}
start_server

# outage PATTERN [URL]: once the server's log shows PATTERN a second time (a
# client took the stream), the server goes away for five seconds, then comes
# back, and with it the publisher of URL.
outage() {
    local before
    before=$(grep -c "$1" "$net/nginx.log" || true)
    for _ in $(seq 600); do
        [[ $(grep -c "$1" "$net/nginx.log" || true) -gt $before ]] && break
        sleep 0.1
    done
    sleep 5
    echo "  (the rtmp server goes away for 5 s)"
    stop_servers
    sleep 5
    start_server
    [[ -n "${2:-}" ]] && publish "$2"
    echo "  (the rtmp server is back)"
}
# publish URL: a publisher stands in for a live stream.
publish() {
    ffmpeg -nostdin -v error -re -stream_loop -1 -i "$net/live-a.mp4" -c copy -f flv "$1" &
    echo $! >"$net/publisher.pid"
    for _ in $(seq 100); do
        [[ $(grep -c "publish: name='${1##*/}'" "$net/nginx.log" || true) -gt 0 ]] && break
        sleep 0.2
    done
}

# Live push: two clips in the list, pushed to the server.
clip "$net/live-a.mp4" testsrc2 10 640x360
clip "$net/live-b.mp4" smptebars 10 640x360
echo
echo "Demonstration: pushing two sample clips to the local rtmp server on port $port."
run_demo live "$net/live.log" --address "rtmp://127.0.0.1:$port/live/demo" "$net/live-a.mp4" "$net/live-b.mp4"
echo "Screenshot of the window during the push: $shots/VideoLiveWidget-pushing.png"

# The same with reconnect on drop: the server goes away during the push and comes back.
echo
echo "Demonstration: a push with reconnect on drop while the rtmp server restarts."
outage "publish: name='again'" &
outage_job=$!
run_demo live "$net/live-reconnect.log" --reconnect --address "rtmp://127.0.0.1:$port/live/again" \
    "$net/live-b.mp4" "$net/live-a.mp4"
wait $outage_job
echo "Screenshots: $shots/VideoLiveWidget-before-drop.png, $shots/VideoLiveWidget-reconnecting.png,"
echo "  $shots/VideoLiveWidget-reconnected.png"

# Capture: a publisher stands in for a live stream, which the window records.
url="rtmp://127.0.0.1:$port/live/stream"
publish "$url"
rm -rf "$net/recordings" "$net/tmp"
mkdir -p "$net/recordings" "$net/tmp"
echo
echo "Demonstration: recording the live stream $url to .mp4 in the capture window."
# A temporary folder of its own keeps the demo's stop request apart.
TMPDIR="$net/tmp" run_demo capture "$net/capture.log" --address "$url" --output "$net/recordings"
echo "Screenshot of the recording window: $shots/GrabLiveWidget-recording.png"

# The same with reconnect on drop: the server and the stream go away during
# the recording and come back; the window records on into a second file.
echo
echo "Demonstration: a capture with reconnect on drop while the rtmp server restarts."
outage "play: name='stream'" "$url" &
outage_job=$!
TMPDIR="$net/tmp" run_demo capture "$net/capture-reconnect.log" --reconnect --address "$url" \
    --output "$net/recordings"
wait $outage_job
echo "Screenshots: $shots/GrabLiveWidget-before-drop.png, $shots/GrabLiveWidget-reconnecting.png,"
echo "  $shots/GrabLiveWidget-second-file.png"

# One connection for the whole list ("无缝推流"): two clips of two picture
# sizes pushed once round, while the capture window records the stream.
clip "$net/live-small.mp4" testsrc2 4 320x240
clip "$net/live-large.mp4" smptebars 4 640x360
onelink="rtmp://127.0.0.1:$port/live/onelink"
rm -rf "$net/recordings-onelink" "$shots/one-connection"
mkdir -p "$net/recordings-onelink" "$shots/one-connection"
echo
echo "Demonstration: a list of two picture sizes pushed over one connection, recorded by the capture window."
set +e
host --demo live --screenshot "$shots/one-connection" --seamless --address "$onelink" "$net/live-small.mp4" \
    "$net/live-large.mp4" 2>"$net/live-onelink.log" | sed 's/^/  push: /' &
live_job=$!
for _ in $(seq 150); do
    grep -q "publish: name='onelink'" "$net/nginx.log" && break
    sleep 0.2
done
TMPDIR="$net/tmp" host --demo capture --screenshot "$shots/one-connection" --address "$onelink" \
    --output "$net/recordings-onelink" 2>"$net/capture-onelink.log" | sed 's/^/  capture: /'
wait $live_job
set -e
# An .mp4 holds one set of parameters: the second size goes on in the next numbered file.
for recording in "$net/recordings-onelink"/*.mp4; do
    [[ -f "$recording" ]] || continue
    sizes=$(ffprobe -v error -select_streams v -show_entries frame=width,height -of csv=p=0 "$recording" |
        cut -d, -f1,2 | grep , | uniq | tr '\n' ' ')
    echo "The recording $recording: $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$recording") s," \
        "picture sizes in turn: $sizes"
done
echo "The server saw $(grep -c "publish: name='onelink'" "$net/nginx.log") publish(es) of the list's stream."
echo "Screenshots: $shots/one-connection/"

# Several destinations at once ("多路推流"): the list over one connection to
# this server, to a second one, and over rtmps through a TLS front (nginx's
# stream module with a certificate made here) to this one again. The second
# server restarts during the push; a reader on each of the others records.
port_b=$(free_port)
port_tls=$(free_port)
mkdir -p "$net/b" "$net/tls"
cat >"$net/b/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1; pid $net/b/nginx.pid; error_log $net/b/nginx.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$port_b; application live { live on; } } }
CONF
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout "$net/tls/key.pem" \
    -out "$net/tls/cert.pem" 2>/dev/null
cat >"$net/tls/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
daemon off; master_process off; worker_processes 1; pid $net/tls/nginx.pid; error_log $net/tls/nginx.log info;
events { worker_connections 64; }
stream { server { listen 127.0.0.1:$port_tls ssl; ssl_certificate $net/tls/cert.pem;
  ssl_certificate_key $net/tls/key.pem; proxy_pass 127.0.0.1:$port; } }
CONF
# start_nginx NAME PORT: the server of that folder, its pid noted beside it.
start_nginx() {
    nginx -e "$net/$1/nginx.log" -c "$net/$1/nginx.conf" -p "$net/$1" &
    echo $! >"$net/$1.pid"
    wait_port "$2"
}
rm -f "$net/b/nginx.log"
start_nginx b "$port_b"
start_nginx tls "$port_tls"
rm -rf "$net/readers"
mkdir -p "$net/readers"
for stream in multi multitls; do
    ffmpeg -nostdin -v error -rw_timeout 60000000 -i "rtmp://127.0.0.1:$port/live/$stream" -c copy -y \
        "$net/readers/$stream.flv" 2>"$net/readers/$stream.log" &
    echo $! >"$net/reader-$stream.pid"
done
restart_b() {
    for _ in $(seq 600); do
        grep -q "publish: name='multi'" "$net/b/nginx.log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 6
    echo "  (the second rtmp server goes away for 4 s)"
    stop_pid "$net/b.pid"
    sleep 4
    start_nginx b "$port_b"
    echo "  (the second rtmp server is back)"
}
echo
echo "Demonstration: one list pushed to two rtmp servers and over rtmps at once; the second server restarts."
restart_b &
outage_job=$!
run_demo multi "$net/live-several.log" --address "rtmp://127.0.0.1:$port/live/multi" \
    --address "rtmp://127.0.0.1:$port_b/live/multi" --address "rtmps://127.0.0.1:$port_tls/live/multitls" \
    "$net/live-a.mp4" "$net/live-b.mp4"
wait $outage_job
outage_job=""
for stream in multi multitls; do
    stop_pid "$net/reader-$stream.pid"
done
sleep 1
for stream in multi multitls; do
    # The largest step between two pictures in a row: what the reader saw while the other server was away.
    ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$net/readers/$stream.flv" 2>/dev/null |
        sort -g | awk -v s="$stream" 'NR > 1 && $1 - p > g { g = $1 - p } { p = $1; n++ }
            END { printf "The reader of %s: %d pictures, the largest step between two %.0f ms\n", s, n, g * 1000 }'
done
echo "The second server saw $(grep -c "publish: name='multi'" "$net/b/nginx.log") publish(es)."
echo "Screenshots: $shots/VideoLiveWidget-destinations-on-air.png, $shots/VideoLiveWidget-destination-reconnecting.png,"
echo "  $shots/VideoLiveWidget-destination-back.png"
stop_pid "$net/b.pid"
stop_pid "$net/tls.pid"
stop_servers

# Repair: a damaged copy of a sample clip, made by cutting off its tail where
# the index lies; the intact clip is the reference.
damaged="$demo/input/sample-a-damaged.mp4"
size=$(stat -c %s "$demo/input/sample-a.mp4")
head -c $((size * 3 / 4)) "$demo/input/sample-a.mp4" >"$damaged"
rm -f "$demo/input/sample-a-damaged_zo_fixed.mp4"
rm -rf "$demo/tmp"
mkdir -p "$demo/tmp"
echo
echo "Demonstration: repairing a damaged clip in the repair window, progress over the pipe."
TMPDIR="$demo/tmp" run_demo repair "$demo/repair.log" "$damaged" "$demo/input/sample-a.mp4"
echo "Screenshot of the progress dialog: $shots/ProcessWidget-repair.png"
