#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package for real: build it with cpack, hold it to Debian's rules (lintian) and the
# desktop's (desktop entry, AppStream metadata), install it with apt-get, see that the counter's
# face holds "RESTARTING" and comes with the package, start the installed launcher under Xvfb as a
# new user would (no list yet), see the window and the installed icon in the media metadata,
# quit, remove the package. Installing needs root: skipped (77) otherwise.
# Usage: package_e2e.sh BUILD_DIR COUNTER_FIT
set -u
readonly SKIP=77
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing a package needs root"
    exit $SKIP
fi
if [ -z "${ORVANE_PRIVATE_BUS:-}" ]; then
    ORVANE_PRIVATE_BUS=1 exec dbus-run-session -- bash "$0" "$@" 2> >(grep -v 'fd limit' >&2)
fi
build="$(realpath "$1")"
counter_fit="$(realpath "$2")"
readonly app_id=io.github.orvaneplayer.OrvanePlayer
. "$(cd "$(dirname "$0")" && pwd)/../support/x11.sh"
. "$(cd "$(dirname "$0")" && pwd)/../support/e2e.sh"
installed=

apt() { apt-get -q -y -o DPkg::Lock::Timeout=120 "$@"; }
e2e_cleanup() {
    x11_stop
    [ -z "$installed" ] || apt remove orvaneplayer >/dev/null 2>&1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(tail -n 5 "$work/cpack.log")"
deb=("$work"/pkg/orvaneplayer_*_amd64.deb)
[ -f "${deb[0]}" ] || fail "cpack made no orvaneplayer_<version>_amd64.deb"
echo "PASS: cpack made $(basename "${deb[0]}")"
dpkg -I "${deb[0]}"
# lintian notes that it runs as root, as this script must; the note is no finding.
lintian --fail-on error,warning "${deb[0]}" >"$work/lintian.log" 2>&1 ||
    fail "lintian: $(grep -v 'root privileges' "$work/lintian.log")"
echo "PASS: lintian finds no error or warning"

installed=yes
apt install --reinstall "${deb[0]}" >"$work/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -n 5 "$work/apt.log")"
for f in /usr/bin/orvaneplayer /usr/bin/orvaneplayer-launch \
    /usr/share/applications/$app_id.desktop /usr/share/orvaneplayer/orvaneplayer.ini \
    /usr/share/icons/hicolor/256x256/apps/orvaneplayer.png \
    /usr/share/man/man1/orvaneplayer.1.gz /usr/share/man/man1/orvaneplayer-launch.1.gz \
    /usr/share/doc/orvaneplayer/copyright /usr/share/doc/orvaneplayer/changelog.gz \
    /usr/share/metainfo/$app_id.metainfo.xml; do
    [ -e "$f" ] || fail "the package did not install $f"
done
echo "PASS: apt-get installs the program, launcher, desktop entry, icons, example list and documents"
desktop-file-validate "/usr/share/applications/$app_id.desktop" >"$work/valid.log" 2>&1 ||
    fail "desktop-file-validate: $(cat "$work/valid.log")"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" >"$work/valid.log" 2>&1 ||
    fail "appstreamcli validate: $(cat "$work/valid.log")"
echo "PASS: the desktop entry and the AppStream metadata are valid"

x11_start "$work" || fail "Xvfb did not start"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime"
unset XDG_CONFIG_HOME
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"

# The counter's face is the one the installed program gets on this display. It must hold
# "RESTARTING" whole, and come from a package the .deb depends on: this machine's other fonts
# need not be on the user's.
fit="$("$counter_fit" 2>"$work/app.err")" || fail "the counter cuts \"RESTARTING\": ${fit//$'\n'/, }"
family="$(head -n 1 <<<"$fit" | sed 's/ \[.*\]$//')"
font_package="$(dpkg -S "$(fc-match -f '%{file}' "$family:bold")" | cut -d: -f1)"
grep -Eq "(^|[,|] *)$font_package( |,|$)" <<<"$(dpkg-deb -f "${deb[0]}" Depends)" ||
    fail "the counter's face $family comes from $font_package, which the package does not depend on"
echo "PASS: the counter holds \"RESTARTING\" in $family (${fit#*$'\n'}) from $font_package"

(cd "$HOME" && exec orvaneplayer-launch >/dev/null 2>"$work/app.err") &
app_pid=$!
pids+=("$app_pid")
timeout 20 xdotool search --sync --name '^Orvane Player$' >/dev/null || fail "no window"
[ -f "$HOME/.config/orvaneplayer/orvaneplayer.ini" ] || fail "the launcher copied no list"
echo "PASS: the installed launcher starts the player with a copy of the example list"

art=file:///usr/share/icons/hicolor/256x256/apps/orvaneplayer.png
art_shown() { [ "$(playerctl -p orvaneplayer metadata mpris:artUrl)" = "$art" ]; }
wait_for 10 "the installed icon as mpris:artUrl" art_shown
dbus-send --session --type=method_call --dest=org.mpris.MediaPlayer2.orvaneplayer \
    /org/mpris/MediaPlayer2 org.mpris.MediaPlayer2.Quit
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for 10 "the player to quit" ended
wait "$app_pid" || fail "the player ended with status $?"
echo "PASS: the media metadata shows the installed icon; Quit ends the player"

apt remove orvaneplayer >"$work/apt.log" 2>&1 || fail "apt-get remove: $(tail -n 5 "$work/apt.log")"
installed=
[ ! -e /usr/bin/orvaneplayer ] || fail "removing the package left /usr/bin/orvaneplayer"
echo "PASS: apt-get remove takes it away again"
