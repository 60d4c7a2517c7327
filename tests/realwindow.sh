#!/usr/bin/env bash
# The real program in a real X window (Xvfb, xcb), driven by key events against the
# simulator: port dialog Enter, Alt+S for a dose, Esc and No. Checks the wire and the exit.
set -uo pipefail
program="$1" simulator="$2"
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- controller log"; cat "$work/log" 2>/dev/null; exit 1; }

exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 20 display <&3 || fail "Xvfb did not start"
export DISPLAY=":$display"

"$simulator" --log "$work/log" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -n1 "$work/sim.out")
[ -n "$device" ] || fail "the simulator printed no device"

mkdir -p "$work/config/vyt"
printf '[Ports]\nCOM1=%s\n' "$device" >"$work/config/vyt/vyt.conf"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$program" >"$work/app.log" 2>&1 &
app=$!
pids+=($app)

# Waits (at most 20 s) for a window with this title and gives it the keyboard.
focus() {
    local id
    id=$(xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n1) || true
    [ -n "$id" ] || fail "no window \"$1\""
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
}
wait_log() {
    for _ in $(seq 200); do grep -q "$1" "$work/log" 2>/dev/null && return 0; sleep 0.1; done
    fail "the controller never received \"$1\""
}

focus "Serial ports"
xdotool key Return
focus "COM1: vyt-Pump controller"
xdotool key alt+s
wait_log " VER$"
wait_log " NP "
xdotool key Escape
focus "Exit"
xdotool key alt+n
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "the program did not end"
wait "$app"; code=$?
[ "$code" -eq 0 ] || fail "exit code $code"

lines=$(sed 's/^[^ ]* //' "$work/log")
expected_tail=$'SOR 0\nV 0'
[ "$(printf '%s\n' "$lines" | tail -n2)" = "$expected_tail" ] || fail "the last commands were not SOR 0, V 0"
printf '%s\n' "$lines" | grep -qx 'LA 4267' || fail "no LA 4267 for 100 µl on 1.5 µl/rev with 16 lines"
echo "PASS: $(printf '%s\n' "$lines" | wc -l) commands, exit code 0"
