#!/bin/sh
# Installs the build into a throwaway root, as a package build does (DESTDIR), and checks the tree
# a package is made from: every file there with its mode, nothing else, and the installed files
# naming the programs where the build's configured prefix puts them. The systemd unit may lie
# outside the prefix (Debian 12's /lib/systemd/system), so the prefix is never swapped for the
# throwaway directory: an absolute destination would then land on this machine.
# Usage: install-tree-test.sh <cmake> <build dir> <configured install prefix> [<systemd unit dir>]
set -eu
cmake=$1
build=$2
prefix=$3
units=${4:-$prefix/lib/systemd/system}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root timeout 60 "$cmake" --install "$build" >/dev/null
# Paths below are the installed ones, relative to /.
p=${prefix#/}
unit=${units#/}/sollun-wakedaemon.service

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}

def=$p/share/sollun-helper/wakedaemon
# The tray icon, drawn and in images, in the helper's own theme and in the system's.
own=$p/share/sollun-helper/icons/hicolor
icons="0644 $own/index.theme"
for dir in scalable 16x16 22x22 24x24 32x32 48x48 64x64; do
    type=png
    [ "$dir" != scalable ] || type=svg
    for theme in $own $p/share/icons/hicolor; do
        icons="$icons
0644 $theme/$dir/status/sollun-helper.$type"
    done
done
expected="
$icons
0755 $p/bin/SollunHelper
0755 $p/libexec/SollunWakeDaemon
0755 $p/libexec/sollun-helper/sollun-wakedaemon-install
0644 $p/share/dbus-1/system-services/com.kestrovane.sollun.wakedaemon.service
0644 $p/share/dbus-1/system.d/com.kestrovane.sollun.wakedaemon.conf
0644 $unit
0644 $p/share/polkit-1/actions/com.kestrovane.sollun.wakedaemon.install.policy
0644 $p/share/polkit-1/actions/com.kestrovane.sollun.wakedaemon.schedule.policy
0644 $def/com.kestrovane.sollun.wakedaemon.service
0644 $def/com.kestrovane.sollun.wakedaemon.conf
0644 $def/sollun-wakedaemon.service
0644 $p/share/applications/com.kestrovane.sollun.helper.desktop
0644 $p/share/sollun-helper/sollun-helper.pot
0644 $p/share/locale/de/LC_MESSAGES/sollun-helper.mo
0644 $p/share/locale/es/LC_MESSAGES/sollun-helper.mo
0644 $p/share/locale/fr/LC_MESSAGES/sollun-helper.mo
0644 $p/share/locale/it/LC_MESSAGES/sollun-helper.mo
0644 $p/share/locale/ja/LC_MESSAGES/sollun-helper.mo
0644 $p/share/locale/pt_BR/LC_MESSAGES/sollun-helper.mo
"

while read -r mode file; do
    [ -n "$file" ] || continue
    if [ ! -f "$root/$file" ]; then
        fail "$file not installed"
    elif [ "$(stat -c %04a "$root/$file")" != "$mode" ]; then
        fail "$file has mode $(stat -c %04a "$root/$file"), not $mode"
    else
        pass
    fi
done <<END
$expected
END

# Nothing else: whatever lands here lands in the package.
unexpected=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort |
    while read -r file; do
        echo "$expected" | grep -q " $file\$" || echo "$file"
    done)
if [ -z "$unexpected" ]; then pass; else fail "installed but not expected: $unexpected"; fi

# The helper's own theme as a host reads it: each directory its index.theme lists has its
# section there and the icon, and no icon lies elsewhere.
listed=" $(sed -n 's/^Directories=//p' "$root/$own/index.theme" | tr ',' ' ') "
for dir in $listed; do
    grep -qxF "[$dir]" "$root/$own/index.theme" || fail "$own/index.theme lists $dir without its section"
    [ -n "$(find "$root/$own/$dir" -maxdepth 1 -name 'sollun-helper.*')" ] || fail "$own/$dir has no icon"
done
for icon in $(cd "$root/$own" && find . -name 'sollun-helper.*' | sed 's|^\./||'); do
    case "$listed" in
    *" ${icon%/*} "*) pass ;;
    *) fail "$own/index.theme does not list ${icon%/*}" ;;
    esac
done

# The installed files name the installed programs.
contains() {
    if grep -qxF "$2" "$root/$1"; then pass; else fail "$1 lacks the line: $2"; fi
}
contains $p/share/dbus-1/system-services/com.kestrovane.sollun.wakedaemon.service \
    "Exec=$prefix/libexec/SollunWakeDaemon"
contains "$unit" "ExecStart=$prefix/libexec/SollunWakeDaemon"
contains $p/share/polkit-1/actions/com.kestrovane.sollun.wakedaemon.install.policy \
    "    <annotate key=\"org.freedesktop.policykit.exec.path\">$prefix/libexec/sollun-helper/sollun-wakedaemon-install</annotate>"
contains $p/libexec/sollun-helper/sollun-wakedaemon-install "definition='/$def'"
contains $p/libexec/sollun-helper/sollun-wakedaemon-install "helper='$prefix/bin/SollunHelper'"
contains $p/share/applications/com.kestrovane.sollun.helper.desktop "Exec=$prefix/bin/SollunHelper"
contains $p/share/applications/com.kestrovane.sollun.helper.desktop "NoDisplay=true"
contains $p/share/applications/com.kestrovane.sollun.helper.desktop "Icon=sollun-helper"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
