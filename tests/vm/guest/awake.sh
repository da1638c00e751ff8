# After the wake for the alarm: the test user's helper keeps the machine awake with logind's block
# locks, with a reason a person understands, until 2 min after the alarm, and not after. Follows the
# wake scenario, whose schedule (alarm 30 s after the wake) it keeps.

# Asks logind to suspend as the test user; prints logind's answer. Should the request get through,
# an RTC alarm 30 s ahead brings the guest back, so the run goes on and the check fails.
user_suspend_answer() {
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    echo "+30" >/sys/class/rtc/rtc0/wakealarm
    as_user busctl call org.freedesktop.login1 /org/freedesktop/login1 \
        org.freedesktop.login1.Manager Suspend b false 2>&1
    echo 0 >/sys/class/rtc/rtc0/wakealarm
}

scenario_stay_awake() {
    begin stay-awake
    local alarm=$((woken_for + 30)) locks answer released
    check "the test user has an active session on the seat, as a desktop login makes" user_session_active
    check "the helper holds its locks after the wake" wait_until 10 holds_locks
    locks=$(helper_locks)
    echo "logind lists: $locks"
    check "they block sleep, idle and the lid switch" grep -q '^sleep:idle:handle-lid-switch|' <<<"$locks"
    check "their reason names the alarm's time" grep -q "|Sollun's alarm is due at " <<<"$locks"
    check "the helper logged the hold" logged "Holding sleep inhibitors until"

    answer=$(user_suspend_answer)
    figure "the test user's suspend: ${answer:-carried out}"
    check "a suspend asked by the test user is refused while they hold" grep -qi 'inhibit' <<<"$answer"

    sleep_until $((alarm + 110))
    check "the locks still hold 110 s after the alarm" holds_locks
    check "the locks are gone 2 min after the alarm" wait_until 20 bash -c '! holds_locks'
    released=$(now)
    figure "released $(delta "$((alarm + 120))" "$released") s after 2 min past the alarm"
    check "the helper logged the release" logged "Released sleep inhibitors: the alarm's window ended"
    end
}
