# The package installed again over itself, then purged.

scenario_removal() {
    begin upgrade-removal
    local wake=$(($(date +%s) + 3600)) before
    publish 40 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    check "the daemon's alarm timer is armed for it" armed_for "$wake"
    before=$(cat "$store")

    local deb=(/root/sollun-wake_*.deb)
    check "the package installs again over itself" \
        env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "${deb[0]}"
    check "the daemon's store is kept" test "$(cat "$store")" = "$before"
    check "the wake is still armed" armed_for "$wake"
    check "the helper is still setgid" test "$(stat -c %G:%a /usr/bin/SollunHelper)" = sollun-helper:2755

    check "the package purges" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q sollun-wake
    local group
    for group in sollun-helper sollun sollun-wakedaemon; do
        check "group $group is removed" bash -c '! getent group "$1"' - "$group"
    done
    check "the daemon's state is removed" test ! -e /var/lib/sollun-wakedaemon
    check "the helper's override is removed" bash -c '! dpkg-statoverride --list /usr/bin/SollunHelper'
    check "nothing of the product runs" \
        wait_until 10 bash -c '! pgrep -x SollunWakeDaemon && ! pgrep -x SollunHelper'
    check "no RTC alarm of the product is left" test -z "$(cat /sys/class/rtc/rtc0/wakealarm)"
    end
}
