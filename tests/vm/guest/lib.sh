# What the scenarios share: the product's paths, the test user, publishing a schedule as Sollun
# does, waiting with a deadline, and each scenario's verdict.

state=/var/lib/sollun-vm
input=$state/input
results=$state/results
fixtures=/usr/local/lib/sollun-vm
store=/var/lib/sollun-wakedaemon/power-events.json
user=sleeper
home=/home/$user
container=$home/.local/share/group.com.kestrovane.sollun
launches=$home/sollun-launches
owner=com.kestrovane.sollun

as_user() { runuser -u "$user" -- "$@"; }
user_systemctl() { systemctl --user -M "$user@" "$@"; }
now() { date +%s.%N; }
iso() { date -u -d "@$1" +%Y-%m-%dT%H:%M:%SZ; }
# b - a, in seconds with millisecond precision.
delta() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Sollun's side: an atomic rewrite of wake-schedule.json, as the user. With no wake, none; the alarm
# comes 60 s after the wake unless another lead is given.
publish() {
    local revision=$1 wake=${2:-} lead=${3:-60} json
    if [[ -n $wake ]]; then
        json=$(printf '{"wakeDate":"%s","alarmDate":"%s","revision":%d,"writerVersion":"vm"}' \
            "$(iso "$wake")" "$(iso "$((wake + lead))")" "$revision")
    else
        json=$(printf '{"revision":%d,"writerVersion":"vm"}' "$revision")
    fi
    as_user mkdir -p "$container"
    as_user sh -c 'printf "%s" "$1" >"$2.tmp" && mv "$2.tmp" "$2"' sh "$json" "$container/wake-schedule.json"
}

# publish_as <user> <revision> [wake [lead]]: another user's Sollun publishing.
publish_as() {
    local user=$1
    local container=/home/$user/.local/share/group.com.kestrovane.sollun
    shift
    publish "$@"
}

# The times of the product's events in the daemon's store, in epoch seconds, one a line.
product_events() {
    [[ -f $store ]] || return 0
    jq -r --arg owner "$owner" \
        '.[] | objects | select(.scheduledby == $owner) | .time | sub("\\.[0-9]+"; "") | fromdate' "$store"
}

# The block locks logind lists for the test user's helper, one "what|why" a line.
helper_locks() {
    busctl --json=short call org.freedesktop.login1 /org/freedesktop/login1 \
        org.freedesktop.login1.Manager ListInhibitors |
        jq -r '.data[0][] | select(.[1] == "Sollun" and .[3] == "block" and .[4] == 1000) | "\(.[0])|\(.[2])"'
}
holds_locks() { [[ -n $(helper_locks) ]]; }
export -f helper_locks holds_locks

# Whether the test user has a session logind counts as theirs on the machine's seat, as a desktop
# login makes: the autologin on the first virtual console.
user_session_active() {
    local session
    session=$(loginctl show-user "$user" -P Display 2>/dev/null) && [[ -n $session ]] &&
        [[ $(loginctl show-session "$session" -P State) == active ]]
}

# A user's session on the seat as a desktop's: the autologin on a virtual console (tty1 for the
# test user) runs a login script that starts the helper from its desktop entry's command at login
# when the user has it start with the session, and whenever the user asks (the scenarios, through
# a file); it never starts it again by itself.
session_script='d=~/.sollun-vm
run() { eval "$(sed -n "s/^Exec=//p" /usr/share/applications/com.kestrovane.sollun.helper.desktop)" & }
[ -e $d/autostart ] && run
while sleep 0.5; do [ -e $d/run ] && rm -f $d/run && run; done'
# log_in_with_helper <user> [tty]: writes the login script and logs the user in on the console
# afresh, so that the new session runs it.
log_in_with_helper() {
    local who=$1 tty=${2:-tty1}
    install -d -o "$who" "/home/$who/.sollun-vm"
    install -o "$who" -m 0644 /dev/stdin "/home/$who/.bash_profile" <<<"$session_script"
    local conf
    conf=$(sed "s/--autologin [a-z]*/--autologin $who/" /etc/systemd/system/getty@tty1.service.d/autologin.conf)
    mkdir -p "/etc/systemd/system/getty@$tty.service.d"
    echo "$conf" >"/etc/systemd/system/getty@$tty.service.d/autologin.conf"
    systemctl daemon-reload
    systemctl restart "getty@$tty.service"
    wait_until 30 has_session "$who"
}
# The user's session on the seat, if they have one.
session_of() {
    loginctl list-sessions --no-legend | awk -v u="$1" '$3 == u && $4 == "seat0" { print $1; f = 1 } END { exit !f }'
}
has_session() { session_of "$1" >/dev/null; }
# run_helper <user>: asks the user's session to start the helper; true once it runs there.
run_helper() {
    touch "/home/$1/.sollun-vm/run"
    wait_until 15 helper_in_session "$1"
}
helper_pid() { pgrep -u "${1:-$user}" -x SollunHelper | head -n 1; }
# Whether the user's helper runs inside a logind session of theirs.
helper_in_session() {
    local pid
    pid=$(helper_pid "$1") && [[ -n $pid ]] && grep -q '/session-[0-9]*\.scope$' "/proc/$pid/cgroup"
}
stop_helper() {
    pkill -u "${1:-$user}" -x SollunHelper
    wait_until 10 bash -c '! pgrep -u "$0" -x SollunHelper' "${1:-$user}"
}

# The scenarios act as the machine's administrator, whose sleeps go past users' block locks when
# asked to (--ignore-inhibitors). Debian 12's logind lets root do so outright; Debian 13's asks
# polkit, which wants an administrator's password from a process outside any session.
admin_sleeps() {
    cat >/etc/polkit-1/rules.d/48-sollun-vm-admin.rules <<'EOT'
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.login1.") == 0 && action.id.match(/-ignore-inhibit$/) &&
        subject.user == "root")
        return polkit.Result.YES;
});
EOT
}

status_wake() { jq -r '.lastScheduledWake // empty' "$container/helper-status.json" 2>/dev/null; }

# The time the daemon's alarm timer is set to, in epoch seconds, from its timerfd's fdinfo
# (clockid 8 is CLOCK_REALTIME_ALARM; it_value is the time left).
armed_alarm() {
    local pid fdinfo left
    pid=$(systemctl show -P MainPID sollun-wakedaemon.service)
    for fdinfo in /proc/"$pid"/fdinfo/*; do
        grep -q '^clockid: 8$' "$fdinfo" 2>/dev/null || continue
        left=$(sed -n 's/^it_value: (\([0-9]*\), .*/\1/p' "$fdinfo")
        echo $(($(date +%s) + left))
        return
    done
}

# Whether the alarm timer is set within 2 s of the instant.
armed_for() { local at; at=$(armed_alarm); [[ -n $at ]] && ((at - $1 <= 2 && $1 - at <= 2)); }
export -f armed_alarm armed_for

# Whether the store holds exactly this one product event, and whether the status shows it.
stored() { [[ $(product_events) == "$1" ]]; }
published() { [[ $(status_wake) == "$(iso "$1")" ]]; }

# How far the guest's clock is ahead of the RTC's (negative: behind), to the RTC's tick. Under
# emulation the guest's clock drifts from the RTC, which keeps the host's time, and the kernel
# sets it again from the RTC at every resume only to the second: the RTC is the reference clock.
clock_ahead_of_rtc() {
    local first next
    first=$(cat /sys/class/rtc/rtc0/since_epoch)
    while next=$(cat /sys/class/rtc/rtc0/since_epoch) && [[ $next == "$first" ]]; do
        sleep 0.01
    done
    delta "$next" "$(now)"
}
# Sets the guest's clock to the RTC's before a wake is published (a real machine keeps its clock
# with NTP).
sync_clock_to_rtc() {
    local ahead
    ahead=$(clock_ahead_of_rtc)
    date -s "@$(awk -v a="$ahead" -v n="$(now)" 'BEGIN { printf "%.3f", n - a }')" >/dev/null
    figure "guest clock set to the RTC: it was $ahead s ahead"
}

# Sleeps until the epoch second, if it is ahead: the scenarios' fixed moments, as a user's.
sleep_until() {
    local left=$(($1 - $(date +%s)))
    ((left <= 0)) || sleep "$left"
}

# wait_until <seconds> <command>...: true once the command is, false at the deadline.
wait_until() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        (($(date +%s) < deadline)) || return 1
        sleep 0.2
    done
}

# Scenario bookkeeping, kept on the guest's disk so that a scenario can span a reboot. A check
# that fails is recorded and the scenario goes on, so that one run shows every fault; the verdict
# is kept for the host.
begin() {
    scenario=$1
    rm -rf "${state:?}/$scenario" && mkdir -p "$state/$scenario"
    now >"$state/$scenario/started"
    mark >"$state/$scenario/cursor"
    echo "== $scenario"
}
resume() { scenario=$1; echo "== $scenario, after the reboot"; }
cursor() { cat "$state/$scenario/cursor"; }
check() {
    local what=$1
    shift
    "$@" || { echo "$what" >>"$state/$scenario/failed"; echo "FAILED: $what"; }
}
figure() { echo "$1" | tee -a "$state/$scenario/figures"; }
# The journal's position now; whether it has a line matching the pattern since the scenario began,
# or since a position.
mark() { journalctl -n 0 --show-cursor -q | sed -n 's/^-- cursor: //p'; }
logged() { logged_after "$(cursor)" "$1"; }
logged_after() { journalctl --after-cursor="$1" -q -o cat -g "$2" | grep -q .; }
end() {
    local dir=$state/$scenario verdict=PASS
    [[ -s $dir/failed ]] && verdict=FAIL
    {
        echo "$verdict $(delta "$(cat "$dir/started")" "$(now)")"
        sed 's/^/figure: /' "$dir/figures" 2>/dev/null
        sed 's/^/failed: /' "$dir/failed" 2>/dev/null
    } >"$results/$scenario.result"
    if [[ $verdict == FAIL ]]; then
        journalctl --after-cursor="$(cursor)" -o short-precise --no-pager \
            -t SollunWakeDaemon -t SollunHelper -t dbus-daemon -t systemd -t kernel \
            -t sollun-vm-start >"$results/$scenario.journal" 2>&1
    fi
    # On the disk before anything else can happen: the host reads it with debugfs, which does not
    # replay ext4's journal after a guest killed by the watchdog.
    sync
    echo "== $scenario: $verdict"
}
