# Who the daemon serves on the real system: the helper; not the user's other programs, a copy of
# the helper without its group, another user, or a process that became the helper after it
# connected. And whom the helper serves: not an impostor that took the daemon's name first.

# Whether every call the command made came back AccessDenied.
refused() {
    local answers
    answers=$("$@")
    echo "$answers"
    [[ -n $answers ]] && ! grep -qv ' org.freedesktop.DBus.Error.AccessDenied$' <<<"$answers"
}

scenario_trust() {
    begin trust
    local wake=$(($(date +%s) + 3600)) started calls unchanged
    started=$(now)
    publish 10 "$wake"
    check "the helper's wake reaches the daemon's store" wait_until 15 stored "$wake"
    figure "schedule to store: $(delta "$started" "$(now)") s"
    check "helper-status.json shows it" wait_until 15 published "$wake"

    unchanged=$(sha256sum "$store")
    calls=(GetVersion "ScheduleWakeAt=$((wake + 60))" ClearWake)
    check "a plain process of the user is refused" refused as_user "$fixtures/vm_bus_call" "${calls[@]}"
    check "another user is refused" refused runuser -u visitor -- "$fixtures/vm_bus_call" "${calls[@]}"
    check "a process that connected, then exec'd the helper, is refused" \
        refused as_user "$fixtures/vm_bus_call" --exec /usr/bin/SollunHelper "${calls[@]}"

    # The copy replaces the running helper, as a newer instance does.
    install -o "$user" -m 0755 /usr/bin/SollunHelper "$home/SollunHelper-copy"
    check "a copy of the helper runs without the group" \
        test "$(stat -c %a "$home/SollunHelper-copy")" = 755
    stop_helper
    systemd-run -q --user -M "$user@" --unit sollun-helper-copy "$home/SollunHelper-copy"
    publish 11 "$((wake + 120))"
    check "the copy's requests fail" wait_until 15 logged "XPC error: "
    check "nothing of theirs reached the store" test "$(sha256sum "$store")" = "$unchanged"
    user_systemctl stop sollun-helper-copy.service
    pkill -x SollunHelper
    local restarted
    restarted=$(mark)
    run_helper "$user"
    check "the helper is back" wait_until 15 logged_after "$restarted" "Armed app-launch timer"

    # The impostor: root, but not in the daemon's group, owning the name while the daemon is away.
    local record=$state/impostor
    : >"$record"
    systemctl stop sollun-wakedaemon.service
    "$fixtures/wake_daemon_stand_in" "$record" answer 3>"$state/impostor-ready" &
    local impostor=$!
    check "the impostor owns the daemon's name" wait_until 10 grep -q ready "$state/impostor-ready"
    publish 12 "$((wake + 180))"
    check "the helper does not trust the impostor" \
        wait_until 15 logged "XPC error: The daemon's identity could not be verified"
    check "the impostor received nothing from the helper" test ! -s "$record"
    kill "$impostor"
    wait "$impostor" 2>/dev/null

    # The genuine daemon, started again by the next request.
    publish 13 "$wake"
    check "the genuine daemon serves the helper again" wait_until 30 stored "$wake"
    end
}
