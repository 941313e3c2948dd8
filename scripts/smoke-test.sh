#!/bin/bash
# smoke-test.sh QUILLMAR_BINARY OUTPUT_DIR STANDIN_SERVER_BINARY
#
# Starts the built program under Xvfb in a throw-away HOME and checks, from
# the outside, what a new user would see: the README's start command
# (scripts/run-client.sh, with the built programs) starting the stand-in
# server on localhost:2242 because nothing listens there; a window with its
# build title; the first-run dialogs, answered with the keyboard (a user
# name, then a folder to share); the login to that server on the default
# address; a second start through the same command, which finds the server
# listening and starts none, and whose client exits 0 at once and touches no
# data file; SIGTERM ending the first one with exit code 0 after a final
# save that holds the scanned folder's file, and the stand-in server stopped
# with it; then the command with --server naming an address where nothing
# listens, whose address the client keeps, and after it the plain command,
# which starts the stand-in again and whose client logs in to it rather
# than to the kept address; nothing alarming on stderr. A screenshot of the window is left in
# OUTPUT_DIR for a person to look at. The run happens in a network
# namespace of its own with only loopback (the test run's, and one more of
# its own when it may make one), so nothing the program tries can leave the
# machine and port 2242 is nobody else's.
set -u

binary="$1"
out_dir="$2"
standin="$3"

fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -z "${QM_SMOKE_NETNS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    exec unshare -n env QM_SMOKE_NETNS=1 sh -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi

[ -x "$binary" ] || fail "no program at $binary"
[ -x "$standin" ] || fail "no stand-in server at $standin"
command -v Xvfb >/dev/null || fail "Xvfb is missing (scripts/setup.sh installs it)"
command -v xdotool >/dev/null || fail "xdotool is missing (scripts/setup.sh installs it)"
mkdir -p "$out_dir" || fail "cannot create $out_dir"
out_dir="$(cd "$out_dir" && pwd)"

work="$(mktemp -d)"
xvfb=""
# The X server goes with the test, however it ends.
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
export HOME="$work/home"
export XDG_RUNTIME_DIR="$work/home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
# In a sanitizer build, leaks are checked when the test run asks for it
# (scripts/run-tests.sh); what the desktop libraries (D-Bus, the GL driver)
# leave behind is named in tests/lsan.supp. The whole stack of every
# allocation is kept: the GL driver's leak is known only by a library deep
# in it, and one program start can afford the slower unwinding.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}:fast_unwind_on_malloc=0"
export BINARY="$binary" OUT_DIR="$out_dir" WORK="$work" STANDIN="$standin"
export RUN_CLIENT="$(cd "$(dirname "$0")" && pwd)/run-client.sh"

# Everything that needs the display runs in one session on one X server.
cat > "$work/session.sh" <<'SESSION'
#!/bin/bash
set -u
# Every wait for a window, a line or an exit gives it up to a minute: a
# sanitizer build on a machine busy with other tests may need many times
# what it needs alone, and a wait ends as soon as its condition holds.
wait_s=60
ticks=$((wait_s * 10))
# run-client.sh passes SIGTERM on to the client and then stops the stand-in.
fail() {
    echo "FAIL: $*" >&2
    if [ -n "${first:-}" ]; then
        kill -TERM "$first" 2>/dev/null
        for _ in $(seq 1 50); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$first" 2>/dev/null
    fi
    exit 1
}

# The files of HOME (data files, logs), with their contents' checksums.
snapshot() { (cd "$HOME" && find . -path ./run -prune -o -type f -print0 | sort -z | xargs -0 -r sha256sum); }
# What run-client.sh's stand-in server writes.
server_log="$XDG_RUNTIME_DIR/quillmar-standin-server.log"
# Waits for the stand-in server to print a line holding $1; fails with $2
# otherwise.
wait_server() {
    for _ in $(seq 1 "$ticks"); do grep -q "$1" "$server_log" 2>/dev/null && return 0; sleep 0.1; done
    fail "$2"
}
# The README's command, with the programs of this build.
run_client() { QUILLMAR_CLIENT="$BINARY" QUILLMAR_STANDIN="$STANDIN" exec bash "$RUN_CLIENT" "$@"; }

# A folder for the new user to share.
mkdir -p "$HOME/music" && echo "la la" > "$HOME/music/smoke-test-song.mp3"

run_client > "$WORK/first.out" 2> "$WORK/first.err" &
first=$!
wait_server "listening on port 2242" "run-client.sh did not start the stand-in server on port 2242"
grep -q "^run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where nothing listens yet: the stand-in server is started" <(head -n 1 "$WORK/first.out") \
    || fail "run-client.sh's first line does not say it starts the stand-in server: $(head -n 1 "$WORK/first.out")"
echo "run-client.sh: the stand-in server started on port 2242"

# Waits for a window whose whole title matches the extended regular
# expression; prints its id.
wait_window() {
    local id=""
    for _ in $(seq 1 "$ticks"); do
        kill -0 "$first" 2>/dev/null || fail "the program ended while waiting for \"$1\" (see stderr below)"
        id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)"
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    fail "no window \"$1\" within $wait_s s"
}
# Waits for the window with that id to be gone (closed or hidden).
wait_gone() {
    for _ in $(seq 1 "$ticks"); do
        xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | grep -qx "$1" || return 0
        sleep 0.1
    done
    fail "the window \"$2\" did not close within $wait_s s"
}
# Gives a window the keyboard and types into it (xdotool key names).
focus() { xdotool windowfocus --sync "$1" 2>/dev/null; sleep 0.3; }
keys() { local id="$1"; shift; focus "$id"; xdotool key --delay 50 "$@"; }
text() { focus "$1"; xdotool type --delay 30 "$2"; }

title=""
for _ in $(seq 1 "$ticks"); do
    kill -0 "$first" 2>/dev/null || fail "the program ended at start (see stderr below)"
    title="$(xwininfo -root -tree 2>/dev/null | grep -o '"QuillmarQt build [0-9]*\.[0-9]*\.[0-9]*"' | head -n 1)"
    [ -n "$title" ] && break
    sleep 0.1
done
[ -n "$title" ] || fail "no window titled \"QuillmarQt build Y.M.D\" within $wait_s s"
echo "window: $title"

# The first run: a name and password, yes to sharing a folder, the folder
# typed into the folder chooser, OK (the default button), then the closing
# note.
dialog="$(wait_window "Choose Your Username and Password")" || exit 1
text "$dialog" "newbie"; keys "$dialog" Tab; text "$dialog" "secret"; keys "$dialog" Return
question="$(wait_window "Share a folder\?")" || exit 1
keys "$question" Return
add="$(wait_window "Add Shared Folder")" || exit 1
keys "$add" alt+f
chooser="$(wait_window "Select Folder to Share")" || exit 1
text "$chooser" "$HOME/music"; keys "$chooser" Return
wait_gone "$chooser" "Select Folder to Share"
keys "$add" Return
note="$(wait_window "In the future")" || exit 1
keys "$note" Return
echo "first run: name, folder and note answered"

wait_server 'new account "newbie"' "the new user did not log in to the stand-in server"
wait_window "QuillmarQt build [0-9]*\.[0-9]*\.[0-9]* \[newbie\]" > /dev/null || exit 1
echo "login: newbie on the stand-in server"
sleep 1
xwd -root -silent > "$WORK/screen.xwd" && convert "xwd:$WORK/screen.xwd" "png:$OUT_DIR/smoke-test-screenshot.png" \
    && echo "screenshot: $OUT_DIR/smoke-test-screenshot.png" || echo "warning: no screenshot taken" >&2

before="$(snapshot)"
start=$(date +%s%N)
timeout "$wait_s" bash -c "$(declare -f run_client); run_client" > "$WORK/second.out" 2> "$WORK/second.err"
second=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$second" -eq 0 ] || fail "the second start exited with $second (124: still running after $wait_s s)"
echo "second start: exit 0 after $elapsed ms"
[ "$(head -n 1 "$WORK/second.out")" = "run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where a server already listens; no stand-in server is started." ] \
    || fail "the second start did not find the server listening: $(head -n 1 "$WORK/second.out")"
[ "$(grep -c "^listening on port" "$server_log")" = 1 ] || fail "a second stand-in server was started"
[ "$(snapshot)" = "$before" ] || fail "the second start changed the files in HOME"
kill -0 "$first" 2>/dev/null || fail "the first instance ended while the second started"

# Ends the run started last with SIGTERM; it must exit 0.
stop_run() {
    kill -TERM "$first"
    for _ in $(seq 1 "$ticks"); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$first" 2>/dev/null && fail "SIGTERM did not end the program within $wait_s s"
    wait "$first"
    local code=$?
    first=""
    [ "$code" -eq 0 ] || fail "after SIGTERM the program exited with $code"
}
newest() { ls "$HOME"/.Quillmar.* | sort -t. -k3 -n | tail -n 1; }

saves_before=$(ls "$HOME"/.Quillmar.* 2>/dev/null | wc -l)
stop_run
[ "$(tail -n 1 "$server_log")" = "stopped" ] || fail "the stand-in server did not stop with the client"
saves_after=$(ls "$HOME"/.Quillmar.* 2>/dev/null | wc -l)
[ "$saves_after" -gt "$saves_before" ] || fail "no data file was saved at exit"
echo "SIGTERM: exit 0, data saved ($(ls "$HOME"/.Quillmar.* | xargs -n 1 basename | tr '\n' ' '))"
grep -q "smoke-test-song.mp3" "$(newest)" || fail "the shared folder's file is not in the saved data"
echo "shared folder: scanned and saved"

# Another server given once is kept; nothing listens there, and the client
# says so.
run_client --server 127.0.0.1:3999 > "$WORK/third.out" 2> "$WORK/third.err" &
first=$!
wait_window "Login Failure" > /dev/null || exit 1
[ "$(head -n 1 "$WORK/third.out")" = "run-client.sh: the client logs in to 127.0.0.1:3999 (and keeps it for later starts); no stand-in server is started." ] \
    || fail "run-client.sh --server does not name the server: $(head -n 1 "$WORK/third.out")"
stop_run
grep -q "127.0.0.1:3999" "$(newest)" || fail "the server given with --server was not kept"
echo "--server 127.0.0.1:3999: kept, and the login failed there"

# The plain command after it: the stand-in again, and the client logs in to
# it rather than to the address the earlier run left.
rm -f "$server_log"
run_client > "$WORK/fourth.out" 2> "$WORK/fourth.err" &
first=$!
wait_server "listening on port 2242" "the plain command did not start the stand-in server after a --server run"
grep -q "^run-client.sh: the client logs in to localhost:2242 (and keeps it for later starts), where nothing listens yet" \
        <(head -n 1 "$WORK/fourth.out") \
    || fail "after a --server run the first line does not name localhost:2242: $(head -n 1 "$WORK/fourth.out")"
wait_server 'new account "newbie"' "after a --server run the plain command's client did not log in to the stand-in"
wait_window "QuillmarQt build [0-9]*\.[0-9]*\.[0-9]* \[newbie\]" > /dev/null || exit 1
stop_run
grep -q "localhost:2242" "$(newest)" || fail "the plain command's server was not kept"
echo "plain command after --server: logged in to the stand-in on localhost:2242"
SESSION
chmod +x "$work/session.sh"

# The server takes a display no other has and says which once it accepts
# clients (-displayfd): a number chosen beforehand, as xvfb-run -a does, may
# be taken meanwhile by another server started at the same moment.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.err" &
xvfb=$!
display=""
for _ in $(seq 1 600); do
    kill -0 "$xvfb" 2>/dev/null || break
    display="$(sed -n 's/^\([0-9][0-9]*\)$/\1/p' "$work/display")"
    [ -n "$display" ] && break
    sleep 0.1
done
[ -n "$display" ] || fail "Xvfb gave no display within 60 s: $(cat "$work/xvfb.err")"
echo "X server: display :$display"
DISPLAY=":$display" "$work/session.sh"
result=$?

for log in first second third fourth; do
    if [ -s "$work/$log.err" ]; then
        echo "--- stderr of the $log start:"
        cat "$work/$log.err"
    fi
done
if grep -E -q 'QObject::connect|AddressSanitizer|runtime error|Segmentation fault|Aborted|terminate called|ASSERT' \
        "$work/first.err" "$work/second.err" "$work/third.err" "$work/fourth.err" 2>/dev/null; then
    fail "stderr shows connection warnings or a crash"
fi
if [ "$result" -ne 0 ]; then
    server_log="$XDG_RUNTIME_DIR/quillmar-standin-server.log"
    [ -s "$server_log" ] && { echo "--- the stand-in server's last lines:"; tail -n 20 "$server_log"; }
    exit "$result"
fi
echo "PASS"
