#!/usr/bin/env bash
# Builds the Debian package build/davaz_<version>_<arch>.deb: installs what is
# missing, builds what the package holds, packs it with CPack and checks it
# with lintian.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" davaz_installed >/dev/null
rm -f "$root"/build/davaz_*.deb
(cd "$root/build" && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/davaz_*.deb)
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb"
else
    echo "package.sh: lintian is not installed, the package is not checked" >&2
fi
echo "$deb"
echo "Install it with: apt install $deb"
