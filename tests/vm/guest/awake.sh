# After the wake for the alarm: the test user's helper keeps the machine awake with logind's block
# locks, with a reason a person understands, until 2 min after the alarm, and not after. Follows
# the wake scenario, whose schedule (alarm 30 s after the wake) it keeps. logind lets a user's own
# suspend past that user's locks (seen in the Debian 12 guest): what they stop is logind's own
# suspend for the lid and for idleness, and other users' requests, which a guest cannot show.

scenario_stay_awake() {
    begin stay-awake
    local alarm=$((woken_for + 30)) locks
    check "the test user has an active session on the seat, as a desktop login makes" user_session_active
    check "the helper holds its locks after the wake" wait_until 10 holds_locks
    locks=$(helper_locks)
    echo "logind lists: $locks"
    check "they block sleep, idle and the lid switch" grep -q '^sleep:idle:handle-lid-switch|' <<<"$locks"
    check "their reason names the alarm's time" grep -q "|Sollun's alarm is due at " <<<"$locks"
    check "the helper logged the hold" logged_after "$woken_since" "Holding sleep inhibitors until"

    sleep_until $((alarm + 110))
    check "the locks still hold 110 s after the alarm" holds_locks
    check "the locks are gone 2 min after the alarm" wait_until 20 bash -c '! holds_locks'
    figure "released $(delta "$((alarm + 120))" "$(now)") s after 2 min past the alarm"
    check "the helper logged the release" logged "Released sleep inhibitors: the alarm's window ended"

    end
}
