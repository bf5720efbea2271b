#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Only missing packages are installed, so a second run is quick and quiet.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # lupdate and lrelease, and the CMake functions that run them
    qt6-l10n-tools qt6-tools-dev
    libavformat-dev libavcodec-dev libavutil-dev
    # rtmps as the transcoder sends it itself
    libgnutls28-dev
    ffmpeg nginx libnginx-mod-rtmp
    # rtmps in the tests: nginx's stream module ends TLS with a certificate openssl makes
    libnginx-mod-stream openssl
    python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-tools gstreamer1.0-plugins-ugly gstreamer1.0-libav
    fonts-wqy-microhei
    # the install tree, the Debian package and their checks
    librsvg2-bin dpkg-dev file desktop-file-utils appstream lintian
)
case "${1:-}" in
--display) packages+=(xvfb xauth) ;;
--fuzz) packages+=(clang libclang-rt-14-dev) ;;
esac

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# nginx would start its own service on install; the tests run their own instances
apt-get install -y -qq "${missing[@]}" >/dev/null
