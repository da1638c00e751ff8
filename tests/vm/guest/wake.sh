# A real suspend, woken by the daemon's own arming at the instant Sollun published, and Sollun
# launched for it.

# Suspends the guest now and checks that it resumes within 2 s of the instant; sets resumed_at,
# on the RTC's clock, and clock_ahead, the guest clock's lead over it after the resume. Further
# arguments go to `systemctl suspend` (--ignore-inhibitors for a suspend past users' block locks;
# see admin_sleeps).
sleep_through() {
    local wake=$1 since suspended
    shift
    # Without the alarm armed nothing would ever wake the guest.
    if ! armed_for "$wake"; then
        check "the daemon's alarm timer is armed before the suspend" false
        resumed_at=0
        return
    fi
    since=$(mark)
    suspended=$(now)
    echo "suspending at $(iso "${suspended%.*}"), the wake is at $(iso "$wake")"
    systemctl suspend "$@" || echo "systemctl suspend failed: $?"
    # This script is frozen while the guest sleeps; the kernel's resume line says when it woke.
    check "the guest suspended and resumed" \
        wait_until 90 logged_after "$since" "Waking up from system sleep state S3"
    # When the kernel printed it, not when the journal read it, which can be seconds later
    # under emulation: the journal's time of reading less the time between, on the monotonic clock.
    resumed_at=$(journalctl --after-cursor="$since" -k -o json -g "Waking up from system sleep state S3" |
        jq -r '((.__REALTIME_TIMESTAMP | tonumber) - (.__MONOTONIC_TIMESTAMP | tonumber)
                + (._SOURCE_MONOTONIC_TIMESTAMP | tonumber)) / 1000000' | tail -n 1)
    [[ -n $resumed_at ]] || resumed_at=0
    # The times above are the guest clock's; put on the RTC's, which the wake was armed on.
    clock_ahead=$(clock_ahead_of_rtc)
    figure "guest clock after the resume: $clock_ahead s ahead of the RTC"
    resumed_at=$(delta "$clock_ahead" "$resumed_at")
    figure "asleep $(delta "$suspended" "$resumed_at") s"
    figure "woke $(delta "$wake" "$resumed_at") s from the instant"
    check "woke within 2 s of the instant" \
        awk -v d="$(delta "$wake" "$resumed_at")" 'BEGIN { exit !(d >= -2 && d <= 2) }'
}

scenario_wake() {
    begin wake
    rm -f "$launches"
    sync_clock_to_rtc
    local wake=$(($(date +%s) + 40)) rtc
    rtc=$(cat /sys/class/rtc/rtc0/wakealarm)
    check "no RTC alarm could wake the guest before the instant" test "${rtc:-0}" = 0 -o "${rtc:-0}" -gt "$((wake + 2))"

    # The alarm 30 s after the wake: the machine is then kept awake until 2 min after it.
    publish 20 "$wake" 30
    woken_for=$wake woken_since=$(cursor)
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    sleep_until $((wake - 30))

    check "the daemon holds its delay lock for sleep" bash -c \
        'busctl --json=short call org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager \
             ListInhibitors | jq -e ".data[0][] | select(.[1] == \"Sollun wake daemon\" and .[3] == \"delay\")" >/dev/null'
    sleep_through "$wake"
    # The RTC too, for sleeps the alarm timer does not wake from; let go of before the sleep.
    check "the daemon armed the RTC for the wake on the way into the sleep" \
        logged "Going to sleep: armed the RTC for $wake\$"
    check "the daemon let its delay lock go for the sleep" \
        logged_after "$(cursor)" "Released the delay lock for sleep"

    check "Sollun is launched" wait_until 15 test -s "$launches"
    # Both the wake notification and the launch timer ask; the second must find it running.
    check "the launch timer fired" wait_until 15 logged "App-launch timer fired"
    sed "s/^/Sollun stand-in: /" "$launches"
    check "Sollun is launched once" test "$(grep -c '^launched' "$launches")" = 1
    local launched
    launched=$(delta "$clock_ahead" "$(stat -c %.9Y "$launches")")
    figure "Sollun launched $(delta "$wake" "$launched") s from the instant"
    # Under emulation a program starts in tenths of a second in the Debian 12 guest and in
    # seconds in the Debian 13 guest, as slow as every start there; 5 s tells either from a
    # launch that waited for something.
    check "Sollun launched no earlier than the wake and within 5 s after the instant" \
        awk -v d="$(delta "$wake" "$launched")" -v w="$(delta "$wake" "$resumed_at")" \
        'BEGIN { exit !(d >= w - 0.5 && d <= 5) }'
    check "helper-status.json shows the wake" published "$wake"
    end
}
