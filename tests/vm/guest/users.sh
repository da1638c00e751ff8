# Two users of one machine, each with Sollun and the helper: each user's wake is their own, and
# each wakes the machine. A user without a session on the seat (a service account, a remote login)
# may not schedule at all.

# The product's events in the daemon's store as "uid time", one a line (times in epoch seconds).
events_by_user() {
    jq -r --arg owner "$owner" \
        '.[] | objects | select(.scheduledby == $owner) |
         "\(.uid // "-") \(.time | sub("\\.[0-9]+"; "") | fromdate)"' "$store" | sort
}
stored_for_users() { [[ $(events_by_user) == "$1" ]]; }
published_for() {
    local user=$1
    local container=/home/$user/.local/share/group.com.kestrovane.sollun
    published "$2"
}

scenario_users() {
    begin users
    admin_sleeps
    local other=visitor other_uid
    other_uid=$(id -u "$other")

    # Without a session: the helper as a plain process of the other user, from the scenarios'
    # service, as a service account or a cron job would run it.
    local before refused_at
    before=$(cat "$store")
    refused_at=$(mark)
    publish_as "$other" 1 "$(($(date +%s) + 3600))"
    runuser -u "$other" -- env -i HOME="/home/$other" /usr/bin/SollunHelper &
    local sessionless=$!
    check "a caller without a session is refused by polkit's verdict" \
        wait_until 30 logged_after "$refused_at" "Daemon rejected wake: Not authorized to change the wake schedule"
    check "nothing of theirs reached the store" test "$(cat "$store")" = "$before"
    kill "$sessionless"
    wait "$sessionless" 2>/dev/null

    # With a session: the other user logged in on the second console, inactive behind the test
    # user's, their helper started in it.
    log_in_with_helper "$other" tty2
    check "the other user has a session on the seat" has_session "$other"
    check "the other user's helper runs in their session" run_helper "$other"

    sync_clock_to_rtc
    local first=$(($(date +%s) + 45))
    local second=$((first + 45))
    publish 80 "$first"
    publish_as "$other" 2 "$second"
    check "each user's wake is in the store under their uid" \
        wait_until 20 stored_for_users "$(printf '1000 %s\n%s %s' "$first" "$other_uid" "$second")"
    check "the test user's status shows their wake" wait_until 15 published_for "$user" "$first"
    check "the other user's status shows their own" wait_until 15 published_for "$other" "$second"
    check "the daemon arms the earlier wake" armed_for "$first"
    sleep_until $((first - 30))
    sleep_through "$first"
    check "then the other user's" wait_until 10 armed_for "$second"
    # The test user's helper holds its block locks after the first wake: an administrator's
    # suspend goes past them.
    sleep_until $((second - 30))
    sleep_through "$second" --ignore-inhibitors

    # The other user's schedule without a wake clears theirs alone.
    local later=$(($(date +%s) + 3600))
    publish 81 "$later"
    publish_as "$other" 3
    check "the other user's clearing leaves the test user's wake" \
        wait_until 20 stored_for_users "1000 $later"
    stop_helper "$other"
    end
}
