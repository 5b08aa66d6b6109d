# Helpers shared by the scripts that drive Wexlo on virtual displays
# (two-hosts-demo, window-shots). Sourced, not run. The script sets, before it
# calls them:
#   work      its temporary folder
# and may define check_alive, called while wait_for waits, to stop the run
# when a program it started has ended by itself.
# shellcheck shell=bash

prog=${0##*/}
start_ns=$(date +%s%N)

now_ms() { echo $((($(date +%s%N) - start_ns) / 1000000)); }

say() {
    local ms
    ms=$(now_ms)
    printf '[%3d.%ds] %s\n' $((ms / 1000)) $((ms % 1000 / 100)) "$*"
}

fail() {
    printf '%s: FAILED: %s\n' "$prog" "$*" >&2
    exit 1
}

# The ERR trap only notes where a command failed; report_failure says so once
# the run has ended in failure. Commands that fail in a subshell (a search in
# $(...) that finds nothing) or whose failure is handled never end a run, and
# a run that passes says nothing about them.
failed_at=""
trap 'failed_at="line $LINENO: $BASH_COMMAND"' ERR
report_failure() {
    [[ $1 -ne 0 && -n $failed_at ]] && echo "$prog: FAILED at $failed_at" >&2
    return 0
}

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

# xd DISPLAY ARGS...: xdotool on that display. A search ends with BadWindow
# when a window goes while it looks at it (a menu closing, a tooltip); it is
# tried again then.
xd() {
    local display=$1 out rc errors="${work:?}/xdotool-errors.$BASHPID"
    shift
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        rc=0
        out=$(DISPLAY=$display xdotool "$@" 2>"$errors") || rc=$?
        [[ $1 == search && $rc -ne 0 ]] && grep -q BadWindow "$errors" && continue
        break
    done
    [[ -n $out ]] && printf '%s\n' "$out"
    [[ -s $errors ]] && cat "$errors" >&2
    rm -f "$errors"
    return $rc
}

# Qt takes a second press of a button within its double-click interval (400 ms
# unless the desktop says otherwise) and a few pixels of the first for a
# double click. Two clicks meant apart wait that out, per display.
double_click_ms=400
declare -A last_click_ns last_click_x last_click_y

# click DISPLAY X Y XDOTOOL-CLICK-ARGS...: moves there and clicks.
click() {
    local display=$1 x=$2 y=$3 wait_ms
    shift 3
    if [[ -n ${last_click_ns[$display]:-} ]] &&
        ((${last_click_x[$display]} - x <= 8 && x - ${last_click_x[$display]} <= 8 &&
            ${last_click_y[$display]} - y <= 8 && y - ${last_click_y[$display]} <= 8)); then
        wait_ms=$((double_click_ms + 100 - ($(date +%s%N) - last_click_ns[$display]) / 1000000))
        ((wait_ms > 0)) && sleep "$((wait_ms / 1000)).$(printf %03d $((wait_ms % 1000)))"
    fi
    xd "$display" mousemove "$x" "$y" click "$@"
    last_click_ns[$display]=$(date +%s%N)
    last_click_x[$display]=$x
    last_click_y[$display]=$y
}

# Sets X Y WIDTH HEIGHT of a window, in screen coordinates.
geometry() {
    local text key value
    text=$(xd "$1" getwindowgeometry --shell "$2") || return 1
    while IFS='=' read -r key value; do
        case $key in
            X) X=$value ;;
            Y) Y=$value ;;
            WIDTH) WIDTH=$value ;;
            HEIGHT) HEIGHT=$value ;;
        esac
    done <<<"$text"
}

# The program's docked tray icon: a small visible window of its class.
tray_icon() {
    # shellcheck disable=SC2034 # geometry sets all four
    local id X Y WIDTH HEIGHT
    for id in $(xd "$1" search --onlyvisible --classname wexlo 2>/dev/null); do
        geometry "$1" "$id" || continue
        if ((WIDTH > 0 && WIDTH <= 48 && HEIGHT > 0 && HEIGHT <= 48)); then
            echo "$id"
            return 0
        fi
    done
    return 1
}

# shot DISPLAY FILE: the whole screen.
shot() { import -display "$1" -window root "$2"; }

# window_shot DISPLAY WINDOW FILE: a window with its title bar and border,
# when a window manager drew them.
window_shot() { import -display "$1" -window "$2" -frame "$3"; }

# crop SOURCE DEST X Y W H, clamped to the picture.
crop() {
    local src=$1 dest=$2 x=$3 y=$4 w=$5 h=$6 sw sh
    read -r sw sh < <(identify -format '%w %h\n' "$src")
    ((x < 0)) && { w=$((w + x)); x=0; }
    ((y < 0)) && { h=$((h + y)); y=0; }
    ((x + w > sw)) && w=$((sw - x))
    ((y + h > sh)) && h=$((sh - y))
    convert "$src" -crop "${w}x${h}+${x}+${y}" +repage "$dest"
}
