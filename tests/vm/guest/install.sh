# The package installed as a user would, and the desktop's side: the test user's helper started by
# the command of its desktop entry, and the stand-in Sollun installed as Sollun's desktop entry.

scenario_install() {
    begin install
    cp "$input"/product/sollun-wake_*.deb /root/
    local deb=(/root/sollun-wake_*.deb) started
    check "the package installs offline with apt" \
        env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${deb[0]}"

    local group
    for group in sollun-helper sollun sollun-wakedaemon; do
        check "group $group exists" getent group "$group"
    done
    check "the bus knew every group when the policy landed" \
        bash -c '! journalctl --after-cursor="$1" -q -o cat -g "Unknown group" | grep .' - "$(cursor)"
    check "the helper is root-owned, setgid sollun-helper, mode 2755" \
        test "$(stat -c %U:%G:%a /usr/bin/SollunHelper)" = root:sollun-helper:2755
    check "the bus policy is installed" test -f /usr/share/dbus-1/system.d/com.kestrovane.sollun.wakedaemon.conf
    check "the activation file is installed" \
        test -f /usr/share/dbus-1/system-services/com.kestrovane.sollun.wakedaemon.service
    check "the unit is installed and enabled" systemctl is-enabled -q sollun-wakedaemon.service
    check "every installed file is the package's own" test -z "$(dpkg --verify sollun-wake)"
    check "the unit runs as shipped, from the release's unit directory, with no drop-in" unit_as_shipped
    check "nothing started the daemon before the helper's first call" \
        bash -c '! systemctl is-active -q sollun-wakedaemon.service'

    install_stand_in_sollun
    started=$(now)
    start_helper
    check "systemd starts the daemon on the helper's first call" \
        wait_until 30 systemctl is-active -q sollun-wakedaemon.service
    figure "daemon active $(delta "$started" "$(now)") s after the helper started"
    check "the bus asked systemd to start it for the helper (uid 1000)" \
        logged "Activating via systemd: service name='com.kestrovane.sollun.wakedaemon' unit='sollun-wakedaemon.service' requested by .* \\(uid=1000 "

    local pid
    pid=$(systemctl show -P MainPID sollun-wakedaemon.service)
    check "the daemon runs with CAP_WAKE_ALARM alone and no new privileges" \
        grep -qzP 'CapBnd:\t0000000800000000\n(.|\n)*NoNewPrivs:\t1' "/proc/$pid/status"
    check "the daemon runs in its group" grep -q "^Gid:\s*$(getent group sollun-wakedaemon | cut -d: -f3)\s" \
        "/proc/$pid/status"
    check "the test user can introspect the daemon" \
        bash -c 'runuser -u sleeper -- busctl introspect com.kestrovane.sollun.wakedaemon \
                 /com/kestrovane/sollun/wakedaemon | grep -q ScheduleWakeAt'
    end
}

# Whether systemd runs the unit from the package's own file, with nothing added: Debian 12 ships
# units in /lib/systemd/system, Debian 13 in /usr/lib/systemd/system (one directory through the
# other on a merged /usr, so the two are compared as the files they are).
unit_as_shipped() {
    local packaged fragment dropins
    packaged=$(dpkg -L sollun-wake | grep -x '.*/systemd/system/sollun-wakedaemon\.service')
    fragment=$(systemctl show -P FragmentPath sollun-wakedaemon.service)
    dropins=$(systemctl show -P DropInPaths sollun-wakedaemon.service)
    case $fragment in
    /lib/systemd/system/* | /usr/lib/systemd/system/*) ;;
    *) return 1 ;;
    esac
    [[ -n $packaged && -z $dropins && $(realpath "$fragment") == "$(realpath "$packaged")" ]]
}

# Records each start in $launches and runs on as itself, for the running check.
install_stand_in_sollun() {
    cat >/usr/share/applications/com.kestrovane.sollun.desktop <<EOT
[Desktop Entry]
Type=Application
Name=Sollun
Exec=$fixtures/sollun_stub $launches
EOT
}

# The helper runs in the test user's session on the first virtual console, as a desktop runs it:
# started with the session by its login script (a desktop's autostart entry) and by the user when
# asked, from the command of its desktop entry.
start_helper() {
    log_in_with_helper "$user"
    touch "$home/.sollun-vm/autostart"
    run_helper "$user"
}
