#!/usr/bin/env bash
# Builds the .deb from a built tree, unpacks it with dpkg-deb -x and checks its contents: the file
# list, the desktop file (desktop-file-validate), the udev rule's syntax (udevadm verify where
# the system has it, otherwise the line check below), the systemd units and the launcher's data
# folder.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
dpkg-deb -x "$deb" "$work/root"
root=$work/root

for file in usr/bin/tambrook usr/bin/tambrook-cli usr/libexec/tambrook/tambrook-launch \
    usr/share/applications/tambrook.desktop usr/share/icons/hicolor/scalable/apps/tambrook.svg \
    usr/lib/udev/rules.d/70-tambrook.rules usr/share/doc/tambrook/README.md \
    usr/lib/systemd/system/tambrook-serve.service usr/lib/systemd/user/tambrook-serve.service \
    usr/lib/sysusers.d/tambrook.conf usr/share/doc/tambrook/examples/tambrook-limits.conf; do
    [ -e "$root/$file" ] || fail "missing $file"
done
[ -x "$root/usr/bin/tambrook" ] || fail "tambrook is not executable"
[ -x "$root/usr/bin/tambrook-cli" ] || fail "tambrook-cli is not executable"
# The command line needs no widgets, so it runs on a server without a display.
readelf -d "$root/usr/bin/tambrook-cli" | grep -q 'libQt6Widgets' && fail "tambrook-cli links Qt Widgets"
# Whoever holds it is not asked: another test may serve a simulated sim1 from /run/tambrook
# meanwhile, which every root command line sees.
TAMBROOK_SIMULATED_BOARDS=1 "$root/usr/bin/tambrook-cli" list | grep -q '^1 sim1 - - sim 8 ' ||
    fail "the packaged tambrook-cli does not run"
[ -x "$root/usr/libexec/tambrook/tambrook-launch" ] || fail "the launcher is not executable"
unexpected=$(cd "$root" && find . -type f | grep -v -E '^\./usr/(bin|libexec/tambrook|share/(applications|icons|doc/tambrook)|lib/(udev/rules.d|systemd/(system|user)|sysusers.d))/' || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"

dpkg-deb -f "$deb" Package | grep -qx tambrook || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "Depends lacks Qt Widgets"
dpkg-deb -f "$deb" Depends | grep -q libftdi1 || fail "Depends lacks libftdi1"
# serve --http: Qt's HTTP server and WebSockets.
dpkg-deb -f "$deb" Depends | grep -q libqt6httpserver6 || fail "Depends lacks Qt HTTP Server"
dpkg-deb -f "$deb" Depends | grep -q libqt6websockets6 || fail "Depends lacks Qt WebSockets"
dpkg-deb -f "$deb" Depends | grep -q fonts-liberation2 || fail "Depends lacks the layout's font"

# The units start the packaged command line; systemd-analyze checks them where systemd is.
for unit in system user; do
    file=$root/usr/lib/systemd/$unit/tambrook-serve.service
    grep -qx 'ExecStart=/usr/bin/tambrook-cli serve --all' "$file" || fail "$unit unit's ExecStart"
    if command -v systemd-analyze >/dev/null 2>&1; then
        out=$(systemd-analyze verify "$file" 2>&1 | grep -v 'is not executable' || true)
        [ -z "$out" ] || fail "$unit unit: $out"
    fi
done
grep -q '^User=tambrook$' "$root/usr/lib/systemd/system/tambrook-serve.service" || fail "system unit's user"
grep -qx 'LimitRTPRIO=1' "$root/usr/lib/systemd/system/tambrook-serve.service" ||
    fail "system unit's sequencers may not run real-time"
grep -qx 'm tambrook plugdev' "$root/usr/lib/sysusers.d/tambrook.conf" || fail "sysusers: tambrook not in plugdev"
# Serial boards are ttys of dialout: the service's user may open them.
grep -qx 'm tambrook dialout' "$root/usr/lib/sysusers.d/tambrook.conf" || fail "sysusers: tambrook not in dialout"
grep -qx 'SupplementaryGroups=dialout' "$root/usr/lib/systemd/system/tambrook-serve.service" ||
    fail "system unit's user may not open serial ports"
dpkg-deb -I "$deb" postinst | grep -q 'systemd-sysusers tambrook.conf' || fail "postinst does not create the user"

# Real-time rights are offered, never granted by the package itself.
[ -z "$(find "$root" -path '*limits.d*' -type f)" ] || fail "the package grants real-time rights"

desktop-file-validate "$root/usr/share/applications/tambrook.desktop" || fail "desktop file"
grep -qx 'Exec=/usr/libexec/tambrook/tambrook-launch' "$root/usr/share/applications/tambrook.desktop" ||
    fail "desktop file does not start the launcher"

rules=$root/usr/lib/udev/rules.d/70-tambrook.rules
if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify "$rules" || fail "udevadm verify"
fi
# Every rule line: comma-separated KEY=="value" matches and KEY+="value" / KEY="value" actions.
pair='[A-Z]+(\{[A-Za-z_]+\})?(==|!=|\+=|=)"[^"]*"'
while IFS= read -r line; do
    case "$line" in '' | '#'*) continue ;; esac
    echo "$line" | grep -qE "^$pair(, $pair)*\$" || fail "udev rule syntax: $line"
    echo "$line" | grep -q 'TAG+="uaccess"' || fail "udev rule without uaccess: $line"
done <"$rules"
for id in 6001 6015; do
    grep -q "ATTR{idProduct}==\"$id\"" "$rules" || fail "udev rule for 0403:$id missing"
done
# HID relay boards and LCUS HID boards: their hidraw nodes, for the user and for plugdev.
for id in 16c0:05df 5131:2007; do
    grep -qx "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"${id%:*}\", ATTRS{idProduct}==\"${id#*:}\", TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\"" "$rules" ||
        fail "udev rule for hidraw $id missing"
done

started=$(HOME="$work/home" XDG_DATA_HOME= TAMBROOK_BIN=/bin/pwd "$root/usr/libexec/tambrook/tambrook-launch")
[ "$started" = "$work/home/.local/share/tambrook" ] || fail "launcher started in '$started'"

if [ "$failures" -eq 0 ]; then
    echo "all package checks passed"
else
    echo "$failures package checks failed"
    exit 1
fi
