#!/bin/sh
# Runs the approval installer for real, as root, inside a private mount namespace whose /etc and
# /usr/local/share are throwaway copies, and checks what it installed. Exit 77: skipped.
set -eu
installer=$1
helper=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root (CI runs as root)"
    exit 77
fi

exec timeout 60 unshare --mount sh -eu -c '
    installer=$1
    helper=$2
    mount --make-rprivate /
    scratch=$(mktemp -d)
    trap "rm -rf $scratch" EXIT
    cp -a /etc "$scratch/etc"
    mount --bind "$scratch/etc" /etc
    mkdir -p /usr/local/share
    mount -t tmpfs none /usr/local/share
    # The installer gives the helper its group: a stand-in, not the built program.
    mount -t tmpfs none "$(dirname "$helper")"
    : >"$helper"
    chmod 0755 "$helper"

    "$installer"

    name=com.kestrovane.sollun.wakedaemon
    for group in sollun-helper sollun sollun-wakedaemon; do
        getent group "$group" >/dev/null || { echo "group $group missing"; exit 1; }
    done
    for file in /usr/local/share/dbus-1/system-services/$name.service \
                /etc/dbus-1/system.d/$name.conf \
                /etc/systemd/system/sollun-wakedaemon.service; do
        [ "$(stat -c %a "$file")" = 644 ] || { echo "$file missing or not 0644"; exit 1; }
    done
    grep -q "^Name=$name\$" /usr/local/share/dbus-1/system-services/$name.service
    [ "$(stat -c %a:%G "$helper")" = 2755:sollun-helper ] || { echo "helper not setgid"; exit 1; }
    "$installer" # a second run changes nothing and does not fail
    echo "1 passed, 0 failed"
' sh "$installer" "$helper"
