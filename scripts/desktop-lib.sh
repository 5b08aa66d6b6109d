# Helpers shared by the scripts that drive Wexlo on virtual displays
# (two-hosts-demo, window-shots), on top of run-lib.sh, which this sources.
# Sourced, not run. The script sets $work (start_work) before it calls them.
# shellcheck shell=bash

# shellcheck source=scripts/run-lib.sh
source "${BASH_SOURCE[0]%/*}/run-lib.sh"

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
