#!/usr/bin/env bash
# The real program in a real X window (Xvfb, xcb), driven by key events against the
# simulator, one program start per scenario:
#   dose     port dialog Enter, Alt+S for a dose, Esc and No: the wire and exit code 0;
#   deadline a 2 s flow ends on time while the About box stays open;
#   sigterm, sighup   a signal during an endless flow puts "SOR 0", "V 0" last on the line;
#   x-lost   the X server dies during an endless flow: "SOR 0", "V 0" last on the line;
#   calibrate  Ctrl+K, three doses each followed by its mass typed at once, Apply, the
#            factor kept as a new medium through the real name dialog;
#   buttons  Enter on the added buttons opens what they open and moves nothing; Enter held
#            for 2 s is one dose;
#   place    under a window manager, five restarts leave the window where it was;
#   heldkey  F12 held for 2 s in the console (Shift+Ctrl+H): one move on the line;
#   method   Ctrl+M, a method opened through the real file dialog and run by Alt+R: its
#            prompt holds it (Enter held as it opens answers nothing) until Enter continues.
# Each scenario runs in a subshell of its own: a failure ends that one and its processes,
# the others still run, and the summary names every failed scenario.
set -uo pipefail
program="$1" simulator="$2"
for tool in Xvfb xdotool xprop; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
scenario="" log="" app="" code=""
program_args=() # options for the program's start, besides the settings
stop_started() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; }
trap 'stop_started; rm -rf "$work"' EXIT
fail() {
    echo "FAIL ($scenario): $*"
    echo "--- controller log"; cat "$log" 2>/dev/null
    echo "--- program output"; cat "$work/$scenario.app" 2>/dev/null
    exit 1
}

# Polls CONDITION (a command) every STEP seconds, at most TIMEOUT seconds; no fixed waits.
poll() {
    local timeout="$1" step="$2" tries
    shift 2
    tries=$(awk -v t="$timeout" -v s="$step" 'BEGIN { print int(t / s + 0.5) }')
    for _ in $(seq "$tries"); do "$@" && return 0; sleep "$step"; done
    "$@"
}

# A fresh X server; DISPLAY points at it, its pid is in xvfb.
start_display() {
    local display
    exec 3<> <(:)
    # -noreset: a server that resets when its last client leaves refuses the next one meanwhile.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$work/xvfb-$1.log" 2>&1 &
    xvfb=$!
    pids+=($xvfb)
    read -r -t 20 display <&3 || fail "Xvfb did not start"
    exec 3<&-
    export DISPLAY=":$display"
}

# A fresh simulator for the scenario; its log stamps in UTC so that stamps compare plainly.
start_sim() {
    log="$work/$scenario.log"
    TZ=UTC "$simulator" --log "$log" >"$work/$scenario.sim" 2>&1 &
    pids+=($!)
    poll 10 0.1 test -s "$work/$scenario.sim"
    device=$(head -n1 "$work/$scenario.sim")
    [ -n "$device" ] || fail "the simulator printed no device"
}

# Starts the program on its own settings; the arguments are extra lines for [COM1].
start_program() {
    local config="$work/$scenario.config"
    mkdir -p "$config/vyt"
    printf '[Ports]\nCOM1=%s\n' "$device" >"$config/vyt/vyt.conf"
    if [ $# -gt 0 ]; then printf '[COM1]\n'; printf '%s\n' "$@"; fi >>"$config/vyt/vyt.conf"
    journal="$config/vyt-pump-controller/runs.csv"
    XDG_CONFIG_HOME="$config" XDG_DATA_HOME="$config" QT_QPA_PLATFORM=xcb "$program" "${program_args[@]}" \
        >"$work/$scenario.app" 2>&1 &
    app=$!
    pids+=($app)
}

# The same program again, on the settings it saved.
restart_program() {
    XDG_CONFIG_HOME="$work/$scenario.config" XDG_DATA_HOME="$work/$scenario.config" QT_QPA_PLATFORM=xcb \
        "$program" >>"$work/$scenario.app" 2>&1 &
    app=$!
    pids+=($app)
}

# A new scenario: its simulator and its program, through the port dialog to the main window.
begin() {
    scenario="$1"
    shift
    start_sim
    start_program "$@"
    focus "Serial ports"
    expect_title "Serial ports" "Serial ports"
    xdotool key Return
    focus "COM1: vyt-Pump controller"
}

# xdotool's own --sync waits forever for a window that never comes: poll instead, and
# give up as soon as the program has ended.
window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
window_open() { [ -n "$(window_id "$1")" ]; }
# Waits (at most 10 s) for a window with this title and gives it the keyboard.
focus() {
    local id
    poll 10 0.05 or_ended window_open "$1"
    id=$(window_id "$1")
    [ -n "$id" ] || fail "no window \"$1\""
    timeout 5 xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
}

logged() { grep -Eq "$1" "$log" 2>/dev/null; }
# STEP: 0.02 where a key must follow the command closely.
wait_log() {
    poll 10 "${2:-0.1}" or_ended logged "$1"
    logged "$1" || fail "the controller never received \"$1\""
}

running() { kill -0 "$app" 2>/dev/null; }
# True when the condition holds or there is no program left to make it hold.
or_ended() { "$@" || ! running; }
# Waits (at most 10 s) for the program to end; its exit code goes to code.
wait_exit() {
    poll 10 0.05 eval '! running' || fail "the program did not end"
    wait "$app"; code=$?
}

commands() { sed 's/^[^ ]* //' "$log"; }
# The simulator may log the last bytes after the program has gone: the stop counts as
# last once the log has not grown between two looks.
stop_is_last() {
    local size
    size=$(wc -c <"$log")
    [ "$size" = "${last_size:-}" ] && [ "$(commands | tail -n2)" = $'SOR 0\nV 0' ] && return 0
    last_size=$size
    return 1
}
expect_stop_last() {
    last_size=""
    poll 2 0.05 stop_is_last || fail "the last commands were not SOR 0, V 0"
}

# Milliseconds from the first command matching FROM to the first later one matching TO
# (extended regular expressions).
stamp_ms() { TZ=UTC date -d "$1" +%s%3N; }
interval_ms() {
    local stamps
    stamps=$(awk -v from="$1" -v to="$2" '
        !a && $0 ~ from { a = $1; next }
        a && $0 ~ to { print a, $1; exit }' "$log")
    [ -n "$stamps" ] || return 1
    set -- $stamps
    echo $(($(stamp_ms "$2") - $(stamp_ms "$1")))
}

# Esc, then No to "Do you want to save the settings?": the program must end with 0.
leave_without_saving() {
    focus "COM1: vyt-Pump controller"
    xdotool key Escape
    focus "Exit"
    xdotool key alt+n
    wait_exit
    [ "$code" -eq 0 ] || fail "exit code $code"
}

flow_started=' V -?[1-9][0-9]*$'
endless_flow=(Betriebsart=2 Foerderstrom=5 Foerderstromeinheit=0 Dauer=0 Dauereinheit=1)

# The title a desktop shows, exactly: nothing may be appended to the designed titles.
expect_title() {
    local shown
    shown=$(xprop -id "$(window_id "$1")" _NET_WM_NAME 2>/dev/null | sed -n 's/^[^"]*"\(.*\)"$/\1/p')
    [ "$shown" = "$2" ] || fail "the window shows the title \"$shown\", not \"$2\""
}

scenario_dose() {
    begin dose
    expect_title "COM1: vyt-Pump controller" "COM1: vyt-Pump controller"
    # Enter right after start-up: the focus is on Start, and Start runs the dose.
    xdotool key Return
    wait_log " VER$"
    wait_log " NP "
    xdotool key Escape
    focus "Exit"
    expect_title "Exit" "Exit"
    xdotool key alt+n
    wait_exit
    [ "$code" -eq 0 ] || fail "exit code $code"
    expect_stop_last
    commands | grep -qx 'LA 4267' || fail "no LA 4267 for 100 µl on 1.5 µl/rev with 16 lines"
    echo "ok dose: $(commands | wc -l) commands, exit code 0"
}

# The flow's end has its own timer: a modal About box opened during the flow cannot hold it.
scenario_deadline() {
    local ms
    begin deadline Betriebsart=2 Foerderstrom=5 Foerderstromeinheit=0 Dauer=2 Dauereinheit=1
    xdotool key alt+s
    wait_log "$flow_started" 0.02
    xdotool key F1
    focus "^About$"
    # Only a box that was open before the end proves anything about the deadline.
    ! logged " V 0$" || fail "the flow had ended before the About box opened"
    poll 4 0.05 eval 'interval_ms "$flow_started" " V 0$" >/dev/null' ||
        fail "no V 0 within 4 s of the flow's start"
    window_open "^About$" || fail "the About box closed by itself"
    ms=$(interval_ms "$flow_started" " V 0$")
    expect_stop_last
    xdotool key Escape
    poll 5 0.05 eval '! window_open "^About$"' || fail "Esc did not close the About box"
    leave_without_saving
    # Judged last, so that a late or early stop still lets the rest of the run be checked.
    # The stamps are the simulator's: when its process is scheduled late for the first line,
    # the interval looks a few milliseconds short.
    [ "$ms" -ge 1950 ] && [ "$ms" -le 2400 ] ||
        fail "the 2 s flow stopped after $ms ms (wanted 1950 to 2400 ms):" \
            "$(grep -E "$flow_started| V 0$" "$log" | head -n2 | tr '\n' ' ')"
    echo "ok deadline: V 0 came $ms ms after the flow's V, About open; exit code 0"
}

# A termination signal during an endless flow: the drive stops before the program ends.
scenario_signal() {
    local sig="$1"
    begin "sig${sig,,}" "${endless_flow[@]}"
    xdotool key alt+s
    wait_log "$flow_started"
    kill "-$sig" "$app"
    wait_exit
    expect_stop_last
    grep -q ',program ended,' "$journal" || fail "no journal row ended by the program's end"
    echo "ok sig${sig,,}: SOR 0, V 0 last, exit code $code"
}

# The X server dies during an endless flow: the program ends and still stops the drive.
scenario_x_lost() {
    start_display x-lost
    begin x-lost "${endless_flow[@]}"
    xdotool key alt+s
    wait_log "$flow_started"
    kill "$xvfb"
    wait_exit
    expect_stop_last
    grep -q ',program ended,' "$journal" || fail "no journal row ended by the program's end"
    echo "ok x-lost: SOR 0, V 0 last, exit code $code"
}

journal_rows() { [ -f "$journal" ] && [ "$(wc -l <"$journal")" -gt "$1" ]; }

# The calibration helper by keyboard alone: after each dose the mass is typed straight away.
scenario_calibrate() {
    local dose=0 mass
    begin calibrate
    xdotool key ctrl+k
    focus "^Calibrate$"
    for mass in 98 99 100; do
        xdotool key Return
        dose=$((dose + 1))
        # The dose's journal row (after the header) tells that it has ended.
        poll 10 0.05 or_ended journal_rows "$dose" || fail "dose $dose did not end"
        xdotool type "$mass"
        xdotool key Return
    done
    three_doses() { [ "$(commands | grep -c '^NP ')" -eq 3 ]; }
    poll 5 0.05 three_doses || fail "not three doses on the line"
    xdotool key alt+a
    focus "^Media$"
    xdotool key alt+y
    focus "^Save medium$"
    xdotool type Water
    xdotool key Return
    poll 5 0.05 grep -q 'Water=1 1.010101' "$work/calibrate.config/vyt/vyt.conf" ||
        fail "no medium Water with factor 1.010101 (100 µl asked, 99 mg on average): $(cat "$work/calibrate.config/vyt/vyt.conf")"
    focus "^Calibrate$"
    xdotool key Escape
    leave_without_saving
    echo "ok calibrate: three doses weighed by keyboard, factor 1.010101 kept as a medium"
}

moves() { commands | grep -c '^NP ' || true; }

# Enter on a small added button is that button, never Start; a held Enter is one press.
scenario_buttons() {
    begin buttons
    # Back from Start: Stop, Exit, Methods; then History before it.
    xdotool key shift+Tab shift+Tab shift+Tab Return
    focus "^Methods$"
    focus "COM1: vyt-Pump controller"
    xdotool key shift+Tab Return
    focus "^Run history$"
    focus "COM1: vyt-Pump controller"
    # On from History: Methods, Exit, Stop, Start, pump type, displacement, density,
    # factor, "...".
    xdotool key Tab Tab Tab Tab Tab Tab Tab Tab Tab Return
    focus "^Calibrate$"
    xdotool key Escape
    poll 5 0.05 eval '! window_open "^Calibrate$"' || fail "Esc did not close the helper"
    [ "$(moves)" -eq 0 ] || fail "Enter on an added button moved the pump: $(commands | tr '\n' ' ')"
    focus "COM1: vyt-Pump controller"
    xdotool key alt+s
    wait_log " NP "
    poll 10 0.05 or_ended journal_rows 1 || fail "the first dose did not end"
    # Held for 2 s, longer than a dose: the repeats after its end must not dose again.
    xdotool keydown Return
    sleep 2
    xdotool keyup Return
    poll 10 0.05 or_ended journal_rows 2 || fail "the held Enter did not dose"
    leave_without_saving
    [ "$(moves)" -eq 2 ] || fail "a held Enter dosed $(($(moves) - 1)) times"
    echo "ok buttons: Enter opened the helper, the methods and the history, nothing moved; a held Enter dosed once"
}

# A method by keyboard alone: Ctrl+M, Alt+O and the file typed into the real dialog, Alt+R.
scenario_method() {
    local file="$work/vial.vytmethod" dose
    dose='{"dose": {"quantity": 30, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}'
    printf '{"format": "vyt-method/1", "name": "Vial", "steps": [%s, {"prompt": {"text": "Place the vial."}}, %s]}' \
        "$dose" "$dose" >"$file"
    begin method
    xdotool key ctrl+m
    focus "^Methods$"
    xdotool key alt+o
    focus "^Open method$"
    xdotool type --delay 5 "$file"
    xdotool key Return
    focus "^Methods$"
    # Enter held from Run on: its repeats reach the prompt as it opens and must not answer it.
    xdotool key alt+r
    xdotool keydown Return
    focus "^Method$"
    sleep 1
    xdotool keyup Return
    [ "$(moves)" -eq 1 ] || fail "the prompt did not hold the method: $(moves) moves"
    window_open "^Method$" || fail "a held Enter answered the prompt"
    focus "^Method$"
    xdotool key Return
    poll 10 0.05 or_ended journal_rows 2 || fail "the second dose did not run"
    [ "$(moves)" -eq 2 ] || fail "$(moves) moves"
    grep -q "method Vial step 3/3" "$journal" || fail "no row of the method's step 3"
    leave_without_saving
    echo "ok method: opened by keyboard, held at its prompt through a held Enter, continued by Enter"
}

# Under a window manager the frame and the client area differ by the title bar.
scenario_place() {
    local conf first="" now i
    start_display place
    openbox --sm-disable >"$work/openbox.log" 2>&1 &
    pids+=($!)
    poll 10 0.05 eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window' ||
        fail "openbox did not start"
    begin place
    conf="$work/place.config/vyt/vyt.conf"
    for i in 1 2 3 4 5 6; do
        focus "COM1: vyt-Pump controller"
        xdotool key Escape
        focus "Exit"
        xdotool key alt+y
        wait_exit
        now=$(grep -E '^(Left|Top)=' "$conf" | sort | tr '\n' ' ')
        [ -n "$now" ] || fail "no place saved: $(cat "$conf")"
        [ -z "$first" ] && first=$now
        [ "$now" = "$first" ] || fail "the window moved from $first to $now after $((i - 1)) restarts"
        [ "$i" -eq 6 ] && break
        restart_program
        focus "Serial ports"
        xdotool key Return
    done
    echo "ok place: $first after five restarts under openbox"
}

# A held function key is one press, however the X server's auto-repeat arrives.
scenario_heldkey() {
    local moves starts
    start_display heldkey
    begin heldkey
    xdotool key shift+ctrl+h
    focus "^Direct control$"
    # The hold itself: the server repeats the key for as long as it is down.
    xdotool keydown F12
    sleep 2
    xdotool keyup F12
    # Esc comes after every repeat in the queue: once its stop is on the line, so is
    # whatever the repeats sent.
    xdotool key Escape
    wait_log " DELAY 100$"
    moves=$(commands | grep -cx 'LR6400')
    starts=$(commands | grep -cx 'M')
    [ "$moves" -eq 1 ] && [ "$starts" -eq 1 ] ||
        fail "F12 held for 2 s sent LR6400 $moves times and M $starts times (wanted once)"
    kill -TERM "$app"
    wait_exit
    expect_stop_last
    echo "ok heldkey: F12 held for 2 s sent LR6400 and M once"
}

# A SiLA 2 client doses and runs a flow beside the real window; Enter on the window while
# the client's flow runs starts nothing, and leaving the program stops the drive first.
scenario_sila() {
    local port client flow_client python=/usr/bin/python3 example
    example="$(dirname "$0")/../examples/sila_dose.py"
    "$python" -c "import grpc, google.protobuf" 2>/dev/null || { echo "skip sila: no python3-grpcio"; return 0; }
    port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    program_args=(--sila "127.0.0.1:$port")
    begin sila
    client=(env XDG_CONFIG_HOME="$work/sila.config" "$python" "$example" --server "127.0.0.1:$port")
    poll 10 0.1 test -s "$work/sila.config/vyt/sila-server-$port.crt" || fail "no certificate made"
    "${client[@]}" dose 30 µl --repetitions 3 >"$work/sila.dose" 2>&1 || fail "the client's dose: $(cat "$work/sila.dose")"
    grep -qx '3 of 3 doses done, 90 µl' "$work/sila.dose" || fail "the client saw: $(cat "$work/sila.dose")"
    commands | grep -qx 'LA 3840' || fail "no LA 3840 for the third 30 µl dose"
    "${client[@]}" flow 150 rpm >"$work/sila.flow" 2>&1 &
    flow_client=$!
    pids+=($flow_client)
    wait_log " V 150$"
    focus "COM1: vyt-Pump controller"
    # Start is disabled during the client's run: Enter presses the focused button, at most Stop.
    xdotool key Return
    sleep 0.3
    [ "$(commands | grep -cx 'V 150')" -eq 1 ] || fail "Enter during the client's flow sent another start"
    leave_without_saving
    expect_stop_last
    poll 10 0.1 eval '! kill -0 $flow_client 2>/dev/null' || fail "the client's flow did not end"
    grep -q '^Flow ' "$work/sila.flow" || fail "the client's flow did not end with its summary: $(cat "$work/sila.flow")"
    echo "ok sila: a client's dose and flow beside the window; Enter started nothing"
}

# Runs one scenario in its own subshell, which stops the processes it started on the way out.
failed=() scenarios=0
run() {
    # VYT_SCENARIO=calibrate runs that one alone, while working on it.
    [ -z "${VYT_SCENARIO:-}" ] || [ "$1" = "scenario_${VYT_SCENARIO}" ] || return 0
    scenarios=$((scenarios + 1))
    (
        pids=()
        trap stop_started EXIT
        "$@"
    ) || failed+=("$*")
}

start=$(date +%s%3N)
start_display shared
run scenario_dose
run scenario_deadline
run scenario_signal TERM
run scenario_signal HUP
run scenario_x_lost
run scenario_calibrate
run scenario_buttons
run scenario_place
run scenario_heldkey
run scenario_method
run scenario_sila
took=$(($(date +%s%3N) - start))
[ ${#failed[@]} -eq 0 ] || { echo "FAIL after $took ms: ${failed[*]}"; exit 1; }
echo "PASS: $scenarios scenarios in $took ms"
