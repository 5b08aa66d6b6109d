# Helpers shared by the scripts that run copies of Wexlo (two-hosts-demo,
# discovery-check, window-shots): messages, waiting, stopping processes, the
# run's temporary folder, and hosts made of network namespaces. Sourced, not
# run, with the script's arguments; desktop-lib.sh adds the virtual-display
# helpers. A script may set `check` (1 when run as a test) and define
# check_alive, called while wait_for waits, to stop the run when a program it
# started has ended by itself.
# shellcheck shell=bash

prog=${0##*/}
start_ns=$(date +%s%N)

# -h or --help: the script's opening comment.
if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -Eeuo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

# Seconds, with tenths, since a time taken with date +%s%N.
since() {
    local ms=$((($(date +%s%N) - $1) / 1000000))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

say() { printf '[%5ss] %s\n' "$(since "$start_ns")" "$*"; }

fail() {
    printf '%s: FAILED: %s\n' "$prog" "$*" >&2
    exit 1
}

# In a check, what this machine cannot do is a skip, said as such.
cannot() {
    ((${check:-0})) || fail "$@"
    printf '%s: SKIPPED: %s\n' "$prog" "$*"
    exit 77
}

# The ERR trap only notes where a command failed; the end of the run says so
# once it has ended in failure. Commands that fail in a subshell (a search in
# $(...) that finds nothing) or whose failure is handled never end a run, and
# a run that passes says nothing about them.
failed_at=""
trap 'failed_at="line $LINENO: $BASH_COMMAND"' ERR

check_alive() { :; }

# True when the process has ended (gone, or a zombie not yet waited for).
ended() {
    local state=""
    read -r _ _ state _ 2>/dev/null <"/proc/$1/stat" || return 0
    [[ $state == Z ]]
}

# True once the process has ended, within the seconds given.
wait_exit() {
    local i
    for ((i = 0; i <= $2 * 10; i++)); do
        ended "$1" && return 0
        sleep 0.1
    done
    return 1
}

# Ends the processes given (ours), by SIGTERM and after 5 s by SIGKILL.
stop() {
    local pid
    for pid in "$@"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "$@"; do wait_exit "$pid" 5 || kill -KILL "$pid" 2>/dev/null; done
}

# Retries a command every 0.05 s until it succeeds or the seconds run out.
wait_for() {
    local deadline=$(($(date +%s%N) + $1 * 1000000000))
    shift
    until "$@" >/dev/null 2>&1; do
        (($(date +%s%N) < deadline)) || return 1
        check_alive
        sleep 0.05
    done
}

# expect SECONDS WHAT COMMAND...: wait_for, or stop the run.
expect() {
    local seconds=$1 what=$2
    shift 2
    wait_for "$seconds" "$@" || fail "$what did not happen within ${seconds}s"
}

# start_work NAME KEEP LOGS: makes the run's temporary folder, $work
# (/tmp/NAME.XXXXXX), and sets how the run ends, whichever way it ends: the
# script's teardown (it stops what the run started), the last lines of the
# logs LOGS (a pattern under $work) when the run failed, and the folder
# removed unless the variable named KEEP is 1.
start_work() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    keep_variable=$2 failure_logs=$3
    trap end_run EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
teardown() { :; }
end_run() {
    local rc=$? f
    set +e
    trap - EXIT INT TERM ERR
    [[ $rc -ne 0 && -n $failed_at ]] && echo "$prog: FAILED at $failed_at" >&2
    if ((rc != 0)); then
        # shellcheck disable=SC2086 # the pattern is to be expanded
        for f in "$work"/$failure_logs; do
            [[ -s "$f" ]] || continue
            echo "--- last lines of ${f#"$work"/}:" >&2
            grep -v '^ALSA lib' "$f" | tail -n 15 >&2
        done
    fi
    teardown
    wait 2>/dev/null
    if [[ ${!keep_variable:-} == 1 ]]; then
        echo "$prog: kept $work" >&2
    else
        rm -rf "$work"
    fi
    exit $rc
}

# make_hosts PREFIX NET A B: two hosts, the namespaces "PREFIX-A" and
# "PREFIX-B", each with an eth0 (multicast on) at the ends of one veth pair,
# at the addresses NET.1 and NET.2. Each resolves both names through its own
# /etc/hosts, and its resolver (nobody on 127.0.0.1) fails at once for any
# other name. PREFIX ends in the run's pid: the hosts a run of the same kind
# left behind when it was killed outright (its pid gone) are removed first.
make_hosts() {
    local prefix=$1 net=$2 a=$3 b=$4 ns owner
    local kind=${prefix%-*}- hosts veth=wxh${prefix##*-}
    for ns in $(ip netns list | awk -v kind="$kind" 'index($1, kind) == 1 { print $1 }'); do
        owner=${ns#"$kind"}
        owner=${owner%%-*}
        if [[ $owner =~ ^[0-9]+$ ]] && ! kill -0 "$owner" 2>/dev/null; then
            ip netns del "$ns" 2>/dev/null || true
            rm -rf "/etc/netns/$ns"
        fi
    done
    hosts=$(printf '127.0.0.1 localhost\n%s.1 %s\n%s.2 %s\n' "$net" "$a" "$net" "$b")
    for ns in "$prefix-$a" "$prefix-$b"; do
        mkdir -p "/etc/netns/$ns"
        printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$ns/resolv.conf"
        printf '%s\n' "$hosts" >"/etc/netns/$ns/hosts"
        ip netns add "$ns"
        ip -n "$ns" link set lo up
    done
    ip link add "${veth}a" type veth peer name "${veth}b"
    ip link set "${veth}a" netns "$prefix-$a" name eth0
    ip link set "${veth}b" netns "$prefix-$b" name eth0
    ip -n "$prefix-$a" addr add "$net.1/24" dev eth0
    ip -n "$prefix-$b" addr add "$net.2/24" dev eth0
    ip -n "$prefix-$a" link set eth0 multicast on up
    ip -n "$prefix-$b" link set eth0 multicast on up
}

# remove_hosts PREFIX NAME...: ends every process left in the namespaces
# (all of them ours) and removes the namespaces and their /etc/netns entries.
remove_hosts() {
    local prefix=$1 name ns pids
    shift
    for name in "$@"; do
        ns="$prefix-$name"
        pids=$(ip netns pids "$ns" 2>/dev/null) || continue
        # shellcheck disable=SC2086 # one argument per process
        [[ -n "$pids" ]] && stop $pids
    done
    for name in "$@"; do
        ip netns del "$prefix-$name" 2>/dev/null
        rm -rf "/etc/netns/$prefix-$name"
    done
    # A veth end that never made it into its namespace.
    ip link del "wxh${prefix##*-}a" 2>/dev/null || true
}
