# The package installed again over itself, with the daemon running and then with the unit
# disabled by the administrator; then purged, after the approval installer has also put its copy
# of the daemon's definition in place.

# What the approval installer writes, and the link `systemctl enable` makes for its unit.
approved_files=(
    /etc/systemd/system/sollun-wakedaemon.service
    /etc/systemd/system/multi-user.target.wants/sollun-wakedaemon.service
    /etc/dbus-1/system.d/com.kestrovane.sollun.wakedaemon.conf
    /usr/local/share/dbus-1/system-services/com.kestrovane.sollun.wakedaemon.service
)
# Those of the given paths that exist (a dangling link counts), one a line.
existing() {
    local path
    for path; do
        if [[ -e $path || -L $path ]]; then echo "$path"; fi
    done
}
reinstall() { env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "$1"; }

scenario_removal() {
    begin upgrade-removal
    local wake=$(($(date +%s) + 3600)) before pid
    publish 40 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    check "the daemon's alarm timer is armed for it" armed_for "$wake"
    before=$(cat "$store")
    pid=$(systemctl show -P MainPID sollun-wakedaemon.service)

    local deb=(/root/sollun-wake_*.deb)
    check "the package installs again over itself" reinstall "${deb[0]}"
    check "the daemon's store is kept" test "$(cat "$store")" = "$before"
    check "the running daemon was restarted into the new program" \
        test "$(systemctl show -P MainPID sollun-wakedaemon.service)" != "$pid"
    check "the restarted daemon armed the wake again" wait_until 10 armed_for "$wake"
    check "the helper is still setgid" test "$(stat -c %G:%a /usr/bin/SollunHelper)" = sollun-helper:2755

    systemctl disable -q sollun-wakedaemon.service
    check "the package installs again over a disabled unit" reinstall "${deb[0]}"
    check "the administrator's disable survives it" \
        bash -c '! systemctl is-enabled -q sollun-wakedaemon.service'

    local files
    files=$(dpkg -L sollun-wake | while read -r path; do [[ -d $path ]] || echo "$path"; done)
    check "the approval installer runs" /usr/libexec/sollun-helper/sollun-wakedaemon-install
    check "the approval installer wrote its copies" \
        test "$(existing "${approved_files[@]}" | wc -l)" -eq "${#approved_files[@]}"

    check "the package purges" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q sollun-wake
    # shellcheck disable=SC2086 # one path a line, none with a blank
    check "no file of the package is left" test -z "$(existing $files)"
    check "nothing the approval installer wrote is left" test -z "$(existing "${approved_files[@]}")"
    check "systemd no longer knows the unit" \
        test "$(systemctl show -P LoadState sollun-wakedaemon.service)" = not-found
    # The groups stay: a gid given back could go to an unrelated group made later, which the
    # setgid helper, a copy of it or a file still carrying the gid would then grant; and `sollun`
    # belongs to the alarm application's own package.
    local group
    for group in sollun-helper sollun sollun-wakedaemon; do
        check "group $group is kept" getent group "$group"
    done
    check "the daemon's state is removed" test ! -e /var/lib/sollun-wakedaemon
    check "the helper's override is removed" bash -c '! dpkg-statoverride --list /usr/bin/SollunHelper'
    # The kernel keeps the first 15 characters of a process's name: SollunWakeDaemo.
    check "nothing of the product runs" \
        wait_until 10 bash -c '! pgrep -x SollunWakeDaemo && ! pgrep -x SollunHelper'
    check "no RTC alarm of the product is left" test -z "$(cat /sys/class/rtc/rtc0/wakealarm)"
    end
}
