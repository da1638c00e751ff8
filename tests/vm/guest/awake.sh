# After the wake for the alarm: the test user's helper keeps the machine awake with logind's block
# locks, with a reason a person understands, until 2 min after the alarm, and not after: the test
# user's own suspend is refused while they hold and carried out after. Follows the wake scenario,
# whose schedule (alarm 30 s after the wake) it keeps.

# Asks logind to suspend as the test user, from a process of their own manager as a desktop's
# would be (a process of this service, even as the user, is no one's at the seat); prints logind's
# answer, nothing when it accepted. An RTC alarm 30 s ahead brings the guest back should it sleep.
user_suspend() {
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    echo "+30" >/sys/class/rtc/rtc0/wakealarm
    as_user env XDG_RUNTIME_DIR=/run/user/1000 DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus \
        systemd-run --user --wait --pipe --quiet busctl call org.freedesktop.login1 \
        /org/freedesktop/login1 org.freedesktop.login1.Manager Suspend b false 2>&1
}

scenario_stay_awake() {
    begin stay-awake
    local alarm=$((woken_for + 30)) locks answer since
    check "the test user has an active session on the seat, as a desktop login makes" user_session_active
    check "the helper holds its locks after the wake" wait_until 10 holds_locks
    locks=$(helper_locks)
    echo "logind lists: $locks"
    check "they block sleep, idle and the lid switch" grep -q '^sleep:idle:handle-lid-switch|' <<<"$locks"
    check "their reason names the alarm's time" grep -q "|Sollun's alarm is due at " <<<"$locks"
    check "the helper logged the hold" logged_after "$woken_since" "Holding sleep inhibitors until"

    # logind lets a user past a lock only with an administrator's password, which a request
    # without a prompt cannot give.
    answer=$(user_suspend)
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    figure "the test user's suspend while the locks hold: ${answer:-carried out}"
    check "a suspend asked by the test user is refused while they hold" test -n "$answer"

    sleep_until $((alarm + 110))
    check "the locks still hold 110 s after the alarm" holds_locks
    check "the locks are gone 2 min after the alarm" wait_until 20 bash -c '! holds_locks'
    figure "released $(delta "$((alarm + 120))" "$(now)") s after 2 min past the alarm"
    check "the helper logged the release" logged "Released sleep inhibitors: the alarm's window ended"

    # The same request now puts the guest to sleep; the RTC alarm brings it back.
    since=$(mark)
    answer=$(user_suspend)
    check "the test user's suspend is carried out once the locks are gone" test -z "$answer"
    check "the guest slept and resumed" \
        wait_until 90 logged_after "$since" "Waking up from system sleep state S3"
    end
}
