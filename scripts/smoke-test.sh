#!/bin/bash
# smoke-test.sh QUILLMAR_BINARY OUTPUT_DIR
#
# Starts the built program under Xvfb in a throw-away HOME and checks, from
# the outside, what a user would see: a window with its build title; a
# second start that exits 0 at once and touches no data file; SIGTERM ending
# the first one with exit code 0 after a final save; nothing alarming on
# stderr. A screenshot of the window is left in OUTPUT_DIR for a person to
# look at. The test run already happens in a network namespace with only
# loopback, so nothing the program tries can leave the machine.
set -u

binary="$1"
out_dir="$2"

fail() { echo "FAIL: $*" >&2; exit 1; }

[ -x "$binary" ] || fail "no program at $binary"
command -v xvfb-run >/dev/null || fail "xvfb-run is missing (scripts/setup.sh installs it)"
mkdir -p "$out_dir" || fail "cannot create $out_dir"
out_dir="$(cd "$out_dir" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
export XDG_RUNTIME_DIR="$work/home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
# In a sanitizer build, the desktop libraries (D-Bus, X) leave allocations
# behind at exit that are not ours to mend; crashes and undefined behaviour
# are still caught.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export BINARY="$binary" OUT_DIR="$out_dir" WORK="$work"

# Everything that needs the display runs inside one xvfb-run session.
cat > "$work/session.sh" <<'SESSION'
#!/bin/bash
set -u
fail() { echo "FAIL: $*" >&2; [ -n "${first:-}" ] && kill -KILL "$first" 2>/dev/null; exit 1; }

# The files of HOME (data files, logs), with their contents' checksums.
snapshot() { (cd "$HOME" && find . -path ./run -prune -o -type f -print0 | sort -z | xargs -0 -r sha256sum); }

"$BINARY" > "$WORK/first.out" 2> "$WORK/first.err" &
first=$!

title=""
for _ in $(seq 1 300); do
    kill -0 "$first" 2>/dev/null || fail "the program ended at start (see stderr below)"
    title="$(xwininfo -root -tree 2>/dev/null | grep -o '"QuillmarQt build [0-9]*\.[0-9]*\.[0-9]*"' | head -n 1)"
    [ -n "$title" ] && break
    sleep 0.1
done
[ -n "$title" ] || fail "no window titled \"QuillmarQt build Y.M.D\" within 30 s"
echo "window: $title"
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
[ "$result" -eq 0 ] || exit "$result"
echo "PASS"
