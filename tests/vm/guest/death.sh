# The daemon killed while a wake is armed: systemd starts it again, it arms the saved wake anew,
# and a suspend is still woken at the instant, with nothing new from Sollun.

scenario_death() {
    begin daemon-death
    sync_clock_to_rtc
    local wake=$(($(date +%s) + 45)) pid killed
    publish 50 "$wake"
    check "the wake reaches the daemon's store" wait_until 15 stored "$wake"
    check "the daemon's alarm timer is armed for it" wait_until 5 armed_for "$wake"

    pid=$(systemctl show -P MainPID sollun-wakedaemon.service)
    killed=$(now)
    kill -KILL "$pid"
    check "a new daemon arms the wake again" \
        wait_until 20 bash -c '[[ $(systemctl show -P MainPID sollun-wakedaemon.service) != "$1" ]] &&
                               armed_for "$2"' - "$pid" "$wake"
    figure "killed to armed again: $(delta "$killed" "$(now)") s"
    check "the wake is still in the store" stored "$wake"

    sleep_until $((wake - 30))
    sleep_through "$wake"
    end
}
