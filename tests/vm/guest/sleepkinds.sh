# The other kinds of sleep a laptop uses, each asked for by an administrator past any user's
# block locks (an earlier scenario's wake leaves the test user's helper holding them). The kernel programs the RTC from alarm timers only on
# the way into suspend, so what wakes a machine from hibernation is the RTC alarm the daemon arms
# as every sleep begins. QEMU cannot show that wake: it powers a hibernating guest off for good,
# and never takes an RTC alarm as a wake from s2idle. So the guest tells the host (tests/vm/
# conductor) what the firmware would do, and checks what the hardware held: a sleep hook records
# the RTC as the guest goes down, after every delay lock has let go.

hook=/usr/lib/systemd/system-sleep/sollun-vm-rtc
# The RTC as each sleep hook call found it: a "== <phase> <verb> <action>" line, then the driver's
# report.
rtc_log=$state/rtc-at-sleep

tell_host() { echo "sollun-vm: $*" >/dev/ttyS0; }

prepare_sleep_kinds() {
    swapon /dev/vdb 2>/dev/null || swapon --show | grep -q '^/dev/vdb '
    mkdir -p "${hook%/*}" /etc/systemd/sleep.conf.d
    cat >"$hook" <<EOT
#!/bin/sh
{ echo "== \$1 \$2 \${SYSTEMD_SLEEP_ACTION:-}"; cat /proc/driver/rtc; } >>$rtc_log
EOT
    chmod 0755 "$hook"
    # A short first stage for suspend-then-hibernate, as a laptop's would be hours.
    printf '[Sleep]\nHibernateDelaySec=20s\n' >/etc/systemd/sleep.conf.d/sollun-vm.conf
}

# The RTC's alarm and whether its interrupt was on, as the last hook call on the way into a sleep
# found it (for suspend-then-hibernate, its hibernation where systemd calls the hooks for each
# stage): "YYYY-MM-DDTHH:MM:SSZ yes|no".
rtc_at_sleep() {
    awk -F'\t*: ' '
        /^== / { take = /^== pre / }
        take && /^alrm_time/ { t = $2 } take && /^alrm_date/ { d = $2 } take && /^alarm_IRQ/ { irq = $2 }
        END { print d "T" t "Z", irq }' "$rtc_log" 2>/dev/null
}

# Waits for the resume after the given cursor, from the kernel's line for the kind of sleep; sets
# resumed_at on the RTC's clock, as sleep_through does.
resumed_after() {
    local since=$1 line=$2 limit=$3
    check "the guest went to sleep and came back" wait_until "$limit" logged_after "$since" "$line"
    resumed_at=$(journalctl --after-cursor="$since" -k -o json -g "$line" |
        jq -r '((.__REALTIME_TIMESTAMP | tonumber) - (.__MONOTONIC_TIMESTAMP | tonumber)
                + (._SOURCE_MONOTONIC_TIMESTAMP | tonumber)) / 1000000' | tail -n 1)
    [[ -n $resumed_at ]] || resumed_at=0
    clock_ahead=$(clock_ahead_of_rtc)
    resumed_at=$(delta "$clock_ahead" "$resumed_at")
}

# rtc_held <wake> <since> <how the guest went down>: the RTC held the instant with its interrupt on
# as the guest went down, and the daemon armed it on the way.
rtc_held() {
    local wake=$1 since=$2 how=$3
    figure "RTC as the guest $how: $(rtc_at_sleep)"
    check "the RTC held the instant with its alarm on as the guest $how" \
        test "$(rtc_at_sleep)" = "$(iso "$wake") yes"
    check "the daemon armed the RTC on the way into the sleep" \
        logged_after "$since" "Going to sleep: armed the RTC for $wake\$"
}

# The checks every hibernating kind shares: the RTC held the instant with its interrupt on as the
# guest went down, the daemon said so, the guest came back from its image, and Sollun is launched
# once.
hibernated_for() {
    local wake=$1 since=$2
    resumed_after "$since" "PM: hibernation: hibernation exit" 600
    resumed
    figure "resumed $(delta "$wake" "$resumed_at") s after the instant (powered on at it by the host, then restored)"
    rtc_held "$wake" "$since" hibernated
    check "Sollun is launched" wait_until 30 test -s "$launches"
    sleep 3
    check "Sollun is launched once" test "$(grep -c '^launched' "$launches")" = 1
    check "no sleep failed" bash -c \
        '! journalctl --after-cursor="$1" -q -o cat -g "Failed to put system to sleep|Failed to suspend system" | grep .' - "$since"
}

# Before a sleep that may not come back: a fresh boot instead of the resume goes on with the
# scenarios after these, and says which one it cut short (see run).
expect_resume() {
    echo "$scenario" >"$state/unresumed"
    echo unresumed >"$state/phase"
    sync
}
resumed() {
    rm -f "$state/unresumed"
    echo first-boot >"$state/phase"
}

# Sollun's stand-in from an earlier scenario would still run, and a launch find it running.
fresh_launches() {
    pkill -x sollun_stub
    rm -f "$launches" "$rtc_log"
}

# sleep_to_disk <verb> <seconds ahead> <revision>: publishes a wake that far ahead and asks
# `systemctl <verb>`, the host to power the guest on at the instant; sets wake and since (the
# journal's position before the sleep) for the checks after the resume.
sleep_to_disk() {
    local verb=$1 ahead=$2 revision=$3
    fresh_launches
    sync_clock_to_rtc
    wake=$(($(date +%s) + ahead))
    publish "$revision" "$wake" 30
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    since=$(mark)
    expect_resume
    tell_host "power on at $wake"
    systemctl "$verb" --ignore-inhibitors || echo "systemctl $verb failed: $?"
}

scenario_hibernate() {
    begin hibernate
    prepare_sleep_kinds
    local wake since
    sleep_to_disk hibernate 75 90
    hibernated_for "$wake" "$since"
    end
}

scenario_suspend_then_hibernate() {
    begin suspend-then-hibernate
    local wake since
    sleep_to_disk suspend-then-hibernate 90 91
    check "the suspend stage ended at its delay and the guest went on to hibernate" \
        wait_until 600 logged_after "$since" "PM: hibernation: hibernation entry"
    hibernated_for "$wake" "$since"
    end
}

# s2idle: the alarm timer and the daemon's wakealarm are both armed on the way in; QEMU wakes the
# guest only for the key the host presses after the instant. That the RTC's interrupt came at the
# instant while the guest slept is counted in /proc/interrupts.
rtc_interrupts() { awk '$NF == "rtc0" { print $2 }' /proc/interrupts; }

scenario_s2idle() {
    begin s2idle-arming
    fresh_launches
    local mode
    mode=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/power/mem_sleep)
    echo s2idle >/sys/power/mem_sleep
    sync_clock_to_rtc
    local wake=$(($(date +%s) + 40)) since before
    publish 92 "$wake" 30
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    check "the daemon's alarm timer is armed for it" wait_until 5 armed_for "$wake"
    before=$(rtc_interrupts)
    since=$(mark)
    # The keyboard wakes the machine from s2idle only where it may (a laptop's does).
    local wakeup
    for wakeup in /sys/bus/serio/devices/serio*/power/wakeup; do echo enabled >"$wakeup"; done
    tell_host "press a key at $((wake + 10))"
    systemctl suspend --ignore-inhibitors || echo "systemctl suspend failed: $?"
    resumed_after "$since" "PM: suspend exit" 120
    figure "woken by the host's key $(delta "$wake" "$resumed_at") s after the instant"
    rtc_held "$wake" "$since" "went into s2idle"
    figure "RTC interrupts while in s2idle: $(($(rtc_interrupts) - before))"
    check "the RTC's alarm fired while the guest was in s2idle" test "$(rtc_interrupts)" -gt "$before"
    echo "${mode:-deep}" >/sys/power/mem_sleep
    publish 93
    check "the wake is cleared" wait_until 15 stored ""
    end
}
