# A wake further ahead than the RTC's alarm reaches (a day in these guests: their firmware declares
# no day-of-month alarm): the daemon keeps its alarm timer within that reach, so a suspend works
# (on Debian 12's kernel it fails outright for an alarm timer beyond it), and a wake for another
# program's earlier alarm meanwhile does not launch Sollun.

scenario_beyond_reach() {
    begin beyond-reach
    rm -f "$launches"
    sync_clock_to_rtc
    local wake=$(($(date +%s) + 3 * 86400)) armed foreign since
    publish 30 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    armed=$(armed_alarm)
    figure "alarm timer armed $((${armed:-0} - $(date +%s))) s ahead for a wake 3 days ahead"
    check "the alarm timer is armed no further than a day ahead" \
        test "${armed:-0}" -gt "$(date +%s)" -a "${armed:-0}" -le "$(($(date +%s) + 86400))"
    check "the daemon says it armed as far as the RTC reaches" logged "as far as the RTC reaches"

    # Another program's alarm 40 s ahead wakes the guest; the daemon leaves it alone.
    foreign=$(($(date +%s) + 40))
    echo 0 >/sys/class/rtc/rtc0/wakealarm
    echo "$foreign" >/sys/class/rtc/rtc0/wakealarm
    since=$(mark)
    systemctl suspend
    check "the guest suspended and resumed" \
        wait_until 90 logged_after "$since" "Waking up from system sleep state S3"
    check "no suspend failed" bash -c \
        '! journalctl --after-cursor="$1" -q -o cat -g "Failed to put system to sleep" | grep .' - "$since"
    check "the daemon left the other program's earlier alarm alone" \
        logged_after "$since" "the RTC holds another program's earlier alarm at $foreign"
    # Nothing can be waited on for a launch that must not come: the window the helper would use.
    sleep 5
    check "Sollun is not launched for a wake days before its instant" test ! -s "$launches"

    publish 31
    check "the wake is cleared" wait_until 15 stored ""
    end
}
