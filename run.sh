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
