# The programs installed without the package's scripts, as from an archive: no setgid bit,
# nothing for the bus or systemd (the groups a purge kept are there). The running helper waits for
# approval; approving from its menu (pkexec, admitted for the test user by a polkit rule) installs
# the daemon, and the same helper, never restarted by hand, then schedules a wake that really
# wakes the guest.

# The helper's menu, as a tray host reads it, on the test user's session bus.
menu_call() {
    local pid
    pid=$(helper_pid)
    runuser -u "$user" -- env DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/1000/bus" \
        busctl --user --json=short -- call "org.kde.StatusNotifierItem-$pid-1" /MenuBar \
        com.canonical.dbusmenu "$@"
}
menu_layout() {
    menu_call AboutToShow i 0 >/dev/null && menu_call GetLayout iias 0 -1 0
}
# The id of the row with this label.
menu_row() {
    menu_layout | jq -e --arg text "$1" \
        'first(.. | arrays | select(length == 3 and (.[1] | type) == "object" and
                                    .[1].label?.data? == $text) | .[0])'
}
menu_shows() { menu_row "$1" >/dev/null; }
menu_lacks() { ! menu_row "$1" >/dev/null; }
helper_has_group() { [[ $(stat -c %G:%a /usr/bin/SollunHelper) == sollun-helper:2755 ]]; }

scenario_approval() {
    begin approval
    local tree=$state/unpacked deb=(/root/sollun-wake_*.deb)
    rm -rf "$tree"
    dpkg-deb -x "${deb[0]}" "$tree"
    rm -rf "$tree/usr/share/dbus-1" "$tree/lib/systemd" "$tree/usr/lib/systemd"
    cp -a "$tree/." /
    check "the helper carries no group yet" test "$(stat -c %a /usr/bin/SollunHelper)" = 755
    cat >/etc/polkit-1/rules.d/49-sollun-vm.rules <<'EOT'
polkit.addRule(function(action, subject) {
    if (action.id == "com.kestrovane.sollun.wakedaemon.install" && subject.user == "sleeper")
        return polkit.Result.YES;
});
EOT

    local started
    started=$(mark)
    stop_helper
    run_helper "$user"
    check "the helper waits for approval" \
        wait_until 20 menu_shows "Waiting for approval in Login Items"
    local row
    row=$(menu_row "Approve in Login Items…")
    check "the menu offers the approval" test -n "$row"
    menu_call Event isvu "${row:-0}" clicked s "" 0 >/dev/null
    check "approving installs the daemon and gives the helper its group" wait_until 60 helper_has_group
    check "the running helper starts itself again with its group" \
        wait_until 60 logged_after "$started" "The helper now has its group; starting it again"
    check "its menu shows no approval waiting" \
        wait_until 20 menu_lacks "Waiting for approval in Login Items"

    sync_clock_to_rtc
    local wake=$(($(date +%s) + 45))
    publish 60 "$wake"
    check "the wake reaches the daemon's store" wait_until 20 stored "$wake"
    check "helper-status.json shows it" wait_until 15 published "$wake"
    sleep_until $((wake - 30))
    sleep_through "$wake"
    end
}
