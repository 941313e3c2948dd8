#!/bin/bash
# smoke-test.sh QUILLMAR_BINARY OUTPUT_DIR STANDIN_SERVER_BINARY
#
# Starts the built program under Xvfb in a throw-away HOME and checks, from
# the outside, what a new user would see: a window with its build title; the
# first-run dialogs, answered with the keyboard (a user name, then a folder
# to share); the login to the stand-in server on the default address; a
# second start that exits 0 at once and touches no data file; SIGTERM ending
# the first one with exit code 0 after a final save that holds the scanned
# folder's file; nothing alarming on stderr. A screenshot of the window is
# left in OUTPUT_DIR for a person to look at. The test run already happens in
# a network namespace with only loopback, so nothing the program tries can
# leave the machine.
set -u

binary="$1"
out_dir="$2"
standin="$3"

fail() { echo "FAIL: $*" >&2; exit 1; }

[ -x "$binary" ] || fail "no program at $binary"
[ -x "$standin" ] || fail "no stand-in server at $standin"
command -v xvfb-run >/dev/null || fail "xvfb-run is missing (scripts/setup.sh installs it)"
command -v xdotool >/dev/null || fail "xdotool is missing (scripts/setup.sh installs it)"
mkdir -p "$out_dir" || fail "cannot create $out_dir"
out_dir="$(cd "$out_dir" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
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

# Everything that needs the display runs inside one xvfb-run session.
cat > "$work/session.sh" <<'SESSION'
#!/bin/bash
set -u
fail() { echo "FAIL: $*" >&2; [ -n "${first:-}" ] && kill -KILL "$first" 2>/dev/null; exit 1; }

# The files of HOME (data files, logs), with their contents' checksums.
snapshot() { (cd "$HOME" && find . -path ./run -prune -o -type f -print0 | sort -z | xargs -0 -r sha256sum); }
# Waits up to 10 s for the stand-in server to print a line holding $1;
# fails with $2 otherwise.
wait_server() {
    for _ in $(seq 1 100); do grep -q "$1" "$WORK/server.out" && return 0; sleep 0.1; done
    fail "$2"
}

# The server a new installation logs in to: the default address.
"$STANDIN" 2242 > "$WORK/server.out" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
wait_server "listening on port 2242" "the stand-in server did not start on port 2242"

# A folder for the new user to share.
mkdir -p "$HOME/music" && echo "la la" > "$HOME/music/smoke-test-song.mp3"

"$BINARY" > "$WORK/first.out" 2> "$WORK/first.err" &
first=$!

# Waits for a window whose whole title matches the extended regular
# expression; prints its id.
wait_window() {
    local id=""
    for _ in $(seq 1 300); do
        kill -0 "$first" 2>/dev/null || fail "the program ended while waiting for \"$1\" (see stderr below)"
        id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)"
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    fail "no window \"$1\" within 30 s"
}
# Gives a window the keyboard and types into it (xdotool key names).
focus() { xdotool windowfocus --sync "$1" 2>/dev/null; sleep 0.3; }
keys() { local id="$1"; shift; focus "$id"; xdotool key --delay 50 "$@"; }
text() { focus "$1"; xdotool type --delay 30 "$2"; }

title=""
for _ in $(seq 1 300); do
    kill -0 "$first" 2>/dev/null || fail "the program ended at start (see stderr below)"
    title="$(xwininfo -root -tree 2>/dev/null | grep -o '"QuillmarQt build [0-9]*\.[0-9]*\.[0-9]*"' | head -n 1)"
    [ -n "$title" ] && break
    sleep 0.1
done
[ -n "$title" ] || fail "no window titled \"QuillmarQt build Y.M.D\" within 30 s"
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
sleep 0.5
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
timeout 5 "$BINARY" > "$WORK/second.out" 2> "$WORK/second.err"
second=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$second" -eq 0 ] || fail "the second start exited with $second (124: still running after 5 s)"
echo "second start: exit 0 after $elapsed ms"
[ "$(snapshot)" = "$before" ] || fail "the second start changed the files in HOME"
kill -0 "$first" 2>/dev/null || fail "the first instance ended while the second started"

saves_before=$(ls "$HOME"/.Quillmar.* 2>/dev/null | wc -l)
kill -TERM "$first"
for _ in $(seq 1 300); do
    kill -0 "$first" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$first" 2>/dev/null && fail "SIGTERM did not end the program within 30 s"
wait "$first"
code=$?
first=""
[ "$code" -eq 0 ] || fail "after SIGTERM the program exited with $code"
saves_after=$(ls "$HOME"/.Quillmar.* 2>/dev/null | wc -l)
[ "$saves_after" -gt "$saves_before" ] || fail "no data file was saved at exit"
echo "SIGTERM: exit 0, data saved ($(ls "$HOME"/.Quillmar.* | xargs -n 1 basename | tr '\n' ' '))"
newest="$(ls "$HOME"/.Quillmar.* | sort -t. -k3 -n | tail -n 1)"
grep -q "smoke-test-song.mp3" "$newest" || fail "the shared folder's file is not in the saved data"
echo "shared folder: scanned and saved"
SESSION
chmod +x "$work/session.sh"

xvfb-run -a -s "-screen 0 1280x800x24" "$work/session.sh"
result=$?

for log in first second; do
    if [ -s "$work/$log.err" ]; then
        echo "--- stderr of the $log start:"
        cat "$work/$log.err"
    fi
done
if grep -E -q 'QObject::connect|AddressSanitizer|runtime error|Segmentation fault|Aborted|terminate called|ASSERT' \
        "$work/first.err" "$work/second.err" 2>/dev/null; then
    fail "stderr shows connection warnings or a crash"
fi
if [ "$result" -ne 0 ]; then
    [ -s "$work/server.out" ] && { echo "--- the stand-in server's last lines:"; tail -n 20 "$work/server.out"; }
    exit "$result"
fi
echo "PASS"
