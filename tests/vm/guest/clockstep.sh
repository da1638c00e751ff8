# The wall clock stepped under the helper's armed launch timer: Sollun is launched when the wall
# clock reaches the instant, not when the delay left at arming has passed. Stepped back, a timer
# counting down that delay would launch before the instant; stepped forward past the instant, long
# after it. The guest's clock is set to the RTC's again afterwards.

# Moves the guest's clock by the given seconds, as an administrator or a time daemon would.
step_clock() {
    date -s "@$(awk -v s="$1" -v n="$(now)" 'BEGIN { printf "%.3f", n + s }')" >/dev/null
}

# The wall-clock time of Sollun's launch, from its stand-in's record.
launched_at() { stat -c %.9Y "$launches"; }

scenario_clock_step() {
    begin clock-step
    local wake since stepped

    # Back 15 s with the instant 20 s ahead: a countdown would launch 15 s before the instant.
    pkill -x sollun_stub
    rm -f "$launches"
    sync_clock_to_rtc
    wake=$(($(date +%s) + 20))
    since=$(mark)
    publish 70 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    step_clock -15
    check "Sollun is launched after the clock stepped back" wait_until 45 test -s "$launches"
    check "by the launch timer" wait_until 5 logged_after "$since" "App-launch timer fired"
    figure "stepped back 15 s: launched $(delta "$wake" "$(launched_at)") s from the instant"
    check "launched no earlier than the instant and within 5 s after it" \
        awk -v d="$(delta "$wake" "$(launched_at)")" 'BEGIN { exit !(d >= 0 && d <= 5) }'
    check "Sollun is launched once" test "$(grep -c '^launched' "$launches")" = 1

    # Forward 65 s with the instant 60 s ahead: a countdown would launch about a minute late.
    pkill -x sollun_stub
    rm -f "$launches"
    wake=$(($(date +%s) + 60))
    since=$(mark)
    publish 71 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    step_clock 65
    stepped=$(now)
    check "Sollun is launched after the clock stepped forward" wait_until 30 test -s "$launches"
    check "by the launch timer" wait_until 5 logged_after "$since" "App-launch timer fired"
    figure "stepped forward past the instant: launched $(delta "$stepped" "$(launched_at)") s after the step"
    check "launched within 10 s of the step" \
        awk -v d="$(delta "$stepped" "$(launched_at)")" 'BEGIN { exit !(d >= 0 && d <= 10) }'
    check "Sollun is launched once" test "$(grep -c '^launched' "$launches")" = 1

    # Nothing of it left for the scenarios after: no wake, no locks, the clock the RTC's.
    publish 72
    check "the wake is cleared" wait_until 15 stored ""
    check "the helper holds no locks" wait_until 15 bash -c '! holds_locks'
    sync_clock_to_rtc
    end
}
