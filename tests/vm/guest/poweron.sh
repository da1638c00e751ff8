# Powering on from off: the daemon arms the RTC when systemd stops it at shutdown. QEMU keeps the
# CMOS across a reboot; the kernel's driver turns the alarm interrupt off when it probes, so the
# alarm is read from /proc/driver/rtc rather than wakealarm.

# The RTC alarm as "YYYY-MM-DDTHH:MM:SSZ" (the RTC keeps UTC).
rtc_alarm() {
    awk -F'\t*: ' '/^alrm_time/ { t = $2 } /^alrm_date/ { d = $2 } END { print d "T" t "Z" }' \
        /proc/driver/rtc
}

# Whether the daemon logged the text as the previous boot shut down.
daemon_logged_at_shutdown() {
    journalctl -b -1 -q -o cat -t SollunWakeDaemon | grep -qF "$1"
}

scenario_poweron_arm() {
    begin poweron
    local wake=$(($(date +%s) + 1800))
    echo "$wake" >"$state/poweron-wake"
    publish 30 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
}

scenario_poweron_check() {
    resume poweron
    local wake
    wake=$(cat "$state/poweron-wake")
    figure "RTC alarm after the reboot: $(rtc_alarm), the wake: $(iso "$wake")"
    check "the RTC was armed for the wake at shutdown" test "$(rtc_alarm)" = "$(iso "$wake")"
    check "the daemon logged the arming as it stopped" \
        daemon_logged_at_shutdown "Armed the RTC to power on at $wake"

    # Another program's earlier alarm, set the way such programs do.
    local foreign=$(($(date +%s) + 600))
    echo "$foreign" >"$state/poweron-foreign"
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    echo "$foreign" >/sys/class/rtc/rtc0/wakealarm
}

scenario_poweron_foreign() {
    resume poweron
    local foreign
    foreign=$(cat "$state/poweron-foreign")
    figure "RTC alarm after the second reboot: $(rtc_alarm), the other program's: $(iso "$foreign")"
    check "another program's earlier alarm is kept at shutdown" test "$(rtc_alarm)" = "$(iso "$foreign")"
    check "the daemon logged that it left the alarm alone" \
        daemon_logged_at_shutdown "earlier alarm at $foreign; left alone"
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    end
}
